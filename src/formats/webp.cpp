// The WebP module: decodes a file through libwebp into an Image, straight into the image and
// scaled by the library when a size wish asks for less than the full size. A still decode of an
// animation is its first frame; playing it, the library's animation decoder composes each frame.
#include "formats/webp.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include <webp/decode.h>
#include <webp/demux.h>

#include "formats/animation.h"

namespace webp {
namespace {

// A RIFF file states its size in 32 bits after an 8-byte header; no WebP file is longer.
constexpr std::uint64_t max_file_bytes = (std::uint64_t{1} << 32) + 8;

// The output size for a wish: the image fitted into it, never more than the full size and never
// an empty side. The library scales to any size, so the fitted size itself is the smallest that
// covers it.
Size output_size(std::uint32_t width, std::uint32_t height, Wish wish) {
  if (wish.width == 0 || wish.height == 0) return {width, height};
  const Size fitted = fit_size(width, height, wish.width, wish.height);
  if (fitted.width >= width || fitted.height >= height) return {width, height};
  return {std::max<std::uint64_t>(fitted.width, 1), std::max<std::uint64_t>(fitted.height, 1)};
}

// Decodes with alpha into its own buffer, then spreads colours and opacity into the image's
// rectangle; the rest of an animation's canvas stays transparent.
bool decode_with_alpha(WebPDecoderConfig& config, const std::uint8_t* bytes, std::size_t size,
                       Image& image, std::uint32_t x, std::uint32_t y, Size out) {
  constexpr std::size_t rgba = 4;
  std::vector<std::uint8_t> pixels;
  try {
    pixels.resize(out.width * out.height * rgba);
    if (image.alpha.size() == 0) image.alpha = Raster(std::size_t{image.width} * image.height);
  } catch (const std::bad_alloc&) {
    return false;
  }
  config.output.colorspace = MODE_RGBA;
  config.output.is_external_memory = 1;
  config.output.u.RGBA.rgba = pixels.data();
  config.output.u.RGBA.stride = static_cast<int>(out.width * rgba);
  config.output.u.RGBA.size = pixels.size();
  const VP8StatusCode status = WebPDecode(bytes, size, &config);
  WebPFreeDecBuffer(&config.output);
  if (status != VP8_STATUS_OK) return false;
  const std::uint8_t* in = pixels.data();
  for (std::uint64_t j = 0; j < out.height; ++j) {
    std::uint8_t* colour = image.row(static_cast<std::uint32_t>(y + j)) + x * rgb_channels;
    std::uint8_t* opacity = image.alpha.data() + (y + j) * image.width + x;
    for (std::uint64_t i = 0; i < out.width; ++i, in += rgba, colour += rgb_channels) {
      std::memcpy(colour, in, rgb_channels);
      opacity[i] = in[rgb_channels];
    }
  }
  return true;
}

// Decodes a bitstream of width x height into the out_width x out_height rectangle of image at
// (x, y), scaled by the library when the sizes differ; with its alpha when it has any.
bool decode_into(const std::uint8_t* bytes, std::size_t size, int width, int height, Image& image,
                 std::uint32_t x, std::uint32_t y, Size out, bool alpha) {
  WebPDecoderConfig config;
  if (!WebPInitDecoderConfig(&config)) return false;
  if (out.width != std::uint64_t(width) || out.height != std::uint64_t(height)) {
    config.options.use_scaling = 1;
    config.options.scaled_width = static_cast<int>(out.width);
    config.options.scaled_height = static_cast<int>(out.height);
  }
  if (alpha) return decode_with_alpha(config, bytes, size, image, x, y, out);
  const std::size_t stride = std::size_t{image.width} * rgb_channels;
  config.output.colorspace = MODE_RGB;
  config.output.is_external_memory = 1;
  config.output.u.RGBA.rgba = image.row(y) + std::size_t{x} * rgb_channels;
  config.output.u.RGBA.stride = static_cast<int>(stride);
  config.output.u.RGBA.size = (out.height - 1) * stride + out.width * rgb_channels;
  const VP8StatusCode status = WebPDecode(bytes, size, &config);
  WebPFreeDecBuffer(&config.output);
  return status == VP8_STATUS_OK;
}

std::unique_ptr<Image> decode_still(const std::vector<std::uint8_t>& data,
                                    const WebPBitstreamFeatures& features, Wish wish) {
  const Size size = output_size(static_cast<std::uint32_t>(features.width),
                                static_cast<std::uint32_t>(features.height), wish);
  auto image = make_image(size.width, size.height);
  if (!image) return nullptr;
  image->full_width = static_cast<std::uint32_t>(features.width);
  image->full_height = static_cast<std::uint32_t>(features.height);
  if (!decode_into(data.data(), data.size(), features.width, features.height, *image, 0, 0, size,
                   features.has_alpha != 0)) {
    return nullptr;
  }
  return image;
}

// An animation's first frame, drawn on its canvas as an animation decoder would draw it: over
// a fully transparent canvas, so blending keeps the frame's colours and the rest stays
// transparent. Decoded straight into the image (the library's animation decoder
// would hold two RGBA canvases besides). For a wish, the frame is scaled by the canvas's factor
// and placed where its corner lands: a 400-byte file put a small frame on a canvas of
// 9437185 x 64, which was otherwise held at full size.
std::unique_ptr<Image> decode_first_frame(const std::vector<std::uint8_t>& data, Wish wish) {
  const WebPData input = {data.data(), data.size()};
  WebPDemuxer* demuxer = WebPDemux(&input);
  if (!demuxer) return nullptr;
  const std::uint32_t canvas_width = WebPDemuxGetI(demuxer, WEBP_FF_CANVAS_WIDTH);
  const std::uint32_t canvas_height = WebPDemuxGetI(demuxer, WEBP_FF_CANVAS_HEIGHT);
  std::unique_ptr<Image> image;
  WebPIterator frame;
  if (WebPDemuxGetFrame(demuxer, 1, &frame)) {
    const bool inside = frame.width > 0 && frame.height > 0 && frame.x_offset >= 0 &&
                        frame.y_offset >= 0 &&
                        std::uint64_t(frame.x_offset) + frame.width <= canvas_width &&
                        std::uint64_t(frame.y_offset) + frame.height <= canvas_height;
    const Size size = output_size(canvas_width, canvas_height, wish);
    if (inside) image = make_image(size.width, size.height);
    if (image) {
      const std::uint64_t x = std::uint64_t(frame.x_offset) * size.width / canvas_width;
      const std::uint64_t y = std::uint64_t(frame.y_offset) * size.height / canvas_height;
      const Size out{
          std::clamp<std::uint64_t>(std::uint64_t(frame.width) * size.width / canvas_width, 1,
                                    size.width - x),
          std::clamp<std::uint64_t>(std::uint64_t(frame.height) * size.height / canvas_height, 1,
                                    size.height - y)};
      // A frame smaller than the canvas leaves the rest transparent.
      const bool alpha = frame.has_alpha || out.width < size.width || out.height < size.height;
      if (!decode_into(frame.fragment.bytes, frame.fragment.size, frame.width, frame.height, *image,
                       std::uint32_t(x), std::uint32_t(y), out, alpha)) {
        image.reset();
      }
    }
    WebPDemuxReleaseIterator(&frame);
  }
  WebPDemuxDelete(demuxer);
  if (image) {
    image->full_width = canvas_width;
    image->full_height = canvas_height;
  }
  return image;
}

// The ICCP chunk's profile; empty without one.
std::vector<std::uint8_t> icc_profile(const std::vector<std::uint8_t>& data) {
  std::vector<std::uint8_t> icc;
  const WebPData input = {data.data(), data.size()};
  WebPDemuxer* demuxer = WebPDemux(&input);
  if (!demuxer) return icc;
  WebPChunkIterator chunk;
  if ((WebPDemuxGetI(demuxer, WEBP_FF_FORMAT_FLAGS) & ICCP_FLAG) &&
      WebPDemuxGetChunk(demuxer, "ICCP", 1, &chunk)) {
    icc.assign(chunk.chunk.bytes, chunk.chunk.bytes + chunk.chunk.size);
    WebPDemuxReleaseChunkIterator(&chunk);
  }
  WebPDemuxDelete(demuxer);
  return icc;
}

// An animation as the library's animation decoder composes it: blended and disposed as each
// frame says, over a transparent canvas. Premultiplied, its colours are those over black, which
// is what dropping alpha then shows.
class Reader final : public AnimationReader {
 public:
  ~Reader() override {
    if (decoder_) WebPAnimDecoderDelete(decoder_);
  }
  bool open(const char* path);
  bool next(AnimationFrame& frame) override;
  bool rewind() override {
    WebPAnimDecoderReset(decoder_);
    last_timestamp_ = 0;
    return true;
  }

