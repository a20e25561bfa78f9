// The comparison that chose the fast engine: the built effect's last pass (the 7 x 7 iteration,
// back to Y, Cb, Cr and the blend) over a 1920 x 1080 frame on 2 threads, run by
//   - the interpreter (the reference engine),
//   - a span engine: the same folded, value-numbered trace the code generator gets, executed one
//     operation at a time over 64-lane arrays (what a vectorised engine over pixel spans does),
//   - the generated code, SSE2 and AVX2.
// Rounds are interleaved; the median of 5 is printed with the ratio to the AVX2 code. Each
// engine's output is checked against the interpreter's.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <thread>

#include "effect/model.h"
#include "shader/fast/trace.h"
#include "tests/effect/effect_runner.h"
#include "tests/shader/engine_harness.h"
#include "tools/testcard.h"

namespace {

using namespace kestrin;
using namespace kestrin::shader;

constexpr size_t kLanes = 64;

// The span engine prototype: every trace node is a 64-lane array, each operation a loop.
class SpanEngine {
  public:
    // Values share arrays once dead (last use known from the trace), so the working set stays
    // in the first-level cache as far as the program allows.
    SpanEngine(const fast::Trace& t, const DrawSpecialisation& d) : t_(t), d_(d) {
        std::vector<uint32_t> last(t.nodes.size(), 0);
        auto use = [&](uint32_t v, uint32_t at) { last[v] = std::max(last[v], at); };
        for (uint32_t i = 0; i < t.nodes.size(); ++i) {
            const fast::Node& n = t.nodes[i];
            use(n.a, i);
            use(n.b, i);
            use(n.c, i);
        }
        for (uint32_t o : t.outputs) last[o] = static_cast<uint32_t>(t.nodes.size());
        std::vector<uint32_t> free;
        std::vector<std::vector<uint32_t>> dying(t.nodes.size() + 1);
        slotOf_.resize(t.nodes.size());
        uint32_t slots = 0;
        for (uint32_t i = 0; i < t.nodes.size(); ++i) {
            if (free.empty()) {
                slotOf_[i] = slots++;
            } else {
                slotOf_[i] = free.back();
                free.pop_back();
            }
            dying[std::max(last[i], i)].push_back(i);
            for (uint32_t v : dying[i])
                if (v != i || last[i] <= i) free.push_back(slotOf_[v]);
        }
        slots_.resize(slots);
    }

