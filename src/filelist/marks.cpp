// The marks: a set of absolute paths.
#include "filelist/marks.h"

#include <unistd.h>

#include <cstdlib>
#include <set>

#include "main/state.h"

namespace {

std::set<std::string> marks;

std::string current_directory() {
  char* path = getcwd(nullptr, 0);
  std::string directory = path ? path : "";
  std::free(path);
  return directory;
}

std::string joined(const std::string& directory, const std::string& name) {
  return directory.ends_with('/') ? directory + name : directory + "/" + name;
}

// name's absolute path, a name without a directory taken from directory, the current one. The
// directory of a name that has one is resolved, so that "sub/../a.png" and "a.png" are one
// file and a path holds no "..".
std::string absolute_in(const std::string& directory, const std::string& name) {
  const auto slash = name.rfind('/');
  if (slash == std::string::npos) return joined(directory, name);
  const std::string parent = slash == 0 ? "/" : name.substr(0, slash);
  char* real = realpath(parent.c_str(), nullptr);
  if (real == nullptr) return name.starts_with('/') ? name : joined(directory, name);
  std::string path = joined(real, name.substr(slash + 1));
  std::free(real);
  return path;
}

const FileNode* first_of(const FileNode* node) {
  while (node && node->prevfile)
    node = node->prevfile;
  return node;
}

bool markable(const FileNode* node) {
  return node && !node->directory && state.container.empty();
}

}  // namespace

std::string absolute_path(const std::string& name) {
  return absolute_in(name.starts_with('/') ? std::string() : current_directory(), name);
}

bool is_marked_path(const std::string& name) {
  return !marks.empty() && marks.contains(absolute_path(name));
}

bool is_marked(const FileNode* node) {
  return markable(node) && is_marked_path(node->name);
}

void toggle_mark_path(const std::string& name) {
  const std::string path = absolute_path(name);
  if (!marks.erase(path)) marks.insert(path);
}

void toggle_mark(const FileNode* node) {
  if (markable(node)) toggle_mark_path(node->name);
}

void clear_marks() {
  marks.clear();
}

void invert_marks(const FileNode* list) {
  if (!state.container.empty()) return;
  const std::string directory = current_directory();
  for (const FileNode* node = first_of(list); node; node = node->nextfile) {
    if (node->directory) continue;
    const std::string path = absolute_in(directory, node->name);
    if (!marks.erase(path)) marks.insert(path);
  }
}

std::size_t mark_count() {
  return marks.size();
}

std::vector<std::string> marked_paths(const FileNode* list) {
  std::vector<std::string> paths;
  std::set<std::string> listed;
  const std::string directory = current_directory();
  for (const FileNode* node = first_of(list); node && state.container.empty();
       node = node->nextfile) {
    if (node->directory) continue;
    std::string path = absolute_in(directory, node->name);
    if (marks.contains(path) && listed.insert(path).second) paths.push_back(std::move(path));
  }
  for (const std::string& path : marks)
    if (!listed.contains(path)) paths.push_back(path);
  return paths;
}
