// The conversion of every pair of profiles that is not curves and a matrix (a profile built on
// lookup tables at either end, CMYK): sampled through lcms2 once on a lattice over the input's
// channels, each pixel interpolated between the lattice points around it. Internal to colour.cpp.
#pragma once

#include <lcms2.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "formats/colour.h"

namespace colour {

struct Lattice {
  int inputs = 3;         // 3 for RGB, 4 for CMYK
  int cells = 0;          // lattice cells along each input channel
  bool inverted = false;  // inputs count ink down from 255
  // Each input level's cell along its channel and its place in the cell, in 256ths.
  std::uint8_t cell[256];
  std::uint16_t weight[256];
  // RGB of each point in quarter levels, 10 bits a channel, red highest. One word a point, so
  // that one gather fetches a point's three channels. Blue varies fastest, and cyan, so that a
  // point and the next cyan level's are one 8-byte fetch.
  std::vector<std::uint32_t> nodes;
};

// The lattice for the pair through lcms2 at 16 bits, or null when lcms2 cannot make it.
std::unique_ptr<const Lattice> make_lattice(cmsHPROFILE source, cmsHPROFILE target, Input input);

// Converts pixels from in (4 bytes a pixel for CMYK, else 3) into RGB at out, which may be in.
void apply_lattice(const Lattice& lattice, const std::uint8_t* in, std::uint8_t* out,
                   std::size_t pixels);

}  // namespace colour