    // False when a read does not step by whole texels (the caller then uses the interpreter).
    bool run(const float* const* inputs, float* const* out, const float* const* bases,
             size_t lane) {
        offsets_.resize(t_.nodes.size());
        for (size_t i = 0; i < t_.nodes.size(); ++i) {
            const fast::Node& n = t_.nodes[i];
            float* r = slots_[slotOf_[i]].data();
            const float* a = slots_[slotOf_[n.a]].data();
            const float* b = slots_[slotOf_[n.b]].data();
            const float* c = slots_[slotOf_[n.c]].data();
            switch (n.op) {
            case fast::Op::Const:
                std::fill_n(r, kLanes, n.k);
                break;
            case fast::Op::Input:
                std::copy_n(inputs[n.a] + lane, kLanes, r);
                break;
            case fast::Op::Add:
                for (size_t k = 0; k < kLanes; ++k) r[k] = a[k] + b[k];
                break;
            case fast::Op::Sub:
                for (size_t k = 0; k < kLanes; ++k) r[k] = a[k] - b[k];
                break;
            case fast::Op::Mul:
                for (size_t k = 0; k < kLanes; ++k) r[k] = a[k] * b[k];
                break;
            case fast::Op::Div:
                for (size_t k = 0; k < kLanes; ++k) r[k] = a[k] / b[k];
                break;
            case fast::Op::Sqrt:
                for (size_t k = 0; k < kLanes; ++k) r[k] = __builtin_sqrtf(a[k]);
                break;
            case fast::Op::Neg:
                for (size_t k = 0; k < kLanes; ++k) r[k] = -a[k];
                break;
            case fast::Op::Abs:
                for (size_t k = 0; k < kLanes; ++k) r[k] = std::fabs(a[k]);
                break;
            case fast::Op::Min:
                for (size_t k = 0; k < kLanes; ++k) r[k] = a[k] < b[k] ? a[k] : b[k];
                break;
            case fast::Op::MaxGe:
                for (size_t k = 0; k < kLanes; ++k) r[k] = a[k] >= b[k] ? a[k] : b[k];
                break;
            case fast::Op::Sel:
                for (size_t k = 0; k < kLanes; ++k) r[k] = a[k] >= 0.0f ? b[k] : c[k];
                break;
            case fast::Op::SelLe0:
                for (size_t k = 0; k < kLanes; ++k) r[k] = a[k] <= 0.0f ? b[k] : c[k];
                break;
            case fast::Op::Sat:
                for (size_t k = 0; k < kLanes; ++k) r[k] = fast::foldSat(a[k]);
                break;
            case fast::Op::Frc:
                for (size_t k = 0; k < kLanes; ++k) r[k] = fast::foldFrc(a[k]);
                break;
            case fast::Op::XIndex:
            case fast::Op::YIndex: {
                const StageLayout& s = d_.stages[n.stage];
                const bool x = n.op == fast::Op::XIndex;
                const float size = static_cast<float>(x ? s.width : s.height);
                const auto first = static_cast<int64_t>(std::floor(a[0] * size));
                for (size_t k = 0; k < kLanes; ++k)
                    if (static_cast<int64_t>(std::floor(a[k] * size)) !=
                        first + (x ? static_cast<int64_t>(k) : 0))
                        return false;
                offsets_[i] = x ? first : first * s.rowFloats;
                break;
            }
            case fast::Op::Load: {
                const StageLayout& s = d_.stages[n.stage];
                std::copy_n(bases[n.stage] + s.planeFloats * n.channel + offsets_[n.a] +
                                offsets_[n.b],
                            kLanes, r);
                break;
            }
            case fast::Op::LoadFixed:
                std::fill_n(
                    r, kLanes,
                    bases[n.stage][n.fixedTexel + d_.stages[n.stage].planeFloats * n.channel]);
                break;
            }
        }
        for (int c = 0; c < 4; ++c)
            std::copy_n(slots_[slotOf_[t_.outputs[c]]].data(), kLanes, out[c] + lane);
        return true;
    }

