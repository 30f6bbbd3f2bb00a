// The EXIF reader. The payload comes straight from a file, so every offset in it is untrusted:
// each read goes through one bounds check, in 64 bits, against the payload's size. Only IFD0 and
// the EXIF directory it points to are read and no next-directory link is followed, so a
// directory chain that loops costs nothing.
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
constexpr std::uint16_t model_tag = 0x0110;
constexpr std::uint16_t date_time_tag = 0x0132;
constexpr std::uint16_t exif_ifd_tag = 0x8769;
constexpr std::uint16_t date_taken_tag = 0x9003;
constexpr std::uint16_t type_ascii = 2;
constexpr std::uint16_t type_short = 3;
constexpr std::uint16_t type_long = 4;
constexpr std::uint64_t inline_value_bytes = 4;
// "YYYY:MM:DD HH:MM:SS": the date's colons at 4 and 7 become dashes.
constexpr std::size_t exif_date_length = 19;
constexpr std::size_t date_colons[] = {4, 7};
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

// The entry of tag in the directory at ifd; false when it is absent or the directory is
// damaged. Entries are meant to be sorted by tag, but writers do not all sort them: the whole
// directory is searched, at most 65535 entries.
bool find_entry(const Tiff& tiff, std::uint64_t ifd, std::uint16_t wanted, std::uint64_t& found) {
  std::uint16_t entries = 0;
  if (!tiff.u16(ifd, entries)) return false;
  for (std::uint64_t i = 0; i < entries; ++i) {
    const std::uint64_t entry = ifd + entry_count_bytes + i * entry_bytes;
    std::uint16_t tag = 0;
    if (!tiff.has(entry, entry_bytes) || !tiff.u16(entry, tag)) return false;
    if (tag != wanted) continue;
    found = entry;
    return true;
  }
  return false;
}

// The value of a tag of type and count 1, SHORT or LONG; false for anything else.
bool number_at(const Tiff& tiff, std::uint64_t entry, std::uint16_t type, std::uint32_t& value) {
  std::uint16_t stored_type = 0, short_value = 0;
  std::uint32_t count = 0;
  tiff.u16(entry + entry_type_at, stored_type);
  tiff.u32(entry + entry_count_at, count);
  if (stored_type != type || count != 1) return false;
  if (type == type_short) {
    if (!tiff.u16(entry + entry_value_at, short_value)) return false;
    value = short_value;
    return true;
  }
  return tiff.u32(entry + entry_value_at, value);
}

// The ASCII value of an entry, up to its NUL, cleaned for display; empty when damaged.
std::string text_at(const Tiff& tiff, std::uint64_t entry) {
  std::uint16_t type = 0;
  std::uint32_t count = 0;
  tiff.u16(entry + entry_type_at, type);
  tiff.u32(entry + entry_count_at, count);
  if (type != type_ascii || count == 0) return {};
  std::uint64_t at = entry + entry_value_at;
  if (count > inline_value_bytes) {
    std::uint32_t offset = 0;
    if (!tiff.u32(at, offset)) return {};
    at = offset;
  }
  if (!tiff.has(at, count)) return {};
  std::string text;
  for (std::uint64_t i = 0; i < count && text.size() < exif_text_limit; ++i) {
    const auto c = static_cast<char>(tiff.data[at + i]);
    if (c == '\0') break;
    text += c >= ' ' && c <= '~' ? c : '?';
  }
  while (!text.empty() && text.back() == ' ')
    text.pop_back();
  return text;
}

std::string tag_text(const Tiff& tiff, std::uint64_t ifd, std::uint16_t tag) {
  std::uint64_t entry = 0;
  return find_entry(tiff, ifd, tag, entry) ? text_at(tiff, entry) : std::string();
}

// An EXIF date shown with dashes between year, month and day.
std::string readable_date(std::string date) {
  if (date.size() == exif_date_length) {
    for (std::size_t at : date_colons)
      if (date[at] == ':') date[at] = '-';
  }
  return date;
}

// The TIFF structure of an APP1 payload and the offset of its IFD0; false when there is none.
bool open_tiff(const std::uint8_t* data, std::size_t size, Tiff& tiff, std::uint32_t& ifd0) {
  if (!is_exif(data, size)) return false;
  tiff = Tiff{data + exif_signature.size(), size - exif_signature.size()};
  if (!tiff.has(0, tiff_header_bytes)) return false;
  if (tiff.data[0] == 'M' && tiff.data[1] == 'M') {
    tiff.big_endian = true;
  } else if (tiff.data[0] != 'I' || tiff.data[1] != 'I') {
    return false;
  }
  std::uint16_t magic = 0;
  return tiff.u16(2, magic) && magic == tiff_magic && tiff.u32(ifd0_offset_at, ifd0);
}

}  // namespace

bool is_exif(const std::uint8_t* data, std::size_t size) {
  return data != nullptr && size >= exif_signature.size() &&
         std::equal(exif_signature.begin(), exif_signature.end(), data);
}

int exif_orientation(const std::uint8_t* data, std::size_t size) {
  Tiff tiff;
  std::uint32_t ifd0 = 0;
  std::uint64_t entry = 0;
  if (!open_tiff(data, size, tiff, ifd0) || !find_entry(tiff, ifd0, orientation_tag, entry)) {
    return orientation_identity;
  }
  // The tag is one SHORT; any other type or count is a damaged tag, not a value to guess at.
  std::uint32_t value = 0;
  if (!number_at(tiff, entry, type_short, value)) return orientation_identity;
  if (value < orientation_identity || value > orientation_last) return orientation_identity;
  return static_cast<int>(value);
}

ExifFacts read_exif(const std::uint8_t* data, std::size_t size) {
  ExifFacts facts;
  facts.orientation = exif_orientation(data, size);
  Tiff tiff;
  std::uint32_t ifd0 = 0;
  if (!open_tiff(data, size, tiff, ifd0)) return facts;
  facts.camera = tag_text(tiff, ifd0, model_tag);
  std::uint64_t entry = 0;
  std::uint32_t exif_ifd = 0;
  if (find_entry(tiff, ifd0, exif_ifd_tag, entry) && number_at(tiff, entry, type_long, exif_ifd))
    facts.taken = tag_text(tiff, exif_ifd, date_taken_tag);
  if (facts.taken.empty()) facts.taken = tag_text(tiff, ifd0, date_time_tag);
  facts.taken = readable_date(facts.taken);
  return facts;
}
