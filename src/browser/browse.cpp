// The browser's event loop and the navigation rules of its keys.
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "browser/browser.h"
#include "browser/moves.h"
#include "filelist/filelist.h"
#include "filelist/marks.h"
#include "formats/pool.h"
#include "main/state.h"
#include "viewer/viewer.h"
#include "xsupport/xsupport.h"

namespace {

// Mouse buttons with a meaning of their own; every other button activates the cell it hits.
constexpr unsigned parent_button = Button2;
constexpr unsigned page_up_button = Button4;
constexpr unsigned page_down_button = Button5;

const GridLevel& level() {
  return grid[state.thumbsize];
}

// A move of the grid on the browser's position, with redraw_grid's argument for what it changed.
int move(Redraw (*moved)(GridPosition&, GridShape)) {
  GridPosition p{state.top, state.selected};
  const Redraw redraw = moved(p, GridShape{level().cols, level().cells});
  state.top = p.top;
  state.selected = p.selected;
  return redraw == Redraw::cells ? 1 : redraw == Redraw::resume ? state.interrupted : 0;
}

int key_larger() {
  if (state.thumbsize > min_thumbsize) {
    --state.thumbsize;
    layout_grid();
    if (state.selected >= level().cells) state.selected = level().cells - 1;
  }
  return 1;
}

int key_smaller() {
  if (state.thumbsize < max_thumbsize) {
    ++state.thumbsize;
    layout_grid();
  }
  return 1;
}

// Up one level: from a list of sub-images back to the directory holding the file, from a
// directory to its parent. A list of named files has no parent.
void go_to_parent(std::string& container) {
  if (!container.empty()) {
    leave_container(container);
    return;
  }
  if (state.named_list) return;
  state.selected = 0;
  // A failing chdir is not reported: the rescan then shows the current directory again.
  [[maybe_unused]] const int failed = chdir("..");
  scan_dir();
}

// Selects node: in its cell when it is on the page shown, else on the page it is on when paged
// to from the start.
void select_node(const FileNode* node) {
  const FileNode* at = state.top;
  for (std::uint32_t index = 0; at && index < level().cells; ++index, at = at->nextfile) {
    if (at == node) {
      state.selected = index;
      return;
    }
  }
  select_position(list_position(node));
}

// The marking keys: m, u, Shift+m, Shift+n and Shift+p. -1 for any other key. Every change
// redraws the thumbnails, from the cache: a frame taken off shows the picture under it again.
int mark_key(KeySym keysym, bool shift) {
  switch (keysym) {
    case XK_m:
      if (shift) {
        invert_marks(state.top);
      } else {
        toggle_mark(file_node_at(state.top, state.selected));
      }
      return 1;
    case XK_u:
      clear_marks();
      return 1;
    case XK_n:
      return shift ? step_to_mark(true) : -1;
    case XK_p:
      return shift ? step_to_mark(false) : -1;
    default:
      return -1;
  }
}

// The file the key handler gets when nothing is marked: the selected one, when it is a file.
std::string selected_file(const std::string& container) {
  const FileNode* node = file_node_at(state.top, state.selected);
  if (node == nullptr || node->directory) return "";
  return container.empty() ? node->name : container;
}

// The cell under a click, or cells (no cell) when the click is right of the last column or
// below the last row.
std::uint32_t cell_at(int x, int y) {
  const GridLevel& g = level();
  if (state.cell_width == 0 || x < 0 || y < 0) return g.cells;
  const auto column = static_cast<std::uint32_t>(x) / state.cell_width;
  if (column >= g.cols) return g.cells;
  const auto row = static_cast<std::uint32_t>(y) / (state.thumb_height + label_band);
  return row < g.rows ? row * g.cols + column : g.cells;
}

void handle_button(std::string& container) {
  const XButtonEvent& button = state.event.xbutton;
  switch (button.button) {
    case parent_button:
      go_to_parent(container);
      break;
    case page_up_button:
    case page_down_button:
      redraw_grid(handle_key(button.button == page_up_button ? XK_Prior : XK_Next, container),
                  container.c_str());
      return;
    default: {
      const std::uint32_t index = cell_at(button.x, button.y);
      const char* name = index < level().cells ? file_name_at(state.top, index) : nullptr;
      // A click activates like Return, also inside a list of sub-images.
      if (name && *name) activate_entry(index, container);
      break;
    }
  }
  if (!window_closing()) redraw_grid(1, container.c_str());
}

// Takes every further queued event of type into state.event, so only the last one counts.
void collapse(int type) {
  while (XCheckTypedEvent(state.display, type, &state.event)) {
  }
}

// The info line on or off: the cells are laid out for the rows it leaves, on a cleared window.
int toggle_info_line() {
  state.info_line = !state.info_line;
  layout_grid();
  XGCValues values{};
  values.foreground = x_MakeColor(0);
  GC gc = XCreateGC(state.display, state.window, GCForeground, &values);
  XFillRectangle(state.display, state.window, gc, 0, 0, static_cast<unsigned>(state.config.width),
                 static_cast<unsigned>(state.config.height));
  XFreeGC(state.display, gc);
  return 1;
}

}  // namespace

