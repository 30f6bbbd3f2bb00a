// The one main window: its creation with what a window manager reads (names, size hints, the
// close protocol, the icon), its title, its geometry as the manager leaves it, and fullscreen.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <locale.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config/config.h"
#include "xsupport/xsupport.h"

namespace {

// Motion only while button 1 drags, and as hints: a drag asks for the pointer once per draw
// instead of queueing every step it moved.
constexpr long window_events = KeyPressMask | ButtonPressMask | ButtonReleaseMask |
                               Button1MotionMask | PointerMotionHintMask | ExposureMask |
                               StructureNotifyMask;
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

bool valid_utf8(const char* text) {
  const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
  if (utf8 == nullptr) return false;
  const locale_t previous = uselocale(utf8);
  const bool valid = std::mbstowcs(nullptr, text, 0) != static_cast<std::size_t>(-1);
  uselocale(previous);
  freelocale(utf8);
  return valid;
}

// The title in UTF-8, for the EWMH names: converted from the locale's encoding where it can be.
// Otherwise bytes that already are UTF-8 stay as they are, and any others are read as Latin-1,
// as the STRING that WM_NAME then holds is defined to be.
std::string utf8_title(char* title) {
  if (!is_ascii(title) && converts_in_locale(title)) {
    XTextProperty property{};
    if (XmbTextListToTextProperty(state.display, &title, 1, XUTF8StringStyle, &property) ==
            Success &&
        property.value) {
      std::string text(reinterpret_cast<char*>(property.value), property.nitems);
      XFree(property.value);
      return text;
    }
    if (property.value) XFree(property.value);
  }
  if (valid_utf8(title)) return title;
  std::string text;
  constexpr unsigned lead_bits = 6;
  constexpr unsigned char two_byte_lead = 0xc0;
  constexpr unsigned char continuation = 0x80;
  constexpr unsigned char low_bits = 0x3f;
  for (const char* c = title; *c; ++c) {
    const auto byte = static_cast<unsigned char>(*c);
    if (byte <= last_ascii) {
      text += *c;
    } else {
      text += static_cast<char>(two_byte_lead | byte >> lead_bits);
      text += static_cast<char>(continuation | (byte & low_bits));
    }
  }
  return text;
}

Atom atom(const char* name) {
  return XInternAtom(state.display, name, False);
}

void set_utf8_property(const char* name, const std::string& text) {
  XChangeProperty(state.display, state.window, atom(name), atom("UTF8_STRING"), 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(text.data()),
                  static_cast<int>(text.size()));
}

void set_cardinals(const char* name, const std::vector<long>& values) {
  XChangeProperty(state.display, state.window, atom(name), XA_CARDINAL, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(values.data()),
                  static_cast<int>(values.size()));
}

// The manager's close: a WM_PROTOCOLS message naming WM_DELETE_WINDOW, as the ICCCM defines it.
struct CloseAtoms {
  Atom protocols;
  Atom delete_window;
};

CloseAtoms close_atoms() {
  return {atom("WM_PROTOCOLS"), atom("WM_DELETE_WINDOW")};
}

bool is_close_request(const XEvent& event, const CloseAtoms& atoms) {
  return event.type == ClientMessage && event.xclient.window == state.window &&
         event.xclient.message_type == atoms.protocols && event.xclient.format == 32 &&
         static_cast<Atom>(event.xclient.data.l[0]) == atoms.delete_window;
}

// A window manager may let the user shrink the window no further than this, so the grid keeps
// a few cells and the view some image.
constexpr int min_window_width = 160;
constexpr int min_window_height = 120;

// The class and machine for window rules, task bars and desktop entries, the close protocol,
// and the saved geometry as the user's own choice. Static gravity asks the manager to put the
// window itself, not its frame, at the saved position: that is the position saved, so a
// window comes back exactly where it was left, under any frame.
void set_manager_hints() {
  XSizeHints* size = XAllocSizeHints();
  XWMHints* hints = XAllocWMHints();
  XClassHint* names = XAllocClassHint();
  if (!size || !hints || !names) out_of_memory();
  size->flags = USPosition | USSize | PMinSize | PWinGravity;
  size->x = state.config.xpos;
  size->y = state.config.ypos;
  size->width = state.config.width;
  size->height = state.config.height;
  size->min_width = min_window_width;
  size->min_height = min_window_height;
  size->win_gravity = StaticGravity;
  hints->flags = InputHint | StateHint;
  hints->input = True;
  hints->initial_state = NormalState;
  char name[] = "pictra";
  char window_class[] = "Pictra";
  names->res_name = name;
  names->res_class = window_class;
  // Also sets WM_CLIENT_MACHINE, which gives _NET_WM_PID its meaning.
  XSetWMProperties(state.display, state.window, nullptr, nullptr, nullptr, 0, size, hints, names);
  XFree(size);
  XFree(hints);
  XFree(names);
  set_cardinals("_NET_WM_PID", {static_cast<long>(getpid())});
  Atom protocols[] = {close_atoms().delete_window};
  XSetWMProtocols(state.display, state.window, protocols, 1);
}

// Every size of the icon, each as its width, its height and its pixels.
void set_icon() {
  std::vector<long> values;
  for (int size : icon_sizes) {
    values.push_back(size);
    values.push_back(size);
    for (std::uint32_t argb : x_DrawIcon(size))
      values.push_back(static_cast<long>(argb));
  }
  set_cardinals("_NET_WM_ICON", values);
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
  set_manager_hints();
  set_icon();
  x_SetTitle("", 0, 0);
  XMapWindow(state.display, state.window);
}

namespace {

// What the title was last set to, so that a new note goes onto it.
struct TitleParts {
  std::string name;
  std::uint64_t width = 0;
  std::uint64_t height = 0;
  int percent = 0;
  std::string note;
};
TitleParts title_parts;

}  // namespace

void x_SetTitleNote(const char* note) {
  title_parts.note = note;
  const TitleParts parts = title_parts;
  x_SetTitle(parts.name.c_str(), parts.width, parts.height, parts.percent);
}

void x_SetTitle(const char* name, std::uint64_t width, std::uint64_t height, int percent) {
  title_parts = TitleParts{name, width, height, percent, std::move(title_parts.note)};
  char suffix[suffix_buffer_size] = "";
  if (width != 0 && height != 0) {
    std::snprintf(suffix, sizeof suffix, " (%" PRIu64 "x%" PRIu64 ")", width, height);
    suffix[suffix_limit] = '\0';
    if (percent > 0) {
      const std::size_t used = std::strlen(suffix);
      std::snprintf(suffix + used, sizeof suffix - used, " %d%%", percent);
    }
  }

  std::string title = std::string(title_prefix) + name + suffix;
  if (!title_parts.note.empty()) title += " " + title_parts.note;

  // WM_NAME last: whoever waits for the title to change finds every name already set.
  const std::string utf8 = utf8_title(title.data());
  set_utf8_property("_NET_WM_NAME", utf8);
  set_utf8_property("_NET_WM_ICON_NAME", utf8);
  XTextProperty property;
  make_title_property(title.data(), &property);
  XSetWMIconName(state.display, state.window, &property);
  XSetWMName(state.display, state.window, &property);
  XFree(property.value);
}

bool x_IsCloseRequest(const XEvent& event) {
  return event.type == ClientMessage && is_close_request(event, close_atoms());
}

bool x_TakeCloseRequest() {
  // The predicate runs with the connection locked and may not call Xlib: the atoms come along.
  CloseAtoms atoms = close_atoms();
  auto predicate = [](Display*, XEvent* event, XPointer atoms) -> Bool {
    return is_close_request(*event, *reinterpret_cast<const CloseAtoms*>(atoms)) ? True : False;
  };
  return XCheckIfEvent(state.display, &state.event, predicate,
                       reinterpret_cast<XPointer>(&atoms)) != 0;
}

namespace {

// _NET_WM_STATE's action for adding a state and for removing one.
constexpr long net_wm_state_remove = 0;
constexpr long net_wm_state_add = 1;
constexpr long source_application = 1;  // the request comes from an application

struct FullscreenState {
  bool on = false;
  bool through_manager = false;
  // Where the window was before an override-redirect fullscreen.
  int x = 0;
  int y = 0;
  unsigned width = 0;
  unsigned height = 0;
};
FullscreenState fullscreen;

// The window property of a root property, or 0 without it.
Window window_property(Window window, Atom property) {
  Atom type = 0;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  Window result = 0;
  if (XGetWindowProperty(state.display, window, property, 0, 1, False, XA_WINDOW, &type, &format,
                         &count, &after, &data) == Success &&
      data) {
    if (type == XA_WINDOW && format == 32 && count == 1) result = *reinterpret_cast<Window*>(data);
    XFree(data);
  }
  return result;
}

// Whether a window manager that knows _NET_WM_STATE_FULLSCREEN runs: its check window names
// itself, and the root's _NET_SUPPORTED lists the state. A stale check window left by a manager
// that ended no longer exists; the errors of asking it are caught.
bool manager_supports(Atom fullscreen_atom) {
  const Window root = RootWindow(state.display, state.screen);
  const Atom check = XInternAtom(state.display, "_NET_SUPPORTING_WM_CHECK", False);
  const Window manager = window_property(root, check);
  if (manager == 0) return false;
  XSync(state.display, False);
  auto previous = XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
  const Window self = window_property(manager, check);
  XSync(state.display, False);
  XSetErrorHandler(previous);
  if (self != manager) return false;

  const Atom supported = XInternAtom(state.display, "_NET_SUPPORTED", False);
  Atom type = 0;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  bool found = false;
  constexpr long max_atoms = 4096;
  if (XGetWindowProperty(state.display, root, supported, 0, max_atoms, False, XA_ATOM, &type,
                         &format, &count, &after, &data) == Success &&
      data) {
    const Atom* atoms = reinterpret_cast<Atom*>(data);
    for (unsigned long i = 0; i < count && type == XA_ATOM && format == 32; ++i)
      found = found || atoms[i] == fullscreen_atom;
    XFree(data);
  }
  return found;
}

void ask_manager(bool on, Atom fullscreen_atom) {
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = state.window;
  event.xclient.message_type = XInternAtom(state.display, "_NET_WM_STATE", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = on ? net_wm_state_add : net_wm_state_remove;
  event.xclient.data.l[1] = static_cast<long>(fullscreen_atom);
  event.xclient.data.l[3] = source_application;
  XSendEvent(state.display, RootWindow(state.display, state.screen), False,
             SubstructureRedirectMask | SubstructureNotifyMask, &event);
}

// Without a manager the window itself covers the screen, out of any manager's hands should one
// start meanwhile, and takes the focus it no longer gets by being mapped.
void cover_screen(bool on) {
  XSetWindowAttributes attributes{};
  attributes.override_redirect = on ? True : False;
  XUnmapWindow(state.display, state.window);
  XChangeWindowAttributes(state.display, state.window, CWOverrideRedirect, &attributes);
  if (on) {
    fullscreen.x = state.config.xpos;
    fullscreen.y = state.config.ypos;
    fullscreen.width = static_cast<unsigned>(state.config.width);
    fullscreen.height = static_cast<unsigned>(state.config.height);
    XMoveResizeWindow(state.display, state.window, 0, 0,
                      static_cast<unsigned>(DisplayWidth(state.display, state.screen)),
                      static_cast<unsigned>(DisplayHeight(state.display, state.screen)));
  } else {
    XMoveResizeWindow(state.display, state.window, fullscreen.x, fullscreen.y, fullscreen.width,
                      fullscreen.height);
  }
  XMapRaised(state.display, state.window);
  if (on) XSetInputFocus(state.display, state.window, RevertToPointerRoot, CurrentTime);
}

}  // namespace

void x_ToggleFullscreen() {
  const Atom fullscreen_atom = XInternAtom(state.display, "_NET_WM_STATE_FULLSCREEN", False);
  const bool on = !fullscreen.on;
  // Leaving goes the way entering went, whatever runs now.
  const bool manager = on ? manager_supports(fullscreen_atom) : fullscreen.through_manager;
  if (manager) {
    ask_manager(on, fullscreen_atom);
  } else {
    cover_screen(on);
  }
  fullscreen.on = on;
  fullscreen.through_manager = manager;
  XFlush(state.display);
}

bool x_Fullscreen() {
  return fullscreen.on;
}

bool x_TakeGeometry(const XConfigureEvent& event) {
  int x = event.x;
  int y = event.y;
  // The server's own event gives the place in the parent, which under a reparenting manager is
  // its frame; the manager's synthetic one gives the place on the screen. The server's is
  // asked where that is on the screen now.
  if (!event.send_event) {
    Window child = 0;
    int root_x = 0, root_y = 0;
    if (XTranslateCoordinates(state.display, state.window, RootWindow(state.display, state.screen),
                              0, 0, &root_x, &root_y, &child)) {
      x = root_x;
      y = root_y;
    }
  }
  const bool resized = event.width != state.config.width || event.height != state.config.height;
  // Fullscreen is a passing state: the file keeps the window's own geometry.
  if (fullscreen.on) {
    state.config = Config{x, y, event.width, event.height};
  } else {
    save_geometry(x, y, event.width, event.height);
  }
  return resized;
}
