// The per-pixel row work of the YUV4MPEG2 conversions: editor pixels (6-byte Y, Cb, Cr records)
// packed from and unpacked into separate sample rows. SSE2 where the compiler targets it (every
// x86-64, and the Windows build), eight pixels at a time; the same results from the scalar code
// that finishes each row and stands in elsewhere.
#pragma once

#include <cstdint>

#include "host/host_records.h"

namespace kestrin::hostsim::y4m {

// Host value -> code of one plane. Every map of the conversions is code = (v a + b) / 4096 with
// integers a < 65536 and b (see y4m_convert.h), so the exact result rounded half away from zero
// is (v a + b + 2048) >> 12 when that is 0 or more, and every negative result clamps to code 0.
// Values beyond +-8192 reach a clamped code on every such map, so clamping them first keeps the
// products within 32 bits.
struct CodeMap {
    int32_t a = 0, b = 0, top = 0;

    uint16_t operator()(int16_t value) const {
        const int32_t v = value < -kReach ? -kReach : value > kReach ? kReach : value;
        const int32_t code = (v * a + b + 2048) >> 12;
        return static_cast<uint16_t>(code < 0 ? 0 : code > top ? top : code);
    }
    static constexpr int32_t kReach = 8192;
};

// Code -> host value of one plane: the table, or where it gives the table's every entry, single
// precision arithmetic: (code - offset) * scale rounded half away from zero (so the answer does
// not depend on the rounding mode of conversions), saturated to 16 bits.
struct ValueMap {
    const int16_t* table = nullptr;
    bool linear = false;
    float offset = 0, scale = 0;

    int16_t linearValue(uint16_t code) const {
        const float x = (static_cast<float>(code) - offset) * scale;
        const float r = x + (x < 0 ? -0.5f : 0.5f);
        return r >= 32767.0f    ? int16_t(INT16_MAX)
               : r <= -32768.0f ? int16_t(INT16_MIN)
                                : int16_t(r);
    }
};

// out[i] = map(codes[i]).
void mapCodes(const uint16_t* codes, int32_t n, const ValueMap& map, int16_t* out);

// out[x] = {y[x], cb[x], cr[x]}.
void packPixels(const int16_t* y, const int16_t* cb, const int16_t* cr, YcPixel* out, int32_t n);

// One row of chroma interpolated across by two: for chroma samples i in [first, last], luma
// samples 2i and 2i + 1 take (w0 v[i + i0] + w1 v[i + i1] + 32) >> 6 with phase `even`'s and
// `odd`'s taps. v holds 16-bit values whose weighted sums stay within 16 bits.
struct PairTaps {
    int32_t i0, i1;
    int16_t w0, w1;
};
void interpolatePairs(const int16_t* v, int32_t first, int32_t last, PairTaps even, PairTaps odd,
                      int16_t* out);

// out[i] = map(v[i]).
void mapSamples(const int16_t* v, int32_t n, const CodeMap& map, uint16_t* out);

// out[x] = map(row[x].y).
void mapLuma(const YcPixel* row, int32_t n, const CodeMap& map, uint16_t* out);

// out[x] = map(row[x].cb), map(row[x].cr): the chroma of a frame that is not subsampled.
void mapChroma(const YcPixel* row, int32_t n, const CodeMap& map, uint16_t* cb, uint16_t* cr);

// sum[i] += v[2i] + v[2i + 1] for i < pairs.
void addSamplePairs(const int16_t* v, int32_t pairs, int32_t* sum);

// sumCb[i] += row[2i].cb + row[2i + 1].cb, likewise Cr, for i < pairs.
void addChromaPairs(const YcPixel* row, int32_t pairs, int32_t* sumCb, int32_t* sumCr);

} // namespace kestrin::hostsim::y4m
