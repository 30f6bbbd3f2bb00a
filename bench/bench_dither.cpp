// Smoothness and cost of x_PutRGB's conversion at every depth. A smooth 600 x 400 image (a
// horizontal and a vertical gradient, and a slow sine) is converted, read back as the colours the
// server shows for its pixel values, and compared with the source after a Gaussian blur of 2
// pixels on both, the way the eye averages neighbouring pixels: PSNR in dB, against the goal of
// each depth, next to the undithered conversion (x_PutPixel's nearest level) and, when they are
// installed, feh and nsxiv showing the same image at 1:1 on the same server. The cost is
// processor time per pixel of converting a 1820 x 980 view-sized raster.
//
// "The colours the server shows" are what XQueryColors answers for each pixel value: the cube's
// cells, and TrueColor fields widened by repeating their bits (5-bit 31 is 255), as a screenshot
// shows them. Reading a field as its top bits instead (31 as 248) would make every picture darker
// than the screen does and score a bias rather than the dither.
//
// Run without arguments it starts a private Xvfb for each depth through tests/support/with-xvfb
// and runs itself there with --here:
//   build/release/bench/bench_dither
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "xsupport/xsupport.h"

namespace {

constexpr int image_width = 600;
constexpr int image_height = 400;
constexpr int view_width = 1820;
constexpr int view_height = 980;
constexpr double sine_period = 500;  // pixels along x + y / 2
constexpr double blur_sigma = 2;
constexpr int blur_radius = 6;  // three sigmas
constexpr double peak = 255;
constexpr int rounds = 4;  // conversions per turn; the fastest turn counts
constexpr int turns = 8;
constexpr int channels = 3;
constexpr unsigned short_max = 65535;

struct Goal {
  int depth;
  double decibels;  // 0: exact
};
constexpr Goal goals[] = {{8, 46}, {15, 52}, {16, 53}, {24, 0}};

using Raster = std::vector<std::uint8_t>;  // RGB triples, rows without padding
using Plane = std::vector<double>;         // the same layout, as numbers

Raster smooth_image(int width, int height) {
  Raster raster(static_cast<std::size_t>(width) * height * channels);
  const double pi = std::acos(-1.0);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t* p = &raster[(static_cast<std::size_t>(y) * width + x) * channels];
      p[0] = static_cast<std::uint8_t>(std::lround(peak * x / (width - 1)));
      p[1] = static_cast<std::uint8_t>(std::lround(peak * y / (height - 1)));
      p[2] = static_cast<std::uint8_t>(
          std::lround(peak / 2 + peak / 2 * std::sin(2 * pi * (x + 0.5 * y) / sine_period)));
    }
  }
  return raster;
}

// The colours the server shows for an image's pixels through colormap, 0 to 255 per channel.
Plane shown_colours(XImage* image, Colormap colormap) {
  const auto width = static_cast<std::size_t>(image->width);
  const std::size_t count = width * static_cast<std::size_t>(image->height);
  std::vector<XColor> cells(count);
  for (std::size_t i = 0; i < count; ++i)
    cells[i].pixel = XGetPixel(image, static_cast<int>(i % width), static_cast<int>(i / width));
  XQueryColors(state.display, colormap, cells.data(), static_cast<int>(count));
  Plane plane(count * channels);
  for (std::size_t i = 0; i < count; ++i) {
    plane[i * channels] = cells[i].red * peak / short_max;
    plane[i * channels + 1] = cells[i].green * peak / short_max;
    plane[i * channels + 2] = cells[i].blue * peak / short_max;
  }
  return plane;
}

Plane shown_colours(const Picture* picture) {
  return shown_colours(picture->ximage, state.cube_colormap
                                            ? state.cube_colormap
                                            : DefaultColormap(state.display, state.screen));
}

