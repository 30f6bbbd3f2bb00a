// Collects the rows of a decode into an Image. Formats that cannot decode at reduced scale hand
// their rows over as they decode them; with a size wish, the builder averages them down by the
// largest whole factor whose output still covers the image fitted into the wish, so only the
// reduced image is held. Internal to the format modules.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "formats/formats.h"

class ImageBuilder {
 public:
  // Starts an image of width x height source pixels, with an alpha plane when asked. False
  // when the size is empty or over max_image_pixels, or memory cannot be had.
  bool start(std::uint64_t width, std::uint64_t height, Wish wish, bool alpha = false);
  // Where source row y is to be written: width x rgb_channels bytes. Rows may arrive top down
  // or bottom up, each exactly once.
  std::uint8_t* row(std::uint32_t y);
  // Where source row y's opacity is to be written, width bytes, for an image started with alpha.
  std::uint8_t* alpha_row(std::uint32_t y);
  // Takes the row written at row(y).
  void commit(std::uint32_t y);
  // Takes source rows y to y + rows - 1 as all one colour, without rows to write: the rows a
  // short file never reached, at the cost of the output's size rather than the source's.
  void fill(std::uint32_t y, std::uint32_t rows, const std::uint8_t (&colour)[rgb_channels]);
  // The finished image. Rows never committed stay black, so a truncated file shows what it
  // held.
  std::unique_ptr<Image> finish();

  std::uint32_t factor() const { return factor_; }

 private:
  void flush();
  void commit_with_alpha();

  std::unique_ptr<Image> image_;
  std::uint32_t source_width_ = 0;
  std::uint32_t source_height_ = 0;
  std::uint32_t factor_ = 1;
  std::vector<std::uint8_t> scratch_;        // one source row, when averaging
  std::vector<std::uint8_t> alpha_scratch_;  // its opacity
  std::vector<std::uint32_t> sums_;          // channel sums of the output row being gathered
  std::vector<std::uint32_t> alpha_sums_;    // with alpha: the colours above are premultiplied
  std::int64_t band_ = -1;                   // output row the sums belong to, or none
  std::uint32_t band_rows_ = 0;              // source rows gathered into it
};
