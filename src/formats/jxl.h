// The JPEG XL module of the format table.
#pragma once

#include <memory>

#include "formats/animation.h"
#include "formats/formats.h"

namespace jxl {

std::unique_ptr<Image> load(const char* path, const char* selector, Wish wish);
std::unique_ptr<AnimationReader> open_animation(const char* path);

}  // namespace jxl
