#include "hostsim/y4m_convert.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <type_traits>

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

// One row of the vertical interpolation: w0 a[i] + w1 b[i] (weights out of 8). Products of
// 16-bit values, so the loop vectorises with the baseline instruction set.
void blendRows(const int16_t* __restrict a, const int16_t* __restrict b, int16_t w0, int16_t w1,
               int32_t* __restrict out, int32_t n) {
    for (int32_t i = 0; i < n; ++i) out[i] = int32_t(a[i]) * w0 + int32_t(b[i]) * w1;
}
// The same when the sums fit in 16 bits (see SampleMaps::chromaBlendsNarrow).
void blendRows(const int16_t* __restrict a, const int16_t* __restrict b, int16_t w0, int16_t w1,
               int16_t* __restrict out, int32_t n) {
    for (int32_t i = 0; i < n; ++i) out[i] = int16_t(a[i] * w0 + b[i] * w1);
}

// The horizontal interpolation of one row, (w0 v[i0] + w1 v[i1] + 32) >> 6 for each luma
// sample (v already carries the vertical weights, out of 8). Away from the edges every luma
// sample of one phase (x mod factor) takes the same taps relative to its chroma sample, so those
// runs go without the tap table.
class RowInterpolator {
  public:
    RowInterpolator(int32_t width, int32_t chromaWidth, int factor, bool centred)
        : width_(width), factor_(factor), taps_(axisTaps(width, chromaWidth, factor, centred)) {
        // Relative taps from a luma sample well inside the row (the same for every inner one).
        const int32_t k = 2;
        interior_ = chromaWidth >= 2 * k + 2;
        if (!interior_) return;
        for (int p = 0; p < factor; ++p) {
            const Tap& t = taps_[size_t(factor * k + p)];
            phases_[p] = {t.i0 - k, t.i1 - k, t.w0, t.w1};
            first_ = std::max(first_, -std::min(phases_[p].i0, phases_[p].i1));
            last_ = std::min(last_, chromaWidth - 1 - std::max(phases_[p].i0, phases_[p].i1));
        }
        last_ = std::min(last_, (width - factor) / factor); // whole groups inside the row
    }

    // v: 32-bit sums, or 16-bit ones when they fit.
    template <class T> void run(const T* __restrict v, int16_t* __restrict out) const {
        if (!interior_) {
            for (int32_t x = 0; x < width_; ++x) out[x] = at(v, x);
            return;
        }
        const int32_t f = factor_;
        for (int32_t x = 0; x < f * first_; ++x) out[x] = at(v, x);
        if (f == 2 && std::is_same_v<T, int16_t>) {
            auto taps = [](const Tap& t) {
                return PairTaps{t.i0, t.i1, int16_t(t.w0), int16_t(t.w1)};
            };
            interpolatePairs(reinterpret_cast<const int16_t*>(v), first_, last_, taps(phases_[0]),
                             taps(phases_[1]), out);
        } else if (f == 2) {
            // Both phases in one pass: the stores interleave and the loop vectorises.
            const Tap a = phases_[0], b = phases_[1];
            for (int32_t i = first_; i <= last_; ++i) {
                out[2 * i] = int16_t((a.w0 * v[i + a.i0] + a.w1 * v[i + a.i1] + 32) >> 6);
                out[2 * i + 1] = int16_t((b.w0 * v[i + b.i0] + b.w1 * v[i + b.i1] + 32) >> 6);
            }
        } else {
            for (int p = 0; p < f; ++p) {
                const Tap t = phases_[p];
                for (int32_t i = first_; i <= last_; ++i)
                    out[f * i + p] = int16_t((t.w0 * v[i + t.i0] + t.w1 * v[i + t.i1] + 32) >> 6);
            }
        }
        for (int32_t x = f * (last_ + 1); x < width_; ++x) out[x] = at(v, x);
    }

  private:
    template <class T> int16_t at(const T* v, int32_t x) const {
        const Tap& t = taps_[size_t(x)];
        return int16_t((t.w0 * v[t.i0] + t.w1 * v[t.i1] + 32) >> 6);
    }

