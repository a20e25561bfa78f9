// Every instruction and modifier, one source line at a time, through the interpreter and both
// compiled engines. Each row is a line and what it gives:
//   - on eight fixed lanes (negatives, -0 and +0, a tie, infinities, NaN) the expected x of the
//     result, written out in the row, so a wrong comparison or rounding is caught by the table
//     itself and not only by the engines disagreeing;
//   - on random lanes, the row's scalar reference, and the engines against each other bit for
//     bit.
// The lines run with r1 = v0, r2 = v1, r3 = v2 and r0 = 0 beforehand; oC0 = r0 afterwards.
// The last table lists what the validator accepts but neither engine runs: loading refuses it.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <random>

#include "tests/shader/engine_harness.h"
#include "tests/shader/test_util.h"

namespace kestrin::shader::test {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// x components of the fixed lanes; y, z, w are the same in every lane.
constexpr float kA[8] = {-2.5f, -0.0f, 0.0f, 1.5f, kInf, -kInf, kNaN, 2.5f};
constexpr float kB[8] = {1.0f, 0.0f, -0.0f, 1.5f, 2.0f, -3.0f, 1.0f, -0.5f};
constexpr float kC[8] = {3.0f, -1.0f, 2.0f, -0.5f, kNaN, 1.0f, 0.25f, 4.0f};
constexpr float kRestA[3] = {1.0f, 2.0f, 3.0f};
constexpr float kRestB[3] = {0.5f, -1.0f, 2.0f};
constexpr float kRestC[3] = {1.0f, 1.0f, 1.0f};

using Vec = std::array<float, 4>;
using Reference = std::function<float(const Vec& a, const Vec& b, const Vec& c)>;

struct Row {
    const char* line; // one or more lines of the program body
    std::array<float, 8> expected;
    Reference reference; // null: the fixed lanes only
    const char* header = "";
};

float sat(float v) {
    return std::isnan(v) ? 0.0f : std::min(std::max(v, 0.0f), 1.0f);
}

// clang-format off
const Row kRows[] = {
    {"mov r0, r1", {-2.5f, -0.0f, 0.0f, 1.5f, kInf, -kInf, kNaN, 2.5f},
     [](const Vec& a, const Vec&, const Vec&) { return a[0]; }},
    {"nop\nmov r0, r2", {1.0f, 0.0f, -0.0f, 1.5f, 2.0f, -3.0f, 1.0f, -0.5f},
     [](const Vec&, const Vec& b, const Vec&) { return b[0]; }},
    {"add r0, r1, r2", {-1.5f, 0.0f, 0.0f, 3.0f, kInf, -kInf, kNaN, 2.0f},
     [](const Vec& a, const Vec& b, const Vec&) { return a[0] + b[0]; }},
    {"mul r0, r1, r2", {-2.5f, -0.0f, -0.0f, 2.25f, kInf, kInf, kNaN, -1.25f},
     [](const Vec& a, const Vec& b, const Vec&) { return a[0] * b[0]; }},
    {"mad r0, r1, r2, r3", {0.5f, -1.0f, 2.0f, 1.75f, kNaN, kInf, kNaN, 2.75f},
     [](const Vec& a, const Vec& b, const Vec& c) { const float p = a[0] * b[0]; return p + c[0]; }},
    {"min r0, r1, r2", {-2.5f, 0.0f, -0.0f, 1.5f, 2.0f, -kInf, 1.0f, -0.5f},
     [](const Vec& a, const Vec& b, const Vec&) { return a[0] < b[0] ? a[0] : b[0]; }},
    {"max r0, r1, r2", {1.0f, -0.0f, 0.0f, 1.5f, kInf, -3.0f, 1.0f, 2.5f},
     [](const Vec& a, const Vec& b, const Vec&) { return a[0] >= b[0] ? a[0] : b[0]; }},
    {"frc r0, r1", {0.5f, 0.0f, 0.0f, 0.5f, kNaN, kNaN, kNaN, 0.5f},
     [](const Vec& a, const Vec&, const Vec&) { return a[0] - std::floor(a[0]); }},
    {"abs r0, r1", {2.5f, 0.0f, 0.0f, 1.5f, kInf, kInf, kNaN, 2.5f},
     [](const Vec& a, const Vec&, const Vec&) { return std::fabs(a[0]); }},
    {"rcp r0, r1.x", {-0.400000006f, -kInf, kInf, 0.666666687f, 0.0f, -0.0f, kNaN, 0.400000006f},
     [](const Vec& a, const Vec&, const Vec&) { return 1.0f / a[0]; }},
    {"rsq r0.x, r1.x", {kNaN, -kInf, kInf, 0.816496551f, 0.0f, kNaN, kNaN, 0.632455528f},
     [](const Vec& a, const Vec&, const Vec&) { return 1.0f / std::sqrt(a[0]); }},
    {"cmp r0, r1, r2, r3", {3.0f, 0.0f, -0.0f, 1.5f, 2.0f, 1.0f, 0.25f, -0.5f},
     [](const Vec& a, const Vec& b, const Vec& c) { return a[0] >= 0.0f ? b[0] : c[0]; }},
    {"dp3 r0, r1, r2", {-4.0f, -1.5f, -1.5f, 0.75f, kInf, kInf, kNaN, -2.75f},
     [](const Vec& a, const Vec& b, const Vec&) {
         const float x = a[0] * b[0], y = a[1] * b[1], z = a[2] * b[2];
         return (x + y) + z;
     }},
    {"dp4 r0.x, r1, r2", {2.0f, 4.5f, 4.5f, 6.75f, kInf, kInf, kNaN, 3.25f},
     [](const Vec& a, const Vec& b, const Vec&) {
         const float x = a[0] * b[0], y = a[1] * b[1], z = a[2] * b[2], w = a[3] * b[3];
         return ((x + y) + z) + w;
     }},
    // Source modifiers and result modifiers.
    {"add r0, -r1, r2", {3.5f, 0.0f, -0.0f, 0.0f, -kInf, kInf, kNaN, -3.0f},
     [](const Vec& a, const Vec& b, const Vec&) { return -a[0] + b[0]; }},
    {"add r0, r1_abs, r2", {3.5f, 0.0f, 0.0f, 3.0f, kInf, kInf, kNaN, 2.0f},
     [](const Vec& a, const Vec& b, const Vec&) { return std::fabs(a[0]) + b[0]; }},
    {"add r0, -r1_abs, r2", {-1.5f, 0.0f, -0.0f, 0.0f, -kInf, -kInf, kNaN, -3.0f},
     [](const Vec& a, const Vec& b, const Vec&) { return -std::fabs(a[0]) + b[0]; }},
    {"mov_sat r0, r1", {0.0f, -0.0f, 0.0f, 1.0f, 1.0f, 0.0f, 0.0f, 1.0f},
     [](const Vec& a, const Vec&, const Vec&) { return sat(a[0]); }},
    {"mul_sat r0, r1, r2", {0.0f, -0.0f, -0.0f, 1.0f, 1.0f, 1.0f, 0.0f, 0.0f},
     [](const Vec& a, const Vec& b, const Vec&) { return sat(a[0] * b[0]); }},
    {"mad_sat r0, -r1, r2, r3", {1.0f, 0.0f, 1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 1.0f},
     [](const Vec& a, const Vec& b, const Vec& c) { const float p = -a[0] * b[0]; return sat(p + c[0]); }},
    {"cmp r0, -r1, r2, r3", {1.0f, 0.0f, -0.0f, -0.5f, kNaN, -3.0f, 0.25f, 4.0f},
     [](const Vec& a, const Vec& b, const Vec& c) { return -a[0] >= 0.0f ? b[0] : c[0]; }},
    // Swizzles and write masks.
    {"mov r0, r1.wzyx", {3.0f, 3.0f, 3.0f, 3.0f, 3.0f, 3.0f, 3.0f, 3.0f},
     [](const Vec& a, const Vec&, const Vec&) { return a[3]; }},
    {"add r0, r1.yyyy, r2.x", {2.0f, 1.0f, 1.0f, 2.5f, 3.0f, -2.0f, 2.0f, 0.5f},
     [](const Vec& a, const Vec& b, const Vec&) { return a[1] + b[0]; }},
    {"mov r0.yzw, r1", {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f},
     [](const Vec&, const Vec&, const Vec&) { return 0.0f; }},
    {"mov r0.x, r1.y\nmov r0.y, r0.x\nmov r0.x, r2", {1.0f, 0.0f, -0.0f, 1.5f, 2.0f, -3.0f, 1.0f, -0.5f},
     [](const Vec&, const Vec& b, const Vec&) { return b[0]; }},
    // Uniform flow control: static loops and if on a boolean constant.
    {"if b0\nmov r0, r1\nelse\nmov r0, r2\nendif", {-2.5f, -0.0f, 0.0f, 1.5f, kInf, -kInf, kNaN, 2.5f},
     [](const Vec& a, const Vec&, const Vec&) { return a[0]; }, "defb b0, true\n"},
    {"if !b0\nmov r0, r1\nelse\nmov r0, r2\nendif", {1.0f, 0.0f, -0.0f, 1.5f, 2.0f, -3.0f, 1.0f, -0.5f},
     [](const Vec&, const Vec& b, const Vec&) { return b[0]; }, "defb b0, true\n"},
    {"if b1\nmov r0, r1\nendif", {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f},
     [](const Vec&, const Vec&, const Vec&) { return 0.0f; }, "defb b1, false\n"},
    {"rep i0\nadd r0, r0, r1\nendrep", {-7.5f, 0.0f, 0.0f, 4.5f, kInf, -kInf, kNaN, 7.5f},
     [](const Vec& a, const Vec&, const Vec&) { return ((0.0f + a[0]) + a[0]) + a[0]; },
    },
    {"loop aL, i1\nadd r0, r0, r2\nendloop", {2.0f, 0.0f, 0.0f, 3.0f, 4.0f, -6.0f, 2.0f, -1.0f},
     [](const Vec&, const Vec& b, const Vec&) { return (0.0f + b[0]) + b[0]; },
     "defi i1, 2, 0, 1, 0\n"},
    {"rep i0\nadd r0, r0, r1\nbreak\nendrep", {-2.5f, 0.0f, 0.0f, 1.5f, kInf, -kInf, kNaN, 2.5f},
     [](const Vec& a, const Vec&, const Vec&) { return 0.0f + a[0]; }},
    {"rep i2\nadd r0, r0, r1\nendrep\nadd r0, r0, r2", {1.0f, 0.0f, 0.0f, 1.5f, 2.0f, -3.0f, 1.0f, -0.5f},
     [](const Vec&, const Vec& b, const Vec&) { return 0.0f + b[0]; }, "defi i2, 0, 0, 0, 0\n"},
    {"rep i0\nrep i0\nadd r0, r0, r2\nendrep\nendrep", {9.0f, 0.0f, 0.0f, 13.5f, 18.0f, -27.0f, 9.0f, -4.5f},
     [](const Vec&, const Vec& b, const Vec&) {
         float s = 0.0f;
         for (int i = 0; i < 9; ++i) s = s + b[0];
         return s;
     }},
    // A def'd constant in place of a parameter.
    {"mad r0, r1, c20, c20.y", {-4.1875f, 0.5f, 0.5f, 3.3125f, kInf, -kInf, kNaN, 5.1875f},
     [](const Vec& a, const Vec&, const Vec&) { const float p = a[0] * 1.875f; return p + 0.5f; },
     "def c20, 1.875, 0.5, 0, 0\n"},
};

// Accepted by the validator, not run by either engine: the device refuses such a shader at
// CreatePixelShader with the reason, so nothing is ever half-run.
const char* const kRefused[] = {
    "sub r0, r1, r2",          "exp r0, r1.x",           "log r0, r1.x",
    "lrp r0, r1, r2, r3",      "pow r0, r1.x, r2.x",     "crs r0.xyz, r1, r2",
    "nrm r0.xyz, r1",          "sincos r0.xy, r1.x",     "dp2add r0, r1, r2, r3.x",
    "m4x4 r0, r1, c0",         "m3x3 r0.xyz, r1, c0",    "m3x2 r0.xy, r1, c0",
    "m4x3 r0.xyz, r1, c0",     "m3x4 r0, r1, c0",        "dsx r0, r1",
    "dsy r0, r1",              "texkill r1",             "setp_gt p0, r1, r2",
    "if_lt r1.x, r2.x\nendif", "rep i0\nbreak_gt r1.x, r2.x\nendrep",
};
// clang-format on

std::string program(const Row& row) {
    return std::string("ps_3_0\n") + row.header +
           "defi i0, 3, 0, 0, 0\ndcl_texcoord0 v0\ndcl_texcoord1 v1\ndcl_texcoord2 v2\n"
           "mov r1, v0\nmov r2, v1\nmov r3, v2\n" +
           row.line + "\nmov oC0, r0\n";
}

std::shared_ptr<const PixelProgram> load(const std::string& text, std::string* error) {
    const AssembleResult a = assemble(text, 1, {});
    if (!a.ok()) {
        *error = "assembler: " + joinDiagnostics(a.errors);
        return nullptr;
    }
    ProgramLoad p = loadPixelProgram(a.tokens.data(), a.tokens.size());
    *error = p.error;
    return p.program;
}

LaneSet fixedLanes() {
    LaneSet l;
    l.count = 8;
    const float* xs[3] = {kA, kB, kC};
    const float* rest[3] = {kRestA, kRestB, kRestC};
    for (unsigned r = 0; r < 3; ++r)
        for (unsigned c = 0; c < 4; ++c) {
            l.inputs[r][c].resize(8);
            for (size_t k = 0; k < 8; ++k) l.inputs[r][c][k] = c == 0 ? xs[r][k] : rest[r][c - 1];
        }
    return l;
}

// Random lanes, one in four a special value.
LaneSet randomLanes(size_t count, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> value(-8.0f, 8.0f);
    std::uniform_int_distribution<int> pick(0, 15);
    const float specials[] = {0.0f, -0.0f, 0.5f,  -0.5f,  1.5f, -2.5f,       kInf,        -kInf,
                              kNaN, 1.0f,  -1.0f, 1e-40f, 3.0f, 16777216.0f, -8388609.5f, 2.0f};
    LaneSet l;
    l.count = count;
    for (unsigned r = 0; r < 3; ++r)
        for (unsigned c = 0; c < 4; ++c) {
            l.inputs[r][c].resize(count);
            for (float& v : l.inputs[r][c]) v = pick(rng) < 4 ? specials[pick(rng)] : value(rng);
        }
    return l;
}

std::string lanesText(const std::vector<float>& v) {
    std::string s;
    for (float f : v) s += std::to_string(f) + (std::signbit(f) && f == 0.0f ? "(-0) " : " ");
    return s;
}

class OpcodeTable : public ::testing::TestWithParam<Engine> {};
INSTANTIATE_TEST_SUITE_P(Engines, OpcodeTable,
                         ::testing::Values(Engine::Interpreter, Engine::Sse2, Engine::Avx2),
                         [](const auto& info) { return std::string(engineName(info.param)); });

TEST_P(OpcodeTable, FixedLanesGiveTheTablesValues) {
    if (!engineAvailable(GetParam())) GTEST_SKIP() << "CPU lacks " << engineName(GetParam());
    const ShaderConstants constants;
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.line);
        std::string error;
        const auto p = load(program(row), &error);
        ASSERT_TRUE(p) << error;
        std::string refused;
        const EngineOutput out = runEngine(GetParam(), p, constants, {}, fixedLanes(), &refused);
        EXPECT_TRUE(refused.empty()) << refused;
        EXPECT_EQ(out.bailed, 0u);
        std::vector<float> expected(row.expected.begin(), row.expected.end());
        for (size_t k = 0; k < 8; ++k)
            EXPECT_TRUE(sameBits(expected[k], out.colour[0][k]))
                << "lane " << k << "\n expected " << lanesText(expected) << "\n got      "
                << lanesText(out.colour[0]);
    }
}

