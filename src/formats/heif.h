// The HEIF (HEIC and AVIF) module of the format table.
#pragma once

#include <memory>

#include "formats/formats.h"

namespace heif {

std::unique_ptr<Image> load(const char* path, const char* selector, Wish wish);

}  // namespace heif
