// The single-image view.
#pragma once

#include <cstddef>
#include <string>

// Results of view_image.
inline constexpr int view_failed = 0;     // the image cannot be shown
inline constexpr int view_left = 1;       // the user left the view
inline constexpr int view_previous = 10;  // step to the previous image
inline constexpr int view_next = 11;      // step to the next image
inline constexpr int view_first = 12;     // a slideshow past the last: step to the first image
// The key handler has ended: the caller reads its list again and views the entry again (or the
// one in its place).
inline constexpr int view_reread = 13;
inline constexpr int view_next_mark = 14;      // step to the next marked image
inline constexpr int view_previous_mark = 15;  // and to the previous one

// An image to view: a file, and the sub-image of it (empty for the first).
struct ViewEntry {
  std::string path;
  std::string selector;
};

// Where the shown entry stands among the images of the list the caller walks.
struct ViewPlace {
  std::size_t position = 0;  // from 1; 0 when the entry is not in a list
  std::size_t count = 0;
  ViewEntry first;  // the list's first image, where a slideshow goes after the last
  // The image two steps on, going round: a slideshow decodes it ahead too, so that both
  // workers keep up with short delays.
  ViewEntry after_next;
};

// Starts the view's use of state.pool.
void start_view();
// Shows shown until the user steps or leaves; previous and next (empty paths for none) are
// decoded ahead meanwhile, so a step shows them at once. A slideshow at the last image
// answers view_first, and decodes place.first ahead instead of next.
int view_image(const ViewEntry& shown, const ViewEntry& previous, const ViewEntry& next,
               const ViewPlace& place = {});
// Lets go of every image and drawing the view keeps, once the user is back in the grid, and
// ends a slideshow.
void leave_view();

// Sets the slideshow's delay between steps (5 s unless set); false, and the delay as it was,
// for anything but 0.1 s to a day.
bool set_slide_delay(double seconds);
// Makes the next view_image run a slideshow from the entry it shows.
void start_slideshow();
