// The built effect's programs, run by the interpreter pass by pass as a frame runs them, give
// exactly the reference model's result: every bit of every channel.
#include <gtest/gtest.h>

#include <random>

#include "effect/track_mapping.h"
#include "tests/effect/effect_runner.h"

namespace kestrin::testing {
namespace {

std::vector<model::YcPixel> randomFrame(int width, int height, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> luma(-200, 4300), chroma(-2200, 2200);
    std::vector<model::YcPixel> frame(static_cast<size_t>(width) * height);
    for (auto& p : frame)
        p = {static_cast<int16_t>(luma(rng)), static_cast<int16_t>(chroma(rng)),
             static_cast<int16_t>(chroma(rng))};
    return frame;
}

struct Case {
    int width, height;
    int32_t strength, threshold, range;
};

std::string describe(const Case& c, int passes, TexelFormat f) {
    return std::to_string(c.width) + "x" + std::to_string(c.height) + " tracks " +
           std::to_string(c.strength) + "/" + std::to_string(c.threshold) + "/" +
           std::to_string(c.range) + " passes " + std::to_string(passes) +
           (f == TexelFormat::Signed ? " signed" : " unsigned");
}

::testing::AssertionResult sameFrame(const std::vector<model::YcPixel>& a,
                                     const std::vector<model::YcPixel>& b, int width) {
    if (a.size() != b.size()) return ::testing::AssertionFailure() << "sizes differ";
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].y != b[i].y || a[i].cb != b[i].cb || a[i].cr != b[i].cr)
            return ::testing::AssertionFailure()
                   << "pixel (" << i % width << ", " << i / width << "): interpreter (" << a[i].y
                   << ", " << a[i].cb << ", " << a[i].cr << ") model (" << b[i].y << ", " << b[i].cb
                   << ", " << b[i].cr << ")";
    return ::testing::AssertionSuccess();
}

void checkCase(const Case& c, int passes, TexelFormat format, uint32_t seed) {
    SCOPED_TRACE(describe(c, passes, format));
    const auto frame = randomFrame(c.width, c.height, seed);
    const int32_t tracks[5] = {c.strength, c.threshold, c.range, passes, 0};
    const model::FrameSettings settings = model::settingsFromTracks(tracks);
    const EffectRun run = runEffect(builtEffect(), frame.data(), c.width, c.height, settings.params,
                                    settings.passCount, format);
    ASSERT_TRUE(run.error.empty()) << run.error;
    const auto expected =
        model::filterFrame(frame.data(), c.width, c.height, c.width, settings, format);
    EXPECT_TRUE(sameFrame(run.frame, expected, c.width));
}

class InterpreterMatchesModel : public ::testing::TestWithParam<TexelFormat> {};
INSTANTIATE_TEST_SUITE_P(Effect, InterpreterMatchesModel,
                         ::testing::Values(TexelFormat::Signed, TexelFormat::Unsigned),
                         [](const auto& info) {
                             return info.param == TexelFormat::Signed ? "Signed" : "Unsigned";
                         });

// Every size at the default tracks and every pass count.
TEST_P(InterpreterMatchesModel, SizesAndPassCounts) {
    const int sizes[][2] = {{1, 1}, {1, 7}, {3, 2}, {7, 5}, {33, 17}, {64, 48}};
    uint32_t seed = 1;
    for (const auto& s : sizes)
        for (int passes = 1; passes <= 5; ++passes)
            checkCase({s[0], s[1], 128, 24, 64}, passes, GetParam(), seed++);
}

// Track settings at the range ends, zeros and in between, on a few sizes.
TEST_P(InterpreterMatchesModel, TrackSettings) {
    const int32_t settings[][3] = {{256, 256, 256}, {0, 0, 0},    {256, 0, 0}, {0, 256, 256},
                                   {200, 64, 8},    {64, 8, 128}, {128, 1, 1}, {255, 255, 20}};
    const int sizes[][2] = {{1, 7}, {7, 5}, {33, 17}};
    uint32_t seed = 100;
    for (const auto& t : settings)
        for (const auto& s : sizes)
            for (int passes : {1, 2, 5})
                checkCase({s[0], s[1], t[0], t[1], t[2]}, passes, GetParam(), seed++);
}

} // namespace
} // namespace kestrin::testing