TEST_P(OpcodeTable, RandomLanesMatchTheReferenceAndTheInterpreter) {
    if (!engineAvailable(GetParam())) GTEST_SKIP() << "CPU lacks " << engineName(GetParam());
    const ShaderConstants constants;
    const LaneSet lanes = randomLanes(203, 7); // not a multiple of a block: the last overlaps
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.line);
        std::string error;
        const auto p = load(program(row), &error);
        ASSERT_TRUE(p) << error;
        const EngineOutput ref = runEngine(Engine::Interpreter, p, constants, {}, lanes);
        const EngineOutput out = runEngine(GetParam(), p, constants, {}, lanes);
        EXPECT_TRUE(sameOutput(ref, out));
        for (size_t k = 0; k < lanes.count; ++k) {
            Vec a, b, c;
            for (unsigned i = 0; i < 4; ++i) {
                a[i] = lanes.inputs[0][i][k];
                b[i] = lanes.inputs[1][i][k];
                c[i] = lanes.inputs[2][i][k];
            }
            const float want = row.reference(a, b, c);
            if (!sameBits(want, out.colour[0][k])) {
                ADD_FAILURE() << "lane " << k << " (" << a[0] << ", " << b[0] << ", " << c[0]
                              << "): reference " << want << ", engine " << out.colour[0][k];
                break;
            }
        }
    }
}

TEST(OpcodeTable, InstructionsNeitherEngineRunsAreRefusedAtLoad) {
    for (const char* line : kRefused) {
        SCOPED_TRACE(line);
        Row row{line, {}, nullptr};
        std::string error;
        EXPECT_FALSE(load(program(row), &error));
        EXPECT_NE(error.find("not supported"), std::string::npos) << error;
    }
}

// slt and sge are vertex-shader instructions: the validator refuses them in a pixel program.
TEST(OpcodeTable, VertexShaderComparisonsAreInvalidInPixelPrograms) {
    for (const char* line : {"slt r0, r1, r2", "sge r0, r1, r2"}) {
        SCOPED_TRACE(line);
        std::string error;
        EXPECT_FALSE(load(program(Row{line, {}, nullptr}), &error));
        EXPECT_NE(error.find("not a ps_3_0 instruction"), std::string::npos) << error;
    }
}

} // namespace
} // namespace kestrin::shader::test
