// Applying an orientation: every value is a clockwise turn of the stored raster, followed by
// a mirror (left and right exchanged) or none.
#include "formats/orient.h"

#include <algorithm>
#include <array>

#include "formats/resample.h"

namespace {

struct Placement {
  int quarter_turns = 0;
  bool mirrored = false;
};
// Indexed by the tag value. 4 (bottom up) is the half turn mirrored; 5 (the transpose) the
// quarter turn mirrored; 7 (the transverse) the turn back mirrored.
constexpr std::array<Placement, 9> placements = {{
    {0, false},  // not a value
    {0, false},
    {0, true},
    {2, false},
    {2, true},
    {1, true},
    {1, false},
    {3, true},
    {3, false},
}};

}  // namespace

bool orient_image(Image& image) {
  const int value = image.orientation;
  if (value < 1 || value >= static_cast<int>(placements.size())) {
    image.orientation = orientation_as_stored;
    return true;
  }
  const Placement& placement = placements[static_cast<std::size_t>(value)];
  if (placement.quarter_turns != 0) {
    std::unique_ptr<Image> turned = turn_image(image, placement.quarter_turns);
    if (!turned) return false;
    image.width = turned->width;
    image.height = turned->height;
    image.full_width = turned->full_width;
    image.full_height = turned->full_height;
    image.rgb = std::move(turned->rgb);
    image.alpha = std::move(turned->alpha);
  }
  if (placement.mirrored) mirror_image(image, true, false);
  image.orientation = orientation_as_stored;
  return true;
}
