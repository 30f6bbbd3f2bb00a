// The geometry file $HOME/.pictrarc.
#pragma once

#include <cstdio>

void load_config();
void read_config(std::FILE* file);
void write_config(std::FILE* file);
void save_geometry(int x, int y, int width, int height);
