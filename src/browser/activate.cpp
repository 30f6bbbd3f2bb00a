// Activating an entry: entering a directory, or viewing an image and stepping to its
// neighbours with Up and Down.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "browser/browser.h"
#include "filelist/filelist.h"
#include "formats/formats.h"
#include "main/state.h"
#include "viewer/viewer.h"

namespace {

// A directory that cannot be entered (gone meanwhile, or not searchable) is named on standard
// error with the reason, where the user who started the program from a terminal looks for it;
// the rescan then lists the current directory as it is now, under its own title.
void enter_directory(const char* name) {
  const std::string directory = name + 1;  // without the leading '/'; the node goes in the scan
  state.selected = 0;
  if (chdir(directory.c_str()) != 0) {
    std::fprintf(stderr, "Cannot enter directory %s: %s\n", directory.c_str(),
                 std::strerror(errno));
  }
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

void list_sub_images(const char* name, int format, std::string& container) {
  const std::string file = name;  // the node holding name is freed by the listing
  if (formats[format].list_pages(file.c_str(), state.subpath) < 0) return;
  container = file;
  first_file(state.top);
  state.selected = 0;
}

}  // namespace

void leave_container(std::string& container) {
  const std::string file = container;
  container.clear();
  scan_dir();  // the directory holding the file; no chdir, the file lives here

  // Select the file again, on a page that keeps the rows where they would be from the start.
  std::uint32_t position = 0;
  const FileNode* node = state.top;
  while (node && node->name != file) {
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

int activate_entry(std::uint32_t index, std::string& container) {
  const char* name = file_name_at(state.top, index);
  if (!name) return 1;
  if (!container.empty()) {
    // The list shows the sub-images of one file: "/.." leads back to its directory, every
    // other entry is a sub-image number of that file.
    if (name[0] == '/') {
      leave_container(container);
    } else {
      view_neighbours(index, container.c_str());
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
    list_sub_images(name, format, container);
  } else {
    view_neighbours(index, nullptr);
  }
  return 1;
}
