// The EXIF reader: what pictra needs from a camera's APP1 block: the orientation, and the date
// taken and the camera model for the info line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Whether an APP1 payload is EXIF (XMP and others share the marker): its "Exif\0\0" signature.
bool is_exif(const std::uint8_t* data, std::size_t size);

// The orientation (1 to 8) that IFD0 of an APP1 payload ("Exif\0\0", then a TIFF header in
// either byte order) records in tag 0x0112. Anything missing, damaged or out of range is 1,
// the stored raster as it is.
int exif_orientation(const std::uint8_t* data, std::size_t size);

// The longest date or camera text kept; EXIF dates are 19 characters, models rarely over 40.
inline constexpr std::size_t exif_text_limit = 64;

struct ExifFacts {
  int orientation = 1;  // as exif_orientation reads it
  // DateTimeOriginal of the EXIF directory, else DateTime of IFD0, as "YYYY-MM-DD HH:MM:SS"
  // where it has that shape; empty when absent.
  std::string taken;
  std::string camera;  // IFD0's Model; empty when absent
};
// The facts of an APP1 payload. A text is printable ASCII only (anything else becomes '?'), at
// most exif_text_limit characters, with trailing blanks dropped; a damaged tag is absent.
ExifFacts read_exif(const std::uint8_t* data, std::size_t size);
