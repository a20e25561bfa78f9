#include "fx/states.h"

#include <array>

namespace kestrin::fx {
namespace {

using K = StateKind;
using T = StateValueType;
using V = ValueSet;

// Row builders, one per kind of state, so the table below reads one state per line.
constexpr StateInfo rs(uint32_t i, std::string_view n, uint32_t rsNumber, V v = V::None) {
    return {i, n, K::Render, rsNumber, T::Int, 1, v, false};
}
constexpr StateInfo rsFloat(uint32_t i, std::string_view n, uint32_t rsNumber, uint8_t c = 1) {
    return {i, n, K::Render, rsNumber, T::Float, c, V::None, false};
}
constexpr StateInfo tss(uint32_t i, std::string_view n, uint32_t tssNumber, T t = T::Int) {
    return {i, n, K::TextureStage, tssNumber, t, 1, V::None, true};
}
constexpr StateInfo other(uint32_t i, std::string_view n, T t, uint8_t c, bool indexed) {
    return {i, n, K::Other, 0, t, c, V::None, indexed};
}
constexpr StateInfo samp(uint32_t i, std::string_view n, V v = V::None, T t = T::Int) {
    return {i, n, K::Sampler, i - state::Texture, t, 1, v, true};
}

// Operation numbers as D3DX 9 numbers them (Wine's d3dx9 state_table, cross-checked with
// fxc-compiled blobs); D3DRS_ / D3DTSS_ / D3DSAMP_ values from d3d9types.h.
constexpr std::array<StateInfo, state::Count> kStates = {{
    rs(0x00, "ZEnable", 7, V::ZBuffer),
    rs(0x01, "FillMode", 8, V::Fill),
    rs(0x02, "ShadeMode", 9),
    rs(0x03, "ZWriteEnable", 14),
    rs(0x04, "AlphaTestEnable", 15),
    rs(0x05, "LastPixel", 16),
    rs(0x06, "SrcBlend", 19, V::Blend),
    rs(0x07, "DestBlend", 20, V::Blend),
    rs(0x08, "CullMode", 22, V::Cull),
    rs(0x09, "ZFunc", 23, V::Compare),
    rs(0x0A, "AlphaRef", 24),
    rs(0x0B, "AlphaFunc", 25, V::Compare),
    rs(0x0C, "DitherEnable", 26),
    rs(0x0D, "AlphaBlendEnable", 27),
    rs(0x0E, "FogEnable", 28),
    rs(0x0F, "SpecularEnable", 29),
    rs(0x10, "FogColor", 34),
    rs(0x11, "FogTableMode", 35),
    rsFloat(0x12, "FogStart", 36),
    rsFloat(0x13, "FogEnd", 37),
    rsFloat(0x14, "FogDensity", 38),
    rs(0x15, "RangeFogEnable", 48),
    rs(0x16, "StencilEnable", 52),
    rs(0x17, "StencilFail", 53),
    rs(0x18, "StencilZFail", 54),
    rs(0x19, "StencilPass", 55),
    rs(0x1A, "StencilFunc", 56, V::Compare),
    rs(0x1B, "StencilRef", 57),
    rs(0x1C, "StencilMask", 58),
    rs(0x1D, "StencilWriteMask", 59),
    rs(0x1E, "TextureFactor", 60),
    rs(0x1F, "Wrap0", 128),
    rs(0x20, "Wrap1", 129),
    rs(0x21, "Wrap2", 130),
    rs(0x22, "Wrap3", 131),
    rs(0x23, "Wrap4", 132),
    rs(0x24, "Wrap5", 133),
    rs(0x25, "Wrap6", 134),
    rs(0x26, "Wrap7", 135),
    rs(0x27, "Wrap8", 198),
    rs(0x28, "Wrap9", 199),
    rs(0x29, "Wrap10", 200),
    rs(0x2A, "Wrap11", 201),
    rs(0x2B, "Wrap12", 202),
    rs(0x2C, "Wrap13", 203),
    rs(0x2D, "Wrap14", 204),
    rs(0x2E, "Wrap15", 205),
    rs(0x2F, "Clipping", 136),
    rs(0x30, "Lighting", 137),
    rsFloat(0x31, "Ambient", 139, 4),
    rs(0x32, "FogVertexMode", 140),
    rs(0x33, "ColorVertex", 141),
    rs(0x34, "LocalViewer", 142),
    rs(0x35, "NormalizeNormals", 143),
    rs(0x36, "DiffuseMaterialSource", 145),
    rs(0x37, "SpecularMaterialSource", 146),
    rs(0x38, "AmbientMaterialSource", 147),
    rs(0x39, "EmissiveMaterialSource", 148),
    rs(0x3A, "VertexBlend", 151),
    rs(0x3B, "ClipPlaneEnable", 152),
    rsFloat(0x3C, "PointSize", 154),
    rsFloat(0x3D, "PointSize_Min", 155),
    rsFloat(0x3E, "PointSize_Max", 166),
    rs(0x3F, "PointSpriteEnable", 156),
    rs(0x40, "PointScaleEnable", 157),
    rsFloat(0x41, "PointScale_A", 158),
    rsFloat(0x42, "PointScale_B", 159),
    rsFloat(0x43, "PointScale_C", 160),
    rs(0x44, "MultiSampleAntialias", 161),
    rs(0x45, "MultiSampleMask", 162),
    rs(0x46, "PatchEdgeStyle", 163),
    rs(0x47, "DebugMonitorToken", 165),
    rs(0x48, "IndexedVertexBlendEnable", 167),
    rs(0x49, "ColorWriteEnable", 168),
    rsFloat(0x4A, "TweenFactor", 170),
    rs(0x4B, "BlendOp", 171, V::BlendOp),
    rs(0x4C, "PositionDegree", 172),
    rs(0x4D, "NormalDegree", 173),
    rs(0x4E, "ScissorTestEnable", 174),
    rsFloat(0x4F, "SlopeScaleDepthBias", 175),
    rs(0x50, "AntialiasedLineEnable", 176),
    rsFloat(0x51, "MinTessellationLevel", 178),
    rsFloat(0x52, "MaxTessellationLevel", 179),
    rsFloat(0x53, "AdaptiveTess_X", 180),
    rsFloat(0x54, "AdaptiveTess_Y", 181),
    rsFloat(0x55, "AdaptiveTess_Z", 182),
    rsFloat(0x56, "AdaptiveTess_W", 183),
    rs(0x57, "EnableAdaptiveTessellation", 184),
    rs(0x58, "TwoSidedStencilMode", 185),
    rs(0x59, "CCW_StencilFail", 186),
    rs(0x5A, "CCW_StencilZFail", 187),
    rs(0x5B, "CCW_StencilPass", 188),
    rs(0x5C, "CCW_StencilFunc", 189, V::Compare),
    rs(0x5D, "ColorWriteEnable1", 190),
    rs(0x5E, "ColorWriteEnable2", 191),
    rs(0x5F, "ColorWriteEnable3", 192),
    rs(0x60, "BlendFactor", 193),
    rs(0x61, "SRGBWriteEnable", 194),
    rsFloat(0x62, "DepthBias", 195),
    rs(0x63, "SeparateAlphaBlendEnable", 206),
    rs(0x64, "SrcBlendAlpha", 207, V::Blend),
    rs(0x65, "DestBlendAlpha", 208, V::Blend),
    rs(0x66, "BlendOpAlpha", 209, V::BlendOp),
    tss(0x67, "ColorOp", 1),
    tss(0x68, "ColorArg0", 26),
    tss(0x69, "ColorArg1", 2),
    tss(0x6A, "ColorArg2", 3),
    tss(0x6B, "AlphaOp", 4),
    tss(0x6C, "AlphaArg0", 27),
    tss(0x6D, "AlphaArg1", 5),
    tss(0x6E, "AlphaArg2", 6),
    tss(0x6F, "ResultArg", 28),
    tss(0x70, "BumpEnvMat00", 7, T::Float),
    tss(0x71, "BumpEnvMat01", 8, T::Float),
    tss(0x72, "BumpEnvMat10", 9, T::Float),
    tss(0x73, "BumpEnvMat11", 10, T::Float),
    tss(0x74, "TexCoordIndex", 11),
    tss(0x75, "BumpEnvLScale", 22, T::Float),
    tss(0x76, "BumpEnvLOffset", 23, T::Float),
    tss(0x77, "TextureTransformFlags", 24),
    tss(0x78, "Constant", 32),
    other(0x79, "NPatchMode", T::Float, 1, false),
    other(0x7A, "FVF", T::Int, 1, false),
    other(0x7B, "ProjectionTransform", T::Float, 16, false),
    other(0x7C, "ViewTransform", T::Float, 16, false),
    other(0x7D, "WorldTransform", T::Float, 16, true),
    other(0x7E, "TextureTransform", T::Float, 16, true),
    // Wine's loader takes 0x7F as diffuse and 0x80 as ambient (D3DMATERIAL9 order); vkd3d's
    // compiler numbers the two the other way round. The loader decides what a blob means.
    other(0x7F, "MaterialDiffuse", T::Float, 4, false),
    other(0x80, "MaterialAmbient", T::Float, 4, false),
    other(0x81, "MaterialSpecular", T::Float, 4, false),
    other(0x82, "MaterialEmissive", T::Float, 4, false),
    other(0x83, "MaterialPower", T::Float, 1, false),
    other(0x84, "LightType", T::Int, 1, true),
    other(0x85, "LightDiffuse", T::Float, 4, true),
    other(0x86, "LightSpecular", T::Float, 4, true),
    other(0x87, "LightAmbient", T::Float, 4, true),
    other(0x88, "LightPosition", T::Float, 3, true),
    other(0x89, "LightDirection", T::Float, 3, true),
    other(0x8A, "LightRange", T::Float, 1, true),
    other(0x8B, "LightFalloff", T::Float, 1, true),
    other(0x8C, "LightAttenuation0", T::Float, 1, true),
    other(0x8D, "LightAttenuation1", T::Float, 1, true),
    other(0x8E, "LightAttenuation2", T::Float, 1, true),
    other(0x8F, "LightTheta", T::Float, 1, true),
    other(0x90, "LightPhi", T::Float, 1, true),
    other(0x91, "LightEnable", T::Int, 1, true),
    {0x92, "VertexShader", K::VertexShader, 0, T::Object, 1, V::Object, false},
    {0x93, "PixelShader", K::PixelShader, 0, T::Object, 1, V::Object, false},
    other(0x94, "VertexShaderConstantF", T::Float, 4, true),
    other(0x95, "VertexShaderConstantB", T::Int, 1, true),
    other(0x96, "VertexShaderConstantI", T::Int, 4, true),
    other(0x97, "VertexShaderConstant", T::Float, 4, true),
    other(0x98, "VertexShaderConstant1", T::Float, 4, true),
    other(0x99, "VertexShaderConstant2", T::Float, 8, true),
    other(0x9A, "VertexShaderConstant3", T::Float, 12, true),
    other(0x9B, "VertexShaderConstant4", T::Float, 16, true),
    other(0x9C, "PixelShaderConstantF", T::Float, 4, true),
    other(0x9D, "PixelShaderConstantB", T::Int, 1, true),
    other(0x9E, "PixelShaderConstantI", T::Int, 4, true),
    other(0x9F, "PixelShaderConstant", T::Float, 4, true),
    other(0xA0, "PixelShaderConstant1", T::Float, 4, true),
    other(0xA1, "PixelShaderConstant2", T::Float, 8, true),
    other(0xA2, "PixelShaderConstant3", T::Float, 12, true),
    other(0xA3, "PixelShaderConstant4", T::Float, 16, true),
    {0xA4, "Texture", K::Texture, 0, T::Object, 1, V::Object, true},
    samp(0xA5, "AddressU", V::Address),
    samp(0xA6, "AddressV", V::Address),
    samp(0xA7, "AddressW", V::Address),
    samp(0xA8, "BorderColor"),
    samp(0xA9, "MagFilter", V::Filter),
    samp(0xAA, "MinFilter", V::Filter),
    samp(0xAB, "MipFilter", V::Filter),
    samp(0xAC, "MipMapLodBias", V::None, T::Float),
    samp(0xAD, "MaxMipLevel"),
    samp(0xAE, "MaxAnisotropy"),
    samp(0xAF, "SRGBTexture"),
    samp(0xB0, "ElementIndex"),
    samp(0xB1, "DMAPOffset"),
    other(0xB2, "Sampler", T::Object, 1, true),
}};

consteval bool indicesMatchPositions() {
    for (uint32_t i = 0; i < kStates.size(); ++i)
        if (kStates[i].index != i) return false;
    return true;
}
static_assert(indicesMatchPositions(), "a row of the state table is out of place");
static_assert(kStates[state::ZEnable].name == "ZEnable");
static_assert(kStates[state::VertexShader].name == "VertexShader");
static_assert(kStates[state::PixelShader].name == "PixelShader");
static_assert(kStates[state::Texture].name == "Texture");
static_assert(kStates[state::AddressU].d3dNumber == 1 && kStates[state::AddressV].d3dNumber == 2);
static_assert(kStates[state::MagFilter].d3dNumber == 5 && kStates[state::MinFilter].d3dNumber == 6);
static_assert(kStates[state::MipFilter].name == "MipFilter");
static_assert(kStates[state::Sampler].name == "Sampler");

// Named constants (d3d9types.h values). TRUE/FALSE are accepted by every non-object state.
constexpr NamedValue kNamedValues[] = {
    {V::None, "FALSE", 0},
    {V::None, "TRUE", 1},
    {V::ZBuffer, "USEW", 2},
    {V::Fill, "POINT", 1},
    {V::Fill, "WIREFRAME", 2},
    {V::Fill, "SOLID", 3},
    {V::Cull, "NONE", 1},
    {V::Cull, "CW", 2},
    {V::Cull, "CCW", 3},
    {V::Compare, "NEVER", 1},
    {V::Compare, "LESS", 2},
    {V::Compare, "EQUAL", 3},
    {V::Compare, "LESSEQUAL", 4},
    {V::Compare, "GREATER", 5},
    {V::Compare, "NOTEQUAL", 6},
    {V::Compare, "GREATEREQUAL", 7},
    {V::Compare, "ALWAYS", 8},
    {V::Blend, "ZERO", 1},
    {V::Blend, "ONE", 2},
    {V::Blend, "SRCCOLOR", 3},
    {V::Blend, "INVSRCCOLOR", 4},
    {V::Blend, "SRCALPHA", 5},
    {V::Blend, "INVSRCALPHA", 6},
    {V::Blend, "DESTALPHA", 7},
    {V::Blend, "INVDESTALPHA", 8},
    {V::Blend, "DESTCOLOR", 9},
    {V::Blend, "INVDESTCOLOR", 10},
    {V::Blend, "SRCALPHASAT", 11},
    {V::Blend, "BOTHSRCALPHA", 12},
    {V::Blend, "BOTHINVSRCALPHA", 13},
    {V::Blend, "BLENDFACTOR", 14},
    {V::Blend, "INVBLENDFACTOR", 15},
    {V::BlendOp, "ADD", 1},
    {V::BlendOp, "SUBTRACT", 2},
    {V::BlendOp, "REVSUBTRACT", 3},
    {V::BlendOp, "MIN", 4},
    {V::BlendOp, "MAX", 5},
    {V::Address, "WRAP", 1},
    {V::Address, "MIRROR", 2},
    {V::Address, "CLAMP", 3},
    {V::Address, "BORDER", 4},
    {V::Address, "MIRRORONCE", 5},
    {V::Filter, "NONE", 0},
    {V::Filter, "POINT", 1},
    {V::Filter, "LINEAR", 2},
    {V::Filter, "ANISOTROPIC", 3},
    {V::Filter, "PYRAMIDALQUAD", 6},
    {V::Filter, "GAUSSIANQUAD", 7},
    {V::Object, "NULL", 0},
};

constexpr char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

} // namespace

std::span<const StateInfo> stateTable() {
    return kStates;
}

const StateInfo* stateByIndex(uint32_t index) {
    return index < kStates.size() ? &kStates[index] : nullptr;
}

const StateInfo* stateByName(std::string_view name) {
    for (const StateInfo& s : kStates)
        if (equalsNoCase(s.name, name)) return &s;
    return nullptr;
}

std::span<const NamedValue> namedValueTable() {
    return kNamedValues;
}

std::optional<uint32_t> namedValue(const StateInfo& state, std::string_view name) {
    const bool object = state.valueType == StateValueType::Object;
    for (const NamedValue& v : kNamedValues) {
        if (!equalsNoCase(v.name, name)) continue;
        if (v.set == state.values && v.set != ValueSet::None) return v.value;
        if (v.set == ValueSet::None && !object) return v.value;
    }
    return std::nullopt;
}

} // namespace kestrin::fx
