// The view's state and its arithmetic, without a display.
#include "viewer/view_state.h"

#include <X11/Xutil.h>  // IsModifierKey
#include <X11/keysym.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>

namespace {

constexpr int quarter_turns = 3;  // mask of rotation's two low bits: the turn drawn
constexpr int odd_turn = 1;       // bit of a quarter or three-quarter turn
constexpr std::uint64_t percent = 100;
constexpr std::int64_t pan_divisor = 10;  // a pan step is a tenth of the frame
constexpr std::chrono::milliseconds shortest_delay{100};
constexpr std::chrono::milliseconds longest_delay{86'400'000};
constexpr double ms_per_second = 1000;
constexpr double bytes_per_unit = 1024;

// Zoom steps as fractions of the actual size, from an eighth to eight times.
struct ZoomStep {
  std::uint64_t num = 1;
  std::uint64_t den = 1;
};
constexpr ZoomStep zoom_steps[] = {{1, 8}, {1, 6}, {1, 4}, {1, 3}, {1, 2}, {2, 3}, {1, 1},
                                   {3, 2}, {2, 1}, {3, 1}, {4, 1}, {6, 1}, {8, 1}};
constexpr int zoom_count = static_cast<int>(std::size(zoom_steps));
static_assert(zoom_steps[actual_zoom].num == 1 && zoom_steps[actual_zoom].den == 1);

bool odd(int turn) {
  return (turn & odd_turn) != 0;
}

// The frame's origin along one axis of the scaled image: panned, but never past the image's
// edges, where the image is larger than the frame; at placed where it is not.
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
Point displayed_point(Size full, const Layout& layout, Point point) {
  const auto w = static_cast<double>(full.width), h = static_cast<double>(full.height);
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
Point image_point(Size full, const Layout& layout, Point p) {
  const auto w = static_cast<double>(full.width), h = static_cast<double>(full.height);
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

// The displayed image's full size along x and y, and the scaled size (at least 1) over it.
struct Scale {
  double full_x = 0, full_y = 0, scaled_x = 0, scaled_y = 0;
};
Scale scale_of(Size full, const Layout& l) {
  const bool turned = odd(l.turn);
  return {static_cast<double>(turned ? full.height : full.width),
          static_cast<double>(turned ? full.width : full.height),
          std::max<double>(static_cast<double>(l.scaled_width), 1),
          std::max<double>(static_cast<double>(l.scaled_height), 1)};
}

// The point of the image under the frame's centre.
Point centre(ViewState& view, Size full) {
  const Layout l = view_layout(view, full);
  const Scale s = scale_of(full, l);
  const auto fw = static_cast<double>(view.frame.width);
  const auto fh = static_cast<double>(view.frame.height);
  const Point p{(static_cast<double>(l.x) + fw / 2.0) * s.full_x / s.scaled_x,
                (static_cast<double>(l.y) + fh / 2.0) * s.full_y / s.scaled_y};
  return image_point(full, l, p);
}

// Pans so that point of the image comes under the frame's centre, as near as the edges let.
void look_at(ViewState& view, Size full, Point point) {
  const Layout l = view_layout(view, full);
  const Point p = displayed_point(full, l, point);
  const Scale s = scale_of(full, l);
  const auto fw = static_cast<double>(view.frame.width);
  const auto fh = static_cast<double>(view.frame.height);
  view.origin_x = std::llround(p.x * static_cast<double>(l.scaled_width) / s.full_x - fw / 2.0);
  view.origin_y = std::llround(p.y * static_cast<double>(l.scaled_height) / s.full_y - fh / 2.0);
}

// Changes the zoom, the turn or the mirrors by change, keeping the image point under the
// frame's centre where it was.
template <typename Change>
void keeping_centre(ViewState& view, const Size* full, Change change) {
  if (!full) {
    change();
    return;
  }
  const Point point = centre(view, *full);
  change();
  look_at(view, *full, point);
}

// The zoom step after the current one in direction (+1 or -1); from fit, the first step
// beyond the fitted scale. The zoom itself where there is none.
int next_zoom(const ViewState& view, Size full, int direction) {
  if (view.zoom != fit_zoom) return std::clamp(view.zoom + direction, 0, zoom_count - 1);
  const Size fitted = scaled_size(full, view_turn(view), fit_zoom, view.frame);
  int found = fit_zoom;
  for (int i = 0; i < zoom_count; ++i) {
    // step.num / step.den against fitted.width / full.width, without rounding.
    const std::uint64_t step_side = zoom_steps[i].num * full.width;
    const std::uint64_t fit_side = fitted.width * zoom_steps[i].den;
    if (direction > 0 && step_side > fit_side) return i;
    if (direction < 0 && step_side < fit_side) found = i;
  }
  return found;
}

void zoom_to(ViewState& view, const Size* full, int zoom) {
  keeping_centre(view, full, [&] { view.zoom = zoom; });
}

std::int64_t pan_step(std::uint64_t side) {
  return std::max<std::int64_t>(static_cast<std::int64_t>(side) / pan_divisor, 1);
}

}  // namespace

int view_turn(const ViewState& view) {
  return static_cast<int>(static_cast<unsigned>(view.rotation) & quarter_turns);
}

Wish box_for(int turn, Frame frame) {
  const auto width = static_cast<std::uint32_t>(frame.width);
  const auto height = static_cast<std::uint32_t>(frame.height);
  return odd(turn) ? Wish{height, width} : Wish{width, height};
}

Size scaled_size(Size full, int turn, int zoom, Frame frame) {
  if (zoom == fit_zoom) {
    const Wish box = box_for(turn, frame);
    return fit_size(full.width, full.height, box.width, box.height);
  }
  const ZoomStep& step = zoom_steps[zoom];
  return {full.width * step.num / step.den, full.height * step.num / step.den};
}

Wish decode_box(Size full, int turn, int zoom, Frame frame) {
  if (zoom == fit_zoom) return box_for(turn, frame);
  if (zoom_steps[zoom].num >= zoom_steps[zoom].den) return Wish{};
  const Size zoomed = scaled_size(full, turn, zoom, frame);
  return Wish{static_cast<std::uint32_t>(zoomed.width + 1),
              static_cast<std::uint32_t>(zoomed.height + 1)};
}

int zoom_percent(int zoom) {
  if (zoom == fit_zoom) return 0;
  const ZoomStep& step = zoom_steps[zoom];
  return static_cast<int>((step.num * percent + step.den / 2) / step.den);
}

Layout view_layout(ViewState& view, Size full) {
  Layout l{.turn = view_turn(view),
           .mirror_x = view.mirror_x,
           .mirror_y = view.mirror_y,
           .zoom = view.zoom};
  const Size scaled = scaled_size(full, l.turn, view.zoom, view.frame);
  l.scaled_width = odd(l.turn) ? scaled.height : scaled.width;
  l.scaled_height = odd(l.turn) ? scaled.width : scaled.height;
  const std::uint64_t width = view.frame.width, height = view.frame.height;
  // An axis smaller than the frame, fitted or zoomed, is centred on it, the odd pixel left
  // of or above the image.
  const std::uint64_t placed_x = l.scaled_width < width ? (width - l.scaled_width) / 2 : 0;
  const std::uint64_t placed_y = l.scaled_height < height ? (height - l.scaled_height) / 2 : 0;
  view.origin_x = l.x =
      settle_axis(view.origin_x, l.scaled_width, width, -static_cast<std::int64_t>(placed_x));
  view.origin_y = l.y =
      settle_axis(view.origin_y, l.scaled_height, height, -static_cast<std::int64_t>(placed_y));
  return l;
}

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
    // Shift+a ("A") is the checkerboard's; a alone pauses an animation.
    case XK_a:
      return shift ? Action::checkerboard : Action::pause;
    case XK_period:
      return Action::next_frame;
    case XK_s:
      return Action::slideshow;
    case XK_bracketleft:
      return Action::slideshow_faster;
    case XK_bracketright:
      return Action::slideshow_slower;
    case XK_i:
      return Action::info_line;
    case XK_m:
      return shift ? Action::invert_marks : Action::mark;
    case XK_u:
      return Action::unmark_all;
    // Shift+n and Shift+p step to a marked image; without Shift they leave like other keys.
    case XK_n:
      return shift ? Action::next_mark : Action::leave;
    case XK_p:
      return shift ? Action::previous_mark : Action::leave;
    default:
      // Modifier keys alone do nothing; with them Shift+q still leaves like q.
      return IsModifierKey(keysym) ? Action::none : Action::leave;
  }
}

