// Colour management: turns the colours a file describes into the display's, through lcms2.
// Internal to the format modules: load_image converts every image it answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "formats/formats.h"

namespace colour {

// A conversion from one description to the display's profile. Built once per description and
// shared by every worker that meets it; never changed once built.
class Transform;

// What the pixels handed to a transform hold: 8-bit RGB, 8-bit CMYK as TIFF stores it (0 is no
// ink), or inverted (0 is full ink), as Adobe's tools write it into JPEG.
enum class Input : std::uint8_t { rgb, cmyk, cmyk_inverted };

// The transform for colour, or null when none is needed (the description comes to the display's
// colours already, sRGB on an sRGB display) or it cannot be used (a damaged profile, one for
// other pixels than input).
std::shared_ptr<const Transform> to_display(const ColourDescription& colour, Input input);

// Converts pixels from in (4 bytes a pixel for CMYK, else 3) into RGB at out, which may be in.
void apply(const Transform& transform, const std::uint8_t* in, std::uint8_t* out,
           std::size_t pixels);

// Composites pixels with alpha over black, keeping the alpha plane for the view; a plane that
// is opaque everywhere is dropped.
void composite(Image& image);

// Converts the image's pixels from its description to the display's colours and clears the
// description. Composited colours convert as they are: the curves of RGB spaces scale with
// opacity, very nearly, so converting c x alpha gives the converted c x alpha.
void to_display_colours(Image& image);

}  // namespace colour

// load_image without the colour conversion: decoded, composited and turned upright, its
// description still the file's. The decode pool converts a thumbnail after fitting it, so
// that only the pixels shown are converted.
std::unique_ptr<Image> load_in_file_colours(const char* path, const char* selector, Wish wish);
