// A built-in test card in the editor's pixel scale (Y 0..4096, Cb and Cr -2048..2048): flat
// fields, hard edges, gradients and a band of noise that moves from frame to frame.
#pragma once

#include <cstdint>
#include <vector>

#include "effect/model.h"

namespace kestrin::tools {

using model::YcPixel;

// `pitch` >= `width`; pixels past the width in each row are left at zero.
std::vector<YcPixel> makeTestCard(int width, int height, int pitch, int frameIndex);

} // namespace kestrin::tools
