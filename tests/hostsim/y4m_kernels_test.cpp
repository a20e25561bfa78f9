// The conversions' row kernels against plain loops, on rows of every length up to a few vector
// widths (so each tail and the guard against reading past a row's end are crossed) and values
// at the ends of the 16-bit range; and the back maps against the line they stand for.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "hostsim/y4m_convert.h"
#include "hostsim/y4m_kernels.h"

namespace kestrin::hostsim::y4m {
namespace {

int16_t randomValue(std::mt19937& rng) {
    // Mostly the editor's range, now and then anything at all, often the extremes.
    switch (rng() % 8) {
    case 0:
        return INT16_MIN;
    case 1:
        return INT16_MAX;
    case 2:
        return static_cast<int16_t>(rng());
    default:
        return static_cast<int16_t>(static_cast<int32_t>(rng() % 8193) - 2048);
    }
}

// Rows in a buffer of exactly their size, so that reading a byte past the end is caught by
// AddressSanitizer.
std::vector<YcPixel> randomRow(std::mt19937& rng, int32_t n) {
    std::vector<YcPixel> row(static_cast<size_t>(n));
    for (YcPixel& p : row) p = {randomValue(rng), randomValue(rng), randomValue(rng)};
    return row;
}

const SampleMaps& someMaps(int k) {
    static const SampleMaps maps[] = {{8, false}, {8, true}, {10, false}, {16, true}, {16, false}};
    return maps[k % 5];
}

TEST(Y4mKernels, EveryRowLengthMatchesThePlainLoops) {
    std::mt19937 rng(7);
    for (int32_t n = 0; n <= 40; ++n) {
        SCOPED_TRACE("length " + std::to_string(n));
        const SampleMaps& maps = someMaps(n);
        const std::vector<YcPixel> row = randomRow(rng, n);

        std::vector<int16_t> y(n), cb(n), cr(n);
        for (int32_t x = 0; x < n; ++x) {
            y[x] = row[x].y;
            cb[x] = row[x].cb;
            cr[x] = row[x].cr;
        }
        std::vector<YcPixel> packed(static_cast<size_t>(n));
        packPixels(y.data(), cb.data(), cr.data(), packed.data(), n);
        for (int32_t x = 0; x < n; ++x)
            ASSERT_TRUE(packed[x].y == y[x] && packed[x].cb == cb[x] && packed[x].cr == cr[x])
                << "pixel " << x;

        std::vector<uint16_t> codes(n);
        for (uint16_t& c : codes) c = static_cast<uint16_t>(rng() % (1u << maps.bits()));
        std::vector<int16_t> in(n);
        mapCodes(codes.data(), n, maps.lumaIn(), in.data());
        for (int32_t x = 0; x < n; ++x) ASSERT_EQ(in[x], maps.lumaToHost(codes[x])) << "code " << x;

        std::vector<uint16_t> luma(n), mcb(n), mcr(n), samples(n);
        mapSamples(y.data(), n, maps.lumaOut(), samples.data());
        for (int32_t x = 0; x < n; ++x)
            ASSERT_EQ(samples[x], maps.lumaFromHost(y[x])) << "sample " << x;
        mapLuma(row.data(), n, maps.lumaOut(), luma.data());
        mapChroma(row.data(), n, maps.chromaOut(), mcb.data(), mcr.data());
        for (int32_t x = 0; x < n; ++x) {
            ASSERT_EQ(luma[x], maps.lumaFromHost(row[x].y)) << "pixel " << x;
            ASSERT_EQ(mcb[x], maps.chromaFromHost(row[x].cb)) << "pixel " << x;
            ASSERT_EQ(mcr[x], maps.chromaFromHost(row[x].cr)) << "pixel " << x;
        }

        const int32_t pairs = n / 2;
        std::vector<int32_t> sumCb(pairs), sumCr(pairs), sumY(pairs);
        for (int32_t i = 0; i < pairs; ++i)
            sumCb[i] = sumCr[i] = sumY[i] = static_cast<int32_t>(rng() % 1000);
        std::vector<int32_t> wantCb = sumCb, wantCr = sumCr, wantY = sumY;
        addChromaPairs(row.data(), pairs, sumCb.data(), sumCr.data());
        addSamplePairs(y.data(), pairs, sumY.data());
        for (int32_t i = 0; i < pairs; ++i) {
            ASSERT_EQ(sumCb[i], wantCb[i] + row[2 * i].cb + row[2 * i + 1].cb) << "pair " << i;
            ASSERT_EQ(sumCr[i], wantCr[i] + row[2 * i].cr + row[2 * i + 1].cr) << "pair " << i;
            ASSERT_EQ(sumY[i], wantY[i] + y[2 * i] + y[2 * i + 1]) << "pair " << i;
        }
    }
}

// The way in: every code of every depth and range through mapCodes equals the table (rounded
// in double), with the arithmetic where it stands in for the table and with the table itself.
// The arithmetic covers every limited range and the full ranges up to 11 bits (luma) and 13
// (chroma); beyond, (2^b - 1) / 4096 steps put values too near halves for single precision.
TEST(Y4mKernels, WayInGivesTheTableForEveryCode) {
    std::vector<uint16_t> codes(65536 + 7);
    for (size_t c = 0; c < codes.size(); ++c) codes[c] = static_cast<uint16_t>(c);
    std::vector<int16_t> values(codes.size());
    for (int bits = 8; bits <= 16; ++bits)
        for (bool full : {false, true}) {
            SCOPED_TRACE(std::to_string(bits) + (full ? " full" : " limited"));
            const SampleMaps maps(bits, full);
            EXPECT_EQ(maps.lumaIn().linear, !full || bits <= 11);
            EXPECT_EQ(maps.chromaIn().linear, !full || bits <= 13);
            EXPECT_TRUE(maps.chromaBlendsNarrow());
            const auto n = static_cast<int32_t>(1u << bits);
            for (bool luma : {true, false}) {
                ValueMap map = luma ? maps.lumaIn() : maps.chromaIn();
                for (bool linear : {map.linear, false}) {
                    map.linear = linear;
                    for (int32_t length : {n, n - 3}) { // the vector loop and a tail
                        std::fill(values.begin(), values.end(), int16_t(0x5555));
                        mapCodes(codes.data(), length, map, values.data());
                        int wrong = 0;
                        for (int32_t c = 0; c < length; ++c)
                            wrong += values[c] != (luma ? maps.lumaToHost(uint16_t(c))
                                                        : maps.chromaToHost(uint16_t(c)));
                        EXPECT_EQ(wrong, 0) << (luma ? "luma" : "chroma") << " linear " << linear;
                        EXPECT_EQ(values[length], int16_t(0x5555)) << "written past the end";
                    }
                }
            }
        }
}

// The way back is integer arithmetic; it must equal the line itself, evaluated exactly (in
// double every term here is exact) and rounded half away from zero, for every host value, and
// the vector kernels must agree with it for every value too.
TEST(Y4mKernels, WayBackIsTheLineRoundedToNearest) {
    std::vector<YcPixel> everyValue(65536 + 10);
    for (int32_t v = INT16_MIN; v <= INT16_MAX; ++v) {
        const auto s = static_cast<int16_t>(v);
        everyValue[static_cast<size_t>(v - INT16_MIN)] = {s, s, s};
    }
    const auto n = static_cast<int32_t>(everyValue.size());
    std::vector<uint16_t> luma(everyValue.size()), cb(luma.size()), cr(luma.size());
    for (int bits = 8; bits <= 16; ++bits)
        for (bool full : {false, true}) {
            SCOPED_TRACE(std::to_string(bits) + (full ? " full" : " limited"));
            const SampleMaps maps(bits, full);
            const double codes = double(1u << bits), s = double(1u << (bits - 8));
            const double lumaSlope = full ? (codes - 1) / 4096 : 219 * s / 4096;
            const double lumaOffset = full ? 0 : 16 * s;
            const double chromaSlope = full ? (codes - 1) / 4096 : 224 * s / 4096;
            const double chromaOffset = full ? (codes - 1) / 2 : 128 * s;
            mapLuma(everyValue.data(), n, maps.lumaOut(), luma.data());
            mapChroma(everyValue.data(), n, maps.chromaOut(), cb.data(), cr.data());
            int wrong = 0;
            for (int32_t v = INT16_MIN; v <= INT16_MAX; ++v) {
                const auto line = [&](double slope, double offset) {
                    return uint16_t(std::clamp(std::round(v * slope + offset), 0.0, codes - 1));
                };
                const size_t k = static_cast<size_t>(v - INT16_MIN);
                const uint16_t wantLuma = line(lumaSlope, lumaOffset);
                const uint16_t wantChroma = line(chromaSlope, chromaOffset);
                wrong += maps.lumaFromHost(int16_t(v)) != wantLuma || luma[k] != wantLuma;
                wrong += maps.chromaFromHost(int16_t(v)) != wantChroma || cb[k] != wantChroma ||
                         cr[k] != wantChroma;
            }
            EXPECT_EQ(wrong, 0);
        }
}

} // namespace
} // namespace kestrin::hostsim::y4m
