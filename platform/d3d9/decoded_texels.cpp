#include "platform/d3d9/decoded_texels.h"

#include <emmintrin.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <thread>
#include <vector>

#include "platform/d3d9/formats.h"
#include "platform/d3d9/surface.h"
#include "shader/texture_address.h"

namespace kestrin::platform::d3d9 {

void parallelRanges(int threads, int64_t count, const std::function<void(int64_t, int64_t)>& fn) {
    const int n = static_cast<int>(std::clamp<int64_t>(std::min<int64_t>(threads, count), 1, 64));
    if (n == 1) {
        fn(0, count);
        return;
    }
    std::vector<std::exception_ptr> errors(static_cast<size_t>(n));
    std::vector<std::thread> helpers;
    helpers.reserve(static_cast<size_t>(n - 1));
    auto range = [&](int i) {
        try {
            fn(count * i / n, count * (i + 1) / n);
        } catch (...) {
            errors[static_cast<size_t>(i)] = std::current_exception();
        }
    };
    int started = 1;
    try {
        for (; started < n; ++started) helpers.emplace_back(range, started);
    } catch (...) {
        // Fewer threads: the calling thread takes the ranges that found none.
    }
    range(0);
    for (int i = started; i < n; ++i) range(i);
    for (std::thread& h : helpers) h.join();
    for (const std::exception_ptr& e : errors)
        if (e) std::rethrow_exception(e);
}

void decodeChannel(const uint16_t* raw, size_t stride, size_t count, TexelFormat format,
                   float* out) {
    for (size_t i = 0; i < count; ++i) out[i] = readChannel(raw[i * stride], format);
}

namespace {

// Texels [0, width) of one row, channels of `mask`, into rows of the planes.
void decodeTexels(const uint8_t* texels, int width, TexelFormat format, unsigned mask,
                  float* const planes[4]) {
    const auto* raw = reinterpret_cast<const uint16_t*>(texels);
    const bool isSigned = format == TexelFormat::Signed;
    const __m128 scale = _mm_set1_ps(isSigned ? 32767.0f : 65535.0f);
    const __m128 minusOne = _mm_set1_ps(-1.0f);
    const __m128i zero = _mm_setzero_si128();
    int x = 0;
    for (; x + 4 <= width; x += 4) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(raw + 4 * x));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(raw + 4 * x + 8));
        __m128i t[4];
        if (isSigned) {
            t[0] = _mm_srai_epi32(_mm_unpacklo_epi16(a, a), 16);
            t[1] = _mm_srai_epi32(_mm_unpackhi_epi16(a, a), 16);
            t[2] = _mm_srai_epi32(_mm_unpacklo_epi16(b, b), 16);
            t[3] = _mm_srai_epi32(_mm_unpackhi_epi16(b, b), 16);
        } else {
            t[0] = _mm_unpacklo_epi16(a, zero);
            t[1] = _mm_unpackhi_epi16(a, zero);
            t[2] = _mm_unpacklo_epi16(b, zero);
            t[3] = _mm_unpackhi_epi16(b, zero);
        }
        // Texels to channels: a 4 x 4 transpose.
        const __m128i t01l = _mm_unpacklo_epi32(t[0], t[1]); // x0 x1 y0 y1
        const __m128i t01h = _mm_unpackhi_epi32(t[0], t[1]); // z0 z1 w0 w1
        const __m128i t23l = _mm_unpacklo_epi32(t[2], t[3]);
        const __m128i t23h = _mm_unpackhi_epi32(t[2], t[3]);
        const __m128i c[4] = {_mm_unpacklo_epi64(t01l, t23l), _mm_unpackhi_epi64(t01l, t23l),
                              _mm_unpacklo_epi64(t01h, t23h), _mm_unpackhi_epi64(t01h, t23h)};
        for (unsigned ch = 0; ch < 4; ++ch) {
            if (!((mask >> ch) & 1)) continue;
            __m128 v = _mm_div_ps(_mm_cvtepi32_ps(c[ch]), scale);
            if (isSigned) v = _mm_max_ps(v, minusOne);
            _mm_storeu_ps(planes[ch] + x, v);
        }
    }
    for (; x < width; ++x)
        for (unsigned ch = 0; ch < 4; ++ch)
            if ((mask >> ch) & 1) planes[ch][x] = readChannel(raw[4 * x + ch], format);
}

} // namespace

