// The thumbnail grid: cell geometry, labels, the interruptible thumbnail pass with its cache on
// the file-list nodes, and the full redraw the browser loop asks for after every change.
#include <X11/Xlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "browser/browser.h"
#include "filelist/filelist.h"
#include "formats/formats.h"
#include "main/state.h"
#include "xsupport/xsupport.h"

namespace {

constexpr int rgb_black = 0x000000;
constexpr int rgb_white = 0xffffff;
constexpr int rgb_green = 0x00ff00;  // directory names
constexpr int rgb_cyan = 0x00ffff;   // file names

// The label bar starts one row below the picture area and is this many rows high; the name's
// baseline lies on the bar's last row.
constexpr std::uint32_t label_bar_offset = 1;
constexpr std::uint32_t label_bar_height = 10;
constexpr std::uint32_t label_baseline_offset = 10;

// A picture area this low or lower leaves no room for anything worth showing.
constexpr std::uint32_t min_visible_thumb_height = 10;

// The events that cut a thumbnail pass short: input, exposure and window changes.
constexpr long pass_event_mask =
    KeyPressMask | ButtonPressMask | ExposureMask | StructureNotifyMask;

// get_pixel's colour argument: every caller asks for the colour value.
constexpr int want_color = 1;

// get_pixel addresses pixels with signed 32-bit coordinates, so a larger side cannot be
// sampled; keeping sides within it also keeps every 64-bit product below from overflowing.
constexpr std::uint64_t max_image_side = INT32_MAX;

const GridLevel& level() {
  return grid[state.thumbsize];
}

std::uint32_t cell_height() {
  return state.thumb_height + label_band;
}

// What one file cell decodes. A directory listing decodes the entry itself. A listing of the
// sub-images of a container file decodes the container, with the entry's name (its sub-image
// number) as the selector, behind subpath and "/" when a prefix is set.
struct CellSource {
  const char* path = nullptr;
  const char* selector = "";
};

CellSource cell_source(const char* container, const char* name, char (&selector)[path_capacity]) {
  if (container == nullptr || container[0] == '\0') return {name, ""};
  if (state.subpath != nullptr) {
    std::snprintf(selector, sizeof selector, "%s/%s", state.subpath, name);
  } else {
    std::snprintf(selector, sizeof selector, "%s", name);
  }
  return {container, selector};
}

// The scaled size of a w x h image fitted into the picture area, its aspect ratio kept. The
// ratios are compared in single precision, and equal ratios fill the area's height.
struct Fit {
  std::uint64_t width = 0;
  std::uint64_t height = 0;
};

Fit fit_into_cell(std::uint64_t w, std::uint64_t h) {
  const std::uint64_t cw = state.cell_width, th = state.thumb_height;
  if (static_cast<float>(w) / static_cast<float>(h) >
      static_cast<float>(cw) / static_cast<float>(th)) {
    return {cw, h * cw / w};
  }
  return {w * th / h, th};
}

// Fills the whole cell-sized Picture with the nearest-neighbour scaled image of the loaded
// format, anchored top left, everything else black. A pixel (x, y) takes source pixel
// (x * w / sw, y * h / sh); that lies inside the image exactly when x < sw and y < sh, so only
// those pixels are sampled (outside, get_pixel would answer black anyway), and each column's
// source x is worked out once for the cell instead of once per pixel.
bool fill_scaled(Picture* picture, const ImageFormat& format, std::uint64_t w, std::uint64_t h,
                 Fit fit) {
  // An image far wider or taller than the cell scales to nothing: the cell is all black.
  const bool empty = fit.width == 0 || fit.height == 0;
  std::int32_t* source_x = nullptr;
  if (!empty) {
    source_x = static_cast<std::int32_t*>(std::malloc(fit.width * sizeof(std::int32_t)));
    if (source_x == nullptr) return false;
    for (std::uint64_t x = 0; x < fit.width; ++x)
      source_x[x] = static_cast<std::int32_t>(x * w / fit.width);
  }

  for (std::uint64_t y = 0; y < cell_height(); ++y) {
    const bool in_image = !empty && y < fit.height;
    const auto source_y = in_image ? static_cast<std::int32_t>(y * h / fit.height) : 0;
    for (std::uint64_t x = 0; x < state.cell_width; ++x) {
      const bool sampled = in_image && x < fit.width;
      x_PutPixel(picture, x, y,
                 sampled ? format.get_pixel(source_x[x], source_y, want_color) : rgb_black);
    }
  }
  std::free(source_x);
  return true;
}

// Decodes the cell's image through the format table, asking for about the cell's picture area,
// and scales it into picture. False when the file yields no image.
bool scale_thumbnail(Picture* picture, CellSource source) {
  const int type = get_type(source.path);
  if (type < 0) return false;
  const ImageFormat& format = formats[type];

  bool made = false;
  if (format.load(source.path, source.selector, state.cell_width, state.thumb_height)) {
    const auto w = static_cast<std::uint64_t>(format.get_width());
    const auto h = static_cast<std::uint64_t>(format.get_height());
    if (w != 0 && h != 0 && w <= max_image_side && h <= max_image_side) {
      made = fill_scaled(picture, format, w, h, fit_into_cell(w, h));
    }
  }
  format.unload();  // after every load, also a failed one
  return made;
}

// The picture of a file cell: its cached thumbnail, else a new one made now and cached, else
// the blank picture when none can be made (a later pass tries again).
Picture* cell_picture(std::uint32_t index, const char* name, const char* container) {
  if (Picture* cached = file_thumb_at(state.top, index)) return cached;

  Picture* picture = x_CreatePicture(state.cell_width, cell_height(), state.bits_per_pixel);
  if (picture == nullptr) return state.blank_picture;
  char selector[path_capacity];
  // The Picture goes to the node only once it is complete, so a failed one never has to be
  // taken back from the node.
  if (!scale_thumbnail(picture, cell_source(container, name, selector))) {
    x_FreePicture(picture);
    return state.blank_picture;
  }
  set_file_thumb(state.top, index, picture);
  return picture;
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

// Takes a waiting input, exposure or structure event into state.event, if there is one.
bool event_waiting() {
  return XCheckMaskEvent(state.display, pass_event_mask, &state.event) != 0;
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

}  // namespace

void layout_grid() {
  x_FreePicture(state.blank_picture);
  state.blank_picture = nullptr;
  clear_thumbs(state.top);

  // The window size is taken as unsigned, as every later use of it is.
  const auto width = static_cast<std::uint32_t>(state.config.width);
  const auto height = static_cast<std::uint32_t>(state.config.height);
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
  for (std::uint64_t y = 0; y < cell_height(); ++y) {
    for (std::uint64_t x = 0; x < state.cell_width; ++x)
      x_PutPixel(state.blank_picture, x, y, rgb_black);
  }
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

  const char* name = file_name_at(state.top, index);
  if (name == nullptr) return;  // past the end of the list: the bar only
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

  std::uint32_t index = 0;
  for (std::uint32_t row = 0; row < level().rows; ++row) {
    for (std::uint32_t column = 0; column < level().cols; ++column, ++index) {
      const char* name = file_name_at(state.top, index);
      const bool dir_or_end = is_dir_or_end(state.top, index) != 0;
      if (name == nullptr || name[0] == '\0' || dir_or_end) {
        // Blank cells are cheap, so the queue is only looked at after file cells.
        put_cell(gc, state.blank_picture, column, row);
        if (dir_or_end) draw_label(gc, index);
        continue;
      }
      x_EndIfSignalled();
      put_cell(gc, cell_picture(index, name, container), column, row);
      draw_label(gc, index);
      if (event_waiting()) {
        state.event_pending = 1;
        state.interrupted = 1;
        return;
      }
    }
  }
  state.interrupted = 0;
}

void redraw_grid(int with_thumbnails, const char* container) {
  // A listed directory deleted meanwhile shows only the way out, and every cell is cleared.
  const bool listing_directory = container == nullptr || container[0] == '\0';
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
  if (path == nullptr) {
    x_SetTitle("", 0, 0);
  } else if (container == nullptr || container[0] == '\0') {
    x_SetTitle(path, 0, 0);
  } else {
    const std::string title = std::string(path) + "/" + container;
    x_SetTitle(title.c_str(), 0, 0);
  }
  std::free(path);
}
