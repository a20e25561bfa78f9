// The reference model's passes chosen by texel format, and how far the model's own result
// moves when every image the device stores is allowed to land one step off.
#pragma once

#include <cstdint>

#include "effect/model.h"

namespace kestrin::winecheck {

model::TexelImage modelFirstPass(const model::TexelImage& src, TexelFormat format);
model::TexelImage modelMiddlePass(const model::TexelImage& rgb, const model::FilterParams& params,
                                  TexelFormat format);
model::TexelImage modelLastPass(const model::TexelImage& rgb, const model::TexelImage& src,
                                const model::FilterParams& params, TexelFormat format);

// A device may store any value one step away from the model's wherever the exact value lies
// close to a rounding boundary. This runs the model's passes over `source` twice, once as they
// are and once with every stored R, G, B value and every result value moved one step in a
// seeded random direction, and returns the largest difference between the two results: what
// that latitude can grow to through the bilateral weights of this frame and these settings.
int roundingSpread(const model::TexelImage& source, const model::FrameSettings& settings,
                   TexelFormat format, uint32_t seed);

} // namespace kestrin::winecheck
