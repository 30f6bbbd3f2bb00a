// Display support: the connection and colour mapping, off-screen Pictures, the main window and
// its title, and the event waits that a signal can interrupt.
#pragma once

#include <X11/Xlib.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "main/state.h"

// Every title starts with the program's name and version.
inline constexpr char title_prefix[] = "pictra-0.31 - ";

// An off-screen image in the display's pixel format. The ximage owns data.
struct Picture {
  std::uint64_t width = 0;
  std::uint64_t height = 0;
  std::uint64_t depth = 0;  // bits per pixel of data: 8, 16 or 32
  unsigned char* data = nullptr;
  XImage* ximage = nullptr;
};

// The colour cube of an 8-bit PseudoColor visual: six levels per channel, red slowest. A cube
// cell's channel is its level x 13107 (65535 / 5); an 8-bit channel value falls into level
// value / 43.
inline constexpr int cube_levels = 6;
inline constexpr int cube_size = cube_levels * cube_levels * cube_levels;
inline constexpr int cube_level_step = 13107;
inline constexpr unsigned cube_divisor = 43;

// Connection and colours.
void x_Init(const char* name);
// Defined below: it runs for every pixel drawn, so callers in every module inline it.
std::uint32_t x_MakeColor(int rgb);
void x_Cleanup(int sig);
// The screen's ICC profile as the root window's _ICC_PROFILE property holds it; empty without.
std::vector<std::uint8_t> x_DisplayProfile();

// Pictures.
Picture* x_CreatePicture(std::uint64_t width, std::uint64_t height, std::uint64_t depth);
// Defined below, inline like x_MakeColor.
void x_PutPixel(Picture* img, std::uint64_t x, std::uint64_t y, int rgb);
void x_FreePicture(Picture* img);
// Converts a raster of 8-bit RGB triples (width x height, rows of row_bytes bytes) into the
// Picture's pixels at column x, row y; the raster must lie inside the Picture. The one place
// where decoded images become display pixels. Where the visual has fewer than 8 bits for a
// channel the raster is dithered onto its levels, afresh at every call: the same raster gives
// the same pixels, and a channel at 0 or 255 stays exact. With 8 bits everywhere each pixel is
// x_MakeColor's.
void x_PutRGB(Picture* img, std::uint64_t x, std::uint64_t y, const std::uint8_t* rgb,
              std::uint64_t width, std::uint64_t height, std::uint64_t row_bytes);
// Sets every pixel of the Picture to the RGB value: x_MakeColor's where that is exact (black,
// white, 8-bit channels), else dithered as a raster of that colour.
void x_FillPicture(Picture* img, int rgb);
// Reports a write outside a Picture like a failed assertion and aborts.
[[noreturn]] [[gnu::cold]] void x_PutPixel_out_of_bounds(const char* file, unsigned line,
                                                         const char* function);
void clear_picture(Picture*& slot);

// Main window and title.
void x_OpenWindow();
// The title: the prefix, name, and " (WIDTHxHEIGHT)" unless the size is 0; a percent above 0
// follows the size, as " 100%".
void x_SetTitle(const char* name, std::uint64_t width, std::uint64_t height, int percent = 0);
// Puts note (with a space in front) at the end of the title shown and of every later one, until
// it is set to "".
void x_SetTitleNote(const char* note);
// Switches the window to fullscreen and back: through the window manager where one supports
// _NET_WM_STATE_FULLSCREEN, else as an override-redirect window covering the screen, put back
// where it was on leaving. The resize arrives as a ConfigureNotify.
void x_ToggleFullscreen();
// Whether the window is fullscreen; its geometry is then not the one to keep.
bool x_Fullscreen();
// Takes the window's geometry from its ConfigureNotify into state.config, and unless the window
// is fullscreen into the geometry file, its position as the window's own on the screen, inside
// a manager's frame too. True when the size changed.
bool x_TakeGeometry(const XConfigureEvent& event);
// Whether the event is the window manager's request to close the window (WM_DELETE_WINDOW),
// which ends the program as q does.
bool x_IsCloseRequest(const XEvent& event);
// Takes a queued close request into state.event; false when none is queued.
bool x_TakeCloseRequest();

