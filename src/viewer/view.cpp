// The single-image view: the image alone in the window, fitted with its aspect ratio kept,
// smoothed while unrotated, turned in quarter turns, redrawn from the file on every exposure,
// turn and resize.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <cstdint>

#include "browser/browser.h"
#include "config/config.h"
#include "formats/formats.h"
#include "main/state.h"
#include "viewer/viewer.h"
#include "xsupport/xsupport.h"

namespace {

constexpr int color_output = 1;   // get_pixel's colour argument: every caller asks for RGB
constexpr int quarter_turns = 3;  // mask of rotation's two low bits: the turn drawn
constexpr int odd_turn = 1;       // bit of a quarter or three-quarter turn
constexpr unsigned long background_black = 0;

// What one draw works from: the loaded format, the line buffer and the fit.
struct Draw {
  int format = -1;
  int turn = 0;          // rotation taken modulo 4
  std::uint32_t bw = 0;  // box, in the image's own orientation: positions per line
  std::uint32_t bh = 0;  // and lines per draw
  std::uint64_t dw = 0;  // drawn size, in the image's own orientation
  std::uint64_t dh = 0;
  double x_step = 0.0;  // source pixels between neighbouring destination pixels
  double y_step = 0.0;
  GC gc = nullptr;
  Picture* line = nullptr;
  XImage* line_image = nullptr;
};

// The turns, in the image's own terms. Line k sent (k = 0 ... bh - 1) always holds source row k
// and its positions are computed for source columns j = 0 ... bw - 1 in that order; the turns
// differ only in where position j lands in the line and where the line lands in the window:
//   0: position j,          line at row k
//   1: position j,          line at column W - 1 - k
//   2: position bw - 1 - j, line at row H - 1 - k
//   3: position bw - 1 - j, line at column k
// which is the window-pixel order of each turn written out (right to left for turn 1, bottom to
// top and right to left for turn 2, bottom to top within a column for turn 3).
bool reversed_in_line(int turn) {
  return turn >= 2;
}

void put_line(const Draw& d, std::uint32_t k) {
  const std::uint32_t width = static_cast<std::uint32_t>(state.config.width);
  const std::uint32_t height = static_cast<std::uint32_t>(state.config.height);
  int x = 0;
  int y = 0;
  unsigned int w = d.bw;
  unsigned int h = 1;
  switch (d.turn) {
    case 0:
      y = static_cast<int>(k);
      break;
    case 1:
      x = static_cast<int>(width - 1 - k);
      break;
    case 2:
      y = static_cast<int>(height - 1 - k);
      break;
    default:
      x = static_cast<int>(k);
      break;
  }
  if (d.turn & odd_turn) {
    w = 1;
    h = d.bw;
  }
  XPutImage(state.display, state.window, d.gc, d.line_image, 0, 0, x, y, w, h);
}

// Fills the line buffer with source row k. Samples outside the image are black from the format,
// so the whole box is written and the uncovered part of the window painted black.
void fill_line(const Draw& d, std::uint32_t k) {
  const bool reversed = reversed_in_line(d.turn);
  const std::uint64_t last = d.bw - 1ull;
  if (d.dw == 0 || d.dh == 0) {
    // An empty fit maps no window pixel into the image; its steps are infinite.
    for (std::uint64_t n = 0; n < d.bw; ++n)
      x_PutPixel(d.line, n, 0, 0);
    return;
  }
  const double sy = static_cast<double>(k) * d.y_step;
  if (d.turn == 0) {
    for (std::uint32_t j = 0; j < d.bw; ++j) {
      x_PutPixel(d.line, j, 0, sample_bilinear(d.format, static_cast<double>(j) * d.x_step, sy));
    }
    return;
  }
  const auto get_pixel = formats[d.format].get_pixel;
  const std::int32_t row = trunc_to_int32(sy);
  for (std::uint32_t j = 0; j < d.bw; ++j) {
    const std::int32_t column = trunc_to_int32(static_cast<double>(j) * d.x_step);
    x_PutPixel(d.line, reversed ? last - j : j, 0, get_pixel(column, row, color_output));
  }
}

void fit(Draw& d, std::uint64_t iw, std::uint64_t ih) {
  const std::uint32_t width = static_cast<std::uint32_t>(state.config.width);
  const std::uint32_t height = static_cast<std::uint32_t>(state.config.height);
  const bool odd = d.turn & odd_turn;
  d.bw = odd ? height : width;
  d.bh = odd ? width : height;
  const double image_ratio = static_cast<double>(iw) / static_cast<double>(ih);
  const double box_ratio = static_cast<double>(d.bw) / static_cast<double>(d.bh);
  if (image_ratio > box_ratio) {
    d.dw = d.bw;
    d.dh = ih * d.bw / iw;
  } else {
    d.dh = d.bh;
    d.dw = iw * d.bh / ih;
  }
}

// The line image shares the line Picture's buffer: a row for even turns, a column (one pixel
// per line) for odd ones.
XImage* create_line_image(const Draw& d) {
  const bool odd = d.turn & odd_turn;
  const unsigned int w = odd ? 1 : d.bw;
  const unsigned int h = odd ? d.bw : 1;
  const int bytes_per_line = static_cast<int>(state.bytes_per_pixel * w);
  return XCreateImage(state.display, state.visual, static_cast<unsigned int>(state.visual_depth),
                      ZPixmap, 0, reinterpret_cast<char*>(d.line->data), w, h,
                      static_cast<int>(d.line->depth), bytes_per_line);
}

void send_lines(const Draw& d) {
  for (std::uint32_t k = 0; k < d.bh; ++k) {
    fill_line(d, k);
    put_line(d, k);
    x_EndIfSignalled();
  }
}

}  // namespace

