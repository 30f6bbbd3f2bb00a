// Orientation end to end: a directory of JPEGs and TIFFs of every orientation, browsed and
// viewed in the real binary. Thumbnails and view must show the picture as the camera meant,
// worked out from the tag's definition on the raw pixels; titles give the size as seen, and a
// turn goes on from the picture as seen. The pictures are flat colour blocks that every depth
// shows exactly, checked by the mean of a small area at each block's centre.
#include <gtest/gtest.h>  // before the X headers, whose macros clash with it

#include <X11/keysym.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <sstream>
#include <string>

#include "support/driver.h"
#include "support/geometry.h"
#include "support/oriented.h"
#include "support/tempdir.h"

namespace {

using namespace pictra_test;

constexpr char prefix[] = "pictra-0.31 - ";
constexpr unsigned window_width = 600;
constexpr unsigned window_height = 500;
// 600 x 500 at the start level: six columns of 100, five rows of 80 + 20.
constexpr int cell_width = 100;
constexpr int thumb_height = 80;
constexpr int label_band = 20;
constexpr int columns = 6;
// Half the side of the area averaged at a block centre, and how far its mean may be off.
constexpr int sample_radius = 2;
constexpr int colour_tolerance = 48;

// The picture as seen: size and colour at each pixel.
struct Picture {
  int width = 0;
  int height = 0;
  std::function<int(int, int)> rgb;
};

Picture shown(int orientation) {
  return {shown_width(orientation), shown_height(orientation),
          [orientation](int x, int y) { return shown_rgb(orientation, x, y); }};
}

// picture turned a quarter clockwise, from the definition of the turn.
Picture turned_clockwise(const Picture& picture) {
  return {picture.height, picture.width,
          [picture](int x, int y) { return picture.rgb(y, picture.height - 1 - x); }};
}

struct Fitted {
  int width = 0;
  int height = 0;
};
Fitted fit(const Picture& picture, int box_width, int box_height) {
  if (picture.width * box_height > box_width * picture.height)
    return {box_width, picture.height * box_width / picture.width};
  return {picture.width * box_height / picture.height, box_height};
}

// Checks that the area_width x area_height area at (left, top) of pixels shows picture fitted
// into it at its top left (a thumbnail) or centred (the view), black around it: the extent of
// what is not black, and the colour of every block of the picture.
::testing::AssertionResult shows(Display* display, const WindowPixels& pixels, int left, int top,
                                 int area_width, int area_height, const Picture& picture,
                                 bool centred = false) {
  const Fitted fitted = fit(picture, area_width, area_height);
  const int ox = centred ? (area_width - fitted.width) / 2 : 0;
  const int oy = centred ? (area_height - fitted.height) / 2 : 0;
  const std::uint32_t black = expected_pixel(display, 0);
  int right = -1, bottom = -1;
  for (int y = 0; y < area_height; ++y) {
    for (int x = 0; x < area_width; ++x) {
      if (pixels.at(left + x, top + y) == black) continue;
      right = std::max(right, x);
      bottom = std::max(bottom, y);
    }
  }
  std::ostringstream faults;
  if (right + 1 != ox + fitted.width || bottom + 1 != oy + fitted.height) {
    faults << " drawn to " << right + 1 << "x" << bottom + 1 << " for " << ox + fitted.width << "x"
           << oy + fitted.height << ";";
  }
  for (int by = 0; by * oriented_block < picture.height; ++by) {
    for (int bx = 0; bx * oriented_block < picture.width; ++bx) {
      const int px = bx * oriented_block + oriented_block / 2;
      const int py = by * oriented_block + oriented_block / 2;
      const int cx = left + ox + px * fitted.width / picture.width;
      const int cy = top + oy + py * fitted.height / picture.height;
      const int meant = picture.rgb(px, py);
      for (int shift : {16, 8, 0}) {
        int sum = 0, count = 0;
        for (int dy = -sample_radius; dy <= sample_radius; ++dy) {
          for (int dx = -sample_radius; dx <= sample_radius; ++dx, ++count)
            sum += pixel_to_rgb(display, pixels.at(cx + dx, cy + dy)) >> shift & 0xff;
        }
        if (std::abs(sum / count - (meant >> shift & 0xff)) > colour_tolerance) {
          faults << " block " << bx << "," << by << " at (" << cx << "," << cy << ") is "
                 << std::hex << pixel_to_rgb(display, pixels.at(cx, cy)) << " for " << meant
                 << std::dec << ";";
          break;
        }
      }
    }
  }
  if (faults.str().empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << faults.str();
}

struct File {
  std::string name;
  int orientation = 1;
};

TEST(Orientation, ThumbnailsViewTitlesAndTurnsFollowThePictureAsSeen) {
  TempDir home, dir;
  home.write(".pictrarc", geometry_file(window_width, window_height));
  // Listed after "/..": j1.jpg .. j8.jpg, then t1.tif .. t8.tif.
  std::vector<File> files;
  for (bool jpeg : {true, false}) {
    for (int orientation = 1; orientation <= 8; ++orientation) {
      const std::string name =
          std::string(jpeg ? "j" : "t") + std::to_string(orientation) + (jpeg ? ".jpg" : ".tif");
      const bool written =
          jpeg ? write_oriented_jpeg(dir.file(name),
                                     {.big_endian = orientation > 4, .orientation = orientation})
               : write_oriented_tiff(dir.file(name), orientation);
      ASSERT_TRUE(written) << name;
      files.push_back({name, orientation});
    }
  }

  Pictra pictra(PictraOptions{home.path(), dir.path(), {}, {}, false});
  Display* display = pictra.display();
  ASSERT_TRUE(pictra.wait_title(std::string(prefix) + dir.path())) << pictra.title();

  // Each thumbnail has the shape and the blocks of the picture as seen.
  const WindowPixels grid = pictra.pixels();
  for (std::size_t i = 0; i < files.size(); ++i) {
    const int cell = static_cast<int>(i) + 1;
    EXPECT_TRUE(shows(display, grid, cell % columns * cell_width,
                      cell / columns * (thumb_height + label_band), cell_width, thumb_height,
                      shown(files[i].orientation)))
        << files[i].name << " thumbnail";
  }

  // The view of each, stepping through them; the title gives the size as seen.
  auto view_shows = [&](const Picture& picture) {
    return shows(display, pictra.pixels(), 0, 0, window_width, window_height, picture, true);
  };
  int changes = pictra.title_changes();
  pictra.key(XK_Right);
  ASSERT_TRUE(pictra.wait_title_changes(++changes));
  pictra.key(XK_Return);
  for (const File& file : files) {
    const Picture picture = shown(file.orientation);
    const std::string title = std::string(prefix) + file.name + " (" +
                              std::to_string(picture.width) + "x" + std::to_string(picture.height) +
                              ")";
    ASSERT_TRUE(pictra.wait_title(title)) << pictra.title() << " for " << title;
    EXPECT_TRUE(view_shows(picture)) << file.name << " view";
    if (file.orientation == 6) {
      // Right turns the portrait the camera meant a quarter on: a landscape again, though not
      // the stored raster, which would have its blocks in other places. Left turns it back.
      changes = pictra.title_changes();
      pictra.key(XK_Right);
      ASSERT_TRUE(pictra.wait_title_changes(changes + 1));
      EXPECT_TRUE(view_shows(turned_clockwise(picture))) << file.name << " turned right";
      pictra.key(XK_Left);
      ASSERT_TRUE(pictra.wait_title_changes(changes + 2));
      EXPECT_TRUE(view_shows(picture)) << file.name << " turned back";
    }
    pictra.key(XK_Down);
  }
  pictra.key(XK_Escape);
  pictra.key(XK_q);
  const auto status = pictra.wait_exit();
  ASSERT_TRUE(status);
  EXPECT_EQ(exit_code(*status), 0);
}

}  // namespace
