// The options and the help text. Options may stand anywhere before "--"; everything after it,
// and every argument not beginning with "-", is an operand, so "-name" is opened as "-- -name"
// or "./-name".
#include "main/command_line.h"

#include <cstdio>
#include <cstring>
#include <span>

namespace {

constexpr int success_status = 0;
constexpr int usage_status = 2;

constexpr char usage_line[] = "usage: pictra [--help | --version] [[--] FILE [SELECTOR]]";
constexpr char end_of_options[] = "--";

struct KeyHelp {
  const char* keys = "";
  const char* action = "";
};

// One row per key or group of keys; the help screen in the window shows a shorter list.
constexpr KeyHelp browser_keys[] = {
    {"cursor keys, Page Up/Down, Home, End", "move the selection"},
    {"+  -", "larger or smaller thumbnails"},
    {"Return, left or right button", "open a directory or view an image"},
    {"BackSpace, middle button", "go to the parent directory"},
    {"r", "read the directory again"},
    {"h", "show the keys in the window"},
    {"f", "fullscreen on or off"},
    {"q, Escape", "quit"},
};

constexpr KeyHelp view_keys[] = {
    {"Left, Right", "turn a quarter turn left or right"},
    {"Up, BackSpace, Prior", "previous image of the directory"},
    {"Down, Space, Next", "next image of the directory"},
    {"+ = -", "zoom in or out, 1/8 to 8 times"},
    {"1  0", "actual pixels, fit into the window"},
    {"h j k l, Shift+cursor, wheel, drag", "pan the zoomed image"},
    {"|  _", "mirror left-right, top-bottom"},
    {"f", "fullscreen on or off"},
    {"a", "transparency over a checkerboard or black"},
    {"Escape, q, Return, other keys, click", "back to the grid, or end the program"},
};

// Width of the key column, so every table lines up within 80 columns.
constexpr int key_column_width = 36;

void print_keys(const char* heading, std::span<const KeyHelp> keys) {
  std::printf("\n%s\n", heading);
  for (const KeyHelp& key : keys)
    std::printf("  %-*s  %s\n", key_column_width, key.keys, key.action);
}

void print_help() {
  std::printf(
      "%s\n"
      "Browses the current directory as a grid of thumbnails, or views FILE (SELECTOR:\n"
      "the image of a multi-image TIFF file, counted from 0). Name a file that begins\n"
      "with \"-\" after \"--\" or as ./-name. --help prints this text, --version the\n"
      "version.\n",
      usage_line);
  print_keys("Keys in the grid:", browser_keys);
  print_keys("Keys in the view:", view_keys);
  std::printf("\nThe window's position and size are kept in ~/.pictrarc.\n");
}

}  // namespace

int read_command_line(int argc, char** argv, Operands& operands) {
  const char* found[2] = {};
  int count = 0;
  bool options_ended = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (!options_ended && arg[0] == '-') {
      if (std::strcmp(arg, end_of_options) == 0) {
        options_ended = true;
        continue;
      }
      if (std::strcmp(arg, "--help") == 0) {
        print_help();
        return success_status;
      }
      if (std::strcmp(arg, "--version") == 0) {
        std::printf("pictra %s\n", PICTRA_VERSION);
        return success_status;
      }
      std::fprintf(stderr, "pictra: unknown option %s; %s\n", arg, usage_line);
      return usage_status;
    }
    // Operands beyond the file and its selector are ignored, as they always were.
    if (count < 2) found[count++] = arg;
  }
  operands.file = found[0];
  if (found[1]) operands.selector = found[1];
  return keep_running;
}
