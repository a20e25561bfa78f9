// The effect's records, handles, descriptions and parameter values. Techniques and passes are in
// effect_passes.cpp.
#include "platform/d3dx9/effect_object.h"

#include <bit>
#include <cstring>
#include <type_traits>

#include "platform/d3dx9/parameter_values.h"

namespace kestrin::platform::d3dx9 {
Effect::Effect(IDirect3DDevice9* device, std::unique_ptr<EffectLayout> layout, DWORD flags)
    : device_(device), layout_(std::move(layout)), flags_(flags) {
    const fx::Effect& e = layout_->effect;
    for (uint32_t i = 0; i < e.parameters.size(); ++i)
        handles_.push_back({0, HandleKind::Parameter, i, 0});
    for (uint32_t t = 0; t < e.techniques.size(); ++t)
        handles_.push_back({0, HandleKind::Technique, t, 0});
    for (uint32_t t = 0; t < e.techniques.size(); ++t) {
        firstPassSlot_.push_back(handles_.size());
        for (uint32_t p = 0; p < e.techniques[t].passes.size(); ++p)
            handles_.push_back({0, HandleKind::Pass, t, p});
    }
    values_.reserve(e.parameters.size());
    for (const fx::Parameter& p : e.parameters)
        values_.push_back(fx::isNumeric(p.type) ? p.value : std::vector<uint32_t>{});
    textures_.assign(e.parameters.size(), nullptr);
    pixelShaders_.assign(layout_->programs.size(), nullptr);
    vertexShaders_.assign(layout_->programs.size(), nullptr);
    shaderCreated_.assign(layout_->programs.size(), false);
    device_->AddRef();
    createShaders();
    for (size_t t = 0; t < e.techniques.size() && technique_ < 0; ++t)
        if (techniqueValid(t)) technique_ = static_cast<int>(t);
    if (technique_ < 0 && !e.techniques.empty()) technique_ = 0;
}

Effect::~Effect() {
    saved_.reset();
    for (IDirect3DBaseTexture9* t : textures_)
        if (t) t->Release();
    for (IDirect3DPixelShader9* s : pixelShaders_)
        if (s) s->Release();
    for (IDirect3DVertexShader9* s : vertexShaders_)
        if (s) s->Release();
    device_->Release();
}

bool Effect::answers(REFIID riid) const {
    return riid == IID_ID3DXEffect || riid == IID_ID3DXBaseEffect;
}

// ---- Handles ---------------------------------------------------------------------------------

const Effect::HandleSlot* Effect::slotOf(D3DXHANDLE handle) const {
    const auto at = reinterpret_cast<uintptr_t>(handle);
    const auto begin = reinterpret_cast<uintptr_t>(handles_.data());
    const uintptr_t bytes = handles_.size() * sizeof(HandleSlot);
    if (at < begin || at - begin >= bytes || (at - begin) % sizeof(HandleSlot) != 0) return nullptr;
    return &handles_[(at - begin) / sizeof(HandleSlot)];
}

int Effect::parameterIndex(D3DXHANDLE handle) const {
    if (!handle) return -1;
    if (const HandleSlot* s = slotOf(handle))
        return s->kind == HandleKind::Parameter ? static_cast<int>(s->index) : -1;
    if (handle[0] == '\0') return -1;
    const auto& parameters = layout_->effect.parameters;
    for (size_t i = 0; i < parameters.size(); ++i)
        if (std::strcmp(parameters[i].name.c_str(), handle) == 0) return static_cast<int>(i);
    return -1;
}

int Effect::techniqueIndex(D3DXHANDLE handle) const {
    if (!handle) return -1;
    if (const HandleSlot* s = slotOf(handle))
        return s->kind == HandleKind::Technique ? static_cast<int>(s->index) : -1;
    if (handle[0] == '\0') return -1;
    const auto& techniques = layout_->effect.techniques;
    for (size_t i = 0; i < techniques.size(); ++i)
        if (std::strcmp(techniques[i].name.c_str(), handle) == 0) return static_cast<int>(i);
    return -1;
}

const Effect::HandleSlot* Effect::passSlot(D3DXHANDLE handle) const {
    const HandleSlot* s = handle ? slotOf(handle) : nullptr;
    return s && s->kind == HandleKind::Pass ? s : nullptr;
}

D3DXHANDLE Effect::parameterHandle(size_t index) const {
    return &handles_[index].terminator;
}

D3DXHANDLE Effect::techniqueHandle(size_t index) const {
    return &handles_[layout_->effect.parameters.size() + index].terminator;
}

D3DXHANDLE Effect::passHandle(size_t technique, size_t pass) const {
    return &handles_[firstPassSlot_[technique] + pass].terminator;
}

D3DXHANDLE STDMETHODCALLTYPE Effect::GetParameter(D3DXHANDLE parameter, UINT index) {
    return enter({kInterface, __func__}, FailureValue<D3DXHANDLE>{nullptr},
                 [&](auto& call) -> D3DXHANDLE {
                     // No parameter has members: only the top level answers.
                     if (parameter || index >= layout_->effect.parameters.size()) return nullptr;
                     return call.proceed([&] { return parameterHandle(index); });
                 });
}

D3DXHANDLE STDMETHODCALLTYPE Effect::GetParameterByName(D3DXHANDLE parameter, LPCSTR name) {
    return enter({kInterface, __func__}, FailureValue<D3DXHANDLE>{nullptr},
                 [&](auto& call) -> D3DXHANDLE {
                     if (parameter || !name || name[0] == '\0') return nullptr;
                     const auto index = layout_->effect.findParameter(name);
                     if (!index) return nullptr;
                     return call.proceed([&] { return parameterHandle(*index); });
                 });
}

D3DXHANDLE STDMETHODCALLTYPE Effect::GetTechnique(UINT index) {
    return enter({kInterface, __func__}, FailureValue<D3DXHANDLE>{nullptr},
                 [&](auto& call) -> D3DXHANDLE {
                     if (index >= layout_->effect.techniques.size()) return nullptr;
                     return call.proceed([&] { return techniqueHandle(index); });
                 });
}

D3DXHANDLE STDMETHODCALLTYPE Effect::GetTechniqueByName(LPCSTR name) {
    return enter({kInterface, __func__}, FailureValue<D3DXHANDLE>{nullptr},
                 [&](auto& call) -> D3DXHANDLE {
                     if (!name || slotOf(name)) return nullptr;
                     const int index = techniqueIndex(name);
                     if (index < 0) return nullptr;
                     return call.proceed([&] { return techniqueHandle(size_t(index)); });
                 });
}

D3DXHANDLE STDMETHODCALLTYPE Effect::GetPass(D3DXHANDLE technique, UINT index) {
    return enter({kInterface, __func__}, FailureValue<D3DXHANDLE>{nullptr},
                 [&](auto& call) -> D3DXHANDLE {
                     const int t = techniqueIndex(technique);
                     if (t < 0 || index >= layout_->effect.techniques[size_t(t)].passes.size())
                         return nullptr;
                     return call.proceed([&] { return passHandle(size_t(t), index); });
                 });
}

D3DXHANDLE STDMETHODCALLTYPE Effect::GetPassByName(D3DXHANDLE technique, LPCSTR name) {
    return enter({kInterface, __func__}, FailureValue<D3DXHANDLE>{nullptr},
                 [&](auto& call) -> D3DXHANDLE {
                     const int t = techniqueIndex(technique);
                     if (t < 0 || !name) return nullptr;
                     const auto& passes = layout_->effect.techniques[size_t(t)].passes;
                     for (size_t p = 0; p < passes.size(); ++p) {
                         if (passes[p].name != name) continue;
                         return call.proceed([&] { return passHandle(size_t(t), p); });
                     }
                     return nullptr;
                 });
}

// ---- Descriptions ----------------------------------------------------------------------------

HRESULT STDMETHODCALLTYPE Effect::GetDesc(D3DXEFFECT_DESC* desc) {
    return enter({kInterface, __func__}, outputs(desc), [&](auto& call) {
        if (!desc) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            desc->Creator = nullptr;
            desc->Parameters = static_cast<UINT>(layout_->effect.parameters.size());
            desc->Techniques = static_cast<UINT>(layout_->effect.techniques.size());
            desc->Functions = 0;
            return D3D_OK;
        });
    });
}

