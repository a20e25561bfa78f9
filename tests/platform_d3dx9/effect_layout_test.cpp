// The effect runtime's device-free parts: how constant tables tie programs to parameters (and
// which tables are refused), what the passes do on the device, how values fill registers, and how
// the typed setters store values.
#include <gtest/gtest.h>

#include <bit>
#include <string>
#include <variant>
#include <vector>

#include "effect/constants.h"
#include "fx/states.h"
#include "platform/d3dx9/constant_registers.h"
#include "platform/d3dx9/effect_layout.h"
#include "platform/d3dx9/parameter_values.h"
#include "shader/assembler.h"
#include "tests/effect/effect_runner.h"

namespace kestrin::platform::d3dx9 {
namespace {

using shader::CtabEntry;
using shader::RegisterSet;

constexpr uint32_t kZEnable = 7;                                                 // D3DRS_ZENABLE
constexpr uint32_t kAddressU = 1, kAddressV = 2, kMagFilter = 5, kMinFilter = 6; // D3DSAMP_*

uint32_t bits(float f) {
    return std::bit_cast<uint32_t>(f);
}

size_t parameterIndex(const fx::Effect& e, const std::string& name) {
    const auto i = e.findParameter(name);
    EXPECT_TRUE(i.has_value()) << name;
    return i.value_or(0);
}

// A tiny ps_3_0 program reading s0 and c0, with the given constant table.
std::vector<uint32_t> program(const std::vector<CtabEntry>& ctab) {
    const auto r = shader::assemble("ps_3_0\n"
                                    "dcl_texcoord0 v0.xy\n"
                                    "dcl_2d s0\n"
                                    "texld r0, v0, s0\n"
                                    "add r0, r0, c0\n"
                                    "mov oC0, r0\n",
                                    1, ctab);
    EXPECT_TRUE(r.ok());
    return r.tokens;
}

// The built effect with the pixel program of technique 0, pass 0 replaced.
fx::Effect withProgram(std::vector<uint32_t> code) {
    fx::Effect e = testing::builtEffect();
    for (fx::State& s : e.techniques.at(0).passes.at(0).states)
        if (s.operation == fx::state::PixelShader) s.value = fx::ShaderCode{std::move(code)};
    return e;
}

const ProgramLayout& passProgram(const EffectLayout& layout, size_t t, size_t p) {
    for (const StateAction& a : layout.techniques.at(t).passes.at(p).actions)
        if (a.kind == ActionKind::PixelShader) return layout.programs.at(size_t(a.program));
    ADD_FAILURE() << "no pixel program";
    return layout.programs.at(0);
}

TEST(EffectLayout, BuiltEffectPassesSetShadersAndDepthTest) {
    const LayoutResult r = buildLayout(testing::builtEffect());
    ASSERT_TRUE(r.layout) << r.message;
    const EffectLayout& layout = *r.layout;
    ASSERT_EQ(layout.techniques.size(), 2u);
    EXPECT_EQ(layout.programs.size(), 6u);
    for (const TechniqueLayout& t : layout.techniques) {
        ASSERT_EQ(t.passes.size(), 3u);
        for (const PassLayout& p : t.passes) {
            ASSERT_EQ(p.actions.size(), 3u);
            EXPECT_EQ(p.actions[0].kind, ActionKind::VertexShader);
            EXPECT_EQ(p.actions[0].program, -1);
            EXPECT_EQ(p.actions[1].kind, ActionKind::PixelShader);
            EXPECT_GE(p.actions[1].program, 0);
            EXPECT_EQ(p.actions[2].kind, ActionKind::RenderState);
            EXPECT_EQ(p.actions[2].number, kZEnable);
            EXPECT_EQ(p.actions[2].value, 0u);
        }
        EXPECT_TRUE(t.footprint.vertexShader);
        EXPECT_TRUE(t.footprint.pixelShader);
        EXPECT_EQ(t.footprint.renderStates, std::set<uint32_t>{kZEnable});
        // The samplers the programs name are s0 and s1, and the constants c0..c9.
        EXPECT_EQ(t.footprint.textures, (std::set<uint32_t>{0, 1}));
        EXPECT_EQ(t.footprint.samplerStates.size(), 8u);
        EXPECT_TRUE(t.footprint.samplerStates.count({1, kMinFilter}));
        EXPECT_EQ(t.footprint.pixelFloat.size(), 10u);
        EXPECT_TRUE(t.footprint.pixelInt.empty() && t.footprint.pixelBool.empty());
    }
    // Each sampler applies its texture parameter and the four states, in stored order.
    const fx::Effect& e = layout.effect;
    for (const char* name : {"samSrc", "samRGB"}) {
        const auto& states = layout.samplerStates[parameterIndex(e, name)];
        ASSERT_EQ(states.size(), 5u) << name;
        EXPECT_EQ(states[0].kind, ActionKind::Texture);
        EXPECT_EQ(e.parameters[size_t(states[0].texture)].name,
                  std::string(name) == "samSrc" ? "txSrc" : "txRGB");
        const uint32_t numbers[] = {kAddressU, kAddressV, kMinFilter, kMagFilter};
        for (size_t k = 0; k < 4; ++k) {
            EXPECT_EQ(states[k + 1].kind, ActionKind::SamplerState);
            EXPECT_EQ(states[k + 1].number, numbers[k]);
        }
        EXPECT_EQ(states[1].value, 3u - 1u); // D3DTADDRESS_MIRROR
        EXPECT_EQ(states[3].value, 1u);      // D3DTEXF_POINT
    }
}

struct BadTable {
    const char* what;
    std::vector<CtabEntry> ctab;
    LayoutError error;
};

TEST(EffectLayout, ConstantTablesThatContradictTheParametersAreRefused) {
    CtabEntry tooManyElements = shader::ctabScalar("pixGain", 0);
    tooManyElements.type.elements = 2;
    CtabEntry intoBoolRange = shader::ctabScalar("pixGain", 16);
    intoBoolRange.set = RegisterSet::Bool;
    const BadTable cases[] = {
        {"sampler register for a float",
         {shader::ctabSampler2D("pixGain", 0)},
         LayoutError::InvalidCall},
        {"sampler register for a texture",
         {shader::ctabSampler2D("txSrc", 0)},
         LayoutError::InvalidCall},
        {"float register for a sampler",
         {shader::ctabScalar("samSrc", 0)},
         LayoutError::InvalidCall},
        {"three registers for a scalar",
         {shader::ctabMatrixColumns("pixGain", 0, 3, 3)},
         LayoutError::InvalidCall},
        {"four columns of a 3x3",
         {shader::ctabMatrixColumns("matYC2RGB", 0, 3, 4)},
         LayoutError::InvalidCall},
        {"array entry for a plain float", {tooManyElements}, LayoutError::InvalidCall},
        {"float register past c223",
         {shader::ctabVector("posPitch", 224, 2)},
         LayoutError::InvalidCall},
        {"bool register past b15", {intoBoolRange}, LayoutError::InvalidCall},
        {"sampler past s15", {shader::ctabSampler2D("samSrc", 16)}, LayoutError::InvalidCall},
    };
    for (const BadTable& c : cases) {
        SCOPED_TRACE(c.what);
        const LayoutResult r = buildLayout(withProgram(program(c.ctab)));
        EXPECT_FALSE(r.layout);
        EXPECT_EQ(r.error, c.error);
        EXPECT_NE(r.message.find("BilateralFiltering"), std::string::npos) << r.message;
    }
}

TEST(EffectLayout, UnknownNamesAreSkippedAndShortMatricesAllowed) {
    const LayoutResult r = buildLayout(withProgram(program({
        shader::ctabScalar("noSuchParameter", 0),
        shader::ctabMatrixColumns("matYC2RGB", 1, 3, 2), // the compiler may drop a column
        shader::ctabSampler2D("samRGB", 3),
    })));
    ASSERT_TRUE(r.layout) << r.message;
    const ProgramLayout& p = passProgram(*r.layout, 0, 0);
    ASSERT_EQ(p.constants.size(), 1u);
    EXPECT_EQ(p.constants[0].registerCount, 2u);
    EXPECT_EQ(p.constants[0].firstRegister, 1u);
    ASSERT_EQ(p.samplers.size(), 1u);
    EXPECT_EQ(p.samplers[0].stage, 3u);
    EXPECT_TRUE(r.layout->techniques[0].footprint.textures.count(3));
}

TEST(EffectLayout, ProgramsWithoutOrWithBrokenTablesAreTold) {
    std::vector<uint32_t> code = program({shader::ctabScalar("pixGain", 0)});
    // Without any constant table the program simply takes no parameters.
    std::vector<uint32_t> bare{code[0]};
    const size_t commentLength = (code[1] >> 16) & 0x7FFF;
    bare.insert(bare.end(), code.begin() + 2 + static_cast<ptrdiff_t>(commentLength), code.end());
    const LayoutResult ok = buildLayout(withProgram(bare));
    ASSERT_TRUE(ok.layout) << ok.message;
    EXPECT_TRUE(passProgram(*ok.layout, 0, 0).constants.empty());
    // A table whose header lies is invalid data.
    code[3] = 99; // header size of the table
    const LayoutResult broken = buildLayout(withProgram(code));
    EXPECT_FALSE(broken.layout);
    EXPECT_EQ(broken.error, LayoutError::InvalidData);
    EXPECT_NE(broken.message.find("28 bytes"), std::string::npos) << broken.message;
}

TEST(EffectLayout, StatesTheRuntimeDoesNotApplyAreRefused) {
    fx::Effect e = testing::builtEffect();
    const fx::StateInfo* fvf = fx::stateByName("FVF");
    ASSERT_NE(fvf, nullptr);
    e.techniques[1].passes[2].states.back().operation = fvf->index; // was ZEnable = FALSE
    const LayoutResult r = buildLayout(std::move(e));
    EXPECT_FALSE(r.layout);
    EXPECT_EQ(r.error, LayoutError::Unsupported);
    EXPECT_NE(r.message.find("FVF"), std::string::npos) << r.message;
}

TEST(ConstantRegisters, MatricesGoInAsColumnsOrRows) {
    const fx::Effect& e = testing::builtEffect();
    const fx::Parameter& m = e.parameters[parameterIndex(e, "matYC2RGB")];
    ConstantBinding b{0, RegisterSet::Float4, 0, 3, shader::ParamClass::MatrixColumns};
    const auto columns = bindingRegisters(b, m, m.value);
    ASSERT_EQ(columns.size(), 3u);
    for (uint32_t k = 0; k < 3; ++k)
        for (uint32_t r = 0; r < 3; ++r) EXPECT_EQ(columns[k][r], kMatYC2RGBBits[r][k]);
    for (const auto& reg : columns) EXPECT_EQ(reg[3], 0u);
    b.layout = shader::ParamClass::MatrixRows;
    b.registerCount = 2;
    const auto rows = bindingRegisters(b, m, m.value);
    ASSERT_EQ(rows.size(), 2u);
    for (uint32_t r = 0; r < 2; ++r)
        for (uint32_t k = 0; k < 3; ++k) EXPECT_EQ(rows[r][k], kMatYC2RGBBits[r][k]);
}

TEST(ConstantRegisters, ScalarsVectorsAndOtherRegisterSets) {
    fx::Parameter v{"v", {}, fx::ParamType::Float, fx::ParamClass::Vector, 1, 2, 0, {}, {}};
    const std::vector<uint32_t> words{bits(2.5f), bits(-7.75f)};
    ConstantBinding b{0, RegisterSet::Float4, 5, 1, shader::ParamClass::Vector};
    EXPECT_EQ(bindingRegisters(b, v, words)[0], (RegisterValue{bits(2.5f), bits(-7.75f), 0, 0}));
    b.set = RegisterSet::Int4;
    EXPECT_EQ(bindingRegisters(b, v, words)[0], (RegisterValue{2, uint32_t(-7), 0, 0}));
    b.set = RegisterSet::Bool;
    b.registerCount = 2;
    const auto flags = bindingRegisters(b, v, words);
    EXPECT_EQ(flags[0], (RegisterValue{1, 0, 0, 0}));
    EXPECT_EQ(flags[1], (RegisterValue{1, 0, 0, 0}));
    fx::Parameter arr{"a", {}, fx::ParamType::Float, fx::ParamClass::Scalar, 1, 1, 3, {}, {}};
    const std::vector<uint32_t> three{bits(1), bits(2), bits(3)};
    b = {0, RegisterSet::Float4, 0, 3, shader::ParamClass::Scalar};
    const auto elements = bindingRegisters(b, arr, three);
    for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(elements[i], (RegisterValue{three[i], 0, 0, 0}));
    EXPECT_EQ(registersFilled(arr, RegisterSet::Float4, shader::ParamClass::Scalar), 3u);
}

fx::Parameter number(fx::ParamType type, fx::ParamClass cls, uint32_t rows, uint32_t columns) {
    return {"n", {}, type, cls, rows, columns, 0, {}, {}};
}

TEST(ParameterValues, VectorsKeepTheirColumnsOnly) {
    const fx::Parameter p = number(fx::ParamType::Float, fx::ParamClass::Vector, 1, 2);
    std::vector<uint32_t> words(2);
    ASSERT_TRUE(setVector(p, words, {0.25f, 0.125f, 9.0f, 10.0f}));
    EXPECT_EQ(words, (std::vector<uint32_t>{bits(0.25f), bits(0.125f)}));
    float back[4] = {-1, -1, -1, -1};
    ASSERT_TRUE(getVector(p, words, back));
    EXPECT_EQ(back[0], 0.25f);
    EXPECT_EQ(back[1], 0.125f);
    EXPECT_EQ(back[2], 0.0f);
    EXPECT_EQ(back[3], 0.0f);
    // A matrix or an array takes no vector; a vector takes no scalar or matrix.
    const fx::Parameter m = number(fx::ParamType::Float, fx::ParamClass::MatrixRows, 3, 3);
    std::vector<uint32_t> nine(9);
    EXPECT_FALSE(setVector(m, nine, {1, 2, 3, 4}));
    EXPECT_FALSE(setScalar(p, words, bits(1.0f), fx::ParamType::Float));
    float mat[16] = {};
    EXPECT_FALSE(setMatrix(p, words, mat));
    fx::Parameter arr = p;
    arr.elements = 2;
    std::vector<uint32_t> four(4);
    EXPECT_FALSE(setVector(arr, four, {1, 2, 3, 4}));
}

TEST(ParameterValues, NumbersConvertToTheParameterType) {
    const fx::Parameter i = number(fx::ParamType::Int, fx::ParamClass::Scalar, 1, 1);
    const fx::Parameter b = number(fx::ParamType::Bool, fx::ParamClass::Scalar, 1, 1);
    std::vector<uint32_t> w(1);
    ASSERT_TRUE(setScalar(i, w, bits(-2.75f), fx::ParamType::Float));
    EXPECT_EQ(int32_t(w[0]), -2);
    ASSERT_TRUE(setScalar(i, w, bits(3e10f), fx::ParamType::Float));
    EXPECT_EQ(w[0], 0x80000000u);
    uint32_t f = 0;
    ASSERT_TRUE(setScalar(i, w, uint32_t(-5), fx::ParamType::Int));
    ASSERT_TRUE(getScalar(i, w, fx::ParamType::Float, f));
    EXPECT_EQ(f, bits(-5.0f));
    ASSERT_TRUE(setScalar(b, w, bits(-0.0f), fx::ParamType::Float)); // non-zero bits
    EXPECT_EQ(w[0], 1u);
    ASSERT_TRUE(setScalar(b, w, 0, fx::ParamType::Int));
    EXPECT_EQ(w[0], 0u);
}

TEST(ParameterValues, MatricesAndRawValues) {
    const fx::Parameter m = number(fx::ParamType::Float, fx::ParamClass::MatrixRows, 3, 3);
    std::vector<uint32_t> words(9);
    float in[16];
    for (int k = 0; k < 16; ++k) in[k] = float(k);
    ASSERT_TRUE(setMatrix(m, words, in));
    EXPECT_EQ(words[5], bits(6.0f)); // row 1, column 2
    float out[16];
    ASSERT_TRUE(getMatrix(m, words, out));
    for (int k = 0; k < 16; ++k) EXPECT_EQ(out[k], (k % 4 < 3 && k < 12) ? float(k) : 0.0f);
    float raw[9] = {};
    EXPECT_FALSE(getRawValue(m, words, raw, sizeof raw - 1));
    ASSERT_TRUE(getRawValue(m, words, raw, sizeof raw));
    EXPECT_EQ(raw[8], 10.0f);
    EXPECT_EQ(parameterBytes(m), 36u);
    const fx::Parameter tex{"t", {}, fx::ParamType::Texture2D, fx::ParamClass::Object, 0, 0, 0,
                            {},  {}};
    EXPECT_EQ(parameterBytes(tex), sizeof(void*));
    std::vector<uint32_t> none;
    EXPECT_FALSE(setRawValue(tex, none, raw, sizeof raw));
}

} // namespace
} // namespace kestrin::platform::d3dx9
