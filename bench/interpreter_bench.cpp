// The interpreter running the built effect's p1 and p2 on a 1920 x 1080 frame with two threads,
// against the reference model single-threaded on the same frame in the same run. Prints ms per
// pass and the ratio interpreter / model.
#include <chrono>
#include <cstdio>
#include <functional>

#include "effect/model.h"
#include "tests/effect/effect_runner.h"
#include "tools/testcard.h"

namespace {

using namespace kestrin;
using model::TexelImage;

double bestOf(int runs, const std::function<void()>& fn) {
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        fn();
        best = std::min(best, std::chrono::duration<double, std::milli>(
                                  std::chrono::steady_clock::now() - start)
                                  .count());
    }
    return best;
}

} // namespace

int main() {
    const int width = 1920, height = 1080, threads = 2, runs = 2;
    const fx::Effect& effect = testing::builtEffect();
    if (effect.techniques.size() != 2) {
        std::fprintf(stderr, "interpreter_bench: cannot read the built effect\n");
        return 1;
    }
    const auto card = tools::makeTestCard(width, height, width, 0);
    const model::FilterParams params{0.5f, 81.0f, 0.25f};
    std::printf("%dx%d, %d threads for the interpreter, 1 for the model; best of %d\n", width,
                height, threads, runs);
    for (TexelFormat f : {TexelFormat::Signed, TexelFormat::Unsigned}) {
        const bool u = f == TexelFormat::Unsigned;
        const fx::Technique& technique = effect.techniques[u ? 1 : 0];
        const TexelImage src = model::encodeFrame(card.data(), width, height, width, f);
        const TexelImage rgb = u ? model::psYC2RGBU(src) : model::psYC2RGB(src);
        testing::PassInputs inputs;
        inputs.numbers = {{"pixGain", {params.pixGain}},
                          {"pixDist", {params.pixDist}},
                          {"posDist", {params.posDist}},
                          {"posPitch", {1.0f / width, 1.0f / height}}};
        inputs.textures = {{"samSrc", &src}, {"samRGB", &rgb}};
        for (int pass : {1, 2}) {
            TexelImage target(width, height);
            std::string error;
            const double interp = bestOf(runs, [&] {
                error = testing::drawPass(*testing::passProgram(technique.passes[pass]), effect,
                                          inputs, f, target, threads);
            });
            if (!error.empty()) {
                std::fprintf(stderr, "interpreter_bench: %s\n", error.c_str());
                return 1;
            }
            TexelImage expected;
            const double modelMs = bestOf(runs, [&] {
                expected = pass == 1
                               ? (u ? model::psFilterU(rgb, params) : model::psFilter(rgb, params))
                               : (u ? model::psFilterRGB2YCU(rgb, src, params)
                                    : model::psFilterRGB2YC(rgb, src, params));
            });
            std::printf("%s p%d: interpreter %8.1f ms/pass, model %8.1f ms/pass, ratio %.2f%s\n",
                        u ? "unsigned" : "signed  ", pass, interp, modelMs, interp / modelMs,
                        expected.texels == target.texels ? "" : "  (RESULTS DIFFER)");
        }
    }
    return 0;
}
