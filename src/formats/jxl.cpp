// The JPEG XL module: decodes a file through libjxl into an Image. The file is fed to the
// decoder in blocks as it asks for more; the first frame (the whole canvas, as the decoder
// composes it) is the image. Playing an animation, the decoder composes every frame in turn.
#include "formats/jxl.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include <jxl/decode.h>

#include "formats/animation.h"

namespace jxl {
namespace {

constexpr std::size_t block_bytes = 64 * 1024;
constexpr std::uint32_t grey_channels = 1;
// Orientations 5 to 8 transpose the image, so the decoder's output swaps width and height.
constexpr std::uint32_t first_transposing_orientation = JXL_ORIENT_TRANSPOSE;

// One decode: the decoder and the file, released however the load ends.
struct Decode {
  std::FILE* file = nullptr;
  JxlDecoder* decoder = nullptr;
  std::vector<std::uint8_t> input;  // the bytes the decoder has not yet consumed
  JxlPixelFormat format = {static_cast<std::uint32_t>(rgb_channels), JXL_TYPE_UINT8,
                           JXL_NATIVE_ENDIAN, 0};
  std::unique_ptr<Image> image;
  // The samples of a grey image or one with alpha, spread into the image at the end; RGB
  // decodes straight into it.
  std::vector<std::uint8_t> samples;
  ColourDescription colour;

