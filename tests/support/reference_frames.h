// Animation frames as an independent decoder composes them (PIL, through
// tests/support/reference_frames.py), and the frames a reader composes, side by side.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "formats/animation.h"
#include "support/tempdir.h"

namespace pictra_test {

struct ReferenceFrames {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  int loop = -1;
  std::vector<std::uint32_t> durations;
  std::vector<std::string> rgb;  // one string of width x height x 3 bytes per frame
};

inline ReferenceFrames reference_frames(const std::string& path) {
  const std::string out = command_output(
      "/usr/bin/python3 " PICTRA_SOURCE_DIR "/tests/support/reference_frames.py " + path);
  ReferenceFrames r;
  std::istringstream in(out);
  std::size_t count = 0;
  in >> r.width >> r.height >> count >> r.loop;
  in.get();
  const std::size_t bytes = std::size_t{r.width} * r.height * 3;
  for (std::size_t i = 0; i < count && in; ++i) {
    std::uint32_t duration = 0;
    in >> duration;
    in.get();
    std::string pixels(bytes, '\0');
    in.read(pixels.data(), static_cast<std::streamsize>(bytes));
    r.durations.push_back(duration);
    r.rgb.push_back(pixels);
  }
  return r;
}

// Every frame the reader composes against the reference, pixel for pixel, with its duration;
// then once more from the first frame after a rewind.
inline void expect_frames_match(AnimationReader& reader, const ReferenceFrames& reference,
                                const std::string& what) {
  ASSERT_FALSE(reference.rgb.empty()) << what << ": no reference frames";
  EXPECT_EQ(reader.width(), reference.width) << what;
  EXPECT_EQ(reader.height(), reference.height) << what;
  EXPECT_EQ(reader.frame_count(), reference.rgb.size()) << what;
  for (int pass = 0; pass < 2; ++pass) {
    for (std::size_t i = 0; i < reference.rgb.size(); ++i) {
      AnimationFrame frame;
      ASSERT_TRUE(reader.next(frame)) << what << ": frame " << i;
      ASSERT_EQ(frame.image->width, reference.width) << what;
      const std::string got(reinterpret_cast<const char*>(frame.image->rgb.data()),
                            frame.image->rgb.size());
      std::size_t wrong = 0;
      for (std::size_t b = 0; b < got.size(); ++b)
        wrong += got[b] != reference.rgb[i][b];
      EXPECT_EQ(wrong, 0u) << what << ": frame " << i << " pass " << pass;
      EXPECT_EQ(frame.duration_ms, frame_duration(reference.durations[i])) << what << ": " << i;
    }
    AnimationFrame after;
    EXPECT_FALSE(reader.next(after)) << what << ": a frame beyond the last";
    ASSERT_TRUE(reader.rewind()) << what;
  }
}

}  // namespace pictra_test
