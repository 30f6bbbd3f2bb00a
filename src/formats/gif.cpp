// The GIF module: reads the header, the colour tables and the block structure itself, and
// decodes the LZW image data, plain or interlaced, into one colour index byte per pixel. The
// whole image is decoded at load, so get_pixel is a bounds check and two lookups.
#include "formats/gif.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace gif {
namespace {

// Header and logical screen descriptor; a file must hold at least these bytes.
constexpr std::int64_t header_size = 13;
constexpr char signature[] = {'G', 'I', 'F'};
constexpr int version_size = 3;

// Block introducers.
constexpr int extension_introducer = 0x21;
constexpr int image_separator = 0x2C;
constexpr int trailer = 0x3B;

// Packed bytes of the logical screen and image descriptors.
constexpr int colour_table_flag = 0x80;
constexpr int interlace_flag = 0x40;
constexpr int colour_table_size_bits = 0x07;

constexpr int colormap_entries = 256;
constexpr int sub_block_capacity = 256;  // a length byte allows at most 255 data bytes

// LZW: at most 4096 codes of at most 12 bits. The format allows minimum code sizes 2 to 8;
// up to 11 the table still has room beyond the clear and end codes, so those are decoded too.
constexpr int lzw_table_size = 4096;
constexpr int max_code_size = 12;
constexpr int min_lzw_code_size = 2;
constexpr int max_lzw_code_size = 11;
constexpr int end_of_data = -1;  // gif_read_code at the end of the file
constexpr int no_code = -1;      // no previous code: at the start and after a clear code

struct InterlacePass {
  std::uint64_t first_row;
  std::uint64_t step;
};
constexpr InterlacePass interlace_passes[] = {{0, 8}, {4, 8}, {2, 4}, {1, 2}};
constexpr int interlace_pass_count = sizeof interlace_passes / sizeof interlace_passes[0];

// Where gif_store_index puts the next colour index.
struct Writer {
  std::uint64_t position = 0;  // in pixels from the start of the buffer
  bool interlaced = false;
  int pass = 0;  // index into interlace_passes: 0 is the first pass
  std::uint64_t row = interlace_passes[0].first_row;
  std::uint64_t step = interlace_passes[0].step;
  std::uint64_t column = 0;
};

// The bit stream of the LZW data, one data sub-block at a time.
struct CodeReader {
  std::uint8_t buffer[sub_block_capacity] = {};
  int bit_count = 0;     // bits in the buffered sub-block
  int bit_position = 0;  // next unread bit
  int code_size = 0;     // bits per code
  int mask = 0;          // 2^code_size - 1
  int initial_code_size = 0;
};

// Decoding tables of one image; a string is collected on the stack last byte first.
struct LzwTables {
  int prefix[lzw_table_size] = {};
  std::uint8_t suffix[lzw_table_size] = {};
  std::uint8_t stack[lzw_table_size] = {};
};

struct GifState {
  std::FILE* file = nullptr;
  std::int64_t file_size = 0;
  std::uint64_t width = 0;
  std::uint64_t height = 0;
  bool global_table = false;
  int global_table_size = 0;
  // One table for the global and every local colour table; entries are 0x00BBGGRR.
  std::uint32_t* colormap = nullptr;
  std::uint8_t* pixels = nullptr;  // width x height colour indexes, top row first
  Writer writer;
  CodeReader reader;
};

GifState gs;

void close_file() {
  if (gs.file) std::fclose(gs.file);
  gs.file = nullptr;
}

int read_byte() {
  return std::fgetc(gs.file);
}

// A byte of a descriptor or colour table. A file that ends inside one reads on as zeros; the
// block loop then meets the end of the file and the load ends there, as it does between blocks.
int field_byte() {
  const int c = read_byte();
  return c == EOF ? 0 : c;
}

// Two-byte numbers are little-endian.
std::uint64_t read_u16() {
  const int low = field_byte();
  const int high = field_byte();
  return static_cast<std::uint64_t>(low) + 256u * static_cast<std::uint64_t>(high);
}

int colour_table_entries(int packed) {
  return 2 << (packed & colour_table_size_bits);
}

void read_colour_table(int entries) {
  for (int i = 0; i < entries; ++i) {
    const std::uint32_t red = field_byte();
    const std::uint32_t green = field_byte();
    const std::uint32_t blue = field_byte();
    gs.colormap[i] = red | green << 8 | blue << 16;
  }
}

// Skips data sub-blocks up to and including one of length 0, or up to the end of the file.
void skip_sub_blocks() {
  std::uint8_t scratch[sub_block_capacity];
  for (;;) {
    const int length = read_byte();
    if (length == EOF || length == 0) return;
    if (std::fread(scratch, 1, length, gs.file) != static_cast<std::size_t>(length)) return;
  }
}

void set_code_size(int size) {
  gs.reader.code_size = size;
  gs.reader.mask = (1 << size) - 1;
}

// The next code of the current size, least significant bit first, or end_of_data. Codes run
// on across sub-blocks; a sub-block of length 0 adds no bits, so only the end of the file ends
// the stream.
int gif_read_code() {
  CodeReader& r = gs.reader;
  int code = 0;
  int gathered = 0;
  while (gathered < r.code_size) {
    while (r.bit_position == r.bit_count) {
      const int length = read_byte();
      if (length == EOF) return end_of_data;
      const std::size_t got = std::fread(r.buffer, 1, length, gs.file);
      // A sub-block cut short by the end of the file: its missing bytes read as zero bits, so
      // the result does not depend on what an earlier sub-block left in the buffer.
      std::memset(r.buffer + got, 0, length - got);
      r.bit_count = length * 8;
      r.bit_position = 0;
    }
    // Take as many bits as the current byte still holds, up to what the code needs.
    const int shift = r.bit_position & 7;
    const int take = r.code_size - gathered < 8 - shift ? r.code_size - gathered : 8 - shift;
    const int bits = (r.buffer[r.bit_position >> 3] >> shift) & ((1 << take) - 1);
    code |= bits << gathered;
    gathered += take;
    r.bit_position += take;
  }
  return code & r.mask;
}

// Stores one colour index at the write position and moves it on, through the four passes of
// an interlaced image. Values beyond the image are dropped.
void gif_store_index(std::uint8_t value) {
  Writer& w = gs.writer;
  if (w.position >= gs.width * gs.height) return;
  gs.pixels[w.position++] = value;
  if (!w.interlaced) return;
  if (++w.column < gs.width) return;
  w.column = 0;
  w.row += w.step;
  // A pass whose first row lies below the image is skipped.
  while (w.row >= gs.height) {
    if (++w.pass == interlace_pass_count) {
      w.position = gs.width * gs.height;
      return;
    }
    w.row = interlace_passes[w.pass].first_row;
    w.step = interlace_passes[w.pass].step;
  }
  w.position = w.row * gs.width;
}

// Decodes LZW data of minimum code size c into the pixel buffer until an end code, the end of
// the file, or a code that names no string.
void decode_lzw(int c) {
  LzwTables t;
  const int clear = 1 << c;
  const int end = clear + 1;
  int next = clear + 2;
  int previous = no_code;
  std::uint8_t previous_first = 0;  // first byte of the previous code's string
  for (;;) {
    const int code = gif_read_code();
    if (code == end_of_data || code == end) return;
    if (code == clear) {
      // Entries are not erased: those at and above next are simply not reachable any more.
      set_code_size(gs.reader.initial_code_size);
      next = clear + 2;
      previous = no_code;
      continue;
    }
    if (previous == no_code) {
      // Without a previous code only a root code names a string. Anything else comes from a
      // damaged file; the image ends there rather than walking entries never written.
      if (code >= clear) return;
      // Minimum code sizes above 8 give root codes beyond a byte; the pixel keeps the low byte.
      previous_first = static_cast<std::uint8_t>(code);
      gif_store_index(previous_first);
      previous = code;
      continue;
    }
    if (code > next) return;

    int depth = 0;
    int walk = code;
    if (code == next) {
      // Not in the table yet: the previous string followed by its own first byte.
      t.stack[depth++] = previous_first;
      walk = previous;
    }
    // Every prefix is a smaller code, so a chain never outgrows the stack; the bound only keeps
    // one byte free for the root.
    while (walk >= clear && depth < lzw_table_size - 1) {
      t.stack[depth++] = t.suffix[walk];
      walk = t.prefix[walk];
    }
    const auto first = static_cast<std::uint8_t>(walk);
    t.stack[depth++] = first;
    while (depth > 0)
      gif_store_index(t.stack[--depth]);

    // A full table takes no more entries and keeps 12-bit codes until a clear code.
    if (next < lzw_table_size) {
      t.prefix[next] = previous;
      t.suffix[next] = first;
      ++next;
      if (next > gs.reader.mask && gs.reader.code_size < max_code_size) {
        set_code_size(gs.reader.code_size + 1);
      }
    }
    previous = code;
    previous_first = first;
  }
}

// One image block, after its separator byte. Returns false when its pixel buffer cannot be
// allocated; the file is then closed and the load fails.
bool gif_decode_image() {
  read_u16();  // left and top: each image is shown alone at its own size
  read_u16();
  gs.width = read_u16();
  gs.height = read_u16();

  std::free(gs.pixels);
  // Cleared, so pixels the data never reaches are index 0 deterministically. An empty image
  // still gets a byte: calloc may answer null for 0 bytes, which is no shortage of memory.
  const std::uint64_t count = gs.width * gs.height;
  gs.pixels = static_cast<std::uint8_t*>(std::calloc(count ? count : 1, 1));
  if (!gs.pixels) {
    std::puts("Out of memory.");
    close_file();
    return false;
  }

  const int packed = field_byte();
  gs.writer = Writer{};
  gs.writer.interlaced = (packed & interlace_flag) != 0;
  // A local table stays in colormap for the rest of the file, over the entries it covers.
  if (packed & colour_table_flag) read_colour_table(colour_table_entries(packed));

  const int c = field_byte();
  if (c < min_lzw_code_size || c > max_lzw_code_size) {
    // No room for such codes in the table (or no meaning at all): the image stays empty and its
    // data, terminator included, is passed over so the block loop goes on at the next block.
    skip_sub_blocks();
    return true;
  }
  gs.reader = CodeReader{};
  gs.reader.initial_code_size = c + 1;
  set_code_size(c + 1);
  decode_lzw(c);
  read_byte();  // the block terminator after the data
  return true;
}

// Blocks up to the trailer or the end of the file, either of which ends a successful load.
int read_blocks() {
  for (;;) {
    const int introducer = read_byte();
    if (introducer == EOF || introducer == trailer) {
      close_file();
      return 1;
    }
    if (introducer == image_separator) {
      if (!gif_decode_image()) return 0;
    } else {
      // Extensions (transparency, comments, animation) are not used; any other byte is taken
      // as a block of sub-blocks without a label. The end of the file met while skipping ends
      // the load as it would between blocks.
      if (introducer == extension_introducer) read_byte();
      skip_sub_blocks();
    }
  }
}

}  // namespace