  private:
    const fast::Trace& t_;
    const DrawSpecialisation& d_;
    std::vector<uint32_t> slotOf_;
    std::vector<std::array<float, kLanes>> slots_;
    std::vector<int64_t> offsets_;
};

double medianOf(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

test::PlanarTexture planar(const model::TexelImage& img) {
    test::PlanarTexture t;
    t.width = img.width;
    t.height = img.height;
    t.texels.resize(img.texels.size() * 4);
    for (size_t i = 0; i < img.texels.size(); ++i)
        for (int c = 0; c < 4; ++c)
            t.texels[4 * i + c] = readChannel(img.texels[i][c], TexelFormat::Signed);
    t.build();
    return t;
}

} // namespace

int main() {
    const int width = 1920, height = 1080, threads = 2, rounds = 5;
    const fx::Effect& effect = kestrin::testing::builtEffect();
    if (effect.techniques.size() != 2) {
        std::fprintf(stderr, "engine_bench: cannot read the built effect\n");
        return 1;
    }
    const std::vector<uint32_t>& code =
        *kestrin::testing::passProgram(effect.techniques[0].passes[2]);
    ProgramLoad loaded = loadPixelProgram(code.data(), code.size());
    if (!loaded.program) {
        std::fprintf(stderr, "engine_bench: %s\n", loaded.error.c_str());
        return 1;
    }
    const auto card = tools::makeTestCard(width, height, width, 0);
    const model::TexelImage src =
        model::encodeFrame(card.data(), width, height, width, TexelFormat::Signed);
    const model::TexelImage rgb = model::psYC2RGB(src);
    const test::PlanarTexture srcT = planar(src), rgbT = planar(rgb);
    ShaderConstants k;
    // Registers as the effect binds them: matRGB2YC columns c7-c9, pixGain c3, pixDist c4,
    // posDist c5, posPitch c6.
    k.f[7] = {0.299f, -0.16874f, 0.5f, 0};
    k.f[8] = {0.587f, -0.33126f, -0.41869f, 0};
    k.f[9] = {0.114f, 0.5f, -0.08131f, 0};
    k.f[3] = {0.5f, 0, 0, 0};
    k.f[4] = {81.0f, 0, 0, 0};
    k.f[5] = {0.25f, 0, 0, 0};
    k.f[6] = {1.0f / width, 1.0f / height, 0, 0};

    const size_t pixels = static_cast<size_t>(width) * height;
    std::vector<float> u(pixels), v(pixels);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            u[static_cast<size_t>(y) * width + x] = (static_cast<float>(x) + 0.5f) / width;
            v[static_cast<size_t>(y) * width + x] = (static_cast<float>(y) + 0.5f) / height;
        }
    std::vector<float> zeros(pixels + 64, 0.0f);
    const float* inputs[kInputRegisters * 4];
    for (auto& p : inputs) p = zeros.data();
    inputs[0] = u.data();
    inputs[1] = v.data();
    DrawSpecialisation draw;
    draw.constants = &k;
    draw.stages[0] = srcT.layout();
    draw.stages[1] = rgbT.layout();
    for (StageLayout* l : {&draw.stages[0], &draw.stages[1]}) {
        // as the device describes its decoded 16-bit textures
        l->lowest = -1.0f;
        l->highest = 1.0f;
        l->exotic = false;
        l->grid = 32767;
    }
    const float* bases[kSamplers] = {srcT.base(), rgbT.base()};
    const test::PlanarSampler sampler({&srcT, &rgbT});

    using Out = std::array<std::vector<float>, 4>;
    auto fresh = [&] {
        Out o;
        for (auto& c : o) c.assign(pixels, 0.0f);
        return o;
    };
    // Rows shared over the threads, as the device shares them.
    auto parallelRows = [&](const std::function<void(int)>& row) {
        std::atomic<int> next{0};
        auto work = [&] {
            for (int y = next++; y < height; y = next++) row(y);
        };
        std::vector<std::thread> helpers;
        for (int t = 1; t < threads; ++t) helpers.emplace_back(work);
        work();
        for (auto& h : helpers) h.join();
    };
    auto interpreterRows = [&](Out& o, int y, size_t from, size_t n) {
        Executor exec(loaded.program);
        const size_t base = static_cast<size_t>(y) * width;
        for (size_t at = from; at < from + n; at += kSpan) {
            const size_t cnt = std::min(kSpan, from + n - at);
            const float* in[kInputRegisters][4];
            for (unsigned r = 0; r < kInputRegisters; ++r)
                for (unsigned c = 0; c < 4; ++c) in[r][c] = inputs[4 * r + c] + base + at;
            float* po[4] = {o[0].data() + base + at, o[1].data() + base + at,
                            o[2].data() + base + at, o[3].data() + base + at};
            exec.run(k, sampler, cnt, in, po);
        }
    };

    const fast::TraceResult trace =
        fast::buildTrace(*loaded.program, programCode(*loaded.program), draw);
    const CompileResult avx = compileProgram(*loaded.program, draw, Engine::Avx2);
    const CompileResult sse = compileProgram(*loaded.program, draw, Engine::Sse2);
    if (!trace.error.empty() || !sse.program) {
        std::fprintf(stderr, "engine_bench: cannot compile: %s %s\n", trace.error.c_str(),
                     sse.reason.c_str());
        return 1;
    }
    std::printf("p2 (psFilterRGB2YC) %dx%d, %d threads; trace: %zu operations after folding\n",
                width, height, threads, trace.trace.operations);

