#include "hostsim/y4m_convert.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Editor pixels from a row of luma codes and a row of host chroma: each pixel written as one
// 8-byte store whose last two bytes the next pixel overwrites.
void packRow(const uint16_t* __restrict luma, const int16_t* __restrict lumaIn,
             const int16_t* __restrict cb, const int16_t* __restrict cr, YcPixel* __restrict out,
             int32_t n) {
    static_assert(sizeof(YcPixel) == 6);
    auto* bytes = reinterpret_cast<unsigned char*>(out);
    int32_t x = 0;
    for (; x + 1 < n; ++x) {
        const uint64_t v = uint64_t(uint16_t(lumaIn[luma[x]])) | uint64_t(uint16_t(cb[x])) << 16 |
                           uint64_t(uint16_t(cr[x])) << 32;
        std::memcpy(bytes + 6 * size_t(x), &v, 8);
    }
    for (; x < n; ++x) out[x] = {lumaIn[luma[x]], cb[x], cr[x]};
}

// sum[i] += v[2i] + v[2i + 1] over n sums.
void addPairs(const int16_t* __restrict v, int32_t* __restrict sum, int32_t n) {
    int32_t i = 0;
#if defined(__SSE2__)
    const __m128i ones = _mm_set1_epi16(1);
    for (; i + 4 <= n; i += 4) {
        const __m128i pairs = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + 2 * i));
        __m128i* at = reinterpret_cast<__m128i*>(sum + i);
        _mm_storeu_si128(at, _mm_add_epi32(_mm_loadu_si128(at), _mm_madd_epi16(pairs, ones)));
    }
