// The command line: the options that end the program before any display is opened, and the
// options and operands that say what to show.
#pragma once

#include <cstdint>
#include <vector>

#include "main/state.h"

// read_command_line's answer when the program goes on to browse or view.
inline constexpr int keep_running = -1;

struct Operands {
  std::vector<const char*> names;  // files and directories, in the order given
  bool grid = false;               // -t: start in the grid
  bool read_names = false;         // -i: further names on standard input
  bool null_separated = false;     // -0: names on standard input end with NUL, not newline
  bool recursive = false;          // -r: walk directories into their subdirectories
  bool print_marks = false;        // -o: print the marked files at the end
  std::uint32_t start = 0;         // -n: the image to start at, counted from 1; 0 when not given
  bool slideshow = false;          // -S: start a slideshow, its delay set in the viewer
  SortOrder sort;
};

// Handles --help and --version (printed on standard output, status 0) and refuses a bad -n
// count or -S delay and any other argument that begins with "-" before a "--" and is no option
// (a usage line on standard error, status 2). Answers that status, or keep_running with the
// operands filled in.
int read_command_line(int argc, char** argv, Operands& operands);
