// Scans directories of 1,000, 10,000 and 100,000 entries (images, other files, subdirectories)
// and prints the time per entry of scan_dir next to a plain opendir/readdir/stat loop over the
// same directory, the ratio of the two, and how the scan scales from one size to the next.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "filelist/filelist.h"
#include "formats/formats.h"

namespace {

constexpr int sizes[] = {1000, 10000, 100000};
constexpr int runs = 7;  // the best run counts

// Entry kinds in turn: of every 20 entries, 12 images, 5 other files and 3 subdirectories.
constexpr int kind_cycle = 20;
constexpr int images_per_cycle = 12;
constexpr int others_per_cycle = 5;
constexpr const char* image_extensions[] = {".jpg", ".png", ".gif", ".JPG", ".tif", ".bmp"};

using Clock = std::chrono::steady_clock;

void fill(const std::string& dir, int count) {
  for (int i = 0; i < count; ++i) {
    // Scrambled numbers, so that readdir does not hand the names over already sorted.
    const unsigned key = static_cast<unsigned>(i) * 2654435761u;
    char name[64];
    const int kind = i % kind_cycle;
    if (kind < images_per_cycle) {
      std::snprintf(name, sizeof name, "IMG_%08x%s", key, image_extensions[kind % 6]);
    } else if (kind < images_per_cycle + others_per_cycle) {
      std::snprintf(name, sizeof name, "notes_%08x.txt", key);
    } else {
      std::snprintf(name, sizeof name, "dir_%08x", key);
      if (mkdir((dir + "/" + name).c_str(), 0755) != 0) std::abort();
      continue;
    }
    const int fd = open((dir + "/" + name).c_str(), O_CREAT | O_WRONLY, 0644);
    if (fd < 0) std::abort();
    close(fd);
  }
}

// The least a scan has to do: read every entry and stat it.
long plain_loop() {
  long kept = 0;
  DIR* dir = opendir(".");
  if (dir == nullptr) std::abort();
  while (const dirent* entry = readdir(dir)) {
    struct stat info;
    if (stat(entry->d_name, &info) == 0 && (S_ISREG(info.st_mode) || S_ISDIR(info.st_mode))) {
      ++kept;
    }
  }
  closedir(dir);
  return kept;
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main() {
  init_formats();
  char base[] = "/tmp/pictra-bench-scan-XXXXXX";
  if (mkdtemp(base) == nullptr) return 1;
  std::printf("%8s %14s %14s %8s %14s %10s\n", "entries", "scan ns/entry", "loop ns/entry", "ratio",
              "clear ns/entry", "scaling");
  double previous_scan = 0;
  for (const int count : sizes) {
    const std::string dir = std::string(base) + "/" + std::to_string(count);
    if (mkdir(dir.c_str(), 0755) != 0) return 1;
    fill(dir, count);
    if (chdir(dir.c_str()) != 0) return 1;

    // The two take turns, so that a busy moment of the machine hits both alike. Each scan
    // starts from an empty list; releasing the list is timed on its own.
    volatile long sink = 0;
    double loop = 1e9;
    double scan = 1e9;
    double clear = 1e9;
    for (int run = 0; run < runs; ++run) {
      Clock::time_point start = Clock::now();
      sink = sink + plain_loop();
      loop = std::min(loop, seconds_since(start));
      start = Clock::now();
      scan_dir();
      scan = std::min(scan, seconds_since(start));
      start = Clock::now();
      clear_files(state.top);
      clear = std::min(clear, seconds_since(start));
    }
    const double per_entry = 1e9 / count;
    std::printf("%8d %14.1f %14.1f %8.2f %14.1f", count, scan * per_entry, loop * per_entry,
                scan / loop, clear * per_entry);
    if (previous_scan > 0) std::printf(" %9.1fx", scan / previous_scan);
    std::printf("\n");
    previous_scan = scan;
  }
  if (chdir("/") != 0) return 1;
  std::filesystem::remove_all(base);
  return 0;
}
