// The playback of an animation: the frame clock, the frames kept, and the reader's trips to the
// decode pool.
#include "viewer/playback.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "viewer/draw.h"

namespace {

// Frames composed by one trip of the reader when every frame is kept, and the frames held at
// most otherwise: enough to ride out a slow frame, few enough to keep memory flat.
constexpr std::uint32_t batch_frames = 8;
constexpr std::uint32_t max_window = 16;
constexpr std::uint32_t min_window = 2;
// A frame shown late keeps the schedule, so a busy machine's late wake-ups add up to no drift;
// one later than this (it was still being composed, the machine stalled) starts its own time
// when it is shown, so that the frames after it are not hurried through to catch up.
constexpr auto late_limit = std::chrono::milliseconds(250);
// The pool's priority for frames: after the shown image, before the neighbours.
constexpr int frames_priority = 8;

Deadline::duration milliseconds(std::uint32_t ms) {
  return std::chrono::duration_cast<Deadline::duration>(std::chrono::milliseconds(ms));
}

}  // namespace

Playback::Playback(DecodeResult&& first, Deadline now, std::size_t budget)
    : reader_(std::move(first.job.reader)), shown_at_(now) {
  count_ = std::max<std::uint32_t>(reader_->frame_count(), 1);
  loops_ = reader_->loop_count();
  images_.resize(count_);
  durations_.resize(count_);
  images_[0] = std::move(first.image);
  durations_[0] = first.duration_ms;
  const std::size_t frame_bytes = std::max<std::size_t>(images_[0]->rgb.size(), 1);
  keep_all_ = count_ <= budget / frame_bytes;
  window_ = static_cast<std::uint32_t>(
      std::clamp<std::size_t>(budget / frame_bytes, min_window, max_window));
  composed_all_ = count_ == 1;
}

bool Playback::wraps() const {
  return !damaged_ && (loops_ == 0 || plays_ + 1 < loops_);
}

bool Playback::at_end() const {
  return shown_ + 1 == count_ && !wraps();
}

Deadline Playback::due() const {
  if (paused_ || at_end() || !images_[after(shown_)]) return no_deadline;
  return shown_at_ + milliseconds(durations_[shown_]);
}

bool Playback::show(std::uint32_t frame, Deadline at) {
  if (!keep_all_) {
    // The drawing must not take a later frame at the same address for this one.
    image_going(images_[shown_].get());
    images_[shown_].reset();
  }
  shown_ = frame;
  shown_at_ = at;
  return true;
}

bool Playback::tick(Deadline now) {
  if (paused_ || at_end()) return false;
  const Deadline at = shown_at_ + milliseconds(durations_[shown_]);
  const std::uint32_t next = after(shown_);
  if (now < at || !images_[next]) return false;
  if (next == 0) ++plays_;
  return show(next, now - at > late_limit ? now : at);
}

void Playback::restart_clock(Deadline now) {
  shown_at_ = now;
  elapsed_ = {};
}

void Playback::toggle_pause(Deadline now) {
  if (paused_) {
    shown_at_ = now - elapsed_;
  } else {
    elapsed_ =
        std::clamp<Deadline::duration>(now - shown_at_, {}, milliseconds(durations_[shown_]));
  }
  paused_ = !paused_;
}

bool Playback::step(Deadline now) {
  paused_ = true;
  elapsed_ = {};
  const std::uint32_t next = after(shown_);
  if (pending_steps_ > 0 || !images_[next]) {
    ++pending_steps_;
    return false;
  }
  return show(next, now);
}

std::uint32_t Playback::held_ahead() const {
  std::uint32_t held = 0;
  for (std::uint32_t i = 0; i < count_; ++i)
    held += i != shown_ && images_[i] != nullptr;
  return held;
}

std::uint32_t Playback::wanted() const {
  const std::uint32_t from = rewind_ ? 0 : next_composed_;
  if (from >= count_) return 0;
  if (keep_all_) return std::min(batch_frames, count_ - from);
  // Going back to the first frame only when the animation will show it again.
  if (from == 0 && !wraps() && !paused_) return 0;
  const std::uint32_t held = held_ahead();
  if (held + 1 >= window_) return 0;
  return std::min(window_ - 1 - held, count_ - from);
}

void Playback::ask(DecodePool& pool, std::uint64_t tag) {
  if (!reader_ || composed_all_) return;
  const std::uint32_t frames = wanted();
  if (frames == 0) return;
  DecodeJob job;
  job.tag = tag;
  job.group = group_frames;
  job.priority = frames_priority;
  job.reader = std::move(reader_);
  job.frames = frames;
  job.rewind = rewind_;
  if (rewind_) next_composed_ = 0;
  rewind_ = false;
  away_tag_ = tag;
  pool.submit(std::move(job));
}

bool Playback::take(DecodeResult&& result, Deadline now) {
  if (reader_ || !result.job.reader || result.job.tag != away_tag_) return false;
  reader_ = std::move(result.job.reader);
  std::uint32_t at = next_composed_;
  for (AnimationFrame& frame : result.frames) {
    if (at >= count_) break;
    durations_[at] = frame.duration_ms;
    images_[at] = std::move(frame.image);
    ++at;
  }
  next_composed_ = at;
  // Fewer frames than the file states: the animation is the frames that decode, played once.
  if (result.ended && at < count_) {
    count_ = std::max(at, shown_ + 1);
    damaged_ = true;
  }
  if (result.ended && result.frames.empty() && result.job.rewind) {
    reader_.reset();  // the file no longer reads: what is held is all there is
  } else if (keep_all_ && next_composed_ >= count_) {
    composed_all_ = true;
    reader_.reset();
  } else if (!keep_all_ && (result.ended || next_composed_ >= count_)) {
    rewind_ = true;
  }
  while (pending_steps_ > 0 && images_[after(shown_)]) {
    --pending_steps_;
    show(after(shown_), now);
  }
  return true;
}
