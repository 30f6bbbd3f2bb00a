// The JPEG XL module: decodes a file through libjxl into an Image. The file is fed to the
// decoder in blocks as it asks for more; the first frame (the whole canvas, as the decoder
// composes it) is the image.
#include "formats/jxl.h"

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
  std::vector<std::uint8_t> grey;  // the samples of a grey image, widened to RGB at the end

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
  if (info.num_color_channels == grey_channels) {
    d.format.num_channels = grey_channels;
    try {
      d.grey.resize(width * height);
    } catch (const std::bad_alloc&) {
      return false;
    }
  }
  return true;
}

bool set_output(Decode& d) {
  std::uint8_t* target = d.grey.empty() ? d.image->rgb.data() : d.grey.data();
  const std::size_t bytes = d.grey.empty() ? d.image->rgb.size() : d.grey.size();
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
  if (JxlDecoderSubscribeEvents(d.decoder, JXL_DEC_BASIC_INFO | JXL_DEC_FULL_IMAGE) !=
      JXL_DEC_SUCCESS) {
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
  if (!d.grey.empty()) {
    for (std::size_t i = 0; i < d.grey.size(); ++i)
      std::memset(&d.image->rgb[i * rgb_channels], d.grey[i], rgb_channels);
  }
  return std::move(d.image);
}

}  // namespace jxl