    int32_t width_;
    int factor_;
    std::vector<Tap> taps_;
    bool interior_ = false;
    Tap phases_[4] = {};
    int32_t first_ = 0, last_ = INT32_MAX;
};

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
    // Slopes and offsets times 4096 are the integers 219s, 224s or 2^b - 1, and 16s 4096,
    // 128s 4096, 0 or (2^b - 1) 2048.
    const auto top = int32_t(codes - 1);
    lumaOut_ = {int32_t(lumaSlope * 4096), int32_t(lumaOffset * 4096), top};
    chromaOut_ = {int32_t(chromaSlope * 4096), int32_t(chromaOffset * 4096), top};
    // The tables as arithmetic where that gives every entry (every limited range, the full
    // ranges up to 11 or 13 bits): the conversions then run without a lookup per sample.
    auto valueMap = [&](const std::vector<int16_t>& table, double slope, double offset) {
        ValueMap m{table.data(), false, float(offset), float(1.0 / slope)};
        m.linear = true;
        for (uint32_t c = 0; c < codes && m.linear; ++c)
            m.linear = m.linearValue(uint16_t(c)) == table[c];
        return m;
    };
    lumaInMap_ = valueMap(lumaIn_, lumaSlope, lumaOffset);
    chromaInMap_ = valueMap(chromaIn_, chromaSlope, chromaOffset);
    int32_t reach = 0;
    for (int16_t v : chromaIn_) reach = std::max(reach, std::abs(int32_t(v)));
    chromaBlendsNarrow_ = 8 * reach <= INT16_MAX;
}

namespace {

// Calls fn(first, end) for bands of [0, rows) whose ends are multiples of `align` (the last may
// be cut short): one band per thread of `pool`, or all rows at once on this thread.
template <class Fn> void forBands(ThreadPool* pool, int32_t rows, int32_t align, const Fn& fn) {
    if (!pool || pool->size() < 2 || rows < 2 * align) {
        fn(0, rows);
        return;
    }
    struct Job {
        const Fn* fn;
        int32_t rows, align;
    } job{&fn, rows, align};
    pool->run(
        [](int32_t index, int32_t count, void* p, void*) {
            const Job& j = *static_cast<const Job*>(p);
            const int32_t groups = (j.rows + j.align - 1) / j.align;
            const int32_t first = groups * index / count * j.align;
            const int32_t end = std::min(j.rows, groups * (index + 1) / count * j.align);
            if (first < end) (*j.fn)(first, end);
        },
        &job, nullptr);
}

} // namespace

