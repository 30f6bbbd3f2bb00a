// The format registry: the table of format modules, the lookups that pick one by contents or
// by extension, and the one way every module opens a file.
#include <fcntl.h>
#include <stdio.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iterator>
#include <mutex>
#include <new>
#include <string_view>
#include <thread>

#include "formats/animation.h"
#include "formats/bmp.h"
#include "formats/formats.h"
#include "formats/gif.h"
#include "formats/heif.h"
#include "formats/jpeg.h"
#include "formats/jxl.h"
#include "formats/orient.h"
#include "formats/png.h"
#include "formats/tiff.h"
#include "formats/webp.h"

ImageFormat formats[format_count];

namespace {

// Extensions of each format, in the order get_type tries them. Matching ignores letter case:
// cameras and phones write "IMG_0001.JPG" and "IMG_1234.HEIC", other systems ".Jpeg".
constexpr const char* jpeg_extensions[] = {".jpg", ".jpeg"};
constexpr const char* gif_extensions[] = {".gif"};
constexpr const char* bmp_extensions[] = {".bmp"};
// ".tif" also catches ".tiff": only the start of the tail is compared.
constexpr const char* tiff_extensions[] = {".tif", ".nef"};
constexpr const char* png_extensions[] = {".png"};
constexpr const char* webp_extensions[] = {".webp"};
constexpr const char* heif_extensions[] = {".heic", ".heif", ".avif"};
constexpr const char* jxl_extensions[] = {".jxl"};

// The first bytes that name a file's format, whatever the file is called. In a pattern,
// any_byte stands for a byte of any value: RIFF and ISO boxes begin with their length.
constexpr char any_byte = '?';
struct Signature {
  FormatIndex format = format_jpeg;
  std::string_view pattern;
};
using namespace std::string_view_literals;
constexpr Signature signatures[] = {
    {format_jpeg, "\xFF\xD8\xFF"sv},
    {format_png, "\x89PNG\r\n\x1A\n"sv},
    {format_gif, "GIF87a"sv},
    {format_gif, "GIF89a"sv},
    {format_bmp, "BM"sv},
    {format_tiff, "II*\0"sv},
    {format_tiff, "MM\0*"sv},
    {format_webp, "RIFF????WEBP"sv},
    // HEIF files open with an ftyp box whose major brand names the codec and structure.
    {format_heif, "????ftypheic"sv},
    {format_heif, "????ftypheix"sv},
    {format_heif, "????ftypheim"sv},
    {format_heif, "????ftypheis"sv},
    {format_heif, "????ftyphevc"sv},
    {format_heif, "????ftyphevx"sv},
    {format_heif, "????ftypmif1"sv},
    {format_heif, "????ftypmsf1"sv},
    {format_heif, "????ftypavif"sv},
    {format_heif, "????ftypavis"sv},
    // A bare codestream, and the ISO container that wraps one.
    {format_jxl, "\xFF\x0A"sv},
    {format_jxl, "\0\0\0\x0CJXL \r\n\x87\n"sv},
};
constexpr std::size_t sniff_bytes = 12;  // the longest pattern

bool matches(std::string_view pattern, const unsigned char* head, std::size_t length) {
  if (pattern.size() > length) return false;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != any_byte && static_cast<unsigned char>(pattern[i]) != head[i]) return false;
  }
  return true;
}

// The format the file's first bytes show, or -1 when they show none or cannot be read.
int type_by_contents(const char* path) {
  std::FILE* file = open_image_file(path);
  if (!file) return -1;
  unsigned char head[sniff_bytes];
  const std::size_t length = std::fread(head, 1, sizeof head, file);
  std::fclose(file);
  for (const Signature& signature : signatures) {
    if (matches(signature.pattern, head, length)) return signature.format;
  }
  return -1;
}

template <std::size_t N>
ImageFormat row(const char* const (&extensions)[N],
                std::unique_ptr<Image> (*load)(const char*, const char*, Wish),
                std::vector<std::string> (*list_pages)(const char*)) {
  return {.extcount = static_cast<int>(N),
          .extensions = extensions,
          .load = load,
          .list_pages = list_pages};
}

// libjxl and libdav1d (beneath libheif) print why they reject a damaged file to stderr, and
// neither lets a caller turn that off. Images are decoded on the pool's threads only, so stderr
// becomes a stream that passes on what the thread that set it up writes (the program's own
// messages and Xlib's) and drops what the decoding threads write. The sanitizers write to the
// descriptor itself and still reach the terminal.
std::thread::id message_thread;  // set once, before any decoding thread starts

ssize_t write_from_message_thread(void*, const char* data, std::size_t size) {
  if (std::this_thread::get_id() != message_thread) return static_cast<ssize_t>(size);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t written = write(STDERR_FILENO, data + done, size - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return done ? static_cast<ssize_t>(done) : -1;
    done += static_cast<std::size_t>(written);
  }
  return static_cast<ssize_t>(done);
}

