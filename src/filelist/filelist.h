// The sorted, doubly linked list of browser entries and the directory scan that fills it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "main/state.h"

// One entry. A name starting with '/' is a directory ("/.." the parent); sub-images of a
// multi-image file are named by their number as eight digits.
struct FileNode {
  FileNode* nextfile = nullptr;
  FileNode* prevfile = nullptr;
  std::string name;
};

void insert_file(FileNode*& handle, const char* name);
void add_file(FileNode*& behindfile, const char* name);
// Builds an empty list (handle none) from count names at once: the same list as insert_file
// called for each name in turn, in O(n log n) instead of a walk per name. Reorders names.
void insert_files(FileNode*& handle, const char** names, std::size_t count);
void first_file(FileNode*& handle);
void last_file(FileNode*& handle);
void clear_files(FileNode*& handle);
int is_dir_or_end(FileNode* node, std::uint32_t index);
const char* file_name_at(FileNode* node, std::uint32_t index);

// Where node stands among the images (the entries that are no directories) of its list:
// position from 1, 0 for a directory; first is the list's first image, or null; after_next is
// the image two steps on, going round from the last to the first (null for a directory).
struct ImagePlace {
  std::size_t position = 0;
  std::size_t count = 0;
  const FileNode* first = nullptr;
  const FileNode* after_next = nullptr;
};
ImagePlace image_place(const FileNode* node);

// Reads the current directory into state.top (and empties state.container, sets selected 0).
void scan_dir();
