// The browser's key rules over lists of known length: how top and selected move, and which
// redraw each key asks for.
#include <gtest/gtest.h>  // before the X headers, whose macros clash with it

#include <X11/keysym.h>

#include <cstdio>
#include <string>

#include "browser/browser.h"
#include "filelist/filelist.h"
#include "main/state.h"
#include "xsupport/xsupport.h"

namespace {

class Navigation : public testing::Test {
 protected:
  static void SetUpTestSuite() { x_Init(nullptr); }

  void SetUp() override {
    state.config.width = 1000;
    state.config.height = 700;
    state.interrupted = 0;
    state.quit = 0;
  }
  void TearDown() override {
    clear_files(state.top);
    x_FreePicture(state.blank_picture);
    state.blank_picture = nullptr;
  }

  // A list of count image entries named 00.bmp, 01.bmp, ... at the given level.
  void make_list(int count, unsigned char thumbsize) {
    clear_files(state.top);
    for (int i = 0; i < count; ++i) {
      char name[16];
      std::snprintf(name, sizeof name, "%02d.bmp", i);
      insert_file(state.top, name);
    }
    first_file(state.top);
    state.thumbsize = thumbsize;
    state.selected = 0;
    layout_grid();
  }

  // Puts top on entry number index of the list.
  void set_top(int index) {
    first_file(state.top);
    for (int i = 0; i < index; ++i)
      state.top = state.top->nextfile;
  }

  int top_index() {
    int index = 0;
    for (FileNode* node = state.top; node->prevfile; node = node->prevfile)
      ++index;
    return index;
  }

  int press(KeySym keysym) {
    std::string none;
    return handle_key(keysym, none);
  }
};

struct Step {
  const char* what;
  int top_before;
  std::uint32_t selected_before;
  KeySym key;
  int top_after;
  std::uint32_t selected_after;
  int result;
};

// Twenty entries at level 1 (three rows of four): the moves within and across pages.
TEST_F(Navigation, KeysMoveTopAndSelectionOverTwentyEntries) {
  const Step steps[] = {
      {"Down in the last row scrolls a row", 0, 9, XK_Down, 4, 9, 1},
      {"Down inside the page", 0, 1, XK_Down, 0, 5, 0},
      {"keypad 2 is Down", 0, 1, XK_KP_2, 0, 5, 0},
      {"Down in the last row near the end", 8, 10, XK_Down, 12, 7, 1},
      {"Next on a full page", 0, 5, XK_Next, 9, 10, 1},
      {"Next on the last page selects the last entry", 12, 0, XK_Next, 12, 7, 1},
      {"End from anywhere", 3, 2, XK_End, 8, 11, 1},
      {"Right past the last cell scrolls", 8, 11, XK_Right, 9, 11, 1},
      {"Right at the very end does nothing", 19, 11, XK_Right, 19, 11, 0},
      {"Right onto an empty cell is refused", 12, 7, XK_Right, 12, 7, 0},
      {"Left inside the page", 4, 3, XK_Left, 4, 2, 0},
      {"Left at cell 0 scrolls back one", 4, 0, XK_Left, 3, 0, 1},
      {"Left at the first entry", 0, 0, XK_KP_4, 0, 0, 0},
      {"Up in the first row scrolls a row", 6, 2, XK_Up, 2, 2, 1},
      {"Up in the first row at the start", 0, 2, XK_Up, 0, 2, 1},
      {"Up inside the page", 0, 6, XK_KP_8, 0, 2, 0},
      {"Prior scrolls a page back", 14, 5, XK_Prior, 2, 0, 1},
      {"Prior near the start", 5, 5, XK_Prior, 0, 0, 1},
      {"Home", 9, 7, XK_Home, 0, 0, 1},
      {"an unknown key", 3, 3, XK_a, 3, 3, 0},
  };
  for (const Step& step : steps) {
    make_list(20, 1);
    set_top(step.top_before);
    state.selected = step.selected_before;
    const int result = press(step.key);
    EXPECT_EQ(top_index(), step.top_after) << step.what;
    EXPECT_EQ(state.selected, step.selected_after) << step.what;
    EXPECT_EQ(result, step.result) << step.what;
  }
}

// Neutral moves inside the page answer the interrupted flag, so a cut-short thumbnail pass is
// resumed by Up, Down and unknown keys, but not by Left and Right.
TEST_F(Navigation, InPageMovesReturnTheInterruptedFlag) {
  make_list(20, 1);
  state.interrupted = 1;
  state.selected = 5;
  EXPECT_EQ(press(XK_Down), 1);
  EXPECT_EQ(press(XK_Up), 1);
  EXPECT_EQ(press(XK_a), 1);
  EXPECT_EQ(press(XK_Left), 0);
  EXPECT_EQ(press(XK_Right), 0);
}

TEST_F(Navigation, SizeLevelsChangeTheGridAndKeepTheSelectionOnIt) {
  make_list(60, 3);
  state.selected = 40;
  EXPECT_EQ(press(XK_plus), 1);
  EXPECT_EQ(state.thumbsize, 2);
  EXPECT_EQ(state.selected, 29u);
  EXPECT_EQ(state.cell_width, 1000u / 6);

  EXPECT_EQ(press(XK_KP_Add), 1);
  EXPECT_EQ(press(XK_plus), 1);  // level 1 is the largest: nothing changes
  EXPECT_EQ(state.thumbsize, 1);
  EXPECT_EQ(state.selected, 11u);

  EXPECT_EQ(press(XK_minus), 1);
  EXPECT_EQ(press(XK_KP_Subtract), 1);
  EXPECT_EQ(press(XK_minus), 1);  // level 3 is the smallest
  EXPECT_EQ(state.thumbsize, 3);
  EXPECT_EQ(state.selected, 11u);
  EXPECT_EQ(state.cell_width, 1000u / 9);
}

TEST_F(Navigation, QuitKeysSetQuitAndRedrawOnlyTheLabels) {
  for (KeySym key : {XK_q, XK_Escape}) {
    make_list(3, 2);
    state.quit = 0;
    EXPECT_EQ(press(key), 0);
    EXPECT_EQ(state.quit, 1);
  }
}

TEST_F(Navigation, EmptyListLeavesTopAlone) {
  make_list(0, 2);
  for (KeySym key : {XK_Down, XK_Up, XK_Left, XK_Right, XK_Next, XK_Prior, XK_End, XK_Home}) {
    press(key);
    EXPECT_EQ(state.top, nullptr);
    EXPECT_EQ(state.selected, 0u);
  }
}

}  // namespace