#endif
    for (; i < n; ++i) sum[i] += v[2 * i] + v[2 * i + 1];
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

    void run(const int32_t* __restrict v, int16_t* __restrict out) const {
        if (!interior_) {
            for (int32_t x = 0; x < width_; ++x) out[x] = at(v, x);
            return;
        }
        const int32_t f = factor_;
        for (int32_t x = 0; x < f * first_; ++x) out[x] = at(v, x);
        if (f == 2) {
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
    int16_t at(const int32_t* v, int32_t x) const {
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
    lumaOut_.resize(65536);
    chromaOut_.resize(65536);
    const double top = codes - 1;
    for (uint32_t i = 0; i < 65536; ++i) {
        const double v = int32_t(i) - 32768;
        lumaOut_[i] = uint16_t(std::clamp(std::round(v * lumaSlope + lumaOffset), 0.0, top));
        chromaOut_[i] = uint16_t(std::clamp(std::round(v * chromaSlope + chromaOffset), 0.0, top));
    }
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
    const int16_t* lumaIn = maps.lumaInTable();
    const int16_t* chromaIn = maps.chromaInTable();

    if (layout.mono() || (layout.chromaX == 1 && layout.chromaY == 1)) {
        const bool mono = layout.mono();
        forBands(pool, h, 1, [&](int32_t first, int32_t end) {
            for (size_t i = size_t(first) * w; i < size_t(end) * w; ++i)
                frame[i] = {lumaIn[planes.y[i]], mono ? int16_t(0) : chromaIn[planes.cb[i]],
                            mono ? int16_t(0) : chromaIn[planes.cr[i]]};
        });
        return;
    }

    // Chroma on the host's scale, at its own resolution.
    SourceChroma local;
    SourceChroma& c = source ? *source : local;
    c.cb.resize(planes.cb.size());
    c.cr.resize(planes.cr.size());
    forBands(pool, ch, 1, [&](int32_t first, int32_t end) {
        for (size_t i = size_t(first) * cw; i < size_t(end) * cw; ++i) {
            c.cb[i] = chromaIn[planes.cb[i]];
            c.cr[i] = chromaIn[planes.cr[i]];
        }
    });
    if (source) {
        c.sumCb.assign(c.cb.size(), 0);
        c.sumCr.assign(c.cr.size(), 0);
    }

    const int fx = layout.chromaX, fy = layout.chromaY;
    const std::vector<Tap> down = axisTaps(h, ch, fy, centredDown(layout));
    const RowInterpolator across(w, cw, fx, centredAcross(layout));
    // Bands of whole chroma rows, so that each chroma sample's sum belongs to one band.
    forBands(pool, h, fy, [&](int32_t first, int32_t end) {
        std::vector<int32_t> vCb(static_cast<size_t>(cw)), vCr(static_cast<size_t>(cw));
        std::vector<int16_t> rowCb(static_cast<size_t>(w)), rowCr(static_cast<size_t>(w));
        for (int32_t y = first; y < end; ++y) {
            const Tap t = down[size_t(y)];
            const auto w0 = int16_t(t.w0), w1 = int16_t(t.w1);
            blendRows(&c.cb[size_t(t.i0) * cw], &c.cb[size_t(t.i1) * cw], w0, w1, vCb.data(), cw);
            blendRows(&c.cr[size_t(t.i0) * cw], &c.cr[size_t(t.i1) * cw], w0, w1, vCr.data(), cw);
            across.run(vCb.data(), rowCb.data());
            across.run(vCr.data(), rowCr.data());
            const int16_t* __restrict b = rowCb.data();
            const int16_t* __restrict r = rowCr.data();
            packRow(&planes.y[size_t(y) * w], lumaIn, b, r, &frame[size_t(y) * w], w);
            if (!source) continue;
            int32_t* __restrict sumCb = &c.sumCb[size_t(y / fy) * cw];
            int32_t* __restrict sumCr = &c.sumCr[size_t(y / fy) * cw];
            if (fx == 2) {
                addPairs(b, sumCb, cw);
                addPairs(r, sumCr, cw);
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

    auto lumaOut = [&](int16_t v) { return outMaps.lumaFromHost(v); };
    auto chromaOut = [&](int16_t v) { return outMaps.chromaFromHost(v); };
    auto lumaRow = [&](int32_t y) {
        const YcPixel* __restrict row = filtered + size_t(y) * pitch;
        uint16_t* __restrict luma = &out.y[size_t(y) * w];
        for (int32_t x = 0; x < w; ++x) luma[x] = lumaOut(row[x].y);
        if (!full) return;
        uint16_t* __restrict cb = &out.cb[size_t(y) * w];
        uint16_t* __restrict cr = &out.cr[size_t(y) * w];
        for (int32_t x = 0; x < w; ++x) {
            cb[x] = chromaOut(row[x].cb);
            cr[x] = chromaOut(row[x].cr);
        }
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
                    for (int32_t i = 0; i < cw; ++i) {
                        rowCb[i] += row[2 * i].cb + row[2 * i + 1].cb;
                        rowCr[i] += row[2 * i].cr + row[2 * i + 1].cr;
                    }
                } else {
                    for (int32_t i = 0; i < cw; ++i)
                        for (int k = 0; k < fx; ++k) {
                            rowCb[i] += row[fx * i + k].cb;
                            rowCr[i] += row[fx * i + k].cr;
                        }
                }
            }
            const size_t at = size_t(cy) * cw;
            for (int32_t i = 0; i < cw; ++i) {
                int32_t cb = (sumCb[size_t(i)] + half) >> shift;
                int32_t cr = (sumCr[size_t(i)] + half) >> shift;
                if (sameChroma) {
                    // The stream's own sample plus the mean change the filter made over its pixels.
                    cb = source->cb[at + i] +
                         ((sumCb[size_t(i)] - source->sumCb[at + i] + half) >> shift);
                    cr = source->cr[at + i] +
                         ((sumCr[size_t(i)] - source->sumCr[at + i] + half) >> shift);
                }
                out.cb[at + i] = chromaOut(clampHost(cb));
                out.cr[at + i] = chromaOut(clampHost(cr));
            }
        }
    });
}

} // namespace kestrin::hostsim::y4m
