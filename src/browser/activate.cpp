// Activating an entry: entering a directory, or viewing an image and stepping to its
// neighbours with Up and Down.
#include <unistd.h>

#include <cstring>

#include "browser/browser.h"
#include "filelist/filelist.h"
#include "formats/formats.h"
#include "main/state.h"
#include "viewer/viewer.h"

namespace {

void copy_bounded(char* to, const char* from, std::size_t capacity) {
  std::strncpy(to, from, capacity - 1);
  to[capacity - 1] = '\0';
}

void enter_directory(const char* name) {
  char directory[path_capacity];
  copy_bounded(directory, name + 1, sizeof directory);  // without the leading '/'
  state.selected = 0;
  // A directory that cannot be entered is not reported; the rescan shows the current one again.
  [[maybe_unused]] const int failed = chdir(directory);
  scan_dir();
}

// Up in the view: the previous entry, unless that is a directory.
void step_back() {
  if (state.selected > 0) {
    --state.selected;
  } else if (state.top->prevfile) {
    state.top = state.top->prevfile;
  }
  if (is_dir_or_end(state.top, state.selected)) ++state.selected;
}

// Down in the view: the next entry, scrolling the page by one at its last cell. A directory
// is never handed to the view (its name would be read as a path from the filesystem root), so
// a directory next leaves everything where it is, as Up does.
void step_forward() {
  const std::uint32_t next = state.selected + 1;
  if (!file_name_at(state.top, next) || is_dir_or_end(state.top, next)) return;
  if (next < grid[state.thumbsize].cells) {
    state.selected = next;
  } else {
    state.top = state.top->nextfile;
  }
}

}  // namespace

int activate_entry(std::uint32_t index, char* container, std::size_t size) {
  (void)container;
  (void)size;
  const char* name = file_name_at(state.top, index);
  if (!name) return 1;
  if (name[0] == '/') {
    enter_directory(name);
    return 1;
  }
  const int format = get_type(name);
  if (format < 0) return 1;

  char selector[path_capacity];
  copy_bounded(selector, name, sizeof selector);
  if (formats[format].has_pages(name, selector)) return 1;

  state.selected = index;
  while (true) {
    switch (view_image(file_name_at(state.top, state.selected), nullptr)) {
      case view_previous:
        step_back();
        break;
      case view_next:
        step_forward();
        break;
      default:
        return 1;
    }
  }
}
