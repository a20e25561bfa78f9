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

namespace kestrin::shader::test {
namespace {

// Texture reads in every form the compiled code distinguishes: coordinates that step by one
// texel (contiguous loads), reads beyond the edges (the padding), constant coordinates (one
// texel for every lane, addressed at compile time), a read whose coordinates come from another
// read, coordinates that do not step by one texel (handed back to the interpreter), an
// unbound stage, and a swizzled sampler. Each against the interpreter, with each address mode.
TEST_P(EnginePrograms, TextureReadsMatchTheInterpreter) {
    if (!engineAvailable(GetParam())) GTEST_SKIP() << "CPU lacks " << engineName(GetParam());
    const char* bodies[] = {
        "texld r0, v0, s0",
        "mov r2, c1.x\nmad r1.xy, c0, r2, v0\ntexldl r0, r1, s0",      // three texels left and up
        "mov r2, c1.y\nmad r1.xy, c0, r2, v0\ntexldl r0, r1, s0",      // five texels right, down
        "mov r1, c2\ntexld r0, r1, s0",                                // constant, inside
        "mov r1, c3\ntexld r0, r1, s0",                                // constant, beyond the edges
        "texld r1, v0, s0\nmul r1.xy, r1_abs, c1.z\ntexld r0, r1, s0", // dependent
        "mul r1.xy, v0, c1.w\ntexld r0, r1, s0",                       // two texels per lane
        "texld r0, v0, s3",                                            // unbound
        "texld r0, v0, s0.wzyx\nmov r0.w, c0.z",                       // swizzled result
    };
    const int w = 37, h = 11;
    for (uint32_t mode :
         {kAddressWrap, kAddressMirror, kAddressClamp, kAddressBorder, kAddressMirrorOnce}) {
        PlanarTexture tex = randomTexture(w, h, 99 + mode);
        tex.addressU = tex.addressV = mode;
        tex.build();
        ShaderConstants k;
        k.f[0] = {1.0f / w, 1.0f / h, 0.0f, 0.0f};
        k.f[1] = {-3.0f, 5.0f, 0.5f, 2.0f};
        k.f[2] = {0.3f, 0.7f, 0.0f, 0.0f};
        k.f[3] = {-0.2f, 1.6f, 0.0f, 0.0f};
        const LaneSet lanes = pixelCentres(w, h);
        for (const char* body : bodies) {
            SCOPED_TRACE(std::string(body) + " / address mode " + std::to_string(mode));
            const auto program = load(std::string("ps_3_0\ndcl_texcoord0 v0.xy\ndcl_2d s0\n"
                                                  "dcl_2d s3\n") +
                                      body + "\nmov oC0, r0\n");
            ASSERT_TRUE(program);
            const std::vector<const PlanarTexture*> stages{&tex};
            const EngineOutput ref = runEngine(Engine::Interpreter, program, k, stages, lanes);
            std::string refused;
            const EngineOutput got = runEngine(GetParam(), program, k, stages, lanes, &refused);
            EXPECT_TRUE(refused.empty()) << refused;
            EXPECT_TRUE(sameOutput(ref, got));
        }
    }
}

// Blocks handed back are counted: contiguous reads run compiled, others do not.
TEST_P(EnginePrograms, OnlyReadsThatDoNotStepByOneTexelAreHandedBack) {
    if (!engineAvailable(GetParam())) GTEST_SKIP() << "CPU lacks " << engineName(GetParam());
    const int w = 64, h = 4;
    const PlanarTexture tex = randomTexture(w, h, 5);
    ShaderConstants k;
    k.f[1] = {2.0f, 0, 0, 0};
    const LaneSet lanes = pixelCentres(w, h);
    const std::vector<const PlanarTexture*> stages{&tex};
    const auto stepping = load("ps_3_0\ndcl_texcoord0 v0.xy\ndcl_2d s0\ntexld r0, v0, s0\n"
                               "mov oC0, r0\n");
    const auto doubled = load("ps_3_0\ndcl_texcoord0 v0.xy\ndcl_2d s0\nmul r1.xy, v0, c1.x\n"
                              "texld r0, r1, s0\nmov oC0, r0\n");
    const EngineOutput a = runEngine(GetParam(), stepping, k, stages, lanes);
    const EngineOutput b = runEngine(GetParam(), doubled, k, stages, lanes);
    EXPECT_EQ(a.bailed, 0u);
    EXPECT_EQ(b.bailed, b.blocks);
}

} // namespace
} // namespace kestrin::shader::test

