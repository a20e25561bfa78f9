// D3DXCreateEffect and D3DXCreateEffectFromResourceW: a compiled fx_2_0 effect, from memory or from
// a module's RCDATA resource, read (fx/reader.h), laid out (effect_layout.h) and bound to a device.
//
// Failures: a null device or data is D3DERR_INVALIDCALL; zero bytes E_FAIL; a resource that is
// not there D3DXERR_INVALIDDATA; a binary the reader rejects D3DXERR_INVALIDDATA with the reader's
// message in the error buffer (8-bit text, NUL-terminated, the NUL counted in its size); a
// constant table that contradicts the parameters D3DERR_INVALIDCALL, a state this runtime does not
// apply E_NOTIMPL and an effect pool E_NOTIMPL, each with its message. As in D3DX, a null effect
// out-pointer makes a call that passes the argument checks succeed without creating anything.
#include <string>

#include "d3dx9.h"
#include "fx/reader.h"
#include "platform/d3dx9/buffer.h"
#include "platform/d3dx9/effect_layout.h"
#include "platform/d3dx9/effect_object.h"
#include "platform/entry_point.h"
#include "windows.h"

namespace kestrin::platform::d3dx9 {
namespace {

HRESULT failWith(HRESULT hr, const std::string& message, ID3DXBuffer** errors) {
    if (errors) *errors = makeTextBuffer(message);
    return hr;
}

HRESULT layoutResult(LayoutError e) {
    switch (e) {
    case LayoutError::None:
        return D3D_OK;
    case LayoutError::InvalidCall:
        return D3DERR_INVALIDCALL;
    case LayoutError::InvalidData:
        return D3DXERR_INVALIDDATA;
    case LayoutError::Unsupported:
        return E_NOTIMPL;
    case LayoutError::OutOfMemory:
        return E_OUTOFMEMORY;
    }
    return E_FAIL;
}

// Everything after the argument checks and the fault plan.
HRESULT createFromMemory(IDirect3DDevice9* device, const void* data, size_t size, DWORD flags,
                         ID3DXEffectPool* pool, ID3DXEffect** effect, ID3DXBuffer** errors) {
    if (pool) return failWith(E_NOTIMPL, "effect pools are not supported", errors);
    auto read = fx::readEffect(static_cast<const uint8_t*>(data), size);
    if (!read.ok()) return failWith(D3DXERR_INVALIDDATA, read.error(), errors);
    LayoutResult laid = buildLayout(std::move(read).value());
    if (!laid.layout) return failWith(layoutResult(laid.error), laid.message, errors);
    *effect = new Effect(device, std::move(laid.layout), flags);
    return D3D_OK;
}

} // namespace
} // namespace kestrin::platform::d3dx9

using namespace kestrin::platform;

extern "C" HRESULT WINAPI D3DXCreateEffect(IDirect3DDevice9* device, LPCVOID data, UINT size,
                                           const D3DXMACRO* /*defines*/, ID3DXInclude* /*include*/,
                                           DWORD flags, ID3DXEffectPool* pool, ID3DXEffect** effect,
                                           ID3DXBuffer** compilationErrors) {
    return enter({.function = __func__}, outputs(effect, compilationErrors), [&](auto& call) {
        if (!device || !data) return D3DERR_INVALIDCALL;
        if (size == 0) return E_FAIL;
        if (!effect) return D3D_OK;
        return call.proceed([&] {
            return d3dx9::createFromMemory(device, data, size, flags, pool, effect,
                                           compilationErrors);
        });
    });
}

extern "C" HRESULT WINAPI D3DXCreateEffectFromResourceW(IDirect3DDevice9* device, HMODULE module,
                                                        LPCWSTR resource,
                                                        const D3DXMACRO* /*defines*/,
                                                        ID3DXInclude* /*include*/, DWORD flags,
                                                        ID3DXEffectPool* pool, ID3DXEffect** effect,
                                                        ID3DXBuffer** compilationErrors) {
    return enter({.function = __func__}, outputs(effect, compilationErrors), [&](auto& call) {
        if (!device || !resource) return D3DERR_INVALIDCALL;
        return call.proceed([&]() -> HRESULT {
            HRSRC info = FindResourceW(module, resource, RT_RCDATA);
            if (!info) return D3DXERR_INVALIDDATA;
            HGLOBAL loaded = LoadResource(module, info);
            const DWORD size = SizeofResource(module, info);
            const void* data = loaded ? LockResource(loaded) : nullptr;
            if (!data) return D3DXERR_INVALIDDATA;
            if (size == 0) return E_FAIL;
            if (!effect) return D3D_OK;
            return d3dx9::createFromMemory(device, data, size, flags, pool, effect,
                                           compilationErrors);
        });
    });
}
