// Reads just enough of a HEIF file's boxes to find its grid items and the size each one's data
// states: the meta box's item list (the items' types), its locations (where each item's data
// lies, in the file or in the meta box's own data box) and that data box. Everything else is
// left to the library.
#include "formats/heif_grid.h"

#include <algorithm>
#include <cstddef>
#include <set>
#include <vector>

namespace heif {
namespace {

// A meta box holds item lists and small data, kilobytes even for a grid of many tiles; a larger
// one is not followed.
constexpr std::uint64_t max_meta_bytes = std::uint64_t{16} << 20;
// A grid's data: version, flags, rows and columns less one, then its width and height in 16 or
// 32 bits (flag 1).
constexpr std::size_t grid_data_bytes = 12;

constexpr std::uint32_t fourcc(const char (&name)[5]) {
  return std::uint32_t(std::uint8_t(name[0])) << 24 | std::uint32_t(std::uint8_t(name[1])) << 16 |
         std::uint32_t(std::uint8_t(name[2])) << 8 | std::uint32_t(std::uint8_t(name[3]));
}

// Big-endian reading over bytes in memory. A read past the end marks the reader failed, reads
// zero and leaves it at the end, so a damaged box fails once, wherever it is checked.
struct Reader {
  const std::uint8_t* at = nullptr;
  const std::uint8_t* end = nullptr;
  bool failed = false;