namespace kestrin::shader::test {
namespace {

// A random program of everything the engines run: arithmetic with random masks, swizzles,
// source modifiers and saturation, static loops and ifs around some of it, texture reads at
// the pixel's own coordinates and at computed ones.
std::string randomProgram(std::mt19937& rng) {
    auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
    auto constant = [&] {
        const float values[] = {0.0f, -0.0f, 1.0f, -1.0f, 0.5f, 2.5f, -3.75f, 0.36f, 1e-3f, 7.0f};
        return std::to_string(values[pick(10)]);
    };
    std::string p = "ps_3_0\n";
    for (int c = 10; c < 14; ++c)
        p += "def c" + std::to_string(c) + ", " + constant() + ", " + constant() + ", " +
             constant() + ", " + constant() + "\n";
    p += "defi i0, " + std::to_string(1 + pick(3)) + ", 0, 0, 0\n";
    p += std::string("defb b0, ") + (pick(2) ? "true" : "false") + "\n";
    p += "dcl_texcoord0 v0.xy\ndcl_texcoord1 v1\ndcl_2d s0\n";
    p += "mov r0, v1\nmov r1, v0.yxyx\nmov r2, c10\ntexld r3, v0, s0\nmov r4, c11\nmov r5, c12\n";
    const char* ops[] = {"mov", "add", "mul", "mad", "min", "max", "frc",
                         "abs", "rcp", "rsq", "cmp", "dp3", "dp4", "texld"};
    const int sources[] = {1, 2, 2, 3, 2, 2, 1, 1, 1, 1, 3, 2, 2, 0};
    const char* mods[] = {"", "-", "_abs", "-_abs"};
    const char* swizzles[] = {"", ".x", ".y", ".z", ".w", ".yzxw", ".wzyx", ".xxyy"};
    const char* masks[] = {"", ".x", ".y", ".xy", ".zw", ".xyz", ".w"};
    std::vector<std::string> open;
    const int count = 8 + pick(20);
    for (int i = 0; i < count; ++i) {
        if (pick(8) == 0 && open.size() < 2) {
            if (pick(2)) {
                p += "rep i0\n";
                open.push_back("endrep");
            } else {
                p += "if b0\n";
                open.push_back("endif");
            }
        } else if (!open.empty() && pick(5) == 0) {
            p += open.back() + "\n";
            open.pop_back();
        }
        const int op = pick(14);
        const std::string dst = "r" + std::to_string(pick(6));
        if (op == 13) {
            // at the pixel's own coordinate, a few texels off, or wherever a register points
            const int how = pick(3);
            if (how == 0)
                p += "texld " + dst + ", v0, s0\n";
            else if (how == 1)
                p += "add r6.xy, v0, c13\ntexld " + dst + ", r6, s0\n";
            else
                p += "texld " + dst + ", r" + std::to_string(pick(6)) + ", s0\n";
            continue;
        }
        const bool scalar = op == 8 || op == 9;
        p += std::string(ops[op]) + (pick(4) == 0 ? "_sat " : " ") + dst + masks[pick(7)];
        bool usedConst = false;
        for (int s = 0; s < sources[op]; ++s) {
            std::string reg;
            if (!usedConst && pick(4) == 0) {
                reg = "c" + std::to_string(10 + pick(4));
                usedConst = true;
            } else {
                reg = "r" + std::to_string(pick(3) + (s == 0 ? 0 : 3 * (s - 1)));
            }
            const char* mod = mods[pick(4)];
            const std::string swz = scalar ? std::string(".") + "xyzw"[pick(4)] : swizzles[pick(8)];
            if (mod[0] == '-' && mod[1] == '_')
                reg = "-" + reg + "_abs";
            else if (mod[0] == '-')
                reg = "-" + reg;
            else if (mod[0] == '_')
                reg = reg + "_abs";
            p += std::string(s ? ", " : ", ") + reg + swz;
        }
        p += "\n";
    }
    while (!open.empty()) {
        p += open.back() + "\n";
        open.pop_back();
    }
    return p + "mov oC0, r0\n";
}

TEST_P(EnginePrograms, RandomProgramsMatchTheInterpreter) {
    if (!engineAvailable(GetParam())) GTEST_SKIP() << "CPU lacks " << engineName(GetParam());
    std::mt19937 rng(2024);
    const int w = 29, h = 6;
    const PlanarTexture tex = randomTexture(w, h, 17);
    LaneSet lanes = pixelCentres(w, h);
    std::uniform_real_distribution<float> value(-4.0f, 4.0f);
    for (unsigned c = 0; c < 4; ++c) {
        lanes.inputs[1][c].resize(lanes.count);
        for (float& v : lanes.inputs[1][c]) v = value(rng);
    }
    ShaderConstants k;
    k.f[13] = {2.0f / w, -1.0f / h, 0.0f, 0.0f};
    int compiled = 0;
    for (int n = 0; n < 300; ++n) {
        const std::string text = randomProgram(rng);
        SCOPED_TRACE(text);
        const AssembleResult a = assemble(text, 1, {});
        ASSERT_TRUE(a.ok()) << joinDiagnostics(a.errors);
        ProgramLoad p = loadPixelProgram(a.tokens.data(), a.tokens.size());
        ASSERT_TRUE(p.program) << p.error;
        const std::vector<const PlanarTexture*> stages{&tex};
        const EngineOutput ref = runEngine(Engine::Interpreter, p.program, k, stages, lanes);
        std::string refused;
        const EngineOutput got = runEngine(GetParam(), p.program, k, stages, lanes, &refused);
        ASSERT_TRUE(refused.empty()) << refused;
        ASSERT_TRUE(sameOutput(ref, got));
        compiled += got.bailed < got.blocks;
    }
    EXPECT_GT(compiled, 150); // most programs ran compiled for some blocks
}

} // namespace
} // namespace kestrin::shader::test
