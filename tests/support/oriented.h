// Files that record an orientation, for tests: JPEGs with an EXIF block written here byte by
// byte, TIFFs with the Orientation tag, all of the same stored raster of flat colour blocks;
// and what each orientation must show, from the tag's definition (where the stored raster's
// first row and first column lie in the picture as seen), independently of the program.
#pragma once

#include <jpeglib.h>
#include <tiffio.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace pictra_test {

// The stored raster: 3 x 2 blocks of 16 pixels, each one of six colours that every test depth
// shows exactly. Blocks of whole JPEG blocks keep the lossy coding near exact.
inline constexpr int oriented_block = 16;
inline constexpr int stored_columns = 3;
inline constexpr int stored_rows = 2;
inline constexpr int stored_width = stored_columns * oriented_block;
inline constexpr int stored_height = stored_rows * oriented_block;
inline constexpr std::array<int, stored_columns* stored_rows> block_colours = {
    0xff0000, 0x00ff00, 0x0000ff, 0xffff00, 0x00ffff, 0xff00ff};

inline int stored_rgb(int x, int y) {
  return block_colours[static_cast<std::size_t>(y / oriented_block * stored_columns +
                                                x / oriented_block)];
}

inline bool sides_swapped(int orientation) {
  return orientation >= 5 && orientation <= 8;
}
inline int shown_width(int orientation) {
  return sides_swapped(orientation) ? stored_height : stored_width;
}
inline int shown_height(int orientation) {
  return sides_swapped(orientation) ? stored_width : stored_height;
}

// The colour shown at (x, y) of the upright picture. Per value, the stored first row and first
// column are: 1 top and left, 2 top and right, 3 bottom and right, 4 bottom and left, 5 left and
// top, 6 right and top, 7 right and bottom, 8 left and bottom. Values outside 1..8 show as 1.
inline int shown_rgb(int orientation, int x, int y) {
  const int w = stored_width, h = stored_height;
  switch (orientation) {
    case 2:
      return stored_rgb(w - 1 - x, y);
    case 3:
      return stored_rgb(w - 1 - x, h - 1 - y);
    case 4:
      return stored_rgb(x, h - 1 - y);
    case 5:
      return stored_rgb(y, x);
    case 6:
      return stored_rgb(y, h - 1 - x);
    case 7:
      return stored_rgb(w - 1 - y, h - 1 - x);
    case 8:
      return stored_rgb(w - 1 - y, x);
    default:
      return stored_rgb(x, y);
  }
}

// An APP1 payload: "Exif\0\0", a TIFF header in the chosen byte order and IFD0 with a Make entry
// before the orientation entry, whose type, count and value are given.
struct ExifFields {
  bool big_endian = false;
  int orientation = 1;
  std::uint16_t type = 3;  // SHORT
  std::uint32_t count = 1;
  std::uint32_t ifd0 = 8;  // offset of IFD0 in the TIFF structure
  std::uint16_t tag = 0x0112;
};

inline std::vector<std::uint8_t> exif_payload(const ExifFields& f) {
  std::vector<std::uint8_t> out = {'E', 'x', 'i', 'f', 0, 0};
  auto u16 = [&](std::uint32_t v) {
    if (f.big_endian) {
      out.push_back(static_cast<std::uint8_t>(v >> 8));
      out.push_back(static_cast<std::uint8_t>(v));
    } else {
      out.push_back(static_cast<std::uint8_t>(v));
      out.push_back(static_cast<std::uint8_t>(v >> 8));
    }
  };
  auto u32 = [&](std::uint32_t v) {
    if (f.big_endian) {
      u16(v >> 16);
      u16(v & 0xffff);
    } else {
      u16(v & 0xffff);
      u16(v >> 16);
    }
  };
  out.push_back(f.big_endian ? 'M' : 'I');
  out.push_back(f.big_endian ? 'M' : 'I');
  u16(42);
  u32(f.ifd0);
  out.resize(6 + 8, 0);
  u16(2);
  u16(0x010f);  // Make, ASCII, "cam" inline
  u16(2);
  u32(4);
  out.insert(out.end(), {'c', 'a', 'm', 0});
  u16(f.tag);
  u16(f.type);
  u32(f.count);
  if (f.type == 3) {
    u16(static_cast<std::uint32_t>(f.orientation));
    u16(0);
  } else {
    u32(static_cast<std::uint32_t>(f.orientation));
  }
  u32(0);  // no next directory
  return out;
}

