#include "tests/plugin/effect_spy.h"

namespace kestrin::plugin_testing {

EffectSpy::EffectSpy(GpuContext* context) : context_(context), real_(context->effect) {
    for (int i = 0; i < 2; ++i) {
        IDirect3DTexture9* target = context->renderTargets[i];
        textures_[i] = static_cast<IDirect3DBaseTexture9*>(target);
        levels_[i] = nullptr;
        IDirect3DSurface9* level = nullptr;
        if (target && SUCCEEDED(target->GetSurfaceLevel(0, &level)) && level) {
            levels_[i] = level; // the texture keeps it alive; only the address is compared
            level->Release();
        }
    }
    context->effect = this;
}

EffectSpy::~EffectSpy() {
    if (context_->effect == this) context_->effect = real_;
}

int EffectSpy::targetIndex(const void* object, const void* const candidates[2]) const {
    if (!object) return -1;
    for (int i = 0; i < 2; ++i)
        if (candidates[i] == object) return i;
    return -1;
}

HRESULT EffectSpy::BeginPass(UINT pass) {
    Pass seen{pass, -1, -1};
    IDirect3DSurface9* target = nullptr;
    if (SUCCEEDED(context_->device->GetRenderTarget(0, &target)) && target) {
        seen.target = targetIndex(target, levels_);
        target->Release();
    }
    IDirect3DBaseTexture9* rgb = nullptr;
    if (SUCCEEDED(real_->GetTexture(context_->hTxRGB, &rgb)) && rgb) {
        seen.txRGB = targetIndex(rgb, textures_);
        rgb->Release();
    }
    passes_.push_back(seen);
    return real_->BeginPass(pass);
}

HRESULT EffectSpy::SetTechnique(D3DXHANDLE technique) {
    techniques_.push_back(technique);
    return real_->SetTechnique(technique);
}

// Everything else goes straight on.
HRESULT EffectSpy::QueryInterface(REFIID riid, void** object) {
    return real_->QueryInterface(riid, object);
}
ULONG EffectSpy::AddRef() {
    return real_->AddRef();
}
ULONG EffectSpy::Release() {
    return real_->Release();
}
HRESULT EffectSpy::GetDesc(D3DXEFFECT_DESC* desc) {
    return real_->GetDesc(desc);
}
HRESULT EffectSpy::GetParameterDesc(D3DXHANDLE parameter, D3DXPARAMETER_DESC* desc) {
    return real_->GetParameterDesc(parameter, desc);
}
HRESULT EffectSpy::GetTechniqueDesc(D3DXHANDLE technique, D3DXTECHNIQUE_DESC* desc) {
    return real_->GetTechniqueDesc(technique, desc);
}
HRESULT EffectSpy::GetPassDesc(D3DXHANDLE pass, D3DXPASS_DESC* desc) {
    return real_->GetPassDesc(pass, desc);
}
D3DXHANDLE EffectSpy::GetParameter(D3DXHANDLE parameter, UINT index) {
    return real_->GetParameter(parameter, index);
}
D3DXHANDLE EffectSpy::GetParameterByName(D3DXHANDLE parameter, LPCSTR name) {
    return real_->GetParameterByName(parameter, name);
}
D3DXHANDLE EffectSpy::GetTechnique(UINT index) {
    return real_->GetTechnique(index);
}
D3DXHANDLE EffectSpy::GetTechniqueByName(LPCSTR name) {
    return real_->GetTechniqueByName(name);
}
D3DXHANDLE EffectSpy::GetPass(D3DXHANDLE technique, UINT index) {
    return real_->GetPass(technique, index);
}
D3DXHANDLE EffectSpy::GetPassByName(D3DXHANDLE technique, LPCSTR name) {
    return real_->GetPassByName(technique, name);
}
HRESULT EffectSpy::SetValue(D3DXHANDLE parameter, LPCVOID data, UINT bytes) {
    return real_->SetValue(parameter, data, bytes);
}
HRESULT EffectSpy::GetValue(D3DXHANDLE parameter, LPVOID data, UINT bytes) {
    return real_->GetValue(parameter, data, bytes);
}
HRESULT EffectSpy::SetBool(D3DXHANDLE parameter, BOOL b) {
    return real_->SetBool(parameter, b);
}
HRESULT EffectSpy::GetBool(D3DXHANDLE parameter, BOOL* b) {
    return real_->GetBool(parameter, b);
}
HRESULT EffectSpy::SetInt(D3DXHANDLE parameter, INT n) {
    return real_->SetInt(parameter, n);
}
HRESULT EffectSpy::GetInt(D3DXHANDLE parameter, INT* n) {
    return real_->GetInt(parameter, n);
}
HRESULT EffectSpy::SetFloat(D3DXHANDLE parameter, FLOAT f) {
    return real_->SetFloat(parameter, f);
}
HRESULT EffectSpy::GetFloat(D3DXHANDLE parameter, FLOAT* f) {
    return real_->GetFloat(parameter, f);
}
HRESULT EffectSpy::SetVector(D3DXHANDLE parameter, const D3DXVECTOR4* vector) {
    return real_->SetVector(parameter, vector);
}
HRESULT EffectSpy::GetVector(D3DXHANDLE parameter, D3DXVECTOR4* vector) {
    return real_->GetVector(parameter, vector);
}
HRESULT EffectSpy::SetMatrix(D3DXHANDLE parameter, const D3DXMATRIX* matrix) {
    return real_->SetMatrix(parameter, matrix);
}
HRESULT EffectSpy::GetMatrix(D3DXHANDLE parameter, D3DXMATRIX* matrix) {
    return real_->GetMatrix(parameter, matrix);
}
HRESULT EffectSpy::SetTexture(D3DXHANDLE parameter, IDirect3DBaseTexture9* texture) {
    return real_->SetTexture(parameter, texture);
}
HRESULT EffectSpy::GetTexture(D3DXHANDLE parameter, IDirect3DBaseTexture9** texture) {
    return real_->GetTexture(parameter, texture);
}
D3DXHANDLE EffectSpy::GetCurrentTechnique() {
    return real_->GetCurrentTechnique();
}
HRESULT EffectSpy::ValidateTechnique(D3DXHANDLE technique) {
    return real_->ValidateTechnique(technique);
}
HRESULT EffectSpy::FindNextValidTechnique(D3DXHANDLE technique, D3DXHANDLE* next) {
    return real_->FindNextValidTechnique(technique, next);
}
HRESULT EffectSpy::Begin(UINT* passes, DWORD flags) {
    return real_->Begin(passes, flags);
}
HRESULT EffectSpy::CommitChanges() {
    return real_->CommitChanges();
}
HRESULT EffectSpy::EndPass() {
    return real_->EndPass();
}
HRESULT EffectSpy::End() {
    return real_->End();
}
HRESULT EffectSpy::GetDevice(IDirect3DDevice9** device) {
    return real_->GetDevice(device);
}
HRESULT EffectSpy::OnLostDevice() {
    return real_->OnLostDevice();
}
HRESULT EffectSpy::OnResetDevice() {
    return real_->OnResetDevice();
}

} // namespace kestrin::plugin_testing
