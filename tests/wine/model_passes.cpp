#include "tests/wine/model_passes.h"

#include "tests/wine/test_images.h"

namespace kestrin::winecheck {
namespace {

// Moves channels x, y and z of every texel one step up or down, at random, within the format.
void nudge(model::TexelImage& image, TexelFormat format, uint32_t& state) {
    const int lo = format == TexelFormat::Signed ? -32767 : 0;
    const int hi = format == TexelFormat::Signed ? 32767 : 65535;
    for (model::Texel& t : image.texels) {
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

model::TexelImage modelFirstPass(const model::TexelImage& src, TexelFormat format) {
    return format == TexelFormat::Signed ? model::psYC2RGB(src) : model::psYC2RGBU(src);
}

model::TexelImage modelMiddlePass(const model::TexelImage& rgb, const model::FilterParams& params,
                                  TexelFormat format) {
    return format == TexelFormat::Signed ? model::psFilter(rgb, params)
                                         : model::psFilterU(rgb, params);
}

model::TexelImage modelLastPass(const model::TexelImage& rgb, const model::TexelImage& src,
                                const model::FilterParams& params, TexelFormat format) {
    return format == TexelFormat::Signed ? model::psFilterRGB2YC(rgb, src, params)
                                         : model::psFilterRGB2YCU(rgb, src, params);
}

int roundingSpread(const model::TexelImage& source, const model::FrameSettings& settings,
                   TexelFormat format, uint32_t seed) {
    uint32_t state = seed ? seed : 1u;
    model::TexelImage exact = modelFirstPass(source, format);
    model::TexelImage nudged = exact;
    nudge(nudged, format, state);
    for (int i = 1; i < settings.passCount; ++i) {
        exact = modelMiddlePass(exact, settings.params, format);
        nudged = modelMiddlePass(nudged, settings.params, format);
        nudge(nudged, format, state);
    }
    const model::TexelImage a = modelLastPass(exact, source, settings.params, format);
    model::TexelImage b = modelLastPass(nudged, source, settings.params, format);
    nudge(b, format, state);
    return compareImages(a, b, format, 3).maxSteps;
}

} // namespace kestrin::winecheck
