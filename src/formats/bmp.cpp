// The BMP module: uncompressed and bit-field Windows bitmaps. load keeps the pixel rows exactly
// as stored; get_pixel decodes one pixel from them on demand.
#include "formats/bmp.h"

#include <sys/types.h>

#include <cstdio>
#include <cstdlib>

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

// The one loaded image. All sizes and offsets that derive from file fields are 64-bit, so no
// field value can make them wrap.
struct Image {
  std::FILE* file = nullptr;
  std::int32_t width = 0;
  std::int32_t height = 0;  // always positive once loaded; top_down says how rows are stored
  bool top_down = false;
  std::uint32_t bits_per_pixel = 0;
  std::uint32_t compression = compression_rgb;
  int* colormap = nullptr;
  std::uint32_t colour_count = 0;
  Channel red, green, blue;
  std::uint64_t stride = 0;
  unsigned char* pixels = nullptr;
  std::uint64_t pixel_bytes = 0;  // what was actually read, not what the header claims
};

Image image;

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

void close_file() {
  if (image.file) std::fclose(image.file);
  image.file = nullptr;
}

void release_colormap() {
  std::free(image.colormap);
  image.colormap = nullptr;
  image.colour_count = 0;
}

bool valid_depth(std::uint32_t bits) {
  return bits == 1 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
}

// Reads count bytes at position into buffer; false when the file cannot supply them all.
bool read_at(off_t position, unsigned char* buffer, std::size_t count) {
  if (fseeko(image.file, position, SEEK_SET) != 0) return false;
  return std::fread(buffer, 1, count, image.file) == count;
}

off_t file_length() {
  if (fseeko(image.file, 0, SEEK_END) != 0) return -1;
  return ftello(image.file);
}

void set_default_masks() {
  if (image.bits_per_pixel == 16) {
    image.red = {red_555, mask_shift(red_555)};
    image.green = {green_555, mask_shift(green_555)};
    image.blue = {blue_555, mask_shift(blue_555)};
  } else if (image.bits_per_pixel == 32) {
    image.red = {red_888, mask_shift(red_888)};
    image.green = {green_888, mask_shift(green_888)};
    image.blue = {blue_888, mask_shift(blue_888)};
  }
}

bool read_masks() {
  unsigned char bytes[masks_end - masks_at];
  if (!read_at(masks_at, bytes, sizeof bytes)) return false;
  const std::uint32_t red = read_u32(bytes);
  const std::uint32_t green = read_u32(bytes + 4);
  const std::uint32_t blue = read_u32(bytes + 8);
  image.red = {red, mask_shift(red)};
  image.green = {green, mask_shift(green)};
  image.blue = {blue, mask_shift(blue)};
  return true;
}

// The palette sits between the end of the information header, whatever its version, and the
// pixel data. Only as many entries as a pixel can index are kept: 16-, 24- and 32-bit pixels
// never look one up, and a file cannot make us allocate more than 256 entries.
// Returns false only when the allocation fails.
bool read_palette(std::uint64_t palette_at, std::uint64_t data_offset) {
  if (image.bits_per_pixel > max_palette_bits || palette_at >= data_offset) return true;
  std::uint64_t count = (data_offset - palette_at) / palette_entry_size;
  const std::uint64_t indexable = std::uint64_t{1} << image.bits_per_pixel;
  if (count > indexable) count = indexable;
  // With bit-field compression the masks stand where a palette would: no colours are read, so
  // every palette lookup gives black.
  if (count == 0 || image.compression == compression_bitfields) return true;
  // calloc: entries that cannot be read stay black.
  image.colormap = static_cast<int*>(std::calloc(count, sizeof(int)));
  if (!image.colormap) return false;
  image.colour_count = static_cast<std::uint32_t>(count);
  unsigned char entry[palette_entry_size];
  if (fseeko(image.file, static_cast<off_t>(palette_at), SEEK_SET) != 0) return true;
  for (std::uint32_t i = 0; i < image.colour_count; ++i) {
    if (std::fread(entry, 1, sizeof entry, image.file) != sizeof entry) break;
    image.colormap[i] = entry[2] << 16 | entry[1] << 8 | entry[0];
  }
  return true;
}

// Bytes per stored row: width x depth bits, a partly used byte counted whole, padded to 4 bytes.
std::uint64_t row_stride(std::int32_t width, std::uint32_t bits_per_pixel) {
  const std::uint64_t row_bytes = (static_cast<std::uint64_t>(width) * bits_per_pixel + 7) / 8;
  return (row_bytes + row_alignment - 1) / row_alignment * row_alignment;
}

int palette_colour(std::uint32_t index) {
  return index < image.colour_count ? image.colormap[index] : 0;
}

// A channel's bits moved so that the mask's highest bit lands on bit 7: masks above bit 7 move
// right, narrower masks move left. The usual layouts (5-5-5, 5-6-5, 8-8-8) only ever need the
// 16-bit blue channel moved left, but a file may order its masks any way it likes; choosing
// the direction from the mask keeps every channel within its 8 bits for all of them.
std::uint32_t channel(std::uint32_t value, const Channel& c) {
  const std::uint32_t bits = value & c.mask;
  return c.mask > 0xFF ? bits >> c.shift : bits << c.shift;
}

