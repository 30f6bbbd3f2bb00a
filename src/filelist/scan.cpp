// The directory scan: the current directory's subdirectories and supported image files into the
// file list.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <vector>

#include "filelist/filelist.h"
#include "formats/formats.h"

namespace {

constexpr char parent_name[] = "/..";
constexpr char dir_prefix[] = "/";

[[noreturn]] void out_of_memory() {
  std::fputs("Out of memory.\n", stderr);
  std::exit(1);
}

bool is_plain_non_directory(unsigned char type) {
  return type == DT_REG || type == DT_FIFO || type == DT_SOCK || type == DT_CHR || type == DT_BLK;
}

// Reads every entry of dir into entries: regular files with a supported extension under their
// plain name, directories (except "." and "..", which the scan adds itself) with "/" in front.
// Links count as what they point to; entries that cannot be examined are left out.
void collect(DIR* dir, std::vector<ListEntry>& entries) {
  while (const dirent* entry = readdir(dir)) {
    // An entry that is itself a file, pipe, socket or device (not a link, not a directory)
    // without a supported name is left out whatever stat would say: skip the call. In a
    // directory of 100,000 photos with their side files this saves a good share of the scan.
    if (!is_supported(entry->d_name) && is_plain_non_directory(entry->d_type)) continue;
    struct stat info;
    if (stat(entry->d_name, &info) != 0) continue;
    const mode_t type = info.st_mode & S_IFMT;
    if (type == S_IFREG && is_supported(entry->d_name)) {
      entries.push_back(list_entry(entry->d_name, false, info));
    } else if (type == S_IFDIR && std::strcmp(entry->d_name, ".") != 0 &&
               std::strcmp(entry->d_name, "..") != 0) {
      // The "/" of a directory is part of its name.
      entries.push_back(list_entry(std::string(dir_prefix).append(entry->d_name), true, info));
    }
  }
}

}  // namespace

void scan_dir() {
  clear_files(state.top);
  state.container.clear();
  state.selected = 0;
  try {
    // The way out is always listed first: also from a directory that may be entered but not
    // read, and from one deleted meanwhile, which reads as empty.
    std::vector<ListEntry> entries{ListEntry{parent_name, true}};
    // "." rather than the directory's path, which may be longer than any path the kernel
    // takes.
    if (DIR* dir = opendir(".")) {
      collect(dir, entries);
      closedir(dir);
    }
    // Sorting all entries at once and linking the nodes in one pass gives the list that
    // inserting them one by one would, without a walk along the list per entry.
    sort_entries(std::span(entries).subspan(1), state.sort);
    link_entries(state.top, entries);
  } catch (const std::bad_alloc&) {
    out_of_memory();
  }
  first_file(state.top);
}

FileNode* reread_files(const std::string& name, std::uint32_t position) {
  if (state.named_list) {
    first_file(state.top);
    for (FileNode* node = state.top; node != nullptr;) {
      FileNode* next = node->nextfile;
      struct stat info {};
      if (!node->directory && stat(node->name.c_str(), &info) != 0) remove_file(state.top, node);
      node = next;
    }
    first_file(state.top);
  } else {
    scan_dir();
  }
  FileNode* target = state.top;
  while (target != nullptr && target->name != name)
    target = target->nextfile;
  if (target == nullptr) target = file_node_at(state.top, position);
  if (target == nullptr) {
    target = state.top;
    last_file(target);
  }
  return target;
}
