// Images with alpha come out composited over black, as ImageMagick flattens them, and keep
// their opacity for the view's checkerboard.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "formats/formats.h"
#include "support/tempdir.h"

namespace {

using pictra_test::command_output;
using pictra_test::TempDir;

void run(const std::string& command) {
  ASSERT_EQ(std::system(("(" + command + ") >/dev/null 2>&1").c_str()), 0) << command;
}

TEST(Transparency, CompositedOverBlackAsImageMagickFlattens) {
  init_formats();
  TempDir dir;
  // Colours across, opacity from opaque at the top to clear at the bottom.
  const std::string source = dir.file("source.png");
  run("convert -size 40x30 gradient:red-blue \\( -size 40x30 gradient:white-black \\) -alpha off "
      "-compose copyopacity -composite -depth 8 '" +
      source + "'");
  // Each command makes OUT from IN.
  const std::pair<const char*, std::string> encodings[] = {
      {"png", "convert IN OUT"},
      {"webp", "convert IN -define webp:lossless=true -define webp:exact=true OUT"},
      {"tif", "convert IN -define tiff:alpha=unassociated OUT"},
      {"assoc.tif", "convert IN -define tiff:alpha=associated OUT"},
      {"gif", "convert IN OUT"},
      {"bmp", "convert IN -define bmp:format=bmp4 OUT"},
      {"jxl", "cjxl IN OUT -d 0"},
      {"avif", "avifenc -s 9 IN OUT"}};
  for (const auto& [extension, command] : encodings) {
    const std::string file = dir.file(std::string("alpha.") + extension);
    std::string filled = command;
    filled.replace(filled.find("IN"), 2, "'" + source + "'");
    filled.replace(filled.find("OUT"), 3, "'" + file + "'");
    run(filled);
    // ImageMagick reads no JPEG XL, which is lossless here, so its source serves; so does lossy
    // AVIF's, which is only held to come out near.
    const bool lossy = extension == std::string("avif");
    const bool from_source = lossy || extension == std::string("jxl");
    const std::string flat = command_output("convert '" + (from_source ? source : file) +
                                            "' -background black -alpha remove -depth 8 rgb:-");
    for (const Wish wish : {Wish{}, Wish{20, 15}}) {
      const auto image = load_image(file.c_str(), "", wish);
      ASSERT_TRUE(image) << file;
      EXPECT_EQ(image->alpha.size(), std::size_t(image->width) * image->height) << file;
      if (wish.width != 0) continue;
      ASSERT_EQ(flat.size(), image->rgb.size()) << file;
      int worst = 0;
      for (std::size_t i = 0; i < flat.size(); ++i)
        worst = std::max(worst, std::abs(image->rgb[i] - std::uint8_t(flat[i])));
      EXPECT_LE(worst, lossy ? 12 : 1) << file;
    }
  }
}

}  // namespace
