// The decode pool: worker threads that decode files into images for the main thread.
//
// The queue is the only thing the threads share. The main thread submits jobs and takes
// finished results; workers take the most urgent queued job (highest priority, then the oldest),
// decode it with no lock held, and hand the image back. A result waiting makes wake_fd()
// readable, so the main thread's event wait can watch it beside the X connection. Queued jobs
// of a group can be dropped when their purpose is gone (a page no longer shown); a job already
// being decoded finishes and its result arrives all the same, tagged, for the caller to use or
// drop.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "formats/animation.h"
#include "formats/formats.h"
#include "formats/resample.h"

// What a job is for; each has its handler on the main thread.
enum DecodeGroup : int {
  group_page = 0,  // thumbnails of the page on show
  group_ahead,     // thumbnails of the next page, decoded while idle
  group_view,      // the view's image and its neighbours
  group_frames,    // frames of the animation the view plays
  decode_group_count
};

struct DecodeJob {
  std::string path;
  std::string selector;
  Wish wish;
  std::uint64_t tag = 0;  // the caller's, handed back with the result
  int group = 0;          // a DecodeGroup
  int priority = 0;       // higher first
  bool fit = false;       // resample the image to fit into the wish's box
  // A file that turns out to be an animation comes back with its reader in the result's job
  // and its first frame as the image.
  bool animate = false;
  // Composes up to frames frames with reader (which comes back in the result's job), from the
  // first frame again when rewind; path and wish are not used then.
  std::unique_ptr<AnimationReader> reader = nullptr;
  std::uint32_t frames = 0;
  bool rewind = false;
};

struct DecodeResult {
  DecodeJob job;
  std::unique_ptr<Image> image;  // null when the file yields no image
  // The first frame's duration, for an animation's first result; the frames composed, for a
  // reader's job, and whether the reader met the end of the animation.
  std::uint32_t duration_ms = 0;
  std::vector<AnimationFrame> frames;
  bool ended = false;
};

class DecodePool {
 public:
  // Starts threads workers (at least one).
  explicit DecodePool(unsigned threads);
  // Drops queued work, stops decoding in progress at its next row and joins the workers.
  ~DecodePool();
  DecodePool(const DecodePool&) = delete;
  DecodePool& operator=(const DecodePool&) = delete;

  void submit(DecodeJob job);
  // Drops the queued, not yet started jobs of group; answers their tags. Every other job of
  // the group still brings its result.
  std::vector<std::uint64_t> drop_queued(int group);
  // Whether a job with this tag is queued or being decoded.
  bool pending(std::uint64_t tag);
  // A finished result, if one waits; never blocks.
  std::optional<DecodeResult> take();
  // Readable while results wait.
  int wake_fd() const { return wake_[0]; }

  // Main thread only: every waiting result goes to the handler of its group (results of a
  // group without one are dropped). Each wait of the main thread dispatches when wake_fd is
  // readable, so results reach their owner whichever loop is waiting.
  using Handler = void (*)(DecodeResult&& result);
  void set_handler(int group, Handler handler);
  void dispatch();

  // One per core, and at least two.
  static unsigned default_threads();

 private:
  void work();

  std::mutex mutex_;
  std::condition_variable queued_;
  std::vector<DecodeJob> jobs_;  // queued
  std::vector<std::uint64_t> running_;
  std::deque<DecodeResult> results_;
  bool stopping_ = false;
  std::atomic<bool> cancel_{false};
  int wake_[2] = {-1, -1};
  std::vector<std::thread> threads_;
  Handler handlers_[decode_group_count] = {};
};

// Set while the decode pool that runs this thread is shutting down: decoders poll it between
// rows and give up, so that ending the program never waits for a long decode.
bool decode_cancelled();