void pan_view(ViewState& view, std::int64_t across, std::int64_t down) {
  view.origin_x += across;
  view.origin_y += down;
}

void apply_action(ViewState& view, Action action, const Size* full) {
  const std::int64_t step_x = pan_step(view.frame.width);
  const std::int64_t step_y = pan_step(view.frame.height);
  switch (action) {
    case Action::turn_left:
      keeping_centre(view, full, [&] { --view.rotation; });
      break;
    case Action::turn_right:
      keeping_centre(view, full, [&] { ++view.rotation; });
      break;
    case Action::zoom_in:
      if (full) zoom_to(view, full, next_zoom(view, *full, 1));
      break;
    case Action::zoom_out:
      if (full) zoom_to(view, full, next_zoom(view, *full, -1));
      break;
    case Action::actual_size:
      zoom_to(view, full, actual_zoom);
      break;
    case Action::fit:
      view.zoom = fit_zoom;
      break;
    case Action::pan_left:
      pan_view(view, -step_x, 0);
      break;
    case Action::pan_right:
      pan_view(view, step_x, 0);
      break;
    case Action::pan_up:
      pan_view(view, 0, -step_y);
      break;
    case Action::pan_down:
      pan_view(view, 0, step_y);
      break;
    case Action::mirror_left_right:
      keeping_centre(view, full, [&] { view.mirror_x = !view.mirror_x; });
      break;
    case Action::mirror_top_bottom:
      keeping_centre(view, full, [&] { view.mirror_y = !view.mirror_y; });
      break;
    case Action::none:
    case Action::previous:
    case Action::next:
    case Action::leave:
    case Action::fullscreen:
    case Action::pause:
    case Action::next_frame:
    case Action::slideshow:
    case Action::slideshow_faster:
    case Action::slideshow_slower:
    case Action::info_line:
    case Action::checkerboard:
    case Action::mark:
    case Action::invert_marks:
    case Action::unmark_all:
    case Action::next_mark:
    case Action::previous_mark:
      break;
  }
}