HRESULT STDMETHODCALLTYPE Effect::GetParameterDesc(D3DXHANDLE parameter, D3DXPARAMETER_DESC* desc) {
    return enter({kInterface, __func__}, outputs(desc), [&](auto& call) {
        const int index = parameterIndex(parameter);
        if (!desc || index < 0) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            const fx::Parameter& p = layout_->effect.parameters[size_t(index)];
            desc->Name = p.name.c_str();
            desc->Semantic = p.semantic ? p.semantic->c_str() : nullptr;
            desc->Class = static_cast<D3DXPARAMETER_CLASS>(p.cls);
            desc->Type = static_cast<D3DXPARAMETER_TYPE>(p.type);
            desc->Rows = p.rows;
            desc->Columns = p.columns;
            desc->Elements = p.elements;
            desc->Bytes = parameterBytes(p);
            return D3D_OK;
        });
    });
}

HRESULT STDMETHODCALLTYPE Effect::GetTechniqueDesc(D3DXHANDLE technique, D3DXTECHNIQUE_DESC* desc) {
    return enter({kInterface, __func__}, outputs(desc), [&](auto& call) {
        const int index = techniqueIndex(technique);
        if (!desc || index < 0) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            const fx::Technique& t = layout_->effect.techniques[size_t(index)];
            desc->Name = t.name.c_str();
            desc->Passes = static_cast<UINT>(t.passes.size());
            return D3D_OK;
        });
    });
}

