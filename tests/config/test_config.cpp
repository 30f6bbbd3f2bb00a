// The geometry file's reader and writer, without a display.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "config/config.h"
#include "main/state.h"
#include "support/tempdir.h"

namespace {

constexpr char header[] = "\n# pictrarc - configuration file for pictra\n\n";
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
  std::snprintf(state.config_path, sizeof state.config_path, "%s", path.c_str());
  save_geometry(3, 4, 640, 480);
  EXPECT_EQ(pictra_test::read_file(path),
            std::string(header) + "xpos=3\nypos=4\nwidth=640\nheight=480\n");

  const std::string unwritable = dir.mkdir("a-directory");
  std::snprintf(state.config_path, sizeof state.config_path, "%s", unwritable.c_str());
  save_geometry(7, 8, 320, 200);
  expect_config(state.config, {7, 8, 320, 200}, "unwritable file");

  state.config_path[0] = '\0';
  save_geometry(9, 10, 100, 50);
  expect_config(state.config, {9, 10, 100, 50}, "no configuration path");
  EXPECT_EQ(pictra_test::read_file(path),
            std::string(header) + "xpos=3\nypos=4\nwidth=640\nheight=480\n");
}

}  // namespace