void toHost(const Planes& planes, const Header& header, const SampleMaps& maps,
            std::vector<YcPixel>& frame, SourceChroma* source, ThreadPool* pool) {
    PlaneSizes sizes{};
    planeSizes(header.width, header.height, header.layout, sizes);
    const Layout& layout = header.layout;
    const int32_t w = sizes.lumaWidth, h = sizes.lumaHeight;
    const int32_t cw = sizes.chromaWidth, ch = sizes.chromaHeight;
    frame.resize(size_t(w) * h);
    if (source) { // emptied, its buffers kept for this frame
        source->cb.clear();
        source->cr.clear();
        source->sumCb.clear();
        source->sumCr.clear();
    }
    const ValueMap lumaIn = maps.lumaIn(), chromaIn = maps.chromaIn();

    if (layout.mono() || (layout.chromaX == 1 && layout.chromaY == 1)) {
        const bool mono = layout.mono();
        forBands(pool, h, 1, [&](int32_t first, int32_t end) {
            std::vector<int16_t> y(static_cast<size_t>(w)), cb(y.size(), 0), cr(y.size(), 0);
            for (int32_t row = first; row < end; ++row) {
                const size_t at = size_t(row) * w;
                mapCodes(&planes.y[at], w, lumaIn, y.data());
                if (!mono) {
                    mapCodes(&planes.cb[at], w, chromaIn, cb.data());
                    mapCodes(&planes.cr[at], w, chromaIn, cr.data());
                }
                packPixels(y.data(), cb.data(), cr.data(), &frame[at], w);
            }
        });
        return;
    }

    // Chroma on the host's scale, at its own resolution.
    SourceChroma local;
    SourceChroma& c = source ? *source : local;
    c.cb.resize(planes.cb.size());
    c.cr.resize(planes.cr.size());
    forBands(pool, ch, 1, [&](int32_t first, int32_t end) {
        const size_t at = size_t(first) * cw, n = size_t(end - first) * cw;
        mapCodes(&planes.cb[at], int32_t(n), chromaIn, &c.cb[at]);
        mapCodes(&planes.cr[at], int32_t(n), chromaIn, &c.cr[at]);
    });
    if (source) {
        c.sumCb.assign(c.cb.size(), 0);
        c.sumCr.assign(c.cr.size(), 0);
    }

    const int fx = layout.chromaX, fy = layout.chromaY;
    const std::vector<Tap> down = axisTaps(h, ch, fy, centredDown(layout));
    const RowInterpolator across(w, cw, fx, centredAcross(layout));
    // Bands of whole chroma rows, so that each chroma sample's sum belongs to one band.
    const bool narrow = maps.chromaBlendsNarrow();
    forBands(pool, h, fy, [&](int32_t first, int32_t end) {
        std::vector<int32_t> vCb(static_cast<size_t>(cw)), vCr(static_cast<size_t>(cw));
        std::vector<int16_t> nCb(static_cast<size_t>(cw)), nCr(static_cast<size_t>(cw));
        std::vector<int16_t> rowY(static_cast<size_t>(w)), rowCb(static_cast<size_t>(w)),
            rowCr(static_cast<size_t>(w));
        for (int32_t y = first; y < end; ++y) {
            const Tap t = down[size_t(y)];
            const auto w0 = int16_t(t.w0), w1 = int16_t(t.w1);
            const int16_t* cb0 = &c.cb[size_t(t.i0) * cw];
            const int16_t* cb1 = &c.cb[size_t(t.i1) * cw];
            const int16_t* cr0 = &c.cr[size_t(t.i0) * cw];
            const int16_t* cr1 = &c.cr[size_t(t.i1) * cw];
            if (narrow) {
                blendRows(cb0, cb1, w0, w1, nCb.data(), cw);
                blendRows(cr0, cr1, w0, w1, nCr.data(), cw);
                across.run(nCb.data(), rowCb.data());
                across.run(nCr.data(), rowCr.data());
            } else {
                blendRows(cb0, cb1, w0, w1, vCb.data(), cw);
                blendRows(cr0, cr1, w0, w1, vCr.data(), cw);
                across.run(vCb.data(), rowCb.data());
                across.run(vCr.data(), rowCr.data());
            }
            const int16_t* __restrict b = rowCb.data();
            const int16_t* __restrict r = rowCr.data();
            mapCodes(&planes.y[size_t(y) * w], w, lumaIn, rowY.data());
            packPixels(rowY.data(), b, r, &frame[size_t(y) * w], w);
            if (!source) continue;
            int32_t* __restrict sumCb = &c.sumCb[size_t(y / fy) * cw];
            int32_t* __restrict sumCr = &c.sumCr[size_t(y / fy) * cw];
            if (fx == 2) {
                addSamplePairs(b, cw, sumCb);
                addSamplePairs(r, cw, sumCr);
            } else {
                for (int32_t i = 0; i < cw; ++i)
                    for (int k = 0; k < fx; ++k) {
                        sumCb[i] += b[fx * i + k];
                        sumCr[i] += r[fx * i + k];
                    }
            }
        }
    });
}

