// The effect's techniques and passes: shader creation, validation, Begin/BeginPass/CommitChanges/
// EndPass/End, and how a pass turns into device calls.
#include "platform/d3dx9/effect_object.h"

#include <cstring>

namespace kestrin::platform::d3dx9 {
namespace {

// Keeps the first failure of a sequence of device calls that all run regardless.
struct FirstFailure {
    HRESULT hr = D3D_OK;
    void operator()(HRESULT r) {
        if (FAILED(r) && SUCCEEDED(hr)) hr = r;
    }
};

} // namespace

void Effect::createShaders() {
    for (size_t i = 0; i < layout_->programs.size(); ++i) {
        const ProgramLayout& program = layout_->programs[i];
        const DWORD* code = program.code.data();
        HRESULT hr = E_FAIL;
        if (program.kind == ProgramKind::Pixel) {
            hr = device_->CreatePixelShader(code, &pixelShaders_[i]);
            shaderCreated_[i] = SUCCEEDED(hr) && pixelShaders_[i];
        } else {
            hr = device_->CreateVertexShader(code, &vertexShaders_[i]);
            shaderCreated_[i] = SUCCEEDED(hr) && vertexShaders_[i];
        }
    }
}

bool Effect::techniqueValid(size_t technique) const {
    for (const PassLayout& pass : layout_->techniques[technique].passes)
        for (const StateAction& a : pass.actions)
            if ((a.kind == ActionKind::PixelShader || a.kind == ActionKind::VertexShader) &&
                a.program >= 0 && !shaderCreated_[size_t(a.program)])
                return false;
    return true;
}

HRESULT STDMETHODCALLTYPE Effect::SetTechnique(D3DXHANDLE technique) {
    return enter({kInterface, __func__}, [&](auto& call) {
        const int index = techniqueIndex(technique);
        if (index < 0) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            technique_ = index;
            return D3D_OK;
        });
    });
}

D3DXHANDLE STDMETHODCALLTYPE Effect::GetCurrentTechnique() {
    return enter({kInterface, __func__}, FailureValue<D3DXHANDLE>{nullptr},
                 [&](auto& call) -> D3DXHANDLE {
                     if (technique_ < 0) return nullptr;
                     return call.proceed([&] { return techniqueHandle(size_t(technique_)); });
                 });
}

HRESULT STDMETHODCALLTYPE Effect::ValidateTechnique(D3DXHANDLE technique) {
    return enter({kInterface, __func__}, [&](auto& call) {
        const int index = techniqueIndex(technique);
        if (index < 0) return D3DERR_INVALIDCALL;
        return call.proceed([&] { return techniqueValid(size_t(index)) ? D3D_OK : E_FAIL; });
    });
}

HRESULT STDMETHODCALLTYPE Effect::FindNextValidTechnique(D3DXHANDLE technique, D3DXHANDLE* next) {
    return enter({kInterface, __func__}, outputs(next), [&](auto& call) {
        const int after = technique ? techniqueIndex(technique) : -1;
        if (!next || (technique && after < 0)) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            for (size_t t = size_t(after + 1); t < layout_->techniques.size(); ++t) {
                if (techniqueValid(t)) {
                    *next = techniqueHandle(t);
                    return D3D_OK;
                }
            }
            return S_FALSE;
        });
    });
}

HRESULT STDMETHODCALLTYPE Effect::Begin(UINT* passes, DWORD flags) {
    return enter({kInterface, __func__}, outputs(passes), [&](auto& call) {
        if (begun_ || technique_ < 0) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            const TechniqueLayout& technique = layout_->techniques[size_t(technique_)];
            if (!(flags & D3DXFX_DONOTSAVESTATE))
                saved_ = SavedState::capture(device_, technique.footprint, flags);
            begun_ = true;
            activePass_ = -1;
            if (passes) *passes = static_cast<UINT>(technique.passes.size());
            return D3D_OK;
        });
    });
}

HRESULT STDMETHODCALLTYPE Effect::BeginPass(UINT pass) {
    return enter({kInterface, __func__}, [&](auto& call) {
        if (!begun_ || activePass_ >= 0 ||
            pass >= layout_->techniques[size_t(technique_)].passes.size())
            return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            activePass_ = static_cast<int>(pass);
            return applyPass(layout_->techniques[size_t(technique_)].passes[pass]);
        });
    });
}

HRESULT STDMETHODCALLTYPE Effect::CommitChanges() {
    return enter({kInterface, __func__}, [&](auto& call) {
        return call.proceed([&] {
            if (activePass_ < 0) return D3D_OK; // nothing to commit to, as D3DX
            FirstFailure first;
            for (const StateAction& a :
                 layout_->techniques[size_t(technique_)].passes[size_t(activePass_)].actions)
                if ((a.kind == ActionKind::PixelShader || a.kind == ActionKind::VertexShader) &&
                    a.program >= 0)
                    first(applyProgram(size_t(a.program)));
            return first.hr;
        });
    });
}

