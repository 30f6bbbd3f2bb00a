// Writes the program's icon as hicolor PNGs, one per size the window shows, for installation:
//   pictra_write_icons DIRECTORY
// creates DIRECTORY/SIZExSIZE/apps/pictra.png. The build runs it, so the installed icons come
// from the very drawing the window uses.
#include <png.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "xsupport/xsupport.h"

namespace {

constexpr int failure = 1;

// The pixels as 8-bit RGBA rows.
std::vector<png_byte> rgba_rows(const std::vector<std::uint32_t>& argb) {
  std::vector<png_byte> bytes;
  bytes.reserve(argb.size() * 4);
  for (const std::uint32_t pixel : argb) {
    bytes.push_back(static_cast<png_byte>(pixel >> 16));
    bytes.push_back(static_cast<png_byte>(pixel >> 8));
    bytes.push_back(static_cast<png_byte>(pixel));
    bytes.push_back(static_cast<png_byte>(pixel >> 24));
  }
  return bytes;
}

bool write_png(const std::string& path, int size) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  std::vector<png_byte> bytes = rgba_rows(x_DrawIcon(size));
  bool written = false;
  if (info && !setjmp(png_jmpbuf(png))) {
    png_init_io(png, file);
    png_set_IHDR(png, info, static_cast<png_uint_32>(size), static_cast<png_uint_32>(size), 8,
                 PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int row = 0; row < size; ++row)
      png_write_row(png, bytes.data() + static_cast<std::size_t>(row) * size * 4);
    png_write_end(png, nullptr);
    written = true;
  }
  png_destroy_write_struct(&png, &info);
  return std::fclose(file) == 0 && written;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: pictra_write_icons DIRECTORY\n", stderr);
    return failure;
  }
  for (const int size : icon_sizes) {
    const std::string side = std::to_string(size);
    const std::filesystem::path directory =
        std::filesystem::path(argv[1]) / (side + "x" + side) / "apps";
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    const std::string path = (directory / "pictra.png").string();
    if (error || !write_png(path, size)) {
      std::fprintf(stderr, "pictra_write_icons: cannot write %s\n", path.c_str());
      return failure;
    }
  }
  return 0;
}
