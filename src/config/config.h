// The geometry file $HOME/.pictrarc.
#pragma once

#include <cstdio>

#include "main/state.h"

void load_config();
void read_config(std::FILE* file);
void write_config(std::FILE* file, const Config& config = state.config);
// Takes a new window geometry into state.config at once; the file follows once the geometry
// has stayed the same for a quiet second, or at flush_config. The file gets this geometry even
// if state.config has changed meanwhile (to the screen's, in fullscreen).
void save_geometry(int x, int y, int width, int height);
// Milliseconds until a pending save is due (0 when it is), or -1 when no save is pending: the
// event waits sleep at most this long.
int config_save_due_ms();
// Writes a pending save now.
void flush_config();
