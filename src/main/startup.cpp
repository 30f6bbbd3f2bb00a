// Start-up, the choice between browsing and viewing one image, and shutdown.
#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "browser/browser.h"
#include "config/config.h"
#include "filelist/filelist.h"
#include "formats/formats.h"
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

void reset_browsing_state() {
  state.selected = 0;
  state.container.clear();
  state.thumbsize = initial_thumbsize;
  state.interrupted = 0;
  state.event_pending = 0;
}

}  // namespace

int pictra_main(int argc, char** argv) {
  build_config_path();
  init_formats();
  if (!std::getenv("DISPLAY")) {
    std::puts("Cannot connect to X-Server.");
    std::puts("And it's not compiled for framebuffer or glide.");
    return fatal_status;
  }
  x_Init(nullptr);
  state.cleanup = end_session;
  x_InstallSignals();
  load_config();
  x_OpenWindow();
  reset_browsing_state();
  scan_dir();

  // No file name (also an empty argument vector, without even a program name) browses.
  if (argc <= 1) {
    browse(state.container);
  } else if (view_image(argv[1], argc > 2 ? argv[2] : "") == view_failed) {
    std::puts("Error while displaying image.");
  }

  clear_files(state.top);
  void (*cleanup)(int) = state.cleanup;
  state.cleanup = nullptr;  // a signal from here on must not run it again
  if (cleanup) cleanup(0);
  x_EndIfSignalled();  // a signal that came during shutdown still ends the process by it
  return 0;
}
