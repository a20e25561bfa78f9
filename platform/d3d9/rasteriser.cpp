#include "platform/d3d9/rasteriser.h"

#include <emmintrin.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>

#include "platform/d3d9/decoded_texels.h"

namespace kestrin::platform::d3d9 {
namespace {

constexpr int64_t kSubpixel = 256; // positions snap to 1/256 pixel
constexpr float kGuardBand = 16384.0f;
constexpr int kMaxThreads = 64;

int64_t floorDiv(int64_t a, int64_t b) { // b > 0
    const int64_t q = a / b;
    return (a % b != 0 && a < 0) ? q - 1 : q;
}

int64_t ceilDiv(int64_t a, int64_t b) { // b > 0
    const int64_t q = a / b;
    return (a % b != 0 && a > 0) ? q + 1 : q;
}

// E(X, Y) = a X + b Y + c at pixel centre (X, Y), in units of (1/256 pixel)^2: positive on the
// inner side of the edge. A pixel is inside when E >= threshold: 0 on top and left edges, 1
// elsewhere (E is an integer).
struct Edge {
    int64_t a = 0;
    int64_t b = 0;
    int64_t c = 0;
    int64_t threshold = 1;
};

// The edge from p to q of a triangle whose vertices run clockwise on screen (y down).
Edge makeEdge(int64_t px, int64_t py, int64_t qx, int64_t qy) {
    Edge e;
    e.a = -(qy - py) * kSubpixel;
    e.b = (qx - px) * kSubpixel;
    e.c = -(qx - px) * py + (qy - py) * px;
    const bool top = py == qy && qx > px; // runs right: the triangle lies below
    const bool left = qy < py;            // runs up: the triangle lies to its right
    e.threshold = top || left ? 0 : 1;
    return e;
}

// How one input component is interpolated over one triangle (see the header).
struct AttributePlan {
    enum Mode : uint8_t { Pixel, Column, Row };
    Mode mode = Pixel;
    int xBase = 0;             // Column: column[x - xBase]
    std::vector<float> column; // Column: the value of each column the triangle may cover
};

struct Triangle {
    std::array<Edge, 3> edges{}; // edge i lies opposite vertex i
    std::array<const RasterVertex*, 3> v{};
    double area = 0.0; // the edge functions' sum at every point
    int64_t areaInt = 0;
    bool perspective = false;
    int top = 0; // rows that may hold pixel centres, within the clip rectangle
    int bottom = -1;
    std::array<std::array<AttributePlan, 4>, shader::kInputRegisters> plans{};
};

bool snap(float f, int64_t* out) {
    if (!std::isfinite(f) || std::fabs(f) > kGuardBand) return false;
    *out = std::llrint(static_cast<double>(f) * kSubpixel);
    return true;
}

bool setup(const RasterVertex* a, const RasterVertex* b, const RasterVertex* c,
           const RasterRect& clip, Triangle* t) {
    std::array<const RasterVertex*, 3> v{a, b, c};
    int64_t x[3], y[3];
    for (int i = 0; i < 3; ++i)
        if (!snap(v[i]->x, &x[i]) || !snap(v[i]->y, &y[i])) return false;
    int64_t area = (x[1] - x[0]) * (y[2] - y[0]) - (y[1] - y[0]) * (x[2] - x[0]);
    if (area == 0) return false;
    if (area < 0) { // make the vertices run clockwise on screen
        std::swap(v[1], v[2]);
        std::swap(x[1], x[2]);
        std::swap(y[1], y[2]);
        area = -area;
    }
    t->v = v;
    t->area = static_cast<double>(area);
    t->areaInt = area;
    t->edges[0] = makeEdge(x[1], y[1], x[2], y[2]);
    t->edges[1] = makeEdge(x[2], y[2], x[0], y[0]);
    t->edges[2] = makeEdge(x[0], y[0], x[1], y[1]);
    const int64_t minY = std::min({y[0], y[1], y[2]});
    const int64_t maxY = std::max({y[0], y[1], y[2]});
    t->top = static_cast<int>(std::max<int64_t>(clip.top, ceilDiv(minY, kSubpixel)));
    t->bottom = static_cast<int>(std::min<int64_t>(clip.bottom - 1, floorDiv(maxY, kSubpixel)));
    const float q0 = v[0]->rhw, q1 = v[1]->rhw, q2 = v[2]->rhw;
    const bool usable = std::isfinite(q0) && std::isfinite(q1) && std::isfinite(q2) && q0 > 0.0f &&
                        q1 > 0.0f && q2 > 0.0f;
    t->perspective = usable && !(q0 == q1 && q1 == q2);
    return t->top <= t->bottom;
}

// The pixels [x0, x1) of row y inside the triangle and the clip rectangle; false if none.
bool rowSpan(const Triangle& t, int y, const RasterRect& clip, int* x0, int* x1) {
    int64_t lo = clip.left;
    int64_t hi = static_cast<int64_t>(clip.right) - 1;
    for (const Edge& e : t.edges) {
        const int64_t r = e.b * y + e.c;
        if (e.a > 0)
            lo = std::max(lo, ceilDiv(e.threshold - r, e.a));
        else if (e.a < 0)
            hi = std::min(hi, floorDiv(r - e.threshold, -e.a));
        else if (r < e.threshold)
            return false;
    }
    if (lo > hi) return false;
    *x0 = static_cast<int>(lo);
    *x1 = static_cast<int>(hi + 1);
    return true;
}

// The value of input `r` component `c` at pixel (x, y) of triangle t, exactly as every path
// computes it: edge-function weights in double, the weighted sum, one division, one rounding
// to single precision.
float interpolateAt(const Triangle& t, int64_t x, int y, unsigned r, unsigned c) {
    double w[3];
    for (int i = 0; i < 3; ++i)
        w[i] = static_cast<double>(t.edges[i].a * x + t.edges[i].b * y + t.edges[i].c);
    double denominator = t.area;
    if (t.perspective) {
        for (int i = 0; i < 3; ++i) w[i] *= static_cast<double>(t.v[i]->rhw);
        denominator = w[0] + w[1] + w[2];
    }
    const double sum =
        w[0] * t.v[0]->inputs[r][c] + w[1] * t.v[1]->inputs[r][c] + w[2] * t.v[2]->inputs[r][c];
    return static_cast<float>(sum / denominator);
}

// Inside the triangle each weight lies in [0, area] and they add up to the area. When the
// three vertex values are integers small enough that every product and partial sum stays an
// integer below 2^53, the double sum is exact: sum = A x + B y + C with integers A, B, C. B = 0
// makes the value a function of x alone, A = 0 of y alone.
void planAttributes(Triangle& t, uint32_t inputMask,
                    const std::array<uint8_t, shader::kInputRegisters>& components,
                    const RasterRect& clip) {
    for (unsigned r = 0; r < shader::kInputRegisters; ++r) {
        if (!((inputMask >> r) & 1)) continue;
        for (unsigned c = 0; c < 4; ++c) {
            if (!((components[r] >> c) & 1)) continue;
            AttributePlan& plan = t.plans[r][c];
            if (t.perspective) continue;
            __int128 A = 0, B = 0, C = 0;
            double magnitude = 0.0;
            bool integral = true;
            for (int i = 0; i < 3; ++i) {
                const float value = t.v[i]->inputs[r][c];
                if (!(std::fabs(value) <= 1048576.0f) || std::nearbyint(value) != value ||
                    (value == 0.0f && std::signbit(value))) {
                    integral = false;
                    break;
                }
                const auto k = static_cast<int64_t>(value);
                A += static_cast<__int128>(t.edges[i].a) * k;
                B += static_cast<__int128>(t.edges[i].b) * k;
                C += static_cast<__int128>(t.edges[i].c) * k;
                magnitude += std::fabs(static_cast<double>(value));
            }
            if (!integral || magnitude * t.area >= 4503599627370496.0) continue; // 2^52
            if (A == 0) {
                plan.mode = AttributePlan::Row;
            } else if (B == 0) {
                plan.mode = AttributePlan::Column;
                plan.xBase = clip.left;
                plan.column.resize(static_cast<size_t>(clip.right - clip.left));
                for (int x = clip.left; x < clip.right; ++x) {
                    const __int128 sum = A * x + C;
                    plan.column[static_cast<size_t>(x - clip.left)] =
                        static_cast<float>(static_cast<double>(sum) / t.area);
                }
            }
        }
    }
}

// Colour 0 of n pixels to texels of `format`, with the decoded x, y, z of each stored texel
// into `planes` when given. SSE2, four texels at a time, exactly writeChannel/readChannel.
void storeTexels(const float* const colour[4], size_t n, TexelFormat format, uint8_t* out,
                 float* const planes[3]) {
    const bool isSigned = format == TexelFormat::Signed;
    const __m128 lo = _mm_set1_ps(isSigned ? -1.0f : 0.0f);
    const __m128 one = _mm_set1_ps(1.0f);
    const __m128 scale = _mm_set1_ps(isSigned ? 32767.0f : 65535.0f);
    const __m128i bias = _mm_set1_epi32(32768);
    const __m128i flip = _mm_set1_epi16(static_cast<int16_t>(0x8000));
    size_t k = 0;
    for (; k + 4 <= n; k += 4) {
        __m128i packed[4];
        for (unsigned c = 0; c < 4; ++c) {
            __m128 v = _mm_loadu_ps(colour[c] + k);
            v = _mm_and_ps(v, _mm_cmpord_ps(v, v)); // NaN stores as 0
            v = _mm_min_ps(_mm_max_ps(v, lo), one);
            const __m128i q = _mm_cvtps_epi32(_mm_mul_ps(v, scale)); // nearest, ties to even
            if (planes && c < 3) {
                __m128 back = _mm_div_ps(_mm_cvtepi32_ps(q), scale);
                if (isSigned) back = _mm_max_ps(back, lo);
                _mm_storeu_ps(planes[c] + k, back);
            }
            packed[c] =
                isSigned
                    ? _mm_packs_epi32(q, q)
                    : _mm_xor_si128(_mm_packs_epi32(_mm_sub_epi32(q, bias), _mm_sub_epi32(q, bias)),
                                    flip);
        }
        const __m128i xy = _mm_unpacklo_epi16(packed[0], packed[1]);
        const __m128i zw = _mm_unpacklo_epi16(packed[2], packed[3]);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8 * k), _mm_unpacklo_epi32(xy, zw));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8 * k + 16), _mm_unpackhi_epi32(xy, zw));
    }
    for (; k < n; ++k) {
        uint16_t texel[4];
        for (unsigned c = 0; c < 4; ++c) {
            texel[c] = writeChannel(colour[c][k], format);
            if (planes && c < 3) planes[c][k] = readChannel(texel[c], format);
        }
        std::memcpy(out + 8 * k, texel, sizeof texel);
    }
}

