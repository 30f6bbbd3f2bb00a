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

// Views the entry at index and steps to its neighbours on Up and Down. With a container the
// entries are sub-images of that file, passed to the view as its selector.
void view_neighbours(std::uint32_t index, const char* container) {
  state.selected = index;
  while (true) {
    const char* entry = file_name_at(state.top, state.selected);
    const int result = container ? view_image(container, entry) : view_image(entry, nullptr);
    switch (result) {
      case view_previous:
        step_back();
        break;
      case view_next:
        step_forward();
        break;
      default:
        return;
    }
  }
}

void list_sub_images(const char* name, int format, char* container, std::size_t size) {
  char file[path_capacity];
  copy_bounded(file, name, sizeof file);  // the node holding name is freed by the listing
  if (formats[format].list_pages(file, state.subpath) < 0) return;
  copy_bounded(container, file, size);
  first_file(state.top);
  state.selected = 0;
}

}  // namespace

void leave_container(char* container) {
  char file[path_capacity];
  copy_bounded(file, container, sizeof file);
  container[0] = '\0';
  scan_dir();  // the directory holding the file; no chdir, the file lives here

  // Select the file again, on a page that keeps the rows where they would be from the start.
  std::uint32_t position = 0;
  const FileNode* node = state.top;
  while (node && std::strcmp(node->name, file) != 0) {
    node = node->nextfile;
    ++position;
  }
  if (!node) return;  // gone meanwhile: stay at the start
  const GridLevel& g = grid[state.thumbsize];
  while (position >= g.cells) {
    for (std::uint32_t i = 0; i < g.cols; ++i)
      state.top = state.top->nextfile;
    position -= g.cols;
  }
  state.selected = position;
}

int activate_entry(std::uint32_t index, char* container, std::size_t size) {
  const char* name = file_name_at(state.top, index);
  if (!name) return 1;
  if (*container) {
    // The list shows the sub-images of one file: "/.." leads back to its directory, every
    // other entry is a sub-image number of that file.
    if (name[0] == '/') {
      leave_container(container);
    } else {
      view_neighbours(index, container);
    }
    return 1;
  }
  if (name[0] == '/') {
    enter_directory(name);
    return 1;
  }
  const int format = get_type(name);
  if (format < 0) return 1;
  // An empty selector asks whether the file has sub-images to list (the directories of a
  // multi-image TIFF); such a file is shown as a list of them rather than as one image.
  if (formats[format].has_pages(name, "")) {
    list_sub_images(name, format, container, size);
  } else {
    view_neighbours(index, nullptr);
  }
  return 1;
}
