// The single-image view: the image alone in the window, fitted with its aspect ratio kept or
// zoomed in steps of its actual size, turned in quarter turns, mirrored, and panned.
//
// Every decode runs on the decode pool, so input is answered while a file decodes. The shown
// entry is decoded once, at the smallest scale that covers the window, and kept until the view
// moves on; a zoom that needs more pixels decodes it again at the scale that covers the zoomed
// size (full size from 100% on). Its neighbours are decoded ahead and kept beside it, three
// images at most; a slideshow keeps a fourth, the image after the next. A drawing is rendered once
// into a window-sized Picture, resampling only the part of the image that the window shows, and
// sent whole; an exposure repaints that Picture without decoding or resampling. An animation
// plays while it is shown: its frames come from its playback, composed on the pool ahead of
// their time, and each is drawn when it is due.
#include <X11/Xlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "filelist/marks.h"
#include "formats/formats.h"
#include "formats/pool.h"
#include "main/state.h"
#include "viewer/draw.h"
#include "viewer/playback.h"
#include "viewer/view_state.h"
#include "viewer/viewer.h"
#include "xsupport/xsupport.h"

namespace {

// The shown image is wanted now; its neighbours only before the next step.
constexpr int shown_priority = 10;
constexpr int neighbour_priority = 5;

// What a file is now: a decode of it made before it changed is of no use.
struct FileStamp {
  std::int64_t size = -1;
  std::int64_t mtime_seconds = 0;
  std::int64_t mtime_nanoseconds = 0;
  bool operator==(const FileStamp&) const = default;
};

FileStamp stamp_of(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return {};
  return {static_cast<std::int64_t>(st.st_size), static_cast<std::int64_t>(st.st_mtim.tv_sec),
          static_cast<std::int64_t>(st.st_mtim.tv_nsec)};
}

// A decoded entry, or one on its way from the pool.
struct Kept {
  ViewEntry entry;
  FileStamp stamp;  // the file's when it was asked for
  std::unique_ptr<Image> image;
  Wish box;                            // what it was decoded for
  std::uint64_t tag = 0;               // of the job still decoding it; 0 once it is back
  bool failed = false;                 // back, without an image
  std::unique_ptr<Playback> playback;  // for an animation, instead of image
};

// Slots: the shown entry, its two neighbours, and in a slideshow the image after the next.
std::array<Kept, 4> kept;
std::uint64_t last_tag = 0;

// The horizontal wheel's buttons.
constexpr unsigned wheel_left_button = 6;
constexpr unsigned wheel_right_button = 7;

bool same(const ViewEntry& a, const ViewEntry& b) {
  return a.path == b.path && a.selector == b.selector;
}

Kept* find_kept(const ViewEntry& entry) {
  for (Kept& k : kept)
    if (!k.entry.path.empty() && same(k.entry, entry)) return &k;
  return nullptr;
}

// What the slot shows: the animation's frame on show, or the image.
const Image* shown_image(const Kept& k) {
  return k.playback ? &k.playback->image() : k.image.get();
}

void forget(Kept& k) {
  image_going(shown_image(k));
  // Drawings are kept only of the frames of an animation: they go with its frames.
  if (k.playback) keep_frame_drawings(false);
  k = Kept{};
}

Deadline now() {
  return std::chrono::steady_clock::now();
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
      image_going(k.image.get());
      if (result.job.reader) {
        k.image.reset();
        if (k.playback) keep_frame_drawings(false);
        k.playback = std::make_unique<Playback>(std::move(result), now());
        return;
      }
      k.image = std::move(result.image);
      return;
    }
  }
}

