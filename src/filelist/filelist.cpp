// Placeholder until this module is written.
#include "filelist/filelist.h"

void insert_file(FileNode*&, const char*) {}
void add_file(FileNode*&, const char*) {}
void first_file(FileNode*&) {}
void last_file(FileNode*&) {}
void clear_files(FileNode*&) {}
void clear_thumbs(FileNode*) {}
int is_dir_or_end(FileNode*, std::uint32_t) { return 1; }
char* file_name_at(FileNode*, std::uint32_t) { return nullptr; }
Picture* file_thumb_at(FileNode*, std::uint32_t) { return nullptr; }
void set_file_thumb(FileNode*, std::uint32_t, Picture*) {}
