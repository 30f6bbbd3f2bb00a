// The HEIF module: decodes HEIC and AVIF files through libheif, whose built-in decoders read
// both. The primary image is shown. For a grid cell, a thumbnail stored in the file is decoded
// instead when it is at least as large as the image fitted into the cell.
#include "formats/heif.h"
#include "formats/heif_grid.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <new>
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
  heif_item_id primary_id = 0;
  heif_item_id thumbnail_id = 0;
  std::map<std::uint32_t, GridSize> grids;
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

using Transfer = ColourDescription::Transfer;

// The curves nclx codes name; others are shown as they are.
bool nclx_transfer(int code, ColourDescription& colour) {
  switch (code) {
    case heif_transfer_characteristic_ITU_R_BT_709_5:
    case heif_transfer_characteristic_ITU_R_BT_601_6:
    case heif_transfer_characteristic_ITU_R_BT_2020_2_10bit:
    case heif_transfer_characteristic_ITU_R_BT_2020_2_12bit:
      colour.transfer = Transfer::bt709;
      return true;
    case heif_transfer_characteristic_ITU_R_BT_470_6_System_M:
      colour.transfer = Transfer::gamma;
      colour.gamma = 2.2;
      return true;
    case heif_transfer_characteristic_ITU_R_BT_470_6_System_B_G:
      colour.transfer = Transfer::gamma;
      colour.gamma = 2.8;
      return true;
    case heif_transfer_characteristic_linear:
      colour.transfer = Transfer::linear;
      return true;
    case heif_transfer_characteristic_ITU_R_BT_2100_0_PQ:
      colour.transfer = Transfer::pq;
      return true;
    case heif_transfer_characteristic_ITU_R_BT_2100_0_HLG:
      colour.transfer = Transfer::hlg;
      return true;
    case heif_transfer_characteristic_IEC_61966_2_1:
    case heif_transfer_characteristic_unspecified:
      return true;
    default:
      return false;
  }
}

// The number an nclx field holds. The library stores the file's codes in fields of
// enumeration types, and a damaged file can give them any value: one outside the enumeration is
// read as the number it is, never as a value of that type.
template <typename Code>
int code_of(const Code& field) {
  static_assert(sizeof(Code) == sizeof(int));
  int code = 0;
  std::memcpy(&code, &field, sizeof code);
  return code;
}

// The image's colours: its ICC profile, else its nclx primaries and transfer (the library
// applies the matrix itself when it turns YCbCr into RGB).
ColourDescription colours_of(const heif_image_handle* handle) {
  ColourDescription colour;
  const heif_color_profile_type type = heif_image_handle_get_color_profile_type(handle);
  if (type == heif_color_profile_type_prof || type == heif_color_profile_type_rICC) {
    colour.icc.resize(heif_image_handle_get_raw_color_profile_size(handle));
    if (colour.icc.empty() ||
        heif_image_handle_get_raw_color_profile(handle, colour.icc.data()).code != heif_error_Ok)
      colour.icc.clear();
    return colour;
  }
  heif_color_profile_nclx* nclx = nullptr;
  // The library can hand over a profile and still answer an error (a box it only partly read):
  // what it allocated is freed either way.
  if (heif_image_handle_get_nclx_color_profile(handle, &nclx).code != heif_error_Ok || !nclx) {
    heif_nclx_color_profile_free(nclx);
    return colour;
  }
  const int primaries = code_of(nclx->color_primaries);
  if (nclx_transfer(code_of(nclx->transfer_characteristics), colour) &&
      primaries != heif_color_primaries_unspecified &&
      primaries != heif_color_primaries_ITU_R_BT_709_5) {
    colour.primaries = {nclx->color_primary_red_x,   nclx->color_primary_red_y,
                        nclx->color_primary_green_x, nclx->color_primary_green_y,
                        nclx->color_primary_blue_x,  nclx->color_primary_blue_y,
                        nclx->color_primary_white_x, nclx->color_primary_white_y};
  }
  heif_nclx_color_profile_free(nclx);
  return colour;
}

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
// null when there is none (or no wish); its item id goes to `picked`.
heif_image_handle* pick_thumbnail(const heif_image_handle* primary, Wish wish,
                                  heif_item_id& picked) {
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
      picked = id;
    } else {
      heif_image_handle_release(candidate);
    }
  }
  return best;
}

