// The geometry file as the tests write it and expect it back.
#pragma once

#include <string>

namespace pictra_test {

// The lines the program writes before the geometry.
inline constexpr char config_header[] = "\n# pictrarc - configuration file for pictra\n\n";

// A geometry file asking for a width x height window, at the origin unless told otherwise.
inline std::string geometry_file(int width, int height, int x = 0, int y = 0) {
  return std::string(config_header) + "xpos=" + std::to_string(x) + "\nypos=" + std::to_string(y) +
         "\nwidth=" + std::to_string(width) + "\nheight=" + std::to_string(height) + "\n";
}

}  // namespace pictra_test
