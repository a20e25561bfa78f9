// The device state the application sets and reads back: bindings, render states, sampler and
// texture-stage states, viewport and pixel-shader constants, with the defaults of a new or reset
// Direct3D 9 device. Only the bindings, the viewport, the sampler states and the constants take
// part in drawing; every other state is stored and read back unchanged.
#pragma once

#include <array>
#include <cstdint>

#include "d3d9.h"
#include "platform/d3d9/object.h"
#include "shader/interpreter.h"

namespace kestrin::platform::d3d9 {

class Surface;
class Texture;
class VertexBuffer;
class VertexDeclaration;
class PixelShader;

// Texture and sampler slots: the 16 pixel samplers, then D3DDMAPSAMPLER and the four
// D3DVERTEXTEXTURESAMPLERn.
inline constexpr unsigned kPixelSamplers = 16;
inline constexpr unsigned kSamplerSlots = kPixelSamplers + 5;
inline constexpr unsigned kTextureStages = 8;
inline constexpr unsigned kStreams = 16;
inline constexpr unsigned kSamplerStateCount = D3DSAMP_DMAPOFFSET + 1;
inline constexpr unsigned kStageStateCount = D3DTSS_CONSTANT + 1;
inline constexpr unsigned kRenderStateCount = D3DRS_BLENDOPALPHA + 1;

// The slot of a sampler number as the application passes it, or -1.
int samplerSlot(DWORD sampler);

// Whether `state` is a render state Direct3D 9 knows (the table's rows), and its default.
bool isRenderState(DWORD state);
bool isStageState(DWORD type);
bool isSamplerState(DWORD type);

struct StreamBinding {
    Binding<VertexBuffer> buffer;
    UINT offset = 0;
    UINT stride = 0;
};

struct DeviceState {
    Binding<Surface> renderTarget;
    D3DVIEWPORT9 viewport{};
    std::array<Binding<Texture>, kSamplerSlots> textures;
    std::array<std::array<DWORD, kSamplerStateCount>, kSamplerSlots> samplerStates{};
    std::array<std::array<DWORD, kStageStateCount>, kTextureStages> stageStates{};
    std::array<DWORD, kRenderStateCount> renderStates{};
    std::array<StreamBinding, kStreams> streams;
    Binding<VertexDeclaration> declaration;
    Binding<PixelShader> pixelShader;
    shader::ShaderConstants constants{};

    // Every binding released, every value at its default. `depthBuffer`: the presentation
    // parameters asked for an automatic depth buffer (the default of D3DRS_ZENABLE).
    void resetToDefaults(bool depthBuffer);
};

} // namespace kestrin::platform::d3d9