    struct Engine_ {
        const char* name;
        std::function<void(Out&)> run;
        std::vector<double> ms{};
        Out out{};
    };
    std::atomic<long> bails{0};
    auto compiledRun = [&](const CompileResult& c) {
        return [&, c](Out& o) {
            float* po[4] = {o[0].data(), o[1].data(), o[2].data(), o[3].data()};
            const size_t L = c.program->lanes();
            parallelRows([&](int y) {
                const size_t base = static_cast<size_t>(y) * width;
                for (size_t x = 0; x < static_cast<size_t>(width); x += L) {
                    const size_t at = std::min(x, width - L);
                    KernelArgs args{inputs, po, bases, static_cast<int64_t>(base + at)};
                    if (!c.program->runBlock(args)) {
                        ++bails;
                        interpreterRows(o, y, at, L);
                    }
                }
            });
        };
    };
    std::vector<Engine_> engines;
    engines.push_back(
        {"interpreter",
         [&](Out& o) { parallelRows([&](int y) { interpreterRows(o, y, 0, width); }); },
         {},
         {}});
    engines.push_back({"span engine (64 lanes)",
                       [&](Out& o) {
                           float* po[4] = {o[0].data(), o[1].data(), o[2].data(), o[3].data()};
                           parallelRows([&](int y) {
                               SpanEngine span(trace.trace, draw);
                               const size_t base = static_cast<size_t>(y) * width;
                               for (size_t x = 0; x < static_cast<size_t>(width); x += kLanes) {
                                   const size_t at = std::min(x, width - kLanes);
                                   if (!span.run(inputs, po, bases, base + at))
                                       interpreterRows(o, y, at, kLanes);
                               }
                           });
                       },
                       {},
                       {}});
    engines.push_back({"generated SSE2", compiledRun(sse), {}, {}});
    if (avx.program) engines.push_back({"generated AVX2", compiledRun(avx), {}, {}});
    for (int r = 0; r < rounds; ++r)
        for (auto& e : engines) {
            e.out = fresh();
            const auto t0 = std::chrono::steady_clock::now();
            e.run(e.out);
            e.ms.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                    .count());
        }
    const double reference = medianOf(engines.back().ms);
    bool ok = true;
    for (auto& e : engines) {
        bool same = true;
        for (int c = 0; c < 4; ++c)
            for (size_t i = 0; i < pixels && same; ++i)
                same = test::sameBits(engines[0].out[c][i], e.out[c][i]);
        ok = ok && same;
        const double m = medianOf(e.ms);
        std::printf("  %-24s %8.1f ms  (min %.1f, max %.1f)  %5.2fx  %s\n", e.name, m,
                    *std::min_element(e.ms.begin(), e.ms.end()),
                    *std::max_element(e.ms.begin(), e.ms.end()), m / reference,
                    same ? "same bits" : "RESULTS DIFFER");
    }
    std::printf("  blocks handed back to the interpreter: %ld\n", bails.load());
    // One thread, one block over and over: the code's own speed, little disturbed by whatever
    // else the machine runs (best of 20 batches of 2000 blocks).
    for (const CompileResult* c : {&sse, &avx}) {
        if (!c->program) continue;
        Out o = fresh();
        float* po[4] = {o[0].data(), o[1].data(), o[2].data(), o[3].data()};
        double best = 1e30;
        for (int batch = 0; batch < 20; ++batch) {
            const auto t0 = std::chrono::steady_clock::now();
            for (int i = 0; i < 2000; ++i) {
                KernelArgs args{inputs, po, bases,
                                static_cast<int64_t>(540 * width + 8 * (i % 200) + 100)};
                c->program->runBlock(args);
            }
            best = std::min(best, std::chrono::duration<double, std::nano>(
                                      std::chrono::steady_clock::now() - t0)
                                          .count() /
                                      2000.0);
        }
        std::printf("  %s: %.0f ns per block of %u pixels = %.1f ms per frame on one thread\n",
                    engineName(c->program->engine()), best, c->program->lanes(),
                    best * static_cast<double>(pixels) / c->program->lanes() / 1e6);
    }
    return ok ? 0 : 1;
}
