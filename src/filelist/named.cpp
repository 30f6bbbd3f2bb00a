// The list of files named on the command line or standard input: each file by the path given,
// each directory by its images, walked into its subdirectories on request.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <set>
#include <utility>

#include "filelist/filelist.h"
#include "formats/formats.h"

namespace {

[[noreturn]] void out_of_memory() {
  std::fputs("Out of memory.\n", stderr);
  std::exit(1);
}

void report(const std::string& name, int error) {
  std::fprintf(stderr, "pictra: %s: %s\n", name.c_str(), std::strerror(error));
}

// Whether the entry of type can be an image or a directory to walk without a stat telling;
// types a link or an old filesystem leaves unknown need one.
bool known(unsigned char type) {
  return type == DT_REG || type == DT_DIR || type == DT_FIFO || type == DT_SOCK || type == DT_CHR ||
         type == DT_BLK;
}

class Walk {
 public:
  Walk(bool recursive, const SortOrder& order) : recursive_(recursive), order_(order) {}

  std::vector<ListEntry> entries;

  // Adds the images of the directory at path, then walks its subdirectories when recursive.
  void directory(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
      report(path, errno);
      return;
    }
    struct stat info {};
    // A directory met again, through a link to itself or to one above it, is not walked again:
    // the walk would never end.
    if (fstat(fd, &info) != 0 || !seen_.insert({info.st_dev, info.st_ino}).second) {
      close(fd);
      return;
    }
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
      report(path, errno);
      close(fd);
      return;
    }
    const std::string prefix = path.ends_with('/') ? path : path + "/";
    std::vector<ListEntry> files, subdirectories;
    while (const dirent* entry = readdir(dir))
      add(dirfd(dir), prefix, *entry, files, subdirectories);
    closedir(dir);
    sort_entries(files, order_);
    sort_entries(subdirectories, order_);
    for (ListEntry& file : files)
      entries.push_back(std::move(file));
    for (const ListEntry& subdirectory : subdirectories)
      directory(subdirectory.name);
  }

 private:
  // Sorting by name needs nothing but the entry's type; the other keys need its stat.
  bool needs_stat(unsigned char type) const {
    return !known(type) || order_.key == SortKey::time || order_.key == SortKey::size;
  }

  void add(int dir, const std::string& prefix, const dirent& entry, std::vector<ListEntry>& files,
           std::vector<ListEntry>& subdirectories) {
    // Also "." and "..".
    if (entry.d_name[0] == '.') return;
    const unsigned char type = entry.d_type;
    const bool image_name = is_supported(entry.d_name);
    if (known(type) && type != DT_DIR && !image_name) return;
    if (type == DT_DIR && !recursive_) return;
    struct stat info {};
    bool is_directory = type == DT_DIR;
    if (needs_stat(type)) {
      // A link that leads nowhere, or round in a loop, is left out.
      if (fstatat(dir, entry.d_name, &info, 0) != 0) return;
      if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) return;
      is_directory = S_ISDIR(info.st_mode);
    } else if (type != DT_REG && type != DT_DIR) {
      return;
    }
    if (is_directory) {
      if (recursive_) subdirectories.push_back(list_entry(prefix + entry.d_name, true, info));
    } else if (image_name) {
      files.push_back(list_entry(prefix + entry.d_name, false, info));
    }
  }

  bool recursive_;
  const SortOrder& order_;
  std::set<std::pair<dev_t, ino_t>> seen_;
};

}  // namespace

bool usable_name(const std::string& name, struct stat& info) {
  if (stat(name.c_str(), &info) != 0) {
    report(name, errno);
    return false;
  }
  // A directory is read when it is walked, and reported then if it cannot be.
  if (!S_ISDIR(info.st_mode) && access(name.c_str(), R_OK) != 0) {
    report(name, errno);
    return false;
  }
  return true;
}

void list_named(std::vector<std::string> names, bool recursive) {
  clear_files(state.top);
  state.container.clear();
  state.selected = 0;
  const SortOrder& order = state.sort;
  if (!order.chosen && order.reverse) std::reverse(names.begin(), names.end());
  try {
    std::vector<ListEntry> named;
    named.reserve(names.size());
    for (std::string& name : names) {
      struct stat info {};
      if (usable_name(name, info))
        named.push_back(list_entry(std::move(name), S_ISDIR(info.st_mode), info));
    }
    if (order.chosen) sort_entries(named, order);
    Walk walk(recursive, order);
    walk.entries.reserve(named.size());
    for (ListEntry& entry : named) {
      if (entry.directory) {
        walk.directory(entry.name);
      } else {
        walk.entries.push_back(std::move(entry));
      }
    }
    link_entries(state.top, walk.entries);
  } catch (const std::bad_alloc&) {
    out_of_memory();
  }
}
