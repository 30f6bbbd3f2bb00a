// The view against nsxiv, side by side in one run: five photo-like 6000 x 4000 JPEGs at quality
// 90, a 1820 x 980 window on a private 24-bit Xvfb, each program driven through XTest from the
// benchmark's own connection.
//
// A figure is the time from the input until the program and the server are both idle, read
// from the CPU accounting of /proc (schedstat of every thread, every millisecond; idle after
// 300 ms without change). pictra's workers go on decoding the neighbours once an image is
// drawn, so for pictra the main thread is watched: it does all the drawing, and its last CPU
// use is the drawing's end. The title pictra sets after every drawing is shown beside it as a
// cross-check. Each figure is the median of three runs; nsxiv is skipped when not installed.
//
//   launch   `pictra FILE` / `nsxiv -g 1820x980 FILES` to the first image drawn
//   turn     Right / > (a quarter turn)
//   next     Down / n pressed as soon as the image is drawn (pictra's prefetch just started)
//   ready    Down / n after the image was shown for half a second (the prefetch had time)
//   uncover  an Expose of the whole window (XClearArea from the benchmark's connection)
//   peak     VmHWM after all of the above
#include <X11/keysym.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/photo.h"
#include "support/xbench.h"

namespace {

using namespace std::chrono_literals;
using bench::Clock;

constexpr int screen_width = 1920;
constexpr int screen_height = 1080;
constexpr int screen_depth = 24;
constexpr int window_width = 1820;
constexpr int window_height = 980;
constexpr std::uint32_t photo_width = 6000;
constexpr std::uint32_t photo_height = 4000;
constexpr int photo_quality = 90;
constexpr int photo_count = 5;
constexpr int runs = 3;
constexpr auto look_time = 500ms;  // how long the user looks before the prefetched step
constexpr auto start_deadline = 30s;
constexpr auto exit_deadline = 5s;

struct Viewer {
  const char* name;
  KeySym turn, next, quit;
  bool threaded;  // watched by its main thread, its drawings marked by title changes
};
constexpr Viewer pictra{"pictra", XK_Right, XK_Down, XK_Escape, true};
constexpr Viewer nsxiv{"nsxiv", XK_greater, XK_n, XK_q, false};

using Figures = std::map<std::string, std::vector<double>>;

// What one program measured: each figure's value per run.
struct Results {
  Figures drawn;  // to the drawing's end: the title mark where there is one, else idle
  Figures idle;   // to the last CPU use of the watched threads and the server
};

struct Bench {
  bench::Xvfb& server;
  bench::Connection& connection;
  std::string home;
  std::vector<std::string> files;

  std::vector<std::string> argv(const Viewer& viewer) const {
    if (viewer.threaded) return {bench::pictra_binary(), files[0]};
    std::vector<std::string> args{
        "nsxiv", "-g", std::to_string(window_width) + "x" + std::to_string(window_height)};
    args.insert(args.end(), files.begin(), files.end());
    return args;
  }

  std::vector<bench::Watched> drawing(const Viewer& viewer, pid_t pid) const {
    return {{pid, viewer.threaded}, {server.pid(), false, true}};
  }

  // Waits until nothing runs any more, workers included.
  void settle(pid_t pid) {
    const std::vector<bench::Watched> watched{{pid, false}, {server.pid(), false, true}};
    bench::until_idle(Clock::now(), watched, bench::cpu_of(watched), &connection);
  }

  // Records the figure of what input() starts: to idle, and to the title mark of a threaded
  // viewer when the input brought one.
  template <typename Input>
  void timed(const Viewer& viewer, pid_t pid, const char* figure, Results& results, Input input) {
    const auto watched = drawing(viewer, pid);
    auto before = bench::cpu_of(watched);
    connection.pump();
    const int titles = connection.title_changes();
    const auto start = Clock::now();
    input();
    record(viewer, figure, results, start, titles,
           bench::until_idle(start, watched, std::move(before), &connection));
  }

  void record(const Viewer& viewer, const char* figure, Results& results, Clock::time_point start,
              int titles, double idle) {
    results.idle[figure].push_back(idle);
    const bool marked = viewer.threaded && connection.title_changes() != titles;
    results.drawn[figure].push_back(
        marked ? bench::seconds_between(start, connection.first_title_change_after(start)) : idle);
  }

  // Launch, turn, the step after a look, uncover and the peak, in one session.
  void session(const Viewer& viewer, Results& results) {
    // The launch: timed like an input, from the moment before the program starts.
    const std::vector<long long> before{0, bench::cpu_ns(server.pid())};
    const int titles = connection.title_changes();
    const auto start = Clock::now();
    const auto program = std::make_unique<bench::Program>(argv(viewer), home, "");
    const auto watched = drawing(viewer, program->pid());
    const Window window = connection.wait_window(start_deadline);
    if (!window) {
      std::printf("  %s: no window\n", viewer.name);
      return;
    }
    record(viewer, "launch", results, start, titles,
           bench::until_idle(start, watched, before, &connection));
    const pid_t pid = program->pid();
    settle(pid);
    timed(viewer, pid, "turn", results, [&] { connection.key(window, viewer.turn); });
    settle(pid);
    // The turn was drawn at least the quiet time ago; the rest of the look.
    std::this_thread::sleep_for(look_time);
    timed(viewer, pid, "ready", results, [&] { connection.key(window, viewer.next); });
    settle(pid);
    timed(viewer, pid, "uncover", results, [&] { connection.expose(window); });
    settle(pid);
    results.drawn["peak"].push_back(static_cast<double>(bench::status_kib(pid, "VmHWM")));
    connection.key(window, viewer.quit);
    if (!program->wait_exit(exit_deadline)) std::printf("  %s did not quit\n", viewer.name);
  }

