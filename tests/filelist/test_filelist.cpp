// The file list's order and handle rules, and the one-pass build matching insert_file.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "filelist/filelist.h"

namespace {

using Names = std::vector<std::string>;

// The names from the first node on, checking that every back link mirrors its forward link.
Names names_of(FileNode* handle) {
  FileNode* node = handle;
  while (node != nullptr && node->prevfile != nullptr)
    node = node->prevfile;
  Names names;
  for (FileNode* prev = nullptr; node != nullptr; prev = node, node = node->nextfile) {
    EXPECT_EQ(node->prevfile, prev) << "broken back link at " << node->name;
    names.emplace_back(node->name);
  }
  return names;
}

FileNode* inserted(const Names& names) {
  FileNode* top = nullptr;
  for (const std::string& name : names) {
    insert_file(top, name.c_str());
    EXPECT_EQ(top->prevfile, nullptr) << "handle left the first node after " << name;
  }
  return top;
}

TEST(FileList, InsertionOrder) {
  struct Case {
    Names input;
    Names expected;
  };
  const Case cases[] = {
      {{"b.jpg", "/..", "a.jpg", "/sub"}, {"/..", "/sub", "a.jpg", "b.jpg"}},
      // Nothing goes before "/..", though '-' and '.' sort below '/'.
      {{"/..", ".hidden.jpg", "-x.png"}, {"/..", "-x.png", ".hidden.jpg"}},
      {{".hidden.jpg", "-x.png", "/.."}, {"/..", "-x.png", ".hidden.jpg"}},
      // Byte order, no locale: upper case first, directories between punctuation and letters.
      {{"a.gif", "Z.gif"}, {"Z.gif", "a.gif"}},
      {{"a.jpg", "A.jpg", "/dir", ".b.jpg", "-a.jpg"},
       {"-a.jpg", ".b.jpg", "/dir", "A.jpg", "a.jpg"}},
      // Only the exact "/.." is the parent; its look-alikes sort as names.
      {{"/..a", "/.", "/..", "/a"}, {"/..", "/.", "/..a", "/a"}},
      {{"x", "x", "/..", "x", "/.."}, {"/..", "/..", "x", "x", "x"}},
  };
  for (const Case& c : cases) {
    Names input = c.input;
    std::sort(input.begin(), input.end());
    // Every insertion order gives the same list, with the handle on its first node.
    do {
      FileNode* top = inserted(input);
      EXPECT_EQ(names_of(top), c.expected) << "inserted from " << input.front();
      EXPECT_EQ(top->name, c.expected.front());
      clear_files(top);
    } while (std::next_permutation(input.begin(), input.end()));
  }
}

// Names of any length are kept whole and ordered by every byte.
TEST(FileList, LongNamesAreKeptWhole) {
  const std::string stem(5000, 'n');
  FileNode* top = inserted({stem + "b", stem, stem + "a"});
  EXPECT_EQ(names_of(top), (Names{stem, stem + "a", stem + "b"}));
  clear_files(top);
}

TEST(FileList, HandleMovesAndClears) {
  FileNode* top = nullptr;
  first_file(top);
  last_file(top);
  clear_files(top);
  EXPECT_EQ(top, nullptr);

  top = inserted({"/..", "a.jpg", "b.jpg", "c.jpg"});
  last_file(top);
  EXPECT_EQ(top->name, "c.jpg");
  first_file(top);
  EXPECT_EQ(top->name, "/..");
  clear_files(top);

  // Clearing works from any node and empties the list (the sanitizer sees any node left).
  for (int steps = 0; steps < 4; ++steps) {
    top = inserted({"/..", "a.jpg", "b.jpg", "c.jpg"});
    for (int i = 0; i < steps; ++i)
      top = top->nextfile;
    clear_files(top);
    EXPECT_EQ(top, nullptr);
  }
}

TEST(FileList, IndexedQueries) {
  FileNode* top = inserted({"/..", "/sub", "photo.jpg", "00000003"});
  // Order: "/..", "/sub", "00000003", "photo.jpg".
  struct Case {
    FileNode* node;
    std::uint32_t index;
    const char* name;  // nullptr: no node there
    int dir_or_end;
  };
  FileNode* third = top->nextfile->nextfile;
  const Case cases[] = {
      {top, 0, "/..", 1},
      {top, 1, "/sub", 1},
      {top, 2, "00000003", 0},
      {top, 3, "photo.jpg", 0},
      {top, 4, nullptr, 1},
      {top, UINT32_MAX, nullptr, 1},
      // Indexes count from the node given, never from the first node.
      {third, 0, "00000003", 0},
      {third, 1, "photo.jpg", 0},
      {third, 2, nullptr, 1},
      {nullptr, 0, nullptr, 1},
      {nullptr, 3, nullptr, 1},
  };
  for (const Case& c : cases) {
    const std::string where =
        (c.node ? c.node->name : std::string("none")) + " + " + std::to_string(c.index);
    const char* name = file_name_at(c.node, c.index);
    if (c.name == nullptr) {
      EXPECT_EQ(name, nullptr) << where;
    } else {
      EXPECT_STREQ(name, c.name) << where;
    }
    EXPECT_EQ(is_dir_or_end(c.node, c.index), c.dir_or_end) << where;
  }
  clear_files(top);
}

// A random name: short names from a few bytes (so duplicates are frequent), bytes on both sides
// of '/' and above 0x7f (strcmp compares them as unsigned), some exactly "/..", some long ones
// that differ only after their first 1021 bytes.
std::string random_name(std::mt19937& random) {
  static const std::string alphabet = std::string("!-./0Aa_z") + "\x7f\x80\xff";
  const auto pick = [&](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random);
  };
  switch (pick(10)) {
    case 0:
      return "/..";
    case 1:
      return std::string(1021, 'L') + std::string(1 + pick(4), alphabet[pick(alphabet.size())]);
    default: {
      std::string name(1 + pick(3), ' ');
      for (char& c : name)
        c = alphabet[pick(alphabet.size())];
      return name;
    }
  }
}

TEST(FileList, OnePassBuildMatchesInsertion) {
  std::mt19937 random(20240611);
  for (int round = 0; round < 200; ++round) {
    Names input(static_cast<std::size_t>(round % 7 == 0 ? 0 : 1 + round % 60));
    for (std::string& name : input)
      name = random_name(random);

    FileNode* expected = inserted(input);
    std::vector<const char*> pointers;
    for (const std::string& name : input)
      pointers.push_back(name.c_str());
    FileNode* built = nullptr;
    insert_files(built, pointers.data(), pointers.size());

    ASSERT_EQ(names_of(built), names_of(expected)) << "round " << round;
    EXPECT_EQ(built == nullptr, input.empty());
    if (built != nullptr) {
      EXPECT_EQ(built->prevfile, nullptr) << "round " << round;
    }
    clear_files(expected);
    clear_files(built);
  }
}

}  // namespace
