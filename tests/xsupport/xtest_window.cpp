// The main window's title and colormap on a real server.
// gtest before Xlib, whose macros (None, Bool, Status) clash with it.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "main/state.h"
#include "support/driver.h"
#include "xsupport/xsupport.h"

namespace {

struct Title {
  Atom encoding = None;
  std::string bytes;  // as stored
  std::string text;   // decoded in the current locale
};

Title read_title() {
  Title title;
  XTextProperty property{};
  if (!XGetWMName(state.display, state.window, &property)) return title;
  title.encoding = property.encoding;
  title.bytes.assign(reinterpret_cast<const char*>(property.value), property.nitems);
  char** list = nullptr;
  int count = 0;
  if (XmbTextPropertyToTextList(state.display, &property, &list, &count) >= Success && count == 1) {
    title.text = list[0];
  }
  if (list) XFreeStringList(list);
  XFree(property.value);
  return title;
}

class WindowX : public ::testing::Test {
 protected:
  void SetUp() override {
    x_Init(nullptr);
    ASSERT_NE(state.display, nullptr);
    state.config = Config{50, 10, 400, 300};
    x_OpenWindow();
  }
  void TearDown() override {
    std::setlocale(LC_ALL, "C");
    if (state.display) x_Cleanup(0);
    state = ProgramState{};
  }
};

TEST_F(WindowX, TitleIsBarePrefixAfterOpening) {
  const Title title = read_title();
  EXPECT_EQ(title.encoding, XA_STRING);
  EXPECT_EQ(title.text, "pictra-0.31 - ");
}

TEST_F(WindowX, TitleNameAndSizeSuffix) {
  const std::string long_name(600, 'n');
  const std::string biggest = " (18446744073709551615x18446744073709551615)";
  struct Case {
    std::string name;
    std::uint64_t width;
    std::uint64_t height;
    std::string expected;
    int percent = 0;
  };
  const Case cases[] = {
      {"photo.jpg", 800, 600, "pictra-0.31 - photo.jpg (800x600)"},
      {"photo.jpg", 0, 600, "pictra-0.31 - photo.jpg"},
      {"photo.jpg", 800, 0, "pictra-0.31 - photo.jpg"},
      {"/home/someone/pictures", 0, 0, "pictra-0.31 - /home/someone/pictures"},
      {"Help", 0, 0, "pictra-0.31 - Help"},
      {"", 1, 1, "pictra-0.31 -  (1x1)"},
      // Only the suffix is limited: the name is taken whole, the size cut after 32 characters.
      {long_name, 5, 7, "pictra-0.31 - " + long_name + " (5x7)"},
      {"big", UINT64_MAX, UINT64_MAX, "pictra-0.31 - big" + biggest.substr(0, 32)},
      // A zoom follows the size, and only a size.
      {"IMG_0001.jpg", 6000, 4000, "pictra-0.31 - IMG_0001.jpg (6000x4000) 100%", 100},
      {"a.jpg", 3, 2, "pictra-0.31 - a.jpg (3x2) 13%", 13},
      {"a.jpg", 0, 0, "pictra-0.31 - a.jpg", 100},
  };
  for (const Case& c : cases) {
    x_SetTitle(c.name.c_str(), c.width, c.height, c.percent);
    const Title title = read_title();
    EXPECT_EQ(title.encoding, XA_STRING) << c.expected;
    EXPECT_EQ(title.text, c.expected);
  }
}

// The UTF-8 names a window manager reads beside WM_NAME.
void expect_utf8_names(const std::string& expected) {
  for (const char* name : {"_NET_WM_NAME", "_NET_WM_ICON_NAME"})
    EXPECT_EQ(pictra_test::window_property(state.display, state.window, name, "UTF8_STRING"),
              expected);
}

TEST_F(WindowX, Utf8NamesShowCorrectly) {
  // Under the C locale a UTF-8 name cannot be converted; the EWMH names still carry it.
  ASSERT_NE(std::setlocale(LC_ALL, "C"), nullptr);
  const std::string photos = "/srv/фото";
  x_SetTitle(photos.c_str(), 0, 0);
  expect_utf8_names("pictra-0.31 - " + photos);

  ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr);
  ASSERT_TRUE(XSupportsLocale());
  const std::string names[] = {
      "/home/jörg/Grüße",              // Latin-1 letters only
      "/srv/фото/日本の写真 (2).jpg",  // needs more than Latin-1
  };
  for (const std::string& name : names) {
    x_SetTitle(name.c_str(), 0, 0);
    EXPECT_EQ(read_title().text, "pictra-0.31 - " + name);
    expect_utf8_names("pictra-0.31 - " + name);
  }

  // Not valid UTF-8 (a Latin-1 name): kept whole as it is, not cut at the bad byte; the UTF-8
  // names read it as the Latin-1 that a STRING is.
  const std::string latin1 = "caf\xE9 cr\xE8me.jpg";
  x_SetTitle(latin1.c_str(), 0, 0);
  const Title title = read_title();
  EXPECT_EQ(title.encoding, XA_STRING);
  EXPECT_EQ(title.bytes, "pictra-0.31 - " + latin1);
  expect_utf8_names("pictra-0.31 - café crème.jpg");
}

TEST_F(WindowX, ColormapFollowsTheVisual) {
  XWindowAttributes attributes{};
  ASSERT_TRUE(XGetWindowAttributes(state.display, state.window, &attributes));
  const char* depth = std::getenv("PICTRA_TEST_DEPTH");
  ASSERT_NE(depth, nullptr);
  if (std::string(depth) == "8") {
    ASSERT_NE(state.cube_colormap, 0u);
    EXPECT_EQ(attributes.colormap, state.cube_colormap);
  } else {
    EXPECT_EQ(attributes.colormap, DefaultColormap(state.display, state.screen));
  }
  EXPECT_EQ(attributes.border_width, 0);
  // Releases and button-1 motion (as hints) are for the view's click and drag.
  EXPECT_EQ(attributes.your_event_mask, KeyPressMask | ButtonPressMask | ButtonReleaseMask |
                                            Button1MotionMask | PointerMotionHintMask |
                                            ExposureMask | StructureNotifyMask);
}

}  // namespace
