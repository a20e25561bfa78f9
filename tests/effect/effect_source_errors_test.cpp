// fxbuild's source compiler refuses what it cannot build, saying where.
#include <gtest/gtest.h>

#include "tools/fx_source.h"

namespace kestrin::tools {
namespace {

const char* kHeader = R"(texture2D tx;
sampler sam : register(s0) = sampler_state { Texture = <tx>; MinFilter = POINT; };
float gain : register(c0) = 0.5;
)";

std::string firstError(const std::string& body) {
    const auto result = compileEffectSource(std::string(kHeader) + body, "t.fx");
    return result.ok() ? std::string("(no error)") : result.errors.front();
}

const char* kGoodProgram = R"(PixelShader ps = asm {
    ps_3_0
    dcl_texcoord0 v0.xy
    dcl_2d s0
    texld r0, v0, s0
    mul r0, r0, c0.x
    mov oC0, r0
};
)";

TEST(EffectSource, AGoodEffectCompiles) {
    const auto result = compileEffectSource(
        std::string(kHeader) + kGoodProgram +
            "technique t { pass p0 { VertexShader = NULL; PixelShader = (ps); ZEnable = FALSE; } }",
        "t.fx");
    ASSERT_TRUE(result.ok()) << result.errors.front();
    EXPECT_EQ(result.effect.parameters.size(), 3u); // programs are not parameters
    ASSERT_EQ(result.effect.techniques.size(), 1u);
}

TEST(EffectSource, ErrorsNameFileAndLine) {
    EXPECT_EQ(firstError("float x : register(c0);\n"),
              "t.fx:4: 'x' overlaps the registers of 'gain'");
    EXPECT_EQ(firstError("technique t { pass p0 { Bogus = 1; } }\n"),
              "t.fx:4: unknown state 'Bogus'");
    EXPECT_EQ(firstError("technique t { pass p0 { PixelShader = (nope); } }\n"),
              "t.fx:4: no program named 'nope'");
    EXPECT_EQ(firstError("float3x3 m = {1, 2};\n"), "t.fx:4: 'm' takes 9 values, not 2");
    EXPECT_EQ(firstError("technique t { pass p0 { AddressU = MIRROR; } }\n"),
              "t.fx:4: 'AddressU' belongs in a sampler_state");
    EXPECT_EQ(firstError("float gain;\n"), "t.fx:4: 'gain' is declared twice");
    EXPECT_EQ(firstError("sampler s2 = sampler_state { Texture = <gain>; };\n"),
              "t.fx:4: 'gain' is not a texture");
}

TEST(EffectSource, ProgramErrorsPointIntoTheAsmBlock) {
    // Line 4 opens the block; the bad instruction is on line 7.
    const std::string unbound = R"(PixelShader ps = asm {
    ps_3_0
    dcl_texcoord0 v0.xy
    mov r0, c5
    mov oC0, r0
};
)";
    EXPECT_EQ(firstError(unbound), "t.fx:7: c5 is neither a global's register nor defined");
    const std::string clash = R"(PixelShader ps = asm {
    ps_3_0
    def c0, 1, 2, 3, 4
    mov oC0, c0
};
)";
    EXPECT_EQ(firstError(clash), "t.fx:6: def c0 uses a register of 'gain'");
    const std::string typo = R"(PixelShader ps = asm {
    ps_3_0
    mvo r0, c0
};
)";
    EXPECT_NE(firstError(typo).find("t.fx:6:"), std::string::npos) << firstError(typo);
}

} // namespace
} // namespace kestrin::tools
