// The thumbnail grid's pass on the decode pool, in process, with the real grid code drawing
// into a 1820 x 980 window on a private 24-bit Xvfb: copies of a photo-like 4000 x 3000 JPEG
// at quality 90 (distinct files, so distinct cache keys).
//
//   cold page   the first page (29 thumbnails after "/..") with an empty thumbnail cache and
//               a pool of 1, 2 and 4 workers, against the single-core floor: `djpeg -scale 1/8`
//               of the same files one after another (and, without the processes' start-up,
//               the same decode in process)
//   back        the page drawn again after a visit to a subfolder: a rescan, every thumbnail
//               from the cache
//   ahead       the next page, after it was decoded ahead while the grid was idle
//   key         a key pressed (XTest, from a thread's own connection) 100 ms into a cold pass,
//               until the pass has given way to it
//   browsing    2,000 thumbnails (copies of a 640 x 480 JPEG) page by page with Page Down,
//               each page complete before the next key: this process's RSS against the cache's
//               bound plus 50 MB
// Each time runs from the call to the grid until the server has drawn it all (XSync); median
// of three.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "browser/browser.h"
#include "filelist/filelist.h"
#include "formats/formats.h"
#include "formats/pool.h"
#include "main/state.h"
#include "support/photo.h"
#include "support/xbench.h"
#include "xsupport/xsupport.h"

namespace {

using bench::Clock;

constexpr int screen_depth = 24;
constexpr int window_width = 1820;
constexpr int window_height = 980;
constexpr std::uint32_t photo_width = 4000;
constexpr std::uint32_t photo_height = 3000;
constexpr int photo_quality = 90;
constexpr int first_page_files = 29;  // after "/.."
constexpr int second_page_files = 30;
constexpr unsigned char default_level = 2;
constexpr unsigned pool_sizes[] = {1, 2, 4};
constexpr int runs = 3;
constexpr double floor_goal = 0.6;
constexpr double back_goal_ms = 100;
constexpr double ahead_goal_ms = 50;
constexpr double key_goal_ms = 50;
constexpr auto key_delay = std::chrono::milliseconds(100);
constexpr int browse_files = 2000;
constexpr std::uint32_t browse_width = 640;
constexpr std::uint32_t browse_height = 480;
constexpr std::size_t rss_margin_kib = 50 * 1024;
// Results stop coming this long after the last: the work decoded ahead is done.
constexpr int ahead_quiet_ms = 1000;

double timed_redraw() {
  const auto start = Clock::now();
  redraw_grid(1, "");
  XSync(state.display, False);
  return bench::seconds_between(start, Clock::now());
}

// Forgets every event (the exposure of the mapping and the like), so none cuts a pass short.
void discard_events() {
  XSync(state.display, True);
}

// Takes in results until none has come for the quiet time.
void drain_pool() {
  for (;;) {
    pollfd fd{state.pool->wake_fd(), POLLIN, 0};
    if (poll(&fd, 1, ahead_quiet_ms) <= 0) return;
    state.pool->dispatch();
  }
}

void rescan(const std::string& dir) {
  if (chdir(dir.c_str()) != 0) std::abort();
  state.selected = 0;
  scan_dir();
}

// Presses a key into the window from a connection of the thread's own, key_delay after the
// call, while the main thread runs a cold pass; answers the ms from the key until the pass
// returned to the browser with the key waiting.
double key_during_pass() {
  clear_thumb_cache();
  discard_events();
  Clock::time_point pressed;
  const Window window = state.window;
  std::thread presser([&] {
    Display* display = XOpenDisplay(nullptr);
    if (!display) std::abort();
    const KeyCode code = XKeysymToKeycode(display, XK_Down);
    std::this_thread::sleep_for(key_delay);
    XSetInputFocus(display, window, RevertToPointerRoot, CurrentTime);
    pressed = Clock::now();
    XTestFakeKeyEvent(display, code, True, CurrentTime);
    XTestFakeKeyEvent(display, code, False, CurrentTime);
    XSync(display, False);
    XCloseDisplay(display);
  });
  redraw_grid(1, "");
  const auto answered = Clock::now();
  presser.join();
  const bool cut_short = state.interrupted != 0;
  drain_pool();
  discard_events();
  return cut_short ? bench::seconds_between(pressed, answered) * 1e3 : -1;
}

// Browses a directory of browse_files thumbnails page by page; prints the RSS curve.
void browse_pages(const std::string& dir) {
  const std::string browse = dir + "/browse";
  std::filesystem::create_directories(browse);
  const std::string original = browse + "/original.src";
  bench::write_jpeg(original, bench::photo(browse_width, browse_height, 3), photo_quality);
  for (int i = 0; i < browse_files; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/b%04d.jpg", i);
    std::filesystem::copy_file(original, browse + name);
  }
  std::filesystem::remove(original);
  DecodePool pool(DecodePool::default_threads());
  state.pool = &pool;
  start_thumbnails();
  clear_thumb_cache();
  rescan(browse);
  std::vector<double> rss;
  const long start_kib = bench::status_kib(getpid(), "VmRSS");
  const auto start = Clock::now();
  for (int page = 0; page * static_cast<int>(grid[default_level].cells) <= browse_files; ++page) {
    discard_events();
    redraw_grid(1, "");
    XSync(state.display, False);
    state.pool->dispatch();
    rss.push_back(static_cast<double>(bench::status_kib(getpid(), "VmRSS")));
    handle_key(XK_Next, state.container);
  }
  const double seconds = bench::seconds_between(start, Clock::now());
  drain_pool();
  const double peak = *std::max_element(rss.begin(), rss.end());
  const double limit = static_cast<double>(thumb_cache_bytes / 1024 + rss_margin_kib);
  std::printf(
      "%d thumbnails page by page (%zu pages, %.1f s), RSS in MiB: before %.0f, after "
      "page 1 %.0f, 10 %.0f, 20 %.0f, 40 %.0f, last %.0f, peak %.0f; cache %.0f MiB; "
      "bound + 50 MiB = %.0f: %s\n",
      browse_files, rss.size(), seconds, start_kib / 1024.0, rss[0] / 1024,
      rss[std::min<std::size_t>(9, rss.size() - 1)] / 1024,
      rss[std::min<std::size_t>(19, rss.size() - 1)] / 1024,
      rss[std::min<std::size_t>(39, rss.size() - 1)] / 1024, rss.back() / 1024, peak / 1024,
      thumb_cache_used() / 1048576.0, limit / 1024, peak <= limit ? "met" : "MISSED");
  clear_thumb_cache();
  state.pool = nullptr;
}

double shell_seconds(const std::string& command) {
  const auto start = Clock::now();
  if (std::system(command.c_str()) != 0) return -1;
  return bench::seconds_between(start, Clock::now());
}

double in_process_floor(const std::vector<std::string>& files) {
  const auto start = Clock::now();
  for (const std::string& file : files) {
    // Scale 1/8: the smallest the library decodes, what the cell needs.
    if (!load_image(file.c_str(), "", {photo_width / 8, photo_height / 8})) std::abort();
  }
  return bench::seconds_between(start, Clock::now());
}

}  // namespace

