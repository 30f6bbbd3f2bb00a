// The TIFF (and NEF) module: decodes one directory of a file through the library's RGBA reader,
// a band of rows at a time, so that only the band and the (possibly reduced) image are held;
// and names a multi-directory file's directories for the browser to list.
#include "formats/tiff.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The library names its opaque handle type struct tiff, which would clash with this module's
// namespace; only the typedef TIFF is used, so the tag is renamed while the header is read.
#define tiff pictra_libtiff_handle
#include <tiffio.h>
#undef tiff

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "formats/builder.h"
#include "formats/colour.h"
#include "formats/orient.h"
#include "formats/pool.h"

namespace tiff {

namespace {

constexpr std::uint64_t bytes_per_pixel = 4;
// The RGBA band one read fills: 16 MiB, a few hundred rows of a camera frame, which is all a
// reduced decode holds besides its result. Bands follow the file's strips or tiles, so no strip
// is decoded twice, except in files stored as a few strips far larger than this, where each
// band decodes its strip from the start again.
constexpr std::uint64_t band_bytes = std::uint64_t{16} << 20;
// Strips taller than a band are decoded from their start again for every band they span, which
// made a single-strip 6000 x 4000 Deflate file six times slower than one cut in small strips.
// Such a strip is cut into as few bands as keep each within this size: one, up to 24 MP.
constexpr std::uint64_t tall_strip_band_bytes = std::uint64_t{128} << 20;
// Bands that do not follow strips are cut at multiples of this many rows, which every chroma
// subsampling of YCbCr files divides.
constexpr std::uint32_t band_row_multiple = 16;
// Room for "%08d" of any directory number the library can count.
constexpr std::size_t page_name_size = 13;
constexpr int decimal = 10;
constexpr char read_only[] = "r";
// The RGBA reader explains a refusal in a buffer of this size; nobody reads it.
constexpr std::size_t rgba_message_bytes = 1024;
// The largest buffer the library may allocate at once. A strip is decoded whole, and a header
// that leaves out the rows per strip makes the image one strip: 200 bytes claiming 16387 x 4097
// pixels of 255 samples asked for 17 GB. Real files keep their strips far smaller; only a
// single-strip image near the pixel cap comes near this.
constexpr tmsize_t max_library_allocation = tmsize_t{1} << 30;

void ignore_message(const char*, const char*, va_list) {}

// The library reads through these, on the stream open_image_file answered; closing the handle
// closes the stream, exactly once.
tsize_t read_proc(thandle_t handle, tdata_t buffer, tsize_t size) {
  return static_cast<tsize_t>(
      std::fread(buffer, 1, static_cast<std::size_t>(size), static_cast<std::FILE*>(handle)));
}
tsize_t write_proc(thandle_t, tdata_t, tsize_t) {
  return 0;
}
toff_t seek_proc(thandle_t handle, toff_t offset, int whence) {
  std::FILE* file = static_cast<std::FILE*>(handle);
  if (offset > static_cast<toff_t>(std::numeric_limits<off_t>::max()))
    return static_cast<toff_t>(-1);
  if (fseeko(file, static_cast<off_t>(offset), whence) != 0) return static_cast<toff_t>(-1);
  return static_cast<toff_t>(ftello(file));
}
int close_proc(thandle_t handle) {
  return std::fclose(static_cast<std::FILE*>(handle));
}
toff_t size_proc(thandle_t handle) {
  struct stat status {};
  if (fstat(fileno(static_cast<std::FILE*>(handle)), &status) != 0) return 0;
  return static_cast<toff_t>(status.st_size);
}
int map_proc(thandle_t, tdata_t*, toff_t*) {
  return 0;
}
void unmap_proc(thandle_t, tdata_t, toff_t) {}

// An open file, closed when it goes.
struct Handle {
  TIFF* file = nullptr;
  explicit Handle(const char* path) {
    std::FILE* stream = open_image_file(path);
    if (stream == nullptr) return;
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (options == nullptr) {
      std::fclose(stream);
      return;
    }
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, max_library_allocation);
    file = TIFFClientOpenExt(path, read_only, stream, read_proc, write_proc, seek_proc, close_proc,
                             size_proc, map_proc, unmap_proc, options);
    TIFFOpenOptionsFree(options);
    // A failed open leaves the stream to us.
    if (file == nullptr) std::fclose(stream);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (file != nullptr) TIFFClose(file);
  }
};

// The directory a selector names, or false when it names none the library could hold. Decimal
// text as atoi reads it (text that is not a number is 0), but without atoi's undefined overflow.
bool directory_number(const char* selector, tdir_t& number) {
  errno = 0;
  const long value = std::strtol(selector, nullptr, decimal);
  if (errno == ERANGE || value < 0 ||
      static_cast<unsigned long>(value) > std::numeric_limits<tdir_t>::max()) {
    return false;
  }
  number = static_cast<tdir_t>(value);
  return true;
}

std::uint64_t ceil_div(std::uint64_t value, std::uint64_t divisor) {
  return (value + divisor - 1) / divisor;
}

// Rows per band: whole strips or tile rows, as many as fit the band size; a strip taller than
// that in equal parts, as few as fit the tall strips' band size.
std::uint32_t band_rows(TIFF* file, std::uint32_t width, std::uint32_t height) {
  std::uint32_t unit = 0;
  const bool tiled = TIFFIsTiled(file);
  if (tiled) {
    TIFFGetField(file, TIFFTAG_TILELENGTH, &unit);
  } else {
    TIFFGetFieldDefaulted(file, TIFFTAG_ROWSPERSTRIP, &unit);
  }
  const std::uint64_t row_bytes = std::uint64_t{width} * bytes_per_pixel;
  const std::uint64_t fit = band_bytes / row_bytes;
  std::uint64_t rows = 0;
  if (unit > 0 && unit <= fit) {
    rows = fit / unit * unit;
  } else if (unit > fit && !tiled) {
    const std::uint64_t strip = std::min<std::uint64_t>(unit, height);
    const std::uint64_t parts =
        std::max<std::uint64_t>(1, ceil_div(strip * row_bytes, tall_strip_band_bytes));
    rows = parts == 1 ? strip
                      : ceil_div(ceil_div(strip, parts), band_row_multiple) * band_row_multiple;
  } else {
    rows = std::max<std::uint64_t>(band_row_multiple, fit / band_row_multiple * band_row_multiple);
  }
  return static_cast<std::uint32_t>(rows < height ? rows : height);
}

// Whether the directory's pixels carry alpha, as the RGBA reader decides it: the first extra
// sample, associated or not, or unspecified beside three colours.
bool has_alpha(TIFF* file) {
  std::uint16_t count = 0;
  std::uint16_t* types = nullptr;
  std::uint16_t samples = 0;
  TIFFGetFieldDefaulted(file, TIFFTAG_SAMPLESPERPIXEL, &samples);
  if (!TIFFGetField(file, TIFFTAG_EXTRASAMPLES, &count, &types) || count == 0 || !types)
    return false;
  return types[0] == EXTRASAMPLE_ASSOCALPHA || types[0] == EXTRASAMPLE_UNASSALPHA ||
         (types[0] == EXTRASAMPLE_UNSPECIFIED && samples > 3);
}

// The reader hands alpha over premultiplied, whether the file stores it so or not; the
// colours are divided back, as every format hands them over, and the opacity kept.
void take_alpha(const std::uint32_t* in, std::uint8_t* rgb, std::uint8_t* alpha,
                std::uint32_t width) {
  for (std::uint32_t x = 0; x < width; ++x, rgb += rgb_channels) {
    const unsigned a = TIFFGetA(in[x]);
    alpha[x] = static_cast<std::uint8_t>(a);
    if (a == 255) continue;
    for (std::size_t c = 0; c < rgb_channels; ++c)
      rgb[c] = a == 0 ? 0 : static_cast<std::uint8_t>(std::min(255u, (rgb[c] * 255 + a / 2) / a));
  }
}

// Reads the current directory into builder, band by band. False when the library fails on any
// part of it: within a band the library is told not to stop at the first damaged strip, as
// before, but a failed band fails the image, so no later band is read for nothing (a few header
// bytes claiming a billion pixels would otherwise have every one of them converted).
bool read_bands(TIFF* file, TIFFRGBAImage& reader, ImageBuilder& builder, bool alpha) {
  const std::uint32_t width = reader.width;
  const std::uint32_t height = reader.height;
  const std::uint32_t rows = band_rows(file, width, height);
  std::vector<std::uint32_t> band;
  try {
    band.resize(std::size_t{width} * rows);
  } catch (const std::bad_alloc&) {
    return false;
  }
  for (std::uint32_t first = 0; first < height && !decode_cancelled(); first += rows) {
    const std::uint32_t count = height - first < rows ? height - first : rows;
    reader.row_offset = static_cast<int>(first);
    if (!TIFFRGBAImageGet(&reader, band.data(), width, count)) return false;
    for (std::uint32_t j = 0; j < count; ++j) {
      const std::uint32_t* in = band.data() + std::size_t{j} * width;
      std::uint8_t* out = builder.row(first + j);
      for (std::uint32_t x = 0; x < width; ++x, out += rgb_channels) {
        out[0] = static_cast<std::uint8_t>(TIFFGetR(in[x]));
        out[1] = static_cast<std::uint8_t>(TIFFGetG(in[x]));
        out[2] = static_cast<std::uint8_t>(TIFFGetB(in[x]));
      }
      if (alpha) take_alpha(in, builder.row(first + j), builder.alpha_row(first + j), width);
      builder.commit(first + j);
    }
  }
  return !decode_cancelled();
}

// The profile the directory carries; empty without one.
std::vector<std::uint8_t> icc_profile(TIFF* file) {
  std::uint32_t length = 0;
  void* profile = nullptr;
  if (!TIFFGetField(file, TIFFTAG_ICCPROFILE, &length, &profile) || !profile) return {};
  const auto* bytes = static_cast<const std::uint8_t*>(profile);
  return {bytes, bytes + length};
}

// The transform of a CMYK directory with a profile, stored as the plain layout the rows can be
// read in (8- or 16-bit samples, four of them side by side, in strips or tiles); null for every
// other file, which the RGBA reader converts by the ink model.
std::shared_ptr<const colour::Transform> cmyk_transform(TIFF* file,
                                                        const std::vector<std::uint8_t>& icc) {
  std::uint16_t photometric = 0, samples = 0, bits = 0, planar = 0, inks = 0;
  TIFFGetFieldDefaulted(file, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(file, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(file, TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetFieldDefaulted(file, TIFFTAG_INKSET, &inks);
  if (icc.empty() || !TIFFGetField(file, TIFFTAG_PHOTOMETRIC, &photometric) ||
      photometric != PHOTOMETRIC_SEPARATED || inks != INKSET_CMYK || samples != 4 ||
      (bits != 8 && bits != 16) || planar != PLANARCONFIG_CONTIG) {
    return nullptr;
  }
  return colour::to_display(ColourDescription{.icc = icc}, colour::Input::cmyk);
}

// Narrows 16-bit samples (in the machine's order, as the library hands them over) to 8 bits in
// place, rounded.
void narrow(std::uint8_t* samples, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    std::uint16_t wide = 0;
    std::memcpy(&wide, samples + 2 * i, sizeof wide);
    samples[i] = static_cast<std::uint8_t>((wide * 255u + 32767u) / 65535u);
  }
}

// A tiled directory's rows: the tiles of one row of tiles at a time, joined into whole rows.
// Only the rows inside the image are kept of them.
struct TileRows {
  std::uint32_t tile_width = 0, tile_height = 0, band_height = 0;
  std::size_t tile_stride = 0, band_stride = 0;
  std::vector<std::uint8_t> tile, band;
  std::uint32_t band_top = 0;
  bool loaded = false;

  bool start(TIFF* file, std::uint32_t width, std::uint32_t height, std::size_t pixel_bytes) {
    if (!TIFFGetField(file, TIFFTAG_TILEWIDTH, &tile_width) ||
        !TIFFGetField(file, TIFFTAG_TILELENGTH, &tile_height) || tile_width == 0 ||
        tile_height == 0)
      return false;
    // A few header bytes can claim tiles of any size: none larger than the library itself may
    // allocate is read.
    const std::uint64_t tile_bytes = std::uint64_t{tile_width} * tile_height * pixel_bytes;
    if (tile_bytes > std::uint64_t(max_library_allocation) ||
        TIFFTileSize(file) != static_cast<tmsize_t>(tile_bytes))
      return false;
    const std::uint64_t tiles_across = (std::uint64_t{width} + tile_width - 1) / tile_width;
    band_height = std::min(tile_height, height);
    tile_stride = std::size_t{tile_width} * pixel_bytes;
    band_stride = static_cast<std::size_t>(tiles_across) * tile_stride;
    try {
      tile.resize(static_cast<std::size_t>(tile_bytes));
      band.resize(band_stride * band_height);
    } catch (const std::bad_alloc&) {
      return false;
    }
    return true;
  }
  // Row y of the directory, from the band holding it, read when the row is its first.
  const std::uint8_t* row(TIFF* file, std::uint32_t y, std::uint32_t width, std::uint32_t height) {
    if (!loaded || y >= band_top + tile_height) {
      band_top = y - y % tile_height;
      loaded = true;
      const std::uint32_t rows = std::min(band_height, height - band_top);
      for (std::uint32_t x = 0, column = 0; x < width; x += tile_width, ++column) {
        if (TIFFReadTile(file, tile.data(), x, band_top, 0, 0) < 0) return nullptr;
        for (std::uint32_t r = 0; r < rows; ++r)
          std::memcpy(band.data() + r * band_stride + column * tile_stride,
                      tile.data() + r * tile_stride, tile_stride);
      }
    }
    return band.data() + (y - band_top) * band_stride;
  }
};

// Reads a CMYK directory row by row through its profile's transform.
bool read_cmyk(TIFF* file, const colour::Transform& transform, ImageBuilder& builder,
               std::uint32_t width, std::uint32_t height) {
  std::uint16_t bits = 8;
  TIFFGetFieldDefaulted(file, TIFFTAG_BITSPERSAMPLE, &bits);
  const std::size_t samples = std::size_t{width} * 4, sample_bytes = bits / 8;
  const bool tiled = TIFFIsTiled(file);
  TileRows tiles;
  std::vector<std::uint8_t> row;
  try {
    row.resize(samples * sample_bytes);
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (tiled ? !tiles.start(file, width, height, 4 * sample_bytes)
            : TIFFScanlineSize(file) != static_cast<tmsize_t>(row.size()))
    return false;
  for (std::uint32_t y = 0; y < height; ++y) {
    if (decode_cancelled()) return false;
    if (tiled) {
      const std::uint8_t* stored = tiles.row(file, y, width, height);
      if (!stored) return false;
      std::memcpy(row.data(), stored, row.size());
    } else if (TIFFReadScanline(file, row.data(), y, 0) < 0) {
      return false;
    }
    if (sample_bytes == 2) narrow(row.data(), samples);
    colour::apply(transform, row.data(), builder.row(y), width);
    builder.commit(y);
  }
  return true;
}

}  // namespace

void init() {
  // Warnings about unknown tags and errors about damaged strips are not the user's business;
  // a file the library cannot read fails to load.
  TIFFSetWarningHandler(ignore_message);
  TIFFSetErrorHandler(ignore_message);
}

std::unique_ptr<Image> load(const char* path, const char* selector, Wish wish) {
  Handle handle(path);
  TIFF* file = handle.file;
  if (file == nullptr) return nullptr;
  // A number that does not exist is not an error: reading goes on with the directory the
  // library leaves current (the first, for numbers beyond what the library can count).
  tdir_t number = 0;
  if (selector != nullptr && selector[0] != '\0' && directory_number(selector, number)) {
    TIFFSetDirectory(file, number);
  }
  // Without a codec the library fails every strip, and, told not to stop at damaged strips,
  // hands over its buffer unfilled as if it were the picture: a 200-byte file then made a
  // 200-megapixel image out of nothing, at a second and a half.
  std::uint16_t compression = COMPRESSION_NONE;
  TIFFGetFieldDefaulted(file, TIFFTAG_COMPRESSION, &compression);
  if (!TIFFIsCODECConfigured(compression)) return nullptr;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  TIFFGetField(file, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(file, TIFFTAG_IMAGELENGTH, &height);
  // The size cap, in 64 bits, before anything is allocated: a few header bytes can claim any
  // size up to 2^32 x 2^32.
  std::uint16_t orientation = ORIENTATION_TOPLEFT;
  TIFFGetFieldDefaulted(file, TIFFTAG_ORIENTATION, &orientation);
  ImageBuilder builder;
  const bool alpha = has_alpha(file);
  if (!builder.start(width, height, stored_wish(wish, orientation), alpha)) return nullptr;

  const std::vector<std::uint8_t> icc = icc_profile(file);
  if (const auto cmyk = cmyk_transform(file, icc)) {
    if (!read_cmyk(file, *cmyk, builder, width, height)) return nullptr;
    std::unique_ptr<Image> image = builder.finish();
    if (image) {
      image->pages = std::max<tdir_t>(1, TIFFNumberOfDirectories(file));
      image->orientation = orientation;
    }
    return image;
  }
  // The library reading uncompressed tiles from a file it has not mapped (and files are never
  // mapped here: a file cut short under a mapping would crash the program) rounds its own tile
  // buffer up to a kilobyte and then refuses the tile for not filling it, so tiles of 32 x 16
  // failed every time. Given a buffer of the tile's exact size, it reads them.
  std::vector<std::uint8_t> raw_tile;
  if (TIFFIsTiled(file) && compression == COMPRESSION_NONE) {
    const tmsize_t size = TIFFTileSize(file);
    if (size <= 0 || size > max_library_allocation) return nullptr;
    try {
      raw_tile.resize(static_cast<std::size_t>(size));
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
    TIFFReadBufferSetup(file, raw_tile.data(), size);
  }
  char message[rgba_message_bytes] = {};
  TIFFRGBAImage reader{};
  if (!TIFFRGBAImageOK(file, message) || !TIFFRGBAImageBegin(&reader, file, 0, message)) {
    return nullptr;
  }
  // The reader would mirror the raster for the tag's values itself, and for 5 to 8 mirror it
  // wrongly instead of turning it. Told the file is stored top left as asked, it hands over the
  // stored raster untouched; the tag is applied once, with every other format's.
  reader.req_orientation = ORIENTATION_TOPLEFT;
  reader.orientation = ORIENTATION_TOPLEFT;
  const bool ok = read_bands(file, reader, builder, alpha);
  TIFFRGBAImageEnd(&reader);
  if (!ok) return nullptr;
  std::unique_ptr<Image> image = builder.finish();
  if (image) {
    // A damaged directory chain can count as none although this one was read.
    image->pages = std::max<tdir_t>(1, TIFFNumberOfDirectories(file));
    image->orientation = orientation;
    image->colour.icc = icc;
  }
  return image;
}

std::vector<std::string> list_pages(const char* path) {
  std::vector<std::string> names;
  Handle handle(path);
  if (handle.file == nullptr) return names;
  do {
    char name[page_name_size];
    std::snprintf(name, sizeof name, "%08d", static_cast<int>(TIFFCurrentDirectory(handle.file)));
    names.emplace_back(name);
  } while (TIFFReadDirectory(handle.file));
  // A file of one image is an image, not a listing.
  if (names.size() < 2) names.clear();
  return names;
}

}  // namespace tiff
