// The geometry file's reader and writer, without a display.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "config/config.h"
#include "main/state.h"
#include "support/geometry.h"
#include "support/tempdir.h"

namespace {

constexpr const char* header = pictra_test::config_header;
const Config start{1, 2, 3, 4};

Config read_text(const std::string& text) {
  std::FILE* file = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  if (!file) ADD_FAILURE() << "fmemopen failed";
  state.config = start;
  if (file) {
    read_config(file);
    std::fclose(file);
  }
  return state.config;
}

void expect_config(const Config& actual, const Config& expected, const std::string& what) {
  EXPECT_EQ(actual.xpos, expected.xpos) << what;
  EXPECT_EQ(actual.ypos, expected.ypos) << what;
  EXPECT_EQ(actual.width, expected.width) << what;
  EXPECT_EQ(actual.height, expected.height) << what;
}

TEST(ReadConfig, AcceptedAndIgnoredForms) {
  // The first 127 characters are one line (height=1 and junk); the rest is a line of its own.
  const std::string split_line = "height=1" + std::string(119, 'y') + "xpos=42\n";
  struct Case {
    const char* what;
    std::string text;
    Config expected;
  };
  const Case cases[] = {
      {"empty file", "", start},
      {"only comments and blank lines", "\n# xpos=9\n\n   \n#\n", start},
      {"the writer's own output",
       std::string(header) + "xpos=50\nypos=10\nwidth=1180\nheight=924\n",
       {50, 10, 1180, 924}},
      {"leading spaces are skipped", "  xpos=100\n", {100, 2, 3, 4}},
      {"a leading tab is part of the key", "\txpos=100\n", start},
      {"space before =", "xpos = 100\n", start},
      {"upper-case key", "XPOS=100\n", start},
      {"indented comment", "  #width=5\n", start},
      {"no =", "xpos 100\nheight\n", start},
      {"unknown keys", "depth=8\nx=5\nwidthx=6\n=7\n", start},
      {"negative value", "ypos=-20\n", {1, -20, 3, 4}},
      {"value without digits", "width=abc\n", {1, 2, 0, 4}},
      {"trailing junk", "height=600px\n", {1, 2, 3, 600}},
      {"sign and leading white space in the value", "xpos= +7\nypos=\t-3\n", {7, -3, 3, 4}},
      {"no newline at the end", "height=9", {1, 2, 3, 9}},
      {"value beyond 32 bits keeps the low bits", "width=4294967297\n", {1, 2, 1, 4}},
      {"later key wins", "width=10\nheight=5\nwidth=20\n", {1, 2, 20, 5}},
      {"keys in any order", "height=8\nwidth=7\nypos=6\nxpos=5\n", {5, 6, 7, 8}},
      {"long line is read in 127-character pieces", split_line, {42, 2, 3, 1}},
  };
  for (const Case& c : cases)
    expect_config(read_text(c.text), c.expected, c.what);
}

TEST(WriteConfig, ExactBytes) {
  pictra_test::TempDir dir;
  const std::string path = dir.file("out");
  state.config = Config{-5, 0, 1180, 2147483647};
  std::FILE* file = std::fopen(path.c_str(), "w");
  ASSERT_NE(file, nullptr);
  write_config(file);
  std::fclose(file);
  EXPECT_EQ(std::strlen(header), 45u);
  EXPECT_EQ(pictra_test::read_file(path),
            std::string(header) + "xpos=-5\nypos=0\nwidth=1180\nheight=2147483647\n");
}

// Without a display the file side of save_geometry still works: whole-file rewrite, and the new
// geometry reaches config whether or not the file could be written.
TEST(SaveGeometry, RewritesFileAndAlwaysUpdatesConfig) {
  pictra_test::TempDir dir;
  const std::string path = dir.write(".pictrarc", "# mine\nxpos=1\nfoo=bar\n");
  state.config_path = path;
  save_geometry(3, 4, 640, 480);
  flush_config();
  EXPECT_EQ(pictra_test::read_file(path),
            std::string(header) + "xpos=3\nypos=4\nwidth=640\nheight=480\n");

  const std::string unwritable = dir.mkdir("a-directory");
  state.config_path = unwritable;
  save_geometry(7, 8, 320, 200);
  flush_config();
  expect_config(state.config, {7, 8, 320, 200}, "unwritable file");

  state.config_path.clear();
  save_geometry(9, 10, 100, 50);
  flush_config();
  expect_config(state.config, {9, 10, 100, 50}, "no configuration path");
  EXPECT_EQ(pictra_test::read_file(path),
            std::string(header) + "xpos=3\nypos=4\nwidth=640\nheight=480\n");
}

std::string saved_text(int x, int y, int width, int height) {
  return std::string(header) + "xpos=" + std::to_string(x) + "\nypos=" + std::to_string(y) +
         "\nwidth=" + std::to_string(width) + "\nheight=" + std::to_string(height) + "\n";
}

std::size_t entries_in(const std::string& dir) {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::recursive_directory_iterator(dir))
    ++count;
  return count;
}

