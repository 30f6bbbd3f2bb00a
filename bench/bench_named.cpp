// Lists of named files at scale, on a private 24-bit Xvfb:
//
//   stdin   `pictra -i` reading 100,000 names (a tree of 1,000 directories of 100 files) to the
//           first image drawn, against the scan of a folder of 100,000 images (scan_dir in this
//           process; `pictra FILE` in that folder, scan and first image, beside it)
//   walk    `pictra -r TREE` on the same tree to the first image drawn, against
//           `find TREE -type f` (its output discarded)
//   grid    the grid of a list of 10,000 files (copies of a 4000 x 3000 JPEG at quality 90 on
//           the first two pages), in process: the first page with an empty cache against the
//           single-core floor (the same decodes one after another), and the page decoded
//           ahead; the folder holding the same files beside it
//
// The program's figures run from its start to the title it sets after drawing the first image.
// The tree is walked once before the runs, so that every run finds it in the caches. Median of
// three runs.
#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
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

using namespace std::chrono_literals;
using bench::Clock;

constexpr int screen_depth = 24;
constexpr int window_width = 1820;
constexpr int window_height = 980;
constexpr int runs = 3;
constexpr int tree_directories = 1000;
constexpr int files_per_directory = 100;
constexpr int folder_files = tree_directories * files_per_directory;
constexpr int list_files = 10000;
constexpr int photo_files = 60;  // the first two pages of the grid
constexpr std::uint32_t photo_width = 4000;
constexpr std::uint32_t photo_height = 3000;
constexpr int photo_quality = 90;
constexpr unsigned char grid_level = 2;
constexpr double stdin_goal = 1.5;  // of the scan
constexpr double walk_goal = 2.0;   // of find
constexpr double floor_goal = 1.0;  // of the single-core floor: at the floor
constexpr double ahead_goal_ms = 50;
constexpr int ahead_quiet_ms = 1000;
constexpr auto start_deadline = 60s;
constexpr auto exit_deadline = 10s;

void touch(const std::string& path) {
  const int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0644);
  if (fd < 0) std::abort();
  close(fd);
}

// name%0*d, as a string.
std::string numbered(const char* prefix, int number, int width, const char* suffix) {
  char text[64];
  std::snprintf(text, sizeof text, "%s%0*d%s", prefix, width, number, suffix);
  return text;
}

// The tree's files, in the order the walk lists them; the first two are small real images.
std::vector<std::string> make_tree(const std::string& base, const std::string& small) {
  std::vector<std::string> names;
  for (int d = 0; d < tree_directories; ++d) {
    const std::string dir = numbered("tree/d", d, 4, "");
    std::filesystem::create_directories(base + "/" + dir);
    for (int f = 0; f < files_per_directory; ++f) {
      names.push_back(dir + numbered("/f", f, 3, ".jpg"));
      if (names.size() <= 2) {
        std::filesystem::copy_file(small, base + "/" + names.back());
      } else {
        touch(base + "/" + names.back());
      }
    }
  }
  return names;
}

void make_folder(const std::string& folder, const std::string& small) {
  std::filesystem::create_directories(folder);
  for (int i = 0; i < folder_files; ++i) {
    const std::string name = folder + numbered("/IMG_", i, 6, ".jpg");
    if (i < 2) {
      std::filesystem::copy_file(small, name);
    } else {
      touch(name);
    }
  }
}

double seconds_since(Clock::time_point start) {
  return bench::seconds_between(start, Clock::now());
}

// Seconds from the start of the program to the title naming the first image; -1 when it does
// not come.
double to_first_image(bench::Connection& connection, const std::vector<std::string>& argv,
                      const std::string& cwd, const std::string& input, const std::string& title) {
  const auto start = Clock::now();
  bench::Program program(argv, "", cwd, input);
  const Window window = connection.wait_window(start_deadline);
  double seconds = -1;
  if (window && connection.wait_title(title, start_deadline)) seconds = seconds_since(start);
  if (window) connection.key(window, XK_q);
  if (!program.wait_exit(exit_deadline)) std::printf("  %s did not quit\n", argv[0].c_str());
  return seconds;
}

