// The command line: the options that end the program before any display is opened, and the
// operands that choose between browsing and viewing one image.
#pragma once

// read_command_line's answer when the program goes on to browse or view.
inline constexpr int keep_running = -1;

struct Operands {
  const char* file = nullptr;  // null: browse the current directory
  const char* selector = "";   // the sub-image of a multi-image file
  bool slideshow = false;      // -S: start a slideshow, its delay set in the viewer
};

// Handles --help and --version (printed on standard output, status 0), takes -S SECONDS, and
// refuses a bad delay or any other argument that begins with "-" before a "--" (a usage line
// on standard error, status 2). Answers
// that status, or keep_running with the operands filled in.
int read_command_line(int argc, char** argv, Operands& operands);
