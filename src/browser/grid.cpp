// The thumbnail grid: cell geometry, labels, the interruptible thumbnail pass with its cache on
// the file-list nodes, and the full redraw the browser loop asks for after every change.
#include <X11/Xlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "browser/browser.h"
#include "filelist/filelist.h"
#include "filelist/marks.h"
#include "formats/formats.h"
#include "formats/pool.h"
#include "main/state.h"
#include "viewer/view_state.h"
#include "xsupport/xsupport.h"

namespace {

constexpr int rgb_black = 0x000000;
constexpr int rgb_white = 0xffffff;
constexpr int rgb_green = 0x00ff00;            // directory names
constexpr int rgb_cyan = 0x00ffff;             // file names
constexpr std::uint32_t mark_frame_width = 4;  // of a marked cell's frame

// The label bar starts one row below the picture area and is this many rows high; the name's
// baseline lies on the bar's last row.
constexpr std::uint32_t label_bar_offset = 1;
constexpr std::uint32_t label_bar_height = 10;
constexpr std::uint32_t label_baseline_offset = 10;

// The page on show comes before the page decoded ahead.
constexpr int page_priority = 2;
constexpr int ahead_priority = 1;

// A picture area this low or lower leaves no room for anything worth showing.
constexpr std::uint32_t min_visible_thumb_height = 10;

// The events that cut a thumbnail pass short: input, exposure and window changes.
constexpr long pass_event_mask =
    KeyPressMask | ButtonPressMask | ExposureMask | StructureNotifyMask;

const GridLevel& level() {
  return grid[state.thumbsize];
}

std::uint32_t cell_height() {
  return state.thumb_height + label_band;
}

// What one file cell decodes. A directory listing decodes the entry itself. A listing of the
// sub-images of a container file decodes the container, with the entry's name (its sub-image
// number) as the selector.
struct CellSource {
  const char* path = nullptr;
  const char* selector = "";
};

CellSource cell_source(const char* container, const char* name) {
  if (container == nullptr || container[0] == '\0') return {name, ""};
  return {container, name};
}

// A page cell whose thumbnail the pass waits for.
struct WaitedCell {
  std::uint32_t index = 0;
  ThumbKey key;
  bool waiting = true;
};

// The pass in progress: its cells still to come and the GC it draws with. Only a pass draws
// thumbnails, and only while it waits in draw_thumbnails: once it ends, finished or cut short,
// the window may belong to the view or the help screen, so results arriving then only go to the
// cache. The next pass asks again for whatever its page still lacks.
std::vector<WaitedCell> waited;
GC pass_gc = nullptr;

void end_pass() {
  pass_gc = nullptr;
  waited.clear();
}
// Jobs handed to the pool and not yet back, by tag.
std::map<std::uint64_t, ThumbKey> submitted;
std::uint64_t last_tag = 0;

void put_cell(GC gc, const Picture* picture, std::uint32_t column, std::uint32_t row);

bool already_submitted(const ThumbKey& key) {
  for (const auto& [tag, wanted] : submitted)
    if (wanted == key) return true;
  return false;
}

void submit(const CellSource& source, const ThumbKey& key, int group) {
  if (already_submitted(key)) return;
  const std::uint64_t tag = ++last_tag;
  submitted.emplace(tag, key);
  state.pool->submit(DecodeJob{.path = source.path,
                               .selector = source.selector,
                               .wish = {state.cell_width, state.thumb_height},
                               .tag = tag,
                               .group = group,
                               .priority = group == group_page ? page_priority : ahead_priority,
                               .fit = true});
}

// Drops the queued jobs of group, and forgets them; those already decoding still come back.
void drop(int group) {
  for (std::uint64_t tag : state.pool->drop_queued(group))
    submitted.erase(tag);
}

// A cell Picture of a fitted image, top left, black around it; an empty image leaves the cell
// black.
Picture* cell_picture(const Image& fitted) {
  Picture* picture = x_CreatePicture(state.cell_width, cell_height(), state.bits_per_pixel);
  if (picture == nullptr) return nullptr;
  x_FillPicture(picture, rgb_black);
  if (fitted.width > 0 && fitted.height > 0 && fitted.width <= state.cell_width &&
      fitted.height <= state.thumb_height) {
    x_PutRGB(picture, 0, 0, fitted.rgb.data(), fitted.width, fitted.height,
             std::uint64_t{fitted.width} * rgb_channels);
  }
  return picture;
}

// Puts the cells of the pass that wait for key with picture (the blank one for a file that
// yields no image). Nothing without a pass in progress.
void resolve(const ThumbKey& key, const Picture* picture) {
  if (pass_gc == nullptr) return;
  for (WaitedCell& cell : waited) {
    if (!cell.waiting || !(cell.key == key)) continue;
    cell.waiting = false;
    put_cell(pass_gc, picture, cell.index % level().cols, cell.index / level().cols);
    draw_label(pass_gc, cell.index);
  }
}

// The pool's handler for thumbnails: into the cache, and onto the page when the pass waits.
void take_thumbnail(DecodeResult&& result) {
  const auto at = submitted.find(result.job.tag);
  if (at == submitted.end()) return;
  const ThumbKey key = at->second;
  submitted.erase(at);
  // Made for another cell size: of no use any more.
  if (key.cell_width != state.cell_width || key.cell_height != state.thumb_height) return;
  Picture* picture = result.image ? cell_picture(*result.image) : nullptr;
  if (picture == nullptr) {
    resolve(key, state.blank_picture);  // a later pass tries again
    return;
  }
  keep_thumb(key, picture, result.job.group == group_ahead);
  if (pass_gc != nullptr && find_thumb(key)) resolve(key, picture);
}

bool waiting_for_cells() {
  return std::ranges::any_of(waited, [](const WaitedCell& cell) { return cell.waiting; });
}

// The thumbnails of the page after this one, decoded while nothing else is to be done.
void decode_ahead(const char* container) {
  const std::uint32_t cells = level().cells;
  for (std::uint32_t index = cells; index < 2 * cells; ++index) {
    const char* name = file_name_at(state.top, index);
    if (name == nullptr) break;
    if (name[0] == '\0' || is_dir_or_end(state.top, index)) continue;
    const CellSource source = cell_source(container, name);
    ThumbKey key;
    if (!thumb_key(source.path, source.selector, state.cell_width, state.thumb_height, key))
      continue;
    if (find_thumb(key) == nullptr) submit(source, key, group_ahead);
  }
}

void put_cell(GC gc, const Picture* picture, std::uint32_t column, std::uint32_t row) {
  XPutImage(state.display, state.window, gc, picture->ximage, 0, 0,
            static_cast<int>(state.cell_width * column), static_cast<int>(cell_height() * row),
            state.cell_width, cell_height());
}

void set_foreground(GC gc, int rgb) {
  XGCValues values{};
  values.foreground = x_MakeColor(rgb);
  XChangeGC(state.display, gc, GCForeground, &values);
}

// A frame along the edges of the cell's picture area, above its label band.
void draw_mark(GC gc, int x, std::uint32_t top) {
  const std::uint32_t width = state.cell_width > 0 ? state.cell_width - 1 : 0;
  const std::uint32_t side = std::min({mark_frame_width, width, state.thumb_height});
  if (side == 0) return;
  const auto y = static_cast<int>(top);
  set_foreground(gc, mark_rgb);
  const XRectangle edges[] = {
      {static_cast<short>(x), static_cast<short>(y), static_cast<unsigned short>(width),
       static_cast<unsigned short>(side)},
      {static_cast<short>(x), static_cast<short>(y + static_cast<int>(state.thumb_height - side)),
       static_cast<unsigned short>(width), static_cast<unsigned short>(side)},
      {static_cast<short>(x), static_cast<short>(y), static_cast<unsigned short>(side),
       static_cast<unsigned short>(state.thumb_height)},
      {static_cast<short>(x + static_cast<int>(width - side)), static_cast<short>(y),
       static_cast<unsigned short>(side), static_cast<unsigned short>(state.thumb_height)}};
  XFillRectangles(state.display, state.window, gc, const_cast<XRectangle*>(edges),
                  static_cast<int>(std::size(edges)));
}

// Takes a waiting input, exposure or structure event or the manager's close into state.event,
// if there is one.
bool event_waiting() {
  return XCheckMaskEvent(state.display, pass_event_mask, &state.event) != 0 || x_TakeCloseRequest();
}

// A deleted directory has no links left; it reads as empty and getcwd cannot name it.
bool working_directory_deleted() {
  struct stat info {};
  return stat(".", &info) == 0 && info.st_nlink == 0;
}

// The name as its label shows it. In a multibyte locale each byte that starts no valid character
// becomes "?": the X library's converter stops at the first such byte, and the rest of the name
// would vanish. In a single-byte locale every byte is a character of it.
std::string label_text(const char* name) {
  const std::size_t length = std::strlen(name);
  if (MB_CUR_MAX == 1) return {name, length};
  std::string text;
  text.reserve(length);
  std::mbstate_t shift{};
  for (std::size_t at = 0; at < length;) {
    const std::size_t size = std::mbrlen(name + at, length - at, &shift);
    if (size == static_cast<std::size_t>(-1) || size == static_cast<std::size_t>(-2)) {
      text += '?';
      ++at;
      shift = std::mbstate_t{};
      continue;
    }
    text.append(name + at, size);
    at += size;
  }
  return text;
}

// The number of images (entries that are no directories) in the list.
std::size_t image_count() {
  return image_place(state.top).count;
}

// The info line of the grid: the folder and the selected entry, then how many images the list
// holds and the selected file's size.
void draw_grid_info(const std::string& folder, const char* container) {
  const char* name = file_name_at(state.top, state.selected);
  std::string shown = folder;
  std::string rest = std::to_string(image_count()) + " images";
  if (name && *name) {
    const bool directory = name[0] == '/';
    shown += '/';
    if (directory) {
      shown += name + 1;
      shown += '/';
    } else {
      shown += label_text(name);
    }
    struct stat st {};
    const bool listing_directory = container == nullptr || container[0] == '\0';
    if (!directory && listing_directory && stat(name, &st) == 0)
      rest += "  " + readable_bytes(st.st_size);
  }
  // The mark and the number of marked files go here once files can be marked.
  x_DrawInfoLine(state.window, static_cast<std::uint32_t>(state.config.width),
                 static_cast<std::uint32_t>(state.config.height), shown, rest);
}

}  // namespace

