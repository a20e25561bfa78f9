#include "hostsim/y4m_kernels.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kestrin::hostsim::y4m {
namespace {

#if defined(__SSE2__)
// Channel c (0 Y, 1 Cb, 2 Cr) of pixels x .. x + 7 of `row`. Each load starts at a pixel's
// channel, so that channel of that pixel and the next sit in words 0 and 3; the last load ends
// 28 words past x's, hence callers keep x + 10 <= n.
__m128i channelOf(const YcPixel* row, int32_t x, int c) {
    const auto* words = reinterpret_cast<const int16_t*>(row) + 3 * x + c;
    auto two = [&](int k) { // pixels x + 2k, x + 2k + 1 in words 0 and 1
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(words + 6 * k));
        return _mm_shufflelo_epi16(v, _MM_SHUFFLE(3, 3, 3, 0));
    };
    const __m128i lo = _mm_unpacklo_epi32(two(0), two(1));
    const __m128i hi = _mm_unpacklo_epi32(two(2), two(3));
    return _mm_unpacklo_epi64(lo, hi);
}

// Eight host values to codes; see CodeMap. u = v + 8192 lies in [0, 16384], u a fits in 30 bits,
// and u a + (b + 2048 - 8192 a) = v a + b + 2048.
struct VectorMap {
    __m128i a, offset, reachLo, reachHi, bias, top, flip;
    explicit VectorMap(const CodeMap& m)
        : a(_mm_set1_epi16(static_cast<int16_t>(m.a))),
          offset(_mm_set1_epi32(m.b + 2048 - CodeMap::kReach * m.a)),
          reachLo(_mm_set1_epi16(-CodeMap::kReach)), reachHi(_mm_set1_epi16(CodeMap::kReach)),
          bias(_mm_set1_epi16(CodeMap::kReach)),
          top(_mm_set1_epi16(static_cast<int16_t>(m.top - 32768))),
          flip(_mm_set1_epi16(static_cast<int16_t>(0x8000))) {}

    __m128i operator()(__m128i v) const {
        const __m128i u = _mm_add_epi16(_mm_min_epi16(_mm_max_epi16(v, reachLo), reachHi), bias);
        const __m128i lo = _mm_mullo_epi16(u, a), hi = _mm_mulhi_epu16(u, a);
        const __m128i shift = _mm_set1_epi32(32768);
        const __m128i c0 = _mm_srai_epi32(_mm_add_epi32(_mm_unpacklo_epi16(lo, hi), offset), 12);
        const __m128i c1 = _mm_srai_epi32(_mm_add_epi32(_mm_unpackhi_epi16(lo, hi), offset), 12);
        // codes - 32768, saturated to int16: codes clamped to [0, 65535]; then to top
        const __m128i s = _mm_packs_epi32(_mm_sub_epi32(c0, shift), _mm_sub_epi32(c1, shift));
        return _mm_xor_si128(_mm_min_epi16(s, top), flip);
    }
};
#endif

} // namespace

void mapCodes(const uint16_t* codes, int32_t n, const ValueMap& map, int16_t* out) {
    int32_t i = 0;
    if (!map.linear) {
        for (; i < n; ++i) out[i] = map.table[codes[i]];
        return;
    }
#if defined(__SSE2__)
    const __m128 offset = _mm_set1_ps(map.offset), scale = _mm_set1_ps(map.scale);
    const __m128 half = _mm_set1_ps(0.5f), sign = _mm_set1_ps(-0.0f);
    const __m128i zero = _mm_setzero_si128();
    auto value = [&](__m128i c) { // four 32-bit codes
        const __m128 x = _mm_mul_ps(_mm_sub_ps(_mm_cvtepi32_ps(c), offset), scale);
        const __m128 r = _mm_add_ps(x, _mm_or_ps(half, _mm_and_ps(x, sign)));
        return _mm_cvttps_epi32(r);
    };
    for (; i + 8 <= n; i += 8) {
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(codes + i));
        const __m128i v =
            _mm_packs_epi32(value(_mm_unpacklo_epi16(c, zero)), value(_mm_unpackhi_epi16(c, zero)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), v);
    }
#endif
    for (; i < n; ++i) out[i] = map.linearValue(codes[i]);
}

void packPixels(const int16_t* y, const int16_t* cb, const int16_t* cr, YcPixel* out, int32_t n) {
    int32_t x = 0;
#if defined(__SSE2__)
    // Each pixel goes out as 8 bytes (Y, Cb, Cr, 0) whose last two the next pixel overwrites;
    // the eighth pixel's spill lands on pixel x + 8, which must exist and is written after.
    auto* bytes = reinterpret_cast<char*>(out);
    const __m128i zero = _mm_setzero_si128();
    for (; x + 9 <= n; x += 8) {
        const __m128i vy = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y + x));
        const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cb + x));
        const __m128i vr = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cr + x));
        const __m128i yb0 = _mm_unpacklo_epi16(vy, vb), yb1 = _mm_unpackhi_epi16(vy, vb);
        const __m128i r0 = _mm_unpacklo_epi16(vr, zero), r1 = _mm_unpackhi_epi16(vr, zero);
        const __m128i pairs[4] = {_mm_unpacklo_epi32(yb0, r0), _mm_unpackhi_epi32(yb0, r0),
                                  _mm_unpacklo_epi32(yb1, r1), _mm_unpackhi_epi32(yb1, r1)};
        char* at = bytes + 6 * static_cast<size_t>(x);
        for (int k = 0; k < 4; ++k) {
            _mm_storel_epi64(reinterpret_cast<__m128i*>(at + 12 * k), pairs[k]);
            _mm_storeh_pi(reinterpret_cast<__m64*>(at + 12 * k + 6), _mm_castsi128_ps(pairs[k]));
        }
    }
