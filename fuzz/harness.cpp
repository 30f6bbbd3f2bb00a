#include "harness.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "formats/animation.h"
#include "formats/colour.h"
#include "formats/formats.h"

namespace {

constexpr std::uint32_t max_rows_read = 1024;
constexpr std::size_t max_row_samples = 4096;

// A thumbnail cell: the wish the grid decodes with.
constexpr Wish thumbnail_wish = {166, 120};
// The view's wish for a small window. Images up to this size decode in full, as at actual
// pixels; larger ones through the reduced path, so a few bytes claiming a gigapixel cost the
// fuzzer the pixels of a small window instead of seconds of writing rows no one reads. Both
// paths are reached either way: the inputs the fuzzer makes are mostly small.
constexpr Wish view_wish = {256, 256};

const std::string& input_path() {
  static const std::string path = [] {
    char name[] = "/tmp/pictra-fuzz-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) std::abort();
    close(fd);
    return std::string(name);
  }();
  return path;
}

void write_input(const std::uint8_t* data, std::size_t size) {
  std::FILE* file = std::fopen(input_path().c_str(), "wb");
  if (!file) std::abort();
  if (size && std::fwrite(data, 1, size, file) != size) std::abort();
  std::fclose(file);
}

void remove_input() {
  unlink(input_path().c_str());
}

// Reads the raster, as drawing does, and checks the image keeps its own promises.
void read_image(const Image& image, Wish wish) {
  const std::size_t bytes = std::size_t{image.width} * image.height * rgb_channels;
  if (image.width == 0 || image.height == 0 || image.rgb.size() != bytes ||
      std::uint64_t{image.width} * image.height > max_image_pixels || image.pages == 0 ||
      image.full_width < image.width || image.full_height < image.height ||
      (image.full_width <= wish.width && image.full_height <= wish.height &&
       (image.full_width != image.width || image.full_height != image.height)) ||
      (image.alpha.size() != 0 && image.alpha.size() != bytes / rgb_channels)) {
    std::abort();
  }
  // Huge images are read on a lattice of rows: reading gigabytes would only measure memory
  // speed, and the decoders' own writes are what the sanitizers check.
  const std::size_t row_bytes = std::size_t{image.width} * rgb_channels;
  const std::uint32_t step = std::max<std::uint32_t>(1, image.height / max_rows_read);
  unsigned sum = 0;
  for (std::uint32_t y = 0; y < image.height; y += step) {
    const std::uint8_t* row = image.row(y);
    for (std::size_t i = 0; i < row_bytes;
         i += std::max<std::size_t>(1, row_bytes / max_row_samples))
      sum += row[i];
  }
  // Keep the reads from being optimised away.
  volatile unsigned sink = sum;
  (void)sink;
}

// The canvas pixels composed for one input at most: a few bytes can state a 4096 x 4096 canvas
// and a thousand empty frames, each a copy of it, which would measure memcpy, not the reader.
constexpr std::uint64_t max_composed_pixels = std::uint64_t{1} << 22;

// Plays an animation as the view does: every frame (within the pixel budget), then the first
// again after a rewind, each frame read like an image.
void play(const ImageFormat& format) {
  const auto reader = format.open_animation(input_path().c_str());
  if (!reader) return;
  const std::uint64_t canvas = std::uint64_t{reader->width()} * reader->height();
  std::uint64_t composed = 0;
  AnimationFrame frame;
  while (composed < max_composed_pixels && reader->next(frame)) {
    if (frame.image->width != reader->width() || frame.image->height != reader->height()) {
      std::abort();
    }
    read_image(*frame.image, {});
    composed += canvas;
  }
  if (reader->rewind() && reader->next(frame)) read_image(*frame.image, {});
}

}  // namespace

int fuzz_format(int format, const std::uint8_t* data, std::size_t size) {
  static const bool initialised = [] {
    init_formats();
    input_path();
    std::atexit(remove_input);  // after the path exists, so it is still there at exit
    return true;
  }();
  (void)initialised;
  write_input(data, size);
  const ImageFormat& f = formats[format];
  // Every input both ways: for a large view window and with a cell-sized wish (the grid).
  for (const Wish wish : {view_wish, thumbnail_wish}) {
    if (const auto image = f.load(input_path().c_str(), "", wish)) {
      // The colours as load_image finishes them: composited, the file's profile parsed and
      // applied.
      colour::composite(*image);
      colour::to_display_colours(*image);
      read_image(*image, wish);
    }
  }
  f.list_pages(input_path().c_str());
  if (f.open_animation) play(f);
  return 0;
}
