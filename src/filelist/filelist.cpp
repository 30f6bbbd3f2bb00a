// The file list: a doubly linked list of entries, "/.." first, held through one handle that may
// stand on any node. Thumbnails are kept apart, in the browser's cache.
#include "filelist/filelist.h"

#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <algorithm>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr char parent_name[] = "/..";

// Running out of memory while the list is built leaves nothing sensible to show: stop.
[[noreturn]] void out_of_memory() {
  std::fputs("Out of memory.\n", stderr);
  std::exit(1);
}

FileNode* new_node(std::string&& name, bool directory) {
  auto* node = new (std::nothrow) FileNode;
  if (node == nullptr) out_of_memory();
  node->name = std::move(name);
  node->directory = directory;
  return node;
}

// A node of a directory listing, where the name tells a directory.
FileNode* new_node(const char* name) {
  try {
    return new_node(std::string(name), name[0] == '/');
  } catch (const std::bad_alloc&) {
    out_of_memory();
  }
}

bool is_parent(const char* name) {
  return std::strcmp(name, parent_name) == 0;
}

FileNode* first_of(FileNode* node) {
  while (node != nullptr && node->prevfile != nullptr)
    node = node->prevfile;
  return node;
}

// Links a new node in front of the first node and moves the handle to it.
void push_front(FileNode*& handle, const char* name) {
  FileNode* node = new_node(name);
  node->nextfile = handle;
  if (handle != nullptr) handle->prevfile = node;
  handle = node;
}

// The order insert_file gives, for sub-image numbers and tests: "/.." before everything, the
// rest by strcmp. Used with a stable
// sort, equal names keep the order they came in.
bool name_sorts_before(const char* a, const char* b) {
  const bool a_parent = is_parent(a);
  if (a_parent || is_parent(b)) return a_parent && !is_parent(b);
  return std::strcmp(a, b) < 0;
}

}  // namespace

void add_file(FileNode*& behindfile, const char* name) {
  FileNode* node = new_node(name);
  if (behindfile == nullptr) {
    behindfile = node;
    return;
  }
  node->prevfile = behindfile;
  node->nextfile = behindfile->nextfile;
  if (node->nextfile != nullptr) node->nextfile->prevfile = node;
  behindfile->nextfile = node;
}

void insert_file(FileNode*& handle, const char* name) {
  // Callers keep the handle on the first node; going back first costs nothing then and keeps
  // a stray handle from splitting the list.
  handle = first_of(handle);
  if (handle == nullptr || is_parent(name)) {
    push_front(handle, name);
    return;
  }
  FileNode* last = handle;
  for (FileNode* node = handle; node != nullptr; node = node->nextfile) {
    last = node;
    if (is_parent(node->name.c_str())) continue;
    const int order = std::strcmp(name, node->name.c_str());
    if (order > 0) continue;
    if (order == 0) {
      add_file(node, name);
    } else if (node == handle) {
      push_front(handle, name);
    } else {
      FileNode* behindfile = node->prevfile;
      assert(behindfile != nullptr);
      add_file(behindfile, name);
    }
    return;
  }
  add_file(last, name);
}

void insert_files(FileNode*& handle, const char** names, std::size_t count) {
  assert(handle == nullptr);
  std::stable_sort(names, names + count, name_sorts_before);
  FileNode* last = nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    FileNode* node = new_node(names[i]);
    node->prevfile = last;
    if (last != nullptr) {
      last->nextfile = node;
    } else {
      handle = node;
    }
    last = node;
  }
}

FileNode* append_entry(FileNode* last, ListEntry&& entry) {
  FileNode* node = new_node(std::move(entry.name), entry.directory);
  node->prevfile = last;
  if (last != nullptr) last->nextfile = node;
  return node;
}

void link_entries(FileNode*& handle, std::vector<ListEntry>& entries) {
  assert(handle == nullptr);
  FileNode* last = nullptr;
  for (ListEntry& entry : entries) {
    last = append_entry(last, std::move(entry));
    if (handle == nullptr) handle = last;
  }
}

void first_file(FileNode*& handle) {
  handle = first_of(handle);
}

void last_file(FileNode*& handle) {
  while (handle != nullptr && handle->nextfile != nullptr)
    handle = handle->nextfile;
}

void clear_files(FileNode*& handle) {
  FileNode* node = first_of(handle);
  while (node != nullptr) {
    FileNode* next = node->nextfile;
    delete node;
    node = next;
  }
  handle = nullptr;
}

void remove_file(FileNode*& handle, FileNode* node) {
  if (node->prevfile != nullptr) node->prevfile->nextfile = node->nextfile;
  if (node->nextfile != nullptr) node->nextfile->prevfile = node->prevfile;
  if (handle == node) handle = node->nextfile != nullptr ? node->nextfile : node->prevfile;
  delete node;
}

FileNode* file_node_at(FileNode* node, std::uint32_t index) {
  for (std::uint32_t i = 0; i < index && node != nullptr; ++i)
    node = node->nextfile;
  return node;
}

std::uint32_t list_position(const FileNode* node) {
  std::uint32_t position = 0;
  for (const FileNode* at = node->prevfile; at != nullptr; at = at->prevfile)
    ++position;
  return position;
}

int is_dir_or_end(FileNode* node, std::uint32_t index) {
  node = file_node_at(node, index);
  return node == nullptr || node->directory ? 1 : 0;
}

const char* file_name_at(FileNode* node, std::uint32_t index) {
  node = file_node_at(node, index);
  return node != nullptr ? node->name.c_str() : nullptr;
}

ImagePlace image_place(const FileNode* node) {
  ImagePlace place;
  if (node == nullptr) return place;
  const FileNode* head = node;
  while (head->prevfile != nullptr)
    head = head->prevfile;
  for (const FileNode* n = head; n != nullptr; n = n->nextfile) {
    if (n->directory) continue;
    ++place.count;
    if (place.first == nullptr) place.first = n;
    if (n == node) place.position = place.count;
  }
  if (place.position == 0) return place;
  auto step = [&](const FileNode* n) {
    for (n = n->nextfile; n != nullptr; n = n->nextfile)
      if (!n->directory) return n;
    return place.first;
  };
  place.after_next = step(step(node));
  return place;
}