int draw_view(const char* path, const char* selector, int rotation) {
  Draw d;
  d.format = get_type(path);
  if (d.format < 0) return 0;
  const ImageFormat& format = formats[d.format];
  if (!format.load(path, selector, 0, 0)) {
    format.unload();
    return 0;
  }
  const auto iw = static_cast<std::uint64_t>(format.get_width());
  const auto ih = static_cast<std::uint64_t>(format.get_height());
  if (iw == 0 || ih == 0) {
    format.unload();
    return 0;
  }
  XGCValues values{};
  values.background = background_black;
  d.gc = XCreateGC(state.display, state.window, GCBackground, &values);
  // Two's complement low bits: -1 draws like 3, -2 like 2.
  d.turn = static_cast<int>(static_cast<unsigned int>(rotation) & quarter_turns);
  fit(d, iw, ih);

  // Without a line buffer or its X image nothing is drawn this time; the view still waits and
  // a later redraw tries again.
  d.line = x_CreatePicture(d.bw, 1, static_cast<std::uint64_t>(state.bits_per_pixel));
  if (d.line) {
    d.x_step = static_cast<double>(iw) / static_cast<double>(d.dw);
    d.y_step = static_cast<double>(ih) / static_cast<double>(d.dh);
    d.line_image = create_line_image(d);
  }
  if (d.line_image) {
    send_lines(d);
    d.line_image->data = nullptr;  // the buffer is the Picture's, released with it
    XDestroyImage(d.line_image);
  }
  x_FreePicture(d.line);
  format.unload();
  XFreeGC(state.display, d.gc);
  x_SetTitle(path, iw, ih);
  return 1;
}

int view_image(const char* path, const char* selector) {
  int rotation = 0;
  if (!draw_view(path, selector, rotation)) return view_failed;
  for (;;) {
    x_NextEvent();
    XEvent& event = state.event;
    switch (event.type) {
      case KeyPress:
        switch (XLookupKeysym(&event.xkey, 0)) {
          case XK_Left:
          case XK_KP_4:
            --rotation;
            break;
          case XK_Right:
          case XK_KP_6:
            ++rotation;
            break;
          case XK_Up:
          case XK_KP_8:
            return view_previous;
          case XK_Down:
          case XK_KP_2:
            return view_next;
          default:
            return view_left;
        }
        break;
      case ButtonPress:
        return view_left;
      case Expose:
        // Only the last of a series of exposures redraws.
        if (event.xexpose.count != 0) continue;
        break;
      case DestroyNotify:
        // A destroyed window sends nothing more; waiting on would never end.
        state.quit = 1;
        return view_left;
      case ConfigureNotify:
        save_geometry(event.xconfigure.x, event.xconfigure.y, event.xconfigure.width,
                      event.xconfigure.height);
        layout_grid();
        break;
      default:
        continue;
    }
    if (!draw_view(path, selector, rotation)) return view_failed;
  }
}
