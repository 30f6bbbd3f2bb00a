// The EXIF reader. The payload comes straight from a file, so every offset in it is untrusted:
// each read goes through one bounds check, in 64 bits, against the payload's size. Only IFD0 is
// read and no next-directory link is followed, so a directory chain that loops costs nothing.
#include "formats/exif.h"

#include <algorithm>
#include <array>

namespace {

constexpr std::array<std::uint8_t, 6> exif_signature = {'E', 'x', 'i', 'f', 0, 0};
constexpr std::uint16_t tiff_magic = 42;
constexpr std::uint64_t tiff_header_bytes = 8;
constexpr std::uint64_t ifd0_offset_at = 4;
constexpr std::uint64_t entry_count_bytes = 2;
constexpr std::uint64_t entry_bytes = 12;
// Within an entry: tag, type, count, then the value (inline when it fits in four bytes).
constexpr std::uint64_t entry_type_at = 2;
constexpr std::uint64_t entry_count_at = 4;
constexpr std::uint64_t entry_value_at = 8;
constexpr std::uint16_t orientation_tag = 0x0112;
constexpr std::uint16_t type_short = 3;
constexpr int orientation_identity = 1;
constexpr int orientation_last = 8;

// The TIFF structure after the signature, in its byte order.
struct Tiff {
  const std::uint8_t* data = nullptr;
  std::uint64_t size = 0;
  bool big_endian = false;

  bool has(std::uint64_t offset, std::uint64_t bytes) const {
    return offset <= size && bytes <= size - offset;
  }
  // Reads of bytes past the end answer false and leave value as it was.
  bool u16(std::uint64_t offset, std::uint16_t& value) const {
    if (!has(offset, 2)) return false;
    const std::uint8_t* p = data + offset;
    value = big_endian ? static_cast<std::uint16_t>(p[0] << 8 | p[1])
                       : static_cast<std::uint16_t>(p[1] << 8 | p[0]);
    return true;
  }
  bool u32(std::uint64_t offset, std::uint32_t& value) const {
    std::uint16_t first = 0, second = 0;
    if (!u16(offset, first) || !u16(offset + 2, second)) return false;
    value = big_endian ? std::uint32_t{first} << 16 | second : std::uint32_t{second} << 16 | first;
    return true;
  }
};

}  // namespace

bool is_exif(const std::uint8_t* data, std::size_t size) {
  return data != nullptr && size >= exif_signature.size() &&
         std::equal(exif_signature.begin(), exif_signature.end(), data);
}

int exif_orientation(const std::uint8_t* data, std::size_t size) {
  if (!is_exif(data, size)) return orientation_identity;
  Tiff tiff{data + exif_signature.size(), size - exif_signature.size()};
  if (!tiff.has(0, tiff_header_bytes)) return orientation_identity;
  if (tiff.data[0] == 'M' && tiff.data[1] == 'M') {
    tiff.big_endian = true;
  } else if (tiff.data[0] != 'I' || tiff.data[1] != 'I') {
    return orientation_identity;
  }
  std::uint16_t magic = 0;
  std::uint32_t ifd0 = 0;
  std::uint16_t entries = 0;
  if (!tiff.u16(2, magic) || magic != tiff_magic || !tiff.u32(ifd0_offset_at, ifd0) ||
      !tiff.u16(ifd0, entries)) {
    return orientation_identity;
  }
  // Entries are meant to be sorted by tag, but writers do not all sort them: the whole
  // directory is searched, at most 65535 entries.
  for (std::uint64_t i = 0; i < entries; ++i) {
    const std::uint64_t entry = ifd0 + entry_count_bytes + i * entry_bytes;
    std::uint16_t tag = 0;
    if (!tiff.has(entry, entry_bytes) || !tiff.u16(entry, tag)) return orientation_identity;
    if (tag != orientation_tag) continue;
    // The tag is one SHORT; any other type or count is a damaged tag, not a value to guess at.
    std::uint16_t type = 0, value = 0;
    std::uint32_t count = 0;
    tiff.u16(entry + entry_type_at, type);
    tiff.u32(entry + entry_count_at, count);
    tiff.u16(entry + entry_value_at, value);
    if (type != type_short || count != 1) return orientation_identity;
    if (value < orientation_identity || value > orientation_last) return orientation_identity;
    return value;
  }
  return orientation_identity;
}
