// The effect-state table: every state a compiled fx_2_0 effect can assign, by the operation
// number stored in the binary, with its name in effect-file syntax and what applying it means.
// The writer, the reader, the effect-source parser and the D3DX stand-in all use this one table.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace kestrin::fx {

// What D3DX does with a state when a pass (or a sampler) applies it.
enum class StateKind : uint8_t {
    Render,       // IDirect3DDevice9::SetRenderState(d3dNumber, value)
    TextureStage, // SetTextureStageState(state index, d3dNumber, value)
    Sampler,      // SetSamplerState(sampler, d3dNumber, value); d3dNumber = operation - 164
    Texture,      // SetTexture(sampler, texture)
    VertexShader, // SetVertexShader
    PixelShader,  // SetPixelShader
    Other,        // transforms, material, lights, shader constants, NPatchMode, FVF, Sampler[n]
};

// How a plain number written for the state is typed in the binary.
enum class StateValueType : uint8_t {
    Int,    // DWORD-valued states, flags and enumerations
    Float,  // float-valued states (FogStart, PointSize, ...)
    Object, // a shader or texture object, or NULL
};

// Which named constants (MIRROR, POINT, ...) a state accepts besides TRUE/FALSE and numbers.
enum class ValueSet : uint8_t {
    None,
    ZBuffer, // D3DZBUFFERTYPE
    Fill,    // D3DFILLMODE
    Cull,    // D3DCULL
    Compare, // D3DCMPFUNC
    Blend,   // D3DBLEND
    BlendOp, // D3DBLENDOP
    Address, // D3DTEXTUREADDRESS
    Filter,  // D3DTEXTUREFILTERTYPE
    Object,  // NULL for shader and texture states
};

struct StateInfo {
    uint32_t index;        // operation number stored in the binary (position in this table)
    std::string_view name; // as written in an effect file, e.g. "ZEnable", "MinFilter"
    StateKind kind;
    uint32_t d3dNumber;       // D3DRS_*, D3DTSS_* or D3DSAMP_* value; 0 for the other kinds
    StateValueType valueType; // how a plain number for it is typed
    uint8_t components;       // floats/ints the value holds: 1, 3 (light vectors), 4, 16
    ValueSet values;          // named constants it accepts
    bool indexed;             // takes a [n] index: texture stage, light, register, sampler
};

// Operation numbers of the states this project's effects use.
namespace state {
inline constexpr uint32_t ZEnable = 0;
inline constexpr uint32_t VertexShader = 146;
inline constexpr uint32_t PixelShader = 147;
inline constexpr uint32_t Texture = 164;
inline constexpr uint32_t AddressU = 165;
inline constexpr uint32_t AddressV = 166;
inline constexpr uint32_t AddressW = 167;
inline constexpr uint32_t BorderColor = 168;
inline constexpr uint32_t MagFilter = 169;
inline constexpr uint32_t MinFilter = 170;
inline constexpr uint32_t MipFilter = 171;
inline constexpr uint32_t Sampler = 178;
inline constexpr uint32_t Count = 179;
} // namespace state

// The whole table, indexed by operation number (stateTable()[i].index == i).
std::span<const StateInfo> stateTable();

// The row for an operation number, or nullptr when it is outside the table.
const StateInfo* stateByIndex(uint32_t index);

// The row for a state name, compared without regard to case as the effect compiler does.
const StateInfo* stateByName(std::string_view name);

// A named constant in a state assignment: one row of the named-value table.
struct NamedValue {
    ValueSet set;
    std::string_view name;
    uint32_t value;
};

std::span<const NamedValue> namedValueTable();

// The number a named constant stands for when assigned to the given state, or nothing when the
// state does not accept that name. TRUE and FALSE are accepted by every non-object state; NULL
// only by shader and texture states (it is stored as INT 0). Case-insensitive.
std::optional<uint32_t> namedValue(const StateInfo& state, std::string_view name);

} // namespace kestrin::fx
