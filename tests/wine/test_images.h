// Test frames for the Wine check.
#pragma once

#include <cstdint>
#include <vector>

#include "effect/model.h"

namespace kestrin::winecheck {

// A frame in the editor's range (Y 0..4096, Cb and Cr -2048..2048), the same for the same
// size and seed: full-range noise on the left third, a gentle ramp with a little noise in the
// middle, flat random blocks on the right. Noise, edges and uniform neighbourhoods in one frame.
std::vector<model::YcPixel> makeTestFrame(int width, int height, uint32_t seed);

// The frame as texels of `format`, with random values in the fourth channel, which no program
// may read.
model::TexelImage encodeWithNoisyW(const std::vector<model::YcPixel>& frame, int width, int height,
                                   TexelFormat format, uint32_t seed);

} // namespace kestrin::winecheck