  // The step taken the moment the first image is drawn.
  void quick_step(const Viewer& viewer, Results& results) {
    bench::Program program(argv(viewer), home, "");
    const Window window = connection.wait_window(start_deadline);
    if (!window) return;
    if (viewer.threaded) {
      connection.wait_title(std::filesystem::path(files[0]).filename(), start_deadline);
    } else {
      settle(program.pid());
    }
    timed(viewer, program.pid(), "next", results, [&] { connection.key(window, viewer.next); });
    settle(program.pid());
    connection.key(window, viewer.quit);
    program.wait_exit(exit_deadline);
  }
};
struct Goal {
  const char* figure;
  const char* what;
  double ratio;  // of nsxiv's figure; 0 for an absolute goal
  double ms;     // the absolute goal
};
constexpr Goal goals[] = {
    {"launch", "launch to drawn", 0.6, 0},  {"turn", "a quarter turn", 0.3, 0},
    {"next", "next image at once", 0.5, 0}, {"ready", "next image after 0.5 s", 0.2, 0},
    {"uncover", "uncover (Expose)", 0, 20}, {"peak", "peak RSS (VmHWM)", 0.3, 0},
};

double median_of(const Figures& figures, const char* figure) {
  const auto at = figures.find(figure);
  return at == figures.end() ? -1 : bench::median(at->second);
}

std::string verdict(const Goal& goal, double value, double nsxiv_value) {
  char text[64];
  if (goal.ratio == 0) {
    std::snprintf(text, sizeof text, "<= %.0f ms: %s", goal.ms,
                  value * 1e3 <= goal.ms ? "met" : "MISSED");
  } else if (nsxiv_value <= 0) {
    std::snprintf(text, sizeof text, "<= %.1fx nsxiv: no nsxiv", goal.ratio);
  } else {
    std::snprintf(text, sizeof text, "<= %.1fx nsxiv: %s", goal.ratio,
                  value / nsxiv_value <= goal.ratio ? "met" : "MISSED");
  }
  return text;
}

void report(const Results& ours, const Results& theirs) {
  std::printf("\n%-23s %10s %10s %10s %7s %7s  %s\n", "median of 3", "pictra", "(idle)", "nsxiv",
              "ratio", "(idle)", "goal, for the drawing");
  for (const Goal& goal : goals) {
    const bool memory = std::string(goal.figure) == "peak";
    const double scale = memory ? 1.0 / 1024 : 1e3;  // MiB, ms
    const double drawn = median_of(ours.drawn, goal.figure);
    const double idle = memory ? drawn : median_of(ours.idle, goal.figure);
    const double nsxiv_value = median_of(theirs.drawn, goal.figure);
    auto ratio = [&](double value) { return nsxiv_value > 0 ? value / nsxiv_value : -1; };
    std::printf("%-23s %10.1f %10.1f %10.1f %6.2fx %6.2fx  %s\n", goal.what, drawn * scale,
                idle * scale, nsxiv_value * scale, ratio(drawn), ratio(idle),
                verdict(goal, drawn, nsxiv_value).c_str());
  }
  std::printf(
      "(ms; the peak in MiB. pictra's figure ends at the title it sets after the drawing "
      "where the input brings one; \"idle\" ends at the last CPU use of its main thread "
      "and the server, which includes taking in the neighbours decoded ahead.)\n");
}

void print_runs(const char* name, const Figures& figures) {
  for (const auto& [figure, values] : figures) {
    std::printf("  %-12s %-8s", name, figure.c_str());
    for (double value : values)
      std::printf(" %8.1f", figure == "peak" ? value / 1024 : value * 1e3);
    std::printf("\n");
  }
}

}  // namespace

int main() {
  const std::string dir = bench::temp_dir("view");
  const std::string home = dir + "/home";
  const std::string photos = dir + "/photos";
  std::filesystem::create_directories(home);
  std::filesystem::create_directories(photos);
  bench::write_config(home, window_width, window_height);
  std::vector<std::string> files;
  for (int i = 0; i < photo_count; ++i) {
    files.push_back(photos + "/photo" + std::to_string(i) + ".jpg");
    bench::write_jpeg(files.back(), bench::photo(photo_width, photo_height, i), photo_quality);
  }
  const bool compare = std::system("command -v nsxiv >/dev/null 2>&1") == 0;
  std::printf("%d JPEGs of %ux%u at quality %d, a %dx%d window on a %d-bit Xvfb%s\n", photo_count,
              photo_width, photo_height, photo_quality, window_width, window_height, screen_depth,
              compare ? ", against nsxiv" : " (no nsxiv installed)");

  bench::Xvfb server(screen_depth, screen_width, screen_height);
  bench::Connection connection;
  Bench run{server, connection, home, files};
  Results ours, theirs;
  for (int i = 0; i < runs; ++i) {
    run.session(pictra, ours);
    run.quick_step(pictra, ours);
    if (compare) {
      run.session(nsxiv, theirs);
      run.quick_step(nsxiv, theirs);
    }
  }
  std::printf("runs (ms, the peak in MiB):\n");
  print_runs("pictra", ours.drawn);
  print_runs("pictra idle", ours.idle);
  print_runs("nsxiv", theirs.drawn);
  report(ours, theirs);
  std::filesystem::remove_all(dir);
  return 0;
}
