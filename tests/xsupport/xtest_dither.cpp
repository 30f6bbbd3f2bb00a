// x_PutRGB and x_FillPicture at the harness's depth, read back from the server: a flat colour
// between two levels becomes a mix of exactly those two in the proportion that averages to it;
// black, white and 8-bit channels stay exact; the same raster gives the same pixels every time.
// GoogleTest before Xlib: X.h defines None, a name GoogleTest uses.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <thread>
#include <vector>

#include "support/xpixels.h"
#include "xsupport/xsupport.h"

namespace {

using namespace pictra_test;

constexpr int channel_count = 3;
constexpr int channel_max = 255;

class Dither : public ::testing::Test {
 protected:
  void SetUp() override {
    x_Init(nullptr);
    bpp = static_cast<std::uint64_t>(state.bits_per_pixel);
  }
  void TearDown() override { x_Cleanup(0); }

  Picture* picture(std::uint64_t width, std::uint64_t height) {
    Picture* made = x_CreatePicture(width, height, bpp);
    EXPECT_NE(made, nullptr);
    return made;
  }

  // The Picture's pixels as the server has them, after a round trip through a pixmap.
  WindowPixels served(const Picture* img) {
    Display* display = state.display;
    const auto width = static_cast<unsigned>(img->width),
               height = static_cast<unsigned>(img->height);
    const Pixmap pixmap = XCreatePixmap(display, RootWindow(display, state.screen), width, height,
                                        static_cast<unsigned>(state.visual_depth));
    GC gc = XCreateGC(display, pixmap, 0, nullptr);
    XPutImage(display, pixmap, gc, img->ximage, 0, 0, 0, 0, width, height);
    XImage* back = XGetImage(display, pixmap, 0, 0, width, height, AllPlanes, ZPixmap);
    WindowPixels pixels{width, height, {}};
    for (unsigned y = 0; y < height; ++y) {
      for (unsigned x = 0; x < width; ++x) {
        pixels.pixels.push_back(
            static_cast<std::uint32_t>(XGetPixel(back, static_cast<int>(x), static_cast<int>(y))));
      }
    }
    XDestroyImage(back);
    XFreeGC(display, gc);
    XFreePixmap(display, pixmap);
    return pixels;
  }

  std::vector<std::uint8_t> raster(std::uint64_t width, std::uint64_t height,
                                   auto colour_at) const {
    std::vector<std::uint8_t> rgb;
    for (std::uint64_t y = 0; y < height; ++y) {
      for (std::uint64_t x = 0; x < width; ++x) {
        const int colour = colour_at(x, y);
        for (int c = 0; c < channel_count; ++c)
          rgb.push_back(static_cast<std::uint8_t>(channel_of(colour, c)));
      }
    }
    return rgb;
  }