// Separable Gaussian, edges continued by their last pixel.
Plane blur(const Plane& in, int width, int height) {
  double kernel[2 * blur_radius + 1];
  double sum = 0;
  for (int i = -blur_radius; i <= blur_radius; ++i)
    sum += kernel[i + blur_radius] = std::exp(-i * i / (2 * blur_sigma * blur_sigma));
  for (double& k : kernel)
    k /= sum;
  auto at = [&](int x, int y, int c) {
    return (static_cast<std::size_t>(y) * width + x) * channels + c;
  };
  Plane across(in.size()), out(in.size());
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      for (int c = 0; c < channels; ++c) {
        double v = 0;
        for (int i = -blur_radius; i <= blur_radius; ++i)
          v += kernel[i + blur_radius] * in[at(std::clamp(x + i, 0, width - 1), y, c)];
        across[at(x, y, c)] = v;
      }
    }
  }
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      for (int c = 0; c < channels; ++c) {
        double v = 0;
        for (int i = -blur_radius; i <= blur_radius; ++i)
          v += kernel[i + blur_radius] * across[at(x, std::clamp(y + i, 0, height - 1), c)];
        out[at(x, y, c)] = v;
      }
    }
  }
  return out;
}

// PSNR of the blurred shown colours against the blurred source; infinite when they are equal.
double blurred_psnr(const Raster& source, const Plane& shown_colours) {
  const Plane shown = blur(shown_colours, image_width, image_height);
  const Plane wanted = blur(Plane(source.begin(), source.end()), image_width, image_height);
  double squares = 0;
  for (std::size_t i = 0; i < shown.size(); ++i)
    squares += (shown[i] - wanted[i]) * (shown[i] - wanted[i]);
  const double mean = squares / static_cast<double>(shown.size());
  return mean == 0 ? INFINITY : 10 * std::log10(peak * peak / mean);
}

// Another viewer showing the image at 1:1 in a window of its size, when it is installed.
struct Peer {
  const char* name;
  std::vector<std::string> arguments;  // the image's path follows
};
const Peer peers[] = {
    {"feh", {"feh", "--borderless", "--geometry", "600x400+0+0"}},
    {"nsxiv", {"nsxiv", "-b", "-z", "100", "-g", "600x400+0+0"}},
};
constexpr auto peer_deadline = std::chrono::seconds(10);
constexpr int peer_poll_milliseconds = 100;

// Runs the peer on the image file and reads its window back once the drawing has settled (two
// reads alike and not blank); NaN when it is not installed or shows nothing in time.
double peer_psnr(const Peer& peer, const std::string& path, const Raster& source) {
  Display* display = state.display;
  const Window root = RootWindow(display, state.screen);
  XSelectInput(display, root, SubstructureNotifyMask);
  XSync(display, True);
  const pid_t child = fork();
  if (child == 0) {
    std::vector<char*> argv;
    for (const std::string& argument : peer.arguments)
      argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(const_cast<char*>(path.c_str()));
    argv.push_back(nullptr);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  if (child < 0) return NAN;

  const auto deadline = std::chrono::steady_clock::now() + peer_deadline;
  Window window = 0;
  std::vector<char> last;
  double psnr = NAN;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (waitpid(child, &status, WNOHANG) == child) return NAN;  // ended without a window
    while (!window && XPending(display)) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type == MapNotify && event.xmap.event == root) window = event.xmap.window;
    }
    if (window) {
      XImage* image =
          XGetImage(display, window, 0, 0, image_width, image_height, AllPlanes, ZPixmap);
      if (image) {
        const std::size_t bytes = static_cast<std::size_t>(image->bytes_per_line) * image_height;
        std::vector<char> now(image->data, image->data + bytes);
        const bool blank = std::all_of(now.begin(), now.end(), [&](char c) { return c == now[0]; });
        if (!blank && now == last) {
          XWindowAttributes attributes;
          XGetWindowAttributes(display, window, &attributes);
          psnr = blurred_psnr(source, shown_colours(image, attributes.colormap));
          XDestroyImage(image);
          break;
        }
        last = std::move(now);
        XDestroyImage(image);
      }
    }
    pollfd fd{ConnectionNumber(display), POLLIN, 0};
    poll(&fd, 1, peer_poll_milliseconds);
  }
  kill(child, SIGTERM);
  waitpid(child, nullptr, 0);
  XSelectInput(display, root, NoEventMask);
  return psnr;
}

// The source as a binary PPM file in a new temporary directory; its path.
std::string write_ppm(const Raster& source) {
  char directory[] = "/tmp/bench_dither.XXXXXX";
  if (!mkdtemp(directory)) return "";
  const std::string path = std::string(directory) + "/smooth.ppm";
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return "";
  std::fprintf(file, "P6\n%d %d\n255\n", image_width, image_height);
  std::fwrite(source.data(), 1, source.size(), file);
  std::fclose(file);
  return path;
}