// One thread's row buffers, interpreter and compiled-code arguments.
class RowShader {
  public:
    RowShader(const RasterJob& job, const RasterRect& clip,
              const std::array<uint8_t, shader::kInputRegisters>& components)
        : job_(job), clip_(clip), width_(static_cast<size_t>(clip.right - clip.left)),
          components_(components), exec_(job.program), covered_(width_ + 1, 0),
          zeros_(width_ + 64, 0.0f) {
        inputs_.resize(shader::kInputRegisters * 4);
        for (unsigned r = 0; r < shader::kInputRegisters; ++r)
            for (unsigned c = 0; c < 4; ++c) {
                const size_t k = 4 * r + c;
                if ((job.inputMask >> r) & 1 && (components[r] >> c) & 1) {
                    inputs_[k].assign(width_ + 64, 0.0f);
                    inputPtrs_[k] = inputs_[k].data();
                } else {
                    inputPtrs_[k] = zeros_.data();
                }
            }
        for (unsigned c = 0; c < 4; ++c) {
            colour_[c].assign(width_ + 64, 0.0f);
            colourPtrs_[c] = colour_[c].data();
        }
    }

    void row(const std::vector<Triangle>& triangles, int y) {
        bool any = false;
        for (const Triangle& t : triangles) {
            int x0 = 0, x1 = 0;
            if (y < t.top || y > t.bottom || !rowSpan(t, y, clip_, &x0, &x1)) continue;
            if (!any) std::fill(covered_.begin(), covered_.end(), 0);
            any = true;
            interpolate(t, y, x0, x1);
            std::fill(covered_.begin() + (x0 - clip_.left), covered_.begin() + (x1 - clip_.left),
                      1);
        }
        if (!any) return;
        // Runs of covered pixels (covered_ ends with a 0 past the row).
        const uint8_t* c = covered_.data();
        size_t a = 0;
        while (a < width_) {
            const void* first = std::memchr(c + a, 1, width_ - a);
            if (!first) break;
            a = static_cast<size_t>(static_cast<const uint8_t*>(first) - c);
            const size_t b = static_cast<size_t>(
                static_cast<const uint8_t*>(std::memchr(c + a, 0, width_ + 1 - a)) - c);
            shade(a, b);
            store(y, a, b);
            a = b;
        }
    }