ino_t inode_of(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

// A save replaces the file whole, through any chain of links, and never touches anything that
// is not a regular file: the old text stays readable through an open descriptor, links stay
// links, and a write that cannot complete leaves the old file and no temporary file behind.
TEST(SaveGeometry, ReplacesTheFileWholeOrNotAtAll) {
  const std::string old_text = "# mine\nxpos=1\n";
  struct Case {
    const char* what;
    // Prepares the directory; answers the file that must get the new text ("" for none).
    std::function<std::string(const pictra_test::TempDir&)> prepare;
    bool written;
  };
  const Case cases[] = {
      {"a plain file keeps its permissions",
       [&](const pictra_test::TempDir& dir) {
         const std::string path = dir.write(".pictrarc", old_text);
         chmod(path.c_str(), 0640);
         return path;
       },
       true},
      {"a chain of links, relative and absolute",
       [&](const pictra_test::TempDir& dir) {
         dir.mkdir("store");
         const std::string real = dir.write("store/real", old_text);
         dir.mkdir("dots");
         EXPECT_EQ(symlink(real.c_str(), dir.file("dots/middle").c_str()), 0);
         EXPECT_EQ(symlink("dots/middle", dir.file(".pictrarc").c_str()), 0);
         return real;
       },
       true},
      {"a dangling link gets its target created",
       [](const pictra_test::TempDir& dir) {
         EXPECT_EQ(symlink("new-target", dir.file(".pictrarc").c_str()), 0);
         return dir.file("new-target");
       },
       true},
      {"a FIFO is left alone",
       [](const pictra_test::TempDir& dir) {
         EXPECT_EQ(mkfifo(dir.file(".pictrarc").c_str(), 0600), 0);
         return std::string();
       },
       false},
      {"a link to a device is left alone",
       [](const pictra_test::TempDir& dir) {
         EXPECT_EQ(symlink("/dev/null", dir.file(".pictrarc").c_str()), 0);
         return std::string();
       },
       false},
      {"a write the file size limit stops half-way",
       [&](const pictra_test::TempDir& dir) {
         const std::string path = dir.write(".pictrarc", old_text);
         // Writing past the limit fails with EFBIG instead of raising SIGXFSZ.
         signal(SIGXFSZ, SIG_IGN);
         rlimit limit{};
         getrlimit(RLIMIT_FSIZE, &limit);
         limit.rlim_cur = 10;
         setrlimit(RLIMIT_FSIZE, &limit);
         return path;
       },
       false},
  };
  int width = 600;  // a new geometry for every case, so that every save has something to write
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ++width;
    pictra_test::TempDir dir;
    const std::string target = c.prepare(dir);
    const std::string path = dir.file(".pictrarc");
    const std::size_t entries = entries_in(dir.path());
    const ino_t link_inode = inode_of(path);
    struct stat before {};
    const bool had_target = !target.empty() && stat(target.c_str(), &before) == 0;
    const int old_fd = had_target ? open(target.c_str(), O_RDONLY) : -1;

    state.config_path = path;
    save_geometry(11, 12, width, 414);
    flush_config();
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_FSIZE, &limit);

    if (target != path) {
      EXPECT_EQ(inode_of(path), link_inode) << "the link itself was replaced";
    }
    EXPECT_EQ(entries_in(dir.path()), entries + (had_target || !c.written ? 0 : 1))
        << "a temporary file is left, or the target is missing";
    if (c.written) {
      EXPECT_EQ(pictra_test::read_file(target), saved_text(11, 12, width, 414));
    } else if (!target.empty()) {
      EXPECT_EQ(pictra_test::read_file(target), old_text);
    }
    if (old_fd >= 0) {
      // Replaced by a rename, never truncated: the old inode still holds the whole old text.
      char text[64] = {};
      EXPECT_EQ(read(old_fd, text, sizeof text), static_cast<ssize_t>(old_text.size()));
      EXPECT_EQ(text, old_text);
      close(old_fd);
      struct stat after {};
      stat(target.c_str(), &after);
      EXPECT_EQ(after.st_mode, before.st_mode);
      if (c.written) {
        EXPECT_NE(after.st_ino, before.st_ino);
      }
    }
  }
  state = ProgramState{};
}

// The file is only written for a geometry it does not hold yet, and only once the quiet second
// is over or on a flush.
TEST(SaveGeometry, WaitsForAQuietSecondAndOnlyForChanges) {
  pictra_test::TempDir dir;
  state.config_path = dir.file(".pictrarc");
  save_geometry(1, 2, 300, 400);
  flush_config();
  const ino_t first = inode_of(state.config_path);
  ASSERT_NE(first, 0u);
  EXPECT_EQ(config_save_due_ms(), -1);

  save_geometry(1, 2, 300, 400);
  EXPECT_EQ(config_save_due_ms(), -1) << "the same geometry again";
  save_geometry(5, 2, 300, 400);
  EXPECT_GT(config_save_due_ms(), 0);
  EXPECT_LE(config_save_due_ms(), 1000);
  save_geometry(1, 2, 300, 400);
  EXPECT_EQ(config_save_due_ms(), -1) << "back to what the file holds";
  flush_config();
  EXPECT_EQ(inode_of(state.config_path), first) << "written without a change";
  state = ProgramState{};
}

}  // namespace
