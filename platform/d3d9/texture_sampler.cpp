#include "platform/d3d9/texture_sampler.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/d3d9/formats.h"
#include "platform/d3d9/surface.h"

namespace kestrin::platform::d3d9 {
namespace {

// readChannel for every raw value of a format, computed once.
const std::array<float, 65536>& channelTable(TexelFormat format) {
    static const auto make = [](TexelFormat f) {
        std::array<float, 65536> table{};
        for (uint32_t raw = 0; raw < table.size(); ++raw)
            table[raw] = readChannel(static_cast<uint16_t>(raw), f);
        return table;
    };
    static const std::array<float, 65536> kSigned = make(TexelFormat::Signed);
    static const std::array<float, 65536> kUnsigned = make(TexelFormat::Unsigned);
    return format == TexelFormat::Signed ? kSigned : kUnsigned;
}

// floor(x) as an index; NaN reads texel 0 and far-out values stop at +-2^30.
int64_t indexOf(float x) {
    constexpr float kLimit = 1073741824.0f;
    if (!(x == x)) return 0;
    return static_cast<int64_t>(std::floor(std::clamp(x, -kLimit, kLimit)));
}

} // namespace

int64_t addressTexel(int64_t index, int64_t size, DWORD mode) {
    switch (mode) {
    case D3DTADDRESS_CLAMP:
        return std::clamp<int64_t>(index, 0, size - 1);
    case D3DTADDRESS_BORDER:
        return index < 0 || index >= size ? -1 : index;
    case D3DTADDRESS_MIRROR: {
        const int64_t period = 2 * size;
        int64_t m = index % period;
        if (m < 0) m += period;
        return m < size ? m : period - 1 - m;
    }
    case D3DTADDRESS_MIRRORONCE:
        if (index < 0) index = -1 - index;
        return std::min(index, size - 1);
    default: { // D3DTADDRESS_WRAP, and what no address mode names
        int64_t m = index % size;
        if (m < 0) m += size;
        return m;
    }
    }
}

void TextureSampler::bind(unsigned stage, const Surface& level, const SamplerSettings& settings) {
    if (stage >= stages_.size()) return;
    Stage& s = stages_[stage];
    const D3DSURFACE_DESC& desc = level.desc();
    const std::array<float, 65536>& table = channelTable(texelFormatOf(desc.Format));
    s.width = desc.Width;
    s.height = desc.Height;
    s.texels.resize(static_cast<size_t>(desc.Width) * desc.Height * 4);
    float* out = s.texels.data();
    for (UINT y = 0; y < desc.Height; ++y) {
        const uint8_t* row = level.bits() + static_cast<size_t>(y) * level.pitch();
        for (UINT x = 0; x < desc.Width; ++x) {
            uint16_t raw[4];
            std::memcpy(raw, row + static_cast<size_t>(x) * kTexelBytes, sizeof raw);
            for (int c = 0; c < 4; ++c) *out++ = table[raw[c]];
        }
    }
    s.settings = settings;
    const D3DCOLOR b = settings.borderColor;
    s.border = {static_cast<float>((b >> 16) & 0xFF) / 255.0f,
                static_cast<float>((b >> 8) & 0xFF) / 255.0f, static_cast<float>(b & 0xFF) / 255.0f,
                static_cast<float>((b >> 24) & 0xFF) / 255.0f};
    s.bound = true;
}

const float* TextureSampler::texel(const Stage& s, int64_t x, int64_t y) const {
    const int64_t tx = addressTexel(x, s.width, s.settings.addressU);
    const int64_t ty = addressTexel(y, s.height, s.settings.addressV);
    if (tx < 0 || ty < 0) return s.border.data();
    return s.texels.data() + static_cast<size_t>(ty * s.width + tx) * 4;
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
    const auto w = static_cast<float>(s.width);
    const auto h = static_cast<float>(s.height);
    if (s.settings.magFilter < D3DTEXF_LINEAR) { // none or point
        for (size_t k = 0; k < count; ++k) {
            const float* t = texel(s, indexOf(u[k] * w), indexOf(v[k] * h));
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
        const float* t00 = texel(s, x0, y0);
        const float* t10 = texel(s, x0 + 1, y0);
        const float* t01 = texel(s, x0, y0 + 1);
        const float* t11 = texel(s, x0 + 1, y0 + 1);
        for (int c = 0; c < 4; ++c) {
            const float top = t00[c] + (t10[c] - t00[c]) * fx;
            const float bottom = t01[c] + (t11[c] - t01[c]) * fx;
            out[c][k] = top + (bottom - top) * fy;
        }
    }
}

} // namespace kestrin::platform::d3d9