  private:
    void interpolate(const Triangle& t, int y, int x0, int x1) {
        for (unsigned r = 0; r < shader::kInputRegisters; ++r) {
            if (!((job_.inputMask >> r) & 1)) continue;
            for (unsigned c = 0; c < 4; ++c) {
                if (!((components_[r] >> c) & 1)) continue;
                float* lane = inputs_[4 * r + c].data() - clip_.left;
                const AttributePlan& plan = t.plans[r][c];
                switch (plan.mode) {
                case AttributePlan::Column:
                    std::memcpy(lane + x0, plan.column.data() + (x0 - plan.xBase),
                                static_cast<size_t>(x1 - x0) * sizeof(float));
                    break;
                case AttributePlan::Row: {
                    const __m128 v = _mm_set1_ps(interpolateAt(t, x0, y, r, c));
                    int x = x0;
                    for (; x + 4 <= x1; x += 4) _mm_storeu_ps(lane + x, v);
                    for (; x < x1; ++x) lane[x] = _mm_cvtss_f32(v);
                    break;
                }
                default:
                    for (int x = x0; x < x1; ++x) lane[x] = interpolateAt(t, x, y, r, c);
                    break;
                }
            }
        }
    }

    void interpret(size_t first, size_t count) {
        for (size_t at = first; at < first + count; at += shader::kSpan) {
            const size_t n = std::min(shader::kSpan, first + count - at);
            const float* in[shader::kInputRegisters][4];
            for (unsigned r = 0; r < shader::kInputRegisters; ++r)
                for (unsigned c = 0; c < 4; ++c) in[r][c] = inputPtrs_[4 * r + c] + at;
            float* out[4];
            for (unsigned c = 0; c < 4; ++c) out[c] = colourPtrs_[c] + at;
            exec_.run(*job_.constants, *job_.sampler, n, in, out);
        }
    }

