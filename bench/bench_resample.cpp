// Quality and cost of the resampler.
//
// Quality: a 4000 x 3000 zone plate (rings whose frequency rises towards the edges, the classic
// aliasing test) is written as a JPEG at quality 92 and drawn the way the view (upright and
// turned, in a 1820 x 980 window) and the thumbnail grid (default level, same window) draw it:
// a reduced-scale decode for the drawn size, then the resampler. Each drawing is compared with a
// Lanczos-3 reduction of the full-size decode of the same file, computed here in double
// precision, as PSNR.
//
// Cost, single thread, best of several runs: the view's usual case (1500 x 1000, a 6000 x 4000
// JPEG decoded at 1/4, drawn at 1470 x 980), an enlargement (100 x 50 to 1820 x 910) and a
// full-size raster shrunk directly (6000 x 4000 to 1470 x 980, formats without reduced decode).
//
// Thumbnail page: 29 copies of a 4000 x 3000 JPEG at quality 90 decoded and resampled for the
// default cells one after another, against `djpeg -scale 1/8` of the same files (the
// single-core decode floor), when djpeg is installed.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "formats/formats.h"
#include "formats/resample.h"
#include "support/photo.h"

namespace {

constexpr std::uint32_t plate_width = 4000;
constexpr std::uint32_t plate_height = 3000;
constexpr int plate_quality = 92;
constexpr std::uint32_t window_width = 1820;
constexpr std::uint32_t window_height = 980;
// The grid's default level: 6 columns, 5 rows, a 20-pixel label band under each row.
constexpr std::uint32_t grid_cols = 6;
constexpr std::uint32_t grid_rows = 5;
constexpr std::uint32_t label_band = 20;
constexpr int lanczos_lobes = 3;
constexpr int cost_runs = 7;
constexpr int page_files = 29;
constexpr int page_quality = 90;

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

Image zone_plate() {
  Image image;
  image.width = image.full_width = plate_width;
  image.height = image.full_height = plate_height;
  image.rgb = Raster(std::size_t{plate_width} * plate_height * rgb_channels);
  const double cx = plate_width / 2.0, cy = plate_height / 2.0;
  auto value = [&](double x, double y) {
    const double r2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
    return static_cast<std::uint8_t>(
        std::lround(127.5 + 127.5 * std::cos(M_PI * r2 / (1.2 * plate_width))));
  };
  for (std::uint32_t y = 0; y < plate_height; ++y) {
    std::uint8_t* row = image.row(y);
    for (std::uint32_t x = 0; x < plate_width; ++x) {
      row[x * 3] = value(x, y);
      row[x * 3 + 1] = value(x, plate_height - 1 - y);  // flipped vertically
      row[x * 3 + 2] = value(plate_width - 1 - x, y);   // flipped horizontally
    }
  }
  return image;
}

double lanczos(double x) {
  if (x == 0) return 1;
  if (std::fabs(x) >= lanczos_lobes) return 0;
  const double px = M_PI * x;
  return lanczos_lobes * std::sin(px) * std::sin(px / lanczos_lobes) / (px * px);
}

// Lanczos-3 weights of each of out destination pixels over in source pixels (pixel centres
// aligned, the kernel widened by the shrink factor), edges clamped.
std::vector<std::vector<std::pair<std::uint32_t, double>>> lanczos_weights(std::uint32_t in,
                                                                           std::uint32_t out) {
  const double scale = double(in) / out;
  const double support = lanczos_lobes * std::max(1.0, scale);
  std::vector<std::vector<std::pair<std::uint32_t, double>>> table(out);
  for (std::uint32_t i = 0; i < out; ++i) {
    const double centre = (i + 0.5) * scale;
    double total = 0;
    for (auto k = static_cast<std::int64_t>(std::floor(centre - support));
         k <= static_cast<std::int64_t>(std::ceil(centre + support)); ++k) {
      const double w = lanczos((k + 0.5 - centre) / std::max(1.0, scale));
      if (w == 0) continue;
      table[i].push_back({static_cast<std::uint32_t>(std::clamp<std::int64_t>(k, 0, in - 1)), w});
      total += w;
    }
    for (auto& tap : table[i])
      tap.second /= total;
  }
  return table;
}

std::vector<double> lanczos_reduce(const Image& source, std::uint32_t w, std::uint32_t h) {
  const auto columns = lanczos_weights(source.width, w);
  const auto rows = lanczos_weights(source.height, h);
  std::vector<double> across(std::size_t{source.height} * w * 3);
  for (std::uint32_t y = 0; y < source.height; ++y) {
    const std::uint8_t* in = source.row(y);
    for (std::uint32_t x = 0; x < w; ++x)
      for (int c = 0; c < 3; ++c) {
        double sum = 0;
        for (const auto& [k, weight] : columns[x])
          sum += weight * in[k * 3 + c];
        across[(std::size_t{y} * w + x) * 3 + c] = sum;
      }
  }
  std::vector<double> out(std::size_t{w} * h * 3);
  for (std::uint32_t y = 0; y < h; ++y)
    for (std::uint32_t x = 0; x < w; ++x)
      for (int c = 0; c < 3; ++c) {
        double sum = 0;
        for (const auto& [k, weight] : rows[y])
          sum += weight * across[(std::size_t{k} * w + x) * 3 + c];
        out[(std::size_t{y} * w + x) * 3 + c] = std::clamp(sum, 0.0, 255.0);
      }
  return out;
}

double psnr(const Image& drawn, const std::vector<double>& reference) {
  double squared = 0;
  for (std::size_t i = 0; i < drawn.rgb.size(); ++i) {
    const double d = drawn.rgb[i] - reference[i];
    squared += d * d;
  }
  return 10 * std::log10(255.0 * 255.0 / (squared / drawn.rgb.size()));
}

// Draws the JPEG at path into a box the way the view and the grid do, and compares it with the
// Lanczos reduction of the full decode to the same size.
void report_quality(const char* what, const std::string& path, const Image& full, Wish box,
                    Size drawn, double goal) {
  const auto decoded = load_image(path.c_str(), "", box);
  if (!decoded) std::abort();
  const auto scaled = resample(*decoded, static_cast<std::uint32_t>(drawn.width),
                               static_cast<std::uint32_t>(drawn.height));
  const auto reference = lanczos_reduce(full, static_cast<std::uint32_t>(drawn.width),
                                        static_cast<std::uint32_t>(drawn.height));
  const double db = psnr(*scaled, reference);
  std::printf("  %-28s decoded %ux%u, drawn %llux%llu: %5.1f dB (goal >= %.0f) %s\n", what,
              decoded->width, decoded->height, static_cast<unsigned long long>(drawn.width),
              static_cast<unsigned long long>(drawn.height), db, goal,
              db >= goal ? "met" : "MISSED");
}

Image pattern(std::uint32_t w, std::uint32_t h) {
  Image image;
  image.width = image.full_width = w;
  image.height = image.full_height = h;
  image.rgb = Raster(std::size_t{w} * h * 3);
  for (std::size_t i = 0; i < image.rgb.size(); ++i)
    image.rgb[i] = static_cast<std::uint8_t>(i * 2654435761u >> 24);
  return image;
}

void report_cost(const char* what, std::uint32_t sw, std::uint32_t sh, std::uint32_t dw,
                 std::uint32_t dh, bool per_source, double goal_ns) {
  const Image source = pattern(sw, sh);
  double best = 1e300;
  for (int run = 0; run < cost_runs; ++run) {
    const auto start = Clock::now();
    const auto out = resample(source, dw, dh);
    if (!out) std::abort();
    best = std::min(best, seconds_since(start));
  }
  const double pixels = per_source ? double(sw) * sh : double(dw) * dh;
  const double ns = best * 1e9 / pixels;
  std::printf("  %-44s %6.2f ns per %s pixel (goal <= %.1f) %s\n", what, ns,
              per_source ? "source" : "destination", goal_ns, ns <= goal_ns ? "met" : "MISSED");
}

// The thumbnail page: every file decoded for the default cell and resampled into it.
void report_page(const std::string& dir) {
  Image picture = pattern(plate_width, plate_height);
  // Smooth shading with texture, as dense as a camera's file; the pattern alone is noise.
  for (std::uint32_t y = 0; y < plate_height; ++y)
    for (std::uint32_t x = 0; x < plate_width; ++x)
      for (int c = 0; c < 3; ++c) {
        const double texture = 24 * std::sin(x * 0.21) * std::cos(y * 0.17);
        picture.row(y)[x * 3 + c] = static_cast<std::uint8_t>(
            std::clamp(int(x * 200 / plate_width + 30 + 40 * c) + int(texture) +
                           (picture.row(y)[x * 3 + c] >> 5) - 4,
                       0, 255));
      }
  std::vector<std::string> files;
  for (int i = 0; i < page_files; ++i) {
    files.push_back(dir + "/page" + std::to_string(i) + ".jpg");
    bench::write_jpeg(files.back(), picture, page_quality);
  }
  const std::uint32_t cell_w = window_width / grid_cols;
  const std::uint32_t cell_h = (window_height - grid_rows * label_band) / grid_rows;
  auto page = [&] {
    const auto start = Clock::now();
    for (const std::string& file : files) {
      const auto image = load_image(file.c_str(), "", {cell_w, cell_h});
      if (!image) std::abort();
      const Size fit = fit_size(image->full_width, image->full_height, cell_w, cell_h);
      const auto cell = resample(*image, static_cast<std::uint32_t>(fit.width),
                                 static_cast<std::uint32_t>(fit.height));
      if (!cell) std::abort();
    }
    return seconds_since(start);
  };
  auto floor = [&] {
    std::string command;
    for (const std::string& file : files)
      command += "djpeg -scale 1/8 '" + file + "' >/dev/null && ";
    command += "true";
    const auto start = Clock::now();
    if (std::system(command.c_str()) != 0) return -1.0;
    return seconds_since(start);
  };
  double ours = 1e300, djpeg = 1e300;
  for (int run = 0; run < 3; ++run) {
    ours = std::min(ours, page());
    djpeg = std::min(djpeg, floor());
  }
  std::printf("Thumbnail page, %d JPEGs of %ux%u at quality %d, %ux%u cells, one thread\n",
              page_files, plate_width, plate_height, page_quality, cell_w, cell_h);
  if (djpeg < 0) {
    std::printf("  %.0f ms (djpeg not installed: no floor to compare with)\n", ours * 1e3);
    return;
  }
  std::printf(
      "  %.0f ms, djpeg -scale 1/8 floor %.0f ms: %.2fx the floor (before the resampler: "
      "1.02x)\n",
      ours * 1e3, djpeg * 1e3, ours / djpeg);
}

}  // namespace

