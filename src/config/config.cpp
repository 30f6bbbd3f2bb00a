// The geometry file: defaults from the screen, a forgiving reader and a writer that always
// rewrites the whole file. Nothing here prints or fails: without a usable file the program simply
// runs on the defaults.
//
// The file is only ever replaced whole: the new text goes to a temporary file beside it, which is
// synced and renamed over it, so a write that fails or is killed half-way leaves the old file as
// it was. A file that is not a regular one (a FIFO, a device) is neither read nor replaced.
#include "config/config.h"

#include <X11/Xlib.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "main/state.h"

namespace {

constexpr char header[] = "\n# pictrarc - configuration file for pictra\n\n";
constexpr std::int32_t default_xpos = 50;
constexpr std::int32_t default_ypos = 10;
constexpr int screen_margin = 100;  // the default window leaves this much of the screen free
// The X protocol carries window sizes as 16-bit values and refuses a size of 0.
constexpr std::int32_t largest_window_size = 32767;
constexpr int line_capacity = 128;  // a longer line is read as several lines
// Four short lines need far less; a larger file is read only this far.
constexpr std::size_t max_file_bytes = 64 * 1024;
// At least this much of the window stays on the screen in each direction, so it can be grabbed.
constexpr std::int32_t min_visible = 64;
// A burst of resizes or moves is written once, after the geometry stayed the same this long.
constexpr auto quiet_time = std::chrono::seconds(1);
// As many symbolic links as the kernel follows in one path; a longer chain is a loop.
constexpr int max_link_depth = 40;
constexpr std::size_t initial_link_size = 256;
constexpr mode_t new_file_mode = 0666;  // narrowed by the umask, as any new file is
constexpr mode_t permission_bits = 07777;

using Clock = std::chrono::steady_clock;

// The geometry the file holds, as read at start or last written, and the save waiting for its
// quiet second.
Config saved{};
Config pending{};  // what save_geometry asked to keep
bool save_pending = false;
Clock::time_point save_due{};

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

bool same_geometry(const Config& a, const Config& b) {
  return a.xpos == b.xpos && a.ypos == b.ypos && a.width == b.width && a.height == b.height;
}

// Keeps one direction of the window within the screen: no larger than it, and at least
// min_visible pixels (all of a smaller window) on it.
void fit_screen(std::int32_t& position, std::int32_t& size, int screen_size) {
  size = std::min(size, static_cast<std::int32_t>(std::max(screen_size, 1)));
  const std::int32_t visible = std::min(size, min_visible);
  position = std::clamp(position, visible - size, screen_size - visible);
}

bool read_link(const std::string& path, std::string& text) {
  std::vector<char> buffer(initial_link_size);
  for (;;) {
    const ssize_t length = readlink(path.c_str(), buffer.data(), buffer.size());
    if (length < 0) return false;
    if (static_cast<std::size_t>(length) < buffer.size()) {
      text.assign(buffer.data(), static_cast<std::size_t>(length));
      return true;
    }
    buffer.resize(buffer.size() * 2);  // possibly cut: try again with more room
  }
}

// The file a save replaces: the path with every symbolic link followed, so that a link (as
// dotfile managers keep them) stays a link and its target gets the new text. Empty for a loop
// or an unreadable link.
std::string write_target(std::string path) {
  for (int depth = 0; depth < max_link_depth; ++depth) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
    std::string link;
    if (!read_link(path, link)) return {};
    const std::size_t slash = path.rfind('/');
    // A relative link is relative to the directory holding it.
    path = link[0] == '/' || slash == std::string::npos ? link : path.substr(0, slash + 1) + link;
  }
  return {};
}

mode_t current_umask() {
  const mode_t mask = umask(0);
  umask(mask);
  return mask;
}

