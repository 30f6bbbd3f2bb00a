// The HEIF module: decodes HEIC and AVIF files through libheif, whose built-in decoders read
// both. The primary image is shown. For a grid cell, a thumbnail stored in the file is decoded
// instead when it is at least as large as the image fitted into the cell.
#include "formats/heif.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include <libheif/heif.h>

namespace heif {
namespace {

constexpr int crop_room_factor = 2;
constexpr int coded_block_room = 256;

// The library may not read from a path itself (files open only through open_image_file), so it
// reads through this stream.
struct Stream {
  std::FILE* file = nullptr;
  std::int64_t size = 0;
};

std::int64_t stream_position(void* userdata) {
  return std::ftell(static_cast<Stream*>(userdata)->file);
}
int stream_read(void* data, std::size_t size, void* userdata) {
  return std::fread(data, 1, size, static_cast<Stream*>(userdata)->file) == size ? 0 : -1;
}
int stream_seek(std::int64_t position, void* userdata) {
  return std::fseek(static_cast<Stream*>(userdata)->file, static_cast<long>(position), SEEK_SET);
}
heif_reader_grow_status stream_wait(std::int64_t target_size, void* userdata) {
  // The file does not grow while it is read.
  return target_size <= static_cast<Stream*>(userdata)->size
             ? heif_reader_grow_status_size_reached
             : heif_reader_grow_status_size_beyond_eof;
}
constexpr heif_reader stream_reader = {1, stream_position, stream_read, stream_seek, stream_wait};

// One decode: everything the library hands out is released when it ends, however it ends.
struct Decode {
  Stream stream;
  heif_context* context = nullptr;
  heif_image_handle* primary = nullptr;
  heif_image_handle* thumbnail = nullptr;
  heif_decoding_options* options = nullptr;
  heif_image* decoded = nullptr;

