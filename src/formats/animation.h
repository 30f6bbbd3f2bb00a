// Animations: a reader composes the frames of an animated file one after another, each the
// whole canvas as it is to be seen. A reader is decoder state for one thread at a time: it
// travels to a decode worker inside a job and comes back inside the result, moved, never shared.
#pragma once

#include <cstdint>
#include <memory>

#include "formats/formats.h"

// A frame shows at least this long: shorter delays (0 and 10 ms are common) count as
// default_frame_ms, as web browsers count them.
inline constexpr std::uint32_t min_frame_ms = 20;
inline constexpr std::uint32_t default_frame_ms = 100;
// The largest canvas played as an animation, in pixels (4096 x 4096): every frame is a copy of
// it. A file claiming more shows its first frame, still.
inline constexpr std::uint64_t max_animation_pixels = std::uint64_t{1} << 24;

// How long a frame stated as delay_ms shows.
inline std::uint32_t frame_duration(std::uint32_t delay_ms) {
  return delay_ms < min_frame_ms ? default_frame_ms : delay_ms;
}

struct AnimationFrame {
  // The canvas, full size, composed over black, with the file's colour description.
  std::unique_ptr<Image> image;
  std::uint32_t duration_ms = 0;
};

class AnimationReader {
 public:
  virtual ~AnimationReader() = default;
  // The canvas's size.
  std::uint32_t width() const { return width_; }
  std::uint32_t height() const { return height_; }
  // The frames the file states or holds; the frames that decode may be fewer.
  std::uint32_t frame_count() const { return frame_count_; }
  // How many times the animation plays through; 0 for ever.
  std::uint32_t loop_count() const { return loop_count_; }

  // The next frame; false at the end of the animation, or at a frame that does not decode
  // (the frames before it are the animation then).
  virtual bool next(AnimationFrame& frame) = 0;
  // Goes back to the first frame; false when the file cannot be read again.
  virtual bool rewind() = 0;

 protected:
  std::uint32_t width_ = 0;
  std::uint32_t height_ = 0;
  std::uint32_t frame_count_ = 0;
  std::uint32_t loop_count_ = 0;
};

// A reader for the file at path when it is an animation of more than one frame whose canvas
// fits max_animation_pixels; null for anything else (a still image, a damaged file).
std::unique_ptr<AnimationReader> open_animation(const char* path);