void quiet_decoding_threads() {
  message_thread = std::this_thread::get_id();
  const cookie_io_functions_t functions{nullptr, write_from_message_thread, nullptr, nullptr};
  FILE* stream = fopencookie(nullptr, "w", functions);
  if (!stream) return;  // the libraries stay audible, nothing worse
  // Unbuffered, as stderr is: each message is written, and judged, while its writer waits.
  setvbuf(stream, nullptr, _IONBF, 0);
  // The GNU C library lets a program point stderr at another stream.
  stderr = stream;
}

}  // namespace

void init_formats() {
  formats[format_jpeg] = row(jpeg_extensions, jpeg::load, no_pages);
  formats[format_gif] = row(gif_extensions, gif::load, no_pages);
  formats[format_gif].open_animation = gif::open_animation;
  formats[format_bmp] = row(bmp_extensions, bmp::load, no_pages);
  formats[format_tiff] = row(tiff_extensions, tiff::load, tiff::list_pages);
  formats[format_png] = row(png_extensions, png::load, no_pages);
  formats[format_webp] = row(webp_extensions, webp::load, no_pages);
  formats[format_webp].open_animation = webp::open_animation;
  formats[format_heif] = row(heif_extensions, heif::load, no_pages);
  formats[format_jxl] = row(jxl_extensions, jxl::load, no_pages);
  formats[format_jxl].open_animation = jxl::open_animation;
  tiff::init();
  // Once: a second stream would leave the first one behind.
  static std::once_flag quieted;
  std::call_once(quieted, quiet_decoding_threads);
}

int get_type(const char* name) {
  const char* tail = std::strrchr(name, '.');
  if (tail == nullptr) return -1;
  // Every extension begins with '.' and the tail holds no other '.', so "the tail contains the
  // extension" comes down to "the tail begins with it": "a.jpg2" is JPEG, "a.jpg.bak" is not.
  for (int index = 0; index < format_count; ++index) {
    const ImageFormat& format = formats[index];
    for (int e = 0; e < format.extcount; ++e) {
      const char* extension = format.extensions[e];
      if (strncasecmp(tail, extension, std::strlen(extension)) == 0) return index;
    }
  }
  return -1;
}

int is_supported(const char* name) {
  return get_type(name) >= 0 ? 1 : 0;
}

std::vector<std::string> no_pages(const char*) {
  return {};
}

namespace {

// Contents over names: browsers save PNGs as "x.jpg". The name only decides for files whose
// first bytes match no signature.
int format_of(const char* path) {
  const int type = type_by_contents(path);
  return type >= 0 ? type : get_type(path);
}

}  // namespace

std::vector<std::string> list_image_pages(const char* path) {
  if (path == nullptr) return {};
  const int type = format_of(path);
  if (type < 0 || formats[type].list_pages == nullptr) return {};
  return formats[type].list_pages(path);
}

std::unique_ptr<Image> load_image(const char* path, const char* selector, Wish wish) {
  if (path == nullptr) return nullptr;
  const int type = format_of(path);
  if (type < 0 || formats[type].load == nullptr) return nullptr;
  std::unique_ptr<Image> image = formats[type].load(path, selector, wish);
  // Here, on the decoding thread, so the view and the thumbnails only see images upright.
  if (image && !orient_image(*image)) return nullptr;
  return image;
}

std::unique_ptr<AnimationReader> open_animation(const char* path) {
  if (path == nullptr) return nullptr;
  const int type = format_of(path);
  if (type < 0 || formats[type].open_animation == nullptr) return nullptr;
  return formats[type].open_animation(path);
}

std::FILE* open_image_file(const char* path) {
  if (path == nullptr) return nullptr;
  // Without O_NONBLOCK, opening a FIFO waits for a writer that may never come; the descriptor
  // is only kept for regular files, which never block, so the flag changes nothing else.
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat status {};
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(fd);
    return nullptr;
  }
  std::FILE* file = fdopen(fd, "rb");
  if (file == nullptr) close(fd);
  return file;
}

bool read_whole_file(const char* path, std::uint64_t max_bytes, std::vector<std::uint8_t>& data) {
  std::FILE* file = open_image_file(path);
  if (!file) return false;
  struct stat status {};
  bool ok = fstat(fileno(file), &status) == 0 && status.st_size > 0 &&
            static_cast<std::uint64_t>(status.st_size) <= max_bytes;
  if (ok) {
    try {
      data.resize(static_cast<std::size_t>(status.st_size));
      ok = std::fread(data.data(), 1, data.size(), file) == data.size();
    } catch (const std::bad_alloc&) {
      ok = false;
    }
  }
  std::fclose(file);
  return ok;
}
