// The display connection: visual checks, the pixel size of Pictures, the colour cube or the
// TrueColor channel layout, the label font set, and the cleanup that releases them.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

#include "xsupport/xsupport.h"

namespace {

constexpr int fatal_status = -1;

constexpr int min_depth = 8;
constexpr int max_depth = 24;
constexpr int cube_visual_depth = 8;
constexpr int bits_per_byte = 8;
constexpr int max_channel_bits = 8;  // x_MakeColor keeps at most the 8 bits of an RGB channel
constexpr int fallback_bits_per_pixel = 32;

constexpr char primary_font_pattern[] = "-*-*-medium-r-*-12-*";
constexpr char fallback_font_pattern[] = "fixed";

// Visual class names, indexed by the class constants StaticGray (0) to DirectColor (5).
constexpr const char* class_names[] = {"StaticGray",  "GrayScale", "StaticColor",
                                       "PseudoColor", "TrueColor", "DirectColor"};

[[noreturn]] void fail(const char* message) {
  std::fputs(message, stderr);
  std::exit(fatal_status);
}

const char* class_name(int visual_class) {
  constexpr int count = sizeof class_names / sizeof class_names[0];
  return visual_class >= 0 && visual_class < count ? class_names[visual_class] : "unknown";
}

struct ChannelLayout {
  int shift = 0;
  int bits = 0;
};

// Position and width of a colour mask: the zero bits below its lowest set bit, then the run of
// set bits from there upwards. An empty mask gives 0/0 (the caller refuses such a visual).
ChannelLayout measure_mask(unsigned long mask) {
  ChannelLayout layout;
  if (mask == 0) return layout;
  while (!((mask >> layout.shift) & 1))
    ++layout.shift;
  while (layout.shift + layout.bits < static_cast<int>(sizeof mask * bits_per_byte) &&
         ((mask >> (layout.shift + layout.bits)) & 1))
    ++layout.bits;
  return layout;
}

// Finds the pixel size of Pictures. The X library accepts only 8, 16 and 32 as an image's
// scan-line pad, so a depth of 17 to 24 rounds to 24, fails, and falls back to 32.
void probe_bits_per_pixel() {
  state.bytes_per_pixel = 0;  // lets the X library work out the probe's line length
  Picture* probe = x_CreatePicture(1, 1, static_cast<std::uint64_t>(state.bits_per_pixel));
  if (!probe) {
    state.bits_per_pixel = fallback_bits_per_pixel;
    probe = x_CreatePicture(1, 1, fallback_bits_per_pixel);
  }
  if (!probe) fail("Could not allocate image.\n");
  x_FreePicture(probe);
}

// Only an 8-bit PseudoColor visual (the cube) and TrueColor/DirectColor visuals with real masks
// of at most 8 bits per channel (x_MakeColor keeps each channel's top bits) can be drawn on.
void check_visual_class(const XVisualInfo& info) {
  const int visual_class = info.c_class;
  bool usable = false;
  if (visual_class == PseudoColor) {
    usable = state.visual_depth == cube_visual_depth;
  } else if (visual_class == TrueColor || visual_class == DirectColor) {
    usable = true;
    for (unsigned long mask : {info.red_mask, info.green_mask, info.blue_mask}) {
      const int bits = measure_mask(mask).bits;
      if (bits == 0 || bits > max_channel_bits) usable = false;
    }
  }
  if (usable) return;
  std::fprintf(stderr,
               "Unsupported visual: %s at depth %d (need 8-bit PseudoColor or TrueColor).\n",
               class_name(visual_class), state.visual_depth);
  std::exit(fatal_status);
}

void set_up_cube() {
  state.cube_colors = static_cast<XColor*>(std::calloc(cube_size, sizeof(XColor)));
  if (!state.cube_colors) fail("Out of memory.\n");
  for (int i = 0; i < cube_size; ++i) {
    XColor& cell = state.cube_colors[i];
    cell.pixel = static_cast<unsigned long>(i);
    cell.red = static_cast<unsigned short>(i / (cube_levels * cube_levels) * cube_level_step);
    cell.green = static_cast<unsigned short>(i / cube_levels % cube_levels * cube_level_step);
    cell.blue = static_cast<unsigned short>(i % cube_levels * cube_level_step);
    cell.flags = DoRed | DoGreen | DoBlue;
  }
  state.cube_colormap = XCreateColormap(state.display, RootWindow(state.display, state.screen),
                                        state.visual, AllocAll);
  XStoreColors(state.display, state.cube_colormap, state.cube_colors, cube_size);
}

void set_up_masks(const XVisualInfo& info) {
  state.cube_colormap = 0;
  state.cube_colors = nullptr;
  const ChannelLayout red = measure_mask(info.red_mask);
  const ChannelLayout green = measure_mask(info.green_mask);
  const ChannelLayout blue = measure_mask(info.blue_mask);
  state.red_shift = red.shift;
  state.red_bits = red.bits;
  state.green_shift = green.shift;
  state.green_bits = green.bits;
  state.blue_shift = blue.shift;
  state.blue_bits = blue.bits;
}

XErrorHandler default_error_handler = nullptr;
bool window_gone = false;

// A window destroyed from outside (a window manager closing it) makes the drawing requests still
// on their way fail: BadWindow or BadDrawable for the window, then BadGC for the graphics
// contexts that could not be created on it. Those are expected, since the DestroyNotify that
// follows ends the browser or the view. Every other error gets the X library's own handling.
int on_x_error(Display* display, XErrorEvent* error) {
  const bool on_window = error->error_code == BadWindow || error->error_code == BadDrawable;
  if (on_window && state.window && error->resourceid == state.window) window_gone = true;
  if (window_gone && (on_window || error->error_code == BadGC)) return 0;
  return default_error_handler ? default_error_handler(display, error) : 0;
}

XFontSet create_font_set(const char* pattern) {
  char** missing = nullptr;
  int missing_count = 0;
  char* default_string = nullptr;
  XFontSet set = XCreateFontSet(state.display, pattern, &missing, &missing_count, &default_string);
  // Missing character sets are not a reason to refuse a font set; only the list is released.
  if (missing) XFreeStringList(missing);
  return set;
}

}  // namespace

