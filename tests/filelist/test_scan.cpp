// The directory scan in real directories: which entries are listed, and the unreadable and
// unnamed-path cases that leave the list short or untouched.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "filelist/filelist.h"
#include "formats/formats.h"
#include "support/tempdir.h"

namespace {

using pictra_test::TempDir;
using Names = std::vector<std::string>;

Names list_names() {
  Names names;
  for (FileNode* node = state.top; node != nullptr; node = node->nextfile) {
    names.emplace_back(node->name);
  }
  return names;
}

// Runs the scan with dir as the current directory, restoring the old one afterwards.
Names scan_in(const std::string& dir) {
  char* old = getcwd(nullptr, 0);
  EXPECT_NE(old, nullptr);
  EXPECT_EQ(chdir(dir.c_str()), 0) << dir;
  scan_dir();
  EXPECT_EQ(chdir(old), 0);
  std::free(old);
  return list_names();
}

class Scan : public testing::Test {
 protected:
  void SetUp() override { init_formats(); }
  void TearDown() override { clear_files(state.top); }
  TempDir dir;
};

void make_fifo(const TempDir& dir, const std::string& name) {
  ASSERT_EQ(mkfifo(dir.file(name).c_str(), 0600), 0);
}
void make_link(const TempDir& dir, const std::string& target, const std::string& name) {
  ASSERT_EQ(symlink(target.c_str(), dir.file(name).c_str()), 0);
}

TEST_F(Scan, ListsDirectoriesAndSupportedRegularFiles) {
  struct Case {
    const char* what;
    std::function<void(const TempDir&)> make;
    Names expected;
  };
  const Case cases[] = {
      {"kinds of entry",
       [](const TempDir& d) {
         d.mkdir("sub");
         d.write("a.jpg", "x");
         d.write("b.txt", "x");
         d.write("c.PNG", "x");
         make_fifo(d, "p.gif");
       },
       {"/..", "/sub", "a.jpg", "c.PNG"}},
      {"links count as what they point to",
       [](const TempDir& d) {
         d.mkdir("real");
         d.write("img.gif", "x");
         make_link(d, "real", "to_dir");
         make_link(d, "img.gif", "to_img.bmp");
         make_link(d, "missing.jpg", "dangling.jpg");
         make_link(d, "real", "dir_named.jpg");
       },
       {"/..", "/dir_named.jpg", "/real", "/to_dir", "img.gif", "to_img.bmp"}},
      {"extensions are case-sensitive",
       [](const TempDir& d) {
         d.write("x.jpeg", "x");
         d.write("x.JPEG", "x");
         d.write("x.Jpg", "x");
         d.write("x.tiff", "x");
         d.write("README", "x");
       },
       {"/..", "x.jpeg", "x.tiff"}},
      {"hidden entries are listed",
       [](const TempDir& d) {
         d.mkdir(".git");
         d.write(".x.jpg", "x");
         d.write(".png", "x");
       },
       {"/..", ".png", ".x.jpg", "/.git"}},
  };
  for (const Case& c : cases) {
    TempDir d;
    c.make(d);
    // A list left from an earlier view goes, whatever the handle and selection were.
    insert_file(state.top, "stale.jpg");
    state.selected = 7;
    state.container = "three.tif";
    EXPECT_EQ(scan_in(d.path()), c.expected) << c.what;
    EXPECT_EQ(state.top->prevfile, nullptr) << c.what;
    EXPECT_EQ(state.selected, 0u) << c.what;
    EXPECT_EQ(state.container, "") << c.what;
  }
}

TEST_F(Scan, RootStillStartsWithParent) {
  const Names names = scan_in("/");
  ASSERT_FALSE(names.empty());
  EXPECT_EQ(names.front(), "/..");
}

// Root reads every directory, so the unreadable case runs in a child that gives that up.
TEST_F(Scan, UnreadableDirectoryGivesOnlyParent) {
  const std::string locked = dir.mkdir("locked");
  dir.write("locked/a.jpg", "x");
  dir.mkdir("locked/sub");
  ASSERT_EQ(chmod(dir.path().c_str(), 0711), 0);
  ASSERT_EQ(chmod(locked.c_str(), 0111), 0);  // may be entered, not read

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(30);  // a hung child ends instead of hanging the test
    if (geteuid() == 0) {
      const passwd* nobody = getpwnam("nobody");
      if (nobody == nullptr || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) {
        _exit(2);
      }
    }
    if (chdir(locked.c_str()) != 0) _exit(3);
    insert_file(state.top, "stale.jpg");
    state.selected = 5;
    scan_dir();
    const bool only_parent = list_names() == Names{"/.."} && state.selected == 0;
    clear_files(state.top);
    _exit(only_parent ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "child status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: wrong list, 2: cannot drop root, 3: cannot enter";
}

// A working directory far longer than any path the kernel takes is listed like any other; a
// deleted one lists only the way out.
TEST_F(Scan, LongPathAndDeletedDirectoryAreListed) {
  char* old = getcwd(nullptr, 0);
  ASSERT_NE(old, nullptr);
  const std::string start = dir.path();
  const std::string level(200, 'd');
  struct Case {
    const char* what;
    std::function<void()> enter;  // from the temporary directory into the one scanned
    Names expected;
  };
  const Case cases[] = {
      {"a path of over 5000 bytes",
       [&] {
         for (int i = 0; i < 26; ++i) {
           ASSERT_EQ(mkdir(level.c_str(), 0700), 0);
           ASSERT_EQ(chdir(level.c_str()), 0);
         }
         ASSERT_EQ(mkdir("sub", 0700), 0);
         ASSERT_EQ(close(creat("a.jpg", 0600)), 0);
       },
       {"/..", "/sub", "a.jpg"}},
      {"a deleted directory",
       [&] {
         ASSERT_EQ(mkdir("gone", 0700), 0);
         ASSERT_EQ(chdir("gone"), 0);
         ASSERT_EQ(rmdir("../gone"), 0);
       },
       {"/.."}},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(chdir(start.c_str()), 0);
    c.enter();
    insert_file(state.top, "stale.jpg");
    state.selected = 1;
    scan_dir();
    EXPECT_EQ(list_names(), c.expected) << c.what;
    EXPECT_EQ(state.selected, 0u) << c.what;
  }
  EXPECT_EQ(chdir(old), 0);
  std::free(old);
}

}  // namespace
