// The view's drawing. Only the part of the image that the window shows is resampled: the
// window's rectangle on the displayed image is taken back through the mirror and the turn to a
// region of the image scaled in its own orientation, and that region is scaled, turned and
// mirrored.
#include "viewer/draw.h"

#include <X11/Xlib.h>

#include <algorithm>
#include <cstdint>
#include <vector>

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

// Drawings of an animation's frames, kept once shown while the view asks for them, so that the
// later loops of an animation whose frames all stay in memory only copy pixmaps the server
// holds. They take server memory, up to this bound; the first loop renders every frame.
std::vector<Drawing> kept_frames;
bool keeping_frames = false;
constexpr std::size_t kept_frames_bound = std::size_t{64} << 20;

// Whether transparent parts show a checkerboard instead of the window's black.
bool checkerboard = false;
constexpr std::uint64_t checker_square = 16;
constexpr unsigned checker_dark = 0x66;
constexpr unsigned checker_light = 0x99;

// Puts the transparent parts of a rendered part, at (left, top) of the window, over the
// checkerboard, whose squares are fixed to the window. The colours are composited over black
// already, so what shows through is added.
void show_checkerboard(Image& part, std::uint64_t left, std::uint64_t top) {
  if (!checkerboard || part.alpha.size() == 0) return;
  const std::uint8_t* alpha = part.alpha.data();
  for (std::uint32_t y = 0; y < part.height; ++y) {
    std::uint8_t* p = part.row(y);
    for (std::uint32_t x = 0; x < part.width; ++x, ++alpha, p += rgb_channels) {
      const unsigned through = 255 - *alpha;
      if (through == 0) continue;
      const bool light = ((left + x) / checker_square + (top + y) / checker_square) % 2 != 0;
      const unsigned grey = ((light ? checker_light : checker_dark) * through + 127) / 255;
      for (std::size_t c = 0; c < rgb_channels; ++c)
        p[c] = static_cast<std::uint8_t>(std::min(255u, p[c] + grey));
    }
  }
}

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

std::size_t server_bytes(const Drawing& d) {
  return std::size_t{d.window_width} * d.window_height *
         static_cast<std::size_t>(state.bits_per_pixel) / 8;
}

void forget_kept_frames() {
  for (Drawing& d : kept_frames)
    forget(d);
  kept_frames.clear();
}

// Lets d go, into the kept frames when they are asked for and it fits. Those drawn at another
// layout or window size are of no more use once the view has moved on from them.
void retire(Drawing& d) {
  if (!keeping_frames || !d.pixmap || !d.image) {
    forget(d);
    return;
  }
  std::size_t bytes = server_bytes(d);
  std::erase_if(kept_frames, [&](Drawing& k) {
    const bool stale = k.layout != d.layout || k.window_width != d.window_width ||
                       k.window_height != d.window_height || k.image == d.image;
    if (stale) forget(k);
    bytes += stale ? 0 : server_bytes(k);
    return stale;
  });
  if (bytes > kept_frames_bound) {
    forget(d);
    return;
  }
  kept_frames.push_back(d);
  d = Drawing{};
}

// Moves the kept drawing of image with layout and band into d; false when there is none.
bool take_kept(Drawing& d, const Image& image, const Layout& layout, const Band& band) {
  const auto found = std::ranges::find_if(
      kept_frames, [&](const Drawing& k) { return shows(k, image, layout, band); });
  if (found == kept_frames.end()) return false;
  const Drawing taken = *found;
  kept_frames.erase(found);
  retire(d);
  d = taken;
  return true;
}

void render_into(Drawing& drawing, const Image& image, const Layout& layout, Frame frame,
                 const Band& band) {
  retire(drawing);
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
      show_checkerboard(*part, static_cast<std::uint64_t>(x0 - layout.x),
                        static_cast<std::uint64_t>(y0 - layout.y));
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
  forget_kept_frames();
}

void keep_frame_drawings(bool keep) {
  keeping_frames = keep;
  if (!keep) forget_kept_frames();
}

void toggle_checkerboard() {
  checkerboard = !checkerboard;
  forget_drawing();
}

void image_going(const Image* image) {
  if (!image) return;
  if (drawing.image == image) drawing.image = nullptr;
  if (ahead.image == image) ahead.image = nullptr;
  std::erase_if(kept_frames, [image](Drawing& k) {
    if (k.image != image) return false;
    forget(k);
    return true;
  });
}

void render(const Image& image, const Layout& layout, Frame frame, const Band& band) {
  render_into(drawing, image, layout, frame, band);
}

void render_ahead(const Image& image, const Layout& layout, Frame frame, const Band& band) {
  if (shows(ahead, image, layout, band) || take_kept(ahead, image, layout, band)) return;
  render_into(ahead, image, layout, frame, band);
}

bool take_ahead(const Image& image, const Layout& layout, const Band& band) {
  if (!shows(ahead, image, layout, band)) return take_kept(drawing, image, layout, band);
  retire(drawing);
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
