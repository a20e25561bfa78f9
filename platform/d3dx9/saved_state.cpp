#include "platform/d3dx9/saved_state.h"

namespace kestrin::platform::d3dx9 {
namespace {

// Consecutive registers of `set`, as (first, count) runs.
std::vector<std::pair<uint32_t, uint32_t>> runs(const std::set<uint32_t>& set) {
    std::vector<std::pair<uint32_t, uint32_t>> out;
    for (uint32_t r : set) {
        if (!out.empty() && out.back().first + out.back().second == r)
            ++out.back().second;
        else
            out.push_back({r, 1});
    }
    return out;
}

} // namespace

std::unique_ptr<SavedState> SavedState::capture(IDirect3DDevice9* device, const StateFootprint& f,
                                                DWORD flags) {
    std::unique_ptr<SavedState> s(new SavedState());
    const bool shaders = !(flags & D3DXFX_DONOTSAVESHADERSTATE);
    const bool samplers = !(flags & D3DXFX_DONOTSAVESAMPLERSTATE);
    if (shaders && f.vertexShader)
        s->vertexShaderSaved_ = SUCCEEDED(device->GetVertexShader(&s->vertexShader_));
    if (shaders && f.pixelShader)
        s->pixelShaderSaved_ = SUCCEEDED(device->GetPixelShader(&s->pixelShader_));
    for (uint32_t state : f.renderStates) {
        DWORD value = 0;
        if (SUCCEEDED(device->GetRenderState(static_cast<D3DRENDERSTATETYPE>(state), &value)))
            s->renderStates_.push_back({state, value});
    }
    for (const auto& [stage, type] : f.textureStageStates) {
        DWORD value = 0;
        if (SUCCEEDED(device->GetTextureStageState(
                stage, static_cast<D3DTEXTURESTAGESTATETYPE>(type), &value)))
            s->textureStageStates_.push_back({stage, type, value});
    }
    if (samplers) {
        for (const auto& [sampler, type] : f.samplerStates) {
            DWORD value = 0;
            if (SUCCEEDED(device->GetSamplerState(sampler, static_cast<D3DSAMPLERSTATETYPE>(type),
                                                  &value)))
                s->samplerStates_.push_back({sampler, type, value});
        }
    }
    for (uint32_t stage : f.textures) {
        IDirect3DBaseTexture9* texture = nullptr;
        if (SUCCEEDED(device->GetTexture(stage, &texture))) {
            try {
                s->textures_.push_back({stage, texture});
            } catch (...) {
                if (texture) texture->Release();
                throw;
            }
        }
    }
    if (shaders) s->captureConstants(device, f);
    return s;
}

void SavedState::captureConstants(IDirect3DDevice9* device, const StateFootprint& f) {
    for (const auto& [first, count] : runs(f.pixelFloat)) {
        ConstantRun<float> run{first, count, std::vector<float>(size_t{count} * 4)};
        if (SUCCEEDED(device->GetPixelShaderConstantF(first, run.values.data(), count)))
            pixel_.floats.push_back(std::move(run));
    }
    for (const auto& [first, count] : runs(f.pixelInt)) {
        ConstantRun<int> run{first, count, std::vector<int>(size_t{count} * 4)};
        if (SUCCEEDED(device->GetPixelShaderConstantI(first, run.values.data(), count)))
            pixel_.ints.push_back(std::move(run));
    }
    for (uint32_t r : f.pixelBool) {
        BOOL value = FALSE;
        if (SUCCEEDED(device->GetPixelShaderConstantB(r, &value, 1)))
            pixel_.bools.push_back({r, value});
    }
}

HRESULT SavedState::restoreConstants(IDirect3DDevice9* device) {
    HRESULT first = D3D_OK;
    auto note = [&](HRESULT hr) {
        if (FAILED(hr) && SUCCEEDED(first)) first = hr;
    };
    for (const ConstantRun<float>& run : pixel_.floats)
        note(device->SetPixelShaderConstantF(run.first, run.values.data(), run.count));
    for (const ConstantRun<int>& run : pixel_.ints)
        note(device->SetPixelShaderConstantI(run.first, run.values.data(), run.count));
    for (const auto& [r, value] : pixel_.bools) note(device->SetPixelShaderConstantB(r, &value, 1));
    return first;
}

HRESULT SavedState::restore(IDirect3DDevice9* device) {
    HRESULT first = D3D_OK;
    auto note = [&](HRESULT hr) {
        if (FAILED(hr) && SUCCEEDED(first)) first = hr;
    };
    if (vertexShaderSaved_) note(device->SetVertexShader(vertexShader_));
    if (pixelShaderSaved_) note(device->SetPixelShader(pixelShader_));
    for (const auto& [state, value] : renderStates_)
        note(device->SetRenderState(static_cast<D3DRENDERSTATETYPE>(state), value));
    for (const auto& [stage, type, value] : textureStageStates_)
        note(device->SetTextureStageState(stage, static_cast<D3DTEXTURESTAGESTATETYPE>(type),
                                          value));
    for (const auto& [sampler, type, value] : samplerStates_)
        note(device->SetSamplerState(sampler, static_cast<D3DSAMPLERSTATETYPE>(type), value));
    for (const auto& [stage, texture] : textures_) note(device->SetTexture(stage, texture));
    note(restoreConstants(device));
    release();
    return first;
}

void SavedState::release() {
    if (vertexShader_) vertexShader_->Release();
    if (pixelShader_) pixelShader_->Release();
    vertexShader_ = nullptr;
    pixelShader_ = nullptr;
    vertexShaderSaved_ = pixelShaderSaved_ = false;
    for (auto& [stage, texture] : textures_)
        if (texture) texture->Release();
    textures_.clear();
}

SavedState::~SavedState() {
    release();
}

} // namespace kestrin::platform::d3dx9