double cpu_nanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

// Nanoseconds per pixel of the fastest turn of `rounds` calls of convert.
template <typename Convert>
double cost_per_pixel(Convert convert) {
  double best = INFINITY;
  for (int turn = 0; turn < turns; ++turn) {
    const double start = cpu_nanoseconds();
    for (int round = 0; round < rounds; ++round)
      convert();
    best = std::min(best, cpu_nanoseconds() - start);
  }
  return best / rounds / (static_cast<double>(view_width) * view_height);
}

void put_undithered(Picture* picture, const Raster& raster) {
  for (std::uint64_t y = 0; y < picture->height; ++y) {
    for (std::uint64_t x = 0; x < picture->width; ++x) {
      const std::uint8_t* p = &raster[(y * picture->width + x) * channels];
      x_PutPixel(picture, x, y, p[0] << 16 | p[1] << 8 | p[2]);
    }
  }
}

std::string decibels(double psnr) {
  if (std::isinf(psnr)) return "exact";
  char text[16];
  std::snprintf(text, sizeof text, "%.1f dB", psnr);
  return text;
}

int measure_here() {
  x_Init(nullptr);
  const auto bpp = static_cast<std::uint64_t>(state.bits_per_pixel);
  const Raster source = smooth_image(image_width, image_height);
  Picture* picture = x_CreatePicture(image_width, image_height, bpp);
  const Raster view = smooth_image(view_width, view_height);
  Picture* window = x_CreatePicture(view_width, view_height, bpp);
  if (!picture || !window) {
    std::fputs("no picture\n", stderr);
    return 1;
  }

  put_undithered(picture, source);
  const double before = blurred_psnr(source, shown_colours(picture));
  x_PutRGB(picture, 0, 0, source.data(), image_width, image_height, image_width * channels);
  const double after = blurred_psnr(source, shown_colours(picture));
  const std::string path = write_ppm(source);
  std::string peer_figures;
  for (const Peer& peer : peers) {
    const double psnr = path.empty() ? NAN : peer_psnr(peer, path, source);
    char text[32];
    std::snprintf(text, sizeof text, " | %9s", std::isnan(psnr) ? "-" : decibels(psnr).c_str());
    peer_figures += text;
  }
  if (!path.empty()) {
    std::remove(path.c_str());
    rmdir(path.substr(0, path.rfind('/')).c_str());
  }

  const double put_rgb = cost_per_pixel(
      [&] { x_PutRGB(window, 0, 0, view.data(), view_width, view_height, view_width * channels); });
  const double put_pixel = cost_per_pixel([&] { put_undithered(window, view); });

  double goal = -1;
  for (const Goal& g : goals) {
    if (g.depth == state.visual_depth) goal = g.decibels;
  }
  const bool met = goal == 0 ? std::isinf(after) : goal > 0 && after >= goal;
  char goal_text[16];
  std::snprintf(goal_text, sizeof goal_text, goal == 0 ? "exact" : ">= %.0f dB", goal);
  std::printf("%5d | %15s | %13s | %-9s | %-4s%s | %8.2f ns | %10.2f ns\n", state.visual_depth,
              decibels(before).c_str(), decibels(after).c_str(), goal_text, met ? "met" : "MISS",
              peer_figures.c_str(), put_rgb, put_pixel);
  x_FreePicture(picture);
  x_FreePicture(window);
  x_Cleanup(0);
  return met ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--here") return measure_here();
  char self[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return 1;
  self[length] = '\0';
  std::printf(
      "depth | undithered PSNR | x_PutRGB PSNR | goal      |      |       feh |     nsxiv | "
      "x_PutRGB/px | x_PutPixel/px\n");
  std::fflush(stdout);
  int status = 0;
  for (const Goal& goal : goals) {
    const std::string command = std::string(PICTRA_SOURCE_DIR "/tests/support/with-xvfb ") +
                                std::to_string(goal.depth) + " 1920x1080 '" + self + "' --here";
    if (std::system(command.c_str()) != 0) status = 1;
  }
  return status;
}
