// Activating an entry: entering a directory, or viewing an image and stepping to its
// neighbours with Up and Down.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "browser/browser.h"
#include "filelist/filelist.h"
#include "formats/formats.h"
#include "main/state.h"
#include "viewer/viewer.h"

namespace {

constexpr char parent_entry[] = "/..";

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

// The first image of the list, shown as the page that starts the list: a slideshow past the
// last image goes on from there.
void step_to_first() {
  first_file(state.top);
  state.selected = 0;
  const FileNode* first = image_place(state.top).first;
  for (const FileNode* node = state.top; node && node != first; node = node->nextfile) {
    if (state.selected + 1 < grid[state.thumbsize].cells) {
      ++state.selected;
    } else {
      state.top = state.top->nextfile;
    }
  }
}

// How the view takes a list entry: a file of the directory, or a sub-image of the container.
ViewEntry view_entry(const FileNode* node, const char* container) {
  if (node == nullptr || node->directory) return {};
  if (container) return {container, node->name};
  return {node->name, ""};
}

// Views the entry at index and steps to its neighbours on the view's stepping keys, which are
// decoded ahead while the entry is shown. With a container the entries are sub-images of that
// file, passed to the view as its selector.
void view_neighbours(std::uint32_t index, const char* container) {
  state.selected = index;
  const Config before = state.config;
  const bool info_line = state.info_line;
  for (bool viewing = true; viewing;) {
    const FileNode* node = file_node_at(state.top, state.selected);
    if (node == nullptr) break;
    const ImagePlace place = image_place(node);
    const int result =
        view_image(view_entry(node, container), view_entry(node->prevfile, container),
                   view_entry(node->nextfile, container),
                   {place.position, place.count, view_entry(place.first, container),
                    view_entry(place.after_next, container)});
    switch (result) {
      case view_previous:
        step_back();
        break;
      case view_next:
        step_forward();
        break;
      case view_first:
        step_to_first();
        break;
      case view_next_mark:
      case view_previous_mark:
        step_to_mark(result == view_next_mark);
        break;
      case view_reread:
        // The sub-images of a file are read again by the grid, whose thumbnails know changes.
        if (container) {
          viewing = false;
        } else {
          reread_list(state.container);
          const FileNode* now = file_node_at(state.top, state.selected);
          viewing = now && !now->directory;
        }
        break;
      default:
        viewing = false;
        break;
    }
  }
  leave_view();
  // The view may have been resized, or its info line turned on or off; the grid is laid out
  // anew for the rows it left.
  if (state.config.width != before.width || state.config.height != before.height ||
      state.info_line != info_line) {
    layout_grid();
  }
}

// Shows the sub-images of file as the list, "/.." first to lead back out.
void list_sub_images(const std::string& file, const std::vector<std::string>& pages,
                     std::string& container) {
  std::vector<const char*> entries{parent_entry};
  for (const std::string& page : pages)
    entries.push_back(page.c_str());
  clear_files(state.top);
  insert_files(state.top, entries.data(), entries.size());
  container = file;
  first_file(state.top);
  state.selected = 0;
}

}  // namespace

void leave_container(std::string& container) {
  const std::string file = container;
  container.clear();
  scan_dir();  // the directory holding the file; no chdir, the file lives here

  std::uint32_t position = 0;
  const FileNode* node = state.top;
  while (node && node->name != file) {
    node = node->nextfile;
    ++position;
  }
  if (node) select_position(position);  // gone meanwhile: stay at the start
}

void select_position(std::uint32_t position) {
  // On a page that keeps the rows where they would be from the start.
  first_file(state.top);
  state.selected = 0;
  const GridLevel& g = grid[state.thumbsize];
  while (position >= g.cells) {
    for (std::uint32_t i = 0; i < g.cols; ++i)
      state.top = state.top->nextfile;
    position -= g.cols;
  }
  state.selected = position;
}

int activate_entry(std::uint32_t index, std::string& container) {
  const FileNode* node = file_node_at(state.top, index);
  if (!node) return 1;
  const char* name = node->name.c_str();
  if (!container.empty()) {
    // The list shows the sub-images of one file: "/.." leads back to its directory, every
    // other entry is a sub-image number of that file.
    if (node->directory) {
      leave_container(container);
    } else {
      view_neighbours(index, container.c_str());
    }
    return 1;
  }
  if (node->directory) {
    enter_directory(name);
    return 1;
  }
  if (get_type(name) < 0) return 1;
  // A list of named files has nowhere to keep itself while the sub-images of one are listed:
  // its images are viewed, the first of a multi-image file as on the command line.
  if (state.named_list) {
    view_neighbours(index, nullptr);
    return 1;
  }
  // A file with several sub-images (the directories of a multi-image TIFF, whatever its name)
  // is shown as a list of them rather than as one image. The name is copied: the listing frees
  // its node.
  const std::string file = name;
  const std::vector<std::string> pages = list_image_pages(file.c_str());
  if (pages.size() > 1) {
    list_sub_images(file, pages, container);
  } else {
    view_neighbours(index, nullptr);
  }
  return 1;
}
