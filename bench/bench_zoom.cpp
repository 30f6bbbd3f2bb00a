// The view's zoom and pan on a kept 24 MP JPEG, key to drawn: the real binary in a 1280 x 1024
// window, timed from the key press to the title that ends the drawing. Run under a display:
//   tests/support/with-xvfb 24 1920x1200 build/release/bench/bench_zoom
// "1" pays the one full-size decode; the pans, the zoom steps and a second "1" after "0" draw
// from the kept image.
#include <X11/keysym.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/driver.h"
#include "support/tempdir.h"

namespace {

using namespace pictra_test;
using Clock = std::chrono::steady_clock;

constexpr char geometry[] =
    "\n# pictrarc - configuration file for pictra\n\nxpos=0\nypos=0\nwidth=1280\nheight=1024\n";

double timed_key(Pictra& pictra, KeySym key) {
  const int changes = pictra.title_changes();
  const auto start = Clock::now();
  pictra.key(key);
  if (!pictra.wait_title_changes(changes + 1)) std::puts("no drawing");
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// "1" from the fit draws the reduced image enlarged at once, then the full-size decode when it
// comes: the time to that second drawing is the decode's cost. A kept full-size image draws
// once; a second drawing within the wait would be a second decode.
void time_actual_size(Pictra& pictra, const char* what) {
  const int changes = pictra.title_changes();
  const auto start = Clock::now();
  pictra.key(XK_1);
  pictra.wait_title_changes(changes + 1);
  const double first = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  const bool again = pictra.wait_title_changes(changes + 2, std::chrono::seconds(2));
  const double second = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  std::printf("%-24s %8.1f ms first drawing; %s", what, first, again ? "" : "no second drawing\n");
  if (again) std::printf("%.1f ms to the full-size drawing\n", second);
}

}  // namespace

int main() {
  TempDir home, dir;
  home.write(".pictrarc", geometry);
  const std::string jpeg = dir.file("big.jpg");
  // Plasma is slow to make; a gradient with noise gives the decoder real work.
  const std::string make =
      "convert -size 6000x4000 gradient:red-blue -attenuate 0.3 "
      "+noise Uniform -quality 90 " +
      jpeg;
  if (std::system(make.c_str()) != 0) return 1;
  Pictra pictra(
      PictraOptions{.home = home.path(), .cwd = dir.path(), .args = {"big.jpg"}, .setenv = {}});
  pictra.window();
  if (!pictra.wait_title("pictra-0.31 - big.jpg (6000x4000)")) return 1;
  struct Step {
    KeySym key;
    const char* what;
  };
  time_actual_size(pictra, "1 from fit");
  const Step steps[] = {{XK_l, "pan l"},        {XK_j, "pan j"},         {XK_h, "pan h"},
                        {XK_k, "pan k"},        {XK_plus, "zoom 150%"},  {XK_plus, "zoom 200%"},
                        {XK_l, "pan l"},        {XK_minus, "zoom 150%"}, {XK_minus, "zoom 100%"},
                        {XK_minus, "zoom 67%"}, {XK_minus, "zoom 50%"},  {XK_0, "fit"}};
  for (const Step& step : steps)
    std::printf("%-24s %8.1f ms\n", step.what, timed_key(pictra, step.key));
  time_actual_size(pictra, "1 again, image kept");
  for (KeySym key : {XK_Right, XK_bar, XK_l})
    std::printf("%-24s %8.1f ms\n", XKeysymToString(key), timed_key(pictra, key));
  pictra.key(XK_Escape);
  pictra.wait_exit();
  return 0;
}
