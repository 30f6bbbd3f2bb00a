// The decode pool on real files: every result matches a decode on the caller's thread, the
// wake descriptor is readable exactly while results wait, dropped work never arrives, and
// destroying a busy pool returns. Runs in the ThreadSanitizer build too.
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <map>
#include <set>
#include <string>

#include "formats/pool.h"
#include "support/bmp_file.h"
#include "support/tempdir.h"

namespace {

using pictra_test::RgbImage;

constexpr int file_count = 8;
constexpr int wait_ms = 20000;

std::string picture(int w, int h, int seed) {
  RgbImage image{w, h, {}};
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      image.pixels.push_back((x * seed + y * 7) & 0xffffff);
  return pictra_test::bmp24(image);
}

bool readable(int fd, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, timeout_ms) == 1;
}

// Takes results until count have arrived, waiting on the wake descriptor.
std::vector<DecodeResult> take(DecodePool& pool, std::size_t count) {
  std::vector<DecodeResult> results;
  while (results.size() < count) {
    if (auto result = pool.take()) {
      results.push_back(std::move(*result));
    } else if (!readable(pool.wake_fd(), wait_ms)) {
      break;
    }
  }
  return results;
}

class Pool : public ::testing::Test {
 protected:
  void SetUp() override {
    init_formats();
    for (int i = 0; i < file_count; ++i)
      paths_.push_back(dir_.write(std::to_string(i) + ".bmp", picture(300 + i, 200, i + 3)));
  }
  pictra_test::TempDir dir_;
  std::vector<std::string> paths_;
};

TEST_F(Pool, ResultsMatchDecodesOnTheCallersThread) {
  DecodePool pool(4);
  const Wish wishes[] = {{}, {100, 60}};
  std::uint64_t tag = 0;
  std::map<std::uint64_t, std::pair<std::string, Wish>> asked;
  for (int round = 0; round < 3; ++round)
    for (const std::string& path : paths_)
      for (Wish wish : wishes) {
        pool.submit({path, "", wish, ++tag, 0, round});
        asked[tag] = {path, wish};
      }
  pool.submit({dir_.write("bad.bmp", "BM no bitmap"), "", {}, ++tag, 0, 0});
  const auto results = take(pool, asked.size() + 1);
  ASSERT_EQ(results.size(), asked.size() + 1);
  for (const DecodeResult& result : results) {
    if (result.job.tag == tag) {
      EXPECT_EQ(result.image, nullptr) << "the damaged file";
      continue;
    }
    const auto& [path, wish] = asked.at(result.job.tag);
    const auto alone = load_image(path.c_str(), "", wish);
    ASSERT_TRUE(alone && result.image) << path;
    EXPECT_EQ(result.image->width, alone->width);
    EXPECT_EQ(result.image->rgb, alone->rgb) << path;
  }
  EXPECT_FALSE(readable(pool.wake_fd(), 0)) << "readable with no result waiting";
}

TEST_F(Pool, DroppedWorkNeverArrivesAndTheRestDoes) {
  DecodePool pool(1);
  constexpr int dropped_group = 1, kept_group = 2, per_group = 30;
  std::uint64_t tag = 0;
  for (int i = 0; i < per_group; ++i) {
    pool.submit({paths_[i % file_count], "", {}, ++tag, dropped_group, 0});
    pool.submit({paths_[i % file_count], "", {}, ++tag, kept_group, 0});
  }
  pool.drop_queued(dropped_group);
  // Whatever of the dropped group had been started by then still arrives; nothing else of it.
  std::set<std::uint64_t> pending_after_drop;
  for (std::uint64_t t = 1; t <= tag; t += 2)
    if (pool.pending(t)) pending_after_drop.insert(t);
  EXPECT_LE(pending_after_drop.size(), 1u) << "one worker runs at most one job";
  int kept = 0;
  for (;;) {
    auto result = pool.take();
    if (!result) {
      if (kept == per_group && !pool.pending(tag)) break;
      ASSERT_TRUE(readable(pool.wake_fd(), wait_ms));
      continue;
    }
    if (result->job.group == kept_group) ++kept;
  }
  EXPECT_EQ(kept, per_group);
}

TEST_F(Pool, HigherPriorityGoesFirstAndEqualsInOrder) {
  DecodePool pool(1);
  // A large first job keeps the worker busy while the rest are queued.
  const std::string large = dir_.write("large.bmp", picture(3000, 2000, 5));
  pool.submit({large, "", {}, 1, 0, 0});
  const int priorities[] = {1, 5, 3, 5, 2};  // tags 2 to 6
  for (std::uint64_t tag = 2; tag <= 6; ++tag)
    pool.submit({paths_[0], "", {}, tag, 0, priorities[tag - 2]});
  const auto results = take(pool, 6);
  ASSERT_EQ(results.size(), 6u);
  std::vector<std::uint64_t> order;
  for (const DecodeResult& result : results)
    if (result.job.tag >= 3) order.push_back(result.job.tag);
  EXPECT_EQ(order, (std::vector<std::uint64_t>{3, 5, 4, 6}));
}

TEST_F(Pool, DestroyingABusyPoolReturns) {
  const auto start = std::chrono::steady_clock::now();
  {
    DecodePool pool(2);
    for (int i = 0; i < 200; ++i)
      pool.submit({paths_[i % file_count], "", {}, std::uint64_t(i), 0, 0});
  }
  // Queued work is dropped, not decoded: far less than 200 decodes' time.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

}  // namespace