int step_to_mark(bool forward) {
  const FileNode* node = file_node_at(state.top, state.selected);
  for (node = node ? (forward ? node->nextfile : node->prevfile) : nullptr; node;
       node = forward ? node->nextfile : node->prevfile) {
    if (is_marked(node)) {
      select_node(node);
      return 1;
    }
  }
  return 0;
}

// A file it changed gets a new thumbnail as every cell is drawn anew: the cache knows files by
// size and time.
void reread_list(std::string& container) {
  if (!container.empty()) {
    struct stat info {};
    if (stat(container.c_str(), &info) != 0) leave_container(container);
    return;
  }
  const FileNode* selected = file_node_at(state.top, state.selected);
  const std::string name = selected ? selected->name : "";
  const std::uint32_t top_position = state.top ? list_position(state.top) : 0;
  FileNode* target = reread_files(name, top_position + state.selected);
  // The page stays where it was when the entry is still on it.
  if (FileNode* top = file_node_at(state.top, top_position)) state.top = top;
  state.selected = 0;
  if (target) select_node(target);
}

// The view and the help screen hand a DestroyNotify or the manager's close back in
// state.event; nothing is drawn into the window after that.
bool window_closing() {
  return (state.event.type == DestroyNotify && state.event.xdestroywindow.window == state.window) ||
         x_IsCloseRequest(state.event);
}

int handle_key(KeySym keysym, std::string& container) {
  switch (keysym) {
    // "+" is Shift+"=" on many keyboards, and Shift+"-" gives "_": both keys count with or
    // without Shift.
    case XK_plus:
    case XK_equal:
    case XK_KP_Add:
      return key_larger();
    case XK_minus:
    case XK_underscore:
    case XK_KP_Subtract:
      return key_smaller();
    case XK_h:
      show_help();
      return 1;
    case XK_q:
    case XK_Escape:
      state.quit = 1;
      return 0;
    case XK_r:
      if (!state.named_list) scan_dir();
      return 1;
    case XK_f:
      // The grid is laid out anew on the ConfigureNotify that follows.
      x_ToggleFullscreen();
      return 0;
    case XK_i:
      return toggle_info_line();
    case XK_s: {
      // A slideshow starts from an image, never from a directory; a file of several images
      // only lists them, and the show that did not start ends.
      if (is_dir_or_end(state.top, state.selected)) return 0;
      start_slideshow();
      const int result = activate_entry(state.selected, container);
      leave_view();
      return result;
    }
    case XK_BackSpace:
      state.interrupted = 1;
      go_to_parent(container);
      return state.interrupted;
    case XK_Return:
    case XK_KP_Enter:
      return activate_entry(state.selected, container);
    case XK_Home:
    case XK_KP_Home:
      return move(move_home);
    // The keypad's keys give digits with NumLock and cursor keys without.
    case XK_Left:
    case XK_KP_Left:
    case XK_KP_4:
      return move(move_left);
    case XK_Right:
    case XK_KP_Right:
    case XK_KP_6:
      return move(move_right);
    case XK_Up:
    case XK_KP_Up:
    case XK_KP_8:
      return move(move_up);
    case XK_Down:
    case XK_KP_Down:
    case XK_KP_2:
      return move(move_down);
    case XK_Prior:
    case XK_KP_Prior:
      return move(page_up);
    case XK_Next:
    case XK_KP_Next:
      return move(page_down);
    case XK_End:
    case XK_KP_End:
      return move(move_end);
    default:
      return state.interrupted;
  }
}

void browse(std::string& container) {
  state.quit = 0;
  layout_grid();  // the first Expose brings the first full redraw
  while (!state.quit) {
    // Thumbnails finished while the browser waits go to the cache.
    if (!state.event_pending && !x_NextEventOr(state.pool->wake_fd())) {
      state.pool->dispatch();
      continue;
    }
    state.event_pending = 0;
    switch (state.event.type) {
      case KeyPress: {
        XKeyEvent& key = state.event.xkey;
        if (take_handler_key(key, selected_file(container))) break;
        const KeySym keysym = x_TypedKey(key);
        // Shift and the other modifiers only change the next key; alone they do nothing.
        if (IsModifierKey(keysym)) break;
        int result = mark_key(keysym, (key.state & ShiftMask) != 0);
        if (result < 0) result = handle_key(keysym, container);
        if (!window_closing()) redraw_grid(result, container.c_str());
        break;
      }
      case ButtonPress:
        handle_button(container);
        break;
      case Expose:
        collapse(Expose);
        if (state.event.xexpose.count == 0) redraw_grid(1, container.c_str());
        break;
      case DestroyNotify:
        state.quit = 1;
        break;
      case ClientMessage:
        if (handler_ended(state.event)) {
          reread_list(container);
          redraw_grid(1, container.c_str());
        } else if (x_IsCloseRequest(state.event)) {
          state.quit = 1;
        }
        break;
      case ConfigureNotify: {
        collapse(ConfigureNotify);
        // A move alone changes nothing drawn.
        if (x_TakeGeometry(state.event.xconfigure)) {
          layout_grid();
          redraw_grid(1, container.c_str());
        }
        break;
      }
      default:
        break;
    }
  }
}
