// The BMP module: uncompressed and bit-field Windows bitmaps, read one stored row at a time into
// the image builder, which takes them bottom-up as most files store them.
#include "formats/bmp.h"

#include <algorithm>

#include <sys/types.h>

#include <cstdio>
#include <new>
#include <vector>

#include "formats/builder.h"

namespace bmp {

namespace {

constexpr std::uint32_t magic_bm = 19778;  // "BM" read as a little-endian 16-bit value

// Byte positions in the file and information headers.
constexpr long file_size_at = 2;
constexpr long data_offset_at = 10;
constexpr long header_size_at = 14;
constexpr long width_at = 18;
constexpr long height_at = 22;
constexpr long planes_at = 26;
constexpr long bit_count_at = 28;
constexpr long compression_at = 30;
// The 14-byte file header and the 40-byte information header: all this module reads of them.
constexpr long file_header_size = 14;
constexpr std::uint32_t info_header_size = 40;
constexpr long headers_end = file_header_size + info_header_size;
// Both the 40-byte header (followed by masks) and the later versions (holding them) keep the
// three bit-field masks right behind the first 40 header bytes.
constexpr long masks_at = headers_end;
constexpr long masks_end = masks_at + 3 * 4;
// Headers from the 56-byte version on hold an alpha mask after them.
constexpr std::uint32_t alpha_header_size = 56;
constexpr long alpha_mask_end = masks_end + 4;

constexpr std::uint32_t compression_rgb = 0;
constexpr std::uint32_t compression_bitfields = 3;

constexpr int palette_entry_size = 4;  // blue, green, red, reserved
constexpr std::uint32_t max_bits_per_pixel = 32;
constexpr std::uint32_t max_palette_bits = 8;  // deeper pixels hold their colour themselves
constexpr int row_alignment = 4;

struct Channel {
  std::uint32_t mask = 0;
  int shift = 0;
};

// Default masks of uncompressed 16- and 32-bit pixels: 5-5-5 and 8-8-8.
constexpr std::uint32_t red_555 = 0x7C00;
constexpr std::uint32_t green_555 = 0x03E0;
constexpr std::uint32_t blue_555 = 0x001F;
constexpr std::uint32_t red_888 = 0xFF0000;
constexpr std::uint32_t green_888 = 0x00FF00;
constexpr std::uint32_t blue_888 = 0x0000FF;

// One load. All sizes and offsets that derive from file fields are 64-bit, so no field value
// can make them wrap.
struct Decode {
  std::FILE* file = nullptr;
  std::uint32_t width = 0;
  std::uint32_t height = 0;  // always positive; top_down says how rows are stored
  bool top_down = false;
  std::uint32_t bits_per_pixel = 0;
  std::uint32_t compression = compression_rgb;
  std::vector<int> colormap;  // 0x00RRGGBB
  Channel red, green, blue;
  Channel alpha;  // a 32-bit pixel's opacity, when its mask names one