// The pool's handler for frames: they go to the playback whose reader composed them; those of
// an animation no longer kept are dropped.
void take_frames(DecodeResult&& result) {
  for (Kept& k : kept) {
    if (k.playback && k.playback->take(std::move(result), now())) return;
  }
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
  k.stamp = stamp_of(entry.path);
  k.box = box;
  k.tag = ++last_tag;
  // An animation comes back as its first frame, with its reader for the frames after.
  state.pool->submit(DecodeJob{.path = entry.path,
                               .selector = entry.selector,
                               .wish = box,
                               .tag = k.tag,
                               .group = group_view,
                               .priority = priority,
                               .animate = true});
}

// Keeps entry and its neighbours, in this order of slots, and lets everything else go.
void keep_only(const ViewEntry& shown, const ViewEntry& previous, const ViewEntry& next,
               const ViewEntry& after) {
  const ViewEntry* wanted[] = {&shown, &previous, &next, &after};
  std::array<Kept, 4> arranged;
  for (std::size_t i = 0; i < arranged.size(); ++i) {
    if (wanted[i]->path.empty()) continue;
    if (Kept* k = find_kept(*wanted[i])) arranged[i] = std::move(*k);
  }
  for (Kept& k : kept)
    forget(k);
  kept = std::move(arranged);
  // A file changed meanwhile (by the key handler, say) is decoded again.
  for (Kept& k : kept)
    if (!k.entry.path.empty() && !(k.stamp == stamp_of(k.entry.path))) forget(k);
  // A dropped job never comes back; its slot is asked again when it is needed.
  for (std::uint64_t tag : state.pool->drop_queued(group_view)) {
    for (Kept& k : kept)
      if (k.tag == tag) k = Kept{};
  }
}

// The image after the next comes last, so that a step the user takes finds its neighbours
// first.
void prefetch(const ViewEntry& previous, const ViewEntry& next, const ViewEntry& after, Wish box) {
  const ViewEntry* neighbours[] = {&previous, &next, &after};
  for (std::size_t i = 0; i < std::size(neighbours); ++i) {
    Kept& k = kept[i + 1];
    if (neighbours[i]->path.empty() || !k.entry.path.empty()) continue;
    request(k, *neighbours[i], box, i == 2 ? neighbour_priority - 1 : neighbour_priority);
  }
}

// A marked image's marker: a square at the window's top left corner, in the marks' colour.
void draw_mark_corner() {
  constexpr unsigned side = 16;
  XGCValues values{};
  values.foreground = x_MakeColor(mark_rgb);
  GC gc = XCreateGC(state.display, state.window, GCForeground, &values);
  XFillRectangle(state.display, state.window, gc, 0, 0, side, side);
  XFreeGC(state.display, gc);
}

// The slideshow, kept across the entries it steps through.
Slideshow show;

// The frame the image is drawn into: the window above the info line.
Frame window_frame() {
  const auto height = static_cast<std::uint64_t>(state.config.height);
  const std::uint64_t band = state.info_line ? x_InfoLineHeight() : 0;
  return {static_cast<std::uint64_t>(state.config.width), height > band ? height - band : 0};
}

// The size of the file at path; -1 when it cannot be had.
std::int64_t file_bytes(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<std::int64_t>(st.st_size) : -1;
}

Size full_size(const Image& image) {
  return {image.full_width, image.full_height};
}

// The view's loop for one entry, from the first wait for its image to the step or exit.
class Session {
 public:
  Session(const ViewEntry& shown, const ViewEntry& previous, const ViewEntry& next,
          const ViewPlace& place)
      : shown_(shown), previous_(previous), next_(next), place_(place) {}

