// The device state a technique is about to change, read at Begin and written back at End.
//
// What is read follows the technique's footprint (effect_layout.h): the shaders, the render,
// texture-stage and sampler states its passes and samplers set, the textures of those samplers
// and the pixel-shader constants its programs' constant tables name. D3DXFX_DONOTSAVESHADERSTATE
// leaves out the shaders and their constants, D3DXFX_DONOTSAVESAMPLERSTATE the sampler states. A
// value the device will not report is not restored either. References taken while reading (shaders,
// textures) are held until restore() or destruction.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "d3dx9.h"
#include "platform/d3dx9/effect_layout.h"

namespace kestrin::platform::d3dx9 {

class SavedState {
  public:
    // Throws std::bad_alloc only.
    static std::unique_ptr<SavedState> capture(IDirect3DDevice9* device, const StateFootprint& f,
                                               DWORD flags);
    ~SavedState();
    SavedState(const SavedState&) = delete;
    SavedState& operator=(const SavedState&) = delete;

    // Sets everything back and drops the references. Returns the first failure, or D3D_OK.
    HRESULT restore(IDirect3DDevice9* device);

  private:
    SavedState() = default;
    void release();

    // A run of consecutive constant registers and their contents, four values a register.
    template <class T> struct ConstantRun {
        uint32_t first = 0;
        uint32_t count = 0;
        std::vector<T> values;
    };
    struct Constants {
        std::vector<ConstantRun<float>> floats;
        std::vector<ConstantRun<int>> ints;
        std::vector<std::pair<uint32_t, BOOL>> bools;
    };
    void captureConstants(IDirect3DDevice9* device, const StateFootprint& f);
    HRESULT restoreConstants(IDirect3DDevice9* device);

    bool vertexShaderSaved_ = false;
    bool pixelShaderSaved_ = false;
    IDirect3DVertexShader9* vertexShader_ = nullptr;
    IDirect3DPixelShader9* pixelShader_ = nullptr;
    std::vector<std::pair<uint32_t, DWORD>> renderStates_;
    std::vector<std::array<uint32_t, 3>> textureStageStates_; // stage, type, value
    std::vector<std::array<uint32_t, 3>> samplerStates_;      // sampler, type, value
    std::vector<std::pair<uint32_t, IDirect3DBaseTexture9*>> textures_;
    Constants pixel_;
};

} // namespace kestrin::platform::d3dx9
