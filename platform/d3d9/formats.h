// The texel formats the software device stores, and how it lays their rows out.
//
// Two formats exist, both four 16-bit channels stored x, y, z, w from the lowest address:
// D3DFMT_Q16W16V16U16 (signed) and D3DFMT_A16B16G16R16 (unsigned). Rows are padded: the pitch is
// the row's bytes rounded up to 128, plus 64, so it is a multiple of 64 and never equals
// width * 8 — code that ignores the pitch a lock reports fails at once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "d3d9types.h"
#include "effect/texel_codec.h"

namespace kestrin::platform::d3d9 {

inline constexpr UINT kTexelBytes = 8;
inline constexpr UINT kMaxTextureSize = 8192;

inline bool isTexelFormat(D3DFORMAT format) {
    return format == D3DFMT_Q16W16V16U16 || format == D3DFMT_A16B16G16R16;
}

inline TexelFormat texelFormatOf(D3DFORMAT format) {
    return format == D3DFMT_Q16W16V16U16 ? TexelFormat::Signed : TexelFormat::Unsigned;
}

inline size_t pitchFor(UINT width) {
    const size_t row = static_cast<size_t>(width) * kTexelBytes;
    return (row + 127) / 128 * 128 + 64;
}

// The display mode the adapter reports and the back-buffer format it implies.
inline constexpr UINT kDisplayWidth = 1920;
inline constexpr UINT kDisplayHeight = 1080;
inline constexpr UINT kDisplayRefresh = 60;
inline constexpr D3DFORMAT kDisplayFormat = D3DFMT_X8R8G8B8;

} // namespace kestrin::platform::d3d9
