// The JPEG XL module of the format table.
#pragma once

#include <memory>

#include "formats/formats.h"

namespace jxl {

std::unique_ptr<Image> load(const char* path, const char* selector, Wish wish);

}  // namespace jxl