 private:
  std::vector<std::uint8_t> data_;  // the decoder reads from it to the end
  std::vector<std::uint8_t> icc_;   // the profile of every frame
  WebPAnimDecoder* decoder_ = nullptr;
  int last_timestamp_ = 0;  // where the last frame ended, in ms
};

bool Reader::open(const char* path) {
  if (!read_whole_file(path, max_file_bytes, data_)) return false;
  WebPBitstreamFeatures features;
  if (WebPGetFeatures(data_.data(), data_.size(), &features) != VP8_STATUS_OK ||
      !features.has_animation || features.width <= 0 || features.height <= 0 ||
      std::uint64_t(features.width) * std::uint64_t(features.height) > max_animation_pixels) {
    return false;
  }
  WebPAnimDecoderOptions options;
  if (!WebPAnimDecoderOptionsInit(&options)) return false;
  options.color_mode = MODE_rgbA;
  options.use_threads = 0;
  const WebPData input = {data_.data(), data_.size()};
  decoder_ = WebPAnimDecoderNew(&input, &options);
  WebPAnimInfo info;
  if (!decoder_ || !WebPAnimDecoderGetInfo(decoder_, &info) || info.frame_count < 2) return false;
  width_ = info.canvas_width;
  height_ = info.canvas_height;
  frame_count_ = info.frame_count;
  loop_count_ = info.loop_count;
  icc_ = icc_profile(data_);
  return true;
}

bool Reader::next(AnimationFrame& frame) {
  std::uint8_t* canvas = nullptr;
  int timestamp = 0;
  if (!WebPAnimDecoderHasMoreFrames(decoder_) ||
      !WebPAnimDecoderGetNext(decoder_, &canvas, &timestamp)) {
    return false;
  }
  auto image = make_image(width_, height_);
  if (!image) return false;
  constexpr std::size_t rgba_channels = 4;
  const std::size_t pixels = std::size_t{width_} * height_;
  std::uint8_t* out = image->rgb.data();
  for (std::size_t i = 0; i < pixels; ++i, out += rgb_channels)
    std::memcpy(out, canvas + i * rgba_channels, rgb_channels);
  image->full_width = width_;
  image->full_height = height_;
  image->colour.icc = icc_;
  frame.image = std::move(image);
  frame.duration_ms =
      frame_duration(static_cast<std::uint32_t>(std::max(timestamp - last_timestamp_, 0)));
  last_timestamp_ = timestamp;
  return true;
}

}  // namespace

std::unique_ptr<AnimationReader> open_animation(const char* path) {
  auto reader = std::make_unique<Reader>();
  if (!reader->open(path)) return nullptr;
  return reader;
}

std::unique_ptr<Image> load(const char* path, const char* /*selector*/, Wish wish) {
  std::vector<std::uint8_t> data;
  if (!read_whole_file(path, max_file_bytes, data)) return nullptr;
  WebPBitstreamFeatures features;
  if (WebPGetFeatures(data.data(), data.size(), &features) != VP8_STATUS_OK) return nullptr;
  // The header's size (the canvas, for an animation) is checked before the library allocates.
  if (features.width <= 0 || features.height <= 0 ||
      std::uint64_t(features.width) * std::uint64_t(features.height) > max_image_pixels) {
    return nullptr;
  }
  std::unique_ptr<Image> image =
      features.has_animation ? decode_first_frame(data, wish) : decode_still(data, features, wish);
  if (image) image->colour.icc = icc_profile(data);
  return image;
}

}  // namespace webp
