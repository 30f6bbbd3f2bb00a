// The GIF module: reads the header, the colour tables and the block structure itself, and
// decodes the LZW image data, plain or interlaced. Rows of a plain image go to the image builder
// (or onto an animation's canvas) as soon as they are complete; an interlaced image is gathered
// as colour indexes first, since its rows arrive out of order. A still decode is the file's
// first image; an animation composes every image onto the logical screen.
#include "formats/gif.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "formats/animation.h"
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
constexpr int trailer = 0x3B;

// Extension labels, and the fields of a graphic control extension: packed byte, delay in
// hundredths of a second, transparent index.
constexpr int graphic_control_label = 0xF9;
constexpr int application_label = 0xFF;
constexpr int graphic_control_size = 4;
constexpr int transparent_flag = 0x01;
constexpr int disposal_shift = 2;
constexpr int disposal_bits = 0x07;
constexpr std::uint32_t ms_per_delay_unit = 10;
// The application extension that states the loop count: its 11-byte identifier, then a
// sub-block of 3 bytes, 1 and the count.
constexpr char looping_identifier[] = "NETSCAPE2.0";
constexpr std::size_t looping_identifier_size = 11;
constexpr int looping_block_size = 3;
constexpr int looping_block_id = 1;

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

// What becomes of a frame's rectangle once it has been shown.
enum Disposal : int {
  dispose_none = 0,  // unspecified (0) and "leave in place" (1) alike
  dispose_keep = 1,
  dispose_background = 2,
  dispose_previous = 3,
};