  Decode() = default;
  Decode(const Decode&) = delete;
  Decode& operator=(const Decode&) = delete;
  ~Decode() {
    if (decoder) JxlDecoderDestroy(decoder);
    if (file) std::fclose(file);
  }
};

// Gives the decoder the bytes it left unconsumed and the next block. False when there is
// nothing more to give. The input is never closed: the first frame's end is known from its own
// header, and a decoder told the input is closed while it still wants more writes "missing
// input" to stderr; one that simply gets no more input fails here, silently.
bool feed(Decode& d) {
  const std::size_t left = JxlDecoderReleaseInput(d.decoder);
  d.input.erase(d.input.begin(), d.input.end() - static_cast<std::ptrdiff_t>(left));
  const std::size_t kept = d.input.size();
  d.input.resize(kept + block_bytes);
  const std::size_t got = std::fread(d.input.data() + kept, 1, block_bytes, d.file);
  d.input.resize(kept + got);
  if (got == 0) return false;
  return JxlDecoderSetInput(d.decoder, d.input.data(), d.input.size()) == JXL_DEC_SUCCESS;
}

// The image for the basic info, after the size cap: colour images decode straight into it,
// grey ones into a buffer of their own.
bool start_image(Decode& d) {
  JxlBasicInfo info;
  if (JxlDecoderGetBasicInfo(d.decoder, &info) != JXL_DEC_SUCCESS) return false;
  std::uint64_t width = info.xsize;
  std::uint64_t height = info.ysize;
  if (width == 0 || height == 0 || width * height > max_image_pixels) return false;
  if (info.orientation >= first_transposing_orientation) std::swap(width, height);
  d.image = make_image(width, height);
  if (!d.image) return false;
  const bool alpha = info.alpha_bits > 0;
  d.format.num_channels = (info.num_color_channels == grey_channels ? 1 : rgb_channels) + alpha;
  if (d.format.num_channels == rgb_channels) return true;
  try {
    d.samples.resize(width * height * d.format.num_channels);
    if (alpha) d.image->alpha = Raster(width * height);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

using Transfer = ColourDescription::Transfer;

// A colour encoding the file states in fields rather than as a profile: primaries, white and
// curve. False for a grey or unknown space or curve, whose pixels are then shown as they are.
bool encoded_colours(const JxlColorEncoding& e, ColourDescription& colour) {
  if (e.color_space != JXL_COLOR_SPACE_RGB) return false;
  switch (e.transfer_function) {
    case JXL_TRANSFER_FUNCTION_SRGB:
      break;
    case JXL_TRANSFER_FUNCTION_709:
      colour.transfer = Transfer::bt709;
      break;
    case JXL_TRANSFER_FUNCTION_LINEAR:
      colour.transfer = Transfer::linear;
      break;
    case JXL_TRANSFER_FUNCTION_PQ:
      colour.transfer = Transfer::pq;
      break;
    case JXL_TRANSFER_FUNCTION_HLG:
      colour.transfer = Transfer::hlg;
      break;
    case JXL_TRANSFER_FUNCTION_GAMMA:
      if (!(e.gamma > 0)) return false;
      colour.transfer = Transfer::gamma;
      colour.gamma = 1 / e.gamma;  // the field holds the encoding exponent
      break;
    default:
      return false;
  }
  static constexpr double p3[] = {0.680, 0.320, 0.265, 0.690, 0.150, 0.060};
  static constexpr double bt2020[] = {0.708, 0.292, 0.170, 0.797, 0.131, 0.046};
  const double custom[] = {e.primaries_red_xy[0],   e.primaries_red_xy[1],  e.primaries_green_xy[0],
                           e.primaries_green_xy[1], e.primaries_blue_xy[0], e.primaries_blue_xy[1]};
  const double* primaries = e.primaries == JXL_PRIMARIES_P3     ? p3
                            : e.primaries == JXL_PRIMARIES_2100 ? bt2020
                                                                : custom;
  double white[2] = {e.white_point_xy[0], e.white_point_xy[1]};
  if (e.white_point == JXL_WHITE_POINT_D65) {
    white[0] = 0.3127;
    white[1] = 0.3290;
  } else if (e.white_point == JXL_WHITE_POINT_DCI) {
    white[0] = 0.314;
    white[1] = 0.351;
  } else if (e.white_point == JXL_WHITE_POINT_E) {
    white[0] = white[1] = 1.0 / 3;
  }
  if (e.primaries == JXL_PRIMARIES_SRGB && e.white_point == JXL_WHITE_POINT_D65) return true;
  std::copy(primaries, primaries + 6, colour.primaries.begin());
  colour.primaries[6] = white[0];
  colour.primaries[7] = white[1];
  return true;
}

// The colours of the pixels as the decoder hands them over: the encoding's fields, else the
// attached profile.
ColourDescription read_colour(JxlDecoder* decoder) {
  ColourDescription colour;
  JxlColorEncoding encoding;
  if (JxlDecoderGetColorAsEncodedProfile(decoder, nullptr, JXL_COLOR_PROFILE_TARGET_DATA,
                                         &encoding) == JXL_DEC_SUCCESS) {
    if (!encoded_colours(encoding, colour)) colour = {};
    return colour;
  }
  std::size_t size = 0;
  if (JxlDecoderGetICCProfileSize(decoder, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, &size) !=
          JXL_DEC_SUCCESS ||
      size == 0) {
    return colour;
  }
  colour.icc.resize(size);
  if (JxlDecoderGetColorAsICCProfile(decoder, nullptr, JXL_COLOR_PROFILE_TARGET_DATA,
                                     colour.icc.data(), size) != JXL_DEC_SUCCESS) {
    colour.icc.clear();
  }
  return colour;
}

// Spreads grey samples over the three channels and alpha into its plane.
void spread_samples(Decode& d) {
  const std::size_t channels = d.format.num_channels;
  const bool alpha = d.image->alpha.size() != 0;
  const std::size_t colours = channels - alpha;
  const std::size_t pixels = d.samples.size() / channels;
  const std::uint8_t* in = d.samples.data();
  std::uint8_t* out = d.image->rgb.data();
  for (std::size_t i = 0; i < pixels; ++i, in += channels, out += rgb_channels) {
    if (colours == grey_channels) {
      std::memset(out, in[0], rgb_channels);
    } else {
      std::memcpy(out, in, rgb_channels);
    }
    if (alpha) d.image->alpha[i] = in[colours];
  }
}

bool set_output(Decode& d) {
  std::uint8_t* target = d.samples.empty() ? d.image->rgb.data() : d.samples.data();
  const std::size_t bytes = d.samples.empty() ? d.image->rgb.size() : d.samples.size();
  std::size_t wanted = 0;
  if (JxlDecoderImageOutBufferSize(d.decoder, &d.format, &wanted) != JXL_DEC_SUCCESS ||
      wanted != bytes) {
    return false;
  }
  return JxlDecoderSetImageOutBuffer(d.decoder, &d.format, target, bytes) == JXL_DEC_SUCCESS;
}

bool decode(Decode& d) {
  d.decoder = JxlDecoderCreate(nullptr);
  if (!d.decoder) return false;
  if (JxlDecoderSubscribeEvents(d.decoder, JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING |
                                               JXL_DEC_FULL_IMAGE) != JXL_DEC_SUCCESS ||
      JxlDecoderSetUnpremultiplyAlpha(d.decoder, JXL_TRUE) != JXL_DEC_SUCCESS) {
    return false;
  }
  for (;;) {
    switch (JxlDecoderProcessInput(d.decoder)) {
      case JXL_DEC_NEED_MORE_INPUT:
        if (!feed(d)) return false;
        break;
      case JXL_DEC_BASIC_INFO:
        if (!start_image(d)) return false;
        break;
      case JXL_DEC_COLOR_ENCODING:
        d.colour = read_colour(d.decoder);
        break;
      case JXL_DEC_NEED_IMAGE_OUT_BUFFER:
        if (!d.image || !set_output(d)) return false;
        break;
      case JXL_DEC_FULL_IMAGE:
        return d.image != nullptr;  // the first frame is all that is shown
      default:
        return false;  // errors, and a file that ends before its first frame
    }
  }
}

// A JPEG XL file is read whole for playing: the decoder goes back to its start at every loop.
// Files beyond this are not played.
constexpr std::uint64_t max_animation_file_bytes = std::uint64_t{1} << 30;
constexpr std::uint32_t alpha_channels = 1;
constexpr std::uint32_t channel_max = 255;
constexpr std::uint64_t ms_per_second = 1000;

// An animation as the decoder coalesces it: each frame blended onto what the frames before it
// left, the whole canvas. Colours with alpha are taken over black.
class Reader final : public AnimationReader {
 public:
  ~Reader() override {
    if (decoder_) JxlDecoderDestroy(decoder_);
  }
  bool open(const char* path);
  bool next(AnimationFrame& frame) override;
  bool rewind() override;

 private:
  // A fresh decoder on the whole file, subscribed to events; false when the library fails.
  bool start(int events);
  void to_rgb(Image& image) const;

  std::vector<std::uint8_t> data_;
  JxlDecoder* decoder_ = nullptr;
  JxlBasicInfo info_{};
  JxlPixelFormat format_ = {0, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
  std::vector<std::uint8_t> samples_;  // one frame as the decoder writes it
  ColourDescription colour_;           // of every frame
};

bool Reader::start(int events) {
  if (decoder_) JxlDecoderDestroy(decoder_);
  decoder_ = JxlDecoderCreate(nullptr);
  if (!decoder_ || JxlDecoderSubscribeEvents(decoder_, events) != JXL_DEC_SUCCESS ||
      JxlDecoderSetInput(decoder_, data_.data(), data_.size()) != JXL_DEC_SUCCESS) {
    return false;
  }
  // The whole file is there: where it ends early the decoder fails rather than asks for more.
  JxlDecoderCloseInput(decoder_);
  return JxlDecoderProcessInput(decoder_) == JXL_DEC_BASIC_INFO &&
         JxlDecoderGetBasicInfo(decoder_, &info_) == JXL_DEC_SUCCESS;
}

bool Reader::open(const char* path) {
  if (!read_whole_file(path, max_animation_file_bytes, data_) ||
      !start(JXL_DEC_BASIC_INFO | JXL_DEC_FRAME)) {
    return false;
  }
  std::uint64_t width = info_.xsize;
  std::uint64_t height = info_.ysize;
  if (!info_.have_animation || info_.animation.tps_numerator == 0 || width == 0 || height == 0 ||
      width * height > max_animation_pixels) {
    return false;
  }
  // The frames are counted from their headers, which the decoder reads without decoding them.
  for (;;) {
    const JxlDecoderStatus status = JxlDecoderProcessInput(decoder_);
    if (status == JXL_DEC_FRAME) {
      ++frame_count_;
    } else {
      break;
    }
  }
  if (frame_count_ < 2) return false;
  if (info_.orientation >= first_transposing_orientation) std::swap(width, height);
  width_ = static_cast<std::uint32_t>(width);
  height_ = static_cast<std::uint32_t>(height);
  loop_count_ = info_.animation.num_loops;
  format_.num_channels = info_.num_color_channels + (info_.alpha_bits ? alpha_channels : 0);
  try {
    samples_.resize(std::size_t{width_} * height_ * format_.num_channels);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return rewind();
}

bool Reader::rewind() {
  return start(JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING | JXL_DEC_FRAME | JXL_DEC_FULL_IMAGE);
}

// The decoder's samples as RGB: grey widened, and colours with alpha multiplied by it.
void Reader::to_rgb(Image& image) const {
  const std::uint32_t channels = format_.num_channels;
  const bool grey = info_.num_color_channels == grey_channels;
  const bool alpha = info_.alpha_bits != 0;
  const std::size_t pixels = std::size_t{width_} * height_;
  const std::uint8_t* in = samples_.data();
  std::uint8_t* out = image.rgb.data();
  for (std::size_t i = 0; i < pixels; ++i, in += channels, out += rgb_channels) {
    const std::uint32_t a = alpha ? in[channels - 1] : channel_max;
    for (std::size_t c = 0; c < rgb_channels; ++c) {
      const std::uint32_t v = in[grey ? 0 : c];
      out[c] = static_cast<std::uint8_t>((v * a + channel_max / 2) / channel_max);
    }
  }
}

bool Reader::next(AnimationFrame& frame) {
  std::uint32_t ticks = 0;
  for (;;) {
    switch (JxlDecoderProcessInput(decoder_)) {
      case JXL_DEC_COLOR_ENCODING:
        colour_ = read_colour(decoder_);
        break;
      case JXL_DEC_FRAME: {
        JxlFrameHeader header;
        if (JxlDecoderGetFrameHeader(decoder_, &header) != JXL_DEC_SUCCESS) return false;
        ticks = header.duration;
        break;
      }
      case JXL_DEC_NEED_IMAGE_OUT_BUFFER: {
        std::size_t wanted = 0;
        if (JxlDecoderImageOutBufferSize(decoder_, &format_, &wanted) != JXL_DEC_SUCCESS ||
            wanted != samples_.size() ||
            JxlDecoderSetImageOutBuffer(decoder_, &format_, samples_.data(), samples_.size()) !=
                JXL_DEC_SUCCESS) {
          return false;
        }
        break;
      }
      case JXL_DEC_FULL_IMAGE: {
        auto image = make_image(width_, height_);
        if (!image) return false;
        to_rgb(*image);
        image->full_width = width_;
        image->full_height = height_;
        image->colour = colour_;
        frame.image = std::move(image);
        const std::uint64_t ms = std::uint64_t{ticks} * ms_per_second *
                                 info_.animation.tps_denominator / info_.animation.tps_numerator;
        frame.duration_ms = frame_duration(static_cast<std::uint32_t>(
            std::min<std::uint64_t>(ms, std::numeric_limits<std::uint32_t>::max())));
        return true;
      }
      default:
        return false;  // the end, an error, or a file that ends early
    }
  }
}

}  // namespace

std::unique_ptr<AnimationReader> open_animation(const char* path) {
  auto reader = std::make_unique<Reader>();
  if (!reader->open(path)) return nullptr;
  return reader;
}

std::unique_ptr<Image> load(const char* path, const char* /*selector*/, Wish /*wish*/) {
  Decode d;
  d.file = open_image_file(path);
  if (!d.file) return nullptr;
  if (!decode(d)) return nullptr;
  if (!d.samples.empty()) spread_samples(d);
  d.image->colour = std::move(d.colour);
  return std::move(d.image);
}

}  // namespace jxl
