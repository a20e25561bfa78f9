#include "fx/effect.h"

#include <array>

namespace kestrin::fx {

std::string_view typeName(ParamType t) {
    static constexpr std::array<std::string_view, 17> kNames = {
        "VOID",      "BOOL",      "INT",         "FLOAT",       "STRING",      "TEXTURE",
        "TEXTURE1D", "TEXTURE2D", "TEXTURE3D",   "TEXTURECUBE", "SAMPLER",     "SAMPLER1D",
        "SAMPLER2D", "SAMPLER3D", "SAMPLERCUBE", "PIXELSHADER", "VERTEXSHADER"};
    const auto i = static_cast<uint32_t>(t);
    return i < kNames.size() ? kNames[i] : "?";
}

std::string_view className(ParamClass c) {
    static constexpr std::array<std::string_view, 6> kNames = {
        "SCALAR", "VECTOR", "MATRIX_ROWS", "MATRIX_COLUMNS", "OBJECT", "STRUCT"};
    const auto i = static_cast<uint32_t>(c);
    return i < kNames.size() ? kNames[i] : "?";
}

} // namespace kestrin::fx
