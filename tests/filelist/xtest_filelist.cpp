// The thumbnails a file list owns, with real Pictures (which need the display): who releases
// them, and when.
#include <gtest/gtest.h>  // before the X headers, whose macros clash with it

#include <string>

#include "filelist/filelist.h"
#include "xsupport/xsupport.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

// Whether memory that nothing points at any more is still held: a Picture the list dropped
// without releasing it. Only a sanitized build can tell; elsewhere the check passes.
bool leaked() {
#if defined(__SANITIZE_ADDRESS__)
  return __lsan_do_recoverable_leak_check() != 0;
#else
  return false;
#endif
}

Picture* new_thumb() {
  Picture* picture = x_CreatePicture(2, 2, static_cast<std::uint64_t>(state.bits_per_pixel));
  EXPECT_NE(picture, nullptr);
  return picture;
}

class Thumbs : public testing::Test {
 protected:
  static void SetUpTestSuite() { x_Init(nullptr); }
  static void TearDownTestSuite() { x_Cleanup(0); }

  void SetUp() override {
    for (const char* name : {"/..", "a.jpg", "b.jpg", "c.jpg"})
      insert_file(top, name);
  }
  void TearDown() override { clear_files(top); }

  void thumb_every_node() {
    for (std::uint32_t i = 0; i < node_count; ++i)
      set_file_thumb(top, i, new_thumb());
  }

  static constexpr std::uint32_t node_count = 4;
  FileNode* top = nullptr;
};

TEST_F(Thumbs, ClearingReachesEveryNode) {
  thumb_every_node();
  for (std::uint32_t i = 0; i < node_count; ++i)
    EXPECT_NE(file_thumb_at(top, i), nullptr) << i;

  // Given the third node, the nodes before it lose their thumbnails too; the nodes stay.
  clear_thumbs(top->nextfile->nextfile);
  for (std::uint32_t i = 0; i < node_count; ++i)
    EXPECT_EQ(file_thumb_at(top, i), nullptr) << i;
  EXPECT_STREQ(file_name_at(top, 3), "c.jpg");
  clear_thumbs(nullptr);
  EXPECT_FALSE(leaked());

  // Clearing the list from its last node releases every thumbnail with its node.
  thumb_every_node();
  last_file(top);
  clear_files(top);
  EXPECT_EQ(top, nullptr);
  EXPECT_FALSE(leaked());
}

TEST_F(Thumbs, SetFileThumbTakesOwnership) {
  // Replacing a thumbnail warns (no line end) and releases the one replaced.
  set_file_thumb(top, 1, new_thumb());
  Picture* replacement = new_thumb();
  testing::internal::CaptureStdout();
  set_file_thumb(top, 1, replacement);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "filelist warning: Setting data, but it isn't cleared, yet.");
  EXPECT_EQ(file_thumb_at(top, 1), replacement);
  EXPECT_FALSE(leaked());

  // With no node at the index, the Picture handed over is released, not dropped.
  testing::internal::CaptureStdout();
  set_file_thumb(top, node_count, new_thumb());
  set_file_thumb(nullptr, 0, new_thumb());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_FALSE(leaked());
  for (std::uint32_t i = 0; i < node_count; ++i) {
    EXPECT_EQ(file_thumb_at(top, i) != nullptr, i == 1) << i;
  }
}

}  // namespace
