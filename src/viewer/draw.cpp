// The view's drawing. Only the part of the image that the window shows is resampled: the
// window's rectangle on the displayed image is taken back through the mirror and the turn to a
// region of the image scaled in its own orientation, and that region is scaled, turned and
// mirrored.
#include "viewer/draw.h"

#include <X11/Xlib.h>

#include <algorithm>
#include <cstdint>

#include "formats/resample.h"
#include "main/state.h"
#include "xsupport/xsupport.h"

namespace {

constexpr int rgb_black = 0x000000;

struct Drawing {
  Pixmap pixmap = 0;
  const Image* image = nullptr;  // what it shows
  Layout layout;
  Band band;
  std::uint32_t window_width = 0;
  std::uint32_t window_height = 0;
};
Drawing drawing;
// The slideshow's next drawing, rendered before its step is due.
Drawing ahead;

bool odd(int turn) {
  return (turn & 1) != 0;
}

void forget(Drawing& d) {
  if (d.pixmap) XFreePixmap(state.display, d.pixmap);
  d = Drawing{};
}

bool shows(const Drawing& d, const Image& image, const Layout& layout, const Band& band) {
  return d.pixmap && d.image == &image && d.layout == layout && d.band == band &&
         d.window_width == static_cast<std::uint32_t>(state.config.width) &&
         d.window_height == static_cast<std::uint32_t>(state.config.height);
}

void render_into(Drawing& drawing, const Image& image, const Layout& layout, Frame frame,
                 const Band& band) {
  forget(drawing);
  const auto window_width = static_cast<std::uint32_t>(state.config.width);
  const auto window_height = static_cast<std::uint32_t>(state.config.height);
  const auto width = static_cast<std::uint32_t>(frame.width);
  const auto height = static_cast<std::uint32_t>(frame.height);
  Picture* picture = x_CreatePicture(window_width, window_height,
                                     static_cast<std::uint64_t>(state.bits_per_pixel));
  if (!picture) return;
  const auto sw = static_cast<std::int64_t>(layout.scaled_width);
  const auto sh = static_cast<std::int64_t>(layout.scaled_height);
  const std::int64_t x0 = std::max<std::int64_t>(layout.x, 0);
  const std::int64_t y0 = std::max<std::int64_t>(layout.y, 0);
  const std::int64_t x1 = std::min<std::int64_t>(layout.x + width, sw);
  const std::int64_t y1 = std::min<std::int64_t>(layout.y + height, sh);
  // The border is black; an image that covers the whole window leaves none.
  if (x0 != 0 || y0 != 0 || x1 != std::int64_t{window_width} || y1 != std::int64_t{window_height}) {
    x_FillPicture(picture, rgb_black);
  }
  if (x1 > x0 && y1 > y0) {
    // The rectangle on the turned image, before the mirror.
    const auto rx0 = static_cast<std::uint64_t>(layout.mirror_x ? sw - x1 : x0);
    const auto rx1 = static_cast<std::uint64_t>(layout.mirror_x ? sw - x0 : x1);
    const auto ry0 = static_cast<std::uint64_t>(layout.mirror_y ? sh - y1 : y0);
    const auto ry1 = static_cast<std::uint64_t>(layout.mirror_y ? sh - y0 : y1);
    const auto across = static_cast<std::uint32_t>(rx1 - rx0);
    const auto down = static_cast<std::uint32_t>(ry1 - ry0);
    // The same pixels on the image scaled in its own orientation (turn_image's mapping,
    // inverted).
    const bool turned = odd(layout.turn);
    const std::uint64_t ow = turned ? layout.scaled_height : layout.scaled_width;
    const std::uint64_t oh = turned ? layout.scaled_width : layout.scaled_height;
    ScaleRegion region{.scaled_width = ow, .scaled_height = oh};
    switch (layout.turn) {
      case 0:
        region = {ow, oh, rx0, ry0, across, down};
        break;
      case 1:
        region = {ow, oh, ry0, oh - rx1, down, across};
        break;
      case 2:
        region = {ow, oh, ow - rx1, oh - ry1, across, down};
        break;
      default:
        region = {ow, oh, ow - ry1, rx0, down, across};
        break;
    }
    auto part = resample(image, region);
    if (part && layout.turn != 0) part = turn_image(*part, layout.turn);
    if (part) {
      mirror_image(*part, layout.mirror_x, layout.mirror_y);
      x_PutRGB(picture, static_cast<std::uint64_t>(x0 - layout.x),
               static_cast<std::uint64_t>(y0 - layout.y), part->rgb.data(), part->width,
               part->height, std::uint64_t{part->width} * rgb_channels);
    }
  }
  drawing.pixmap = XCreatePixmap(state.display, state.window, window_width, window_height,
                                 static_cast<unsigned>(state.visual_depth));
  GC gc = XCreateGC(state.display, drawing.pixmap, 0, nullptr);
  XPutImage(state.display, drawing.pixmap, gc, picture->ximage, 0, 0, 0, 0, window_width,
            window_height);
  XFreeGC(state.display, gc);
  x_FreePicture(picture);
  if (band.shown) x_DrawInfoLine(drawing.pixmap, window_width, window_height, band.name, band.rest);
  drawing.image = &image;
  drawing.layout = layout;
  drawing.band = band;
  drawing.window_width = window_width;
  drawing.window_height = window_height;
}

}  // namespace

void forget_drawing() {
  forget(drawing);
  forget(ahead);
}

void image_going(const Image* image) {
  if (!image) return;
  if (drawing.image == image) drawing.image = nullptr;
  if (ahead.image == image) ahead.image = nullptr;
}

void render(const Image& image, const Layout& layout, Frame frame, const Band& band) {
  render_into(drawing, image, layout, frame, band);
}

void render_ahead(const Image& image, const Layout& layout, Frame frame, const Band& band) {
  if (!shows(ahead, image, layout, band)) render_into(ahead, image, layout, frame, band);
}

bool take_ahead(const Image& image, const Layout& layout, const Band& band) {
  if (!shows(ahead, image, layout, band)) return false;
  forget(drawing);
  drawing = ahead;
  ahead = Drawing{};
  return true;
}

void repaint() {
  if (!drawing.pixmap) return;
  // The source is a pixmap, never obscured: asking for graphics exposures would only bring a
  // NoExpose event back for each repaint.
  XGCValues values{};
  values.graphics_exposures = False;
  GC gc = XCreateGC(state.display, state.window, GCGraphicsExposures, &values);
  XCopyArea(state.display, drawing.pixmap, state.window, gc, 0, 0, drawing.window_width,
            drawing.window_height, 0, 0);
  XFreeGC(state.display, gc);
}

bool drawing_current(const Image& image, const Layout& layout, const Band& band) {
  return shows(drawing, image, layout, band);
}
