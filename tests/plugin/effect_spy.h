// Stands in for a context's effect while a render runs: every call goes on to the real effect,
// and at each BeginPass the spy notes which pass begins, which render target the device draws
// into and which texture txRGB holds. The device and the effect record calls by name only; this
// is how a test sees the arguments of the pass sequence.
#pragma once

#include <d3dx9.h>

#include <vector>

#include "gpu/gpu_context.h"

namespace kestrin::plugin_testing {

class EffectSpy final : public ID3DXEffect {
  public:
    // At each BeginPass; targets are indices into the context's renderTargets, -1 for neither.
    struct Pass {
        UINT pass;
        int target;
        int txRGB;
        bool operator==(const Pass&) const = default;
    };

    // Puts itself into context->effect; the render targets must exist already.
    explicit EffectSpy(GpuContext* context);
    // Puts the real effect back.
    ~EffectSpy();
    EffectSpy(const EffectSpy&) = delete;
    EffectSpy& operator=(const EffectSpy&) = delete;

    const std::vector<Pass>& passes() const { return passes_; }
    const std::vector<D3DXHANDLE>& techniques() const { return techniques_; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE GetDesc(D3DXEFFECT_DESC* desc) override;
    HRESULT STDMETHODCALLTYPE GetParameterDesc(D3DXHANDLE parameter,
                                               D3DXPARAMETER_DESC* desc) override;
    HRESULT STDMETHODCALLTYPE GetTechniqueDesc(D3DXHANDLE technique,
                                               D3DXTECHNIQUE_DESC* desc) override;
    HRESULT STDMETHODCALLTYPE GetPassDesc(D3DXHANDLE pass, D3DXPASS_DESC* desc) override;
    D3DXHANDLE STDMETHODCALLTYPE GetParameter(D3DXHANDLE parameter, UINT index) override;
    D3DXHANDLE STDMETHODCALLTYPE GetParameterByName(D3DXHANDLE parameter, LPCSTR name) override;
    D3DXHANDLE STDMETHODCALLTYPE GetTechnique(UINT index) override;
    D3DXHANDLE STDMETHODCALLTYPE GetTechniqueByName(LPCSTR name) override;
    D3DXHANDLE STDMETHODCALLTYPE GetPass(D3DXHANDLE technique, UINT index) override;
    D3DXHANDLE STDMETHODCALLTYPE GetPassByName(D3DXHANDLE technique, LPCSTR name) override;
    HRESULT STDMETHODCALLTYPE SetValue(D3DXHANDLE parameter, LPCVOID data, UINT bytes) override;
    HRESULT STDMETHODCALLTYPE GetValue(D3DXHANDLE parameter, LPVOID data, UINT bytes) override;
    HRESULT STDMETHODCALLTYPE SetBool(D3DXHANDLE parameter, BOOL b) override;
    HRESULT STDMETHODCALLTYPE GetBool(D3DXHANDLE parameter, BOOL* b) override;
    HRESULT STDMETHODCALLTYPE SetInt(D3DXHANDLE parameter, INT n) override;
    HRESULT STDMETHODCALLTYPE GetInt(D3DXHANDLE parameter, INT* n) override;
    HRESULT STDMETHODCALLTYPE SetFloat(D3DXHANDLE parameter, FLOAT f) override;
    HRESULT STDMETHODCALLTYPE GetFloat(D3DXHANDLE parameter, FLOAT* f) override;
    HRESULT STDMETHODCALLTYPE SetVector(D3DXHANDLE parameter, const D3DXVECTOR4* vector) override;
    HRESULT STDMETHODCALLTYPE GetVector(D3DXHANDLE parameter, D3DXVECTOR4* vector) override;
    HRESULT STDMETHODCALLTYPE SetMatrix(D3DXHANDLE parameter, const D3DXMATRIX* matrix) override;
    HRESULT STDMETHODCALLTYPE GetMatrix(D3DXHANDLE parameter, D3DXMATRIX* matrix) override;
    HRESULT STDMETHODCALLTYPE SetTexture(D3DXHANDLE parameter,
                                         IDirect3DBaseTexture9* texture) override;
    HRESULT STDMETHODCALLTYPE GetTexture(D3DXHANDLE parameter,
                                         IDirect3DBaseTexture9** texture) override;
    HRESULT STDMETHODCALLTYPE SetTechnique(D3DXHANDLE technique) override;
    D3DXHANDLE STDMETHODCALLTYPE GetCurrentTechnique() override;
    HRESULT STDMETHODCALLTYPE ValidateTechnique(D3DXHANDLE technique) override;
    HRESULT STDMETHODCALLTYPE FindNextValidTechnique(D3DXHANDLE technique,
                                                     D3DXHANDLE* next) override;
    HRESULT STDMETHODCALLTYPE Begin(UINT* passes, DWORD flags) override;
    HRESULT STDMETHODCALLTYPE BeginPass(UINT pass) override;
    HRESULT STDMETHODCALLTYPE CommitChanges() override;
    HRESULT STDMETHODCALLTYPE EndPass() override;
    HRESULT STDMETHODCALLTYPE End() override;
    HRESULT STDMETHODCALLTYPE GetDevice(IDirect3DDevice9** device) override;
    HRESULT STDMETHODCALLTYPE OnLostDevice() override;
    HRESULT STDMETHODCALLTYPE OnResetDevice() override;

  private:
    int targetIndex(const void* object, const void* const candidates[2]) const;

    GpuContext* context_;
    ID3DXEffect* real_;
    const void* levels_[2];   // level 0 of each render target
    const void* textures_[2]; // each render target as a base texture
    std::vector<Pass> passes_;
    std::vector<D3DXHANDLE> techniques_;
};

} // namespace kestrin::plugin_testing
