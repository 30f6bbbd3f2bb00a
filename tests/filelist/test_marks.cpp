// The marks store: files named by absolute paths whatever name the list gives them, the order
// marked files come out in, and what inverting leaves alone.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "filelist/filelist.h"
#include "filelist/marks.h"
#include "main/state.h"
#include "support/tempdir.h"

namespace {

using namespace pictra_test;

TEST(Marks, NamesAreFilesAndComeOutListedFirstThenByPath) {
  TempDir dir;
  dir.mkdir("sub");
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  clear_marks();
  // One file by three names is one mark.
  toggle_mark_path("a.png");
  EXPECT_TRUE(is_marked_path(dir.file("a.png")));
  EXPECT_TRUE(is_marked_path("sub/../a.png"));
  toggle_mark_path("./sub/../a.png");
  EXPECT_EQ(mark_count(), 0u);

  FileNode* list = nullptr;
  const char* names[] = {"/..", "/sub", "b.png", "c.png", "d.png"};
  insert_files(list, names, std::size(names));
  toggle_mark_path("sub/z.png");
  toggle_mark_path("/elsewhere/y.png");
  toggle_mark(file_node_at(list, 3));   // c.png
  toggle_mark(file_node_at(list, 1));   // a directory: never marked
  invert_marks(file_node_at(list, 4));  // from any node: the whole list, files only
  EXPECT_EQ(marked_paths(file_node_at(list, 2)),
            (std::vector<std::string>{dir.file("b.png"), dir.file("d.png"), "/elsewhere/y.png",
                                      dir.file("sub/z.png")}));
  // The sub-images of a file are no files.
  state.container = "multi.tif";
  EXPECT_FALSE(is_marked(file_node_at(list, 2)));
  state.container.clear();
  clear_marks();
  EXPECT_TRUE(marked_paths(list).empty());
  clear_files(list);
  ASSERT_EQ(chdir("/"), 0);
}

}  // namespace
