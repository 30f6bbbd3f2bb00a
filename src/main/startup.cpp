// Start-up, the choice between browsing and viewing one image, and shutdown.
#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "browser/browser.h"
#include "config/config.h"
#include "filelist/filelist.h"
#include "formats/formats.h"
#include "formats/pool.h"
#include "main/command_line.h"
#include "main/startup.h"
#include "main/state.h"
#include "viewer/viewer.h"
#include "xsupport/xsupport.h"

namespace {

constexpr int fatal_status = -1;
constexpr unsigned char initial_thumbsize = 2;
constexpr char config_name[] = "/.pictrarc";

// The home directory: HOME, or when it is unset the password database. Null when neither
// names one; the program then runs without a configuration file.
const char* home_directory() {
  if (const char* home = std::getenv("HOME")) return home;
  const passwd* entry = getpwuid(getuid());
  return entry && entry->pw_dir && *entry->pw_dir ? entry->pw_dir : nullptr;
}

// An empty config_path tells load_config and save_geometry that there is no file to use.
void build_config_path() {
  const char* home = home_directory();
  state.config_path = home ? std::string(home) + config_name : std::string();
}

// The cleanup of every ending, a signal's included: the geometry waiting for its quiet second
// is written before the display goes.
void end_session(int sig) {
  flush_config();
  x_Cleanup(sig);
}

// The image node of the list named name, or none.
const FileNode* find_image(const char* name) {
  for (const FileNode* node = state.top; node; node = node->nextfile)
    if (node->name[0] != '/' && node->name == name) return node;
  return nullptr;
}

const FileNode* image_or_none(const FileNode* node) {
  return node && node->name[0] != '/' ? node : nullptr;
}

ViewEntry entry_of(const FileNode* node) {
  return node ? ViewEntry{node->name, ""} : ViewEntry{};
}

// `pictra FILE [SELECTOR]`: shows FILE and steps through the images of its directory, in list
// order; the keys that leave the view end the program. The directory becomes the current one,
// so the list and the title name its files as they are named there. False when an image
// cannot be shown.
bool view_from_command_line(const char* file, const char* selector) {
  std::string name = file;
  if (const auto slash = name.rfind('/'); slash != std::string::npos) {
    const std::string directory = slash == 0 ? "/" : name.substr(0, slash);
    if (chdir(directory.c_str()) == 0) name = name.substr(slash + 1);
  }
  scan_dir();
  const FileNode* node = find_image(name.c_str());
  if (node == nullptr) {
    // Not in the list (a name the scan leaves out): shown alone, every key ends.
    return view_image({name, selector}, {}, {}) != view_failed;
  }
  ViewEntry shown{name, selector};
  for (;;) {
    const FileNode* previous = image_or_none(node->prevfile);
    const FileNode* next = image_or_none(node->nextfile);
    const int result = view_image(shown, entry_of(previous), entry_of(next));
    if (result == view_failed) return false;
    if (result == view_left) return true;
    const FileNode* step = result == view_previous ? previous : next;
    if (step) {
      node = step;
      shown = entry_of(node);
    }
  }
}

void reset_browsing_state() {
  state.selected = 0;
  state.container.clear();
  state.thumbsize = initial_thumbsize;
  state.interrupted = 0;
  state.event_pending = 0;
}

}  // namespace

int pictra_main(int argc, char** argv) {
  Operands operands;
  const int status = read_command_line(argc, argv, operands);
  if (status != keep_running) return status;
  build_config_path();
  init_formats();
  if (!std::getenv("DISPLAY")) {
    std::puts("Cannot connect to X-Server.");
    std::puts("And it's not compiled for framebuffer or glide.");
    return fatal_status;
  }
  x_Init(nullptr);
  set_display_profile(x_DisplayProfile());
  state.cleanup = end_session;
  x_InstallSignals();
  load_config();
  x_OpenWindow();
  reset_browsing_state();
  DecodePool pool(DecodePool::default_threads());
  state.pool = &pool;
  start_thumbnails();
  start_view();

  // No file name (also an empty argument vector, without even a program name) browses.
  if (!operands.file) {
    scan_dir();
    browse(state.container);
  } else if (!view_from_command_line(operands.file, operands.selector)) {
    std::puts("Error while displaying image.");
  }
  leave_view();

  clear_files(state.top);
  clear_thumb_cache();
  void (*cleanup)(int) = state.cleanup;
  state.cleanup = nullptr;  // a signal from here on must not run it again
  if (cleanup) cleanup(0);
  x_EndIfSignalled();  // a signal that came during shutdown still ends the process by it
  state.pool = nullptr;
  return 0;
}
