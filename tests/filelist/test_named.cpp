// The sort orders, and the list of named files and directories built from real directories:
// the walk's order, what it leaves out, links that loop and directories it cannot read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "filelist/filelist.h"
#include "formats/formats.h"
#include "support/tempdir.h"

namespace {

using pictra_test::TempDir;
using Names = std::vector<std::string>;

TEST(Order, NaturalComparison) {
  struct Case {
    const char* a;
    const char* b;
    int order;
  };
  const Case cases[] = {
      {"img2", "img10", -1},
      {"img10", "img9", 1},
      {"img02", "img2", 0},
      {"a9b", "a10a", -1},
      {"x", "x1", -1},
      {"x10y", "x10", 1},
      {"z0010", "z9", 1},
      {"1", "a", -1},
      {"File", "file", -1},
      {"2024-1-5", "2024-1-12", -1},
      {"a"
       "\xff",
       "a1", 1},
      {"", "", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(natural_compare(c.a, c.b), c.order) << c.a << " vs " << c.b;
    EXPECT_EQ(natural_compare(c.b, c.a), -c.order) << c.b << " vs " << c.a;
  }
}

TEST(Order, EveryKeyForwardAndReversed) {
  // name, directory, modification time (s, ns), size.
  const std::vector<ListEntry> entries = {
      {"img10.jpg", false, 100, 5, 300}, {"img9.jpg", false, 100, 7, 100},
      {"b.jpg", false, 50, 0, 300},      {"/sub", true, 999, 0, 4096},
      {"/Sub2", true, 1, 0, 4096},       {"IMG1.jpg", false, 200, 0, 200},
  };
  struct Case {
    SortKey key;
    bool reverse;
    Names expected;
  };
  const Case cases[] = {
      {SortKey::name, false, {"/Sub2", "/sub", "IMG1.jpg", "b.jpg", "img10.jpg", "img9.jpg"}},
      {SortKey::name, true, {"/sub", "/Sub2", "img9.jpg", "img10.jpg", "b.jpg", "IMG1.jpg"}},
      {SortKey::natural, false, {"/Sub2", "/sub", "IMG1.jpg", "b.jpg", "img9.jpg", "img10.jpg"}},
      // Oldest first; the nanoseconds count, and the name breaks a tie.
      {SortKey::time, false, {"/Sub2", "/sub", "b.jpg", "img10.jpg", "img9.jpg", "IMG1.jpg"}},
      {SortKey::time, true, {"/sub", "/Sub2", "IMG1.jpg", "img9.jpg", "img10.jpg", "b.jpg"}},
      {SortKey::size, false, {"/Sub2", "/sub", "img9.jpg", "IMG1.jpg", "b.jpg", "img10.jpg"}},
      {SortKey::size, true, {"/sub", "/Sub2", "img10.jpg", "b.jpg", "IMG1.jpg", "img9.jpg"}},
  };
  for (const Case& c : cases) {
    std::vector<ListEntry> sorted = entries;
    sort_entries(sorted, SortOrder{c.key, c.reverse, true});
    Names names;
    for (const ListEntry& entry : sorted)
      names.push_back(entry.name);
    EXPECT_EQ(names, c.expected) << static_cast<int>(c.key) << (c.reverse ? " reversed" : "");
  }
}

class Named : public testing::Test {
 protected:
  void SetUp() override {
    init_formats();
    // top: images, a hidden one, a file of no image type, two subdirectories and a hidden one,
    // a link back to top itself and a link that loops on itself.
    for (const char* sub : {"top", "top/sub2", "top/sub10", "top/.dot"})
      dir.mkdir(sub);
    for (const char* name : {"top/b.png", "top/a.png", "top/.hidden.png", "top/notes.txt",
                             "top/sub2/x.png", "top/sub10/y.png", "top/.dot/z.png"})
      dir.write(name, "x");
    EXPECT_EQ(symlink("..", dir.file("top/sub2/up").c_str()), 0);
    EXPECT_EQ(symlink("self", dir.file("top/self").c_str()), 0);
    EXPECT_EQ(chdir(dir.path().c_str()), 0);
  }
  void TearDown() override {
    clear_files(state.top);
    EXPECT_EQ(chdir("/"), 0);
  }

  // The list of names; the first two, handed over early, must be the list's first two.
  Names listed(Names names, bool recursive, const SortOrder& order = {}) {
    NamedList request;
    request.recursive = recursive;
    request.order = order;
    request.early_count = 2;
    Names early;
    int handed_over = 0;
    request.early = [&](const Names& first) {
      early = first;
      ++handed_over;
    };
    clear_files(state.top);
    state.top = list_named(std::move(names), request);
    Names found;
    for (const FileNode* node = state.top; node; node = node->nextfile) {
      EXPECT_FALSE(node->directory) << node->name;
      found.push_back(node->name);
    }
    EXPECT_EQ(handed_over, 1);
    EXPECT_EQ(early, Names(found.begin(), found.begin() + std::min<std::size_t>(2, found.size())));
    return found;
  }

  TempDir dir;
};

TEST_F(Named, FilesAsGivenDirectoriesAsTheirImages) {
  struct Case {
    Names names;
    bool recursive;
    SortOrder order;
    Names expected;
    std::string reported;
  };
  const SortOrder natural{SortKey::natural, false, true};
  const SortOrder reversed{SortKey::name, true, false};
  const Case cases[] = {
      // Files in the order given, once per mention; a hidden file named is shown.
      {{"top/b.png", "top/a.png", "top/b.png", "top/.hidden.png"},
       false,
       {},
       {"top/b.png", "top/a.png", "top/b.png", "top/.hidden.png"},
       ""},
      // A directory stands for its images in name order, a trailing slash kept once.
      {{"top/", "top/b.png"}, false, {}, {"top/a.png", "top/b.png", "top/b.png"}, ""},
      // Walked: the images, then each subdirectory in turn; the link back up and the looping
      // link end nothing, the hidden directory is left out.
      {{"top"}, true, {}, {"top/a.png", "top/b.png", "top/sub10/y.png", "top/sub2/x.png"}, ""},
      {{"top"}, true, natural, {"top/a.png", "top/b.png", "top/sub2/x.png", "top/sub10/y.png"}, ""},
      // Sorting a list orders the names given, directories first.
      {{"top/b.png", "top/sub2", "top/a.png"},
       false,
       natural,
       {"top/sub2/x.png", "top/a.png", "top/b.png"},
       ""},
      // --reverse alone: the order given, backwards, and each directory's images reversed.
      {{"top/sub2/x.png", "top"},
       false,
       reversed,
       {"top/b.png", "top/a.png", "top/sub2/x.png"},
       ""},
      {{"gone.png", "top/a.png", "top/self"},
       false,
       {},
       {"top/a.png"},
       "pictra: gone.png: No such file or directory\n"
       "pictra: top/self: Too many levels of symbolic links\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.names.front() + (c.recursive ? " -r" : ""));
    testing::internal::CaptureStderr();
    const Names found = listed(c.names, c.recursive, c.order);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.reported);
    EXPECT_EQ(found, c.expected);
  }
}

// Root reads every directory, so the walk meets an unreadable one in a child that gives that up:
// the directory is reported, and the walk goes on past it.
TEST_F(Named, UnreadableDirectoryIsReportedAndPassed) {
  dir.mkdir("top/locked");
  dir.write("top/locked/hidden.png", "x");
  for (const char* path : {"", "top", "top/sub2", "top/sub10"})
    ASSERT_EQ(chmod(dir.file(path).c_str(), 0755), 0);
  for (const char* path : {"top/a.png", "top/b.png", "top/sub2/x.png", "top/sub10/y.png"})
    ASSERT_EQ(chmod(dir.file(path).c_str(), 0644), 0);
  ASSERT_EQ(chmod(dir.file("top/locked").c_str(), 0), 0);
  const std::string err = dir.write("err", "");
  ASSERT_EQ(chmod(err.c_str(), 0666), 0);
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
    const int fd = open(err.c_str(), O_WRONLY);
    if (fd < 0 || dup2(fd, STDERR_FILENO) < 0) _exit(3);
    NamedList request;
    request.recursive = true;
    state.top = list_named({"top"}, request);
    Names found;
    for (const FileNode* node = state.top; node; node = node->nextfile)
      found.push_back(node->name);
    _exit(found == Names{"top/a.png", "top/b.png", "top/sub10/y.png", "top/sub2/x.png"} ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "child status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: wrong list, 2: cannot drop root, 3: no stderr";
  EXPECT_EQ(pictra_test::read_file(err), "pictra: top/locked: Permission denied\n");
}

}  // namespace