std::vector<std::uint8_t> x_DisplayProfile() {
  std::vector<std::uint8_t> icc;
  const Atom property = XInternAtom(state.display, "_ICC_PROFILE", True);
  if (property == None) return icc;
  Atom type = None;
  int format = 0;
  unsigned long count = 0;
  unsigned long left = 0;
  unsigned char* data = nullptr;
  // The whole property, however long: the length is counted in 32-bit units.
  constexpr long whole = 0x7fffffff / 4;
  if (XGetWindowProperty(state.display, RootWindow(state.display, state.screen), property, 0, whole,
                         False, AnyPropertyType, &type, &format, &count, &left, &data) == Success &&
      data && format == 8) {
    icc.assign(data, data + count);
  }
  if (data) XFree(data);
  return icc;
}

void x_Init(const char* name) {
  std::setlocale(LC_ALL, "");

  state.display = XOpenDisplay(name);
  if (!state.display) {
    // Without a name the X library took the display from DISPLAY; show what it used.
    std::printf("Failed to connect to X display on '%s'\n", name ? name : XDisplayName(nullptr));
    std::exit(fatal_status);
  }
  if (!default_error_handler) default_error_handler = XSetErrorHandler(on_x_error);
  state.screen = DefaultScreen(state.display);
  state.cleanup = x_Cleanup;
  state.visual = DefaultVisual(state.display, state.screen);

  XVisualInfo wanted{};
  wanted.visualid = XVisualIDFromVisual(state.visual);
  int found = 0;
  XVisualInfo* infos = XGetVisualInfo(state.display, VisualIDMask, &wanted, &found);
  if (!infos || found < 1) {
    std::fprintf(stderr, "Error getting VisualInfo for visual id %u.\n",
                 static_cast<unsigned>(wanted.visualid));
    std::exit(fatal_status);
  }
  const XVisualInfo info = infos[0];
  XFree(infos);

  state.visual_depth = info.depth;
  state.bits_per_pixel = (info.depth + bits_per_byte - 1) / bits_per_byte * bits_per_byte;
  probe_bits_per_pixel();

  if (state.visual_depth < min_depth || state.visual_depth > max_depth) {
    std::fprintf(stderr,
                 "You need at least a 8 bit PseudoColor visual andmaximum 24 bit TrueColor "
                 "(found: %u bits).\n",
                 static_cast<unsigned>(state.visual_depth));
    std::exit(fatal_status);
  }
  check_visual_class(info);
  state.bytes_per_pixel = static_cast<unsigned long>(state.bits_per_pixel / bits_per_byte);

  if (info.c_class == PseudoColor) {
    set_up_cube();
  } else {
    set_up_masks(info);
  }

  state.fontset = create_font_set(primary_font_pattern);
  if (!state.fontset) state.fontset = create_font_set(fallback_font_pattern);
  if (!state.fontset) fail("Could not load an appropriate font.\n");
}

void x_Cleanup(int sig) {
  if (sig == SIGPIPE) return;
  // The display is closed once; a second call (normal shutdown after a signal, or the other
  // way round) finds nothing left to release.
  if (!state.display) return;
  if (state.cube_colors) {
    XFreeColormap(state.display, state.cube_colormap);
    std::free(state.cube_colors);
    state.cube_colors = nullptr;
    state.cube_colormap = 0;
  }
  // The font set lives exactly as long as the display: its client-side memory is not released by
  // closing the display, so it goes right before.
  if (state.fontset) XFreeFontSet(state.display, state.fontset);
  state.fontset = nullptr;
  XCloseDisplay(state.display);
  state.display = nullptr;
  state.visual = nullptr;
}