// The room a crop stored in the file may take off what was coded: at least the codecs' whole
// blocks, and an image cropped to half of what was coded.
std::int64_t with_crop_room(std::int64_t side) {
  return side * crop_room_factor + coded_block_room;
}

// A grid image states its size twice, and the library decodes to the grid's own statement: a
// 1.5 KB file declaring 64 x 48 decoded a grid of 16433 x 16688, 8 s and 3.2 GB. So a grid much
// larger than the declared size, or over the cap, is not decoded. The sides are not compared
// one by one, since the declared size is taken after any turn stored in the file.
bool grid_too_large(const Decode& d, heif_item_id id, const heif_image_handle* source) {
  const auto grid = d.grids.find(id);
  if (grid == d.grids.end()) return false;
  const std::uint64_t area = std::uint64_t(grid->second.width) * grid->second.height;
  const std::uint64_t room = std::uint64_t(with_crop_room(heif_image_handle_get_width(source))) *
                             std::uint64_t(with_crop_room(heif_image_handle_get_height(source)));
  return area > max_image_pixels || area > room;
}

// Decodes one image of the file, the item `id`, into d.decoded, as interleaved RGB, or RGBA
// when it has alpha.
bool decode_handle(Decode& d, const heif_image_handle* source, heif_item_id id,
                   heif_colorspace space = heif_colorspace_RGB) {
  if (grid_too_large(d, id, source)) return false;
  // Nothing much larger than the declared size is decoded either where this reader found no
  // grid size (the library's limit holds for both sides alike).
  const std::int64_t limit = with_crop_room(
      std::max(heif_image_handle_get_width(source), heif_image_handle_get_height(source)));
  heif_context_set_maximum_image_size_limit(
      d.context, static_cast<int>(std::min<std::int64_t>(limit, std::numeric_limits<int>::max())));
  // Rotation, mirroring and cropping stored in the file are applied, as the reference
  // decoder applies them: the sizes the handles report already include them.
  const heif_chroma chroma = space == heif_colorspace_monochrome ? heif_chroma_monochrome
                             : heif_image_handle_has_alpha_channel(source)
                                 ? heif_chroma_interleaved_RGBA
                                 : heif_chroma_interleaved_RGB;
  return heif_decode_image(source, &d.decoded, space, chroma, d.options).code == heif_error_Ok;
}

