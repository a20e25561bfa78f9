// ID3DXEffect on the native stand-in device: an effect laid out once (effect_layout.h), its
// parameter values, the shaders created for its programs, and the state of Begin/BeginPass.
//
// Handles are the addresses of records inside the effect. Any other non-null D3DXHANDLE is read as
// a name: parameters and techniques may be named wherever a handle of theirs is taken (passes only
// by handle). A handle of the wrong kind, or a name the effect lacks, is D3DERR_INVALIDCALL (null
// for the methods that return handles).
//
// The effect holds a reference to its device, to the shaders it created and to every texture set
// on its parameters, and drops them all when it is destroyed. It takes no lock: like D3DX, it is
// used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "d3dx9.h"
#include "platform/com_object.h"
#include "platform/d3dx9/effect_layout.h"
#include "platform/d3dx9/saved_state.h"
#include "platform/entry_point.h"

namespace kestrin::platform::d3dx9 {

class Effect final : public ComObject<ID3DXEffect> {
  public:
    static constexpr std::string_view kInterface = "ID3DXEffect";

    // Takes a reference to `device` and creates the programs' shaders on it. A shader the device
    // refuses leaves its technique invalid (ValidateTechnique fails, BeginPass binds NULL) rather
    // than failing the effect. The current technique starts as the first valid one, else the
    // first. Throws std::bad_alloc only.
    Effect(IDirect3DDevice9* device, std::unique_ptr<EffectLayout> layout, DWORD flags);
    ~Effect() override;

    // ID3DXBaseEffect
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

    // ID3DXEffect
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

  protected:
    bool answers(REFIID riid) const override;

  private:
    enum class HandleKind : uint8_t { Parameter, Technique, Pass };
    // What a handle points at. The first byte is 0, so a handle read as a name is "".
    struct HandleSlot {
        char terminator = 0;
        HandleKind kind = HandleKind::Parameter;
        uint32_t index = 0; // parameter or technique
        uint32_t pass = 0;
    };

    // Record lookups: -1 when the handle or name is not one of this effect's.
    int parameterIndex(D3DXHANDLE handle) const;
    int valueParameter(D3DXHANDLE parameter, const void* data, UINT bytes) const;
    int techniqueIndex(D3DXHANDLE handle) const;
    const HandleSlot* passSlot(D3DXHANDLE handle) const;
    const HandleSlot* slotOf(D3DXHANDLE handle) const;
    D3DXHANDLE parameterHandle(size_t index) const;
    D3DXHANDLE techniqueHandle(size_t index) const;
    D3DXHANDLE passHandle(size_t technique, size_t pass) const;

    // Parameter values.
    HRESULT setTextureAt(size_t index, IDirect3DBaseTexture9* texture);
    // The bodies of the Set/Get Bool, Int and Float methods.
    HRESULT setNumber(D3DXHANDLE parameter, uint32_t raw, fx::ParamType type,
                      EntryCall<ResultCode>& call);
    template <class T>
    HRESULT getNumber(D3DXHANDLE parameter, T* out, fx::ParamType type,
                      EntryCall<ResultCode>& call);

    // Passes.
    void createShaders();
    bool techniqueValid(size_t technique) const;
    HRESULT applyPass(const PassLayout& pass);
    HRESULT applyProgram(size_t program);

    IDirect3DDevice9* device_;
    std::unique_ptr<EffectLayout> layout_;
    DWORD flags_;
    std::vector<HandleSlot> handles_;                  // parameters, then techniques, then passes
    std::vector<size_t> firstPassSlot_;                // per technique
    std::vector<std::vector<uint32_t>> values_;        // per parameter (numeric ones)
    std::vector<IDirect3DBaseTexture9*> textures_;     // per parameter (texture ones)
    std::vector<IDirect3DPixelShader9*> pixelShaders_; // per program
    std::vector<IDirect3DVertexShader9*> vertexShaders_;
    std::vector<bool> shaderCreated_; // per program

    int technique_ = -1; // current technique
    bool begun_ = false;
    int activePass_ = -1;
    std::unique_ptr<SavedState> saved_;
};

} // namespace kestrin::platform::d3dx9
