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

// Straight to the descriptor: the list may be built on a thread of its own, and stderr passes
// on only what the main thread writes.
void report(const std::string& name, int error) {
  const std::string message = "pictra: " + name + ": " + std::strerror(error) + "\n";
  for (std::size_t done = 0; done < message.size();) {
    const ssize_t written = write(STDERR_FILENO, message.data() + done, message.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    done += static_cast<std::size_t>(written);
  }
}

// Whether the entry of type can be an image or a directory to walk without a stat telling;
// types a link or an old filesystem leaves unknown need one.
bool known(unsigned char type) {
  return type == DT_REG || type == DT_DIR || type == DT_FIFO || type == DT_SOCK || type == DT_CHR ||
         type == DT_BLK;
}

// prefix and name in one allocation.
std::string joined(const std::string& prefix, const char* name) {
  const std::size_t length = std::strlen(name);
  std::string path;
  path.reserve(prefix.size() + length);
  path.append(prefix).append(name, length);
  return path;
}

class Walk {
 public:
  explicit Walk(const NamedList& request) : request_(request) {}

  // The list so far; the nodes are linked as they are found, which costs no more than
  // collecting them first.
  FileNode* first = nullptr;

  void append(ListEntry&& entry) {
    last_ = append_entry(last_, std::move(entry));
    if (first == nullptr) first = last_;
    if (++count_ == request_.early_count) hand_over();
  }

  // Calls the early handler once, with what there is.
  void hand_over() {
    if (handed_over_ || !request_.early) return;
    handed_over_ = true;
    std::vector<std::string> names;
    for (const FileNode* node = first; node; node = node->nextfile)
      names.push_back(node->name);
    request_.early(names);
  }

  bool stopped() const { return request_.stop.stop_requested(); }

  // Adds the images of the directory at path, then walks its subdirectories when recursive.
  void directory(const std::string& path) {
    if (stopped()) return;
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
    sort_entries(files, request_.order);
    sort_entries(subdirectories, request_.order);
    for (ListEntry& file : files)
      append(std::move(file));
    for (const ListEntry& subdirectory : subdirectories)
      directory(subdirectory.name);
  }

 private:
  // Sorting by name needs nothing but the entry's type; the other keys need its stat.
  bool needs_stat(unsigned char type) const {
    return !known(type) || request_.order.key == SortKey::time ||
           request_.order.key == SortKey::size;
  }

  void add(int dir, const std::string& prefix, const dirent& entry, std::vector<ListEntry>& files,
           std::vector<ListEntry>& subdirectories) {
    // Also "." and "..".
    if (entry.d_name[0] == '.') return;
    const unsigned char type = entry.d_type;
    const bool image_name = is_supported(entry.d_name);
    if (known(type) && type != DT_DIR && !image_name) return;
    if (type == DT_DIR && !request_.recursive) return;
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
      if (request_.recursive)
        subdirectories.push_back(list_entry(joined(prefix, entry.d_name), true, info));
    } else if (image_name) {
      files.push_back(list_entry(joined(prefix, entry.d_name), false, info));
    }
  }

  const NamedList& request_;
  FileNode* last_ = nullptr;
  std::size_t count_ = 0;
  bool handed_over_ = false;
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

FileNode* list_named(std::vector<std::string> names, const NamedList& request) {
  const SortOrder& order = request.order;
  if (!order.chosen && order.reverse) std::reverse(names.begin(), names.end());
  try {
    Walk walk(request);
    // In the order given each name is taken in turn, so the first images are known early;
    // sorting needs every name looked at first.
    std::vector<ListEntry> named;
    for (std::string& name : names) {
      if (walk.stopped()) break;
      struct stat info {};
      if (!usable_name(name, info)) continue;
      ListEntry entry = list_entry(std::move(name), S_ISDIR(info.st_mode), info);
      if (order.chosen) {
        named.push_back(std::move(entry));
      } else if (entry.directory) {
        walk.directory(entry.name);
      } else {
        walk.append(std::move(entry));
      }
    }
    sort_entries(named, order);
    for (ListEntry& entry : named) {
      if (entry.directory) {
        walk.directory(entry.name);
      } else {
        walk.append(std::move(entry));
      }
    }
    walk.hand_over();
    return walk.first;
  } catch (const std::bad_alloc&) {
    out_of_memory();
  }
}