int main() {
  char dir[] = "/tmp/pictra-bench-resample-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  init_formats();
  const std::string path = std::string(dir) + "/zone.jpg";
  bench::write_jpeg(path, zone_plate(), plate_quality);
  const auto full = load_image(path.c_str(), "", {});
  if (!full) return 1;

  std::printf("Zone plate %ux%u, JPEG quality %d, against Lanczos-3 of the full decode\n",
              plate_width, plate_height, plate_quality);
  const Wish upright{window_width, window_height};
  report_quality("view, upright", path, *full, upright,
                 fit_size(plate_width, plate_height, upright.width, upright.height), 22);
  // A quarter turn fits the image into the window's box seen from the image's side.
  const Wish turned{window_height, window_width};
  report_quality("view, quarter turn", path, *full, turned,
                 fit_size(plate_width, plate_height, turned.width, turned.height), 22);
  const Wish cell{window_width / grid_cols, (window_height - grid_rows * label_band) / grid_rows};
  report_quality("thumbnail, default level", path, *full, cell,
                 fit_size(plate_width, plate_height, cell.width, cell.height), 30);

  std::printf("Resampler cost, one thread, best of %d\n", cost_runs);
  report_cost("view: 1500x1000 (6000x4000 at 1/4) to 1470x980", 1500, 1000, 1470, 980, false, 5);
  report_cost("enlargement: 100x50 to 1820x910", 100, 50, 1820, 910, false, 5);
  report_cost("full raster: 6000x4000 to 1470x980", 6000, 4000, 1470, 980, true, 1.5);

  report_page(dir);
  std::filesystem::remove_all(dir);
  return 0;
}
