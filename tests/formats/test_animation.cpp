// Animations of every format that has them, made by the formats' own tools, composed frame by
// frame against their libraries' (or PIL's) composition; and the decode pool carrying a reader
// to its workers and back.
#include <gtest/gtest.h>
#include <poll.h>

#include <string>
#include <vector>

#include "formats/animation.h"
#include "formats/pool.h"
#include "support/reference_frames.h"
#include "support/tempdir.h"

namespace {

using pictra_test::command_output;
using pictra_test::TempDir;

constexpr int width = 40;
constexpr int height = 30;
constexpr int frame_count = 4;

// Frame k of a picture that changes in a block moving across it, so that encoders store later
// frames as smaller rectangles over the earlier ones. With holes, the block is transparent in
// frames after the first, showing what lies beneath. As a PAM file, RGB and alpha.
std::string frame_pam(int k, bool holes) {
  std::string pam = "P7\nWIDTH " + std::to_string(width) + "\nHEIGHT " + std::to_string(height) +
                    "\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n";
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const bool block = x >= 6 + 8 * k && x < 16 + 8 * k && y >= 5 && y < 20;
      const int r = block ? 40 * k : x * 6;
      const int g = block ? 255 - 50 * k : y * 8;
      const int b = (x * y + 13 * k) & 0xFF;
      const bool clear = holes && block && k > 0 && x % 3 == 0;
      pam += {static_cast<char>(r), static_cast<char>(g), static_cast<char>(b),
              static_cast<char>(clear ? 0 : 255)};
    }
  }
  return pam;
}

// The frames as PNG files, with the tool arguments that give each its delay in front of it.
std::vector<std::string> frame_files(const TempDir& dir, bool holes) {
  std::vector<std::string> files;
  for (int k = 0; k < frame_count; ++k) {
    const std::string pam = dir.write("f" + std::to_string(k) + ".pam", frame_pam(k, holes));
    const std::string png = dir.file("f" + std::to_string(k) + ".png");
    command_output("convert " + pam + " " + png);
    files.push_back(png);
  }
  return files;
}

class Animation : public testing::Test {
 protected:
  static void SetUpTestSuite() { init_formats(); }
  void expect_plays(const std::string& path, const std::string& reference_path,
                    const std::string& what) {
    const auto reader = open_animation(path.c_str());
    ASSERT_NE(reader, nullptr) << what;
    pictra_test::expect_frames_match(*reader, pictra_test::reference_frames(reference_path), what);
  }
  TempDir dir_;
};

// gifsicle stores the later frames as rectangles with transparent pixels over the earlier ones.
TEST_F(Animation, OptimisedGifMatchesPil) {
  std::string frames;
  for (const std::string& png : frame_files(dir_, false))
    frames += " -delay 7 " + png;
  const std::string plain = dir_.file("plain.gif");
  const std::string optimised = dir_.file("optimised.gif");
  command_output("convert" + frames + " -loop 0 " + plain);
  command_output("gifsicle -O3 " + plain + " -o " + optimised + " 2>/dev/null");
  expect_plays(optimised, optimised, "gifsicle -O3");
  const auto reader = open_animation(optimised.c_str());
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(reader->loop_count(), 0u);
}

// The WebP encoder blends and disposes its sub-frames; PIL composes them through the library's
// animation decoder. Alpha is 0 or 255 only, so over black is exact.
TEST_F(Animation, WebPMatchesTheLibrarysComposition) {
  std::string args;
  int delay = 0;
  for (const std::string& png : frame_files(dir_, true))
    args += " -d " + std::to_string(delay += 70) + " " + png;
  const std::string webp = dir_.file("anim.webp");
  command_output("img2webp -lossless -loop 2" + args + " -o " + webp + " 2>/dev/null");
  expect_plays(webp, webp, "img2webp");
  const auto reader = open_animation(webp.c_str());
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(reader->loop_count(), 2u);
}