// The program's icon at size x size pixels, row by row, each 0xAARRGGBB (not premultiplied).
// The window shows it at icon_sizes, and each of them is installed as a hicolor icon.
std::vector<std::uint32_t> x_DrawIcon(int size);
inline constexpr int icon_sizes[] = {16, 32, 48, 64};

// The info line: a band along the bottom of the window, dark with light text in the window's
// font. x_DrawInfoLine draws it across the bottom of drawable (width x height): name, cut in
// the middle with an ellipsis where the band is too short for it, then the other fields.
std::uint32_t x_InfoLineHeight();
void x_DrawInfoLine(Drawable drawable, std::uint32_t width, std::uint32_t height,
                    const std::string& name, const std::string& rest);

// Signals and event waits. The signal handler only records the signal and wakes the waits, so
// no Xlib call is ever interrupted half-way; the waits (and long drawing loops, through
// x_EndIfSignalled) then run the cleanup once and end the process by that signal.
void x_InstallSignals();
void x_NextEvent();  // XNextEvent into state.event
// A point in time a wait wakes for; no_deadline for none.
using Deadline = std::chrono::steady_clock::time_point;
inline constexpr Deadline no_deadline = Deadline::max();
// x_NextEvent, but also returns (false, state.event untouched) once watched is readable or
// deadline has passed.
bool x_NextEventOr(int watched, Deadline deadline = no_deadline);
// Blocks until the X connection or watched has input; events stay queued.
void x_WaitInput(int watched);
// XWindowEvent on state.window into state.event; a close request (which no mask selects) also
// ends the wait.
void x_WindowEvent(long event_mask);
void x_EndIfSignalled();
// Watches pidfd, a child process's, in every event wait: once the child ends, an event that
// x_ChildEnded recognises is queued and the watch ends. One child at a time.
void x_WatchChild(int pidfd);
bool x_ChildEnded(const XEvent& event);

// The symbol of a key press as the user typed it, with Shift, Lock and NumLock applied ("+" is
// plus, not the equal sign under it), letters taken in lower case.
KeySym x_TypedKey(XKeyEvent& event);

// The pixel value of an RGB value (0x00RRGGBB; the bits above are ignored): its cube cell on
// the colour-cube visual, else each channel's top bits placed by the visual's masks.
inline std::uint32_t x_MakeColor(int rgb) {
  constexpr unsigned channel_mask = 0xFF;
  constexpr int channel_bits = 8;
  const auto value = static_cast<std::uint32_t>(rgb);
  const std::uint32_t r = (value >> 16) & channel_mask;
  const std::uint32_t g = (value >> 8) & channel_mask;
  const std::uint32_t b = value & channel_mask;
  // The cube formula only where the cube exists: an 8-bit TrueColor visual uses its masks.
  if (state.cube_colormap) {
    return r / cube_divisor * cube_levels * cube_levels + g / cube_divisor * cube_levels +
           b / cube_divisor;
  }
  return (r >> (channel_bits - state.red_bits)) << state.red_shift |
         (g >> (channel_bits - state.green_bits)) << state.green_shift |
         (b >> (channel_bits - state.blue_bits)) << state.blue_shift;
}

// Stores rgb at column x, row y of img; a position outside the Picture aborts.
inline void x_PutPixel(Picture* img, std::uint64_t x, std::uint64_t y, int rgb) {
  if (!(x < img->width && y < img->height)) [[unlikely]]
    x_PutPixel_out_of_bounds(__FILE__, __LINE__, __func__);
  const std::uint32_t pixel = x_MakeColor(rgb);
  const std::uint64_t index = x + y * img->width;
  switch (img->depth) {
    case 8:
      img->data[index] = static_cast<std::uint8_t>(pixel);
      break;
    case 16:
      reinterpret_cast<std::uint16_t*>(img->data)[index] = static_cast<std::uint16_t>(pixel);
      break;
    case 32:
      reinterpret_cast<std::uint32_t*>(img->data)[index] = pixel;
      break;
    default:
      break;  // no other pixel size is ever created; nothing is written
  }
}