// Writes config into a temporary file beside target and renames it over target. A regular
// target keeps its permissions; any other kind of file is left alone.
bool replace_file(const std::string& target, const Config& config) {
  struct stat old {};
  const bool exists = stat(target.c_str(), &old) == 0;
  if (exists && !S_ISREG(old.st_mode)) return false;
  std::string temporary = target + ".XXXXXX";
  const int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return false;
  const mode_t mode = exists ? old.st_mode & permission_bits : new_file_mode & ~current_umask();
  std::FILE* file = fdopen(fd, "w");
  bool written = file != nullptr && fchmod(fd, mode) == 0;
  if (file) {
    write_config(file, config);
    written = written && std::fflush(file) == 0 && !std::ferror(file) && fsync(fd) == 0;
    written = std::fclose(file) == 0 && written;
  } else {
    close(fd);
  }
  if (written && std::rename(temporary.c_str(), target.c_str()) == 0) return true;
  unlink(temporary.c_str());
  return false;
}

bool write_file(const Config& config) {
  const std::string target = write_target(state.config_path);
  return !target.empty() && replace_file(target, config);
}

// Reads the file, if it is a regular one, through its first max_file_bytes. The open cannot
// block: a FIFO opened for reading without O_NONBLOCK waits for a writer. A missing file is
// created with the defaults in state.config.
void read_geometry_file() {
  const int fd = open(state.config_path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) write_file(state.config);
    return;
  }
  struct stat info {};
  std::vector<char> text;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    text.resize(max_file_bytes);
    std::size_t used = 0;
    while (used < text.size()) {
      const ssize_t got = read(fd, text.data() + used, text.size() - used);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      used += static_cast<std::size_t>(got);
    }
    text.resize(used);
  }
  close(fd);
  if (text.empty()) return;
  if (std::FILE* file = fmemopen(text.data(), text.size(), "r")) {
    read_config(file);
    std::fclose(file);
  }
}

}  // namespace

void read_config(std::FILE* file) {
  char line[line_capacity];
  while (std::fgets(line, sizeof line, file))
    read_line(line);
}

void write_config(std::FILE* file, const Config& config) {
  std::fputs(header, file);
  std::fprintf(file, "xpos=%d\n", static_cast<int>(config.xpos));
  std::fprintf(file, "ypos=%d\n", static_cast<int>(config.ypos));
  std::fprintf(file, "width=%d\n", static_cast<int>(config.width));
  std::fprintf(file, "height=%d\n", static_cast<int>(config.height));
}

void load_config() {
  const int screen_width = DisplayWidth(state.display, state.screen);
  const int screen_height = DisplayHeight(state.display, state.screen);
  const std::int32_t width = default_size(screen_width);
  const std::int32_t height = default_size(screen_height);
  state.config = Config{default_xpos, default_ypos, width, height};

  // An empty path means there is no home directory to keep the file in.
  if (!state.config_path.empty()) read_geometry_file();

  // A size the server would refuse falls back to the default, so the window is always created.
  if (!usable_size(state.config.width)) state.config.width = width;
  if (!usable_size(state.config.height)) state.config.height = height;
  fit_screen(state.config.xpos, state.config.width, screen_width);
  fit_screen(state.config.ypos, state.config.height, screen_height);
  // The geometry fitted to the screen counts as saved: the file is left as it is until the
  // window really changes.
  saved = state.config;
  save_pending = false;
}

void save_geometry(int x, int y, int width, int height) {
  // The callers lay the grid out from config right after, so it takes the new geometry even when
  // the file cannot be written.
  state.config = Config{x, y, width, height};
  pending = state.config;
  save_pending = !same_geometry(state.config, saved);
  save_due = Clock::now() + quiet_time;
}

int config_save_due_ms() {
  if (!save_pending) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(save_due - Clock::now());
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

void flush_config() {
  if (!save_pending) return;
  save_pending = false;
  // A failed write is not retried; the next change of geometry tries again.
  if (!state.config_path.empty() && write_file(pending)) saved = pending;
}
