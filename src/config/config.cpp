// The geometry file: defaults from the screen, a forgiving reader and a writer that always
// rewrites the whole file. Nothing here prints or fails: without a usable file the program simply
// runs on the defaults.
#include "config/config.h"

#include <X11/Xlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "main/state.h"

namespace {

constexpr char header[] = "\n# pictrarc - configuration file for pictra\n\n";
constexpr std::int32_t default_xpos = 50;
constexpr std::int32_t default_ypos = 10;
constexpr int screen_margin = 100;  // the default window leaves this much of the screen free
// The X protocol carries window sizes as 16-bit values and refuses a size of 0.
constexpr std::int32_t largest_window_size = 32767;
constexpr int line_capacity = 128;  // a longer line is read as several lines

// A screen no larger than the margin still gets a window, if only a tiny one.
std::int32_t default_size(int screen_size) {
  return screen_size > screen_margin ? screen_size - screen_margin : 1;
}

bool usable_size(std::int32_t size) {
  return size > 0 && size <= largest_window_size;
}

// The member that a key names, or null for a key the file format does not know. The key must
// match exactly: no trimming, no case folding.
std::int32_t* member_for_key(const char* key, std::size_t length) {
  struct KeyMember {
    const char* key;
    std::int32_t Config::*member;
  };
  static constexpr KeyMember keys[] = {
      {"xpos", &Config::xpos},
      {"ypos", &Config::ypos},
      {"width", &Config::width},
      {"height", &Config::height},
  };
  for (const KeyMember& entry : keys) {
    if (std::strlen(entry.key) == length && std::strncmp(entry.key, key, length) == 0) {
      return &(state.config.*entry.member);
    }
  }
  return nullptr;
}

void read_line(const char* line) {
  while (*line == ' ')
    ++line;  // only spaces: a tab starts a key of its own
  if (*line == '#' || *line == '\0') return;
  const char* equals = std::strchr(line, '=');
  if (!equals) return;
  std::int32_t* member = member_for_key(line, static_cast<std::size_t>(equals - line));
  if (!member) return;
  // Read as unsigned and keep the low 32 bits, so "-20" comes back as -20 and "600px" as 600.
  const unsigned long value = std::strtoul(equals + 1, nullptr, 10);
  *member = static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

}  // namespace

void read_config(std::FILE* file) {
  char line[line_capacity];
  while (std::fgets(line, sizeof line, file))
    read_line(line);
}

void write_config(std::FILE* file) {
  std::fputs(header, file);
  std::fprintf(file, "xpos=%d\n", static_cast<int>(state.config.xpos));
  std::fprintf(file, "ypos=%d\n", static_cast<int>(state.config.ypos));
  std::fprintf(file, "width=%d\n", static_cast<int>(state.config.width));
  std::fprintf(file, "height=%d\n", static_cast<int>(state.config.height));
}

void load_config() {
  const std::int32_t width = default_size(DisplayWidth(state.display, state.screen));
  const std::int32_t height = default_size(DisplayHeight(state.display, state.screen));
  state.config = Config{default_xpos, default_ypos, width, height};

  // An empty path means there is no home directory to keep the file in.
  if (state.config_path[0] != '\0') {
    std::FILE* file = std::fopen(state.config_path, "r");
    if (!file) {
      if (std::FILE* created = std::fopen(state.config_path, "w")) {
        write_config(created);
        std::fclose(created);
      }
      file = std::fopen(state.config_path, "r");
    }
    if (file) {
      read_config(file);
      std::fclose(file);
    }
  }

  // A size the server would refuse falls back to the default, so the window is always created.
  if (!usable_size(state.config.width)) state.config.width = width;
  if (!usable_size(state.config.height)) state.config.height = height;
}

void save_geometry(int x, int y, int width, int height) {
  // The callers lay the grid out from config right after, so it takes the new geometry even when
  // the file cannot be written.
  state.config = Config{x, y, width, height};
  if (state.config_path[0] == '\0') return;
  std::FILE* file = std::fopen(state.config_path, "w");
  if (!file) return;
  write_config(file);
  std::fclose(file);
}
