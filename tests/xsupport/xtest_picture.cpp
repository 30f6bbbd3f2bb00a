// Pictures at the harness's depth: sizes, refused sizes, and pixels that reach the server as the
// visual's pixel values.
// GoogleTest before Xlib: X.h defines None, a name GoogleTest uses.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <climits>
#include <csignal>
#include <cstdint>
#include <cstring>

#include "support/xpixels.h"
#include "xsupport/xsupport.h"

namespace {

using pictra_test::expected_pixel;

class PictureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    x_Init(nullptr);
    bpp = static_cast<std::uint64_t>(state.bits_per_pixel);
  }
  void TearDown() override { x_Cleanup(0); }
  std::uint64_t bpp = 0;
};

TEST_F(PictureTest, SizesOfCreatedPictures) {
  struct Case {
    std::uint64_t width, height;
  };
  for (const Case& c : {Case{1, 1}, Case{100, 50}, Case{37, 3}}) {
    Picture* picture = x_CreatePicture(c.width, c.height, bpp);
    ASSERT_NE(picture, nullptr) << c.width << "x" << c.height;
    EXPECT_EQ(picture->width, c.width);
    EXPECT_EQ(picture->height, c.height);
    EXPECT_EQ(picture->depth, bpp);
    ASSERT_NE(picture->ximage, nullptr);
    EXPECT_EQ(picture->ximage->data, reinterpret_cast<char*>(picture->data));
    EXPECT_EQ(static_cast<std::uint64_t>(picture->ximage->bytes_per_line), c.width * bpp / 8);
    EXPECT_EQ(picture->ximage->bits_per_pixel, state.bits_per_pixel);
    EXPECT_EQ(picture->ximage->depth, state.visual_depth);
    x_FreePicture(picture);
  }
  // A 100x50 Picture of 16 bits per pixel has rows of 200 bytes (checked above where the
  // display gives 16 bits); the 24-bit pad is refused by the X library on every display.
  EXPECT_EQ(x_CreatePicture(1, 1, 24), nullptr);
}

TEST_F(PictureTest, RefusesSizesTheXImageCannotDescribe) {
  const std::uint64_t bytes = bpp / 8;
  struct Case {
    std::uint64_t width, height;
    const char* why;
  };
  const Case cases[] = {
      {UINT64_MAX, 2, "width x height wraps"},
      {std::uint64_t{1} << 31, std::uint64_t{1} << 31, "width x height x depth wraps"},
      {std::uint64_t{1} << 32, 1, "width beyond an unsigned int"},
      {std::uint64_t{INT_MAX} + 1, 1, "width beyond XImage's int"},
      {1, std::uint64_t{INT_MAX} + 1, "height beyond XImage's int"},
      {std::uint64_t{INT_MAX} / bytes + 1, 1, "bytes per line beyond an int"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(x_CreatePicture(c.width, c.height, bpp), nullptr) << c.why;
  }
}

// Every pixel written with x_PutPixel must arrive at the server as the visual's value for that
// colour (computed independently), at its place: this checks the buffer layout, the row length
// the X image is given and the byte order together.
TEST_F(PictureTest, PixelsReachTheServerAtTheirPlaces) {
  constexpr unsigned width = 37, height = 11;  // odd width: rows are not padded
  Picture* picture = x_CreatePicture(width, height, bpp);
  ASSERT_NE(picture, nullptr);
  auto colour = [](unsigned x, unsigned y) {
    return static_cast<int>((x * 0x07F301u + y * 0x1A2B3Cu) & 0xFFFFFFu);
  };
  for (unsigned y = 0; y < height; ++y) {
    for (unsigned x = 0; x < width; ++x)
      x_PutPixel(picture, x, y, colour(x, y));
  }

  // The last pixel is the last unit of the buffer.
  const std::uint32_t last = x_MakeColor(colour(width - 1, height - 1));
  const unsigned char* end = picture->data + width * height * bpp / 8;
  switch (bpp) {
    case 8:
      EXPECT_EQ(end[-1], last);
      break;
    case 16: {
      std::uint16_t unit;
      std::memcpy(&unit, end - sizeof unit, sizeof unit);
      EXPECT_EQ(unit, last);
      break;
    }
    default: {
      std::uint32_t unit;
      std::memcpy(&unit, end - sizeof unit, sizeof unit);
      EXPECT_EQ(unit, last);
    }
  }

  Display* display = state.display;
  const Pixmap pixmap = XCreatePixmap(display, RootWindow(display, state.screen), width, height,
                                      static_cast<unsigned>(state.visual_depth));
  GC gc = XCreateGC(display, pixmap, 0, nullptr);
  XPutImage(display, pixmap, gc, picture->ximage, 0, 0, 0, 0, width, height);
  XImage* back = XGetImage(display, pixmap, 0, 0, width, height, AllPlanes, ZPixmap);
  ASSERT_NE(back, nullptr);
  for (unsigned y = 0; y < height; ++y) {
    for (unsigned x = 0; x < width; ++x) {
      ASSERT_EQ(XGetPixel(back, static_cast<int>(x), static_cast<int>(y)),
                expected_pixel(display, colour(x, y)))
          << "at " << x << "," << y;
    }
  }
  XDestroyImage(back);
  XFreeGC(display, gc);
  XFreePixmap(display, pixmap);
  x_FreePicture(picture);
}

TEST_F(PictureTest, FreeingNothingDoesNothing) {
  x_FreePicture(nullptr);
  Picture* slot = nullptr;
  clear_picture(slot);
  EXPECT_EQ(slot, nullptr);
  slot = x_CreatePicture(4, 4, bpp);
  ASSERT_NE(slot, nullptr);
  clear_picture(slot);  // the leak checker sees whether it was released
  EXPECT_EQ(slot, nullptr);
}

TEST_F(PictureTest, PutPixelOutsideAborts) {
  Picture* picture = x_CreatePicture(5, 3, bpp);
  ASSERT_NE(picture, nullptr);
  const char* message = "xsupport.*x_PutPixel.*Assertion `x<img->width && y<img->height' failed";
  EXPECT_EXIT(x_PutPixel(picture, 5, 0, 0), ::testing::KilledBySignal(SIGABRT), message);
  EXPECT_EXIT(x_PutPixel(picture, 0, 3, 0), ::testing::KilledBySignal(SIGABRT), message);
  EXPECT_EXIT(x_PutPixel(picture, UINT64_MAX, 0, 0), ::testing::KilledBySignal(SIGABRT), message);
  x_FreePicture(picture);
}

}  // namespace
