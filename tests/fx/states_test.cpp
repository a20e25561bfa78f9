#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <string>

#include "fx/states.h"

namespace kestrin::fx {
namespace {

std::string upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

TEST(StateTable, NamesAreUniqueAndFoundInAnyCase) {
    std::set<std::string> seen;
    for (const StateInfo& s : stateTable()) {
        SCOPED_TRACE(std::string(s.name));
        EXPECT_TRUE(seen.insert(upper(s.name)).second);
        EXPECT_EQ(stateByName(s.name), &s);
        EXPECT_EQ(stateByName(upper(s.name)), &s);
        EXPECT_EQ(stateByIndex(s.index), &s);
    }
    EXPECT_EQ(stateTable().size(), 179u);
    EXPECT_EQ(stateByIndex(179), nullptr);
    EXPECT_EQ(stateByName("NoSuchState"), nullptr);
}

TEST(StateTable, KindsAndDeviceNumbers) {
    // Operation numbers seen in fxc output, and what D3DX does with them.
    struct Row {
        const char* name;
        uint32_t index;
        StateKind kind;
        uint32_t d3d;
    };
    const Row rows[] = {
        {"ZEnable", 0x00, StateKind::Render, 7},
        {"FogEnable", 0x0E, StateKind::Render, 28},
        {"FogStart", 0x12, StateKind::Render, 36},
        {"PointScale_A", 0x41, StateKind::Render, 158},
        {"BlendOp", 0x4B, StateKind::Render, 171},
        {"BlendOpAlpha", 0x66, StateKind::Render, 209},
        {"AlphaOp", 0x6B, StateKind::TextureStage, 4},
        {"LightEnable", 0x91, StateKind::Other, 0},
        {"VertexShader", 0x92, StateKind::VertexShader, 0},
        {"PixelShader", 0x93, StateKind::PixelShader, 0},
        {"Texture", 0xA4, StateKind::Texture, 0},
        {"AddressU", 0xA5, StateKind::Sampler, 1},
        {"MagFilter", 0xA9, StateKind::Sampler, 5},
        {"MinFilter", 0xAA, StateKind::Sampler, 6},
        {"MipFilter", 0xAB, StateKind::Sampler, 7},
        {"DMAPOffset", 0xB1, StateKind::Sampler, 13},
        {"Sampler", 0xB2, StateKind::Other, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const StateInfo* s = stateByName(r.name);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->index, r.index);
        EXPECT_EQ(s->kind, r.kind);
        EXPECT_EQ(s->d3dNumber, r.d3d);
    }
    for (const StateInfo& s : stateTable()) {
        if (s.kind == StateKind::Sampler) {
            EXPECT_EQ(s.d3dNumber, s.index - 164) << s.name;
        }
    }
}

TEST(StateTable, NamedValuesDependOnTheState) {
    const StateInfo& zEnable = *stateByIndex(state::ZEnable);
    const StateInfo& addressU = *stateByIndex(state::AddressU);
    const StateInfo& minFilter = *stateByIndex(state::MinFilter);
    const StateInfo& pixelShader = *stateByIndex(state::PixelShader);
    const StateInfo& fillMode = *stateByName("FillMode");

    EXPECT_EQ(namedValue(zEnable, "FALSE"), 0u);
    EXPECT_EQ(namedValue(zEnable, "true"), 1u);
    EXPECT_EQ(namedValue(zEnable, "USEW"), 2u);
    EXPECT_EQ(namedValue(addressU, "MIRROR"), 2u);
    EXPECT_EQ(namedValue(addressU, "Wrap"), 1u);
    EXPECT_EQ(namedValue(addressU, "CLAMP"), 3u);
    EXPECT_EQ(namedValue(addressU, "BORDER"), 4u);
    EXPECT_EQ(namedValue(minFilter, "POINT"), 1u);
    EXPECT_EQ(namedValue(minFilter, "LINEAR"), 2u);
    EXPECT_EQ(namedValue(minFilter, "NONE"), 0u);
    EXPECT_EQ(namedValue(fillMode, "POINT"), 1u); // same word, another set
    EXPECT_EQ(namedValue(pixelShader, "NULL"), 0u);

    EXPECT_FALSE(namedValue(zEnable, "MIRROR"));
    EXPECT_FALSE(namedValue(zEnable, "NULL"));
    EXPECT_FALSE(namedValue(addressU, "POINT"));
    EXPECT_FALSE(namedValue(pixelShader, "FALSE"));
    EXPECT_FALSE(namedValue(minFilter, "MIRRORED"));
}

} // namespace
} // namespace kestrin::fx
