// The thumbnail browser: grid layout and drawing, the event loop and its keys, activation of an
// entry, the help screen.
#pragma once

#include <X11/Xlib.h>

#include <compare>
#include <cstddef>
#include <cstdint>
#include <string>

struct Picture;

struct GridLevel {
  std::uint32_t rows = 0;
  std::uint32_t cols = 0;
  std::uint32_t cells = 0;
};

// Cell counts per thumbnail size level; indexed by state.thumbsize, so row 0 is unused.
inline constexpr unsigned char min_thumbsize = 1;
inline constexpr unsigned char max_thumbsize = 3;
inline constexpr GridLevel grid[max_thumbsize + 1] = {{}, {3, 4, 12}, {5, 6, 30}, {6, 9, 54}};

// Every cell has a label band of this height under its picture area.
inline constexpr std::uint32_t label_band = 20;

// Grid (layout, labels, thumbnail pass, full redraw).
void layout_grid();
// The label of the cell at index, and the frame of a marked file's cell.
void draw_label(GC gc, std::uint32_t index);
void draw_thumbnails(GC gc, const char* container);
void redraw_grid(int with_thumbnails, const char* container);
// Starts the grid's use of state.pool: its results go to the thumbnail cache.
void start_thumbnails();

// The session's thumbnail cache (thumbs.cpp). A key names a file's contents as they are now
// (device, inode, size, modification time), the sub-image, and the cell size.
struct ThumbKey {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t mtime_seconds = 0;
  std::int64_t mtime_nanoseconds = 0;
  std::string selector;
  std::uint32_t cell_width = 0;
  std::uint32_t cell_height = 0;
  auto operator<=>(const ThumbKey&) const = default;
};
// The memory the kept thumbnails may take.
inline constexpr std::size_t thumb_cache_bytes = std::size_t{128} << 20;
// The key of path as it is now; false when it is not a regular file.
bool thumb_key(const char* path, const char* selector, std::uint32_t cell_width,
               std::uint32_t cell_height, ThumbKey& key);
Picture* find_thumb(const ThumbKey& key);
// Takes ownership of picture; ahead marks a thumbnail of a page not shown yet.
void keep_thumb(const ThumbKey& key, Picture* picture, bool ahead);
std::size_t thumb_cache_used();
void clear_thumb_cache();

// Event loop and navigation.
void browse(std::string& container);
// Reads the list again after the key handler, keeping the page and the selected entry where
// they still are; the sub-images of a file gone are left for its directory.
void reread_list(std::string& container);
// Selects the marked entry after the selected one (forward) or before it; 0 when there is none,
// 1 when the selection moved.
int step_to_mark(bool forward);
int handle_key(KeySym keysym, std::string& container);

// True once the window has been destroyed from outside or the manager asked to close it (the
// event record holds its DestroyNotify or the close request): nothing may be drawn any more.
bool window_closing();

// Activation and help.
int activate_entry(std::uint32_t index, std::string& container);
// Leaves a list of sub-images: the directory holding the file is listed again with the file
// selected, and container is emptied.
void leave_container(std::string& container);
// Selects the entry at position of the list, on the page it would be on when paged to from the
// start.
void select_position(std::uint32_t position);
void show_help();