void fromHost(const YcPixel* filtered, int32_t pitch, const Header& inHeader,
              const SourceChroma* source, const Header& outHeader, const SampleMaps& outMaps,
              Planes& out, ThreadPool* pool) {
    PlaneSizes sizes{};
    planeSizes(outHeader.width, outHeader.height, outHeader.layout, sizes);
    const int32_t w = sizes.lumaWidth, h = sizes.lumaHeight;
    const int32_t cw = sizes.chromaWidth, ch = sizes.chromaHeight;
    const Layout& layout = outHeader.layout;
    const int fx = layout.mono() ? 1 : layout.chromaX, fy = layout.mono() ? 1 : layout.chromaY;
    out.y.resize(size_t(w) * h);
    out.cb.resize(size_t(cw) * ch);
    out.cr.resize(size_t(cw) * ch);
    const bool full = !layout.mono() && fx == 1 && fy == 1;
    const bool subsampled = !layout.mono() && !full;
    const int shift = std::countr_zero(unsigned(fx * fy)); // fx and fy are powers of two
    const int32_t half = (fx * fy) / 2;
    const Layout& inLayout = inHeader.layout;
    const bool sameChroma = subsampled && source && !source->sumCb.empty() &&
                            inLayout.chromaX == fx && inLayout.chromaY == fy &&
                            inLayout.siting == layout.siting;

    const CodeMap& chromaOut = outMaps.chromaOut();
    auto lumaRow = [&](int32_t y) {
        const YcPixel* row = filtered + size_t(y) * pitch;
        mapLuma(row, w, outMaps.lumaOut(), &out.y[size_t(y) * w]);
        if (full) mapChroma(row, w, chromaOut, &out.cb[size_t(y) * w], &out.cr[size_t(y) * w]);
    };
    if (!subsampled) {
        forBands(pool, h, 1, [&](int32_t first, int32_t end) {
            for (int32_t y = first; y < end; ++y) lumaRow(y);
        });
        return;
    }
    // Bands of whole chroma rows: each chroma row is summed over its fy luma rows, then written.
    forBands(pool, h, fy, [&](int32_t first, int32_t end) {
        std::vector<int32_t> sumCb(static_cast<size_t>(cw)), sumCr(static_cast<size_t>(cw));
        std::vector<int16_t> hostCb(static_cast<size_t>(cw)), hostCr(static_cast<size_t>(cw));
        for (int32_t cy = first / fy; cy * fy < end; ++cy) {
            std::fill(sumCb.begin(), sumCb.end(), 0);
            std::fill(sumCr.begin(), sumCr.end(), 0);
            // The sums of the filtered chroma over each chroma sample's pixels.
            for (int32_t y = cy * fy; y < std::min(end, (cy + 1) * fy); ++y) {
                lumaRow(y);
                const YcPixel* __restrict row = filtered + size_t(y) * pitch;
                int32_t* __restrict rowCb = sumCb.data();
                int32_t* __restrict rowCr = sumCr.data();
                if (fx == 2) {
                    addChromaPairs(row, cw, rowCb, rowCr);
                } else {
                    for (int32_t i = 0; i < cw; ++i)
                        for (int k = 0; k < fx; ++k) {
                            rowCb[i] += row[fx * i + k].cb;
                            rowCr[i] += row[fx * i + k].cr;
                        }
                }
            }
            const size_t at = size_t(cy) * cw;
            const int32_t* __restrict sb = sumCb.data();
            const int32_t* __restrict sr = sumCr.data();
            int16_t* __restrict hb = hostCb.data();
            int16_t* __restrict hr = hostCr.data();
            if (sameChroma) {
                // The stream's own sample plus the mean change the filter made over its pixels.
                const int16_t* __restrict b0 = &source->cb[at];
                const int16_t* __restrict r0 = &source->cr[at];
                const int32_t* __restrict sb0 = &source->sumCb[at];
                const int32_t* __restrict sr0 = &source->sumCr[at];
                for (int32_t i = 0; i < cw; ++i) {
                    hb[i] = clampHost(b0[i] + ((sb[i] - sb0[i] + half) >> shift));
                    hr[i] = clampHost(r0[i] + ((sr[i] - sr0[i] + half) >> shift));
                }
            } else {
                for (int32_t i = 0; i < cw; ++i) {
                    hb[i] = clampHost((sb[i] + half) >> shift);
                    hr[i] = clampHost((sr[i] + half) >> shift);
                }
            }
            mapSamples(hb, cw, chromaOut, &out.cb[at]);
            mapSamples(hr, cw, chromaOut, &out.cr[at]);
        }
    });
}

} // namespace kestrin::hostsim::y4m
