// The geometry file as the tests write it and expect it back.
#pragma once

#include <string>

namespace pictra_test {

// The lines the program writes before the geometry.
inline constexpr char config_header[] = "\n# pictrarc - configuration file for pictra\n\n";

// A geometry file asking for a width x height window at the origin.
inline std::string geometry_file(unsigned width, unsigned height) {
  return std::string(config_header) + "xpos=0\nypos=0\nwidth=" + std::to_string(width) +
         "\nheight=" + std::to_string(height) + "\n";
}

}  // namespace pictra_test
