// The one main window and its title.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "xsupport/xsupport.h"

namespace {

constexpr long window_events = KeyPressMask | ButtonPressMask | ExposureMask | StructureNotifyMask;
constexpr unsigned long window_attribute_mask = CWBorderPixel | CWEventMask | CWColormap;
constexpr std::size_t suffix_buffer_size = 64;
constexpr std::size_t suffix_limit = 32;
constexpr int out_of_memory_status = -1;
constexpr unsigned char last_ascii = 0x7f;

[[noreturn]] void out_of_memory() {
  std::puts("Out of memory.");
  std::exit(out_of_memory_status);
}

bool is_ascii(const char* text) {
  for (; *text; ++text) {
    if (static_cast<unsigned char>(*text) > last_ascii) return false;
  }
  return true;
}

// Whether the text is a valid multibyte string of the current locale. Xlib's converter stops
// quietly at an invalid sequence and would cut the title short there.
bool converts_in_locale(const char* text) {
  return std::mbstowcs(nullptr, text, 0) != static_cast<std::size_t>(-1);
}

// Plain ASCII goes into a STRING property as it is. Anything else (UTF-8 directory and file
// names) is converted through the locale, which picks STRING or COMPOUND_TEXT as the text needs;
// when the locale cannot convert it (say a Latin-1 file name under a UTF-8 locale) the bytes are
// stored unconverted, so at least the whole name is there.
void make_title_property(char* title, XTextProperty* property) {
  if (!is_ascii(title) && converts_in_locale(title)) {
    const int status =
        XmbTextListToTextProperty(state.display, &title, 1, XStdICCTextStyle, property);
    // A positive status counts characters the locale had no encoding for; they show as its
    // default character, which still reads better than the whole title as raw bytes.
    if (status >= Success) return;
    if (status == XNoMemory) out_of_memory();
  }
  if (!XStringListToTextProperty(&title, 1, property)) out_of_memory();
}

}  // namespace

void x_OpenWindow() {
  XSetWindowAttributes attributes;
  std::memset(&attributes, 0, sizeof attributes);
  attributes.event_mask = window_events;
  // 0 is CopyFromParent: a TrueColor window shares the root's colormap.
  attributes.colormap = state.cube_colormap;

  state.window = XCreateWindow(
      state.display, RootWindow(state.display, state.screen), state.config.xpos, state.config.ypos,
      static_cast<unsigned int>(state.config.width), static_cast<unsigned int>(state.config.height),
      0, state.visual_depth, InputOutput, state.visual, window_attribute_mask, &attributes);
  x_SetTitle("", 0, 0);
  XMapWindow(state.display, state.window);
}

void x_SetTitle(const char* name, std::uint64_t width, std::uint64_t height) {
  char suffix[suffix_buffer_size] = "";
  if (width != 0 && height != 0) {
    std::snprintf(suffix, sizeof suffix, " (%" PRIu64 "x%" PRIu64 ")", width, height);
    suffix[suffix_limit] = '\0';
  }

  const std::size_t prefix_length = sizeof title_prefix - 1;
  const std::size_t name_length = std::strlen(name);
  const std::size_t suffix_length = std::strlen(suffix);
  char* title = static_cast<char*>(std::malloc(prefix_length + name_length + suffix_length + 1));
  if (!title) out_of_memory();
  std::memcpy(title, title_prefix, prefix_length);
  std::memcpy(title + prefix_length, name, name_length);
  std::memcpy(title + prefix_length + name_length, suffix, suffix_length + 1);

  XTextProperty property;
  make_title_property(title, &property);
  XSetWMName(state.display, state.window, &property);
  XFree(property.value);
  std::free(title);
}