#endif
    for (; x < n; ++x) out[x] = {y[x], cb[x], cr[x]};
}

void interpolatePairs(const int16_t* v, int32_t first, int32_t last, PairTaps even, PairTaps odd,
                      int16_t* out) {
    int32_t i = first;
#if defined(__SSE2__)
    const __m128i we =
        _mm_set1_epi32(int32_t(uint16_t(even.w0)) | int32_t(uint16_t(even.w1)) << 16);
    const __m128i wo = _mm_set1_epi32(int32_t(uint16_t(odd.w0)) | int32_t(uint16_t(odd.w1)) << 16);
    const __m128i half = _mm_set1_epi32(32);
    auto load = [&](int32_t at) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + at));
    };
    // (w0 p + w1 q + 32) >> 6 for the four (p, q) pairs in `pq`.
    auto weigh = [&](__m128i pq, __m128i w) {
        return _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(pq, w), half), 6);
    };
    for (; i + 7 <= last; i += 8) {
        const __m128i e0 = load(i + even.i0), e1 = load(i + even.i1);
        const __m128i o0 = load(i + odd.i0), o1 = load(i + odd.i1);
        const __m128i eLo = weigh(_mm_unpacklo_epi16(e0, e1), we);
        const __m128i eHi = weigh(_mm_unpackhi_epi16(e0, e1), we);
        const __m128i oLo = weigh(_mm_unpacklo_epi16(o0, o1), wo);
        const __m128i oHi = weigh(_mm_unpackhi_epi16(o0, o1), wo);
        __m128i* at = reinterpret_cast<__m128i*>(out + 2 * i);
        _mm_storeu_si128(
            at, _mm_packs_epi32(_mm_unpacklo_epi32(eLo, oLo), _mm_unpackhi_epi32(eLo, oLo)));
        _mm_storeu_si128(
            at + 1, _mm_packs_epi32(_mm_unpacklo_epi32(eHi, oHi), _mm_unpackhi_epi32(eHi, oHi)));
    }
#endif
    for (; i <= last; ++i) {
        out[2 * i] = int16_t((even.w0 * v[i + even.i0] + even.w1 * v[i + even.i1] + 32) >> 6);
        out[2 * i + 1] = int16_t((odd.w0 * v[i + odd.i0] + odd.w1 * v[i + odd.i1] + 32) >> 6);
    }
}

void mapSamples(const int16_t* v, int32_t n, const CodeMap& map, uint16_t* out) {
    int32_t i = 0;
#if defined(__SSE2__)
    const VectorMap vmap(map);
    for (; i + 8 <= n; i += 8) {
        const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), vmap(in));
    }
#endif
    for (; i < n; ++i) out[i] = map(v[i]);
}

void mapLuma(const YcPixel* row, int32_t n, const CodeMap& map, uint16_t* out) {
    int32_t x = 0;
#if defined(__SSE2__)
    const VectorMap vmap(map);
    for (; x + 10 <= n; x += 8)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), vmap(channelOf(row, x, 0)));
#endif
    for (; x < n; ++x) out[x] = map(row[x].y);
}

void mapChroma(const YcPixel* row, int32_t n, const CodeMap& map, uint16_t* cb, uint16_t* cr) {
    int32_t x = 0;
#if defined(__SSE2__)
    const VectorMap vmap(map);
    for (; x + 10 <= n; x += 8) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(cb + x), vmap(channelOf(row, x, 1)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(cr + x), vmap(channelOf(row, x, 2)));
    }
#endif
    for (; x < n; ++x) {
        cb[x] = map(row[x].cb);
        cr[x] = map(row[x].cr);
    }
}

void addSamplePairs(const int16_t* v, int32_t pairs, int32_t* sum) {
    int32_t i = 0;
#if defined(__SSE2__)
    const __m128i ones = _mm_set1_epi16(1);
    for (; i + 4 <= pairs; i += 4) {
        __m128i* at = reinterpret_cast<__m128i*>(sum + i);
        const __m128i both = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + 2 * i));
        _mm_storeu_si128(at, _mm_add_epi32(_mm_loadu_si128(at), _mm_madd_epi16(both, ones)));
    }
#endif
    for (; i < pairs; ++i) sum[i] += v[2 * i] + v[2 * i + 1];
}

void addChromaPairs(const YcPixel* row, int32_t pairs, int32_t* sumCb, int32_t* sumCr) {
    int32_t i = 0;
#if defined(__SSE2__)
    const __m128i ones = _mm_set1_epi16(1);
    for (; 2 * i + 10 <= 2 * pairs; i += 4) {
        __m128i* b = reinterpret_cast<__m128i*>(sumCb + i);
        __m128i* r = reinterpret_cast<__m128i*>(sumCr + i);
        const __m128i pb = _mm_madd_epi16(channelOf(row, 2 * i, 1), ones);
        const __m128i pr = _mm_madd_epi16(channelOf(row, 2 * i, 2), ones);
        _mm_storeu_si128(b, _mm_add_epi32(_mm_loadu_si128(b), pb));
        _mm_storeu_si128(r, _mm_add_epi32(_mm_loadu_si128(r), pr));
    }
#endif
    for (; i < pairs; ++i) {
        sumCb[i] += row[2 * i].cb + row[2 * i + 1].cb;
        sumCr[i] += row[2 * i].cr + row[2 * i + 1].cr;
    }
}

} // namespace kestrin::hostsim::y4m