double run_find(const std::string& cwd) {
  const auto start = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(126);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    execlp("find", "find", "tree", "-type", "f", static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds_since(start) : -1;
}

const char* verdict(bool met) {
  return met ? "met" : "MISSED";
}

// --- the grid, in process ----------------------------------------------------------------

double timed_redraw() {
  const auto start = Clock::now();
  redraw_grid(1, "");
  XSync(state.display, False);
  return seconds_since(start);
}

void discard_events() {
  XSync(state.display, True);
}

void drain_pool() {
  for (;;) {
    pollfd fd{state.pool->wake_fd(), POLLIN, 0};
    if (poll(&fd, 1, ahead_quiet_ms) <= 0) return;
    state.pool->dispatch();
  }
}

struct PageTimes {
  std::vector<double> cold;
  std::vector<double> ahead;
};

// The first page cold and the second after it was decoded ahead, for the list that fill makes.
template <typename Fill>
void page_times(Fill fill, PageTimes& times) {
  clear_thumb_cache();
  fill();
  discard_events();
  times.cold.push_back(timed_redraw());
  drain_pool();
  handle_key(XK_Next, state.container);
  discard_events();
  times.ahead.push_back(timed_redraw());
  drain_pool();
}

void grid_figures(const std::string& base) {
  const std::string grid_dir = base + "/grid";
  std::filesystem::create_directories(grid_dir);
  const std::string original = grid_dir + "/p000.jpg";
  bench::write_jpeg(original, bench::photo(photo_width, photo_height, 1), photo_quality);
  std::vector<std::string> names{"grid/p000.jpg"};
  for (int i = 1; i < photo_files; ++i) {
    names.push_back(numbered("grid/p", i, 3, ".jpg"));
    std::filesystem::copy_file(original, base + "/" + names.back());
  }
  const std::string small = base + "/small.jpg";
  for (int i = photo_files; i < list_files; ++i) {
    names.push_back(numbered("grid/q", i, 5, ".jpg"));
    std::filesystem::create_hard_link(small, base + "/" + names.back());
  }

  x_Init(nullptr);
  state.config = {0, 0, window_width, window_height};
  x_OpenWindow();
  state.thumbsize = grid_level;
  layout_grid();
  const std::uint32_t cells = grid[grid_level].cells;
  std::vector<double> floor;
  for (int run = 0; run < runs; ++run) {
    const auto start = Clock::now();
    for (std::uint32_t i = 0; i < cells; ++i) {
      const std::string path = base + "/" + names[i];
      if (!load_image(path.c_str(), "", {photo_width / 8, photo_height / 8})) std::abort();
    }
    floor.push_back(seconds_since(start));
  }
  // The folder's first page has "/.." in its first cell: one decode less.
  const double list_floor = bench::median(floor);
  const double folder_floor = list_floor * (cells - 1) / cells;

  DecodePool pool(DecodePool::default_threads());
  state.pool = &pool;
  start_thumbnails();
  if (chdir(base.c_str()) != 0) std::abort();
  const auto build_start = Clock::now();
  state.top = list_named(names, NamedList{});
  const double build = seconds_since(build_start);
  clear_files(state.top);
  // The two take turns, so that a busy moment of the machine hits both alike.
  PageTimes list_times, folder_times;
  for (int run = 0; run < runs; ++run) {
    page_times(
        [&] {
          state.named_list = true;
          if (chdir(base.c_str()) != 0) std::abort();
          clear_files(state.top);
          state.top = list_named(names, NamedList{});
          state.selected = 0;
        },
        list_times);
    page_times(
        [&] {
          state.named_list = false;
          if (chdir(grid_dir.c_str()) != 0) std::abort();
          scan_dir();
        },
        folder_times);
  }
  const double list_cold = bench::median(list_times.cold),
               list_ahead = bench::median(list_times.ahead);
  const double folder_cold = bench::median(folder_times.cold);
  const double folder_ahead = bench::median(folder_times.ahead);
  std::printf(
      "grid of a %d-file list (%u cells; list built in %.0f ms), floor %.0f ms for %u decodes:\n"
      "  list:   first page %4.0f ms = %.2fx the floor (goal <= %.1fx: %s); ahead page %.1f ms "
      "(<= %.0f: %s)\n"
      "  folder: first page %4.0f ms = %.2fx the floor; ahead page %.1f ms; the list's first "
      "page is %.2fx the folder's\n",
      list_files, cells, build * 1e3, list_floor * 1e3, cells, list_cold * 1e3,
      list_cold / list_floor, floor_goal, verdict(list_cold / list_floor <= floor_goal),
      list_ahead * 1e3, ahead_goal_ms, verdict(list_ahead * 1e3 <= ahead_goal_ms),
      folder_cold * 1e3, folder_cold / folder_floor, folder_ahead * 1e3,
      (list_cold / list_floor) / (folder_cold / folder_floor));
  clear_files(state.top);
  clear_thumb_cache();
  state.pool = nullptr;
}

}  // namespace