bool set_delay(Slideshow& show, double seconds) {
  // Written so that NaN fails too.
  if (!(seconds * ms_per_second >= static_cast<double>(shortest_delay.count()) &&
        seconds * ms_per_second <= static_cast<double>(longest_delay.count()))) {
    return false;
  }
  show.delay = std::chrono::milliseconds(std::llround(seconds * ms_per_second));
  return true;
}

void change_delay(Slideshow& show, int direction) {
  const std::chrono::milliseconds changed = direction > 0 ? show.delay * 2 : show.delay / 2;
  show.delay = std::clamp(changed, shortest_delay, longest_delay);
}

std::string delay_text(std::chrono::milliseconds delay) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", static_cast<double>(delay.count()) / ms_per_second);
  return text;
}

std::string readable_bytes(std::int64_t bytes) {
  constexpr const char* units[] = {"KiB", "MiB", "GiB", "TiB"};
  char text[32];
  if (bytes < bytes_per_unit) {
    std::snprintf(text, sizeof text, "%lld B", static_cast<long long>(bytes));
    return text;
  }
  auto value = static_cast<double>(bytes) / bytes_per_unit;
  std::size_t unit = 0;
  for (; value >= bytes_per_unit && unit + 1 < std::size(units); ++unit)
    value /= bytes_per_unit;
  std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
  return text;
}

std::string view_info(const ViewState& view, const Layout& layout, const ShownFacts& facts,
                      const Slideshow& show) {
  std::string text;
  auto add = [&](const std::string& field) {
    if (field.empty()) return;
    if (!text.empty()) text += "  ";
    text += field;
  };
  if (facts.count > 0) add(std::to_string(facts.position) + "/" + std::to_string(facts.count));
  add(std::to_string(facts.full.width) + "x" + std::to_string(facts.full.height));
  if (facts.file_bytes >= 0) add(readable_bytes(facts.file_bytes));
  // At fit, the scale the fit comes to, to the nearest percent.
  const std::uint64_t across = odd(layout.turn) ? facts.full.height : facts.full.width;
  const int shown = view.zoom != fit_zoom || across == 0
                        ? zoom_percent(view.zoom)
                        : static_cast<int>((layout.scaled_width * percent + across / 2) / across);
  add(std::to_string(shown) + "%");
  constexpr int degrees_per_turn = 90;
  if (layout.turn != 0) add("turned " + std::to_string(layout.turn * degrees_per_turn));
  if (layout.mirror_x) add("mirrored left-right");
  if (layout.mirror_y) add("mirrored top-bottom");
  if (facts.frames > 0)
    add("frame " + std::to_string(facts.frame) + "/" + std::to_string(facts.frames));
  if (facts.marked) add("marked");
  if (facts.marks > 0) add(std::to_string(facts.marks) + (facts.marks == 1 ? " mark" : " marks"));
  if (show.running) add("slideshow " + delay_text(show.delay));
  add(facts.taken);
  add(facts.camera);
  return text;
}