HRESULT STDMETHODCALLTYPE Effect::EndPass() {
    return enter({kInterface, __func__}, [&](auto& call) {
        if (activePass_ < 0) return D3DERR_INVALIDCALL;
        return call.close([&] {
            activePass_ = -1;
            return D3D_OK;
        });
    });
}

HRESULT STDMETHODCALLTYPE Effect::End() {
    return enter({kInterface, __func__}, [&](auto& call) {
        if (!begun_) return D3DERR_INVALIDCALL;
        return call.close([&] {
            begun_ = false;
            activePass_ = -1;
            // Like applying a state block: a state the device refuses to take back is not reported.
            if (saved_) saved_->restore(device_);
            saved_.reset();
            return D3D_OK;
        });
    });
}

HRESULT STDMETHODCALLTYPE Effect::GetDevice(IDirect3DDevice9** device) {
    return enter({kInterface, __func__}, outputs(device), [&](auto& call) {
        if (!device) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            device_->AddRef();
            *device = device_;
            return D3D_OK;
        });
    });
}

// The effect owns no default-pool objects, so there is nothing to drop or rebuild.
HRESULT STDMETHODCALLTYPE Effect::OnLostDevice() {
    return enter({kInterface, __func__},
                 [&](auto& call) { return call.proceed([&] { return D3D_OK; }); });
}

HRESULT STDMETHODCALLTYPE Effect::OnResetDevice() {
    return enter({kInterface, __func__},
                 [&](auto& call) { return call.proceed([&] { return D3D_OK; }); });
}

// ---- Applying a pass -------------------------------------------------------------------------

HRESULT Effect::applyPass(const PassLayout& pass) {
    FirstFailure first;
    for (const StateAction& a : pass.actions) {
        switch (a.kind) {
        case ActionKind::VertexShader:
            first(device_->SetVertexShader(a.program >= 0 ? vertexShaders_[size_t(a.program)]
                                                          : nullptr));
            if (a.program >= 0) first(applyProgram(size_t(a.program)));
            break;
        case ActionKind::PixelShader:
            first(device_->SetPixelShader(a.program >= 0 ? pixelShaders_[size_t(a.program)]
                                                         : nullptr));
            if (a.program >= 0) first(applyProgram(size_t(a.program)));
            break;
        case ActionKind::RenderState:
            first(device_->SetRenderState(static_cast<D3DRENDERSTATETYPE>(a.number), a.value));
            break;
        case ActionKind::TextureStageState:
            first(device_->SetTextureStageState(
                a.stage, static_cast<D3DTEXTURESTAGESTATETYPE>(a.number), a.value));
            break;
        case ActionKind::SamplerState:
            first(device_->SetSamplerState(a.stage, static_cast<D3DSAMPLERSTATETYPE>(a.number),
                                           a.value));
            break;
        case ActionKind::Texture:
            first(device_->SetTexture(a.stage,
                                      a.texture >= 0 ? textures_[size_t(a.texture)] : nullptr));
            break;
        }
    }
    return first.hr;
}

// The program's constants from the current parameter values, and its samplers' states with the
// textures currently set on their texture parameters. (A vertex program's constants have no
// registers to go to on this device.)
HRESULT Effect::applyProgram(size_t index) {
    const ProgramLayout& program = layout_->programs[index];
    FirstFailure first;
    try {
        for (const ConstantBinding& c : program.constants) {
            if (c.registerCount == 0 || program.kind != ProgramKind::Pixel) continue;
            const auto registers =
                bindingRegisters(c, layout_->effect.parameters[c.parameter], values_[c.parameter]);
            const UINT n = c.registerCount;
            switch (c.set) {
            case shader::RegisterSet::Float4: {
                std::vector<float> f(size_t{n} * 4);
                std::memcpy(f.data(), registers.data(), f.size() * sizeof(float));
                first(device_->SetPixelShaderConstantF(c.firstRegister, f.data(), n));
                break;
            }
            case shader::RegisterSet::Int4: {
                std::vector<int> i(size_t{n} * 4);
                std::memcpy(i.data(), registers.data(), i.size() * sizeof(int));
                first(device_->SetPixelShaderConstantI(c.firstRegister, i.data(), n));
                break;
            }
            case shader::RegisterSet::Bool: {
                std::vector<BOOL> flags(n);
                for (UINT r = 0; r < n; ++r) flags[r] = static_cast<BOOL>(registers[r][0]);
                first(device_->SetPixelShaderConstantB(c.firstRegister, flags.data(), n));
                break;
            }
            case shader::RegisterSet::Sampler:
                break;
            }
        }
    } catch (...) {
        first(E_OUTOFMEMORY);
    }
    for (const SamplerBinding& s : program.samplers) {
        for (const StateAction& a : layout_->samplerStates[s.parameter]) {
            if (a.kind == ActionKind::Texture)
                first(device_->SetTexture(s.stage,
                                          a.texture >= 0 ? textures_[size_t(a.texture)] : nullptr));
            else
                first(device_->SetSamplerState(s.stage, static_cast<D3DSAMPLERSTATETYPE>(a.number),
                                               a.value));
        }
    }
    return first.hr;
}

} // namespace kestrin::platform::d3dx9
