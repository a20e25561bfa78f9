// What an effect does on the device, worked out once when the effect is created: for every pass
// the device calls its states turn into, for every shader program the parameters its constant
// table names (and where they go), for every sampler parameter the sampler states it applies, and
// for every technique the device state its passes touch (which Begin saves and End restores).
//
// Constant-table entries are tied to top-level parameters by name and checked as D3DX checks
// them: an entry naming no parameter is skipped; a sampler entry must name a sampler parameter and
// a numeric entry a numeric one, with the same number of array elements, claiming no more
// registers than the value can fill and no register beyond the shader model's range. A failed
// check fails the effect's creation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "fx/effect.h"
#include "platform/d3dx9/constant_registers.h"

namespace kestrin::platform::d3dx9 {

// Device samplers of vertex programs start here (D3DVERTEXTEXTURESAMPLER0).
inline constexpr uint32_t kVertexSamplerBase = 257;

enum class ProgramKind : uint8_t { Vertex, Pixel };

// A sampler parameter applied to a device sampler (for vertex programs already offset by
// kVertexSamplerBase).
struct SamplerBinding {
    size_t parameter = 0;
    uint32_t stage = 0;
};

// A vertex program's constants are bound like a pixel program's, but the native device has no
// vertex constant registers to receive them (nor does it run vertex programs).
struct ProgramLayout {
    ProgramKind kind = ProgramKind::Pixel;
    std::vector<uint32_t> code;
    std::vector<ConstantBinding> constants;
    std::vector<SamplerBinding> samplers;
};

enum class ActionKind : uint8_t {
    VertexShader,      // SetVertexShader(program's shader, or NULL)
    PixelShader,       // SetPixelShader(program's shader, or NULL)
    RenderState,       // SetRenderState(number, value)
    TextureStageState, // SetTextureStageState(stage, number, value)
    SamplerState,      // SetSamplerState(stage, number, value)
    Texture,           // SetTexture(stage, texture currently set on the parameter, or NULL)
};

// One device call a pass (or a sampler parameter) makes. In a sampler parameter's list `stage`
// is 0: the sampler the parameter is applied to takes its place.
struct StateAction {
    ActionKind kind = ActionKind::RenderState;
    uint32_t stage = 0;
    uint32_t number = 0; // D3DRS_*, D3DTSS_* or D3DSAMP_* value
    uint32_t value = 0;
    int program = -1; // shader actions: index into EffectLayout::programs; -1 for NULL
    int texture = -1; // Texture actions: index of the texture parameter; -1 for NULL
};

struct PassLayout {
    std::vector<StateAction> actions; // in the order the effect stores the states
};

// Device state that a technique's passes change.
struct StateFootprint {
    bool vertexShader = false;
    bool pixelShader = false;
    std::set<uint32_t> renderStates;
    std::set<std::pair<uint32_t, uint32_t>> textureStageStates; // (stage, D3DTSS_*)
    std::set<std::pair<uint32_t, uint32_t>> samplerStates;      // (sampler, D3DSAMP_*)
    std::set<uint32_t> textures;                                // samplers
    std::set<uint32_t> pixelFloat, pixelInt, pixelBool;         // pixel constant registers
};

struct TechniqueLayout {
    std::vector<PassLayout> passes;
    StateFootprint footprint;
};

struct EffectLayout {
    fx::Effect effect;
    std::vector<ProgramLayout> programs;
    std::vector<std::vector<StateAction>> samplerStates; // per parameter; empty unless a sampler
    std::vector<TechniqueLayout> techniques;
};

// Why a layout could not be made, in the terms of the result D3DX gives for it.
enum class LayoutError : uint8_t {
    None,
    InvalidCall, // a constant table that contradicts the parameters (D3DERR_INVALIDCALL)
    OutOfMemory, // E_OUTOFMEMORY
    InvalidData, // a program whose constant table cannot be read (D3DXERR_INVALIDDATA)
    Unsupported, // a state this runtime does not apply (E_NOTIMPL)
};

struct LayoutResult {
    std::unique_ptr<EffectLayout> layout; // null on failure
    LayoutError error = LayoutError::None;
    std::string message; // what failed and where
};

// Never throws (an allocation failure comes back as OutOfMemory).
LayoutResult buildLayout(fx::Effect effect);

} // namespace kestrin::platform::d3dx9
