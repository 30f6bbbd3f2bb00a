// The single-image view: the image alone in the window, fitted with its aspect ratio kept,
// turned in quarter turns.
//
// Every decode runs on the decode pool, so input is answered while a file decodes. The shown
// entry is decoded once, at the smallest scale that covers the window, and kept until the view
// moves on; its neighbours are decoded ahead and kept beside it, three images at most. A drawing
// is rendered once into a window-sized Picture and sent whole; an exposure repaints that
// Picture without decoding or resampling.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <array>
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

// The drawing on the window.
struct Drawing {
  Picture* picture = nullptr;
  const Image* image = nullptr;  // what it shows
  int turn = -1;
  std::uint32_t window_width = 0;
  std::uint32_t window_height = 0;
};
Drawing drawing;

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
      k.image = std::move(result.image);
      k.failed = k.image == nullptr;
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

// Whether a kept image still covers the drawn size for box: a reduced-scale decode for a
// smaller window may not.
bool covers(const Image& image, Wish box) {
  if (image.width >= image.full_width && image.height >= image.full_height) return true;
  const Size drawn = fit_size(image.full_width, image.full_height, box.width, box.height);
  return image.width >= drawn.width && image.height >= drawn.height;
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
  state.pool->drop_queued(group_view);
  // A dropped job never comes back; its slot is asked again when it is needed.
  for (Kept& k : kept)
    if (k.tag != 0 && !state.pool->pending(k.tag)) k = Kept{};
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
  clear_picture(drawing.picture);
  drawing = Drawing{};
}

// Where the turned image lands: the box's top-left corner turns with the image, so an image
// narrower than the window sits left when upright, right after a quarter turn, and so on.
void place(int turn, std::uint64_t drawn_width, std::uint64_t drawn_height, std::uint64_t& x,
           std::uint64_t& y) {
  const auto width = static_cast<std::uint64_t>(state.config.width);
  const auto height = static_cast<std::uint64_t>(state.config.height);
  x = (turn == 1 || turn == 2) ? width - drawn_width : 0;
  y = turn >= 2 ? height - drawn_height : 0;
}

// Renders image into a new window-sized Picture; without one nothing is drawn this time.
void render(const Image& image, int turn) {
  forget_drawing();
  const auto width = static_cast<std::uint32_t>(state.config.width);
  const auto height = static_cast<std::uint32_t>(state.config.height);
  drawing.picture =
      x_CreatePicture(width, height, static_cast<std::uint64_t>(state.bits_per_pixel));
  if (!drawing.picture) return;
  x_FillPicture(drawing.picture, rgb_black);
  const Wish box = box_for(turn);
  const Size drawn = fit_size(image.full_width, image.full_height, box.width, box.height);
  if (drawn.width > 0 && drawn.height > 0) {
    auto scaled = resample(image, static_cast<std::uint32_t>(drawn.width),
                           static_cast<std::uint32_t>(drawn.height));
    if (scaled && turn != 0) scaled = turn_image(*scaled, turn);
    if (scaled) {
      std::uint64_t x = 0, y = 0;
      place(turn, scaled->width, scaled->height, x, y);
      x_PutRGB(drawing.picture, x, y, scaled->rgb.data(), scaled->width, scaled->height,
               std::uint64_t{scaled->width} * rgb_channels);
    }
  }
  drawing.image = &image;
  drawing.turn = turn;
  drawing.window_width = width;
  drawing.window_height = height;
}

void repaint() {
  if (!drawing.picture) return;
  GC gc = XCreateGC(state.display, state.window, 0, nullptr);
  XPutImage(state.display, state.window, gc, drawing.picture->ximage, 0, 0, 0, 0,
            static_cast<unsigned>(drawing.picture->width),
            static_cast<unsigned>(drawing.picture->height));
  XFreeGC(state.display, gc);
}

bool drawing_current(const Image& image, int turn) {
  return drawing.picture && drawing.image == &image && drawing.turn == turn &&
         drawing.window_width == static_cast<std::uint32_t>(state.config.width) &&
         drawing.window_height == static_cast<std::uint32_t>(state.config.height);
}

// What a key does in the view.
enum class Action { none, turn_left, turn_right, previous, next, leave };

Action key_action(KeySym keysym) {
  switch (keysym) {
    case XK_Left:
    case XK_KP_Left:
    case XK_KP_4:
      return Action::turn_left;
    case XK_Right:
    case XK_KP_Right:
    case XK_KP_6:
      return Action::turn_right;
    case XK_Up:
    case XK_KP_Up:
    case XK_KP_8:
    case XK_BackSpace:
    case XK_Prior:
    case XK_KP_Prior:
      return Action::previous;
    case XK_Down:
    case XK_KP_Down:
    case XK_KP_2:
    case XK_space:
    case XK_Next:
    case XK_KP_Next:
      return Action::next;
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
      // Draw only once no event waits, so a burst of turns, resizes or exposures draws its
      // final state alone.
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

  // Makes sure the shown entry is kept or on its way, decoded for the current box; false
  // once it is known not to decode.
  bool settle() {
    Kept& k = kept[0];
    const Wish box = box_for(turn());
    if (k.entry.path.empty()) {
      request(k, shown_, box, shown_priority);
    } else if (k.failed) {
      return false;
    } else if (k.tag == 0 && !covers(*k.image, box)) {
      request(k, shown_, box, shown_priority);
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
    const bool stale = !drawing_current(*k.image, turn());
    if (stale) render(*k.image, turn());
    if (stale || !painted_) repaint();
    painted_ = true;
    if (stale) {
      x_SetTitle(shown_.path.c_str(), k.image->full_width, k.image->full_height);
      prefetch(previous_, next_, box_for(0));
    }
  }

  // The result of the event for view_image, or 0 to go on.
  int handle(XEvent& event) {
    switch (event.type) {
      case KeyPress:
        switch (key_action(x_TypedKey(event.xkey))) {
          case Action::none:
            return 0;
          case Action::turn_left:
            --rotation_;
            return 0;
          case Action::turn_right:
            ++rotation_;
            return 0;
          case Action::previous:
            return view_previous;
          case Action::next:
            return view_next;
          case Action::leave:
            return view_left;
        }
        return 0;
      case ButtonPress:
        return view_left;
      case Expose:
        // The last of a series of exposures repaints, from the kept drawing.
        if (event.xexpose.count == 0) painted_ = false;
        return 0;
      case DestroyNotify:
        // A destroyed window sends nothing more; waiting on would never end.
        state.quit = 1;
        return view_left;
      case ConfigureNotify:
        save_geometry(event.xconfigure.x, event.xconfigure.y, event.xconfigure.width,
                      event.xconfigure.height);
        return 0;
      default:
        return 0;
    }
  }

  ViewEntry shown_, previous_, next_;
  int rotation_ = 0;
  bool painted_ = false;
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
