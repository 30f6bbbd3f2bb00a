// The help screen: a short key summary in place of the grid until a key, a button or a
// structure change of the window.
#include <cstring>

#include "browser/browser.h"
#include "main/state.h"
#include "xsupport/xsupport.h"

namespace {

constexpr int text_x = 30;
constexpr int link_y = 30;
constexpr int first_key_y = 50;
constexpr int key_line_spacing = 10;
constexpr int link_colour = 0x0000ff;
constexpr int key_colour = 0xffff00;

constexpr char link_line[] = "For help go to: " PICTRA_DOC_URL;

// Key texts left-justified in 25 columns, so every dash stands in column 27.
constexpr std::size_t key_line_capacity = 64;
constexpr char key_lines[][key_line_capacity] = {
    "H                         - help (this page)",
    "cursor/page keys          - select image",
    "return/mouse click        - show image",
    "+/-                       - larger/smaller thumbs",
    "f                         - fullscreen on/off",
    "s                         - slideshow from the selection",
    "i                         - info line on/off (also in the view)",
    "m, M, u                   - mark, invert marks, unmark all",
    "N/P                       - next/previous marked image",
    "ctrl+x key                - run the key handler on the marked",
    "Esc,q                     - quit",
    "In the image view:",
    "left/right                - turn",
    "up/down, space            - previous/next image",
    "+/-, 1, 0                 - zoom in/out, actual pixels, fit",
    "h/j/k/l, shift+cursor     - pan (also wheel, drag)",
    "| _                       - mirror left-right, top-bottom",
    "a, .                      - animation: pause/play, next frame",
    "s, [ ]                    - slideshow on/off, delay /2, x2",
    "A                         - transparency: checkerboard/black",
    "m, ctrl+x key             - mark/unmark, run the key handler",
    "other key, click          - back to the thumbnails",
};

void draw_text(GC gc, int y, const char* text) {
  XDrawString(state.display, state.window, gc, text_x, y, text,
              static_cast<int>(std::strlen(text)));
}

void set_foreground(GC gc, int rgb) {
  XGCValues values{};
  values.foreground = x_MakeColor(rgb);
  XChangeGC(state.display, gc, GCForeground, &values);
}

}  // namespace

void show_help() {
  XGCValues values{};
  values.foreground = x_MakeColor(0);
  values.background = 0;
  GC gc = XCreateGC(state.display, state.window, GCForeground | GCBackground, &values);
  XFillRectangle(state.display, state.window, gc, 0, 0, static_cast<unsigned>(state.config.width),
                 static_cast<unsigned>(state.config.height));
  set_foreground(gc, link_colour);
  draw_text(gc, link_y, link_line);
  set_foreground(gc, key_colour);
  int y = first_key_y;
  for (const char* line : key_lines) {
    draw_text(gc, y, line);
    y += key_line_spacing;
  }
  x_SetTitle("Help", 0, 0);
  XFreeGC(state.display, gc);

  x_WindowEvent(KeyPressMask | ButtonPressMask | StructureNotifyMask);
  // A new geometry, the window's end or the manager's close must still reach the browser loop:
  // hand them on.
  if (state.event.type == ConfigureNotify || window_closing()) state.event_pending = 1;
}