int main() {
  const std::string dir = bench::temp_dir("grid");
  const std::string sub = dir + "/sub";
  std::filesystem::create_directories(sub);
  const std::string original = dir + "/original.jpg.src";
  bench::write_jpeg(original, bench::photo(photo_width, photo_height, 1), photo_quality);
  std::vector<std::string> first_page;
  for (int i = 0; i < first_page_files + second_page_files; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/p%03d.jpg", i);
    std::filesystem::copy_file(original, dir + name);
    if (i < first_page_files) first_page.push_back(dir + name);
  }
  std::filesystem::remove(original);
  bench::write_jpeg(sub + "/small.jpg", bench::photo(64, 48, 2), photo_quality);

  std::string djpeg = "for f in";
  for (const std::string& file : first_page)
    djpeg += " '" + file + "'";
  djpeg += "; do djpeg -scale 1/8 \"$f\" >/dev/null || exit 1; done";
  const bool have_djpeg = std::system("command -v djpeg >/dev/null 2>&1") == 0;

  bench::Xvfb server(screen_depth, 1920, 1080);
  init_formats();
  x_Init(nullptr);
  state.config = {0, 0, window_width, window_height};
  x_OpenWindow();
  state.thumbsize = default_level;
  layout_grid();

  std::vector<double> floor, floor_in_process;
  for (int run = 0; run < runs; ++run) {
    if (have_djpeg) floor.push_back(shell_seconds(djpeg));
    floor_in_process.push_back(in_process_floor(first_page));
  }
  const double floor_s = have_djpeg ? bench::median(floor) : bench::median(floor_in_process);
  std::printf("%d JPEGs of %ux%u at quality %d on the first page, %ux%u cells\n", first_page_files,
              photo_width, photo_height, photo_quality, state.cell_width, state.thumb_height);
  std::printf(
      "  floor: djpeg -scale 1/8 one after another %.0f ms%s; the same decode in "
      "process %.0f ms\n",
      bench::median(floor) * 1e3, have_djpeg ? "" : " (no djpeg)",
      bench::median(floor_in_process) * 1e3);

  for (const unsigned threads : pool_sizes) {
    DecodePool pool(threads);
    state.pool = &pool;
    start_thumbnails();
    std::vector<double> cold, back, ahead, key;
    for (int run = 0; run < runs; ++run) {
      clear_thumb_cache();
      rescan(dir);
      discard_events();
      cold.push_back(timed_redraw());
      drain_pool();  // the ahead page, decoded once the page is complete
      rescan(sub);
      timed_redraw();
      rescan(dir);
      discard_events();
      back.push_back(timed_redraw());
      drain_pool();
      handle_key(XK_Next, state.container);
      discard_events();
      ahead.push_back(timed_redraw());
      drain_pool();
      rescan(dir);
      key.push_back(key_during_pass());
    }
    const double cold_s = bench::median(cold);
    const double back_ms = bench::median(back) * 1e3;
    const double ahead_ms = bench::median(ahead) * 1e3;
    std::printf(
        "  %u worker%s: cold page %4.0f ms = %.2fx the floor (goal <= %.1fx on 2 cores: %s); "
        "back %.1f ms (<= %.0f: %s); ahead %.1f ms (<= %.0f: %s)\n",
        threads, threads == 1 ? " " : "s", cold_s * 1e3, cold_s / floor_s, floor_goal,
        cold_s / floor_s <= floor_goal ? "met" : "MISSED", back_ms, back_goal_ms,
        back_ms <= back_goal_ms ? "met" : "MISSED", ahead_ms, ahead_goal_ms,
        ahead_ms <= ahead_goal_ms ? "met" : "MISSED");
    const double key_ms = bench::median(key);
    std::printf(
        "             %.2fx the in-process floor; key during a cold pass answered in "
        "%.1f ms (<= %.0f: %s)\n",
        cold_s / bench::median(floor_in_process), key_ms, key_goal_ms,
        key_ms >= 0 && key_ms <= key_goal_ms ? "met" : "MISSED");
    clear_thumb_cache();
    state.pool = nullptr;
  }
  std::printf("  (this machine: %u cores)\n", std::thread::hardware_concurrency());
  browse_pages(dir);
  clear_files(state.top);
  std::filesystem::remove_all(dir);
  return 0;
}
