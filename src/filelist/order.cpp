// The sort orders of directory entries and of lists of named files.
#include <algorithm>
#include <compare>

#include "filelist/filelist.h"

namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// The end of the run of digits starting at from.
std::size_t digits_end(std::string_view text, std::size_t from) {
  while (from < text.size() && is_digit(text[from]))
    ++from;
  return from;
}

std::size_t zeros_end(std::string_view text, std::size_t from, std::size_t end) {
  while (from < end && text[from] == '0')
    ++from;
  return from;
}

// Byte order, as strcmp gives it.
int byte_compare(std::string_view a, std::string_view b) {
  const int order = a.compare(b);
  return order < 0 ? -1 : order > 0 ? 1 : 0;
}

template <typename T>
int three_way(const T& a, const T& b) {
  return a < b ? -1 : b < a ? 1 : 0;
}

// a against b by the key alone; 0 when the key does not tell them apart.
int key_compare(const ListEntry& a, const ListEntry& b, SortKey key) {
  switch (key) {
    case SortKey::name:
      return 0;
    case SortKey::natural:
      return natural_compare(a.name, b.name);
    case SortKey::time:
      if (const int order = three_way(a.mtime_seconds, b.mtime_seconds); order != 0) return order;
      return three_way(a.mtime_nanoseconds, b.mtime_nanoseconds);
    case SortKey::size:
      return three_way(a.size, b.size);
  }
  return 0;
}

}  // namespace

ListEntry list_entry(std::string name, bool directory, const struct stat& info) {
  return ListEntry{std::move(name), directory, static_cast<std::int64_t>(info.st_mtim.tv_sec),
                   static_cast<std::int64_t>(info.st_mtim.tv_nsec),
                   static_cast<std::int64_t>(info.st_size)};
}

int natural_compare(std::string_view a, std::string_view b) {
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (is_digit(a[i]) && is_digit(b[j])) {
      // Two numbers: the one with more digits after its leading zeros is larger; of equally
      // long ones, the digits decide.
      const std::size_t a_end = digits_end(a, i), b_end = digits_end(b, j);
      const std::size_t a_from = zeros_end(a, i, a_end), b_from = zeros_end(b, j, b_end);
      if (const int order = three_way(a_end - a_from, b_end - b_from); order != 0) return order;
      if (const int order =
              byte_compare(a.substr(a_from, a_end - a_from), b.substr(b_from, b_end - b_from));
          order != 0)
        return order;
      i = a_end;
      j = b_end;
      continue;
    }
    if (a[i] != b[j]) {
      return three_way(static_cast<unsigned char>(a[i]), static_cast<unsigned char>(b[j]));
    }
    ++i;
    ++j;
  }
  return three_way(a.size() - i, b.size() - j);
}

bool sorts_before(const ListEntry& a, const ListEntry& b, const SortOrder& order) {
  // By name the order is plain byte order, where the "/" in front of a directory's name puts it
  // before names of letters and digits, though after those that begin with "-" or ".", as it
  // always was. Every other order puts the directories first.
  const bool byte_order = order.key == SortKey::name && !order.reverse;
  if (a.directory != b.directory && !byte_order) return a.directory;
  const ListEntry& first = order.reverse ? b : a;
  const ListEntry& second = order.reverse ? a : b;
  if (const int by_key = key_compare(first, second, order.key); by_key != 0) return by_key < 0;
  return byte_compare(first.name, second.name) < 0;
}

void sort_entries(std::span<ListEntry> entries, const SortOrder& order) {
  // Stable: a name given twice keeps both places in the order they came.
  std::stable_sort(entries.begin(), entries.end(), [&](const ListEntry& a, const ListEntry& b) {
    return sorts_before(a, b, order);
  });
}