void DecodedTexels::shape(int width, int height) {
    if (storage_ && width == width_ && height == height_) return;
    const int64_t row = width + 2 * kPad;
    const int64_t plane = row * (height + 2 * kPad);
    // Uninitialised: pages are touched only for the channels that get decoded. Eight spare
    // floats let a block read its last lanes with a full vector load.
    storage_.reset(new float[static_cast<size_t>(4 * plane + 16)]);
    width_ = width;
    height_ = height;
    rowFloats_ = row;
    planeFloats_ = plane;
    valid_ = padded_ = 0;
}

unsigned DecodedTexels::validChannels(const Surface& surface) const {
    return storage_ && version_ == surface.version() ? valid_ : 0;
}

void DecodedTexels::fillPadding(unsigned c, uint32_t addressU, uint32_t addressV, float border) {
    const int w = width_, h = height_;
    for (int y = 0; y < h; ++y) {
        float* r = row(c, y);
        for (int x = -kPad; x < 0; ++x) {
            const int64_t tx = shader::addressTexel(x, w, addressU);
            r[x] = tx < 0 ? border : r[tx];
        }
        for (int x = w; x < w + kPad; ++x) {
            const int64_t tx = shader::addressTexel(x, w, addressU);
            r[x] = tx < 0 ? border : r[tx];
        }
    }
    for (int y = -kPad; y < h + kPad; ++y) {
        if (y == 0) y = h;
        if (y >= h + kPad) break;
        const int64_t ty = shader::addressTexel(y, h, addressV);
        float* r = row(c, y) - kPad;
        if (ty < 0)
            std::fill_n(r, w + 2 * kPad, border);
        else
            std::memcpy(r, row(c, static_cast<int>(ty)) - kPad,
                        static_cast<size_t>(w + 2 * kPad) * sizeof(float));
    }
}

void DecodedTexels::prepare(const Surface& surface, unsigned mask, uint32_t addressU,
                            uint32_t addressV, const std::array<float, 4>& border, int threads) {
    sampled_ = true;
    prepareInterior(surface, mask, threads);
    if (padU_ != addressU || padV_ != addressV || border_ != border) {
        padU_ = addressU;
        padV_ = addressV;
        border_ = border;
        padded_ = 0;
    }
    for (unsigned c = 0; c < 4; ++c)
        if ((mask >> c) & 1 && !((padded_ >> c) & 1)) {
            fillPadding(c, addressU, addressV, border[c]);
            padded_ |= 1u << c;
        }
}

void DecodedTexels::prepareInterior(const Surface& surface, unsigned mask, int threads) {
    const D3DSURFACE_DESC& desc = surface.desc();
    shape(static_cast<int>(desc.Width), static_cast<int>(desc.Height));
    if (version_ != surface.version()) {
        version_ = surface.version();
        valid_ = padded_ = 0;
    }
    const unsigned missing = mask & ~valid_ & 0xF;
    if (missing) {
        const TexelFormat format = texelFormatOf(desc.Format);
        parallelRanges(threads, height_, [&](int64_t first, int64_t last) {
            for (int64_t y = first; y < last; ++y) {
                decodeRow(surface.bits() + static_cast<size_t>(y) * surface.pitch(), format,
                          missing, static_cast<int>(y));
            }
        });
        valid_ |= missing;
        padded_ &= ~missing;
    }
}

void DecodedTexels::shapeFor(const Surface& surface) {
    const D3DSURFACE_DESC& desc = surface.desc();
    shape(static_cast<int>(desc.Width), static_cast<int>(desc.Height));
    valid_ = padded_ = 0;
}

void DecodedTexels::replace(const Surface& surface, unsigned mask) {
    version_ = surface.version();
    valid_ = mask & 0xF;
    padded_ = 0;
}

void DecodedTexels::decodeRow(const uint8_t* texels, TexelFormat format, unsigned mask, int y) {
    float* planes[4];
    for (unsigned c = 0; c < 4; ++c) planes[c] = row(c, y);
    decodeTexels(texels, width_, format, mask, planes);
}

void DecodedTexels::adopt(const Surface& surface, unsigned mask) {
    valid_ &= mask;
    version_ = surface.version();
    padded_ = 0;
}

} // namespace kestrin::platform::d3d9
