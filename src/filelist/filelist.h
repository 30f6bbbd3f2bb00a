// The sorted, doubly linked list of browser entries, the directory scan that fills it, and the
// list of files named on the command line.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "main/state.h"

// One entry. In a directory listing a name starting with '/' is a directory ("/.." the parent);
// sub-images of a multi-image file are named by their number as eight digits. A list of named
// files holds them by the paths given, which may start with '/' too: directory tells the kinds
// apart.
struct FileNode {
  FileNode* nextfile = nullptr;
  FileNode* prevfile = nullptr;
  std::string name;
  bool directory = false;
};

void insert_file(FileNode*& handle, const char* name);
void add_file(FileNode*& behindfile, const char* name);
// Builds an empty list (handle none) from count names at once: the same list as insert_file
// called for each name in turn, in O(n log n) instead of a walk per name. Reorders names.
void insert_files(FileNode*& handle, const char** names, std::size_t count);
void first_file(FileNode*& handle);
void last_file(FileNode*& handle);
void clear_files(FileNode*& handle);
// Unlinks node and frees it; a handle on it moves to the next node, or the previous one.
void remove_file(FileNode*& handle, FileNode* node);
int is_dir_or_end(FileNode* node, std::uint32_t index);
const char* file_name_at(FileNode* node, std::uint32_t index);
FileNode* file_node_at(FileNode* node, std::uint32_t index);
// How many nodes come before node.
std::uint32_t list_position(const FileNode* node);

// An entry on its way into the list, with what the sort orders compare.
struct ListEntry {
  std::string name;
  bool directory = false;
  std::int64_t mtime_seconds = 0;
  std::int64_t mtime_nanoseconds = 0;
  std::int64_t size = 0;
};
ListEntry list_entry(std::string name, bool directory, const struct stat& info);
// Compares runs of digits by their value ("img2" before "img10") and everything else byte by
// byte; names that differ only in leading zeros compare equal.
int natural_compare(std::string_view a, std::string_view b);
// By the key (the name breaking ties), reversed by reverse; directories before files, except in
// the plain name order, which is byte order.
bool sorts_before(const ListEntry& a, const ListEntry& b, const SortOrder& order);
void sort_entries(std::span<ListEntry> entries, const SortOrder& order);
// Links a node for entry behind last (none: it starts a list) and answers it.
FileNode* append_entry(FileNode* last, ListEntry&& entry);
// Builds an empty list (handle none) from entries in their order, the handle on the first.
void link_entries(FileNode*& handle, std::vector<ListEntry>& entries);

// Reads the current directory into state.top in state.sort's order (and empties
// state.container, sets selected 0).
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

// Reads the list again once its files may have changed: a directory listing by a new scan, a
// list of named files by leaving out the files that are gone. state.top is left on the first
// node. Answers the entry named name, else the one now at position (counted from the first),
// else the last; none when the list is empty.
FileNode* reread_files(const std::string& name, std::uint32_t position);

// Whether name can be shown: it exists and can be read. Otherwise "pictra: NAME: REASON" goes
// to standard error. info is name's, links followed.
bool usable_name(const std::string& name, struct stat& info);
// How list_named builds a list.
struct NamedList {
  bool recursive = false;
  SortOrder order;
  // Called once, as soon as the first early_count entries are known (with all of them when the
  // list has fewer), with their paths in list order.
  std::size_t early_count = 0;
  std::function<void(const std::vector<std::string>& first)> early;
  // Ends the build where it is.
  std::stop_token stop;
};
// The list of names, its first node answered (none when nothing is left), in the order when
// one was chosen and in the order given otherwise (reversed by --reverse alone). A file stands
// for itself, a directory for its images in list order, then, when recursive, for each
// subdirectory's in turn; names in it that begin with "." are left out. A name that cannot be
// used is reported and left out, as is a directory that cannot be read; a directory met again
// (through a link) is not walked twice. Touches no program state, so it may run on a thread of
// its own.
FileNode* list_named(std::vector<std::string> names, const NamedList& request);