  Decode() = default;
  Decode(const Decode&) = delete;
  Decode& operator=(const Decode&) = delete;
  ~Decode() {
    if (file) std::fclose(file);
  }
};

std::uint32_t read_u16(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8;
}

// Two 16-bit halves, low half first.
std::uint32_t read_u32(const unsigned char* bytes) {
  return read_u16(bytes) | read_u16(bytes + 2) << 16;
}

std::int32_t read_s32(const unsigned char* bytes) {
  return static_cast<std::int32_t>(read_u32(bytes));
}

bool valid_depth(std::uint32_t bits) {
  return bits == 1 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
}

// Reads count bytes at position into buffer; false when the file cannot supply them all.
bool read_at(Decode& d, off_t position, unsigned char* buffer, std::size_t count) {
  if (fseeko(d.file, position, SEEK_SET) != 0) return false;
  return std::fread(buffer, 1, count, d.file) == count;
}

off_t file_length(Decode& d) {
  if (fseeko(d.file, 0, SEEK_END) != 0) return -1;
  return ftello(d.file);
}

void set_default_masks(Decode& d) {
  if (d.bits_per_pixel == 16) {
    d.red = {red_555, mask_shift(red_555)};
    d.green = {green_555, mask_shift(green_555)};
    d.blue = {blue_555, mask_shift(blue_555)};
  } else if (d.bits_per_pixel == 32) {
    d.red = {red_888, mask_shift(red_888)};
    d.green = {green_888, mask_shift(green_888)};
    d.blue = {blue_888, mask_shift(blue_888)};
  }
}

bool read_masks(Decode& d) {
  unsigned char bytes[masks_end - masks_at];
  if (!read_at(d, masks_at, bytes, sizeof bytes)) return false;
  const std::uint32_t red = read_u32(bytes);
  const std::uint32_t green = read_u32(bytes + 4);
  const std::uint32_t blue = read_u32(bytes + 8);
  d.red = {red, mask_shift(red)};
  d.green = {green, mask_shift(green)};
  d.blue = {blue, mask_shift(blue)};
  return true;
}

// The alpha mask of a 32-bit file with bit fields whose header is recent enough to hold one.
void read_alpha_mask(Decode& d, std::uint32_t header_size, std::uint32_t data_offset) {
  unsigned char bytes[4];
  if (d.bits_per_pixel != max_bits_per_pixel || d.compression != compression_bitfields ||
      header_size < alpha_header_size || data_offset < alpha_mask_end ||
      !read_at(d, masks_end, bytes, sizeof bytes)) {
    return;
  }
  const std::uint32_t mask = read_u32(bytes);
  d.alpha = {mask, mask_shift(mask)};
}

// The palette sits between the end of the information header, whatever its version, and the
// pixel data. Only as many entries as a pixel can index are kept: 16-, 24- and 32-bit pixels
// never look one up, and a file cannot make us allocate more than 256 entries.
void read_palette(Decode& d, std::uint64_t palette_at, std::uint64_t data_offset) {
  if (d.bits_per_pixel > max_palette_bits || palette_at >= data_offset) return;
  std::uint64_t count = (data_offset - palette_at) / palette_entry_size;
  const std::uint64_t indexable = std::uint64_t{1} << d.bits_per_pixel;
  if (count > indexable) count = indexable;
  // With bit-field compression the masks stand where a palette would: no colours are read, so
  // every palette lookup gives black.
  if (count == 0 || d.compression == compression_bitfields) return;
  // Entries that cannot be read stay black.
  d.colormap.assign(count, 0);
  unsigned char entry[palette_entry_size];
  if (fseeko(d.file, static_cast<off_t>(palette_at), SEEK_SET) != 0) return;
  for (int& colour : d.colormap) {
    if (std::fread(entry, 1, sizeof entry, d.file) != sizeof entry) break;
    colour = entry[2] << 16 | entry[1] << 8 | entry[0];
  }
}

// Bytes per stored row: width x depth bits, a partly used byte counted whole, padded to 4 bytes.
std::uint64_t row_stride(std::uint64_t width, std::uint32_t bits_per_pixel) {
  const std::uint64_t row_bytes = (width * bits_per_pixel + 7) / 8;
  return (row_bytes + row_alignment - 1) / row_alignment * row_alignment;
}

int palette_colour(const Decode& d, std::uint32_t index) {
  return index < d.colormap.size() ? d.colormap[index] : 0;
}

// A channel's bits moved so that the mask's highest bit lands on bit 7: masks above bit 7 move
// right, narrower masks move left. The usual layouts (5-5-5, 5-6-5, 8-8-8) only ever need the
// 16-bit blue channel moved left, but a file may order its masks any way it likes; choosing
// the direction from the mask keeps every channel within its 8 bits for all of them.
std::uint32_t channel(std::uint32_t value, const Channel& c) {
  const std::uint32_t bits = value & c.mask;
  return c.mask > 0xFF ? bits >> c.shift : bits << c.shift;
}

int masked_colour(const Decode& d, std::uint32_t value) {
  return static_cast<int>(channel(value, d.red) << 16 | channel(value, d.green) << 8 |
                          channel(value, d.blue));
}

// Pixel x of a stored row, of which only the first `held` bytes came from the file; pixels
// whose bytes lie beyond are black.
int stored_pixel(const Decode& d, const unsigned char* row, std::uint64_t held, std::uint64_t x) {
  const std::uint64_t first = x * d.bits_per_pixel / 8;
  const std::uint64_t bytes_needed = d.bits_per_pixel < 8 ? 1 : d.bits_per_pixel / 8;
  if (first + bytes_needed > held) return 0;
  const unsigned char* p = row + first;
  switch (d.bits_per_pixel) {
    case 1:
      return palette_colour(d, (*p >> (7 - x % 8)) & 0x1);
    case 4:
      return palette_colour(d, x % 2 == 0 ? *p >> 4 : *p & 0xF);
    case 8:
      return palette_colour(d, *p);
    case 16:
      return masked_colour(d, read_u16(p));
    case 24:
      return p[2] << 16 | p[1] << 8 | p[0];
    case 32:
      return masked_colour(d, read_u32(p));
  }
  return 0;
}

// The opacity of a row of 32-bit pixels; pixels beyond the bytes held are opaque black.
void take_alpha(const Decode& d, const unsigned char* row, std::uint64_t held,
                std::uint8_t* alpha) {
  for (std::uint64_t x = 0; x < d.width; ++x) {
    alpha[x] = (x + 1) * 4 <= held
                   ? static_cast<std::uint8_t>(channel(read_u32(row + x * 4), d.alpha))
                   : 255;
  }
}

// Reads the pixel rows: `bytes` of pixel data from the current position at most, as much as
// the file holds. Rows the data does not reach stay black.
bool read_rows(Decode& d, std::uint64_t bytes, Wish wish, ImageBuilder& builder) {
  const bool alpha = d.alpha.mask != 0;
  if (!builder.start(d.width, d.height, wish, alpha)) return false;
  const std::uint64_t stride = row_stride(d.width, d.bits_per_pixel);
  std::vector<unsigned char> stored;
  try {
    stored.resize(stride);
  } catch (const std::bad_alloc&) {
    return false;
  }
  for (std::uint64_t i = 0; i < d.height && i * stride < bytes; ++i) {
    const std::uint64_t wanted = bytes - i * stride < stride ? bytes - i * stride : stride;
    const std::uint64_t held = std::fread(stored.data(), 1, wanted, d.file);
    const auto y = static_cast<std::uint32_t>(d.top_down ? i : d.height - 1 - i);
    std::uint8_t* out = builder.row(y);
    for (std::uint64_t x = 0; x < d.width; ++x, out += rgb_channels) {
      const int rgb = stored_pixel(d, stored.data(), held, x);
      out[0] = static_cast<std::uint8_t>(rgb >> 16);
      out[1] = static_cast<std::uint8_t>(rgb >> 8);
      out[2] = static_cast<std::uint8_t>(rgb);
    }
    if (alpha) take_alpha(d, stored.data(), held, builder.alpha_row(y));
    builder.commit(y);
    if (held < wanted) break;
  }
  return true;
}

}  // namespace

int mask_shift(std::uint32_t mask) {
  int shift = 0;
  if (mask > 0xFF) {
    while (mask > 0xFF) {
      mask >>= 1;
      ++shift;
    }
  } else if (mask != 0) {
    while ((mask & 0x80) == 0) {
      mask <<= 1;
      ++shift;
    }
  }
  return shift;
}

std::unique_ptr<Image> load(const char* path, const char*, Wish wish) {
  Decode d;
  d.file = open_image_file(path);
  if (!d.file) return nullptr;

  unsigned char header[headers_end];
  if (std::fread(header, 1, sizeof header, d.file) != sizeof header ||
      read_u16(header) != magic_bm) {
    return nullptr;
  }
  const std::uint32_t file_size = read_u32(header + file_size_at);
  const std::uint32_t data_offset = read_u32(header + data_offset_at);
  const std::uint32_t header_size = read_u32(header + header_size_at);
  const std::int32_t width = read_s32(header + width_at);
  const std::int32_t height = read_s32(header + height_at);
  d.bits_per_pixel = read_u16(header + planes_at) * read_u16(header + bit_count_at);
  d.compression = read_u32(header + compression_at);

  // Run-length compression is not read.
  if (d.compression != compression_rgb && d.compression != compression_bitfields) {
    return nullptr;
  }
  if (d.bits_per_pixel > max_bits_per_pixel || !valid_depth(d.bits_per_pixel)) return nullptr;
  // The old 12-byte header keeps 16-bit sizes where the 40-byte one has 32-bit fields; read as
  // the later kind it would give nonsense, so it is refused with the other malformed headers.
  // A negative height means rows stored top-down; its size is the absolute value (the most
  // negative value has none). A width that is not positive has no pixels to show.
  const off_t length = file_length(d);
  if (header_size < info_header_size || width <= 0 || height == 0 || height == INT32_MIN ||
      data_offset < headers_end || length < 0 || data_offset > length) {
    return nullptr;
  }
  d.width = static_cast<std::uint32_t>(width);
  d.height = static_cast<std::uint32_t>(height < 0 ? -height : height);
  d.top_down = height < 0;
  // Refused before anything is allocated or read for the pixels.
  if (std::uint64_t{d.width} * d.height > max_image_pixels) return nullptr;

  if (d.compression == compression_rgb) set_default_masks(d);
  // Bit-field masks need the twelve bytes after the 40-byte header; a file whose pixel data
  // starts earlier has no masks to read.
  if (d.compression == compression_bitfields && (data_offset < masks_end || !read_masks(d))) {
    return nullptr;
  }
  read_alpha_mask(d, header_size, data_offset);
  try {
    read_palette(d, file_header_size + std::uint64_t{header_size}, data_offset);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }

  if (fseeko(d.file, data_offset, SEEK_SET) != 0) return nullptr;
  // The header's file size gives the pixel data size; a size below the data offset is refused.
  // Only what the file really holds is read; pixels beyond the bytes read are black.
  const std::int64_t declared = std::int64_t{file_size} - data_offset;
  if (declared < 0) return nullptr;
  const std::int64_t available = length - static_cast<std::int64_t>(data_offset);
  const std::uint64_t bytes =
      static_cast<std::uint64_t>(declared < available ? declared : available);
  ImageBuilder builder;
  if (!read_rows(d, bytes, wish, builder)) return nullptr;
  std::unique_ptr<Image> image = builder.finish();
  // Writers that fill the alpha bits with zeros mean no transparency at all.
  if (image && std::all_of(image->alpha.begin(), image->alpha.end(), [](auto a) { return a == 0; }))
    image->alpha.clear();
  return image;
}

}  // namespace bmp