HRESULT STDMETHODCALLTYPE Effect::GetPassDesc(D3DXHANDLE pass, D3DXPASS_DESC* desc) {
    return enter({kInterface, __func__}, outputs(desc), [&](auto& call) {
        const HandleSlot* slot = passSlot(pass);
        if (!desc || !slot) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            desc->Name = layout_->effect.techniques[slot->index].passes[slot->pass].name.c_str();
            // An effect that cannot be cloned keeps no shader functions to hand out.
            if (flags_ & D3DXFX_NOT_CLONEABLE) return D3D_OK;
            for (const StateAction& a :
                 layout_->techniques[slot->index].passes[slot->pass].actions) {
                if (a.program < 0) continue;
                const DWORD* code = layout_->programs[size_t(a.program)].code.data();
                if (a.kind == ActionKind::PixelShader) desc->pPixelShaderFunction = code;
                if (a.kind == ActionKind::VertexShader) desc->pVertexShaderFunction = code;
            }
            return D3D_OK;
        });
    });
}

// ---- Values ----------------------------------------------------------------------------------

HRESULT Effect::setTextureAt(size_t index, IDirect3DBaseTexture9* texture) {
    IDirect3DBaseTexture9*& slot = textures_[index];
    if (slot == texture) return D3D_OK;
    if (texture) texture->AddRef();
    if (slot) slot->Release();
    slot = texture;
    return D3D_OK;
}

// The parameter a SetValue or GetValue of `bytes` bytes at `data` may move: a single texture
// (as a pointer) or a numeric parameter of at most that size. -1 for anything else.
int Effect::valueParameter(D3DXHANDLE parameter, const void* data, UINT bytes) const {
    const int index = parameterIndex(parameter);
    if (index < 0 || !data) return -1;
    const fx::Parameter& p = layout_->effect.parameters[size_t(index)];
    const bool texture = fx::isTexture(p.type) && p.elements == 0;
    if (texture ? bytes < sizeof(void*) : !fx::isNumeric(p.type) || bytes < parameterBytes(p))
        return -1;
    return index;
}

