#include "platform/d3d9/texture_sampler.h"

#include <algorithm>
#include <cmath>

#include "platform/d3d9/decoded_texels.h"
#include "shader/texture_address.h"

namespace kestrin::platform::d3d9 {
namespace {

// floor(x) as an index; NaN reads texel 0 and far-out values stop at +-2^30.
int64_t indexOf(float x) {
    constexpr float kLimit = 1073741824.0f;
    if (!(x == x)) return 0;
    return static_cast<int64_t>(std::floor(std::clamp(x, -kLimit, kLimit)));
}

} // namespace

int64_t addressTexel(int64_t index, int64_t size, DWORD mode) {
    return shader::addressTexel(index, size, mode);
}

std::array<float, 4> borderChannels(D3DCOLOR b) {
    return {static_cast<float>((b >> 16) & 0xFF) / 255.0f,
            static_cast<float>((b >> 8) & 0xFF) / 255.0f, static_cast<float>(b & 0xFF) / 255.0f,
            static_cast<float>((b >> 24) & 0xFF) / 255.0f};
}

void TextureSampler::bind(unsigned stage, const DecodedTexels& texels, unsigned channels,
                          const SamplerSettings& settings) {
    if (stage >= stages_.size()) return;
    Stage& s = stages_[stage];
    s.texels = &texels;
    s.channels = channels;
    s.settings = settings;
    s.border = borderChannels(settings.borderColor);
    s.bound = true;
}

std::array<float, 4> TextureSampler::texel(const Stage& s, int64_t x, int64_t y) const {
    const DecodedTexels& t = *s.texels;
    const int64_t tx = addressTexel(x, t.width(), s.settings.addressU);
    const int64_t ty = addressTexel(y, t.height(), s.settings.addressV);
    if (tx < 0 || ty < 0) return s.border;
    std::array<float, 4> out{};
    const float* at = t.base() + ty * t.rowFloats() + tx;
    for (unsigned c = 0; c < 4; ++c)
        if ((s.channels >> c) & 1) out[c] = at[c * t.planeFloats()];
    return out;
}

void TextureSampler::sample(unsigned stage, size_t count, const float* u, const float* v,
                            float* const out[4]) const {
    static const Stage kUnbound{};
    const Stage& s = stage < stages_.size() ? stages_[stage] : kUnbound;
    if (!s.bound) {
        for (size_t k = 0; k < count; ++k) {
            out[0][k] = out[1][k] = out[2][k] = 0.0f;
            out[3][k] = 1.0f;
        }
        return;
    }
    const auto w = static_cast<float>(s.texels->width());
    const auto h = static_cast<float>(s.texels->height());
    if (s.settings.magFilter < D3DTEXF_LINEAR) { // none or point
        for (size_t k = 0; k < count; ++k) {
            const std::array<float, 4> t = texel(s, indexOf(u[k] * w), indexOf(v[k] * h));
            for (int c = 0; c < 4; ++c) out[c][k] = t[c];
        }
        return;
    }
    for (size_t k = 0; k < count; ++k) {
        const float x = u[k] * w - 0.5f;
        const float y = v[k] * h - 0.5f;
        const int64_t x0 = indexOf(x);
        const int64_t y0 = indexOf(y);
        const float fx = std::isfinite(x) ? x - static_cast<float>(x0) : 0.0f;
        const float fy = std::isfinite(y) ? y - static_cast<float>(y0) : 0.0f;
        const std::array<float, 4> t00 = texel(s, x0, y0);
        const std::array<float, 4> t10 = texel(s, x0 + 1, y0);
        const std::array<float, 4> t01 = texel(s, x0, y0 + 1);
        const std::array<float, 4> t11 = texel(s, x0 + 1, y0 + 1);
        for (int c = 0; c < 4; ++c) {
            const float top = t00[c] + (t10[c] - t00[c]) * fx;
            const float bottom = t01[c] + (t11[c] - t01[c]) * fx;
            out[c][k] = top + (bottom - top) * fy;
        }
    }
}

} // namespace kestrin::platform::d3d9