// The stored raster as a JPEG (quality 100, no chroma subsampling) whose APP1 markers are an
// XMP-like one, which must be passed over, then the EXIF block of fields.
inline bool write_oriented_jpeg(const std::string& path, const ExifFields& fields) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  jpeg_compress_struct encoder{};
  jpeg_error_mgr errors{};
  encoder.err = jpeg_std_error(&errors);
  jpeg_create_compress(&encoder);
  jpeg_stdio_dest(&encoder, file);
  encoder.image_width = stored_width;
  encoder.image_height = stored_height;
  encoder.input_components = 3;
  encoder.in_color_space = JCS_RGB;
  jpeg_set_defaults(&encoder);
  jpeg_set_quality(&encoder, 100, TRUE);
  for (int c = 0; c < 3; ++c) {
    encoder.comp_info[c].h_samp_factor = 1;
    encoder.comp_info[c].v_samp_factor = 1;
  }
  jpeg_start_compress(&encoder, TRUE);
  static constexpr char xmp[] = "http://ns.adobe.com/xap/1.0/\0<x:xmpmeta/>";
  jpeg_write_marker(&encoder, JPEG_APP0 + 1, reinterpret_cast<const JOCTET*>(xmp), sizeof xmp);
  const std::vector<std::uint8_t> exif = exif_payload(fields);
  jpeg_write_marker(&encoder, JPEG_APP0 + 1, exif.data(), static_cast<unsigned>(exif.size()));
  std::vector<JSAMPLE> row(stored_width * 3);
  while (encoder.next_scanline < encoder.image_height) {
    const int y = static_cast<int>(encoder.next_scanline);
    for (int x = 0; x < stored_width; ++x) {
      const int rgb = stored_rgb(x, y);
      row[x * 3] = static_cast<JSAMPLE>(rgb >> 16);
      row[x * 3 + 1] = static_cast<JSAMPLE>(rgb >> 8 & 0xff);
      row[x * 3 + 2] = static_cast<JSAMPLE>(rgb & 0xff);
    }
    JSAMPROW rows[] = {row.data()};
    jpeg_write_scanlines(&encoder, rows, 1);
  }
  jpeg_finish_compress(&encoder);
  jpeg_destroy_compress(&encoder);
  return std::fclose(file) == 0;
}

// The stored raster as an RGB TIFF of strips of rows_per_strip rows, tagged with orientation.
inline bool write_oriented_tiff(const std::string& path, int orientation,
                                std::uint32_t rows_per_strip = 4) {
  TIFF* file = TIFFOpen(path.c_str(), "w");
  if (file == nullptr) return false;
  TIFFSetField(file, TIFFTAG_IMAGEWIDTH, std::uint32_t{stored_width});
  TIFFSetField(file, TIFFTAG_IMAGELENGTH, std::uint32_t{stored_height});
  TIFFSetField(file, TIFFTAG_SAMPLESPERPIXEL, std::uint16_t{3});
  TIFFSetField(file, TIFFTAG_BITSPERSAMPLE, std::uint16_t{8});
  TIFFSetField(file, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(file, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(file, TIFFTAG_ROWSPERSTRIP, rows_per_strip);
  TIFFSetField(file, TIFFTAG_ORIENTATION, static_cast<std::uint16_t>(orientation));
  std::vector<std::uint8_t> row(stored_width * 3);
  bool ok = true;
  for (int y = 0; y < stored_height; ++y) {
    for (int x = 0; x < stored_width; ++x) {
      const int rgb = stored_rgb(x, y);
      row[x * 3] = static_cast<std::uint8_t>(rgb >> 16);
      row[x * 3 + 1] = static_cast<std::uint8_t>(rgb >> 8 & 0xff);
      row[x * 3 + 2] = static_cast<std::uint8_t>(rgb & 0xff);
    }
    if (TIFFWriteScanline(file, row.data(), static_cast<std::uint32_t>(y), 0) < 0) ok = false;
  }
  TIFFClose(file);
  return ok;
}

}  // namespace pictra_test
