// The single-image view: the image alone in the window, fitted with its aspect ratio kept or
// zoomed in steps of its actual size, turned in quarter turns, mirrored, and panned.
//
// Every decode runs on the decode pool, so input is answered while a file decodes. The shown
// entry is decoded once, at the smallest scale that covers the window, and kept until the view
// moves on; a zoom that needs more pixels decodes it again at the scale that covers the zoomed
// size (full size from 100% on). Its neighbours are decoded ahead and kept beside it, three
// images at most. A drawing is rendered once into a window-sized Picture, resampling only the
// part of the image that the window shows, and sent whole; an exposure repaints that Picture
// without decoding or resampling.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>

#include "config/config.h"
#include "formats/formats.h"
#include "formats/pool.h"
#include "formats/resample.h"
#include "main/state.h"
#include "viewer/viewer.h"
#include "xsupport/xsupport.h"

namespace {

constexpr int quarter_turns = 3;  // mask of rotation's two low bits: the turn drawn
constexpr int odd_turn = 1;       // bit of a quarter or three-quarter turn
constexpr int rgb_black = 0x000000;
// The shown image is wanted now; its neighbours only before the next step.
constexpr int shown_priority = 10;
constexpr int neighbour_priority = 5;

// A decoded entry, or one on its way from the pool.
struct Kept {
  ViewEntry entry;
  std::unique_ptr<Image> image;
  Wish box;               // what it was decoded for
  std::uint64_t tag = 0;  // of the job still decoding it; 0 once it is back
  bool failed = false;    // back, without an image
};

// Slots: the shown entry and its two neighbours.
std::array<Kept, 3> kept;
std::uint64_t last_tag = 0;

// Zoom steps as fractions of the actual size, from an eighth to eight times.
struct ZoomStep {
  std::uint64_t num = 1;
  std::uint64_t den = 1;
};
constexpr ZoomStep zoom_steps[] = {{1, 8}, {1, 6}, {1, 4}, {1, 3}, {1, 2}, {2, 3}, {1, 1},
                                   {3, 2}, {2, 1}, {3, 1}, {4, 1}, {6, 1}, {8, 1}};
constexpr int zoom_count = static_cast<int>(std::size(zoom_steps));
constexpr int actual_zoom = 6;  // the step 1/1
constexpr int fit_zoom = -1;    // not a step: fitted into the window
constexpr std::uint64_t percent = 100;
constexpr int pan_divisor = 10;  // a pan step is a tenth of the window
// The horizontal wheel's buttons.
constexpr unsigned wheel_left_button = 6;
constexpr unsigned wheel_right_button = 7;

// What a drawing shows: the image turned, then mirrored, then scaled to scaled_width x
// scaled_height, with the window's top-left pixel on its pixel (x, y); negative where the
// image leaves a border on that axis.
struct Layout {
  int turn = -1;
  bool mirror_x = false;  // left and right swapped
  bool mirror_y = false;  // top and bottom swapped
  int zoom = fit_zoom;
  std::uint64_t scaled_width = 0;
  std::uint64_t scaled_height = 0;
  std::int64_t x = 0;
  std::int64_t y = 0;
  bool operator==(const Layout&) const = default;
};

// The drawing on the window.
// The drawing lives on the server: rendered once into a Picture, sent into a Pixmap, and copied
// from there to the window on every exposure, without sending it again.
struct Drawing {
  Pixmap pixmap = 0;
  const Image* image = nullptr;  // what it shows
  Layout layout;
  std::uint32_t window_width = 0;
  std::uint32_t window_height = 0;
};
Drawing drawing;

// Whether transparent parts show a checkerboard instead of the window's black; `a` switches it,
// for every image until the program ends.
bool checkerboard = false;
constexpr std::uint64_t checker_square = 16;
constexpr unsigned checker_dark = 0x66;
constexpr unsigned checker_light = 0x99;

bool same(const ViewEntry& a, const ViewEntry& b) {
  return a.path == b.path && a.selector == b.selector;
}

Kept* find_kept(const ViewEntry& entry) {
  for (Kept& k : kept)
    if (!k.entry.path.empty() && same(k.entry, entry)) return &k;
  return nullptr;
}

void forget(Kept& k) {
  if (drawing.image && drawing.image == k.image.get()) drawing.image = nullptr;
  k = Kept{};
}

// The pool's handler for the view: the image goes to the slot still waiting for it.
void take_image(DecodeResult&& result) {
  for (Kept& k : kept) {
    if (k.tag != 0 && k.tag == result.job.tag) {
      k.tag = 0;
      // A sharper decode replaces the image drawn meanwhile; one that fails leaves it.
      if (!result.image) {
        k.failed = k.image == nullptr;
        return;
      }
      if (drawing.image == k.image.get()) drawing.image = nullptr;
      k.image = std::move(result.image);
      return;
    }
  }
}

// The box the image is fitted into, in the image's own orientation.
Wish box_for(int turn) {
  const auto width = static_cast<std::uint32_t>(state.config.width);
  const auto height = static_cast<std::uint32_t>(state.config.height);
  return turn & odd_turn ? Wish{height, width} : Wish{width, height};
}

// Whether a kept image has the pixels for a drawing of needed (in the image's orientation): a
// reduced-scale decode for a smaller window or a lower zoom may not.
bool covers(const Image& image, Size needed) {
  if (image.width >= image.full_width && image.height >= image.full_height) return true;
  return image.width >= needed.width && image.height >= needed.height;
}

// Asks the pool for entry decoded for box, into slot k.
void request(Kept& k, const ViewEntry& entry, Wish box, int priority) {
  forget(k);
  k.entry = entry;
  k.box = box;
  k.tag = ++last_tag;
  state.pool->submit(DecodeJob{.path = entry.path,
                               .selector = entry.selector,
                               .wish = box,
                               .tag = k.tag,
                               .group = group_view,
                               .priority = priority});
}

// Keeps entry and its neighbours, in this order of slots, and lets everything else go.
void keep_only(const ViewEntry& shown, const ViewEntry& previous, const ViewEntry& next) {
  const ViewEntry* wanted[] = {&shown, &previous, &next};
  std::array<Kept, 3> arranged;
  for (std::size_t i = 0; i < arranged.size(); ++i) {
    if (wanted[i]->path.empty()) continue;
    if (Kept* k = find_kept(*wanted[i])) arranged[i] = std::move(*k);
  }
  for (Kept& k : kept)
    forget(k);
  kept = std::move(arranged);
  // A dropped job never comes back; its slot is asked again when it is needed.
  for (std::uint64_t tag : state.pool->drop_queued(group_view)) {
    for (Kept& k : kept)
      if (k.tag == tag) k = Kept{};
  }
}

void prefetch(const ViewEntry& previous, const ViewEntry& next, Wish box) {
  const ViewEntry* neighbours[] = {&previous, &next};
  for (std::size_t i = 0; i < 2; ++i) {
    Kept& k = kept[i + 1];
    if (neighbours[i]->path.empty() || !k.entry.path.empty()) continue;
    request(k, *neighbours[i], box, neighbour_priority);
  }
}

void forget_drawing() {
  if (drawing.pixmap) XFreePixmap(state.display, drawing.pixmap);
  drawing = Drawing{};
}

bool odd(int turn) {
  return (turn & odd_turn) != 0;
}

// The size a drawing scales the image to, in the image's own orientation: fitted into the
// window's box, or the zoom step's fraction of the full size, rounded down.
Size scaled_size(const Image& image, int turn, int zoom) {
  if (zoom == fit_zoom) {
    const Wish box = box_for(turn);
    return fit_size(image.full_width, image.full_height, box.width, box.height);
  }
  const ZoomStep& step = zoom_steps[zoom];
  return {std::uint64_t{image.full_width} * step.num / step.den,
          std::uint64_t{image.full_height} * step.num / step.den};
}

// What a decode for zoom asks for: full size from 100% on; below, a box one pixel over the
// zoomed size, since the decoder fits the box to the image's ratio and rounds one side down.
Wish decode_box(const Image& image, int turn, int zoom) {
  if (zoom == fit_zoom) return box_for(turn);
  if (zoom_steps[zoom].num >= zoom_steps[zoom].den) return Wish{};
  const Size zoomed = scaled_size(image, turn, zoom);
  return Wish{static_cast<std::uint32_t>(zoomed.width + 1),
              static_cast<std::uint32_t>(zoomed.height + 1)};
}

int zoom_percent(int zoom) {
  if (zoom == fit_zoom) return 0;
  const ZoomStep& step = zoom_steps[zoom];
  return static_cast<int>((step.num * percent + step.den / 2) / step.den);
}

// Where the turned image lands at fit: the box's top-left corner turns with the image, so an
// image narrower than the window sits left when upright, right after a quarter turn, and so on.
void place(int turn, std::uint64_t drawn_width, std::uint64_t drawn_height, std::uint64_t& x,
           std::uint64_t& y) {
  const auto width = static_cast<std::uint64_t>(state.config.width);
  const auto height = static_cast<std::uint64_t>(state.config.height);
  x = (turn == 1 || turn == 2) ? width - drawn_width : 0;
  y = turn >= 2 ? height - drawn_height : 0;
}

// The window's origin along one axis of the scaled image: panned, but never past the image's
// edges, where the image is larger than the window; at placed where it is not.
std::int64_t settle_axis(std::int64_t origin, std::uint64_t scaled, std::uint64_t window,
                         std::int64_t placed) {
  if (scaled <= window) return placed;
  return std::clamp<std::int64_t>(origin, 0, static_cast<std::int64_t>(scaled - window));
}

// A point on the full-size image in its own orientation, in pixel units (the top-left pixel
// spans [0, 1) x [0, 1)).
struct Point {
  double x = 0;
  double y = 0;
};

// The point on the turned and mirrored full-size image that point of the image becomes.
Point displayed_point(const Image& image, const Layout& layout, Point point) {
  const double w = image.full_width, h = image.full_height;
  Point p;
  switch (layout.turn) {
    case 0:
      p = point;
      break;
    case 1:
      p = {h - point.y, point.x};
      break;
    case 2:
      p = {w - point.x, h - point.y};
      break;
    default:
      p = {point.y, w - point.x};
      break;
  }
  const bool turned = odd(layout.turn);
  if (layout.mirror_x) p.x = (turned ? h : w) - p.x;
  if (layout.mirror_y) p.y = (turned ? w : h) - p.y;
  return p;
}

// The inverse of displayed_point.
Point image_point(const Image& image, const Layout& layout, Point p) {
  const double w = image.full_width, h = image.full_height;
  const bool turned = odd(layout.turn);
  if (layout.mirror_x) p.x = (turned ? h : w) - p.x;
  if (layout.mirror_y) p.y = (turned ? w : h) - p.y;
  switch (layout.turn) {
    case 0:
      return p;
    case 1:
      return {p.y, h - p.x};
    case 2:
      return {w - p.x, h - p.y};
    default:
      return {w - p.y, p.x};
  }
}

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

// Renders the part of image that layout puts into the window into a new window-sized Picture;
// without one nothing is drawn this time. Only that part is resampled: the window's rectangle
// on the displayed image is taken back through the mirror and the turn to a region of the
// image scaled in its own orientation, and that region is scaled, turned and mirrored.
void render(const Image& image, const Layout& layout) {
  forget_drawing();
  const auto width = static_cast<std::uint32_t>(state.config.width);
  const auto height = static_cast<std::uint32_t>(state.config.height);
  Picture* picture =
      x_CreatePicture(width, height, static_cast<std::uint64_t>(state.bits_per_pixel));
  if (!picture) return;
  x_FillPicture(picture, rgb_black);
  const auto sw = static_cast<std::int64_t>(layout.scaled_width);
  const auto sh = static_cast<std::int64_t>(layout.scaled_height);
  const std::int64_t x0 = std::max<std::int64_t>(layout.x, 0);
  const std::int64_t y0 = std::max<std::int64_t>(layout.y, 0);
  const std::int64_t x1 = std::min<std::int64_t>(layout.x + width, sw);
  const std::int64_t y1 = std::min<std::int64_t>(layout.y + height, sh);
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

// What a key does in the view.
enum class Action {
  none,
  turn_left,
  turn_right,
  previous,
  next,
  leave,
  zoom_in,
  zoom_out,
  actual_size,
  fit,
  pan_left,
  pan_right,
  pan_up,
  pan_down,
  mirror_left_right,
  mirror_top_bottom,
  fullscreen,
  checkerboard
};

Action key_action(KeySym keysym, bool shift) {
  switch (keysym) {
    // With Shift the arrows pan; alone they turn and step as they always did.
    case XK_Left:
    case XK_KP_Left:
    case XK_KP_4:
      return shift ? Action::pan_left : Action::turn_left;
    case XK_Right:
    case XK_KP_Right:
    case XK_KP_6:
      return shift ? Action::pan_right : Action::turn_right;
    case XK_Up:
    case XK_KP_Up:
    case XK_KP_8:
      return shift ? Action::pan_up : Action::previous;
    case XK_Down:
    case XK_KP_Down:
    case XK_KP_2:
      return shift ? Action::pan_down : Action::next;
    case XK_BackSpace:
    case XK_Prior:
    case XK_KP_Prior:
      return Action::previous;
    case XK_space:
    case XK_Next:
    case XK_KP_Next:
      return Action::next;
    // "+" is Shift+"=" on many keyboards: both zoom in. "_" is Shift+"-" but mirrors.
    case XK_plus:
    case XK_equal:
    case XK_KP_Add:
      return Action::zoom_in;
    case XK_minus:
    case XK_KP_Subtract:
      return Action::zoom_out;
    case XK_1:
      return Action::actual_size;
    case XK_0:
      return Action::fit;
    case XK_h:
      return Action::pan_left;
    case XK_l:
      return Action::pan_right;
    case XK_k:
      return Action::pan_up;
    case XK_j:
      return Action::pan_down;
    case XK_bar:
      return Action::mirror_left_right;
    case XK_underscore:
      return Action::mirror_top_bottom;
    case XK_f:
      return Action::fullscreen;
    case XK_a:
      return Action::checkerboard;
    default:
      // Modifier keys alone do nothing; with them Shift+q still leaves like q.
      return IsModifierKey(keysym) ? Action::none : Action::leave;
  }
}

// The view's loop for one entry, from the first wait for its image to the step or exit.
class Session {
 public:
  Session(const ViewEntry& shown, const ViewEntry& previous, const ViewEntry& next)
      : shown_(shown), previous_(previous), next_(next) {}

  int run() {
    keep_only(shown_, previous_, next_);
    for (;;) {
      if (!settle()) return view_failed;
      // Draw only once no event waits, so a burst of turns, zooms, pans, resizes or exposures
      // draws its final state alone.
      if (XPending(state.display) == 0) draw();
      if (!x_NextEventOr(state.pool->wake_fd())) {
        state.pool->dispatch();
        continue;
      }
      if (const int result = handle(state.event); result != 0) return result;
    }
  }

 private:
  int turn() const { return static_cast<int>(static_cast<unsigned>(rotation_) & quarter_turns); }

  // What the window is to show of image now; the origin settles inside the image's edges.
  Layout layout(const Image& image) {
    Layout l{.turn = turn(), .mirror_x = mirror_x_, .mirror_y = mirror_y_, .zoom = zoom_};
    const Size scaled = scaled_size(image, l.turn, zoom_);
    l.scaled_width = odd(l.turn) ? scaled.height : scaled.width;
    l.scaled_height = odd(l.turn) ? scaled.width : scaled.height;
    const auto width = static_cast<std::uint64_t>(state.config.width);
    const auto height = static_cast<std::uint64_t>(state.config.height);
    // At fit the image sits where it always has; zoomed, an axis smaller than the window is
    // centred on it.
    std::uint64_t placed_x = 0, placed_y = 0;
    if (zoom_ == fit_zoom) {
      place(l.turn, std::min(l.scaled_width, width), std::min(l.scaled_height, height), placed_x,
            placed_y);
    } else {
      placed_x = l.scaled_width < width ? (width - l.scaled_width) / 2 : 0;
      placed_y = l.scaled_height < height ? (height - l.scaled_height) / 2 : 0;
    }
    origin_x_ = l.x =
        settle_axis(origin_x_, l.scaled_width, width, -static_cast<std::int64_t>(placed_x));
    origin_y_ = l.y =
        settle_axis(origin_y_, l.scaled_height, height, -static_cast<std::int64_t>(placed_y));
    return l;
  }

  // The point of the image under the window's centre.
  Point centre(const Image& image) {
    const Layout l = layout(image);
    const bool turned = odd(l.turn);
    const double dw = turned ? image.full_height : image.full_width;
    const double dh = turned ? image.full_width : image.full_height;
    const double sw = std::max<double>(static_cast<double>(l.scaled_width), 1);
    const double sh = std::max<double>(static_cast<double>(l.scaled_height), 1);
    const Point p{(static_cast<double>(l.x) + state.config.width / 2.0) * dw / sw,
                  (static_cast<double>(l.y) + state.config.height / 2.0) * dh / sh};
    return image_point(image, l, p);
  }

  // Pans so that point of the image comes under the window's centre, as near as the edges let.
  void look_at(const Image& image, Point point) {
    const Layout l = layout(image);
    const Point p = displayed_point(image, l, point);
    const bool turned = odd(l.turn);
    const double dw = turned ? image.full_height : image.full_width;
    const double dh = turned ? image.full_width : image.full_height;
    origin_x_ =
        std::llround(p.x * static_cast<double>(l.scaled_width) / dw - state.config.width / 2.0);
    origin_y_ =
        std::llround(p.y * static_cast<double>(l.scaled_height) / dh - state.config.height / 2.0);
  }

  // The zoom step after zoom in direction (+1 or -1); from fit, the first step beyond the
  // fitted scale. zoom itself where there is none.
  int next_zoom(const Image& image, int direction) const {
    if (zoom_ != fit_zoom) return std::clamp(zoom_ + direction, 0, zoom_count - 1);
    const Size fitted = scaled_size(image, turn(), fit_zoom);
    int found = fit_zoom;
    for (int i = 0; i < zoom_count; ++i) {
      // step.num / step.den against fitted.width / full_width, without rounding.
      const std::uint64_t step_side = zoom_steps[i].num * image.full_width;
      const std::uint64_t fit_side = fitted.width * zoom_steps[i].den;
      if (direction > 0 && step_side > fit_side) return i;
      if (direction < 0 && step_side < fit_side) found = i;
    }
    return found;
  }

  // Changes the zoom, the turn or the mirrors by change, keeping the image point under the
  // window's centre where it was.
  template <typename Change>
  void keeping_centre(Change change) {
    const Image* image = kept[0].image.get();
    if (!image) {
      change();
      return;
    }
    const Point point = centre(*image);
    change();
    look_at(*image, point);
  }

  void zoom_to(int zoom) {
    keeping_centre([&] { zoom_ = zoom; });
  }

  void pan(std::int64_t across, std::int64_t down) {
    origin_x_ += across;
    origin_y_ += down;
  }

  std::int64_t pan_step_x() const { return std::max(state.config.width / pan_divisor, 1); }
  std::int64_t pan_step_y() const { return std::max(state.config.height / pan_divisor, 1); }

  // Makes sure the shown entry is kept or on its way, decoded with the pixels the drawing
  // needs; false once it is known not to decode. A decode for a larger zoom leaves the kept
  // image drawn until the sharper one comes.
  bool settle() {
    Kept& k = kept[0];
    if (k.entry.path.empty()) {
      request(k, shown_, box_for(turn()), shown_priority);
      return true;
    }
    if (k.failed) return false;
    if (k.tag != 0 || !k.image) return true;
    const Wish box = decode_box(*k.image, turn(), zoom_);
    const bool asked = box.width == k.box.width && box.height == k.box.height;
    // What came back for this very box is what the file gives: asking again would loop.
    if (!asked && !covers(*k.image, scaled_size(*k.image, turn(), zoom_))) {
      k.box = box;
      k.tag = ++last_tag;
      state.pool->submit(DecodeJob{.path = shown_.path,
                                   .selector = shown_.selector,
                                   .wish = box,
                                   .tag = k.tag,
                                   .group = group_view,
                                   .priority = shown_priority});
    }
    // The neighbours are asked at once, not after the first drawing: with a worker per core
    // they decode while the shown entry does, so a step taken as soon as it is drawn finds
    // its image ready or nearly.
    prefetch(previous_, next_, box_for(0));
    return true;
  }

  // Renders when the drawing is out of date and repaints when the window lost it. Every
  // render ends by setting the title; a repaint alone leaves it.
  void draw() {
    const Kept& k = kept[0];
    if (!k.image) {
      // Still decoding: an exposure meanwhile gets the last drawing back.
      if (!painted_) repaint();
      painted_ = true;
      return;
    }
    const Layout l = layout(*k.image);
    const bool stale = !drawing_current(*k.image, l);
    if (stale) render(*k.image, l);
    if (stale || !painted_) repaint();
    painted_ = true;
    if (stale) {
      x_SetTitle(shown_.path.c_str(), k.image->full_width, k.image->full_height,
                 zoom_percent(zoom_));
      prefetch(previous_, next_, box_for(0));
    }
  }

  // The result of a key for view_image, or 0 to go on.
  int handle_key(XKeyEvent& key) {
    const Image* image = kept[0].image.get();
    switch (key_action(x_TypedKey(key), (key.state & ShiftMask) != 0)) {
      case Action::none:
        return 0;
      case Action::turn_left:
        keeping_centre([&] { --rotation_; });
        return 0;
      case Action::turn_right:
        keeping_centre([&] { ++rotation_; });
        return 0;
      case Action::previous:
        return view_previous;
      case Action::next:
        return view_next;
      case Action::leave:
        return view_left;
      case Action::zoom_in:
        if (image) zoom_to(next_zoom(*image, 1));
        return 0;
      case Action::zoom_out:
        if (image) zoom_to(next_zoom(*image, -1));
        return 0;
      case Action::actual_size:
        zoom_to(actual_zoom);
        return 0;
      case Action::fit:
        zoom_ = fit_zoom;
        return 0;
      case Action::pan_left:
        pan(-pan_step_x(), 0);
        return 0;
      case Action::pan_right:
        pan(pan_step_x(), 0);
        return 0;
      case Action::pan_up:
        pan(0, -pan_step_y());
        return 0;
      case Action::pan_down:
        pan(0, pan_step_y());
        return 0;
      case Action::mirror_left_right:
        keeping_centre([&] { mirror_x_ = !mirror_x_; });
        return 0;
      case Action::mirror_top_bottom:
        keeping_centre([&] { mirror_y_ = !mirror_y_; });
        return 0;
      case Action::fullscreen:
        x_ToggleFullscreen();
        return 0;
      case Action::checkerboard:
        checkerboard = !checkerboard;
        forget_drawing();
        return 0;
    }
    return 0;
  }

  // Button 1 drags the image with the pointer and leaves the view when it comes up where it
  // went down; the wheel pans (with Shift across); any other button leaves at once.
  int handle_button(const XButtonEvent& button) {
    const bool shift = (button.state & ShiftMask) != 0;
    switch (button.button) {
      case Button1:
        dragging_ = true;
        dragged_ = false;
        drag_x_ = button.x;
        drag_y_ = button.y;
        return 0;
      case Button4:
        shift ? pan(-pan_step_x(), 0) : pan(0, -pan_step_y());
        return 0;
      case Button5:
        shift ? pan(pan_step_x(), 0) : pan(0, pan_step_y());
        return 0;
      case wheel_left_button:
        pan(-pan_step_x(), 0);
        return 0;
      case wheel_right_button:
        pan(pan_step_x(), 0);
        return 0;
      default:
        return view_left;
    }
  }

  // The image follows the pointer from where it was last seen.
  void drag_to(int x, int y) {
    if (x == drag_x_ && y == drag_y_) return;
    pan(drag_x_ - x, drag_y_ - y);
    drag_x_ = x;
    drag_y_ = y;
    dragged_ = true;
  }

  // The result of the event for view_image, or 0 to go on.
  int handle(XEvent& event) {
    switch (event.type) {
      case KeyPress:
        return handle_key(event.xkey);
      case ButtonPress:
        return handle_button(event.xbutton);
      case MotionNotify: {
        if (!dragging_) return 0;
        // Motion comes as hints: the pointer is asked where it is now, which also lets the
        // next hint come.
        Window root = 0, child = 0;
        int root_x = 0, root_y = 0, x = 0, y = 0;
        unsigned mask = 0;
        if (XQueryPointer(state.display, state.window, &root, &child, &root_x, &root_y, &x, &y,
                          &mask)) {
          drag_to(x, y);
        }
        return 0;
      }
      case ButtonRelease:
        // A release whose press the view did not see (the click that opened it) does nothing.
        if (event.xbutton.button != Button1 || !dragging_) return 0;
        drag_to(event.xbutton.x, event.xbutton.y);
        dragging_ = false;
        return dragged_ ? 0 : view_left;
      case Expose:
        // The last of a series of exposures repaints, from the kept drawing.
        if (event.xexpose.count == 0) painted_ = false;
        return 0;
      case DestroyNotify:
        // A destroyed window sends nothing more; waiting on would never end.
        state.quit = 1;
        return view_left;
      case ConfigureNotify: {
        const XConfigureEvent& c = event.xconfigure;
        // Fullscreen is a passing state: the file keeps the window's own geometry.
        if (x_Fullscreen()) {
          state.config = Config{c.x, c.y, c.width, c.height};
        } else {
          save_geometry(c.x, c.y, c.width, c.height);
        }
        return 0;
      }
      default:
        return 0;
    }
  }

  ViewEntry shown_, previous_, next_;
  int rotation_ = 0;
  bool mirror_x_ = false;
  bool mirror_y_ = false;
  int zoom_ = fit_zoom;
  // The window's top-left pixel on the scaled, turned and mirrored image.
  std::int64_t origin_x_ = 0;
  std::int64_t origin_y_ = 0;
  bool painted_ = false;
  bool dragging_ = false;  // button 1 is down, pressed in the view
  bool dragged_ = false;   // and the pointer moved since
  int drag_x_ = 0;
  int drag_y_ = 0;
};

}  // namespace

void start_view() {
  state.pool->set_handler(group_view, take_image);
}

int view_image(const ViewEntry& shown, const ViewEntry& previous, const ViewEntry& next) {
  const int result = Session(shown, previous, next).run();
  // A failed entry is not kept: stepping back onto it tries again.
  if (result == view_failed) forget(kept[0]);
  return result;
}

void leave_view() {
  forget_drawing();
  for (Kept& k : kept)
    forget(k);
  if (state.pool) state.pool->drop_queued(group_view);
}