// The JPEG XL encoder keeps a GIF's frames as blended rectangles; djxl writes the decoder's
// coalesced frames as an APNG, which PIL reads.
TEST_F(Animation, JpegXlMatchesTheDecodersCoalescedFrames) {
  std::string frames;
  for (const std::string& png : frame_files(dir_, true))
    frames += " -delay 12 " + png;
  const std::string gif = dir_.file("source.gif");
  command_output("convert" + frames + " -loop 0 " + gif + " && gifsicle -O3 -b " + gif +
                 " 2>/dev/null");
  const std::string jxl = dir_.file("anim.jxl");
  const std::string apng = dir_.file("coalesced.apng");
  command_output("cjxl -d 0 " + gif + " " + jxl + " 2>/dev/null && djxl " + jxl + " " + apng +
                 " 2>/dev/null");
  expect_plays(jxl, apng, "cjxl");
}

// A profile applies to every frame, as to the still image of the first.
TEST_F(Animation, FramesComeInTheDisplaysColours) {
  std::string args;
  for (const std::string& png : frame_files(dir_, false))
    args += " -d 80 " + png;
  const std::string plain = dir_.file("plain.webp");
  const std::string tagged = dir_.file("tagged.webp");
  command_output("img2webp -lossless" + args + " -o " + plain +
                 " 2>/dev/null && webpmux -set icc /usr/share/color/icc/ghostscript/a98.icc " +
                 plain + " -o " + tagged + " 2>/dev/null");
  DecodePool pool(1);
  const auto take = [&pool](DecodeJob job) {
    pool.submit(std::move(job));
    pollfd p{pool.wake_fd(), POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 20000), 1);
    return pool.take();
  };
  DecodeJob open;
  open.path = tagged;
  open.tag = 1;
  open.animate = true;
  auto first = take(std::move(open));
  ASSERT_TRUE(first && first->image && first->job.reader);
  const auto still = load_image(tagged.c_str(), "", {});
  ASSERT_TRUE(still);
  EXPECT_EQ(first->image->rgb, still->rgb);
  DecodeJob more;
  more.tag = 2;
  more.reader = std::move(first->job.reader);
  more.frames = 1;
  const auto second = take(std::move(more));
  const auto raw = open_animation(tagged.c_str());
  AnimationFrame frame;
  ASSERT_TRUE(second && second->frames.size() == 1 && raw && raw->next(frame) && raw->next(frame));
  EXPECT_NE(second->frames[0].image->rgb, frame.image->rgb);
}

// The pool hands an animation's reader out with its first frame, takes it back inside a job,
// and returns it with the frames after; a still image comes back as ever.
TEST_F(Animation, ReaderTravelsThroughThePool) {
  std::string frames;
  for (const std::string& png : frame_files(dir_, false))
    frames += " -delay 7 " + png;
  const std::string gif = dir_.file("anim.gif");
  command_output("convert" + frames + " " + gif);
  DecodePool pool(2);
  const auto wait = [&pool] {
    pollfd p{pool.wake_fd(), POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 20000), 1);
    return pool.take();
  };
  const auto job = [](std::uint64_t tag, const std::string& path, bool animate) {
    DecodeJob job;
    job.path = path;
    job.tag = tag;
    job.animate = animate;
    return job;
  };
  const auto more = [&job](std::uint64_t tag, DecodeResult& from, std::uint32_t frames,
                           bool rewind) {
    DecodeJob next = job(tag, "", false);
    next.reader = std::move(from.job.reader);
    next.frames = frames;
    next.rewind = rewind;
    return next;
  };
  pool.submit(job(1, gif, true));
  auto first = wait();
  ASSERT_TRUE(first && first->image && first->job.reader);
  EXPECT_EQ(first->duration_ms, 70u);
  EXPECT_EQ(first->image->width, std::uint32_t{width});
  pool.submit(more(2, *first, 10, false));
  auto rest = wait();
  ASSERT_TRUE(rest && rest->job.reader);
  EXPECT_EQ(rest->frames.size(), std::size_t{frame_count - 1});
  EXPECT_TRUE(rest->ended);
  pool.submit(more(3, *rest, 1, true));
  auto rewound = wait();
  ASSERT_TRUE(rewound && rewound->frames.size() == 1);
  EXPECT_EQ(rewound->frames[0].image->rgb, first->image->rgb);
  EXPECT_FALSE(rewound->ended);

  pool.submit(job(4, frame_files(dir_, false)[0], true));
  auto still = wait();
  ASSERT_TRUE(still && still->image);
  EXPECT_EQ(still->job.reader, nullptr);
}

}  // namespace