int load(const char* path, const char* /*selector*/, std::uint32_t /*want_w*/,
         std::uint32_t /*want_h*/) {
  // Callers unload between loads; releasing here as well means a missed unload cannot leak.
  unload();
  gs.file = std::fopen(path, "rb");
  if (!gs.file) return 0;
  if (std::fseek(gs.file, 0, SEEK_END) == 0) gs.file_size = std::ftell(gs.file);
  std::rewind(gs.file);
  if (gs.file_size < header_size) {
    close_file();
    return 0;
  }
  for (char expected : signature) {
    if (read_byte() != expected) {
      close_file();
      return 0;
    }
  }
  for (int i = 0; i < version_size; ++i)
    read_byte();  // any version is read alike

  gs.width = read_u16();
  gs.height = read_u16();
  const int packed = field_byte();
  gs.global_table = (packed & colour_table_flag) != 0;
  gs.global_table_size = colour_table_entries(packed);
  field_byte();  // background colour index
  if (field_byte() != 0) {
    std::puts("Hmm: ASPECT RATIO given ! What to do ?");
    close_file();
    return 0;
  }

  // Cleared, so entries that no colour table fills are black.
  gs.colormap = static_cast<std::uint32_t*>(std::calloc(colormap_entries, sizeof *gs.colormap));
  if (!gs.colormap) {
    close_file();
    return 0;
  }
  if (gs.global_table) read_colour_table(gs.global_table_size);
  return read_blocks();
}

void unload() {
  std::free(gs.colormap);
  std::free(gs.pixels);
  close_file();
  gs = GifState{};
}

int get_pixel(std::int32_t x, std::int32_t y, int /*color*/) {
  // Taken as unsigned, negative coordinates lie beyond any width or height.
  const auto ux = static_cast<std::uint32_t>(x);
  const auto uy = static_cast<std::uint32_t>(y);
  if (!gs.pixels || ux >= gs.width || uy >= gs.height) return 0;
  const std::uint32_t entry = gs.colormap[gs.pixels[uy * gs.width + ux]];
  const int red = entry & 0xFF;
  const int green = (entry >> 8) & 0xFF;
  const int blue = (entry >> 16) & 0xFF;
  return red << 16 | green << 8 | blue;
}

std::int64_t get_width() {
  return static_cast<std::int64_t>(gs.width);
}
std::int64_t get_height() {
  return static_cast<std::int64_t>(gs.height);
}

}  // namespace gif
