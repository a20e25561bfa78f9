// The effect's own programs through the compiled engines on textures described as the device
// describes decoded 16-bit textures (every value k / grid). With that description the compiler
// proves colour differences never underflow and drops the taps whose weight is exactly zero;
// these cases aim at where such a proof would break: equal neighbours (a difference of exactly
// zero), neighbours one step apart (the smallest nonzero difference), the extremes, and
// constants at zero, tiny, huge and negative.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "effect/texel_codec.h"
#include "tests/effect/effect_runner.h"
#include "tests/shader/engine_harness.h"
#include "tests/shader/test_util.h"

namespace kestrin::shader::test {
namespace {

constexpr int kWidth = 29, kHeight = 11;

struct Format {
    TexelFormat format;
    int technique;
    int32_t grid;
    float lowest;
};
constexpr Format kSigned{TexelFormat::Signed, 0, 32767, -1.0f};
constexpr Format kUnsigned{TexelFormat::Unsigned, 1, 65535, 0.0f};

// Raw channel values at (x, y, channel) → a planar texture of their decoded values.
template <class Raw> PlanarTexture decodedTexture(TexelFormat format, uint32_t address, Raw&& raw) {
    PlanarTexture t;
    t.width = kWidth;
    t.height = kHeight;
    t.addressU = t.addressV = address;
    t.texels.resize(static_cast<size_t>(kWidth) * kHeight * 4);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
            for (int c = 0; c < 4; ++c)
                t.texels[static_cast<size_t>((y * kWidth + x) * 4 + c)] =
                    readChannel(raw(x, y, c), format);
    t.build();
    return t;
}

// The raw bits of signed value k, or of unsigned value k.
uint16_t rawOf(const Format& f, int k) {
    return f.format == TexelFormat::Signed ? static_cast<uint16_t>(static_cast<int16_t>(k))
                                           : static_cast<uint16_t>(k);
}

struct Pattern {
    const char* name;
    uint16_t (*raw)(const Format&, int x, int y, int c, uint32_t seed);
};

const Pattern kPatterns[] = {
    {"flat", [](const Format& f, int, int, int c,
                uint32_t seed) { return rawOf(f, static_cast<int>(seed % 7) * 1000 + c); }},
    {"one step apart",
     [](const Format& f, int x, int y, int c, uint32_t seed) {
         const int bases[] = {0, 1, 16383, 32766, 65534};
         int k = bases[seed % 5] + ((x * 3 + y + c) % 2);
         if (f.format == TexelFormat::Signed && seed % 2) k = -k;
         return rawOf(f, k);
     }},
    {"extremes",
     [](const Format& f, int x, int y, int c, uint32_t seed) {
         const bool hi = ((x + y + c + static_cast<int>(seed)) % 2) != 0;
         if (f.format == TexelFormat::Unsigned) return static_cast<uint16_t>(hi ? 65535 : 0);
         // 0x8000 reads as -1 too
         return static_cast<uint16_t>(hi ? 0x7FFF : (seed % 2 ? 0x8000 : 0x8001));
     }},
    {"near zero",
     [](const Format& f, int x, int y, int c, uint32_t seed) {
         std::mt19937 rng(seed * 7919u + static_cast<uint32_t>((y * kWidth + x) * 4 + c));
         const int k = static_cast<int>(rng() % 5) - 2;
         return rawOf(f, f.format == TexelFormat::Signed ? k : k + 2);
     }},
    {"random",
     [](const Format&, int x, int y, int c, uint32_t seed) {
         std::mt19937 rng(seed * 104729u + static_cast<uint32_t>((y * kWidth + x) * 4 + c));
         return static_cast<uint16_t>(rng());
     }},
};

// Registers c3-c5 hold the gain, the colour distance and the position distance; c6 the pitch,
// c7-c9 the colour matrix. Realistic settings first, then the ends and beyond.
struct Settings {
    float gain, colour, position;
};
// Colour distances of 2e-36 and 1e-40 make the weight's argument underflow to zero for
// neighbours one step apart while their difference does not: NaN weights, which no folding
// may hide.
const Settings kSettings[] = {
    {0.5f, 81.0f, 0.25f},    {1.0f, 0.0f, 0.0f},     {0.0f, 1e-30f, 1e30f}, {0.5f, 1e30f, 1e-30f},
    {-0.5f, -81.0f, -0.25f}, {0.25f, 4096.0f, 3.0f}, {0.5f, 2e-36f, 0.25f}, {0.5f, 1e-40f, 0.25f},
};

ShaderConstants constantsFor(const Settings& s) {
    ShaderConstants k;
    k.f[3] = {s.gain, 0, 0, 0};
    k.f[4] = {s.colour, 0, 0, 0};
    k.f[5] = {s.position, 0, 0, 0};
    k.f[6] = {1.0f / kWidth, 1.0f / kHeight, 0, 0};
    k.f[7] = {0.299f, -0.16874f, 0.5f, 0};
    k.f[8] = {0.587f, -0.33126f, -0.41869f, 0};
    k.f[9] = {0.114f, 0.5f, -0.08131f, 0};
    return k;
}

std::shared_ptr<const PixelProgram> passProgram(int technique, int pass) {
    const fx::Effect& effect = testing::builtEffect();
    if (effect.techniques.size() != 2) return nullptr;
    const std::vector<uint32_t>* code = testing::passProgram(
        effect.techniques[static_cast<size_t>(technique)].passes.at(static_cast<size_t>(pass)));
    if (!code) return nullptr;
    return loadPixelProgram(code->data(), code->size()).program;
}

// The stages described as the device describes decoded textures of format f.
std::function<void(StageLayout&)> decoded(const Format& f) {
    return [f](StageLayout& l) {
        l.lowest = f.lowest;
        l.highest = 1.0f;
        l.exotic = false;
        l.grid = f.grid;
    };
}

LaneSet pixelCentres() {
    LaneSet l;
    l.count = static_cast<size_t>(kWidth) * kHeight;
    l.inputs[0][0].resize(l.count);
    l.inputs[0][1].resize(l.count);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            l.inputs[0][0][static_cast<size_t>(y) * kWidth + x] = (x + 0.5f) / kWidth;
            l.inputs[0][1][static_cast<size_t>(y) * kWidth + x] = (y + 0.5f) / kHeight;
        }
    return l;
}

class DecodedTextures : public ::testing::TestWithParam<Engine> {};
INSTANTIATE_TEST_SUITE_P(Engines, DecodedTextures, ::testing::Values(Engine::Sse2, Engine::Avx2),
                         [](const auto& info) { return std::string(engineName(info.param)); });

// Every pass of both techniques, every pattern, every setting, mirrored and bordered edges:
// bit for bit the interpreter's output.
TEST_P(DecodedTextures, EffectProgramsMatchTheInterpreter) {
    if (!engineAvailable(GetParam())) GTEST_SKIP() << "CPU lacks " << engineName(GetParam());
    const LaneSet lanes = pixelCentres();
    for (const Format& f : {kSigned, kUnsigned})
        for (int pass = 0; pass < 3; ++pass) {
            const auto program = passProgram(f.technique, pass);
            ASSERT_TRUE(program) << "technique " << f.technique << " pass " << pass;
            for (uint32_t address : {kAddressMirror, kAddressBorder})
                for (const Pattern& p : kPatterns)
                    for (uint32_t seed = 0; seed < 2; ++seed) {
                        auto raw = [&](uint32_t s) {
                            return [&, s](int x, int y, int c) { return p.raw(f, x, y, c, s); };
                        };
                        const PlanarTexture t0 = decodedTexture(f.format, address, raw(seed));
                        const PlanarTexture t1 = decodedTexture(f.format, address, raw(seed + 3));
                        for (const Settings& s : kSettings) {
                            SCOPED_TRACE(::testing::Message()
                                         << "technique " << f.technique << " pass " << pass
                                         << " address " << address << " " << p.name << " seed "
                                         << seed << " settings " << s.gain << "/" << s.colour << "/"
                                         << s.position);
                            const ShaderConstants k = constantsFor(s);
                            const EngineOutput ref =
                                runEngine(Engine::Interpreter, program, k, {&t0, &t1}, lanes);
                            std::string refused;
                            const EngineOutput got = runEngine(GetParam(), program, k, {&t0, &t1},
                                                               lanes, &refused, decoded(f));
                            ASSERT_TRUE(refused.empty()) << refused;
                            ASSERT_TRUE(sameOutput(ref, got));
                            ASSERT_LT(got.bailed, got.blocks / 2);
                        }
                    }
        }
}

// At the usual settings some taps' position weights are exactly zero. Knowing the textures are
// decoded ones lets the compiler drop them; without that description it must keep them (an
// infinite colour weight times zero would be NaN).
TEST_P(DecodedTextures, ZeroWeightTapsAreDroppedOnlyForDecodedTextures) {
    if (!engineAvailable(GetParam())) GTEST_SKIP() << "CPU lacks " << engineName(GetParam());
    const auto program = passProgram(0, 2);
    ASSERT_TRUE(program);
    const PlanarTexture t =
        decodedTexture(TexelFormat::Signed, kAddressMirror, [](int x, int y, int c) {
            return static_cast<uint16_t>(x * 977 + y * 31 + c);
        });
    const ShaderConstants k = constantsFor(kSettings[0]);
    auto count = [&](bool describeGrid) {
        DrawSpecialisation draw;
        draw.constants = &k;
        StageLayout l = t.layout();
        decoded(kSigned)(l);
        if (!describeGrid) l.grid = 0;
        draw.stages[0] = draw.stages[1] = l;
        const CompileResult compiled = compileProgram(*program, draw, GetParam());
        EXPECT_TRUE(compiled.program) << compiled.reason;
        return compiled.program ? compiled.program->operationCount() : 0;
    };
    const size_t described = count(true), plain = count(false);
    EXPECT_LT(described, plain * 9 / 10) << described << " operations against " << plain;
}

} // namespace
} // namespace kestrin::shader::test
