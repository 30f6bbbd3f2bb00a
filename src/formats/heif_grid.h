// The output sizes HEIF grid items state in their own data. A grid states its size twice, in
// its properties and in its data, and the library decodes to the data's statement; only the
// properties' size reaches its interface.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>

namespace heif {

struct GridSize {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

// The grid items of the file whose data could be read, by item id. The file's position is left
// anywhere. A file this reader cannot follow gives an empty map, and the library's own reading
// decides.
std::map<std::uint32_t, GridSize> grid_sizes(std::FILE* file, std::int64_t size);

}  // namespace heif
