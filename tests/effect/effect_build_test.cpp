// The built effect holds exactly what the plug-in relies on: names, types, defaults, sampler
// states, techniques, passes and pass states, and each program's constant bindings.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <variant>

#include "effect/constants.h"
#include "fx/reader.h"
#include "fx/states.h"
#include "fx/writer.h"
#include "shader/ctab.h"
#include "tests/effect/effect_runner.h"
#include "tools/fx_source.h"

namespace kestrin::testing {
namespace {

using fx::ParamClass;
using fx::ParamType;

std::string readSource() {
    std::ifstream in(KESTRIN_EFFECT_SOURCE);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(BuiltEffect, IsWhatTheSourceCompilesTo) {
    const auto compiled = tools::compileEffectSource(readSource(), "bilateral.fx");
    ASSERT_TRUE(compiled.ok()) << compiled.errors.front();
    const auto bytes = fx::writeEffect(compiled.effect);
    ASSERT_TRUE(bytes.ok()) << bytes.error();
    EXPECT_EQ(bytes.value(), builtEffectBytes()) << "the build's effect is stale";
    EXPECT_EQ(compiled.effect, builtEffect()) << "write -> read does not give the effect back";
}

TEST(BuiltEffect, HeaderCounts) {
    const auto& b = builtEffectBytes();
    ASSERT_GE(b.size(), 8u);
    auto word = [&](size_t at) {
        return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
               uint32_t(b[at + 3]) << 24;
    };
    EXPECT_EQ(word(0), 0xFEFF0901u);
    const size_t structured = 8 + word(4);
    ASSERT_LE(structured + 16, b.size());
    EXPECT_EQ(word(structured), 10u);      // parameters
    EXPECT_EQ(word(structured + 4), 2u);   // techniques
    EXPECT_EQ(word(structured + 8), 14u);  // shaders: 2 samplers + 6 passes + 6 programs
    EXPECT_EQ(word(structured + 12), 11u); // objects: ids 1..10
}

TEST(BuiltEffect, ParametersInOrderWithTypesAndDefaults) {
    struct Expected {
        const char* name;
        ParamType type;
        ParamClass cls;
        uint32_t rows, columns;
    };
    const Expected expected[] = {
        {"txSrc", ParamType::Texture2D, ParamClass::Object, 0, 0},
        {"samSrc", ParamType::Sampler, ParamClass::Object, 0, 0},
        {"txRGB", ParamType::Texture2D, ParamClass::Object, 0, 0},
        {"samRGB", ParamType::Sampler, ParamClass::Object, 0, 0},
        {"pixGain", ParamType::Float, ParamClass::Scalar, 1, 1},
        {"pixDist", ParamType::Float, ParamClass::Scalar, 1, 1},
        {"posDist", ParamType::Float, ParamClass::Scalar, 1, 1},
        {"posPitch", ParamType::Float, ParamClass::Vector, 1, 2},
        {"matYC2RGB", ParamType::Float, ParamClass::MatrixRows, 3, 3},
        {"matRGB2YC", ParamType::Float, ParamClass::MatrixRows, 3, 3},
    };
    const fx::Effect& e = builtEffect();
    ASSERT_EQ(e.parameters.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        const fx::Parameter& p = e.parameters[i];
        SCOPED_TRACE(expected[i].name);
        EXPECT_EQ(p.name, expected[i].name);
        EXPECT_EQ(p.type, expected[i].type);
        EXPECT_EQ(p.cls, expected[i].cls);
        EXPECT_FALSE(p.semantic.has_value());
        EXPECT_EQ(p.elements, 0u);
        if (p.cls != ParamClass::Object) {
            EXPECT_EQ(p.rows, expected[i].rows);
            EXPECT_EQ(p.columns, expected[i].columns);
        }
    }
    for (size_t i = 4; i < 8; ++i)
        for (uint32_t w : e.parameters[i].value) EXPECT_EQ(w, 0u) << e.parameters[i].name;
    std::vector<uint32_t> yc2rgb, rgb2yc;
    for (int r = 0; r < 3; ++r)
        for (int k = 0; k < 3; ++k) {
            yc2rgb.push_back(kMatYC2RGBBits[r][k]);
            rgb2yc.push_back(kMatRGB2YCBits[r][k]);
        }
    EXPECT_EQ(e.parameters[8].value, yc2rgb);
    EXPECT_EQ(e.parameters[9].value, rgb2yc);
}

TEST(BuiltEffect, SamplerStates) {
    const fx::Effect& e = builtEffect();
    for (auto [sampler, texture] : {std::pair{1, "txSrc"}, std::pair{3, "txRGB"}}) {
        const auto& states = e.parameters[sampler].samplerStates;
        SCOPED_TRACE(e.parameters[sampler].name);
        ASSERT_EQ(states.size(), 5u);
        EXPECT_EQ(states[0].operation, fx::state::Texture);
        EXPECT_EQ(states[0].value, fx::StateValue(fx::TextureRef{texture}));
        const uint32_t ops[] = {fx::state::AddressU, fx::state::AddressV, fx::state::MinFilter,
                                fx::state::MagFilter};
        const uint32_t values[] = {2, 2, 1, 1}; // MIRROR, MIRROR, POINT, POINT
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(states[i + 1].operation, ops[i]);
            EXPECT_EQ(states[i + 1].value, fx::StateValue(fx::intValue(values[i])));
        }
    }
}

TEST(BuiltEffect, TechniquesPassesAndConstantBindings) {
    const fx::Effect& e = builtEffect();
    ASSERT_EQ(e.techniques.size(), 2u);
    EXPECT_EQ(e.techniques[0].name, "BilateralFiltering");
    EXPECT_EQ(e.techniques[1].name, "BilateralFilteringU");
    // Registers each pass's program expects each global in: name -> (set, index, count).
    using Binding = std::map<std::string, std::tuple<shader::RegisterSet, int, int>>;
    const auto F = shader::RegisterSet::Float4, S = shader::RegisterSet::Sampler;
    const Binding bindings[3] = {
        {{"matYC2RGB", {F, 0, 3}}, {"samSrc", {S, 0, 1}}},
        {{"pixDist", {F, 4, 1}},
         {"posDist", {F, 5, 1}},
         {"posPitch", {F, 6, 1}},
         {"samRGB", {S, 1, 1}}},
        {{"matRGB2YC", {F, 7, 3}},
         {"pixGain", {F, 3, 1}},
         {"pixDist", {F, 4, 1}},
         {"posDist", {F, 5, 1}},
         {"posPitch", {F, 6, 1}},
         {"samSrc", {S, 0, 1}},
         {"samRGB", {S, 1, 1}}},
    };
    for (const fx::Technique& t : e.techniques) {
        ASSERT_EQ(t.passes.size(), 3u);
        for (size_t k = 0; k < 3; ++k) {
            const fx::Pass& pass = t.passes[k];
            SCOPED_TRACE(t.name + "." + pass.name);
            EXPECT_EQ(pass.name, "p" + std::to_string(k));
            ASSERT_EQ(pass.states.size(), 3u);
            EXPECT_EQ(pass.states[0].operation, fx::state::VertexShader);
            EXPECT_EQ(pass.states[0].value, fx::StateValue(fx::NullObject{}));
            EXPECT_EQ(pass.states[1].operation, fx::state::PixelShader);
            EXPECT_EQ(pass.states[2].operation, fx::state::ZEnable);
            EXPECT_EQ(pass.states[2].value, fx::StateValue(fx::intValue(0)));
            const auto* code = std::get_if<fx::ShaderCode>(&pass.states[1].value);
            ASSERT_NE(code, nullptr);
            ASSERT_FALSE(code->words.empty());
            EXPECT_EQ(code->words[0], 0xFFFF0300u);
            const auto ctab = shader::readCtabFromShader(code->words.data(), code->words.size());
            ASSERT_TRUE(ctab.ok()) << ctab.error;
            Binding seen;
            for (const auto& entry : ctab.table.entries) {
                seen[entry.name] = {entry.set, entry.index, entry.count};
                if (entry.name.starts_with("mat")) {
                    EXPECT_EQ(entry.type.cls, shader::ParamClass::MatrixColumns);
                }
            }
            EXPECT_EQ(seen, bindings[k]);
        }
    }
}

} // namespace
} // namespace kestrin::testing
