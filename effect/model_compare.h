// Comparing a device's frames with the reference model: the model's passes chosen by texel
// format, differences in host steps, and the tolerance a device that rounds differently is held
// to (used by the Wine check of the effect and by kestrin-run --compare).
#pragma once

#include <cstdint>

#include "effect/model.h"

namespace kestrin::model {

TexelImage modelFirstPass(const TexelImage& src, TexelFormat format);
TexelImage modelMiddlePass(const TexelImage& rgb, const FilterParams& params, TexelFormat format);
TexelImage modelLastPass(const TexelImage& rgb, const TexelImage& src, const FilterParams& params,
                         TexelFormat format);

// The largest difference between two images in steps of the stored value (which are host steps
// in both formats), over the first `channels` channels.
struct Difference {
    int maxSteps = 0;
    long differing = 0; // channel values that differ at all
    int x = -1, y = -1, channel = -1;
    int expected = 0, actual = 0; // at the largest difference
};

Difference compareImages(const TexelImage& expected, const TexelImage& actual, TexelFormat format,
                         int channels);

// A device may store any value one step away from the model's wherever the exact value lies
// close to a rounding boundary. This runs the model's passes over `source` twice, once as they
// are and once with every stored R, G, B value and every result value moved one step in a
// seeded random direction, and returns the largest difference between the two results: what
// that latitude can grow to through the bilateral weights of this frame and these settings.
int roundingSpread(const TexelImage& source, const FrameSettings& settings, TexelFormat format,
                   uint32_t seed);

// The seed the checks pass to roundingSpread for a frame of `passCount` passes.
inline uint32_t roundingSeed(int32_t passCount) {
    return 0x5EED0000u + static_cast<uint32_t>(passCount);
}

// From start to end a device quantises the R, G, B image once per pass and the result once more,
// and each of those may land one step away from the model's. Where the steps are alike they add
// up: a weighted mean of inputs k steps off is k steps off, the conversion back to Y, Cb, Cr has
// rows whose absolute values sum to 1 and the blend scales by pixGain <= 1, so passes + 1. Where
// they differ from tap to tap, the range weights amplify them: a weight near its falloff turns a
// one-step change of a colour difference into several steps of the mean, pass after pass. That
// part depends on the frame and the settings, so it is measured on the model itself
// (roundingSpread), and the larger of the two is the tolerance.
inline int endToEndTolerance(int32_t passCount, int spread) {
    return spread > passCount + 1 ? spread : passCount + 1;
}

} // namespace kestrin::model
