// The decode pool's queue and workers.
#include "formats/pool.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "formats/colour.h"

namespace {

constexpr unsigned minimum_threads = 2;

// The cancel flag of the pool whose worker runs on this thread; none on other threads.
thread_local const std::atomic<bool>* worker_cancel = nullptr;

// Frames of the job's reader in the display's colours, as many as asked, up to the end of the
// animation.
void compose(DecodeResult& result) {
  AnimationReader& reader = *result.job.reader;
  if (result.job.rewind && !reader.rewind()) {
    result.ended = true;
    return;
  }
  while (result.frames.size() < result.job.frames && !decode_cancelled()) {
    AnimationFrame frame;
    if (!reader.next(frame)) {
      result.ended = true;
      return;
    }
    colour::to_display_colours(*frame.image);
    result.frames.push_back(std::move(frame));
  }
}

// The first frame of an animation with its reader, or nothing for a still image.
bool open_frames(DecodeResult& result) {
  auto reader = open_animation(result.job.path.c_str());
  AnimationFrame first;
  if (!reader || !reader->next(first)) return false;
  colour::to_display_colours(*first.image);
  result.image = std::move(first.image);
  result.duration_ms = first.duration_ms;
  result.job.reader = std::move(reader);
  return true;
}

// The image fitted into the wish's box, its description kept.
std::unique_ptr<Image> fit(std::unique_ptr<Image> image, Wish wish) {
  // What is fitted goes into the grid, over its black: the colours are composited already.
  image->alpha.clear();
  const Size fitted = fit_size(image->full_width, image->full_height, wish.width, wish.height);
  // Nothing to show of an image that fits to no pixels; the caller draws the box empty.
  if (fitted.width == 0 || fitted.height == 0) {
    image->width = image->height = 0;
    image->rgb.clear();
    return image;
  }
  return resample(*image, static_cast<std::uint32_t>(fitted.width),
                  static_cast<std::uint32_t>(fitted.height));
}

// The job's image: decoded, fitted into the wish's box when asked, and converted to the
// display's colours, after the fit, so that only the pixels shown are converted.
std::unique_ptr<Image> decode(const DecodeJob& job) {
  auto image = load_in_file_colours(job.path.c_str(), job.selector.c_str(), job.wish);
  if (image && job.fit) image = fit(std::move(image), job.wish);
  if (image) colour::to_display_colours(*image);
  return image;
}

}  // namespace

bool decode_cancelled() {
  return worker_cancel && worker_cancel->load(std::memory_order_relaxed);
}

unsigned DecodePool::default_threads() {
  return std::max(minimum_threads, std::thread::hardware_concurrency());
}

DecodePool::DecodePool(unsigned threads) {
  // Without the pipe the pool still works; the main thread then only sees results when it
  // looks for them.
  if (pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) wake_[0] = wake_[1] = -1;
  threads = std::max(threads, 1u);
  for (unsigned i = 0; i < threads; ++i)
    threads_.emplace_back([this] { work(); });
}

DecodePool::~DecodePool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    jobs_.clear();
  }
  cancel_ = true;
  queued_.notify_all();
  for (std::thread& thread : threads_)
    thread.join();
  for (int fd : wake_) {
    if (fd >= 0) close(fd);
  }
}

void DecodePool::submit(DecodeJob job) {
  {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  queued_.notify_one();
}

std::vector<std::uint64_t> DecodePool::drop_queued(int group) {
  std::lock_guard lock(mutex_);
  std::vector<std::uint64_t> dropped;
  std::erase_if(jobs_, [group, &dropped](const DecodeJob& job) {
    if (job.group != group) return false;
    dropped.push_back(job.tag);
    return true;
  });
  return dropped;
}

bool DecodePool::pending(std::uint64_t tag) {
  std::lock_guard lock(mutex_);
  return std::ranges::find(running_, tag) != running_.end() ||
         std::ranges::any_of(jobs_, [tag](const DecodeJob& job) { return job.tag == tag; });
}

std::optional<DecodeResult> DecodePool::take() {
  std::lock_guard lock(mutex_);
  if (results_.empty()) return std::nullopt;
  DecodeResult result = std::move(results_.front());
  results_.pop_front();
  if (results_.empty() && wake_[0] >= 0) {
    // Drained together with the queue, under the lock, so the pipe is readable exactly while
    // results wait.
    char bytes[64];
    while (read(wake_[0], bytes, sizeof bytes) > 0) {
    }
  }
  return result;
}

void DecodePool::set_handler(int group, Handler handler) {
  if (group >= 0 && group < decode_group_count) handlers_[group] = handler;
}

void DecodePool::dispatch() {
  while (auto result = take()) {
    const int group = result->job.group;
    if (group >= 0 && group < decode_group_count && handlers_[group])
      handlers_[group](std::move(*result));
  }
}

void DecodePool::work() {
  worker_cancel = &cancel_;
  std::unique_lock lock(mutex_);
  for (;;) {
    queued_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
    if (stopping_) return;
    // The most urgent job: highest priority, and among equals the one queued first.
    const auto next = std::ranges::max_element(
        jobs_, [](const DecodeJob& a, const DecodeJob& b) { return a.priority < b.priority; });
    DecodeResult result;
    result.job = std::move(*next);
    jobs_.erase(next);
    running_.push_back(result.job.tag);
    lock.unlock();
    if (result.job.reader) {
      compose(result);
    } else if (!result.job.animate || !open_frames(result)) {
      result.image = decode(result.job);
    }
    lock.lock();
    std::erase(running_, result.job.tag);
    if (stopping_) return;
    results_.push_back(std::move(result));
    if (wake_[1] >= 0) {
      const char byte = 0;
      // A full pipe is readable already.
      [[maybe_unused]] const ssize_t written = write(wake_[1], &byte, 1);
    }
  }
}