int main() {
  init_formats();
  const std::string base = bench::temp_dir("named");
  const std::string small = base + "/small.jpg";
  bench::write_jpeg(small, bench::photo(640, 480, 2), photo_quality);
  const std::vector<std::string> names = make_tree(base, small);
  const std::string folder = base + "/folder";
  make_folder(folder, small);
  const std::string names_file = base + "/names";
  {
    std::ofstream out(names_file);
    for (const std::string& name : names)
      out << name << '\n';
  }
  run_find(base);  // into the caches

  bench::Xvfb server(screen_depth, 1920, 1080);
  bench::Connection connection;
  const std::string pictra = bench::pictra_binary();
  std::vector<double> scan, folder_view, from_stdin, find, walk, walk_in_process, start_up;
  for (int run = 0; run < runs; ++run) {
    if (chdir(base.c_str()) != 0) return 1;
    auto walk_start = Clock::now();
    NamedList walk_request;
    walk_request.recursive = true;
    FileNode* walked = list_named({"tree"}, walk_request);
    walk_in_process.push_back(seconds_since(walk_start));
    clear_files(walked);
    start_up.push_back(to_first_image(connection, {pictra, names[0]}, base, "", "f000.jpg ("));
    if (chdir(folder.c_str()) != 0) return 1;
    auto start = Clock::now();
    scan_dir();
    scan.push_back(seconds_since(start));
    clear_files(state.top);
    folder_view.push_back(
        to_first_image(connection, {pictra, "IMG_000000.jpg"}, folder, "", "IMG_000000.jpg ("));
    from_stdin.push_back(
        to_first_image(connection, {pictra, "-i"}, base, names_file, names[0] + " ("));
    find.push_back(run_find(base));
    walk.push_back(to_first_image(connection, {pictra, "-r", "tree"}, base, "", names[0] + " ("));
  }
  const double scan_s = bench::median(scan), stdin_s = bench::median(from_stdin);
  const double find_s = bench::median(find), walk_s = bench::median(walk);
  std::printf("%d names on standard input (%d directories of %d):\n", folder_files,
              tree_directories, files_per_directory);
  std::printf(
      "  pictra -i to the first image %.0f ms; scan_dir of a %d-image folder %.0f ms: %.2fx "
      "(goal <= %.1fx: %s)\n"
      "  (pictra FILE in that folder, its scan and the first image: %.0f ms; -i is %.2fx that)\n",
      stdin_s * 1e3, folder_files, scan_s * 1e3, stdin_s / scan_s, stdin_goal,
      verdict(stdin_s > 0 && stdin_s / scan_s <= stdin_goal), bench::median(folder_view) * 1e3,
      stdin_s / bench::median(folder_view));
  std::printf(
      "  pictra -r TREE to the first image %.0f ms; find TREE -type f %.0f ms: %.2fx (goal <= "
      "%.1fx: %s)\n",
      walk_s * 1e3, find_s * 1e3, walk_s / find_s, walk_goal,
      verdict(walk_s > 0 && walk_s / find_s <= walk_goal));
  std::printf(
      "  (the walk alone, in process: %.0f ms; pictra FILE in one of the 100-file directories, "
      "the start-up and the first image: %.0f ms)\n",
      bench::median(walk_in_process) * 1e3, bench::median(start_up) * 1e3);
  grid_figures(base);
  if (chdir("/") != 0) return 1;
  std::filesystem::remove_all(base);
  return 0;
}
