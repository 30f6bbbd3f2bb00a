// The WebP module: decodes a file through libwebp into an Image. A still image decodes straight
// into the image, scaled by the library when a size wish asks for less than the full size; an
// animation shows its first frame, composed on its canvas by the library's animation decoder.
#include "formats/webp.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include <webp/decode.h>
#include <webp/demux.h>

namespace webp {
namespace {

// A RIFF file states its size in 32 bits after an 8-byte header; no WebP file is longer.
constexpr std::uint64_t max_file_bytes = (std::uint64_t{1} << 32) + 8;
constexpr std::size_t rgba_channels = 4;

// The file's bytes, read whole: the library decodes from memory.
bool read_file(const char* path, std::vector<std::uint8_t>& data) {
  std::FILE* file = open_image_file(path);
  if (!file) return false;
  struct stat status {};
  bool ok = fstat(fileno(file), &status) == 0 && status.st_size > 0 &&
            static_cast<std::uint64_t>(status.st_size) <= max_file_bytes;
  if (ok) {
    try {
      data.resize(static_cast<std::size_t>(status.st_size));
      ok = std::fread(data.data(), 1, data.size(), file) == data.size();
    } catch (const std::bad_alloc&) {
      ok = false;
    }
  }
  std::fclose(file);
  return ok;
}

// The output size for a wish: the image fitted into it, never more than the full size and never
// an empty side. The library scales to any size, so the fitted size itself is the smallest that
// covers it.
Size output_size(std::uint32_t width, std::uint32_t height, Wish wish) {
  if (wish.width == 0 || wish.height == 0) return {width, height};
  const Size fitted = fit_size(width, height, wish.width, wish.height);
  if (fitted.width >= width || fitted.height >= height) return {width, height};
  return {std::max<std::uint64_t>(fitted.width, 1), std::max<std::uint64_t>(fitted.height, 1)};
}

std::unique_ptr<Image> decode_still(const std::vector<std::uint8_t>& data,
                                    const WebPBitstreamFeatures& features, Wish wish) {
  const Size size = output_size(static_cast<std::uint32_t>(features.width),
                                static_cast<std::uint32_t>(features.height), wish);
  auto image = make_image(size.width, size.height);
  if (!image) return nullptr;
  image->full_width = static_cast<std::uint32_t>(features.width);
  image->full_height = static_cast<std::uint32_t>(features.height);

  WebPDecoderConfig config;
  if (!WebPInitDecoderConfig(&config)) return nullptr;
  if (size.width != image->full_width || size.height != image->full_height) {
    config.options.use_scaling = 1;
    config.options.scaled_width = static_cast<int>(size.width);
    config.options.scaled_height = static_cast<int>(size.height);
  }
  // MODE_RGB leaves alpha out: transparent pixels keep the colour the file stores for them, as
  // PNG's do, rather than being blended onto a background.
  config.output.colorspace = MODE_RGB;
  config.output.is_external_memory = 1;
  config.output.u.RGBA.rgba = image->rgb.data();
  config.output.u.RGBA.stride = static_cast<int>(image->width * rgb_channels);
  config.output.u.RGBA.size = image->rgb.size();
  const VP8StatusCode status = WebPDecode(data.data(), data.size(), &config);
  WebPFreeDecBuffer(&config.output);
  if (status != VP8_STATUS_OK) return nullptr;
  return image;
}

// The first frame of an animation, at full size: the animation decoder gives whole canvases
// only, as RGBA.
std::unique_ptr<Image> decode_first_frame(const std::vector<std::uint8_t>& data) {
  WebPAnimDecoderOptions options;
  if (!WebPAnimDecoderOptionsInit(&options)) return nullptr;
  options.color_mode = MODE_RGBA;
  options.use_threads = 0;
  const WebPData input = {data.data(), data.size()};
  WebPAnimDecoder* decoder = WebPAnimDecoderNew(&input, &options);
  if (!decoder) return nullptr;
  std::unique_ptr<Image> image;
  WebPAnimInfo info;
  std::uint8_t* canvas = nullptr;
  int timestamp = 0;
  if (WebPAnimDecoderGetInfo(decoder, &info) &&
      WebPAnimDecoderGetNext(decoder, &canvas, &timestamp)) {
    image = make_image(info.canvas_width, info.canvas_height);
  }
  if (image) {
    const std::size_t pixels = std::size_t{image->width} * image->height;
    for (std::size_t i = 0; i < pixels; ++i)
      std::memcpy(&image->rgb[i * rgb_channels], canvas + i * rgba_channels, rgb_channels);
  }
  WebPAnimDecoderDelete(decoder);
  return image;
}

}  // namespace

std::unique_ptr<Image> load(const char* path, const char* /*selector*/, Wish wish) {
  std::vector<std::uint8_t> data;
  if (!read_file(path, data)) return nullptr;
  WebPBitstreamFeatures features;
  if (WebPGetFeatures(data.data(), data.size(), &features) != VP8_STATUS_OK) return nullptr;
  // The header's size (the canvas, for an animation) is checked before the library allocates.
  if (features.width <= 0 || features.height <= 0 ||
      std::uint64_t(features.width) * std::uint64_t(features.height) > max_image_pixels) {
    return nullptr;
  }
  if (features.has_animation) return decode_first_frame(data);
  return decode_still(data, features, wish);
}

}  // namespace webp
