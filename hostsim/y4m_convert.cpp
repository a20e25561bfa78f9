#include "hostsim/y4m_convert.h"

#include <algorithm>
#include <cmath>

namespace kestrin::hostsim::y4m {
namespace {

constexpr double kLumaSpan = 4096.0;
constexpr double kChromaSpan = 4096.0; // -2048 .. 2048

int16_t clampHost(int32_t v) {
    return static_cast<int16_t>(std::clamp<int32_t>(v, INT16_MIN, INT16_MAX));
}

int32_t floorDiv(int32_t a, int32_t b) {
    const int32_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// One output sample of an axis: two input samples and their weights, out of 8.
struct Tap {
    int32_t i0, i1;
    int32_t w0, w1;
};

// Chroma sample i of an axis subsampled by `factor` sits at luma position (i + 1/2) factor - 1/2
// when centred, at i factor when with the first luma sample. Positions past the edges take the
// edge sample.
std::vector<Tap> axisTaps(int32_t lumaSize, int32_t chromaSize, int factor, bool centred) {
    std::vector<Tap> taps(static_cast<size_t>(lumaSize));
    const int32_t denominator = 2 * factor;
    for (int32_t x = 0; x < lumaSize; ++x) {
        // The chroma position of luma sample x, in units of 1 / (2 factor).
        const int32_t numerator = 2 * x - (centred ? factor - 1 : 0);
        const int32_t i0 = floorDiv(numerator, denominator);
        const int32_t w1 = (numerator - i0 * denominator) * 8 / denominator;
        auto clampIndex = [&](int32_t i) { return std::clamp<int32_t>(i, 0, chromaSize - 1); };
        taps[size_t(x)] = {clampIndex(i0), clampIndex(i0 + 1), 8 - w1, w1};
    }
    return taps;
}

bool centredAcross(const Layout& l) {
    return l.siting == Siting::Center && l.chromaX > 1;
}
bool centredDown(const Layout& l) {
    return l.siting != Siting::TopLeft && l.chromaY > 1;
}

// A chroma plane on the host's scale, interpolated to one sample per pixel.
void upsample(const std::vector<int16_t>& chroma, const PlaneSizes& sizes, const Layout& layout,
              std::vector<int16_t>& full) {
    const int32_t w = sizes.lumaWidth, h = sizes.lumaHeight, cw = sizes.chromaWidth;
    full.resize(size_t(w) * h);
    if (layout.chromaX == 1 && layout.chromaY == 1) {
        full = chroma;
        return;
    }
    const std::vector<Tap> across = axisTaps(w, cw, layout.chromaX, centredAcross(layout));
    const std::vector<Tap> down =
        axisTaps(h, sizes.chromaHeight, layout.chromaY, centredDown(layout));
    std::vector<int32_t> row(static_cast<size_t>(cw));
    for (int32_t y = 0; y < h; ++y) {
        const Tap& v = down[size_t(y)];
        const int16_t* r0 = &chroma[size_t(v.i0) * cw];
        const int16_t* r1 = &chroma[size_t(v.i1) * cw];
        for (int32_t i = 0; i < cw; ++i) row[size_t(i)] = v.w0 * r0[i] + v.w1 * r1[i];
        int16_t* out = &full[size_t(y) * w];
        for (int32_t x = 0; x < w; ++x) {
            const Tap& t = across[size_t(x)];
            out[x] = clampHost((t.w0 * row[size_t(t.i0)] + t.w1 * row[size_t(t.i1)] + 32) >> 6);
        }
    }
}

// The mean over the pixels each chroma sample of `layout` covers of `value(x, y)`, rounded.
template <class Value>
void blockMeans(const PlaneSizes& sizes, const Layout& layout, Value value,
                std::vector<int32_t>& means) {
    const int32_t fx = layout.chromaX, fy = layout.chromaY, n = fx * fy;
    means.assign(size_t(sizes.chromaWidth) * sizes.chromaHeight, 0);
    for (int32_t y = 0; y < sizes.lumaHeight; ++y) {
        int32_t* row = &means[size_t(y / fy) * sizes.chromaWidth];
        for (int32_t x = 0; x < sizes.lumaWidth; ++x) row[x / fx] += value(x, y);
    }
    for (int32_t& m : means) m = floorDiv(m + n / 2, n);
}

} // namespace

SampleMaps::SampleMaps(int bits, bool fullRange) : bits_(bits) {
    const uint32_t codes = 1u << bits;
    const double s = double(1u << (bits - 8));
    // code = host * slope + offset, for either plane.
    const double lumaSlope = fullRange ? (codes - 1) / kLumaSpan : 219.0 * s / kLumaSpan;
    const double lumaOffset = fullRange ? 0.0 : 16.0 * s;
    const double chromaSlope = fullRange ? (codes - 1) / kChromaSpan : 224.0 * s / kChromaSpan;
    const double chromaOffset = fullRange ? (codes - 1) / 2.0 : 128.0 * s;
    lumaIn_.resize(codes);
    chromaIn_.resize(codes);
    for (uint32_t c = 0; c < codes; ++c) {
        lumaIn_[c] = clampHost(int32_t(std::lround((c - lumaOffset) / lumaSlope)));
        chromaIn_[c] = clampHost(int32_t(std::lround((c - chromaOffset) / chromaSlope)));
    }
    lumaOut_.resize(65536);
    chromaOut_.resize(65536);
    const double top = codes - 1;
    for (uint32_t i = 0; i < 65536; ++i) {
        const double v = int32_t(i) - 32768;
        lumaOut_[i] = uint16_t(std::clamp(std::round(v * lumaSlope + lumaOffset), 0.0, top));
        chromaOut_[i] = uint16_t(std::clamp(std::round(v * chromaSlope + chromaOffset), 0.0, top));
    }
}

void toHost(const Planes& planes, const Header& header, const SampleMaps& maps,
            std::vector<YcPixel>& frame) {
    PlaneSizes sizes{};
    planeSizes(header.width, header.height, header.layout, sizes);
    const size_t pixels = size_t(sizes.lumaWidth) * sizes.lumaHeight;
    frame.resize(pixels);
    if (header.layout.mono()) {
        for (size_t i = 0; i < pixels; ++i) frame[i] = {maps.lumaToHost(planes.y[i]), 0, 0};
        return;
    }
    std::vector<int16_t> cb(planes.cb.size()), cr(planes.cr.size()), fullCb, fullCr;
    for (size_t i = 0; i < cb.size(); ++i) {
        cb[i] = maps.chromaToHost(planes.cb[i]);
        cr[i] = maps.chromaToHost(planes.cr[i]);
    }
    upsample(cb, sizes, header.layout, fullCb);
    upsample(cr, sizes, header.layout, fullCr);
    for (size_t i = 0; i < pixels; ++i)
        frame[i] = {maps.lumaToHost(planes.y[i]), fullCb[i], fullCr[i]};
}

void fromHost(const YcPixel* filtered, int32_t pitch, const Planes& source, const Header& inHeader,
              const SampleMaps& inMaps, const Header& outHeader, const SampleMaps& outMaps,
              Planes& out) {
    PlaneSizes sizes{};
    planeSizes(outHeader.width, outHeader.height, outHeader.layout, sizes);
    const int32_t w = sizes.lumaWidth, h = sizes.lumaHeight;
    auto at = [&](int32_t x, int32_t y) -> const YcPixel& {
        return filtered[size_t(y) * pitch + x];
    };
    out.y.resize(size_t(w) * h);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) out.y[size_t(y) * w + x] = outMaps.lumaFromHost(at(x, y).y);
    out.cb.clear();
    out.cr.clear();
    const Layout& layout = outHeader.layout;
    if (layout.mono()) return;

