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
  std::uint32_t window_width = 0;
  std::uint32_t window_height = 0;
};
Drawing drawing;

bool odd(int turn) {
  return (turn & 1) != 0;
}

}  // namespace

void forget_drawing() {
  if (drawing.pixmap) XFreePixmap(state.display, drawing.pixmap);
  drawing = Drawing{};
}

void image_going(const Image* image) {
  if (image && drawing.image == image) drawing.image = nullptr;
}

void render(const Image& image, const Layout& layout) {
  forget_drawing();
  const auto width = static_cast<std::uint32_t>(state.config.width);
  const auto height = static_cast<std::uint32_t>(state.config.height);
  Picture* picture =
      x_CreatePicture(width, height, static_cast<std::uint64_t>(state.bits_per_pixel));
  if (!picture) return;
  const auto sw = static_cast<std::int64_t>(layout.scaled_width);
  const auto sh = static_cast<std::int64_t>(layout.scaled_height);
  const std::int64_t x0 = std::max<std::int64_t>(layout.x, 0);
  const std::int64_t y0 = std::max<std::int64_t>(layout.y, 0);
  const std::int64_t x1 = std::min<std::int64_t>(layout.x + width, sw);
  const std::int64_t y1 = std::min<std::int64_t>(layout.y + height, sh);
  // The border is black; an image that covers the window leaves none.
  if (x0 != 0 || y0 != 0 || x1 != std::int64_t{width} || y1 != std::int64_t{height}) {
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
  drawing.pixmap = XCreatePixmap(state.display, state.window, width, height,
                                 static_cast<unsigned>(state.visual_depth));
  GC gc = XCreateGC(state.display, drawing.pixmap, 0, nullptr);
  XPutImage(state.display, drawing.pixmap, gc, picture->ximage, 0, 0, 0, 0, width, height);
  XFreeGC(state.display, gc);
  x_FreePicture(picture);
  drawing.image = &image;
  drawing.layout = layout;
  drawing.window_width = width;
  drawing.window_height = height;
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

bool drawing_current(const Image& image, const Layout& layout) {
  return drawing.pixmap && drawing.image == &image && drawing.layout == layout &&
         drawing.window_width == static_cast<std::uint32_t>(state.config.width) &&
         drawing.window_height == static_cast<std::uint32_t>(state.config.height);
}
