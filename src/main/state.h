// The one program-wide state record. Everything that more than one module reads or writes lives
// here; a module's private state stays in its own .cpp.
#pragma once

#include <X11/Xlib.h>

#include <cstddef>
#include <cstdint>
#include <string>

struct Picture;
struct FileNode;
class DecodePool;

// Window geometry as kept in the configuration file; width and height are also the window's
// current size for every layout.
struct Config {
  std::int32_t xpos = 0;
  std::int32_t ypos = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
};

// How a directory's entries, and a list of named files, are ordered.
enum class SortKey { name, natural, time, size };
struct SortOrder {
  SortKey key = SortKey::name;
  bool reverse = false;
  // Asked for on the command line: a list of named files is sorted too, instead of keeping the
  // order the names came in.
  bool chosen = false;
};

struct ProgramState {
  // Display facts, set once by x_Init.
  Display* display = nullptr;
  int screen = 0;
  Visual* visual = nullptr;
  int visual_depth = 0;
  int bits_per_pixel = 0;
  unsigned long bytes_per_pixel = 0;
  Colormap cube_colormap = 0;
  XColor* cube_colors = nullptr;
  int red_shift = 0;
  int red_bits = 0;
  int green_shift = 0;
  int green_bits = 0;
  int blue_shift = 0;
  int blue_bits = 0;
  XFontSet fontset = nullptr;

  Window window = 0;
  XEvent event{};  // the one record every event reader fetches into
  Config config{};
  std::string config_path;       // empty when there is no home directory to keep the file in
  std::string key_handler_path;  // the user's program for Ctrl+x; empty without a home
  bool null_separated = false;   // -0: lists of names are ended by NUL bytes, not newlines

  // Browsing state.
  FileNode* top = nullptr;  // the list, held by the node shown in the first grid cell
  std::uint32_t selected = 0;
  unsigned char thumbsize = 0;
  int quit = 0;
  int event_pending = 0;
  int interrupted = 0;
  std::string container;  // multi-image file whose sub-images the list shows
  SortOrder sort;
  // The list holds the files named on the command line or standard input, by the paths given:
  // there is no directory to read again or to leave for its parent.
  bool named_list = false;
  bool info_line = false;  // the band along the bottom, in the grid and the view alike

  void (*cleanup)(int sig) = nullptr;

  // The workers that decode thumbnails and the view's images; X stays on the main thread.
  DecodePool* pool = nullptr;

  // Grid geometry, written by layout_grid only.
  std::uint32_t cell_width = 0;
  std::uint32_t thumb_height = 0;
  int grid_visible = 0;
  Picture* blank_picture = nullptr;
};

inline ProgramState state;
