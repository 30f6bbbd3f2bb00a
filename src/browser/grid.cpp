// Placeholder until this module is written.
#include "browser/browser.h"

void layout_grid() {}
void draw_label(GC, std::uint32_t) {}
void draw_thumbnails(GC, const char*) {}
void redraw_grid(int, const char*) {}
