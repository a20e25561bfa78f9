// Conversions between 16-bit texel channels and the floats a pixel program sees.
//
// These are the only place where the filter's arithmetic meets the storage formats, so the
// reference model and the software device share them: a texel is read the way a Direct3D 9
// device normalises it, and a program's output is written back the way a render target of the
// same format stores it (clamped, scaled, rounded to nearest with ties to even).
#pragma once

#include <cmath>
#include <cstdint>

namespace kestrin {

enum class TexelFormat : int {
    Signed = 0,   // D3DFMT_Q16W16V16U16: host values stored unchanged
    Unsigned = 1, // D3DFMT_A16B16G16R16: host values stored offset by 0x8000
};

// 32768 / 65535 in single precision (bits 0x3F000080): what the offset 0x8000 reads as.
inline constexpr float kBiasU = 0.50000762939453125f;

// Channel as the sampler returns it: signed s -> max(s / 32767, -1), unsigned u -> u / 65535.
inline float readChannel(uint16_t raw, TexelFormat format) {
    if (format == TexelFormat::Signed) {
        float v = static_cast<float>(static_cast<int16_t>(raw)) / 32767.0f;
        return v < -1.0f ? -1.0f : v;
    }
    return static_cast<float>(raw) / 65535.0f;
}

// Program output as the render target stores it. NaN stores as 0.
inline uint16_t writeChannel(float v, TexelFormat format) {
    const bool isSigned = format == TexelFormat::Signed;
    const float lo = isSigned ? -1.0f : 0.0f;
    if (std::isnan(v)) v = 0.0f;
    if (v < lo) v = lo;
    if (v > 1.0f) v = 1.0f;
    const float scaled = v * (isSigned ? 32767.0f : 65535.0f);
    const long q = std::lrint(scaled); // current rounding mode: nearest, ties to even
    return static_cast<uint16_t>(isSigned ? static_cast<uint16_t>(static_cast<int16_t>(q))
                                          : static_cast<uint16_t>(q));
}

// Host value (Y, Cb or Cr) to texel channel and back.
inline uint16_t encodeHostValue(int16_t v, TexelFormat format) {
    const auto raw = static_cast<uint16_t>(v);
    return format == TexelFormat::Signed ? raw : static_cast<uint16_t>(raw ^ 0x8000u);
}

inline int16_t decodeHostValue(uint16_t raw, TexelFormat format) {
    return static_cast<int16_t>(
        format == TexelFormat::Signed ? raw : static_cast<uint16_t>(raw ^ 0x8000u));
}

} // namespace kestrin
