// Placeholder until this module is written.
#include "formats/formats.h"

ImageFormat formats[format_count];
void init_formats() {}
int get_type(const char*) { return -1; }
int is_supported(const char*) { return 0; }
int no_pages(const char*, const char*) { return 0; }
