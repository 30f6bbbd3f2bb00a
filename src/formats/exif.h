// The EXIF reader: the one tag pictra needs from a camera's APP1 block, the orientation.
#pragma once

#include <cstddef>
#include <cstdint>

// Whether an APP1 payload is EXIF (XMP and others share the marker): its "Exif\0\0" signature.
bool is_exif(const std::uint8_t* data, std::size_t size);

// The orientation (1 to 8) that IFD0 of an APP1 payload ("Exif\0\0", then a TIFF header in
// either byte order) records in tag 0x0112. Anything missing, damaged or out of range is 1,
// the stored raster as it is.
int exif_orientation(const std::uint8_t* data, std::size_t size);