void layout_grid() {
  x_FreePicture(state.blank_picture);
  state.blank_picture = nullptr;

  // The window size is taken as unsigned, as every later use of it is.
  const auto width = static_cast<std::uint32_t>(state.config.width);
  // The info line, when on, takes the window's last rows.
  const auto window_height = static_cast<std::uint32_t>(state.config.height);
  const std::uint32_t info = state.info_line ? x_InfoLineHeight() : 0;
  const std::uint32_t height = window_height > info ? window_height - info : 0;
  const std::uint32_t bands = level().rows * label_band;
  state.cell_width = width / level().cols;
  if (height > bands) {
    state.thumb_height = (height - bands) / level().rows;
    state.grid_visible = state.thumb_height > min_visible_thumb_height;
  } else {
    state.thumb_height = 0;
    state.grid_visible = 0;
  }

  state.blank_picture = x_CreatePicture(state.cell_width, cell_height(), state.bits_per_pixel);
  if (state.blank_picture == nullptr) {
    std::puts("xsupport error: cannot alloc black image");
    std::exit(1);
  }
  x_FillPicture(state.blank_picture, rgb_black);
}

void draw_label(GC gc, std::uint32_t index) {
  const std::uint32_t column = index % level().cols, row = index / level().cols;
  const bool selected = index == state.selected;
  const auto x = static_cast<int>(state.cell_width * column);
  const std::uint32_t cell_top = cell_height() * row;

  set_foreground(gc, selected ? rgb_white : rgb_black);
  // One pixel short of the cell, so neighbouring bars stay apart; a cell of no width (a window
  // narrower than the columns) gets no bar rather than one wrapped round to full width.
  const std::uint32_t bar_width = state.cell_width > 0 ? state.cell_width - 1 : 0;
  XFillRectangle(state.display, state.window, gc, x,
                 static_cast<int>(cell_top + state.thumb_height + label_bar_offset), bar_width,
                 label_bar_height);

  int name_rgb = rgb_black;
  if (!selected) name_rgb = is_dir_or_end(state.top, index) ? rgb_green : rgb_cyan;
  set_foreground(gc, name_rgb);

  const FileNode* node = file_node_at(state.top, index);
  if (node == nullptr) return;  // past the end of the list: the bar only
  if (is_marked(node)) {
    draw_mark(gc, x, cell_top);
    set_foreground(gc, name_rgb);
  }
  // A file named by a path is labelled by its own name, which the cell has room for.
  const char* name = node->name.c_str();
  if (const char* slash = std::strrchr(name, '/'); slash && !node->directory) name = slash + 1;
  // A long name ends at its cell's edge (with the bar's one-pixel gap) instead of running over
  // its neighbours' labels.
  XRectangle cell{static_cast<short>(x), static_cast<short>(cell_top),
                  static_cast<unsigned short>(bar_width),
                  static_cast<unsigned short>(cell_height())};
  XSetClipRectangles(state.display, gc, 0, 0, &cell, 1, YXBanded);
  const std::string text = label_text(name);
  XmbDrawString(state.display, state.window, state.fontset, gc, x,
                static_cast<int>(cell_top + state.thumb_height + label_baseline_offset),
                text.c_str(), static_cast<int>(text.size()));
  XSetClipMask(state.display, gc, None);
}

