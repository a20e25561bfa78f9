// Whole programs through both engines: the filter programs on images of several sizes, at the
// edges and across them, with each compiled engine against the interpreter, bit for bit.
#include <gtest/gtest.h>

#include "tests/shader/engine_harness.h"
#include "tests/shader/test_util.h"

namespace kestrin::shader::test {
namespace {

std::shared_ptr<const PixelProgram> load(const std::string& text) {
    const AssembleResult a = assemble(text, 1, {});
    EXPECT_TRUE(a.ok()) << joinDiagnostics(a.errors);
    ProgramLoad p = loadPixelProgram(a.tokens.data(), a.tokens.size());
    EXPECT_TRUE(p.program) << p.error;
    return p.program;
}

PlanarTexture randomTexture(int w, int h, uint32_t seed) {
    PlanarTexture t;
    t.width = w;
    t.height = h;
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> raw(-32767, 32767);
    t.texels.resize(static_cast<size_t>(w) * h * 4);
    for (float& v : t.texels) v = static_cast<float>(raw(rng)) / 32767.0f;
    t.build();
    return t;
}

// Texture coordinates of every pixel centre of a w x h target, row by row.
LaneSet pixelCentres(int w, int h) {
    LaneSet l;
    l.count = static_cast<size_t>(w) * h;
    l.inputs[0][0].resize(l.count);
    l.inputs[0][1].resize(l.count);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            l.inputs[0][0][static_cast<size_t>(y) * w + x] =
                (static_cast<float>(x) + 0.5f) / static_cast<float>(w);
            l.inputs[0][1][static_cast<size_t>(y) * w + x] =
                (static_cast<float>(y) + 0.5f) / static_cast<float>(h);
        }
    return l;
}

class EnginePrograms : public ::testing::TestWithParam<Engine> {};
INSTANTIATE_TEST_SUITE_P(Engines, EnginePrograms, ::testing::Values(Engine::Sse2, Engine::Avx2),
                         [](const auto& info) { return std::string(engineName(info.param)); });

TEST_P(EnginePrograms, FilterProgramMatchesInterpreter) {
    if (!engineAvailable(GetParam())) GTEST_SKIP() << "CPU lacks " << engineName(GetParam());
    const auto program = load(kFilterProgram);
    ASSERT_TRUE(program);
    for (const auto& [w, h] : {std::pair{64, 9}, {40, 13}, {8, 8}, {13, 5}}) {
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        const PlanarTexture tex = randomTexture(w, h, static_cast<uint32_t>(w * 131 + h));
        ShaderConstants k;
        k.f[0] = {0.8f, 0, 0, 0};
        k.f[1] = {1.0f / static_cast<float>(w), 1.0f / static_cast<float>(h), 0, 0};
        k.f[2] = {0.05f, 0, 0, 0};
        const LaneSet lanes = pixelCentres(w, h);
        const std::vector<const PlanarTexture*> stages{nullptr, &tex};
        const EngineOutput ref = runEngine(Engine::Interpreter, program, k, stages, lanes);
        std::string refused;
        const EngineOutput got = runEngine(GetParam(), program, k, stages, lanes, &refused);
        EXPECT_TRUE(refused.empty()) << refused;
        EXPECT_TRUE(sameOutput(ref, got));
        EXPECT_LT(got.bailed, got.blocks);
    }
}

} // namespace
} // namespace kestrin::shader::test