  std::size_t left() const { return static_cast<std::size_t>(end - at); }
  void skip(std::uint64_t count) {
    if (count > left()) {
      failed = true;
      at = end;
      return;
    }
    at += count;
  }
  std::uint64_t uint(unsigned bytes) {
    if (bytes > left()) {
      skip(bytes);
      return 0;
    }
    std::uint64_t value = 0;
    for (unsigned i = 0; i < bytes; ++i)
      value = value << 8 | *at++;
    return value;
  }
};

struct Box {
  std::uint32_t type = 0;
  Reader body;
};

// The next box of a sequence, or false at its end or at a box that does not fit in it.
bool next_box(Reader& sequence, Box& box) {
  if (sequence.left() < 8) return false;
  std::uint64_t size = sequence.uint(4);
  box.type = static_cast<std::uint32_t>(sequence.uint(4));
  std::uint64_t header = 8;
  if (size == 1) {
    size = sequence.uint(8);
    header = 16;
  } else if (size == 0) {
    size = sequence.left() + header;  // to the end of what holds it
  }
  if (sequence.failed || size < header || size - header > sequence.left()) return false;
  box.body = Reader{sequence.at, sequence.at + (size - header)};
  sequence.skip(size - header);
  return true;
}

struct Extent {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;  // 0: to the end of the data
};

struct Location {
  unsigned method = 0;  // 0: in the file, 1: in the meta box's data box
  std::vector<Extent> extents;
};

// The ids of the items whose type is 'grid'.
std::set<std::uint32_t> grid_items(Reader list) {
  std::set<std::uint32_t> grids;
  const unsigned version = static_cast<unsigned>(list.uint(1));
  list.skip(3);
  list.skip(version == 0 ? 2 : 4);  // the entry count; the boxes themselves are counted
  Box entry;
  while (!list.failed && next_box(list, entry)) {
    if (entry.type != fourcc("infe")) continue;
    Reader& r = entry.body;
    const unsigned entry_version = static_cast<unsigned>(r.uint(1));
    r.skip(3);
    if (entry_version < 2) continue;  // these name no item type
    const std::uint32_t id = static_cast<std::uint32_t>(r.uint(entry_version == 2 ? 2 : 4));
    r.skip(2);  // protection index
    if (r.uint(4) == fourcc("grid") && !r.failed) grids.insert(id);
  }
  return grids;
}

bool valid_field_size(unsigned bytes) {
  return bytes == 0 || bytes == 4 || bytes == 8;
}

// The locations of the wanted items. Only the first extents are kept, as many as the grid's
// few bytes can span.
std::map<std::uint32_t, Location> locations(Reader r, const std::set<std::uint32_t>& wanted) {
  std::map<std::uint32_t, Location> found;
  const unsigned version = static_cast<unsigned>(r.uint(1));
  r.skip(3);
  const unsigned sizes = static_cast<unsigned>(r.uint(1));
  const unsigned more_sizes = static_cast<unsigned>(r.uint(1));
  const unsigned offset_size = sizes >> 4, length_size = sizes & 15;
  const unsigned base_size = more_sizes >> 4;
  const unsigned index_size = version == 1 || version == 2 ? more_sizes & 15 : 0;
  if (version > 2 || !valid_field_size(offset_size) || !valid_field_size(length_size) ||
      !valid_field_size(base_size) || !valid_field_size(index_size)) {
    return found;
  }
  const std::uint64_t count = r.uint(version < 2 ? 2 : 4);
  for (std::uint64_t i = 0; i < count && !r.failed; ++i) {
    const std::uint32_t id = static_cast<std::uint32_t>(r.uint(version < 2 ? 2 : 4));
    Location location;
    if (version >= 1) location.method = static_cast<unsigned>(r.uint(2) & 15);
    r.skip(2);  // data reference index
    const std::uint64_t base = r.uint(base_size);
    const std::uint64_t extents = r.uint(2);
    for (std::uint64_t e = 0; e < extents && !r.failed; ++e) {
      r.skip(index_size);
      const std::uint64_t offset = r.uint(offset_size);
      const std::uint64_t length = r.uint(length_size);
      if (location.extents.size() < grid_data_bytes)
        location.extents.push_back({base + offset, length});
    }
    if (!r.failed && wanted.count(id)) found[id] = location;
  }
  return found;
}

// Up to `bytes` of an item's data: its extents joined, as the library joins them.
std::vector<std::uint8_t> item_data(const Location& location, std::FILE* file, std::int64_t size,
                                    const Reader& data_box, std::size_t bytes) {
  std::vector<std::uint8_t> data;
  for (const Extent& extent : location.extents) {
    const std::uint64_t available = location.method == 0 ? std::uint64_t(size) : data_box.left();
    if (extent.offset >= available) break;
    const std::uint64_t room = available - extent.offset;
    const std::uint64_t length = extent.length == 0 ? room : std::min(extent.length, room);
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(length, bytes - data.size()));
    const std::size_t start = data.size();
    data.resize(start + want);
    if (location.method == 0) {
      if (std::fseek(file, static_cast<long>(extent.offset), SEEK_SET) != 0 ||
          std::fread(data.data() + start, 1, want, file) != want) {
        data.resize(start);
        break;
      }
    } else {
      std::copy_n(data_box.at + extent.offset, want, data.data() + start);
    }
    if (data.size() == bytes) break;
  }
  return data;
}

// The size a grid's data states, or none when the data is too short. The version is read past
// whatever it says, as the library reads it: a fuzzed file with version 0x35 still decoded to
// its grid's 16643 x 6144.
bool parse_grid(const std::vector<std::uint8_t>& data, GridSize& grid) {
  Reader r{data.data(), data.data() + data.size()};
  r.skip(1);
  const unsigned field = (r.uint(1) & 1) ? 4 : 2;
  r.skip(2);  // rows and columns
  grid.width = static_cast<std::uint32_t>(r.uint(field));
  grid.height = static_cast<std::uint32_t>(r.uint(field));
  return !r.failed;
}

// The meta box's body, read from the file's top-level boxes; empty when there is none.
std::vector<std::uint8_t> read_meta(std::FILE* file, std::int64_t size) {
  std::int64_t position = 0;
  while (position + 8 <= size) {
    std::uint8_t header[16];
    if (std::fseek(file, static_cast<long>(position), SEEK_SET) != 0 ||
        std::fread(header, 1, 8, file) != 8)
      return {};
    Reader r{header, header + 8};
    std::uint64_t box_size = r.uint(4);
    const std::uint32_t type = static_cast<std::uint32_t>(r.uint(4));
    std::uint64_t header_size = 8;
    if (box_size == 1) {
      if (std::fread(header + 8, 1, 8, file) != 8) return {};
      Reader wide{header + 8, header + 16};
      box_size = wide.uint(8);
      header_size = 16;
    } else if (box_size == 0) {
      box_size = std::uint64_t(size - position);
    }
    if (box_size < header_size || box_size > std::uint64_t(size - position)) return {};
    if (type == fourcc("meta")) {
      const std::uint64_t body = box_size - header_size;
      if (body > max_meta_bytes) return {};
      std::vector<std::uint8_t> meta(static_cast<std::size_t>(body));
      if (std::fread(meta.data(), 1, meta.size(), file) != meta.size()) return {};
      return meta;
    }
    position += static_cast<std::int64_t>(box_size);
  }
  return {};
}

}  // namespace

std::map<std::uint32_t, GridSize> grid_sizes(std::FILE* file, std::int64_t size) {
  std::map<std::uint32_t, GridSize> sizes;
  const std::vector<std::uint8_t> meta = read_meta(file, size);
  Reader boxes{meta.data(), meta.data() + meta.size()};
  boxes.skip(4);  // version and flags
  Reader list, places, data_box;
  Box box;
  while (next_box(boxes, box)) {
    if (box.type == fourcc("iinf")) list = box.body;
    if (box.type == fourcc("iloc")) places = box.body;
    if (box.type == fourcc("idat")) data_box = box.body;
  }
  const std::set<std::uint32_t> grids = grid_items(list);
  if (grids.empty()) return sizes;
  for (const auto& [id, location] : locations(places, grids)) {
    if (location.method > 1) continue;
    GridSize grid;
    if (parse_grid(item_data(location, file, size, data_box, grid_data_bytes), grid))
      sizes[id] = grid;
  }
  return sizes;
}

}  // namespace heif