void draw_thumbnails(GC gc, const char* container) {
  if (state.cell_width == 0 || state.thumb_height == 0) return;
  state.event_pending = 0;
  // Results already back go to the cache first. Work for a page no longer shown is dropped;
  // what this page still needs is asked anew.
  state.pool->dispatch();
  drop(group_page);
  drop(group_ahead);

  waited.clear();
  std::uint32_t index = 0;
  for (std::uint32_t row = 0; row < level().rows; ++row) {
    for (std::uint32_t column = 0; column < level().cols; ++column, ++index) {
      const char* name = file_name_at(state.top, index);
      const bool dir_or_end = is_dir_or_end(state.top, index) != 0;
      ThumbKey key;
      const CellSource source = cell_source(container, name ? name : "");
      if (name == nullptr || name[0] == '\0' || dir_or_end) {
        put_cell(gc, state.blank_picture, column, row);
        if (dir_or_end) draw_label(gc, index);
        continue;
      }
      // A name that is no regular file (any more) yields no image, like a damaged file.
      if (!thumb_key(source.path, source.selector, state.cell_width, state.thumb_height, key)) {
        put_cell(gc, state.blank_picture, column, row);
        draw_label(gc, index);
        continue;
      }
      if (const Picture* cached = find_thumb(key)) {
        put_cell(gc, cached, column, row);
        draw_label(gc, index);
        continue;
      }
      waited.push_back({index, key, true});
      submit(source, key, group_page);
    }
  }

  // The cells arrive as the workers finish them; input cuts the wait short, and the decoding
  // goes on meanwhile.
  pass_gc = gc;
  while (waiting_for_cells()) {
    x_EndIfSignalled();
    if (event_waiting()) {
      state.event_pending = 1;
      state.interrupted = 1;
      end_pass();
      return;
    }
    state.pool->dispatch();
    if (waiting_for_cells()) x_WaitInput(state.pool->wake_fd());
  }
  end_pass();
  state.interrupted = 0;
  if (!XPending(state.display)) decode_ahead(container);
}

