// Native build: D3DX 9 effects. The interfaces carry the methods the plug-in and its tests use,
// with the names and signatures of the Windows headers; the rest of the Windows interface is left
// out (the native build compiles against this header, so the method order is its own).
#pragma once

#include "d3dx9.h"

#define D3DXFX_DONOTSAVESTATE (1 << 0)
#define D3DXFX_DONOTSAVESHADERSTATE (1 << 1)
#define D3DXFX_DONOTSAVESAMPLERSTATE (1 << 2)
#define D3DXFX_NOT_CLONEABLE (1 << 11)
#define D3DXFX_LARGEADDRESSAWARE (1 << 17)

#define D3DX_PARAMETER_SHARED 1
#define D3DX_PARAMETER_LITERAL 2
#define D3DX_PARAMETER_ANNOTATION 4

typedef struct _D3DXEFFECT_DESC {
    LPCSTR Creator;
    UINT Parameters;
    UINT Techniques;
    UINT Functions;
} D3DXEFFECT_DESC;

typedef struct _D3DXPARAMETER_DESC {
    LPCSTR Name;
    LPCSTR Semantic;
    D3DXPARAMETER_CLASS Class;
    D3DXPARAMETER_TYPE Type;
    UINT Rows;
    UINT Columns;
    UINT Elements;
    UINT Annotations;
    UINT StructMembers;
    DWORD Flags;
    UINT Bytes;
} D3DXPARAMETER_DESC;

typedef struct _D3DXTECHNIQUE_DESC {
    LPCSTR Name;
    UINT Passes;
    UINT Annotations;
} D3DXTECHNIQUE_DESC;

typedef struct _D3DXPASS_DESC {
    LPCSTR Name;
    UINT Annotations;
    const DWORD* pVertexShaderFunction;
    const DWORD* pPixelShaderFunction;
} D3DXPASS_DESC;

KESTRIN_DECLARE_IID(IID_ID3DXEffectPool);
KESTRIN_DECLARE_IID(IID_ID3DXBaseEffect);
KESTRIN_DECLARE_IID(IID_ID3DXEffect);

// Parameters shared between effects. The native build has no pools; the type exists for the
// creation functions' signatures.
struct ID3DXEffectPool : public IUnknown {
  protected:
    ~ID3DXEffectPool() = default;
};
typedef ID3DXEffectPool* LPD3DXEFFECTPOOL;

// Descriptions and parameter values. Every D3DXHANDLE argument takes a handle the effect gave
// out or the name of the parameter (technique) it stands for.
struct ID3DXBaseEffect : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetDesc(D3DXEFFECT_DESC* desc) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetParameterDesc(D3DXHANDLE parameter,
                                                       D3DXPARAMETER_DESC* desc) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetTechniqueDesc(D3DXHANDLE technique,
                                                       D3DXTECHNIQUE_DESC* desc) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPassDesc(D3DXHANDLE pass, D3DXPASS_DESC* desc) = 0;
    virtual D3DXHANDLE STDMETHODCALLTYPE GetParameter(D3DXHANDLE parameter, UINT index) = 0;
    virtual D3DXHANDLE STDMETHODCALLTYPE GetParameterByName(D3DXHANDLE parameter, LPCSTR name) = 0;
    virtual D3DXHANDLE STDMETHODCALLTYPE GetTechnique(UINT index) = 0;
    virtual D3DXHANDLE STDMETHODCALLTYPE GetTechniqueByName(LPCSTR name) = 0;
    virtual D3DXHANDLE STDMETHODCALLTYPE GetPass(D3DXHANDLE technique, UINT index) = 0;
    virtual D3DXHANDLE STDMETHODCALLTYPE GetPassByName(D3DXHANDLE technique, LPCSTR name) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetValue(D3DXHANDLE parameter, LPCVOID data, UINT bytes) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetValue(D3DXHANDLE parameter, LPVOID data, UINT bytes) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetBool(D3DXHANDLE parameter, BOOL b) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetBool(D3DXHANDLE parameter, BOOL* b) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetInt(D3DXHANDLE parameter, INT n) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetInt(D3DXHANDLE parameter, INT* n) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetFloat(D3DXHANDLE parameter, FLOAT f) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetFloat(D3DXHANDLE parameter, FLOAT* f) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetVector(D3DXHANDLE parameter,
                                                const D3DXVECTOR4* vector) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetVector(D3DXHANDLE parameter, D3DXVECTOR4* vector) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetMatrix(D3DXHANDLE parameter, const D3DXMATRIX* matrix) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetMatrix(D3DXHANDLE parameter, D3DXMATRIX* matrix) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetTexture(D3DXHANDLE parameter,
                                                 IDirect3DBaseTexture9* texture) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetTexture(D3DXHANDLE parameter,
                                                 IDirect3DBaseTexture9** texture) = 0;

  protected:
    ~ID3DXBaseEffect() = default;
};
typedef ID3DXBaseEffect* LPD3DXBASEEFFECT;

// An effect bound to a device: techniques, passes and the device state they apply.
struct ID3DXEffect : public ID3DXBaseEffect {
    virtual HRESULT STDMETHODCALLTYPE SetTechnique(D3DXHANDLE technique) = 0;
    virtual D3DXHANDLE STDMETHODCALLTYPE GetCurrentTechnique() = 0;
    virtual HRESULT STDMETHODCALLTYPE ValidateTechnique(D3DXHANDLE technique) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindNextValidTechnique(D3DXHANDLE technique,
                                                             D3DXHANDLE* next) = 0;
    virtual HRESULT STDMETHODCALLTYPE Begin(UINT* passes, DWORD flags) = 0;
    virtual HRESULT STDMETHODCALLTYPE BeginPass(UINT pass) = 0;
    virtual HRESULT STDMETHODCALLTYPE CommitChanges() = 0;
    virtual HRESULT STDMETHODCALLTYPE EndPass() = 0;
    virtual HRESULT STDMETHODCALLTYPE End() = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDevice(IDirect3DDevice9** device) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnLostDevice() = 0;
    virtual HRESULT STDMETHODCALLTYPE OnResetDevice() = 0;

  protected:
    ~ID3DXEffect() = default;
};
typedef ID3DXEffect* LPD3DXEFFECT;

extern "C" {

// An effect from a compiled fx_2_0 binary of `size` bytes. Defines and the include handler only
// matter for effect source, which the native build does not compile.
HRESULT WINAPI D3DXCreateEffect(IDirect3DDevice9* device, LPCVOID data, UINT size,
                                const D3DXMACRO* defines, ID3DXInclude* include, DWORD flags,
                                ID3DXEffectPool* pool, ID3DXEffect** effect,
                                ID3DXBuffer** compilationErrors);

// The same from an RCDATA resource of `module`, named by integer id (MAKEINTRESOURCEW) or string.
HRESULT WINAPI D3DXCreateEffectFromResourceW(IDirect3DDevice9* device, HMODULE module,
                                             LPCWSTR resource, const D3DXMACRO* defines,
                                             ID3DXInclude* include, DWORD flags,
                                             ID3DXEffectPool* pool, ID3DXEffect** effect,
                                             ID3DXBuffer** compilationErrors);

} // extern "C"