    void shade(size_t a, size_t b) {
        const shader::CompiledProgram* compiled = job_.compiled.get();
        const size_t lanes = compiled ? compiled->lanes() : 0;
        if (!compiled || b - a < lanes) {
            interpret(a, b - a);
            return;
        }
        shader::KernelArgs args{inputPtrs_, colourPtrs_, job_.stageBases.data(), 0};
        for (size_t at = a; at < b; at += lanes) {
            const size_t start = std::min(at, b - lanes); // the last block may overlap
            args.lane = static_cast<int64_t>(start);
            if (!compiled->runBlock(args)) interpret(start, lanes);
        }
    }

    void store(int y, size_t a, size_t b) {
        uint8_t* row = job_.target.bits + static_cast<size_t>(y) * job_.target.pitch +
                       (static_cast<size_t>(clip_.left) + a) * 8;
        const float* colour[4];
        for (unsigned c = 0; c < 4; ++c) colour[c] = colourPtrs_[c] + a;
        float* planes[3];
        if (job_.targetTexels)
            for (unsigned c = 0; c < 3; ++c)
                planes[c] = job_.targetTexels->row(c, y) + clip_.left + static_cast<int64_t>(a);
        storeTexels(colour, b - a, job_.target.format, row, job_.targetTexels ? planes : nullptr);
    }

    const RasterJob& job_;
    RasterRect clip_;
    size_t width_;
    std::array<uint8_t, shader::kInputRegisters> components_;
    shader::Executor exec_;
    std::vector<uint8_t> covered_;
    std::vector<float> zeros_;
    std::vector<std::vector<float>> inputs_;
    std::array<std::vector<float>, 4> colour_;
    const float* inputPtrs_[shader::kInputRegisters * 4];
    float* colourPtrs_[4];
};

} // namespace

bool rasterise(const RasterJob& job) {
    try {
        RasterRect clip = job.clip;
        clip.left = std::max(clip.left, 0);
        clip.top = std::max(clip.top, 0);
        clip.right = std::min(clip.right, job.target.width);
        clip.bottom = std::min(clip.bottom, job.target.height);
        if (clip.left >= clip.right || clip.top >= clip.bottom) return true;

        // Components to interpolate: what the compiled code reads, else all four.
        std::array<uint8_t, shader::kInputRegisters> components{};
        for (unsigned r = 0; r < shader::kInputRegisters; ++r)
            components[r] = job.compiled ? job.compiled->inputComponents(r) : 0xF;

        const std::vector<RasterVertex>& vertices = *job.vertices;
        std::vector<Triangle> triangles;
        triangles.reserve(vertices.size() / 3);
        for (size_t i = 0; i + 2 < vertices.size(); i += 3) {
            Triangle t;
            if (setup(&vertices[i], &vertices[i + 1], &vertices[i + 2], clip, &t)) {
                planAttributes(t, job.inputMask, components, clip);
                triangles.push_back(std::move(t));
            }
        }
        if (triangles.empty()) return true;
        int top = triangles.front().top;
        int bottom = triangles.front().bottom;
        for (const Triangle& t : triangles) {
            top = std::min(top, t.top);
            bottom = std::max(bottom, t.bottom);
        }

        std::atomic<int> nextRow{top};
        std::atomic<bool> failed{false};
        auto work = [&]() noexcept {
            try {
                RowShader shader(job, clip, components);
                for (int y = nextRow.fetch_add(1); y <= bottom; y = nextRow.fetch_add(1))
                    shader.row(triangles, y);
            } catch (...) {
                failed = true;
            }
        };
        const int threads = std::clamp(std::min(job.threads, bottom - top + 1), 1, kMaxThreads);
        std::vector<std::thread> helpers;
        helpers.reserve(static_cast<size_t>(threads - 1));
        try {
            for (int i = 1; i < threads; ++i) helpers.emplace_back(work);
        } catch (...) {
            // Fewer threads than asked for: the rows still get drawn.
        }
        work();
        for (std::thread& helper : helpers) helper.join();
        return !failed;
    } catch (...) {
        return false;
    }
}

} // namespace kestrin::platform::d3d9