  int run() {
    if (show.running && show.fresh) {
      show.fresh = false;
      show.last_step = std::chrono::steady_clock::now();
    }
    keep_only(shown_, previous_, ahead(), after());
    // An animation decoded ahead, or left earlier, goes on from its frame now.
    if (Playback* playback = kept[0].playback.get()) playback->restart_clock(now());
    for (;;) {
      view_.frame = window_frame();
      if (!settle()) return view_failed;
      Playback* playback = kept[0].playback.get();
      if (playback) {
        playback->tick(now());
        playback->ask(*state.pool, ++last_tag);
      }
      // Draw only once no event waits, so a burst of turns, zooms, pans, resizes or exposures
      // draws its final state alone.
      if (XPending(state.display) == 0) {
        draw();
        // The drawing goes to the server now: rendering the next one ahead takes a while.
        XFlush(state.display);
        render_next_slide();
        render_next_frame();
      }
      // The next slide is due once this one has been drawn; an animation's next frame when
      // its time comes. A slideshow waits out its delay whatever the animation does.
      const Deadline slide = show.running && drawn_ ? show.due() : no_deadline;
      const Deadline due = std::min(slide, playback ? playback->due() : no_deadline);
      if (!x_NextEventOr(state.pool->wake_fd(), due)) {
        if (slide != no_deadline && std::chrono::steady_clock::now() >= slide) {
          if (const int result = next_slide(slide); result != 0) return result;
          continue;
        }
        state.pool->dispatch();
        continue;
      }
      if (const int result = handle(state.event); result != 0) {
        // A step typed during a slideshow counts the next from now.
        if (result == view_previous || result == view_next)
          show.last_step = std::chrono::steady_clock::now();
        return result;
      }
    }
  }

 private:
  // The entry decoded ahead after the shown one: the next, or in a slideshow at the last image
  // the first, which it goes on with.
  const ViewEntry& ahead() const {
    static const ViewEntry none;
    if (!next_.path.empty() || !show.running) return next_;
    const ViewEntry& first = place_.first;
    if (first.path.empty() || same(first, shown_) || same(first, previous_)) return none;
    return first;
  }

  // While a slideshow waits, the next slide's drawing is rendered, so that its step only has to
  // show it. The next entry starts fitted and upright; with the info line on, whose text the
  // next entry knows best, it is rendered at its step.
  void render_next_slide() {
    if (!show.running || !drawn_ || state.info_line) return;
    const Kept* next = find_kept(ahead());
    const Image* image = next ? shown_image(*next) : nullptr;
    if (ahead().path.empty() || !image || next->tag != 0) return;
    ViewState fresh;
    fresh.frame = view_.frame;
    const Layout l = view_layout(fresh, full_size(*image));
    render_ahead(*image, l, view_.frame, {});
  }

  // While an animation plays, its next frame's drawing is rendered before its time, so that
  // its time only has to show it. A slideshow has the drawing ahead for its next slide.
  void render_next_frame() {
    const Playback* playback = kept[0].playback.get();
    const Image* next = playback ? playback->next_image() : nullptr;
    if (!next || show.running || !drawn_) return;
    const Layout l = view_layout(view_, full_size(*next));
    render_ahead(*next, l, view_.frame, band(*next, l, 1));
  }

  // The image after the next, decoded ahead while a slideshow runs; none where it is one of
  // the others.
  const ViewEntry& after() const {
    static const ViewEntry none;
    const ViewEntry& entry = place_.after_next;
    if (!show.running || entry.path.empty() || same(entry, shown_) || same(entry, previous_) ||
        same(entry, ahead())) {
      return none;
    }
    return entry;
  }

  // The slideshow's step at due: to the next image, after the last to the first; an image
  // alone in its list stays, shown for another delay.
  int next_slide(Deadline due) {
    show.last_step = due;
    if (!next_.path.empty()) return view_next;
    if (!place_.first.path.empty() && !same(place_.first, shown_)) return view_first;
    return 0;
  }

  // What the info line shows, when it is on.
  // ahead counts the animation's frames after the one on show.
  Band band(const Image& image, const Layout& layout, std::uint32_t ahead = 0) {
    if (!state.info_line) return {};
    if (bytes_ == unknown_bytes) bytes_ = file_bytes(shown_.path);
    const Playback* playback = kept[0].playback.get();
    const ShownFacts facts{
        .position = place_.position,
        .count = place_.count,
        .full = full_size(image),
        .file_bytes = bytes_,
        .taken = image.taken,
        .camera = image.camera,
        .frame = playback ? (playback->frame() + ahead) % playback->frame_count() + 1 : 0,
        .frames = playback ? playback->frame_count() : 0,
        .marked = marked(),
        .marks = mark_count()};
    return {true, shown_.path, view_info(view_, layout, facts, show)};
  }

