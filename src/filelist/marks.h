// Marks on files, and the user's key handler that acts on them. A mark belongs to a file, named
// by its absolute path, so it outlives the list it was made in: leaving a directory and coming
// back, a rescan, a turn or another thumbnail size keep it.
#pragma once

#include <X11/Xlib.h>

#include <cstddef>
#include <string>
#include <vector>

#include "filelist/filelist.h"

// The marker's colour, in the grid and the view: no label's, exact at every depth, plain on
// black and on white.
inline constexpr int mark_rgb = 0xff00ff;

// name as an absolute path: a relative one is taken from the current directory.
std::string absolute_path(const std::string& name);

// Whether node is marked. Directories and the sub-images of a file are never marked.
bool is_marked(const FileNode* node);
bool is_marked_path(const std::string& name);
void toggle_mark(const FileNode* node);
void toggle_mark_path(const std::string& name);
void clear_marks();
// Marks every unmarked file of the list and unmarks every marked one.
void invert_marks(const FileNode* list);
std::size_t mark_count();
// The marked files as absolute paths: those in list, in its order, then the others by path.
std::vector<std::string> marked_paths(const FileNode* list);

// Ctrl+x and the key after it. True when key went to the handler: Ctrl+x itself, or the key
// that follows it, which runs the handler on the marked files (current, an entry's name, when
// none is marked) unless it is Escape.
bool take_handler_key(XKeyEvent& key, const std::string& current);
// True when event says the running handler has ended; its status is then reported when it
// failed, and the caller reads its files again.
bool handler_ended(const XEvent& event);
// The handler's form of a key: its symbol as typed after "C-", "M-" and "S-" for Control, Alt
// and a Shift that did not change the symbol ("r", "R", "C-d", "S-Delete").
std::string handler_key_name(XKeyEvent& key);
