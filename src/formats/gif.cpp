// The GIF module: reads the header, the colour tables and the block structure itself, and
// decodes the LZW image data, plain or interlaced. Rows of a plain image go to the image builder
// as soon as they are complete; an interlaced image is gathered as colour indexes first, since
// its rows arrive out of order.
#include "formats/gif.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "formats/builder.h"

namespace gif {
namespace {

// Header and logical screen descriptor; a file must hold at least these bytes.
constexpr long header_size = 13;
constexpr char signature[] = {'G', 'I', 'F'};
constexpr int version_size = 3;

// Block introducers.
constexpr int extension_introducer = 0x21;
constexpr int image_separator = 0x2C;
// Left, top, width and height of an image descriptor, two bytes each.
constexpr int descriptor_fields = 4;
constexpr int trailer = 0x3B;
// The graphic control extension names the transparent colour index of the image after it.
constexpr int graphic_control_label = 0xF9;
constexpr int graphic_control_size = 4;
constexpr int transparent_flag = 0x01;
constexpr int no_transparency = -1;

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
constexpr int end_of_data = -1;  // read_code at the end of the file
constexpr int no_code = -1;      // no previous code: at the start and after a clear code

struct InterlacePass {
  std::uint64_t first_row;
  std::uint64_t step;
};
constexpr InterlacePass interlace_passes[] = {{0, 8}, {4, 8}, {2, 4}, {1, 2}};
constexpr int interlace_pass_count = sizeof interlace_passes / sizeof interlace_passes[0];

// Where store_index puts the next colour index. A plain image fills one row at a time; an
// interlaced one fills the whole index buffer, row by row through the four passes.
struct Writer {
  bool interlaced = false;
  int pass = 0;  // index into interlace_passes: 0 is the first pass
  std::uint64_t row = interlace_passes[0].first_row;
  std::uint64_t step = interlace_passes[0].step;
  std::uint64_t column = 0;
  bool done = false;  // every pixel written: further values are dropped
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

// One load.
struct Decode {
  std::FILE* file = nullptr;
  Wish wish;
  std::uint64_t width = 0;  // of the current image
  std::uint64_t height = 0;
  // One table for the global and every local colour table, red, green, blue per entry; entries
  // that no colour table fills are black.
  std::uint8_t colormap[colormap_entries][rgb_channels] = {};
  // Colour indexes: one row of a plain image, all of an interlaced one. Pixels the data never
  // reaches keep index 0 and so show colour 0, not black.
  std::vector<std::uint8_t> indexes;
  Writer writer;
  CodeReader reader;
  ImageBuilder builder;
  bool started = false;               // the builder holds the current image
  bool seen_image = false;            // an image block was met
  int transparent = no_transparency;  // the shown image's transparent index