bool decode(Decode& d, Wish wish) {
  struct stat status {};
  if (fstat(fileno(d.stream.file), &status) != 0) return false;
  d.stream.size = status.st_size;
  d.context = heif_context_alloc();
  if (!d.context) return false;
  // The pool already decodes several files at once; more threads per file would only compete.
  heif_context_set_max_decoding_threads(d.context, 0);
  d.grids = grid_sizes(d.stream.file, d.stream.size);
  if (std::fseek(d.stream.file, 0, SEEK_SET) != 0) return false;
  if (heif_context_read_from_reader(d.context, &stream_reader, &d.stream, nullptr).code !=
      heif_error_Ok) {
    return false;
  }
  if (heif_context_get_primary_image_handle(d.context, &d.primary).code != heif_error_Ok ||
      heif_context_get_primary_image_ID(d.context, &d.primary_id).code != heif_error_Ok) {
    return false;
  }
  // The declared size decides before any pixel is decoded; the library allocates whole planes.
  if (over_cap(d.primary)) return false;
  d.thumbnail = pick_thumbnail(d.primary, wish, d.thumbnail_id);
  d.options = heif_decoding_options_alloc();
  if (!d.options) return false;
  // Deeper AVIF and HEIC (10 and 12 bits) come out as 8 bits like everything else.
  d.options->convert_hdr_to_8bit = 1;
  if (d.thumbnail) {
    const Size fitted = fitted_size(d.primary, wish);
    if (decode_handle(d, d.thumbnail, d.thumbnail_id) &&
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
  return decode_handle(d, d.primary, d.primary_id);
}

// Copies the interleaved RGB or RGBA planes into a new image.
std::unique_ptr<Image> copy_planes(const heif_image* decoded) {
  const int width = heif_image_get_width(decoded, heif_channel_interleaved);
  const int height = heif_image_get_height(decoded, heif_channel_interleaved);
  const bool alpha = heif_image_get_chroma_format(decoded) == heif_chroma_interleaved_RGBA;
  const int channels = alpha ? 4 : static_cast<int>(rgb_channels);
  int stride = 0;
  const std::uint8_t* plane =
      heif_image_get_plane_readonly(decoded, heif_channel_interleaved, &stride);
  if (!plane || width <= 0 || height <= 0 || stride < width * channels) return nullptr;
  auto image = make_image(width, height);
  if (!image) return nullptr;
  try {
    if (alpha) image->alpha = Raster(std::size_t(width) * height);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  for (int y = 0; y < height; ++y) {
    const std::uint8_t* in = plane + std::size_t(y) * static_cast<std::size_t>(stride);
    std::uint8_t* out = image->row(static_cast<std::uint32_t>(y));
    if (!alpha) {
      std::memcpy(out, in, std::size_t(width) * rgb_channels);
      continue;
    }
    std::uint8_t* opacity = image->alpha.data() + std::size_t(y) * width;
    for (int x = 0; x < width; ++x, in += channels, out += rgb_channels) {
      std::memcpy(out, in, rgb_channels);
      opacity[x] = in[rgb_channels];
    }
  }
  return image;
}

bool all_grey(const Image& image) {
  const std::uint8_t* p = image.rgb.data();
  for (std::size_t i = 0; i < image.rgb.size(); i += rgb_channels) {
    if (p[i] != p[i + 1] || p[i] != p[i + 2]) return false;
  }
  return true;
}

// A monochrome image comes out of the library's RGB conversion with its samples as stored, so
// limited range stays limited (black at 16). Its luma is taken instead and widened to full range
// as the colour conversion widens it, at whatever depth it was coded.
bool widen_grey(Decode& d, Image& image) {
  const heif_image_handle* source = d.thumbnail ? d.thumbnail : d.primary;
  heif_image_release(d.decoded);
  d.decoded = nullptr;
  if (!decode_handle(d, source, d.thumbnail ? d.thumbnail_id : d.primary_id,
                     heif_colorspace_monochrome))
    return false;
  const int bits = heif_image_get_bits_per_pixel_range(d.decoded, heif_channel_Y);
  int stride = 0;
  const std::uint8_t* plane = heif_image_get_plane_readonly(d.decoded, heif_channel_Y, &stride);
  if (!plane || bits < 8 || bits > 16 ||
      heif_image_get_width(d.decoded, heif_channel_Y) != int(image.width) ||
      heif_image_get_height(d.decoded, heif_channel_Y) != int(image.height)) {
    return false;
  }
  bool full_range = true;
  heif_color_profile_nclx* nclx = nullptr;
  if (heif_image_get_nclx_color_profile(d.decoded, &nclx).code == heif_error_Ok && nclx)
    full_range = nclx->full_range_flag != 0;
  heif_nclx_color_profile_free(nclx);
  const double scale = double(1 << (bits - 8));
  const double black = full_range ? 0 : 16 * scale;
  const double span = full_range ? double((1 << bits) - 1) : 219 * scale;
  const bool wide = heif_image_get_bits_per_pixel(d.decoded, heif_channel_Y) > 8;
  for (std::uint32_t y = 0; y < image.height; ++y) {
    const std::uint8_t* in = plane + std::size_t(y) * static_cast<std::size_t>(stride);
    std::uint8_t* out = image.row(y);
    for (std::uint32_t x = 0; x < image.width; ++x, out += rgb_channels) {
      const double sample = wide ? in[2 * x] | in[2 * x + 1] << 8 : in[x];
      const double value = std::clamp((sample - black) * 255 / span, 0.0, 255.0);
      std::memset(out, static_cast<int>(value + 0.5), rgb_channels);
    }
  }
  return true;
}

}  // namespace

std::unique_ptr<Image> load(const char* path, const char* /*selector*/, Wish wish) {
  Decode d;
  d.stream.file = open_image_file(path);
  if (!d.stream.file) return nullptr;
  if (!decode(d, wish)) return nullptr;
  auto image = copy_planes(d.decoded);
  if (!image) return nullptr;
  const heif_image_handle* source = d.thumbnail ? d.thumbnail : d.primary;
  // Only an image that came out grey can be monochrome; a colour image is decoded once.
  // Should that fail, the image is shown as the RGB conversion gave it.
  if (image->alpha.size() == 0 && all_grey(*image)) widen_grey(d, *image);
  image->colour = colours_of(source);
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
