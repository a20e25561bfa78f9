// In-memory description of a compiled D3DX 9 effect: parameters, samplers with their states,
// techniques, passes and pass states. The writer turns it into an fx_2_0 binary; the reader
// turns a binary back into it, so write → read gives back an equal Effect.
#pragma once

#include <bit>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kestrin::fx {

// D3DXPARAMETER_TYPE, numbered as stored in the binary.
enum class ParamType : uint32_t {
    Void = 0,
    Bool = 1,
    Int = 2,
    Float = 3,
    String = 4,
    Texture = 5,
    Texture1D = 6,
    Texture2D = 7,
    Texture3D = 8,
    TextureCube = 9,
    Sampler = 10,
    Sampler1D = 11,
    Sampler2D = 12,
    Sampler3D = 13,
    SamplerCube = 14,
    PixelShader = 15,
    VertexShader = 16,
};

// D3DXPARAMETER_CLASS. Every matrix in an fx_2_0 effect is MatrixRows, whatever its packing.
enum class ParamClass : uint32_t {
    Scalar = 0,
    Vector = 1,
    MatrixRows = 2,
    MatrixColumns = 3,
    Object = 4,
    Struct = 5,
};

constexpr bool isNumeric(ParamType t) {
    return t == ParamType::Bool || t == ParamType::Int || t == ParamType::Float;
}
constexpr bool isTexture(ParamType t) {
    return t >= ParamType::Texture && t <= ParamType::TextureCube;
}
constexpr bool isSampler(ParamType t) {
    return t >= ParamType::Sampler && t <= ParamType::SamplerCube;
}
constexpr bool isShader(ParamType t) {
    return t == ParamType::PixelShader || t == ParamType::VertexShader;
}

// Name as D3DX spells it without the D3DXPT_ prefix ("FLOAT", "TEXTURE2D"), or "?" if unknown.
std::string_view typeName(ParamType t);
std::string_view className(ParamClass c);

// A plain number assigned to a state: one raw 32-bit word and how it is typed (Int, Float or
// Bool). `ZEnable = FALSE` is {Int, 0}; `MinFilter = POINT` is {Int, 1}.
struct Literal {
    ParamType type = ParamType::Int;
    uint32_t word = 0;
    bool operator==(const Literal&) const = default;
};

// `VertexShader = NULL` and the like; stored as an INT 0 literal.
struct NullObject {
    bool operator==(const NullObject&) const = default;
};

// Compiled shader bytecode (vs_3_0 / ps_3_0 tokens) assigned to a VertexShader or PixelShader
// state. Which kind of shader it is follows from the state.
struct ShaderCode {
    std::vector<uint32_t> words;
    bool operator==(const ShaderCode&) const = default;
};

// `Texture = <txSrc>`: the state follows the texture currently set on the named parameter.
struct TextureRef {
    std::string parameter;
    bool operator==(const TextureRef&) const = default;
};

using StateValue = std::variant<Literal, NullObject, ShaderCode, TextureRef>;

struct State {
    uint32_t operation = 0; // row of the state table (fx/states.h)
    // Stage, light or register number for indexed pass states (`AlphaOp[3]`). Inside a
    // sampler it has no meaning: the writer stores 0x100 there as fxc does, the reader gives 0.
    uint32_t index = 0;
    StateValue value;
    bool operator==(const State&) const = default;
};

struct Parameter {
    std::string name;
    std::optional<std::string> semantic;
    ParamType type = ParamType::Float;
    ParamClass cls = ParamClass::Scalar;
    uint32_t rows = 1;     // numeric parameters only; 0 for objects
    uint32_t columns = 1;  // numeric parameters only; 0 for objects
    uint32_t elements = 0; // array length; 0 = not an array
    // Numeric parameters: the default value, rows × columns × max(elements, 1) raw words,
    // each matrix row by row (M[0][0], M[0][1], ...). Empty for textures and samplers.
    std::vector<uint32_t> value;
    std::vector<State> samplerStates; // samplers only, in stored order
    bool operator==(const Parameter&) const = default;
};

// Number of value words a numeric parameter holds.
constexpr uint64_t valueWordCount(const Parameter& p) {
    return uint64_t{p.rows} * p.columns * (p.elements == 0 ? 1u : p.elements);
}

struct Pass {
    std::string name;
    std::vector<State> states;
    bool operator==(const Pass&) const = default;
};

struct Technique {
    std::string name;
    std::vector<Pass> passes;
    bool operator==(const Technique&) const = default;
};

struct Effect {
    std::vector<Parameter> parameters;
    std::vector<Technique> techniques;
    bool operator==(const Effect&) const = default;

    // Index of the parameter with this exact name, or nothing.
    std::optional<size_t> findParameter(std::string_view name) const {
        for (size_t i = 0; i < parameters.size(); ++i)
            if (parameters[i].name == name) return i;
        return std::nullopt;
    }
};

// Convenience builders for literal state values.
inline Literal intValue(uint32_t v) {
    return {ParamType::Int, v};
}
inline Literal floatValue(float v) {
    return {ParamType::Float, std::bit_cast<uint32_t>(v)};
}
inline Literal boolValue(bool v) {
    return {ParamType::Bool, v ? 1u : 0u};
}

} // namespace kestrin::fx