  Decode() = default;
  Decode(const Decode&) = delete;
  Decode& operator=(const Decode&) = delete;
  ~Decode() {
    if (file) std::fclose(file);
  }
};

int read_byte(Decode& d) {
  return std::fgetc(d.file);
}

// A byte of a descriptor or colour table. A file that ends inside one reads on as zeros; the
// block loop then meets the end of the file and the load ends there, as it does between blocks.
int field_byte(Decode& d) {
  const int c = read_byte(d);
  return c == EOF ? 0 : c;
}

// Two-byte numbers are little-endian.
std::uint64_t read_u16(Decode& d) {
  const int low = field_byte(d);
  const int high = field_byte(d);
  return static_cast<std::uint64_t>(low) + 256u * static_cast<std::uint64_t>(high);
}

int colour_table_entries(int packed) {
  return 2 << (packed & colour_table_size_bits);
}

void read_colour_table(Decode& d, int entries) {
  for (int i = 0; i < entries; ++i) {
    for (std::size_t c = 0; c < rgb_channels; ++c)
      d.colormap[i][c] = static_cast<std::uint8_t>(field_byte(d));
  }
}

// Skips data sub-blocks up to and including one of length 0, or up to the end of the file.
void skip_sub_blocks(Decode& d) {
  std::uint8_t scratch[sub_block_capacity];
  for (;;) {
    const int length = read_byte(d);
    if (length == EOF || length == 0) return;
    if (std::fread(scratch, 1, length, d.file) != static_cast<std::size_t>(length)) return;
  }
}

void set_code_size(CodeReader& r, int size) {
  r.code_size = size;
  r.mask = (1 << size) - 1;
}

// The next code of the current size, least significant bit first, or end_of_data. Codes run
// on across sub-blocks; a sub-block of length 0 adds no bits, so only the end of the file ends
// the stream.
int read_code(Decode& d) {
  CodeReader& r = d.reader;
  int code = 0;
  int gathered = 0;
  while (gathered < r.code_size) {
    while (r.bit_position == r.bit_count) {
      const int length = read_byte(d);
      if (length == EOF) return end_of_data;
      const std::size_t got = std::fread(r.buffer, 1, length, d.file);
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

// Hands image row y, as colour indexes, to the builder in colour.
void emit_row(Decode& d, std::uint64_t y, const std::uint8_t* indexes) {
  const auto row = static_cast<std::uint32_t>(y);
  std::uint8_t* out = d.builder.row(row);
  for (std::uint64_t x = 0; x < d.width; ++x, out += rgb_channels)
    std::memcpy(out, d.colormap[indexes[x]], rgb_channels);
  if (d.transparent != no_transparency) {
    std::uint8_t* alpha = d.builder.alpha_row(row);
    for (std::uint64_t x = 0; x < d.width; ++x)
      alpha[x] = indexes[x] == d.transparent ? 0 : 255;
  }
  d.builder.commit(row);
}

// Stores one colour index at the write position and moves it on, through the four passes of
// an interlaced image. Values beyond the image are dropped.
void store_index(Decode& d, std::uint8_t value) {
  Writer& w = d.writer;
  if (w.done) return;
  if (!w.interlaced) {
    d.indexes[w.column] = value;
    if (++w.column < d.width) return;
    emit_row(d, w.row, d.indexes.data());
    std::memset(d.indexes.data(), 0, d.indexes.size());
    w.column = 0;
    w.done = ++w.row >= d.height;
    return;
  }
  d.indexes[w.row * d.width + w.column] = value;
  if (++w.column < d.width) return;
  w.column = 0;
  w.row += w.step;
  // A pass whose first row lies below the image is skipped.
  while (w.row >= d.height) {
    if (++w.pass == interlace_pass_count) {
      w.done = true;
      return;
    }
    w.row = interlace_passes[w.pass].first_row;
    w.step = interlace_passes[w.pass].step;
  }
}

// Whether the data reached row y of an interlaced image, in whole or in part: its pass came
// before the one the writer stopped in, or is that one and the writer got as far as the row.
bool reached(const Writer& w, std::uint64_t y) {
  if (w.done) return true;
  int pass = 0;
  while (pass + 1 < interlace_pass_count &&
         (y < interlace_passes[pass].first_row ||
          (y - interlace_passes[pass].first_row) % interlace_passes[pass].step != 0)) {
    ++pass;
  }
  return pass < w.pass || (pass == w.pass && y <= w.row);
}

// The rows the data did not complete, and all rows of an interlaced image, go to the builder
// once the image data has ended.
void finish_rows(Decode& d) {
  if (d.writer.interlaced) {
    // Rows the data never reached are index 0 throughout, one colour for the builder.
    for (std::uint64_t y = 0; y < d.height; ++y) {
      if (reached(d.writer, y)) {
        emit_row(d, y, d.indexes.data() + y * d.width);
      } else {
        d.builder.fill(static_cast<std::uint32_t>(y), d.colormap[0]);
      }
    }
    return;
  }
  if (d.writer.done) return;
  // The partly written row, then rows of index 0, all one colour.
  emit_row(d, d.writer.row, d.indexes.data());
  for (std::uint64_t y = d.writer.row + 1; y < d.height; ++y)
    d.builder.fill(static_cast<std::uint32_t>(y), d.colormap[0]);
}

// Decodes LZW data of minimum code size c into the current image until an end code, the end of
// the file, or a code that names no string.
void decode_lzw(Decode& d, int c) {
  LzwTables t;
  const int clear = 1 << c;
  const int end = clear + 1;
  int next = clear + 2;
  int previous = no_code;
  std::uint8_t previous_first = 0;  // first byte of the previous code's string
  for (;;) {
    const int code = read_code(d);
    if (code == end_of_data || code == end) return;
    if (code == clear) {
      // Entries are not erased: those at and above next are simply not reachable any more.
      set_code_size(d.reader, d.reader.initial_code_size);
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
      store_index(d, previous_first);
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
      store_index(d, t.stack[--depth]);

    // A full table takes no more entries and keeps 12-bit codes until a clear code.
    if (next < lzw_table_size) {
      t.prefix[next] = previous;
      t.suffix[next] = first;
      ++next;
      if (next > d.reader.mask && d.reader.code_size < max_code_size) {
        set_code_size(d.reader, d.reader.code_size + 1);
      }
    }
    previous = code;
    previous_first = first;
  }
}

// Starts the image a descriptor declares. An empty one is no image, but the blocks after it
// are still read; false when the image is over the size cap or memory cannot be had.
bool start_image(Decode& d, bool interlaced) {
  d.started = false;
  d.seen_image = true;
  d.writer = Writer{};
  d.writer.interlaced = interlaced;
  d.writer.done = true;
  if (d.width == 0 || d.height == 0) return true;
  if (!d.builder.start(d.width, d.height, d.wish, d.transparent != no_transparency)) return false;
  try {
    d.indexes.assign(interlaced ? d.width * d.height : d.width, 0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  d.writer.done = false;
  d.started = true;
  return true;
}

// One image block, after its separator byte; false when the load fails.
bool decode_image(Decode& d) {
  read_u16(d);  // left and top: each image is shown alone at its own size
  read_u16(d);
  d.width = read_u16(d);
  d.height = read_u16(d);
  const int packed = field_byte(d);
  if (!start_image(d, (packed & interlace_flag) != 0)) return false;
  // A local table stays in colormap for the rest of the file, over the entries it covers.
  if (packed & colour_table_flag) read_colour_table(d, colour_table_entries(packed));

  const int c = field_byte(d);
  if (c < min_lzw_code_size || c > max_lzw_code_size) {
    // No room for such codes in the table (or no meaning at all): the image stays index 0 and
    // its data, terminator included, is passed over so the block loop goes on at the next block.
    skip_sub_blocks(d);
  } else {
    d.reader = CodeReader{};
    d.reader.initial_code_size = c + 1;
    set_code_size(d.reader, c + 1);
    decode_lzw(d, c);
    read_byte(d);  // the block terminator after the data
  }
  if (d.started) finish_rows(d);
  return true;
}

// Walks the blocks up to the trailer or the end of the file, either of which ends a successful
// load, and answers the offset of the last image block after its separator (the one shown), or
// -1 for none. The other images' data is passed over undecoded, so a small file of many images
// claiming a gigapixel each costs one decode, not one per image; their colour tables are read on
// the way, since a local table stays in the colormap for the rest of the file.
// The transparent index a graphic control extension states, after its label; its sub-blocks
// are read to their end.
int read_graphic_control(Decode& d) {
  int transparent = no_transparency;
  const int size = read_byte(d);
  if (size >= graphic_control_size) {
    const int packed = read_byte(d);
    read_u16(d);  // the delay
    const int index = read_byte(d);
    if ((packed & transparent_flag) && index != EOF) transparent = index;
    for (int i = graphic_control_size; i < size; ++i)
      read_byte(d);
  } else {
    for (int i = 0; i < size; ++i)
      read_byte(d);
  }
  if (size > 0) skip_sub_blocks(d);
  return transparent;
}

long find_last_image(Decode& d) {
  long last = -1;
  int transparent = no_transparency;  // for the next image
  for (;;) {
    const int introducer = read_byte(d);
    if (introducer == EOF || introducer == trailer) return last;
    if (introducer == extension_introducer && read_byte(d) == graphic_control_label) {
      transparent = read_graphic_control(d);
      continue;
    }
    if (introducer == image_separator) {
      last = std::ftell(d.file);
      d.transparent = transparent;
      transparent = no_transparency;
      for (int field = 0; field < descriptor_fields; ++field)
        read_u16(d);
      const int packed = field_byte(d);
      if (packed & colour_table_flag) read_colour_table(d, colour_table_entries(packed));
      field_byte(d);  // the minimum code size
    }
    // Other extensions (comments, animation) are not used, their label already read; any other
    // byte is taken as a block of sub-blocks without a label.
    skip_sub_blocks(d);
  }
}

}  // namespace

std::unique_ptr<Image> load(const char* path, const char* /*selector*/, Wish wish) {
  Decode d;
  d.wish = wish;
  d.file = open_image_file(path);
  if (!d.file) return nullptr;
  long file_size = 0;
  if (std::fseek(d.file, 0, SEEK_END) == 0) file_size = std::ftell(d.file);
  std::rewind(d.file);
  if (file_size < header_size) return nullptr;
  for (char expected : signature) {
    if (read_byte(d) != expected) return nullptr;
  }
  for (int i = 0; i < version_size; ++i)
    read_byte(d);  // any version is read alike

  const std::uint64_t screen_width = read_u16(d);
  const std::uint64_t screen_height = read_u16(d);
  const int packed = field_byte(d);
  field_byte(d);  // background colour index
  if (field_byte(d) != 0) {
    std::puts("Hmm: ASPECT RATIO given ! What to do ?");
    return nullptr;
  }
  if (packed & colour_table_flag) read_colour_table(d, colour_table_entries(packed));
  if (const long last = find_last_image(d); last >= 0) {
    if (std::fseek(d.file, last, SEEK_SET) != 0 || !decode_image(d)) return nullptr;
  }
  if (d.started) return d.builder.finish();
  // A file without any image block shows its logical screen, black; one whose last image is
  // empty shows nothing.
  if (d.seen_image || !d.builder.start(screen_width, screen_height, wish)) return nullptr;
  return d.builder.finish();
}

}  // namespace gif
