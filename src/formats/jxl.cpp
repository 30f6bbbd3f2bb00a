// The JPEG XL module: decodes a file through libjxl into an Image. The file is fed to the
// decoder in blocks as it asks for more; the first frame (the whole canvas, as the decoder
// composes it) is the image.
#include "formats/jxl.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include <jxl/decode.h>

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
// curve. False for what a screen cannot show as it is (PQ, HLG, a grey or unknown space), whose
// pixels are then shown as they are.
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
void read_colour(Decode& d) {
  JxlColorEncoding encoding;
  if (JxlDecoderGetColorAsEncodedProfile(d.decoder, nullptr, JXL_COLOR_PROFILE_TARGET_DATA,
                                         &encoding) == JXL_DEC_SUCCESS) {
    if (!encoded_colours(encoding, d.colour)) d.colour = {};
    return;
  }
  std::size_t size = 0;
  if (JxlDecoderGetICCProfileSize(d.decoder, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, &size) !=
          JXL_DEC_SUCCESS ||
      size == 0) {
    return;
  }
  d.colour.icc.resize(size);
  if (JxlDecoderGetColorAsICCProfile(d.decoder, nullptr, JXL_COLOR_PROFILE_TARGET_DATA,
                                     d.colour.icc.data(), size) != JXL_DEC_SUCCESS) {
    d.colour.icc.clear();
  }
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
        read_colour(d);
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

}  // namespace

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
