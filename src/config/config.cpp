// Placeholder until this module is written.
#include "config/config.h"

void load_config() {}
void read_config(std::FILE*) {}
void write_config(std::FILE*) {}
void save_geometry(int, int, int, int) {}
