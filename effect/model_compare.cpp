#include "effect/model_compare.h"

#include <cstdlib>

namespace kestrin::model {
namespace {

// Stored value in steps, without the unsigned format's offset: host values for Y, Cb and Cr.
int channelValue(uint16_t raw, TexelFormat format) {
    return format == TexelFormat::Signed ? static_cast<int16_t>(raw)
                                         : static_cast<int>(raw) - 0x8000;
}

// Moves channels x, y and z of every texel one step up or down, at random, within the format.
void nudge(TexelImage& image, TexelFormat format, uint32_t& state) {
    const int lo = format == TexelFormat::Signed ? -32767 : 0;
    const int hi = format == TexelFormat::Signed ? 32767 : 65535;
    for (Texel& t : image.texels) {
        for (int c = 0; c < 3; ++c) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            const int v = (format == TexelFormat::Signed ? static_cast<int16_t>(t[c])
                                                         : static_cast<int>(t[c])) +
                          ((state & 1u) ? 1 : -1);
            t[c] = static_cast<uint16_t>(v < lo ? lo : (v > hi ? hi : v));
        }
    }
}

} // namespace

TexelImage modelFirstPass(const TexelImage& src, TexelFormat format) {
    return format == TexelFormat::Signed ? psYC2RGB(src) : psYC2RGBU(src);
}

TexelImage modelMiddlePass(const TexelImage& rgb, const FilterParams& params, TexelFormat format) {
    return format == TexelFormat::Signed ? psFilter(rgb, params) : psFilterU(rgb, params);
}

TexelImage modelLastPass(const TexelImage& rgb, const TexelImage& src, const FilterParams& params,
                         TexelFormat format) {
    return format == TexelFormat::Signed ? psFilterRGB2YC(rgb, src, params)
                                         : psFilterRGB2YCU(rgb, src, params);
}

int roundingSpread(const TexelImage& source, const FrameSettings& settings, TexelFormat format,
                   uint32_t seed) {
    uint32_t state = seed ? seed : 1u;
    TexelImage exact = modelFirstPass(source, format);
    TexelImage nudged = exact;
    nudge(nudged, format, state);
    for (int i = 1; i < settings.passCount; ++i) {
        exact = modelMiddlePass(exact, settings.params, format);
        nudged = modelMiddlePass(nudged, settings.params, format);
        nudge(nudged, format, state);
    }
    const TexelImage a = modelLastPass(exact, source, settings.params, format);
    TexelImage b = modelLastPass(nudged, source, settings.params, format);
    nudge(b, format, state);
    return compareImages(a, b, format, 3).maxSteps;
}

Difference compareImages(const TexelImage& expected, const TexelImage& actual, TexelFormat format,
                         int channels) {
    Difference d;
    if (expected.width != actual.width || expected.height != actual.height) {
        d.maxSteps = 65535;
        return d;
    }
    for (int y = 0; y < expected.height; ++y) {
        for (int x = 0; x < expected.width; ++x) {
            for (int c = 0; c < channels; ++c) {
                const int e = channelValue(expected.at(x, y)[c], format);
                const int a = channelValue(actual.at(x, y)[c], format);
                const int steps = std::abs(a - e);
                if (steps == 0) continue;
                ++d.differing;
                if (steps > d.maxSteps) d = {steps, d.differing, x, y, c, e, a};
            }
        }
    }
    return d;
}

} // namespace kestrin::model