HRESULT STDMETHODCALLTYPE Effect::SetValue(D3DXHANDLE parameter, LPCVOID data, UINT bytes) {
    return enter({kInterface, __func__}, [&](auto& call) {
        const int index = valueParameter(parameter, data, bytes);
        if (index < 0) return D3DERR_INVALIDCALL;
        const fx::Parameter& p = layout_->effect.parameters[size_t(index)];
        const bool texture = fx::isTexture(p.type) && p.elements == 0;
        return call.proceed([&] {
            if (texture) {
                IDirect3DBaseTexture9* t = nullptr;
                std::memcpy(&t, data, sizeof t);
                return setTextureAt(size_t(index), t);
            }
            setRawValue(p, values_[size_t(index)], data, bytes);
            return D3D_OK;
        });
    });
}

HRESULT STDMETHODCALLTYPE Effect::GetValue(D3DXHANDLE parameter, LPVOID data, UINT bytes) {
    return enter({kInterface, __func__}, outputs(OutBytes{data, bytes}), [&](auto& call) {
        const int index = valueParameter(parameter, data, bytes);
        if (index < 0) return D3DERR_INVALIDCALL;
        const fx::Parameter& p = layout_->effect.parameters[size_t(index)];
        const bool texture = fx::isTexture(p.type) && p.elements == 0;
        return call.proceed([&] {
            if (texture) {
                IDirect3DBaseTexture9* t = textures_[size_t(index)];
                if (t) t->AddRef();
                std::memcpy(data, &t, sizeof t);
                return D3D_OK;
            }
            getRawValue(p, values_[size_t(index)], data, bytes);
            return D3D_OK;
        });
    });
}

HRESULT Effect::setNumber(D3DXHANDLE parameter, uint32_t raw, fx::ParamType type,
                          EntryCall<ResultCode>& call) {
    const int index = parameterIndex(parameter);
    if (index < 0) return D3DERR_INVALIDCALL;
    const fx::Parameter& p = layout_->effect.parameters[size_t(index)];
    uint32_t current = 0;
    if (!getScalar(p, values_[size_t(index)], type, current)) return D3DERR_INVALIDCALL;
    return call.proceed([&] {
        setScalar(p, values_[size_t(index)], raw, type);
        return D3D_OK;
    });
}

template <class T>
HRESULT Effect::getNumber(D3DXHANDLE parameter, T* out, fx::ParamType type,
                          EntryCall<ResultCode>& call) {
    const int index = parameterIndex(parameter);
    if (index < 0 || !out) return D3DERR_INVALIDCALL;
    uint32_t value = 0;
    if (!getScalar(layout_->effect.parameters[size_t(index)], values_[size_t(index)], type, value))
        return D3DERR_INVALIDCALL;
    return call.proceed([&] {
        if constexpr (std::is_same_v<T, FLOAT>)
            *out = std::bit_cast<FLOAT>(value);
        else
            *out = static_cast<T>(value);
        return D3D_OK;
    });
}

HRESULT STDMETHODCALLTYPE Effect::SetBool(D3DXHANDLE parameter, BOOL b) {
    return enter({kInterface, __func__}, [&](auto& call) {
        return setNumber(parameter, b ? 1u : 0u, fx::ParamType::Bool, call);
    });
}

HRESULT STDMETHODCALLTYPE Effect::GetBool(D3DXHANDLE parameter, BOOL* b) {
    return enter({kInterface, __func__}, outputs(b),
                 [&](auto& call) { return getNumber(parameter, b, fx::ParamType::Bool, call); });
}

HRESULT STDMETHODCALLTYPE Effect::SetInt(D3DXHANDLE parameter, INT n) {
    return enter({kInterface, __func__}, [&](auto& call) {
        return setNumber(parameter, static_cast<uint32_t>(n), fx::ParamType::Int, call);
    });
}

HRESULT STDMETHODCALLTYPE Effect::GetInt(D3DXHANDLE parameter, INT* n) {
    return enter({kInterface, __func__}, outputs(n),
                 [&](auto& call) { return getNumber(parameter, n, fx::ParamType::Int, call); });
}

HRESULT STDMETHODCALLTYPE Effect::SetFloat(D3DXHANDLE parameter, FLOAT f) {
    return enter({kInterface, __func__}, [&](auto& call) {
        return setNumber(parameter, std::bit_cast<uint32_t>(f), fx::ParamType::Float, call);
    });
}

