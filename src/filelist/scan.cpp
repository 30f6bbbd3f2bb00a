// The directory scan: the current directory's subdirectories and supported image files into the
// file list.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "filelist/filelist.h"
#include "formats/formats.h"

namespace {

constexpr char parent_name[] = "/..";
constexpr char dir_prefix[] = "/";
constexpr std::size_t initial_capacity = 256;

// The names found so far, packed one after another, so that sorting them touches little memory
// even in a directory of 100,000 entries. Offsets rather than pointers, since the text moves as
// it grows.
struct Names {
  char* text = nullptr;
  std::size_t used = 0;
  std::size_t text_capacity = 0;
  std::size_t* starts = nullptr;
  std::size_t count = 0;
  std::size_t starts_capacity = 0;
};

[[noreturn]] void out_of_memory() {
  std::fputs("Out of memory.\n", stderr);
  std::exit(1);
}

// Makes room for need units of size unit in block, doubling its capacity as often as it takes.
void* reserve(void* block, std::size_t& capacity, std::size_t need, std::size_t unit) {
  if (need <= capacity) return block;
  std::size_t grown = capacity != 0 ? capacity : initial_capacity;
  while (grown < need)
    grown *= 2;
  void* moved = std::realloc(block, grown * unit);
  if (moved == nullptr) out_of_memory();
  capacity = grown;
  return moved;
}

void add_name(Names& names, const char* prefix, const char* name) {
  const std::size_t prefix_length = std::strlen(prefix);
  const std::size_t length = std::strlen(name);
  names.text = static_cast<char*>(
      reserve(names.text, names.text_capacity, names.used + prefix_length + length + 1, 1));
  names.starts = static_cast<std::size_t*>(
      reserve(names.starts, names.starts_capacity, names.count + 1, sizeof(std::size_t)));
  names.starts[names.count++] = names.used;
  // The "/" of a directory is part of its name.
  std::memcpy(names.text + names.used, prefix, prefix_length);
  std::memcpy(names.text + names.used + prefix_length, name, length + 1);
  names.used += prefix_length + length + 1;
}

bool is_plain_non_directory(unsigned char type) {
  return type == DT_REG || type == DT_FIFO || type == DT_SOCK || type == DT_CHR || type == DT_BLK;
}

// Reads every entry of dir into names: regular files with a supported extension under their
// plain name, directories (except "." and "..", which the scan adds itself) with "/" in front.
// Links count as what they point to; entries that cannot be examined are left out.
void collect(DIR* dir, Names& names) {
  while (const dirent* entry = readdir(dir)) {
    // An entry that is itself a file, pipe, socket or device (not a link, not a directory)
    // without a supported name is left out whatever stat would say: skip the call. In a
    // directory of 100,000 photos with their side files this saves a good share of the scan.
    if (!is_supported(entry->d_name) && is_plain_non_directory(entry->d_type)) continue;
    struct stat info;
    if (stat(entry->d_name, &info) != 0) continue;
    const mode_t type = info.st_mode & S_IFMT;
    if (type == S_IFREG && is_supported(entry->d_name)) {
      add_name(names, "", entry->d_name);
    } else if (type == S_IFDIR && std::strcmp(entry->d_name, ".") != 0 &&
               std::strcmp(entry->d_name, "..") != 0) {
      add_name(names, dir_prefix, entry->d_name);
    }
  }
}

}  // namespace

void scan_dir() {
  clear_files(state.top);
  state.container.clear();
  state.selected = 0;
  // The way out is always listed: also from a directory that may be entered but not read, and
  // from one deleted meanwhile, which reads as empty.
  Names names;
  add_name(names, "", parent_name);
  // "." rather than the directory's path, which may be longer than any path the kernel takes.
  if (DIR* dir = opendir(".")) {
    collect(dir, names);
    closedir(dir);
  }
  // Sorting all names at once and linking the nodes in one pass gives the list that inserting
  // them one by one would, without a walk along the list per entry.
  auto** sorted = static_cast<const char**>(std::malloc((names.count + 1) * sizeof(char*)));
  if (sorted == nullptr) out_of_memory();
  for (std::size_t i = 0; i < names.count; ++i)
    sorted[i] = names.text + names.starts[i];
  insert_files(state.top, sorted, names.count);
  std::free(sorted);
  std::free(names.starts);
  std::free(names.text);
  first_file(state.top);
}