  Decode() = default;
  Decode(const Decode&) = delete;
  Decode& operator=(const Decode&) = delete;
  ~Decode() {
    if (decoded) heif_image_release(decoded);
    if (options) heif_decoding_options_free(options);
    if (thumbnail) heif_image_handle_release(thumbnail);
    if (primary) heif_image_handle_release(primary);
    if (context) heif_context_free(context);
    if (stream.file) std::fclose(stream.file);
  }
};

bool over_cap(const heif_image_handle* handle) {
  const int width = heif_image_handle_get_width(handle);
  const int height = heif_image_handle_get_height(handle);
  return width <= 0 || height <= 0 ||
         std::uint64_t(width) * std::uint64_t(height) > max_image_pixels;
}

// The primary image fitted into the wish: what a thumbnail has to cover.
Size fitted_size(const heif_image_handle* primary, Wish wish) {
  return fit_size(heif_image_handle_get_width(primary), heif_image_handle_get_height(primary),
                  wish.width, wish.height);
}

// The smallest stored thumbnail that still covers the primary image fitted into the wish, or
// null when there is none (or no wish).
heif_image_handle* pick_thumbnail(const heif_image_handle* primary, Wish wish) {
  if (wish.width == 0 || wish.height == 0) return nullptr;
  const int count = heif_image_handle_get_number_of_thumbnails(primary);
  if (count <= 0) return nullptr;
  const Size fitted = fitted_size(primary, wish);
  std::vector<heif_item_id> ids(static_cast<std::size_t>(count));
  heif_image_handle_get_list_of_thumbnail_IDs(primary, ids.data(), count);
  heif_image_handle* best = nullptr;
  for (const heif_item_id id : ids) {
    heif_image_handle* candidate = nullptr;
    if (heif_image_handle_get_thumbnail(primary, id, &candidate).code != heif_error_Ok) continue;
    const std::uint64_t width = static_cast<std::uint64_t>(heif_image_handle_get_width(candidate));
    const std::uint64_t height =
        static_cast<std::uint64_t>(heif_image_handle_get_height(candidate));
    const bool covers = width >= fitted.width && height >= fitted.height && !over_cap(candidate);
    if (covers &&
        (!best || width < static_cast<std::uint64_t>(heif_image_handle_get_width(best)))) {
      if (best) heif_image_handle_release(best);
      best = candidate;
    } else {
      heif_image_handle_release(candidate);
    }
  }
  return best;
}

// Decodes one image of the file into d.decoded.
bool decode_handle(Decode& d, const heif_image_handle* source) {
  // A grid image states its size twice, and the library decodes to the grid's own statement: a
  // 1.5 KB file declaring 64 x 48 decoded a grid of 16433 x 16688, 8 s and 3.2 GB. So nothing
  // much larger than the declared size is decoded (the library's limit holds for both sides).
  // The room covers what the crop stored in the file takes off: at least the codecs' whole
  // blocks, and an image cropped to half of what was coded.
  const std::int64_t declared =
      std::max(heif_image_handle_get_width(source), heif_image_handle_get_height(source));
  const std::int64_t limit = declared * crop_room_factor + coded_block_room;
  heif_context_set_maximum_image_size_limit(
      d.context, static_cast<int>(std::min<std::int64_t>(limit, std::numeric_limits<int>::max())));
  // Rotation, mirroring and cropping stored in the file are applied, as the reference
  // decoder applies them: the sizes the handles report already include them.
  return heif_decode_image(source, &d.decoded, heif_colorspace_RGB, heif_chroma_interleaved_RGB,
                           d.options)
             .code == heif_error_Ok;
}

bool decode(Decode& d, Wish wish) {
  struct stat status {};
  if (fstat(fileno(d.stream.file), &status) != 0) return false;
  d.stream.size = status.st_size;
  d.context = heif_context_alloc();
  if (!d.context) return false;
  // The pool already decodes several files at once; more threads per file would only compete.
  heif_context_set_max_decoding_threads(d.context, 0);
  if (heif_context_read_from_reader(d.context, &stream_reader, &d.stream, nullptr).code !=
      heif_error_Ok) {
    return false;
  }
  if (heif_context_get_primary_image_handle(d.context, &d.primary).code != heif_error_Ok) {
    return false;
  }
  // The declared size decides before any pixel is decoded; the library allocates whole planes.
  if (over_cap(d.primary)) return false;
  d.thumbnail = pick_thumbnail(d.primary, wish);
  d.options = heif_decoding_options_alloc();
  if (!d.options) return false;
  // Deeper AVIF and HEIC (10 and 12 bits) come out as 8 bits like everything else.
  d.options->convert_hdr_to_8bit = 1;
  if (d.thumbnail) {
    const Size fitted = fitted_size(d.primary, wish);
    if (decode_handle(d, d.thumbnail) &&
        heif_image_get_width(d.decoded, heif_channel_interleaved) >= std::int64_t(fitted.width) &&
        heif_image_get_height(d.decoded, heif_channel_interleaved) >= std::int64_t(fitted.height)) {
      return true;
    }
    // A damaged thumbnail can decode to less than it claims: the primary image serves instead.
    if (d.decoded) heif_image_release(d.decoded);
    d.decoded = nullptr;
    heif_image_handle_release(d.thumbnail);
    d.thumbnail = nullptr;
  }
  return decode_handle(d, d.primary);
}

}  // namespace

std::unique_ptr<Image> load(const char* path, const char* /*selector*/, Wish wish) {
  Decode d;
  d.stream.file = open_image_file(path);
  if (!d.stream.file) return nullptr;
  if (!decode(d, wish)) return nullptr;
  const int width = heif_image_get_width(d.decoded, heif_channel_interleaved);
  const int height = heif_image_get_height(d.decoded, heif_channel_interleaved);
  int stride = 0;
  const std::uint8_t* plane =
      heif_image_get_plane_readonly(d.decoded, heif_channel_interleaved, &stride);
  if (!plane || width <= 0 || height <= 0 || stride < width * static_cast<int>(rgb_channels)) {
    return nullptr;
  }
  auto image = make_image(width, height);
  if (!image) return nullptr;
  for (int y = 0; y < height; ++y) {
    std::memcpy(image->row(static_cast<std::uint32_t>(y)),
                plane + std::size_t(y) * static_cast<std::size_t>(stride),
                std::size_t(width) * rgb_channels);
  }
  // A thumbnail stands for the primary image's size; a damaged file whose pixels disagree with
  // its declared size is taken at the size it decoded to.
  if (d.thumbnail) {
    image->full_width =
        std::max(image->width, static_cast<std::uint32_t>(heif_image_handle_get_width(d.primary)));
    image->full_height = std::max(
        image->height, static_cast<std::uint32_t>(heif_image_handle_get_height(d.primary)));
  }
  return image;
}

}  // namespace heif