  std::uint64_t bpp = 0;
};

TEST_F(Dither, FlatColourMixesTheTwoLevelsAroundIt) {
  constexpr std::uint64_t side = 96;
  // Between levels on every visual below 8 bits; exactly on a level of the cube (51, 204) and
  // of every TrueColor field (0x21 is 5-bit level 4, 0x82 6-bit level 32).
  const int colours[] = {0x808080, 0x1a4d99, 0xc8643c, 0x33cc21, 0x218221, 0x010203, 0xfefdfc};
  for (int colour : colours) {
    SCOPED_TRACE(testing::Message() << "colour " << std::hex << colour);
    const auto rgb = raster(side, side, [&](std::uint64_t, std::uint64_t) { return colour; });
    Picture* put = picture(side, side);
    ASSERT_NE(put, nullptr);
    x_PutRGB(put, 0, 0, rgb.data(), side, side, side * channel_count);
    const WindowPixels pixels = served(put);

    for (int c = 0; c < channel_count; ++c) {
      SCOPED_TRACE(testing::Message() << "channel " << c);
      const int value = channel_of(colour, c);
      const std::vector<int>& levels = channel_levels(state.display, c);
      // The levels at or below and at or above the value: one and the same when it is a level.
      const int below = *std::prev(std::upper_bound(levels.begin(), levels.end(), value));
      const int above = *std::lower_bound(levels.begin(), levels.end(), value);
      std::map<int, int> seen;  // shown value -> pixels
      double sum = 0;
      for (std::uint32_t pixel : pixels.pixels) {
        const int shown = channel_of(pixel_to_rgb(state.display, pixel), c);
        ++seen[shown];
        sum += shown;
      }
      for (const auto& [shown, count] : seen) {
        EXPECT_TRUE(shown == below || shown == above)
            << "level " << shown << " in " << count << " pixels, want " << below << " or " << above;
      }
      if (below != above) {
        EXPECT_EQ(seen.size(), 2u) << "not a mix";
      }
      // The share of the upper level is (value - below) / (above - below): the mean is the value,
      // short of the errors carried out of the raster at its right and bottom edges, at most
      // half a step from each of their 2 x side pixels.
      const double mean = sum / static_cast<double>(side * side);
      EXPECT_NEAR(mean, value, static_cast<double>(above - below) / side);
    }

    // A fill of the colour is the same mix as an image of it.
    Picture* filled = picture(side, side);
    ASSERT_NE(filled, nullptr);
    x_FillPicture(filled, colour);
    EXPECT_EQ(std::memcmp(filled->data, put->data, side * side * bpp / 8), 0);
    x_FreePicture(filled);
    x_FreePicture(put);
  }
}

// Noise in which a quarter of the channels are 0 or 255: those stay exact whatever error their
// neighbours carry, every other channel stays within the dither's reach of its value, and at 8
// bits per channel every pixel is x_MakeColor's.
TEST_F(Dither, BlackWhiteAndEightBitChannelsStayExact) {
  constexpr std::uint64_t width = 211, height = 67;
  constexpr int near_ends = 60;
  std::mt19937 random(22);
  std::vector<int> colours(width * height);
  for (int& colour : colours) {
    colour = 0;
    for (int c = 0; c < channel_count; ++c) {
      // Values near the ends carry errors into the black and white beside them.
      const unsigned pick = random() % 8;
      const int near_end = static_cast<int>(random() % near_ends);
      const int value = pick == 0   ? 0
                        : pick == 1 ? channel_max
                        : pick < 4  ? near_end
                        : pick < 6  ? channel_max - near_end
                                    : static_cast<int>(random() % 256);
      colour = colour << 8 | value;
    }
  }
  const auto rgb = raster(width, height,
                          [&](std::uint64_t x, std::uint64_t y) { return colours[y * width + x]; });
  Picture* put = picture(width, height);
  ASSERT_NE(put, nullptr);
  x_PutRGB(put, 0, 0, rgb.data(), width, height, width * channel_count);
  const WindowPixels pixels = served(put);
  const bool eight_bits = channel_levels(state.display, 0).size() == 256 &&
                          channel_levels(state.display, 1).size() == 256 &&
                          channel_levels(state.display, 2).size() == 256;
  int wrong = 0;
  for (std::uint64_t i = 0; i < width * height; ++i) {
    const std::uint32_t pixel = pixels.pixels[i];
    const bool right = eight_bits ? pixel == expected_pixel(state.display, colours[i])
                                  : within_dither(state.display, pixel, colours[i]);
    bool extremes_exact = true;
    for (int c = 0; c < channel_count; ++c) {
      const int value = channel_of(colours[i], c);
      if (value == 0 || value == channel_max)
        extremes_exact &= channel_of(pixel_to_rgb(state.display, pixel), c) == value;
    }
    if ((!right || !extremes_exact) && ++wrong <= 3) {
      ADD_FAILURE() << "pixel " << i % width << "," << i / width << " shows " << std::hex
                    << pixel_to_rgb(state.display, pixel) << " for " << colours[i];
    }
  }
  EXPECT_EQ(wrong, 0);

  // Black and white Pictures are the pixel values of black and white throughout.
  for (int colour : {0x000000, 0xffffff}) {
    x_FillPicture(put, colour);
    const WindowPixels filled = served(put);
    EXPECT_EQ(std::count(filled.pixels.begin(), filled.pixels.end(),
                         expected_pixel(state.display, colour)),
              static_cast<std::ptrdiff_t>(width * height))
        << std::hex << colour;
  }
  x_FreePicture(put);
}

// The dither starts afresh at every call: a raster put into a larger Picture, from rows with
// padding, gives the pixels it gives on its own, on every redraw, and leaves the rest alone.
TEST_F(Dither, SameRasterGivesTheSamePixels) {
  constexpr std::uint64_t width = 50, height = 30, padding = 7, left = 13, top = 9;
  constexpr std::uint64_t row_bytes = width * channel_count + padding;
  auto smooth = [](std::uint64_t x, std::uint64_t y) {
    return static_cast<int>((40 + x * 3) << 16 | (90 + y * 2) << 8 | (200 - x - y));
  };
  std::vector<std::uint8_t> rgb(row_bytes * height, 0xee);  // the padding must not be read
  const auto tight = raster(width, height, smooth);
  for (std::uint64_t y = 0; y < height; ++y) {
    std::memcpy(&rgb[y * row_bytes], &tight[y * width * channel_count], width * channel_count);
  }

  Picture* alone = picture(width, height);
  Picture* inside = picture(100, 60);
  ASSERT_TRUE(alone && inside);
  x_PutRGB(alone, 0, 0, tight.data(), width, height, width * channel_count);
  const std::uint32_t background_rgb = 0x000000;
  x_FillPicture(inside, background_rgb);
  const std::uint32_t background = x_MakeColor(background_rgb);

  for (int redraw = 0; redraw < 2; ++redraw) {
    SCOPED_TRACE(testing::Message() << "draw " << redraw);
    // Something else between the draws: a different raster over the same place.
    const auto other = raster(width, height, [](std::uint64_t x, std::uint64_t) {
      return static_cast<int>(x * 0x050301);
    });
    x_PutRGB(inside, left, top, other.data(), width, height, width * channel_count);
    x_PutRGB(inside, left, top, rgb.data(), width, height, row_bytes);
    const WindowPixels got = served(inside);
    const WindowPixels want = served(alone);
    int wrong = 0;
    for (unsigned y = 0; y < got.height; ++y) {
      for (unsigned x = 0; x < got.width; ++x) {
        const bool in_raster = x >= left && x < left + width && y >= top && y < top + height;
        const std::uint32_t expected = in_raster ? want.at(x - left, y - top) : background;
        wrong += got.at(x, y) != expected;
      }
    }
    EXPECT_EQ(wrong, 0);
  }
  x_FreePicture(alone);
  x_FreePicture(inside);
}

// Thumbnails may be converted on several threads at once: each gets the pixels it gets alone.
TEST_F(Dither, ThreadsConvertingAtOnceGetTheirOwnPixels) {
  constexpr int threads = 4;
  constexpr int repeats = 20;
  constexpr std::uint64_t width = 160, height = 120;
  std::vector<std::vector<std::uint8_t>> rasters;
  std::vector<Picture*> alone, together;
  for (int t = 0; t < threads; ++t) {
    rasters.push_back(raster(width, height, [t](std::uint64_t x, std::uint64_t y) {
      return static_cast<int>((x * (t + 1) + y * 3) & 0xff) << 16 |
             static_cast<int>((y * (t + 2)) & 0xff) << 8 |
             static_cast<int>((x + y + t * 40) & 0xff);
    }));
    alone.push_back(picture(width, height));
    together.push_back(picture(width, height));
    ASSERT_TRUE(alone.back() && together.back());
    x_PutRGB(alone.back(), 0, 0, rasters.back().data(), width, height, width * channel_count);
  }
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      for (int i = 0; i < repeats; ++i)
        x_PutRGB(together[t], 0, 0, rasters[t].data(), width, height, width * channel_count);
    });
  }
  for (std::thread& worker : workers)
    worker.join();
  for (int t = 0; t < threads; ++t) {
    EXPECT_EQ(std::memcmp(alone[t]->data, together[t]->data, width * height * bpp / 8), 0)
        << "thread " << t;
    x_FreePicture(alone[t]);
    x_FreePicture(together[t]);
  }
}

TEST_F(Dither, RasterOutsideThePictureAborts) {
  Picture* small = picture(5, 3);
  ASSERT_NE(small, nullptr);
  const std::uint8_t rgb[6 * 4 * channel_count] = {};
  const char* message = "x_PutRGB.*Assertion `x<img->width && y<img->height' failed";
  EXPECT_EXIT(x_PutRGB(small, 0, 0, rgb, 6, 1, 18), ::testing::KilledBySignal(SIGABRT), message);
  EXPECT_EXIT(x_PutRGB(small, 1, 0, rgb, 5, 1, 15), ::testing::KilledBySignal(SIGABRT), message);
  EXPECT_EXIT(x_PutRGB(small, 0, 3, rgb, 1, 1, 3), ::testing::KilledBySignal(SIGABRT), message);
  x_PutRGB(small, 5, 3, rgb, 0, 0, 0);  // nothing, at the far corner: allowed
  x_FreePicture(small);
}

}  // namespace