void start_thumbnails() {
  state.pool->set_handler(group_page, take_thumbnail);
  state.pool->set_handler(group_ahead, take_thumbnail);
}

void redraw_grid(int with_thumbnails, const char* container) {
  // A listed directory deleted meanwhile shows only the way out, and every cell is cleared.
  const bool listing_directory =
      (container == nullptr || container[0] == '\0') && !state.named_list;
  if (listing_directory && state.top && state.top->nextfile && working_directory_deleted()) {
    scan_dir();
    with_thumbnails = 1;
  }
  if (state.grid_visible) {
    XGCValues values{};
    values.foreground = 0;
    values.background = x_MakeColor(rgb_white);
    GC gc = XCreateGC(state.display, state.window, GCForeground | GCBackground, &values);
    for (std::uint32_t i = 0; i < level().cells; ++i)
      draw_label(gc, i);
    if (with_thumbnails) draw_thumbnails(gc, container);
    XFreeGC(state.display, gc);
  }

  // Without a current directory there is no path to show; the title keeps just its prefix.
  // While the sub-images of a file are listed, the title names that file after the directory.
  char* path = getcwd(nullptr, 0);
  std::string folder;
  if (path != nullptr) {
    folder = path;
    if (container != nullptr && container[0] != '\0') folder += std::string("/") + container;
  }
  std::free(path);
  if (state.info_line) draw_grid_info(folder, container);
  x_SetTitle(folder.c_str(), 0, 0);
}
