// Decoders on several threads at once: every format, good and damaged files, full size and
// reduced, must give exactly what a decode alone gives. Runs in the ThreadSanitizer build too.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "formats/formats.h"

namespace {

constexpr int thread_count = 4;
constexpr int rounds = 1;
// A window's wish (the seeds decode in full under it, the ones claiming a gigapixel through the
// reduced path, as in the fuzz harness) and a cell's.
constexpr Wish wishes[] = {{1024, 1024}, {40, 30}};

struct Job {
  std::string path;
  Wish wish;
};

// Null, or the image's size and raster: what a caller can see of a decode.
struct Result {
  bool loaded = false;
  std::uint32_t width = 0, height = 0, full_width = 0, full_height = 0, pages = 0;
  Raster rgb;
  bool operator==(const Result&) const = default;
};

Result decode(const Job& job) {
  const auto image = load_image(job.path.c_str(), "", job.wish);
  if (!image) return {};
  return {true,         image->width, image->height, image->full_width, image->full_height,
          image->pages, image->rgb};
}

// The hand-made seeds of the fuzz corpora: every format, in many layouts, some of them damaged,
// each named for what it holds. The fuzzer's finds (named by their hash) and the inputs kept for
// their slow claims are left to the replay tests; under ThreadSanitizer they took minutes.
bool is_seed(const std::filesystem::path& file) {
  return file.has_extension() && file.filename().string().rfind("timeout-", 0) != 0;
}

std::vector<Job> corpus_jobs() {
  std::vector<Job> jobs;
  const std::filesystem::path corpus = std::filesystem::path(PICTRA_SOURCE_DIR) / "fuzz/corpus";
  for (const auto& entry : std::filesystem::recursive_directory_iterator(corpus)) {
    if (!entry.is_regular_file() || !is_seed(entry.path())) continue;
    for (const Wish& wish : wishes)
      jobs.push_back({entry.path().string(), wish});
  }
  std::sort(jobs.begin(), jobs.end(), [](const Job& a, const Job& b) { return a.path < b.path; });
  return jobs;
}

TEST(DecodeThreads, ConcurrentDecodesEqualDecodesAlone) {
  init_formats();
  const std::vector<Job> jobs = corpus_jobs();
  ASSERT_GE(jobs.size(), 80u);
  std::vector<Result> alone;
  // Counted by corpus folder, where every seed of a format lies.
  std::map<std::string, int> loaded_per_folder;
  for (const Job& job : jobs) {
    alone.push_back(decode(job));
    const std::string folder = std::filesystem::path(job.path).parent_path().filename();
    loaded_per_folder[folder] += alone.back().loaded;
  }
  for (const auto& [folder, count] : loaded_per_folder) {
    // EXIF payloads are no images.
    if (folder != "exif") {
      EXPECT_GT(count, 0) << folder;
    }
  }

  // Each thread walks the list from its own starting point, so different files (and at times
  // the same file) are decoding at every moment.
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < thread_count; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < rounds; ++round) {
        for (std::size_t i = 0; i < jobs.size(); ++i) {
          const std::size_t k = (i + t * jobs.size() / thread_count) % jobs.size();
          if (!(decode(jobs[k]) == alone[k])) ++mismatches;
        }
      }
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
