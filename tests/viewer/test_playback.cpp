// The playback on a clock of the test's own: real GIF readers and a real decode pool compose
// the frames; the test waits for each trip of the reader, then says what time it is.
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "formats/pool.h"
#include "support/gif_file.h"
#include "support/tempdir.h"
#include "viewer/playback.h"

namespace {

using namespace pictra_test;
using std::chrono::milliseconds;

constexpr int side = 4;
const Deadline start{};

// Frame k is all colour 0x10 * (k + 1) in red, so its colour tells its number.
int colour(int k) {
  return (0x10 * (k + 1)) << 16;
}

// A GIF of count uniform frames with these delays (hundredths of a second, the last repeated),
// loops < 0 for none; a frame too large to decode follows the first decodable ones when cut_at.
std::string frames_gif(int count, const std::vector<int>& delays_cs, int loops, int cut_at = -1) {
  std::string gif = screen(side, side, 0) + (loops >= 0 ? looping(loops) : "");
  for (int k = 0; k < count; ++k) {
    const int delay = delays_cs[std::min<std::size_t>(k, delays_cs.size() - 1)];
    if (k == cut_at) {
      // Interlaced and over the size an animation decodes: the reader stops here.
      gif += control(1, delay) + descriptor(0, 0, 5000, 5000, 0xC0, colour_table({0, 0})) +
             byte(3) + sub_blocks("x");
      continue;
    }
    gif += control(1, delay) + placed(0, 0, side, side, 0x80, std::vector<int>(side * side, 0),
                                      colour_table({colour(k), 0}));
  }
  return gif + ";";
}

class PlaybackTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { init_formats(); }

  // Opens the animation as the view does: an animate job, whose result starts the playback.
  void open(const std::string& bytes, std::size_t budget = frame_budget_bytes) {
    DecodeJob job;
    job.path = dir_.write("a.gif", bytes);
    job.animate = true;
    pool_.submit(std::move(job));
    auto result = wait();
    ASSERT_TRUE(result && result->job.reader);
    playback_ = std::make_unique<Playback>(std::move(*result), start, budget);
  }

  std::optional<DecodeResult> wait() {
    pollfd p{pool_.wake_fd(), POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 20000), 1);
    return pool_.take();
  }

  // Sends the reader off when frames are wanted and takes its frames back.
  void compose(Deadline now) {
    playback_->ask(pool_, ++tag_);
    // Sent off: still on its way, or back already.
    pollfd p{pool_.wake_fd(), POLLIN, 0};
    if (!pool_.pending(tag_) && poll(&p, 1, 0) != 1) return;
    auto result = wait();
    ASSERT_TRUE(result);
    EXPECT_TRUE(playback_->take(std::move(*result), now));
  }

  // The frame shown at each of the times, composing as the view would between them.
  std::vector<int> at(const std::vector<int>& times_ms) {
    std::vector<int> shown;
    for (int ms : times_ms) {
      const Deadline now = start + milliseconds(ms);
      compose(now);
      playback_->tick(now);
      compose(now);
      shown.push_back(get_pixel(playback_->image(), 0, 0) == colour(playback_->frame())
                          ? static_cast<int>(playback_->frame())
                          : -1);
    }
    return shown;
  }

  TempDir dir_;
  DecodePool pool_{2};
  std::uint64_t tag_ = 0;
  std::unique_ptr<Playback> playback_;
};

// Without a loop count it plays once and stays on its last frame. A late tick keeps the
// schedule; one past the limit starts the frame's time anew. (The delays themselves, pausing
// and stepping are seen end to end.)
TEST_F(PlaybackTest, ScheduleAndEnd) {
  open(frames_gif(3, {20, 40, 60}, -1));
  EXPECT_EQ(at({200, 599, 600, 5000}), (std::vector<int>{1, 1, 2, 2}));
  EXPECT_EQ(playback_->due(), no_deadline);
  open(frames_gif(3, {10}, 0));
  EXPECT_EQ(at({130, 200, 229, 600, 699, 700}), (std::vector<int>{1, 2, 2, 0, 0, 1}));
}

// Frames past the budget are let go once shown and composed again at the next loop; a file
// whose third frame does not decode plays its first two, once.
TEST_F(PlaybackTest, LongAnimationsAreComposedAgainAndDamagedOnesStop) {
  const std::size_t frame_bytes = std::size_t{side} * side * 3;
  open(frames_gif(10, {10}, 0), 3 * frame_bytes);
  std::vector<int> times, expected;
  for (int i = 0; i < 25; ++i) {
    times.push_back(i * 100);
    expected.push_back(i % 10);
  }
  EXPECT_EQ(at(times), expected);
  open(frames_gif(5, {10}, 0, 2));
  EXPECT_EQ(at({100, 200, 300, 1000}), (std::vector<int>{1, 1, 1, 1}));
  EXPECT_EQ(playback_->frame_count(), 2u);
}

}  // namespace
