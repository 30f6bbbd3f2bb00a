// The TIFF (and NEF) module of the format table; the one format with sub-images.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "formats/formats.h"

namespace tiff {

// Silences the library's warnings and errors, once for the program.
void init();
std::unique_ptr<Image> load(const char* path, const char* selector, Wish wish);
std::vector<std::string> list_pages(const char* path);

}  // namespace tiff