HRESULT STDMETHODCALLTYPE Effect::GetFloat(D3DXHANDLE parameter, FLOAT* f) {
    return enter({kInterface, __func__}, outputs(f),
                 [&](auto& call) { return getNumber(parameter, f, fx::ParamType::Float, call); });
}

HRESULT STDMETHODCALLTYPE Effect::SetVector(D3DXHANDLE parameter, const D3DXVECTOR4* vector) {
    return enter({kInterface, __func__}, [&](auto& call) {
        const int index = parameterIndex(parameter);
        if (index < 0 || !vector) return D3DERR_INVALIDCALL;
        const fx::Parameter& p = layout_->effect.parameters[size_t(index)];
        float current[4];
        if (!getVector(p, values_[size_t(index)], current)) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            const float v[4] = {vector->x, vector->y, vector->z, vector->w};
            setVector(p, values_[size_t(index)], v);
            return D3D_OK;
        });
    });
}

HRESULT STDMETHODCALLTYPE Effect::GetVector(D3DXHANDLE parameter, D3DXVECTOR4* vector) {
    return enter({kInterface, __func__}, outputs(vector), [&](auto& call) {
        const int index = parameterIndex(parameter);
        if (index < 0 || !vector) return D3DERR_INVALIDCALL;
        float v[4] = {};
        if (!getVector(layout_->effect.parameters[size_t(index)], values_[size_t(index)], v))
            return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            *vector = D3DXVECTOR4(v[0], v[1], v[2], v[3]);
            return D3D_OK;
        });
    });
}

HRESULT STDMETHODCALLTYPE Effect::SetMatrix(D3DXHANDLE parameter, const D3DXMATRIX* matrix) {
    return enter({kInterface, __func__}, [&](auto& call) {
        const int index = parameterIndex(parameter);
        if (index < 0 || !matrix) return D3DERR_INVALIDCALL;
        const fx::Parameter& p = layout_->effect.parameters[size_t(index)];
        float m[16];
        if (!getMatrix(p, values_[size_t(index)], m)) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            std::memcpy(m, &matrix->m[0][0], sizeof m);
            setMatrix(p, values_[size_t(index)], m);
            return D3D_OK;
        });
    });
}

HRESULT STDMETHODCALLTYPE Effect::GetMatrix(D3DXHANDLE parameter, D3DXMATRIX* matrix) {
    return enter({kInterface, __func__}, outputs(matrix), [&](auto& call) {
        const int index = parameterIndex(parameter);
        if (index < 0 || !matrix) return D3DERR_INVALIDCALL;
        float m[16];
        if (!getMatrix(layout_->effect.parameters[size_t(index)], values_[size_t(index)], m))
            return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            std::memcpy(&matrix->m[0][0], m, sizeof m);
            return D3D_OK;
        });
    });
}

HRESULT STDMETHODCALLTYPE Effect::SetTexture(D3DXHANDLE parameter, IDirect3DBaseTexture9* texture) {
    return enter({kInterface, __func__}, [&](auto& call) {
        const int index = parameterIndex(parameter);
        if (index < 0) return D3DERR_INVALIDCALL;
        const fx::Parameter& p = layout_->effect.parameters[size_t(index)];
        if (!fx::isTexture(p.type) || p.elements != 0) return D3DERR_INVALIDCALL;
        return call.proceed([&] { return setTextureAt(size_t(index), texture); });
    });
}

HRESULT STDMETHODCALLTYPE Effect::GetTexture(D3DXHANDLE parameter,
                                             IDirect3DBaseTexture9** texture) {
    return enter({kInterface, __func__}, outputs(texture), [&](auto& call) {
        const int index = parameterIndex(parameter);
        if (index < 0 || !texture) return D3DERR_INVALIDCALL;
        const fx::Parameter& p = layout_->effect.parameters[size_t(index)];
        if (!fx::isTexture(p.type) || p.elements != 0) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            *texture = textures_[size_t(index)];
            if (*texture) (*texture)->AddRef();
            return D3D_OK;
        });
    });
}

} // namespace kestrin::platform::d3dx9
