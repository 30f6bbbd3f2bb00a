// The options and the help text. Options may stand anywhere before "--"; everything after it,
// and every argument not beginning with "-", is an operand, so "-name" is opened as "-- -name"
// or "./-name".
#include "main/command_line.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

#include "viewer/viewer.h"

namespace {

constexpr int success_status = 0;
constexpr int usage_status = 2;

constexpr char usage_line[] =
    "usage: pictra [-0iort] [-n NUM] [-S SECONDS] [--sort=KEY] [--reverse] [--help | --version] "
    "[--] [FILE | DIR]...";
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
    {"BackSpace, middle button", "go to the parent directory (not in a list)"},
    {"r", "read the directory again (not in a list)"},
    {"m", "mark or unmark the selected file"},
    {"Shift+m  u", "invert the marks of the list, unmark all"},
    {"Shift+n  Shift+p", "select the next or previous marked file"},
    {"Ctrl+x KEY", "run the key handler with KEY"},
    {"s", "slideshow from the selected image"},
    {"i", "info line on or off"},
    {"h", "show the keys in the window"},
    {"f", "fullscreen on or off"},
    {"q, Escape", "quit"},
};

constexpr KeyHelp view_keys[] = {
    {"Left, Right", "turn a quarter turn left or right"},
    {"Up, BackSpace, Prior", "previous image of the directory or list"},
    {"Down, Space, Next", "next image of the directory or list"},
    {"+ = -", "zoom in or out, 1/8 to 8 times"},
    {"1  0", "actual pixels, fit into the window"},
    {"h j k l, Shift+cursor, wheel, drag", "pan the zoomed image"},
    {"|  _", "mirror left-right, top-bottom"},
    {"f", "fullscreen on or off"},
    {"a", "pause or play an animation"},
    {".", "an animation's next frame, paused"},
    {"A (Shift+a)", "transparency over a checkerboard or black"},
    {"m", "mark or unmark the image shown"},
    {"Shift+m  u  Shift+n  Shift+p", "as in the grid"},
    {"Ctrl+x KEY", "run the key handler with KEY"},
    {"s", "slideshow on or off, from the image shown"},
    {"[  ]", "slideshow delay halved, doubled"},
    {"i", "info line on or off"},
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
      "Without FILE or DIR, browses the current directory as a grid of thumbnails; with one\n"
      "DIR, browses that directory. One FILE is viewed, stepping through its directory; FILE\n"
      "SELECTOR views the image of a multi-image TIFF file (counted from 0). Several names\n"
      "are viewed as one list in the order given, a directory standing for its images;\n"
      "leaving the view ends the program.\n"
      "\n"
      "  -t           start in the grid of the list (or of FILE's directory, FILE selected)\n"
      "  -i           read further names from standard input, one a line\n"
      "  -0           names on standard input end with a NUL byte instead of a newline\n"
      "  -r           walk directories into their subdirectories (names beginning with \".\"\n"
      "               are left out of a walked directory)\n"
      "  -n NUM       start at the NUM-th image, counted from 1\n"
      "  -o           at the end, print the marked files on standard output, one a line (with\n"
      "               -0 each ended by a NUL byte) in list order, relative to the directory\n"
      "               pictra started in when they lie under it\n"
      "  -S SECONDS   start a slideshow (0.1 to 86400 seconds, decimals allowed; 5 when s\n"
      "               starts one) from the first image, or from the first image opened in\n"
      "               the grid; after the last image it starts again at the first\n"
      "  --sort=KEY   order directories and lists by name (the default for directories),\n"
      "               natural (\"img2\" before \"img10\"), time (oldest first) or size\n"
      "               (smallest first); without it a list keeps the order given\n"
      "  --reverse    the other way round\n"
      "  --help, --version  print this text or the version\n"
      "\n"
      "Name a file that begins with \"-\" after \"--\" or as ./-name. A name that cannot be\n"
      "read is reported and left out; with nothing left to show the status is 1, after a\n"
      "wrong option 2.\n",
      usage_line);
  print_keys("Keys in the grid:", browser_keys);
  print_keys("Keys in the view:", view_keys);
  std::printf(
      "\n"
      "Marks belong to files: they stay when the list is left or read again. Ctrl+x and a key\n"
      "(Escape: none) runs $XDG_CONFIG_HOME/pictra/key-handler (~/.config/pictra/key-handler\n"
      "when the variable is unset) in the current directory, without a shell. Its argument is\n"
      "the key: its X name as typed after C-, M- and S- for Control, Alt and a Shift that did\n"
      "not change it (r, R, C-d, M-x, S-Delete). Its standard input holds the marked files, or\n"
      "the selected or shown one when none is marked, one absolute path a line; with -0 each\n"
      "path ends with a NUL byte instead, and only then are names holding a newline passed.\n"
      "When it ends, the directory and the images are read again. An example:\n"
      "\n"
      "  #!/bin/sh\n"
      "  case \"$1\" in\n"
      "  r|R) turn=90; [ \"$1\" = R ] && turn=270\n"
      "       while IFS= read -r file; do\n"
      "         echo \"turning $file by $turn\"\n"
      "         jpegtran -copy all -rotate \"$turn\" -outfile \"$file.tmp\" \"$file\" &&\n"
      "           mv \"$file.tmp\" \"$file\"\n"
      "       done ;;\n"
      "  esac\n"
      "\nThe window's position and size are kept in ~/.pictrarc. The window manager's\n"
      "close button quits as q does.\n");
}

