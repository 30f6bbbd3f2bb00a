// The single-image view.
#pragma once

#include <string>

// Results of view_image.
inline constexpr int view_failed = 0;     // the image cannot be shown
inline constexpr int view_left = 1;       // the user left the view
inline constexpr int view_previous = 10;  // step to the previous image
inline constexpr int view_next = 11;      // step to the next image
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

// Starts the view's use of state.pool.
void start_view();
// Shows shown until the user steps or leaves; previous and next (empty paths for none) are
// decoded ahead meanwhile, so a step shows them at once.
int view_image(const ViewEntry& shown, const ViewEntry& previous, const ViewEntry& next);
// Lets go of every image and drawing the view keeps, once the user is back in the grid.
void leave_view();
