// Playing an animation in the view: which frame shows, when the next one is due, which
// composed frames are kept, and asking the decode pool for more. The frames are composed on a
// worker by the animation's reader, which goes there inside a job and comes back with them; the
// main thread only shows them.
//
// Composed frames are kept up to a budget: an animation whose frames all fit is composed once
// and then plays from memory; a larger one keeps only the frames a little ahead of the one on
// show and is composed again from its start at every loop, so its memory stays flat however
// long it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "formats/animation.h"
#include "formats/pool.h"
#include "xsupport/xsupport.h"

inline constexpr std::size_t frame_budget_bytes = std::size_t{256} << 20;

class Playback {
 public:
  // From the result that brought the animation's reader and its first frame, shown at now.
  Playback(DecodeResult&& first, Deadline now, std::size_t budget = frame_budget_bytes);

  const Image& image() const { return *images_[shown_]; }
  std::uint32_t frame() const { return shown_; }  // from 0
  std::uint32_t frame_count() const { return count_; }
  bool paused() const { return paused_; }
  // Whether every frame stays in memory once composed, so that the frames' images stay too.
  bool keeps_all() const { return keep_all_; }
  // The frame the clock shows next, when it is composed; null while paused or at the end.
  const Image* next_image() const {
    return paused_ || at_end() ? nullptr : images_[after(shown_)].get();
  }

  // When the next frame is due; no_deadline while paused, after the last play, and while the
  // next frame is still being composed (its arrival wakes the view instead).
  Deadline due() const;
  // Shows the next frame once it is due and composed; true when the frame on show changed.
  bool tick(Deadline now);
  // The clock starts again at now: when the view comes back to the animation.
  void restart_clock(Deadline now);
  void toggle_pause(Deadline now);
  // Pauses and shows the next frame, or shows it as soon as it is composed; true when the
  // frame on show changed.
  bool step(Deadline now);

  // Frames composed by the pool; false when the result is not this playback's.
  bool take(DecodeResult&& result, Deadline now);
  // Sends the reader to the pool for the frames to come, when it is home and frames are
  // wanted; tag marks the job.
  void ask(DecodePool& pool, std::uint64_t tag);

 private:
  std::uint32_t after(std::uint32_t frame) const { return frame + 1 == count_ ? 0 : frame + 1; }
  bool wraps() const;
  bool at_end() const;  // on the last frame, to stay there
  bool show(std::uint32_t frame, Deadline at);
  std::uint32_t held_ahead() const;
  std::uint32_t wanted() const;

  std::vector<std::unique_ptr<Image>> images_;  // by frame; null where not held
  std::vector<std::uint32_t> durations_;        // by frame; known once composed
  std::uint32_t count_ = 0;
  std::uint32_t loops_ = 0;   // plays in all, 0 for ever
  std::uint32_t plays_ = 0;   // plays finished
  bool keep_all_ = false;     // every frame fits the budget
  std::uint32_t window_ = 0;  // frames held at most when not keeping all

  std::unique_ptr<AnimationReader> reader_;  // null while on a worker, or when done with
  std::uint64_t away_tag_ = 0;               // the job that has it
  std::uint32_t next_composed_ = 1;          // the frame the reader composes next
  bool rewind_ = false;                      // it is to start again at frame 0 first
  bool composed_all_ = false;                // keeping all, and all are here

  std::uint32_t shown_ = 0;
  Deadline shown_at_{};  // when the frame on show was due
  bool paused_ = false;
  bool damaged_ = false;             // fewer frames decode than the file states: played once
  Deadline::duration elapsed_{};     // of the frame on show, while paused
  std::uint32_t pending_steps_ = 0;  // steps waiting for their frames
};