int refuse(const char* what, const char* arg) {
  std::fprintf(stderr, "pictra: %s %s; %s\n", what, arg, usage_line);
  return usage_status;
}

// A count from 1 up, all digits; 0 for anything else.
std::uint32_t count_of(const char* text) {
  if (text == nullptr || *text < '1' || *text > '9') return 0;
  char* end = nullptr;
  errno = 0;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (*end != '\0' || errno != 0 || value > UINT32_MAX) return 0;
  return static_cast<std::uint32_t>(value);
}

constexpr struct {
  const char* name;
  SortKey key;
} sort_keys[] = {{"name", SortKey::name},
                 {"natural", SortKey::natural},
                 {"time", SortKey::time},
                 {"size", SortKey::size}};

int long_option(const char* arg, Operands& operands) {
  if (std::strcmp(arg, "--reverse") == 0) {
    operands.sort.reverse = true;
    return keep_running;
  }
  constexpr char sort_option[] = "--sort=";
  if (std::strncmp(arg, sort_option, std::strlen(sort_option)) == 0) {
    const char* key = arg + std::strlen(sort_option);
    for (const auto& known : sort_keys) {
      if (std::strcmp(key, known.name) == 0) {
        operands.sort.key = known.key;
        operands.sort.chosen = true;
        return keep_running;
      }
    }
    return refuse("unknown sort key", key);
  }
  return refuse("unknown option", arg);
}

// The delay of -S; false, with the reason on standard error, when it is missing or no number
// of seconds the slideshow takes.
bool slide_delay(const char* text) {
  char* end = nullptr;
  const double seconds = text ? std::strtod(text, &end) : 0;
  if (text && *text && *end == '\0' && set_slide_delay(seconds)) return true;
  std::fprintf(stderr, "pictra: -S wants seconds from 0.1 to 86400, not %s; %s\n",
               text ? text : "nothing", usage_line);
  return false;
}

// A group of one-letter options, such as "-ti" or "-rn3"; -n takes the rest of the group or
// the next argument as its number. i moves past an argument taken.
int short_options(int argc, char** argv, int& i, Operands& operands) {
  const char* arg = argv[i];
  if (arg[1] == '\0') return refuse("unknown option", arg);
  for (const char* letter = arg + 1; *letter != '\0'; ++letter) {
    switch (*letter) {
      case 't':
        operands.grid = true;
        break;
      case 'i':
        operands.read_names = true;
        break;
      case '0':
        operands.null_separated = true;
        break;
      case 'r':
        operands.recursive = true;
        break;
      case 'o':
        operands.print_marks = true;
        break;
      case 'n': {
        const char* number = letter[1] != '\0' ? letter + 1 : (i + 1 < argc ? argv[++i] : nullptr);
        operands.start = count_of(number);
        if (operands.start == 0)
          return refuse("-n needs a count from 1 up, not", number ? number : "nothing");
        return keep_running;
      }
      case 'S': {
        const char* delay = letter[1] != '\0' ? letter + 1 : (i + 1 < argc ? argv[++i] : nullptr);
        if (!slide_delay(delay)) return usage_status;
        operands.slideshow = true;
        return keep_running;
      }
      default:
        return refuse("unknown option", arg);
    }
  }
  return keep_running;
}

}  // namespace

int read_command_line(int argc, char** argv, Operands& operands) {
  bool options_ended = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (options_ended || arg[0] != '-') {
      operands.names.push_back(arg);
      continue;
    }
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
    const int status =
        arg[1] == '-' ? long_option(arg, operands) : short_options(argc, argv, i, operands);
    if (status != keep_running) return status;
  }
  return keep_running;
}
