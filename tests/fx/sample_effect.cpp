#include "sample_effect.h"

#include <string>

#include "fx/states.h"

namespace kestrin::fx::fixtures {

std::vector<uint32_t> fakePixelShader(uint32_t seed, uint32_t fill) {
    std::vector<uint32_t> words{0xFFFF0300};
    for (uint32_t i = 0; i < fill; ++i) words.push_back(0xC0DE0000 + seed * 0x100 + i);
    words.push_back(0x0000FFFF);
    return words;
}

std::vector<uint32_t> filterShader(uint32_t t, uint32_t p) {
    const uint32_t k = t * 3 + p;
    return fakePixelShader(k, 1 + k);
}

namespace {

Parameter texture(const char* name) {
    Parameter p;
    p.name = name;
    p.type = ParamType::Texture2D;
    p.cls = ParamClass::Object;
    p.rows = p.columns = 0;
    return p;
}

Parameter sampler(const char* name, const char* textureName) {
    Parameter p;
    p.name = name;
    p.type = ParamType::Sampler;
    p.cls = ParamClass::Object;
    p.rows = p.columns = 0;
    p.samplerStates = {
        {state::Texture, 0, TextureRef{textureName}},
        {state::AddressU, 0, intValue(2)},  // MIRROR
        {state::AddressV, 0, intValue(2)},  // MIRROR
        {state::MinFilter, 0, intValue(1)}, // POINT
        {state::MagFilter, 0, intValue(1)}, // POINT
    };
    return p;
}

Parameter floats(const char* name, ParamClass cls, uint32_t rows, uint32_t columns,
                 std::vector<uint32_t> value) {
    Parameter p;
    p.name = name;
    p.type = ParamType::Float;
    p.cls = cls;
    p.rows = rows;
    p.columns = columns;
    p.value = std::move(value);
    return p;
}

} // namespace

Effect filterShapedEffect() {
    Effect e;
    e.parameters = {
        texture("txSrc"),
        sampler("samSrc", "txSrc"),
        texture("txRGB"),
        sampler("samRGB", "txRGB"),
        floats("pixGain", ParamClass::Scalar, 1, 1, {0}),
        floats("pixDist", ParamClass::Scalar, 1, 1, {0}),
        floats("posDist", ParamClass::Scalar, 1, 1, {0}),
        floats("posPitch", ParamClass::Vector, 1, 2, {0, 0}),
        floats("matYC2RGB", ParamClass::MatrixRows, 3, 3,
               {0x3F800000, 0x00000000, 0x3FB374BC,   // R = Y + 1.402 Cr
                0x3F800000, 0xBEB0331E, 0xBF36D1E1,   // G = Y - 0.34414 Cb - 0.71414 Cr
                0x3F800000, 0x3FE2D0E5, 0x00000000}), // B = Y + 1.772 Cb
        floats("matRGB2YC", ParamClass::MatrixRows, 3, 3,
               {0x3E991687, 0x3F1645A2, 0x3DE978D5,   // Y
                0xBE2CCA2E, 0xBEA99AE9, 0x3F000000,   // Cb
                0x3F000000, 0xBED65E89, 0xBDA685DB}), // Cr
    };
    const char* techniqueNames[] = {"BilateralFiltering", "BilateralFilteringU"};
    for (uint32_t t = 0; t < 2; ++t) {
        Technique tech{techniqueNames[t], {}};
        for (uint32_t p = 0; p < 3; ++p) {
            tech.passes.push_back({"p" + std::to_string(p),
                                   {
                                       {state::VertexShader, 0, NullObject{}},
                                       {state::PixelShader, 0, ShaderCode{filterShader(t, p)}},
                                       {state::ZEnable, 0, intValue(0)},
                                   }});
        }
        e.techniques.push_back(std::move(tech));
    }
    return e;
}

uint32_t wordAt(const std::vector<uint8_t>& bytes, size_t offset) {
    return uint32_t{bytes.at(offset)} | uint32_t{bytes.at(offset + 1)} << 8 |
           uint32_t{bytes.at(offset + 2)} << 16 | uint32_t{bytes.at(offset + 3)} << 24;
}

void setWordAt(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
    for (size_t k = 0; k < 4; ++k) bytes.at(offset + k) = static_cast<uint8_t>(value >> (8 * k));
}

FilterLayout filterLayout(const std::vector<uint8_t>& bytes) {
    FilterLayout l;
    l.dataSize = wordAt(bytes, 4);
    l.structured = 8 + l.dataSize;
    const uint32_t objectDataCount = wordAt(bytes, l.objectDataCount());
    const uint32_t resourceCount = wordAt(bytes, l.objectDataCount() + 4);
    size_t at = l.objectData(objectDataCount);
    for (uint32_t i = 0; i < resourceCount; ++i) {
        l.resources.push_back(at);
        at += 24 + ((size_t{wordAt(bytes, at + 20)} + 3) & ~size_t{3});
    }
    return l;
}

} // namespace kestrin::fx::fixtures