  // Makes sure the shown entry is kept or on its way, decoded with the pixels the drawing
  // needs; false once it is known not to decode. A decode for a larger zoom leaves the kept
  // image drawn until the sharper one comes.
  bool settle() {
    Kept& k = kept[0];
    const int turn = view_turn(view_);
    if (k.entry.path.empty()) {
      request(k, shown_, box_for(turn, view_.frame), shown_priority);
      return true;
    }
    if (k.failed) return false;
    // An animation's frames are full size already.
    if (k.tag != 0 || !k.image) {
      if (k.playback) prefetch(previous_, ahead(), after(), box_for(0, view_.frame));
      return true;
    }
    const Size full = full_size(*k.image);
    const Wish box = decode_box(full, turn, view_.zoom, view_.frame);
    const bool asked = box.width == k.box.width && box.height == k.box.height;
    // What came back for this very box is what the file gives: asking again would loop.
    if (!asked && !covers(*k.image, scaled_size(full, turn, view_.zoom, view_.frame))) {
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
    prefetch(previous_, ahead(), after(), box_for(0, view_.frame));
    return true;
  }

  // Renders when the drawing is out of date and repaints when the window lost it. Every
  // render ends by setting the title; a repaint alone leaves it.
  void draw() {
    const Kept& k = kept[0];
    const Image* image = shown_image(k);
    if (!image) {
      // Still decoding: an exposure meanwhile gets the last drawing back.
      if (!painted_) repaint();
      painted_ = true;
      return;
    }
    // The frames' drawings are kept for the later loops of an animation whose frames stay.
    keep_frame_drawings(k.playback && k.playback->keeps_all());
    const Layout l = view_layout(view_, full_size(*image));
    const Band b = band(*image, l);
    const bool ready = drawing_current(*image, l, b);
    const bool taken = !ready && take_ahead(*image, l, b);
    const bool stale = !ready && !taken;
    if (stale) render(*image, l, view_.frame, b);
    if (!ready || !painted_) {
      repaint();
      if (marked()) draw_mark_corner();
    }
    painted_ = true;
    drawn_ = true;
    // An animation's next frame alone leaves the title as it is; a change of marks sets it
    // again.
    if (retitle_ || (!ready && !(k.playback && titled_ && l == titled_layout_))) {
      retitle_ = false;
      x_SetTitle(shown_.path.c_str(), image->full_width, image->full_height,
                 zoom_percent(view_.zoom));
      titled_ = true;
      titled_layout_ = l;
      prefetch(previous_, ahead(), after(), box_for(0, view_.frame));
    }
  }

  // The result of an action for view_image, or 0 to go on.
  int act(Action action) {
    switch (action) {
      case Action::previous:
        return view_previous;
      case Action::next:
        return view_next;
      case Action::leave:
        return view_left;
      case Action::next_mark:
        return view_next_mark;
      case Action::previous_mark:
        return view_previous_mark;
      case Action::fullscreen:
        x_ToggleFullscreen();
        return 0;
      case Action::pause:
        if (kept[0].playback) kept[0].playback->toggle_pause(now());
        return 0;
      case Action::next_frame:
        if (kept[0].playback) kept[0].playback->step(now());
        return 0;
      case Action::slideshow:
        show.running = !show.running;
        show.last_step = std::chrono::steady_clock::now();
        // At the last image the first is now wanted ahead.
        if (show.running) prefetch(previous_, ahead(), after(), box_for(0, view_.frame));
        return 0;
      case Action::slideshow_faster:
      case Action::slideshow_slower:
        change_delay(show, action == Action::slideshow_slower ? 1 : -1);
        return 0;
      case Action::info_line:
        state.info_line = !state.info_line;
        return 0;
      case Action::checkerboard:
        toggle_checkerboard();
        return 0;
      case Action::mark:
      case Action::invert_marks:
      case Action::unmark_all:
        change_marks(action);
        return 0;
      default: {
        const Image* image = shown_image(kept[0]);
        const Size full = image ? full_size(*image) : Size{};
        apply_action(view_, action, image ? &full : nullptr);
        return 0;
      }
    }
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
        return act(shift ? Action::pan_left : Action::pan_up);
      case Button5:
        return act(shift ? Action::pan_right : Action::pan_down);
      case wheel_left_button:
        return act(Action::pan_left);
      case wheel_right_button:
        return act(Action::pan_right);
      default:
        return view_left;
    }
  }

