#include "platform/d3d9/rasteriser.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>

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

struct Triangle {
    std::array<Edge, 3> edges{}; // edge i lies opposite vertex i
    std::array<const RasterVertex*, 3> v{};
    double area = 0.0; // the edge functions' sum at every point
    bool perspective = false;
    int top = 0; // rows that may hold pixel centres, within the clip rectangle
    int bottom = -1;
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

// One thread's interpreter and span buffers.
class RowShader {
  public:
    explicit RowShader(const RasterJob& job)
        : job_(job), exec_(job.program), inputs_(shader::kInputRegisters * 4 * shader::kSpan),
          colour_(4 * shader::kSpan) {
        for (unsigned r = 0; r < shader::kInputRegisters; ++r)
            for (unsigned c = 0; c < 4; ++c)
                inputPtrs_[r][c] = (job.inputMask >> r) & 1 ? lane(r, c) : nullptr;
        for (unsigned c = 0; c < 4; ++c) colourPtrs_[c] = colour_.data() + c * shader::kSpan;
    }

    void shade(const Triangle& t, int y, int x0, int x1) {
        for (int xs = x0; xs < x1; xs += static_cast<int>(shader::kSpan)) {
            const size_t n = std::min<size_t>(shader::kSpan, static_cast<size_t>(x1 - xs));
            interpolate(t, y, xs, n);
            exec_.run(*job_.constants, *job_.sampler, n, inputPtrs_, colourPtrs_);
            store(y, xs, n);
        }
    }

  private:
    float* lane(unsigned reg, unsigned component) {
        return inputs_.data() + (reg * 4 + component) * shader::kSpan;
    }

    void interpolate(const Triangle& t, int y, int xs, size_t n) {
        int64_t rowTerm[3];
        for (int i = 0; i < 3; ++i) rowTerm[i] = t.edges[i].b * y + t.edges[i].c;
        for (size_t k = 0; k < n; ++k) {
            const int64_t x = xs + static_cast<int64_t>(k);
            double w[3];
            for (int i = 0; i < 3; ++i) w[i] = static_cast<double>(t.edges[i].a * x + rowTerm[i]);
            double denominator = t.area;
            if (t.perspective) {
                for (int i = 0; i < 3; ++i) w[i] *= static_cast<double>(t.v[i]->rhw);
                denominator = w[0] + w[1] + w[2];
            }
            for (unsigned r = 0; r < shader::kInputRegisters; ++r) {
                if (!((job_.inputMask >> r) & 1)) continue;
                for (unsigned c = 0; c < 4; ++c) {
                    const double sum = w[0] * t.v[0]->inputs[r][c] + w[1] * t.v[1]->inputs[r][c] +
                                       w[2] * t.v[2]->inputs[r][c];
                    lane(r, c)[k] = static_cast<float>(sum / denominator);
                }
            }
        }
    }

    void store(int y, int xs, size_t n) {
        uint8_t* row = job_.target.bits + static_cast<size_t>(y) * job_.target.pitch;
        for (size_t k = 0; k < n; ++k) {
            uint16_t texel[4];
            for (int c = 0; c < 4; ++c)
                texel[c] = writeChannel(colourPtrs_[c][k], job_.target.format);
            std::memcpy(row + (static_cast<size_t>(xs) + k) * 8, texel, sizeof texel);
        }
    }

    const RasterJob& job_;
    shader::Executor exec_;
    std::vector<float> inputs_;
    std::vector<float> colour_;
    const float* inputPtrs_[shader::kInputRegisters][4];
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

        const std::vector<RasterVertex>& vertices = *job.vertices;
        std::vector<Triangle> triangles;
        triangles.reserve(vertices.size() / 3);
        for (size_t i = 0; i + 2 < vertices.size(); i += 3) {
            Triangle t;
            if (setup(&vertices[i], &vertices[i + 1], &vertices[i + 2], clip, &t))
                triangles.push_back(t);
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
                RowShader shader(job);
                for (int y = nextRow.fetch_add(1); y <= bottom; y = nextRow.fetch_add(1)) {
                    for (const Triangle& t : triangles) {
                        int x0 = 0, x1 = 0;
                        if (y >= t.top && y <= t.bottom && rowSpan(t, y, clip, &x0, &x1))
                            shader.shade(t, y, x0, x1);
                    }
                }
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