int masked_colour(std::uint32_t value) {
  return static_cast<int>(channel(value, image.red) << 16 | channel(value, image.green) << 8 |
                          channel(value, image.blue));
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

int load(const char* path, const char*, std::uint32_t, std::uint32_t) {
  image = Image{};
  image.file = std::fopen(path, "rb");
  if (!image.file) return 0;

  unsigned char header[headers_end];
  if (std::fread(header, 1, sizeof header, image.file) != sizeof header ||
      read_u16(header) != magic_bm) {
    close_file();
    return 0;
  }
  const std::uint32_t file_size = read_u32(header + file_size_at);
  const std::uint32_t data_offset = read_u32(header + data_offset_at);
  const std::uint32_t header_size = read_u32(header + header_size_at);
  const std::int32_t width = read_s32(header + width_at);
  const std::int32_t height = read_s32(header + height_at);
  image.bits_per_pixel = read_u16(header + planes_at) * read_u16(header + bit_count_at);
  image.compression = read_u32(header + compression_at);

  // Run-length compression is not read; the file is closed by unload.
  if (image.compression != compression_rgb && image.compression != compression_bitfields) {
    return 0;
  }
  if (image.bits_per_pixel > max_bits_per_pixel || !valid_depth(image.bits_per_pixel)) {
    close_file();
    return 0;
  }
  // The old 12-byte header keeps 16-bit sizes where the 40-byte one has 32-bit fields; read as
  // the later kind it would give nonsense, so it is refused with the other malformed headers.
  // A negative height means rows stored top-down; its size is the absolute value (the most
  // negative value has none). A width that is not positive has no pixels to show.
  const off_t length = file_length();
  if (header_size < info_header_size || width <= 0 || height == 0 || height == INT32_MIN ||
      data_offset < headers_end || length < 0 || data_offset > length) {
    close_file();
    return 0;
  }
  image.width = width;
  image.height = height < 0 ? -height : height;
  image.top_down = height < 0;

  if (image.compression == compression_rgb) set_default_masks();
  // Bit-field masks need the twelve bytes after the 40-byte header; a file whose pixel data
  // starts earlier has no masks to read.
  if (image.compression == compression_bitfields && (data_offset < masks_end || !read_masks())) {
    close_file();
    return 0;
  }
  if (!read_palette(file_header_size + std::uint64_t{header_size}, data_offset)) {
    close_file();
    return 0;
  }

  image.stride = row_stride(image.width, image.bits_per_pixel);
  if (fseeko(image.file, data_offset, SEEK_SET) != 0) return 0;
  // The header's file size gives the pixel data size; a size below the data offset is refused.
  // Only what the file really holds is allocated, so a false size cannot make us reserve
  // gigabytes for a small file; pixels beyond the bytes read are black.
  const std::int64_t declared = std::int64_t{file_size} - data_offset;
  if (declared < 0) {
    release_colormap();
    return 0;
  }
  const std::int64_t available = length - static_cast<std::int64_t>(data_offset);
  const std::uint64_t wanted =
      static_cast<std::uint64_t>(declared < available ? declared : available);
  if (wanted > 0) {
    image.pixels = static_cast<unsigned char*>(std::malloc(wanted));
    if (!image.pixels) {
      release_colormap();
      return 0;
    }
    image.pixel_bytes = std::fread(image.pixels, 1, wanted, image.file);
  }
  return 1;
}

void unload() {
  release_colormap();
  std::free(image.pixels);
  close_file();
  image = Image{};
}

int get_pixel(std::int32_t x, std::int32_t y, int) {
  if (x < 0 || y < 0 || x >= image.width || y >= image.height) return 0;
  const std::uint64_t row = image.top_down ? y : image.height - 1 - y;
  const std::uint64_t row_start = row * image.stride;
  const std::uint64_t bits = static_cast<std::uint64_t>(x) * image.bits_per_pixel;
  const std::uint64_t first = row_start + bits / 8;
  const std::uint64_t bytes_needed = image.bits_per_pixel < 8 ? 1 : image.bits_per_pixel / 8;
  if (first + bytes_needed > image.pixel_bytes) return 0;
  const unsigned char* p = image.pixels + first;

  switch (image.bits_per_pixel) {
    case 1:
      return palette_colour((*p >> (7 - x % 8)) & 0x1);
    case 4:
      return palette_colour(x % 2 == 0 ? *p >> 4 : *p & 0xF);
    case 8:
      return palette_colour(*p);
    case 16:
      return masked_colour(read_u16(p));
    case 24:
      return p[2] << 16 | p[1] << 8 | p[0];
    case 32:
      return masked_colour(read_u32(p));
  }
  return 0;
}

std::int64_t get_width() {
  return image.width;
}

std::int64_t get_height() {
  return image.height;
}

}  // namespace bmp
