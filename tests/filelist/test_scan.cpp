// The directory scan in real directories: which entries are listed, and the unreadable and
// unnamed-path cases that leave the list short or untouched.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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
  char old[path_capacity];
  EXPECT_NE(getcwd(old, sizeof old), nullptr);
  EXPECT_EQ(chdir(dir.c_str()), 0) << dir;
  scan_dir();
  EXPECT_EQ(chdir(old), 0);
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
      {"extensions in any letter case, the newer formats too",
       [](const TempDir& d) {
         d.write("x.jpeg", "x");
         d.write("x.JPEG", "x");
         d.write("x.Jpg", "x");
         d.write("x.tiff", "x");
         d.write("IMG_1234.HEIC", "x");
         d.write("a.webp", "x");
         d.write("a.AVIF", "x");
         d.write("a.Jxl", "x");
         d.write("a.heif", "x");
         d.write("a.webm", "x");
         d.write("README", "x");
       },
       {"/..", "IMG_1234.HEIC", "a.AVIF", "a.Jxl", "a.heif", "a.webp", "x.JPEG", "x.Jpg", "x.jpeg",
        "x.tiff"}},
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
    std::snprintf(state.container, sizeof state.container, "%s", "three.tif");
    EXPECT_EQ(scan_in(d.path()), c.expected) << c.what;
    EXPECT_EQ(state.top->prevfile, nullptr) << c.what;
    EXPECT_EQ(state.selected, 0u) << c.what;
    EXPECT_STREQ(state.container, "") << c.what;
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

// A current directory whose path does not fit the scan's buffer leaves everything as it was.
TEST_F(Scan, PathTooLongKeepsTheList) {
  std::string relative = std::string(100, 'd');
  while (dir.file(relative).size() < path_capacity)
    relative += "/" + std::string(100, 'd');
  const std::string deep = dir.mkdir(relative);
  insert_file(state.top, "/..");
  insert_file(state.top, "kept.jpg");
  state.selected = 1;
  std::snprintf(state.container, sizeof state.container, "%s", "three.tif");
  EXPECT_EQ(scan_in(deep), (Names{"/..", "kept.jpg"}));
  EXPECT_EQ(state.selected, 1u);
  EXPECT_STREQ(state.container, "three.tif");
}

}  // namespace
