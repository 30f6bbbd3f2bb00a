// The view's state as a plain value, and everything that follows from it without a display:
// where the image lands and at what size, the zoom steps, the centre kept across changes, the
// pan kept inside the image's edges, and what each key does. The view's loop feeds it events
// and draws what it says.
#pragma once

#include <X11/X.h>  // KeySym

#include <chrono>
#include <cstdint>
#include <string>

#include "formats/formats.h"

inline constexpr int fit_zoom = -1;    // not a step: fitted into the frame
inline constexpr int actual_zoom = 6;  // the step 1/1

// The part of the window the image is drawn into.
struct Frame {
  std::uint64_t width = 0;
  std::uint64_t height = 0;
};

struct ViewState {
  int rotation = 0;  // quarter turns to the right; only its two low bits are drawn
  bool mirror_x = false;
  bool mirror_y = false;
  int zoom = fit_zoom;
  // The frame's top-left pixel on the scaled, turned and mirrored image.
  std::int64_t origin_x = 0;
  std::int64_t origin_y = 0;
  Frame frame;
};

// What a drawing shows: the image turned, then mirrored, then scaled to scaled_width x
// scaled_height, with the frame's top-left pixel on its pixel (x, y); negative where the
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

// The turn drawn, 0 to 3.
int view_turn(const ViewState& view);
// The box the image is fitted into, in the image's own orientation.
Wish box_for(int turn, Frame frame);
// The size a drawing scales an image of full size to, in the image's own orientation: fitted
// into the frame, or the zoom step's fraction of the full size, rounded down.
Size scaled_size(Size full, int turn, int zoom, Frame frame);
// What a decode for zoom asks for: full size from 100% on; below, a box one pixel over the
// zoomed size, since the decoder fits the box to the image's ratio and rounds one side down.
Wish decode_box(Size full, int turn, int zoom, Frame frame);
// The zoom as a percentage of the actual size; 0 at fit.
int zoom_percent(int zoom);
// What the frame is to show of an image of full size now; the origin settles inside the
// image's edges.
Layout view_layout(ViewState& view, Size full);

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
  pause,             // an animation stops or goes on
  next_frame,        // an animation shows its next frame, paused
  slideshow,         // start or stop
  slideshow_faster,  // halve the delay
  slideshow_slower,  // double it
  info_line,         // show or hide
  checkerboard,      // transparent parts over a checkerboard, or black again
  mark,              // mark or unmark the shown file
  invert_marks,      // of the list
  unmark_all,
  next_mark,  // step to the next marked image
  previous_mark
};

// The action of a typed key (as x_TypedKey gives it), with or without Shift.
Action key_action(KeySym keysym, bool shift);
// Pans by a number of pixels of the scaled image; view_layout keeps it inside the edges.
void pan_view(ViewState& view, std::int64_t across, std::int64_t down);
// Applies what an action does to the state. full is the shown image's size, null while it
// decodes (zooming from fit then waits for it; turns and mirrors apply alone). Actions that
// leave the state as it is (steps, leaving, fullscreen, an animation's) do nothing here.
void apply_action(ViewState& view, Action action, const Size* full);

// The slideshow: each step comes delay after the one before it, shown or typed.
using SlideClock = std::chrono::steady_clock;
struct Slideshow {
  bool running = false;
  bool fresh = false;  // started, and no entry shown yet: the first delay counts from then
  std::chrono::milliseconds delay{5000};
  SlideClock::time_point last_step;
  SlideClock::time_point due() const { return last_step + delay; }
};
// The delay of seconds, rounded to milliseconds; false (delay untouched) outside 0.1 s to a
// day.
bool set_delay(Slideshow& show, double seconds);
// Halves (direction -1) or doubles (+1) the delay within 0.1 s and a day; the next step stays
// counted from the last.
void change_delay(Slideshow& show, int direction);
// The delay as the info line shows it: "5 s", "0.3 s", "1.25 s".
std::string delay_text(std::chrono::milliseconds delay);

// What the info line tells of the shown image besides its name.
struct ShownFacts {
  std::size_t position = 0;  // in the list, from 1; 0 for none
  std::size_t count = 0;
  Size full;
  std::int64_t file_bytes = -1;  // -1 when unknown
  std::string taken;
  std::string camera;
  std::uint32_t frame = 0;  // an animation's frame on show, from 1, of frames; 0 for a still
  std::uint32_t frames = 0;
  bool marked = false;    // the shown file
  std::size_t marks = 0;  // marked files in all
};
// The info line's fields after the name: position, size, file size, zoom, turn and mirrors
// when not upright, an animation's frame, the mark and the count of marked files, the
// slideshow's delay while it runs, date taken and camera.
std::string view_info(const ViewState& view, const Layout& layout, const ShownFacts& facts,
                      const Slideshow& show);
// A file size as people read it: "980 B", "12.5 KiB", "3.1 MiB".
std::string readable_bytes(std::int64_t bytes);
