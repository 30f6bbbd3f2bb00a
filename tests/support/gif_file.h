// GIF files built byte by byte for tests: the blocks, the colour tables and a small LZW
// encoder of the tests' own.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace pictra_test {

// Codes packed least significant bit first, as GIF stores them.
struct BitWriter {
  std::string bytes;
  int used = 0;  // bits used in the last byte
  void put(int code, int bits) {
    for (int i = 0; i < bits; ++i) {
      if (used == 0) bytes.push_back(0);
      if (code >> i & 1) bytes.back() = static_cast<char>(bytes.back() | 1 << used);
      used = (used + 1) % 8;
    }
  }
};

// A plain dictionary LZW encoder. It starts with a clear code; with a full table it either sends
// a clear code or goes on with the 4096 codes it has. full_codes counts codes sent while full.
inline std::string lzw_encode(const std::vector<int>& pixels, int c, bool clear_when_full,
                              int* full_codes) {
  BitWriter out;
  const int clear = 1 << c;
  int size = c + 1;
  int next = clear + 2;
  std::map<std::pair<int, int>, int> table;
  out.put(clear, size);
  int prefix = pixels[0];
  for (std::size_t i = 1; i < pixels.size(); ++i) {
    const auto found = table.find({prefix, pixels[i]});
    if (found != table.end()) {
      prefix = found->second;
      continue;
    }
    out.put(prefix, size);
    if (next == 4096) {
      if (full_codes) ++*full_codes;
      if (clear_when_full) {
        out.put(clear, size);
        table.clear();
        size = c + 1;
        next = clear + 2;
      }
    } else {
      // The decoder adds this entry one code later, and widens its codes with it.
      if (next >= 1 << size && size < 12) ++size;
      table[{prefix, pixels[i]}] = next++;
    }
    prefix = pixels[i];
  }
  out.put(prefix, size);
  out.put(clear + 1, size);
  return out.bytes;
}

inline std::string u16(int v) {
  return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
}
inline std::string byte(int v) {
  return std::string(1, static_cast<char>(v));
}

inline std::string screen(int w, int h, int packed, const std::string& version = "89a") {
  return "GIF" + version + u16(w) + u16(h) + byte(packed) + byte(0) + byte(0);
}

// Colour table entries as red, green, blue bytes.
inline std::string colour_table(const std::vector<int>& rgb) {
  std::string bytes;
  for (int c : rgb)
    bytes += byte(c >> 16) + byte(c >> 8) + byte(c);
  return bytes;
}

inline std::string sub_blocks(const std::string& data, std::size_t block = 255,
                              bool empty_between = false) {
  std::string bytes;
  for (std::size_t at = 0; at < data.size(); at += block) {
    const std::string part = data.substr(at, block);
    bytes += byte(static_cast<int>(part.size())) + part;
    if (empty_between) bytes += byte(0);
  }
  return bytes + byte(0);
}

// An image descriptor at left, top of the logical screen, with its local table if any.
inline std::string descriptor(int left, int top, int w, int h, int packed,
                              const std::string& local_table = "") {
  return byte(',') + u16(left) + u16(top) + u16(w) + u16(h) + byte(packed) + local_table;
}

// An image block at left, top of the logical screen, of minimum code size 3.
inline std::string placed(int left, int top, int w, int h, int packed,
                          const std::vector<int>& pixels, const std::string& local_table = "") {
  return descriptor(left, top, w, h, packed, local_table) + byte(3) +
         sub_blocks(lzw_encode(pixels, 3, true, nullptr));
}

inline std::string control(int disposal, int delay_cs, int transparent = -1) {
  return byte('!') + byte(0xF9) + byte(4) + byte(disposal << 2 | (transparent >= 0 ? 1 : 0)) +
         u16(delay_cs) + byte(transparent >= 0 ? transparent : 0) + byte(0);
}

inline std::string looping(int count) {
  return byte('!') + byte(0xFF) + byte(11) + "NETSCAPE2.0" + byte(3) + byte(1) + u16(count) +
         byte(0);
}

}  // namespace pictra_test