    std::vector<int32_t> cb, cr;
    const Layout& inLayout = inHeader.layout;
    const bool sameChroma = !inLayout.mono() && inLayout.chromaX == layout.chromaX &&
                            inLayout.chromaY == layout.chromaY && inLayout.siting == layout.siting;
    if (sameChroma && (layout.chromaX > 1 || layout.chromaY > 1)) {
        // The stream's own chroma plus the mean change the filter made over its pixels.
        PlaneSizes inSizes{};
        planeSizes(inHeader.width, inHeader.height, inLayout, inSizes);
        auto residual = [&](const std::vector<uint16_t>& codes, int16_t YcPixel::*channel,
                            std::vector<int32_t>& result) {
            std::vector<int16_t> chroma(codes.size()), before;
            for (size_t i = 0; i < codes.size(); ++i) chroma[i] = inMaps.chromaToHost(codes[i]);
            upsample(chroma, inSizes, inLayout, before);
            blockMeans(
                sizes, layout,
                [&](int32_t x, int32_t y) {
                    return int32_t(at(x, y).*channel) - before[size_t(y) * w + x];
                },
                result);
            for (size_t i = 0; i < result.size(); ++i) result[i] += chroma[i];
        };
        residual(source.cb, &YcPixel::cb, cb);
        residual(source.cr, &YcPixel::cr, cr);
    } else {
        blockMeans(
            sizes, layout, [&](int32_t x, int32_t y) { return int32_t(at(x, y).cb); }, cb);
        blockMeans(
            sizes, layout, [&](int32_t x, int32_t y) { return int32_t(at(x, y).cr); }, cr);
    }
    out.cb.resize(cb.size());
    out.cr.resize(cr.size());
    for (size_t i = 0; i < cb.size(); ++i) {
        out.cb[i] = outMaps.chromaFromHost(clampHost(cb[i]));
        out.cr[i] = outMaps.chromaFromHost(clampHost(cr[i]));
    }
}

} // namespace kestrin::hostsim::y4m