// One load, or one animation reader's pass through the file.
struct Decode {
  std::FILE* file = nullptr;
  Wish wish;
  std::uint64_t left = 0;  // of the current image on the logical screen
  std::uint64_t top = 0;
  std::uint64_t width = 0;  // of the current image
  std::uint64_t height = 0;
  // An animation composes rows onto this canvas instead of handing them to the builder;
  // pixels of the transparent index (-1 for none) leave what lies beneath.
  Image* canvas = nullptr;
  int transparent = -1;
  // One table for the global and every local colour table, red, green, blue per entry; entries
  // that no colour table fills are black.
  std::uint8_t colormap[colormap_entries][rgb_channels] = {};
  // Colour indexes of the row being written of a plain image; of an interlaced one, every row
  // the data has reached, each taken when the data comes to it, so that a few bytes claiming a
  // huge image cost only the rows they fill. Pixels the data never reaches keep index 0 and so
  // show colour 0, not black.
  Raster indexes;
  std::vector<Raster> rows;
  Writer writer;
  CodeReader reader;
  ImageBuilder builder;
  bool started = false;     // the builder holds the current image
  bool seen_image = false;  // an image block was met

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

// Draws image row y, as colour indexes, at its place on the canvas, clipped to it.
void compose_row(Decode& d, std::uint64_t y, const std::uint8_t* indexes) {
  Image& canvas = *d.canvas;
  if (d.top + y >= canvas.height || d.left >= canvas.width) return;
  const std::uint64_t across = std::min<std::uint64_t>(d.width, canvas.width - d.left);
  std::uint8_t* out = canvas.row(static_cast<std::uint32_t>(d.top + y)) + d.left * rgb_channels;
  for (std::uint64_t x = 0; x < across; ++x, out += rgb_channels) {
    if (indexes[x] != d.transparent) std::memcpy(out, d.colormap[indexes[x]], rgb_channels);
  }
}

// Hands image row y, as colour indexes, to the builder in colour.
void emit_row(Decode& d, std::uint64_t y, const std::uint8_t* indexes) {
  if (d.canvas) {
    compose_row(d, y, indexes);
    return;
  }
  const auto row = static_cast<std::uint32_t>(y);
  std::uint8_t* out = d.builder.row(row);
  for (std::uint64_t x = 0; x < d.width; ++x, out += rgb_channels)
    std::memcpy(out, d.colormap[indexes[x]], rgb_channels);
  if (d.transparent >= 0) {
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
  Raster& row = d.rows[w.row];
  if (w.column == 0) {
    try {
      row = Raster(d.width);
    } catch (const std::bad_alloc&) {
      w.done = true;  // the image ends where memory did
      return;
    }
  }
  row[w.column] = value;
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

// Rows the data never reached: index 0 throughout, one colour for the builder. On a canvas they
// leave what lies beneath, since the frame is the animation's last.
void fill_rows(Decode& d, std::uint64_t y, std::uint64_t rows) {
  if (!d.canvas) {
    d.builder.fill(static_cast<std::uint32_t>(y), static_cast<std::uint32_t>(rows), d.colormap[0]);
  }
}

// The rows the data did not complete, and all rows of an interlaced image, go to the builder
// once the image data has ended.
void finish_rows(Decode& d) {
  if (d.writer.interlaced) {
    for (std::uint64_t y = 0; y < d.height;) {
      if (d.rows[y].size() != 0) {
        emit_row(d, y, d.rows[y].data());
        ++y;
        continue;
      }
      std::uint64_t end = y + 1;
      while (end < d.height && d.rows[end].size() == 0)
        ++end;
      fill_rows(d, y, end - y);
      y = end;
    }
    return;
  }
  if (d.writer.done) return;
  // The partly written row, then rows of index 0.
  emit_row(d, d.writer.row, d.indexes.data());
  fill_rows(d, d.writer.row + 1, d.height - d.writer.row - 1);
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
  if (d.canvas) {
    // Only the part on the canvas is drawn, but an interlaced image's indexes are all kept.
    if (interlaced && d.width * d.height > max_animation_pixels) return false;
  } else if (!d.builder.start(d.width, d.height, d.wish, d.transparent >= 0)) {
    return false;
  }
  try {
    d.indexes = Raster(interlaced ? 0 : d.width);
    d.rows.assign(interlaced ? d.height : 0, Raster{});
  } catch (const std::bad_alloc&) {
    return false;
  }
  d.writer.done = false;
  d.started = true;
  return true;
}

// One image block, after its separator byte; false when the load fails.
bool decode_image(Decode& d) {
  // A still image is shown alone at its own size; an animation places it on the canvas.
  d.left = read_u16(d);
  d.top = read_u16(d);
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

// What a graphic control extension states for the image after it.
struct Control {
  int disposal = dispose_none;
  std::uint32_t delay_ms = 0;
  int transparent = -1;
};

// The sub-blocks of a graphic control extension, after its label.
Control read_control(Decode& d) {
  Control control;
  const int length = read_byte(d);
  if (length == graphic_control_size) {
    const int packed = field_byte(d);
    control.disposal = packed >> disposal_shift & disposal_bits;
    control.delay_ms = static_cast<std::uint32_t>(read_u16(d)) * ms_per_delay_unit;
    const int index = field_byte(d);
    if (packed & transparent_flag) control.transparent = index;
  } else if (length != EOF && length != 0) {
    std::fseek(d.file, length, SEEK_CUR);
  }
  if (length != 0) skip_sub_blocks(d);
  return control;
}

// Reads the next data sub-block into buffer; its length, or -1 at the end of the file.
int read_sub_block(Decode& d, std::uint8_t (&buffer)[sub_block_capacity]) {
  const int length = read_byte(d);
  if (length == EOF) return -1;
  if (std::fread(buffer, 1, length, d.file) != static_cast<std::size_t>(length)) return -1;
  return length;
}

// The loop count of an application extension, after its label; -1 when it states none.
int read_looping(Decode& d) {
  std::uint8_t block[sub_block_capacity];
  int length = read_sub_block(d, block);
  if (length <= 0) return -1;
  int loops = -1;
  if (length == static_cast<int>(looping_identifier_size) &&
      std::memcmp(block, looping_identifier, looping_identifier_size) == 0) {
    length = read_sub_block(d, block);
    if (length <= 0) return -1;
    if (length == looping_block_size && block[0] == looping_block_id)
      loops = block[1] | block[2] << 8;
  }
  skip_sub_blocks(d);
  return loops;
}

// What walking the blocks meets next.
enum class Block { image, end };

// Walks the blocks up to the next image separator (answered with the image's descriptor still
// to read), or the trailer or the end of the file. Graphic control extensions on the way go
// to control and a loop count to loops; other blocks are passed over.
Block next_image(Decode& d, Control& control, int& loops) {
  for (;;) {
    const int introducer = read_byte(d);
    if (introducer == EOF || introducer == trailer) return Block::end;
    if (introducer == image_separator) return Block::image;
    if (introducer == extension_introducer) {
      // Any other byte is taken as a block of sub-blocks without a label.
      const int label = read_byte(d);
      if (label == graphic_control_label) {
        control = read_control(d);
        continue;
      }
      if (label == application_label) {
        if (const int stated = read_looping(d); stated >= 0) loops = stated;
        continue;
      }
    }
    skip_sub_blocks(d);
  }
}

// Passes over an image block after its separator: descriptor, local table and data.
void skip_image(Decode& d, std::uint64_t& right, std::uint64_t& bottom) {
  const std::uint64_t left = read_u16(d);
  const std::uint64_t top = read_u16(d);
  right = left + read_u16(d);
  bottom = top + read_u16(d);
  const int packed = field_byte(d);
  if (packed & colour_table_flag) {
    std::fseek(d.file, colour_table_entries(packed) * static_cast<long>(rgb_channels), SEEK_CUR);
  }
  field_byte(d);  // the minimum code size
  skip_sub_blocks(d);
}

// The header and logical screen; false when the file is no GIF this decoder reads. The global
// colour table is read into the colormap.
bool read_header(Decode& d, std::uint64_t& screen_width, std::uint64_t& screen_height,
                 bool& aspect_ratio) {
  long file_size = 0;
  if (std::fseek(d.file, 0, SEEK_END) == 0) file_size = std::ftell(d.file);
  std::rewind(d.file);
  if (file_size < header_size) return false;
  for (char expected : signature) {
    if (read_byte(d) != expected) return false;
  }
  for (int i = 0; i < version_size; ++i)
    read_byte(d);  // any version is read alike
  screen_width = read_u16(d);
  screen_height = read_u16(d);
  const int packed = field_byte(d);
  field_byte(d);  // background colour index: disposed areas show what is beneath, as in browsers
  aspect_ratio = field_byte(d) != 0;
  if (aspect_ratio) return false;
  if (packed & colour_table_flag) read_colour_table(d, colour_table_entries(packed));
  return true;
}

// An animated GIF: every image composed in turn onto a canvas the size of the logical screen
// (grown to take in the first image where it reaches beyond), each as its graphic control
// extension says: shown for its delay, its transparent index leaving what lies beneath, and its
// rectangle afterwards left, cleared, or put back as it was before.
class Reader final : public AnimationReader {
 public:
  bool open(const char* path);
  bool next(AnimationFrame& frame) override;
  bool rewind() override;

 private:
  void dispose();

  Decode d_;
  std::uint8_t global_[colormap_entries][rgb_channels] = {};
  long first_block_ = 0;
  std::unique_ptr<Image> canvas_;
  std::unique_ptr<Image> saved_;  // the canvas before the last frame, to be put back
  int disposal_ = dispose_none;   // of the last frame
  std::uint64_t left_ = 0, top_ = 0, right_ = 0, bottom_ = 0;  // the last frame's rectangle
};

bool Reader::open(const char* path) {
  d_.file = open_image_file(path);
  if (!d_.file) return false;
  std::uint64_t width = 0, height = 0;
  bool aspect_ratio = false;
  if (!read_header(d_, width, height, aspect_ratio)) return false;
  std::memcpy(global_, d_.colormap, sizeof global_);
  first_block_ = std::ftell(d_.file);
  // Counting the images passes over their data unread.
  Control control;
  int loops = -1;
  std::uint32_t count = 0;
  while (next_image(d_, control, loops) == Block::image) {
    std::uint64_t right = 0, bottom = 0;
    skip_image(d_, right, bottom);
    if (count++ == 0) {
      width = std::max(width, right);
      height = std::max(height, bottom);
    }
  }
  // The count says how often the animation repeats after its first play, as browsers read it;
  // without one it plays once.
  if (loops < 0) loop_count_ = 1;
  if (loops > 0) loop_count_ = static_cast<std::uint32_t>(loops) + 1;
  frame_count_ = count;
  if (count < 2 || width == 0 || height == 0 || width * height > max_animation_pixels) {
    return false;
  }
  width_ = static_cast<std::uint32_t>(width);
  height_ = static_cast<std::uint32_t>(height);
  return rewind();
}

bool Reader::rewind() {
  canvas_ = make_image(width_, height_);
  saved_.reset();
  disposal_ = dispose_none;
  return canvas_ && std::fseek(d_.file, first_block_, SEEK_SET) == 0;
}

// What the last frame leaves for the next one to be drawn over.
void Reader::dispose() {
  if (disposal_ == dispose_previous && saved_) {
    canvas_ = std::move(saved_);
  } else if (disposal_ == dispose_background) {
    const std::uint64_t right = std::min<std::uint64_t>(right_, width_);
    const std::uint64_t bottom = std::min<std::uint64_t>(bottom_, height_);
    for (std::uint64_t y = top_; y < bottom && left_ < right; ++y) {
      std::memset(canvas_->row(static_cast<std::uint32_t>(y)) + left_ * rgb_channels, 0,
                  (right - left_) * rgb_channels);
    }
  }
  saved_.reset();
}

bool Reader::next(AnimationFrame& frame) {
  if (!canvas_) return false;
  Control control;
  int loops = -1;
  if (next_image(d_, control, loops) != Block::image) return false;
  dispose();
  if (control.disposal == dispose_previous) {
    saved_ = std::make_unique<Image>();
    saved_->width = width_;
    saved_->height = height_;
    saved_->rgb = canvas_->rgb;
  }
  // Each image takes its own local table over the global one.
  std::memcpy(d_.colormap, global_, sizeof global_);
  d_.canvas = canvas_.get();
  d_.transparent = control.transparent;
  if (!decode_image(d_)) return false;
  disposal_ = control.disposal;
  left_ = d_.left;
  top_ = d_.top;
  right_ = d_.left + d_.width;
  bottom_ = d_.top + d_.height;
  frame.image = std::make_unique<Image>();
  frame.image->width = frame.image->full_width = width_;
  frame.image->height = frame.image->full_height = height_;
  frame.image->rgb = canvas_->rgb;
  frame.duration_ms = frame_duration(control.delay_ms);
  return true;
}

}  // namespace

std::unique_ptr<Image> load(const char* path, const char* /*selector*/, Wish wish) {
  Decode d;
  d.wish = wish;
  d.file = open_image_file(path);
  if (!d.file) return nullptr;
  std::uint64_t screen_width = 0, screen_height = 0;
  bool aspect_ratio = false;
  if (!read_header(d, screen_width, screen_height, aspect_ratio)) {
    if (aspect_ratio) std::puts("Hmm: ASPECT RATIO given ! What to do ?");
    return nullptr;
  }
  // The first image is the still one: an animation's first frame. The images after it are
  // never read.
  Control control;
  int loops = -1;
  if (next_image(d, control, loops) == Block::image) {
    d.transparent = control.transparent;
    if (!decode_image(d)) return nullptr;
  }
  if (d.started) return d.builder.finish();
  // A file without any image block shows its logical screen, black; one whose first image is
  // empty shows nothing.
  if (d.seen_image || !d.builder.start(screen_width, screen_height, wish)) return nullptr;
  return d.builder.finish();
}

std::unique_ptr<AnimationReader> open_animation(const char* path) {
  auto reader = std::make_unique<Reader>();
  if (!reader->open(path)) return nullptr;
  return reader;
}

}  // namespace gif