  // The image follows the pointer from where it was last seen.
  void drag_to(int x, int y) {
    if (x == drag_x_ && y == drag_y_) return;
    pan_view(view_, drag_x_ - x, drag_y_ - y);
    drag_x_ = x;
    drag_y_ = y;
    dragged_ = true;
  }

  // The result of the event for view_image, or 0 to go on.
  int handle(XEvent& event) {
    switch (event.type) {
      case KeyPress:
        if (take_handler_key(event.xkey, shown_.path)) return 0;
        return act(key_action(x_TypedKey(event.xkey), (event.xkey.state & ShiftMask) != 0));
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
      case ClientMessage:
        if (handler_ended(event)) return view_reread;
        // The manager's close ends the program, from the view as from the grid.
        if (!x_IsCloseRequest(event)) return 0;
        state.quit = 1;
        return view_left;
      case ConfigureNotify:
        x_TakeGeometry(event.xconfigure);
        return 0;
      default:
        return 0;
    }
  }

  // A sub-image is not a file of its own: it is never marked.
  bool marked() const { return shown_.selector.empty() && is_marked_path(shown_.path); }

  // The marks change: the window is painted again, with the marker or without, and the title
  // set again once it is.
  void change_marks(Action action) {
    if (action == Action::unmark_all) {
      clear_marks();
    } else if (action == Action::invert_marks) {
      invert_marks(state.top);
    } else if (shown_.selector.empty()) {
      toggle_mark_path(shown_.path);
    }
    painted_ = false;
    retitle_ = true;
  }

  static constexpr std::int64_t unknown_bytes = -2;

  ViewEntry shown_, previous_, next_;
  ViewPlace place_;
  ViewState view_;
  std::int64_t bytes_ = unknown_bytes;  // the file's size, asked once it is shown
  bool painted_ = false;
  bool retitle_ = false;  // the title is set again at the next drawing
  bool titled_ = false;
  Layout titled_layout_;
  bool drawn_ = false;     // the shown image has been drawn
  bool dragging_ = false;  // button 1 is down, pressed in the view
  bool dragged_ = false;   // and the pointer moved since
  int drag_x_ = 0;
  int drag_y_ = 0;
};

}  // namespace

void start_view() {
  state.pool->set_handler(group_view, take_image);
  state.pool->set_handler(group_frames, take_frames);
}

int view_image(const ViewEntry& shown, const ViewEntry& previous, const ViewEntry& next,
               const ViewPlace& place) {
  const int result = Session(shown, previous, next, place).run();
  // A failed entry is not kept: stepping back onto it tries again.
  if (result == view_failed) forget(kept[0]);
  return result;
}

void leave_view() {
  show.running = false;
  forget_drawing();
  for (Kept& k : kept)
    forget(k);
  if (state.pool) {
    state.pool->drop_queued(group_view);
    state.pool->drop_queued(group_frames);
  }
}

bool set_slide_delay(double seconds) {
  return set_delay(show, seconds);
}

void start_slideshow() {
  show.running = true;
  show.fresh = true;
}
