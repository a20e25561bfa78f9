// The reference model, one pass at a time on a 1920 x 1080 frame. It is the oracle, not a
// product path: the figure only tells how long pixel tests that lean on it may take.
#include <benchmark/benchmark.h>

#include "effect/model.h"
#include "tools/testcard.h"

namespace {

using kestrin::TexelFormat;
using namespace kestrin::model;

constexpr int kWidth = 1920, kHeight = 1080;

const TexelImage& sourceImage(TexelFormat f) {
    static const auto card = kestrin::tools::makeTestCard(kWidth, kHeight, kWidth, 0);
    static const TexelImage images[2] = {
        encodeFrame(card.data(), kWidth, kHeight, kWidth, TexelFormat::Signed),
        encodeFrame(card.data(), kWidth, kHeight, kWidth, TexelFormat::Unsigned)};
    return images[static_cast<int>(f)];
}

const FilterParams kDefaults{0.5f, 81.0f, 0.25f};

void BM_ConvertToRgb(benchmark::State& state) {
    const auto f = static_cast<TexelFormat>(state.range(0));
    for (auto _ : state) {
        TexelImage out =
            f == TexelFormat::Signed ? psYC2RGB(sourceImage(f)) : psYC2RGBU(sourceImage(f));
        benchmark::DoNotOptimize(out.texels.data());
    }
}

void BM_FilterPass(benchmark::State& state) {
    const auto f = static_cast<TexelFormat>(state.range(0));
    const TexelImage rgb =
        f == TexelFormat::Signed ? psYC2RGB(sourceImage(f)) : psYC2RGBU(sourceImage(f));
    for (auto _ : state) {
        TexelImage out =
            f == TexelFormat::Signed ? psFilter(rgb, kDefaults) : psFilterU(rgb, kDefaults);
        benchmark::DoNotOptimize(out.texels.data());
    }
}

void BM_LastPass(benchmark::State& state) {
    const auto f = static_cast<TexelFormat>(state.range(0));
    const TexelImage& src = sourceImage(f);
    const TexelImage rgb = f == TexelFormat::Signed ? psYC2RGB(src) : psYC2RGBU(src);
    for (auto _ : state) {
        TexelImage out = f == TexelFormat::Signed ? psFilterRGB2YC(rgb, src, kDefaults)
                                                  : psFilterRGB2YCU(rgb, src, kDefaults);
        benchmark::DoNotOptimize(out.texels.data());
    }
}

// Argument: 0 = signed technique, 1 = unsigned technique.
BENCHMARK(BM_ConvertToRgb)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FilterPass)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_LastPass)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

BENCHMARK_MAIN();
