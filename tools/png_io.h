// PNG output of host images (converted from the editor's Y, Cb, Cr scale to 8-bit RGB).
#pragma once

#include <string>

#include "effect/model.h"

namespace kestrin::tools {

// Writes `width` x `height` pixels of an image whose rows are `pitch` pixels apart.
// Returns an empty string on success, else what went wrong.
std::string writePng(const std::string& path, const model::YcPixel* pixels, int width, int height,
                     int pitch);

} // namespace kestrin::tools
