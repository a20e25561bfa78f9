// The device's state setters and their getters. Getters hand out bound objects with a public
// reference (AddRef), so a caller can save the state and set it back later.
#include <algorithm>
#include <cstring>

#include "platform/d3d9/device.h"
#include "platform/d3d9/pixel_shader.h"
#include "platform/d3d9/surface.h"
#include "platform/d3d9/texture.h"
#include "platform/d3d9/vertex_buffer.h"
#include "platform/d3d9/vertex_declaration.h"
#include "platform/test_hooks.h"

namespace kestrin::platform::d3d9 {
namespace {

// Hands a bound object out with a public reference, or null.
template <class I, class T> void handOut(const Binding<T>& binding, I** out) {
    if (T* object = binding.get()) {
        object->AddRef();
        *out = object;
    }
}

// Registers [start, start + count) within `size`.
bool registersInRange(UINT start, UINT count, size_t size) {
    return static_cast<uint64_t>(start) + count <= size;
}

// The body of one pixel-shader constant call: registers [start, start + count) of `file`, moved
// one at a time to or from `data` by `move(register, data, i)`, after the argument check and the
// fault plan.
template <class File, class Data, class Move>
HRESULT moveConstants(File& file, UINT start, UINT count, Data* data, EntryCall<ResultCode>& call,
                      Move move) {
    if ((!data && count) || !registersInRange(start, count, file.size())) return D3DERR_INVALIDCALL;
    return call.proceed([&] {
        for (UINT i = 0; i < count; ++i) move(file[start + i], data, i);
        return D3D_OK;
    });
}

} // namespace

// ---- Render target and viewport ---------------------------------------------------------------

HRESULT Device::SetRenderTarget(DWORD RenderTargetIndex, IDirect3DSurface9* pRenderTarget) {
    return enter({kInterface, __func__}, [&](auto& call) {
        std::lock_guard guard(mutex_);
        Surface* surface = findOwn<Surface>(pRenderTarget, this);
        if (RenderTargetIndex != 0 || !surface || !surface->isRenderTarget())
            return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            state_.renderTarget.set(surface);
            state_.viewport = {0, 0, surface->desc().Width, surface->desc().Height, 0.0f, 1.0f};
            return D3D_OK;
        });
    });
}

HRESULT Device::GetRenderTarget(DWORD RenderTargetIndex, IDirect3DSurface9** ppRenderTarget) {
    return enter({kInterface, __func__}, outputs(ppRenderTarget), [&](auto& call) {
        std::lock_guard guard(mutex_);
        if (!ppRenderTarget || RenderTargetIndex != 0) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            // Never empty: the back buffer until the application sets another target.
            if (!state_.renderTarget) return D3DERR_NOTFOUND;
            handOut(state_.renderTarget, ppRenderTarget);
            return D3D_OK;
        });
    });
}

HRESULT Device::SetViewport(const D3DVIEWPORT9* pViewport) {
    return enter({kInterface, __func__}, [&](auto& call) {
        std::lock_guard guard(mutex_);
        if (!pViewport) return D3DERR_INVALIDCALL;
        if (const Surface* target = state_.renderTarget.get()) {
            const uint64_t right = uint64_t{pViewport->X} + pViewport->Width;
            const uint64_t bottom = uint64_t{pViewport->Y} + pViewport->Height;
            if (right > target->desc().Width || bottom > target->desc().Height)
                return D3DERR_INVALIDCALL;
        }
        return call.proceed([&] {
            state_.viewport = *pViewport;
            return D3D_OK;
        });
    });
}

HRESULT Device::GetViewport(D3DVIEWPORT9* pViewport) {
    return enter({kInterface, __func__}, [&](auto& call) {
        std::lock_guard guard(mutex_);
        if (!pViewport) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            *pViewport = state_.viewport;
            return D3D_OK;
        });
    });
}

// ---- Render, texture-stage and sampler states -------------------------------------------------

HRESULT Device::SetRenderState(D3DRENDERSTATETYPE State, DWORD Value) {
    return enter({kInterface, __func__}, [&](auto& call) {
        std::lock_guard guard(mutex_);
        if (!isRenderState(State)) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            state_.renderStates[State] = Value;
            return D3D_OK;
        });
    });
}

HRESULT Device::GetRenderState(D3DRENDERSTATETYPE State, DWORD* pValue) {
    return enter({kInterface, __func__}, [&](auto& call) {
        std::lock_guard guard(mutex_);
        if (!pValue || !isRenderState(State)) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            *pValue = state_.renderStates[State];
            return D3D_OK;
        });
    });
}

HRESULT Device::SetTextureStageState(DWORD Stage, D3DTEXTURESTAGESTATETYPE Type, DWORD Value) {
    return enter({kInterface, __func__}, [&](auto& call) {
        std::lock_guard guard(mutex_);
        if (Stage >= kTextureStages || !isStageState(Type)) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            state_.stageStates[Stage][Type] = Value;
            return D3D_OK;
        });
    });
}

HRESULT Device::GetTextureStageState(DWORD Stage, D3DTEXTURESTAGESTATETYPE Type, DWORD* pValue) {
    return enter({kInterface, __func__}, [&](auto& call) {
        std::lock_guard guard(mutex_);
        if (!pValue || Stage >= kTextureStages || !isStageState(Type)) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            *pValue = state_.stageStates[Stage][Type];
            return D3D_OK;
        });
    });
}

HRESULT Device::SetSamplerState(DWORD Sampler, D3DSAMPLERSTATETYPE Type, DWORD Value) {
    return enter({kInterface, __func__}, [&](auto& call) {
        std::lock_guard guard(mutex_);
        const int slot = samplerSlot(Sampler);
        if (slot < 0 || !isSamplerState(Type)) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            state_.samplerStates[slot][Type] = Value;
            return D3D_OK;
        });
    });
}

HRESULT Device::GetSamplerState(DWORD Sampler, D3DSAMPLERSTATETYPE Type, DWORD* pValue) {
    return enter({kInterface, __func__}, [&](auto& call) {
        std::lock_guard guard(mutex_);
        const int slot = samplerSlot(Sampler);
        if (!pValue || slot < 0 || !isSamplerState(Type)) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            *pValue = state_.samplerStates[slot][Type];
            return D3D_OK;
        });
    });
}

// ---- Textures, streams, declaration, shaders --------------------------------------------------

HRESULT Device::SetTexture(DWORD Stage, IDirect3DBaseTexture9* pTexture) {
    return enter({kInterface, __func__}, [&](auto& call) {
        std::lock_guard guard(mutex_);
        const int slot = samplerSlot(Stage);
        Texture* texture = findOwn<Texture>(pTexture, this);
        if (slot < 0 || (pTexture && !texture)) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            state_.textures[slot].set(texture);
            return D3D_OK;
        });
    });
}

HRESULT Device::GetTexture(DWORD Stage, IDirect3DBaseTexture9** ppTexture) {
    return enter({kInterface, __func__}, outputs(ppTexture), [&](auto& call) {
        std::lock_guard guard(mutex_);
        const int slot = samplerSlot(Stage);
        if (!ppTexture || slot < 0) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            handOut(state_.textures[slot], ppTexture);
            return D3D_OK;
        });
    });
}

HRESULT Device::SetStreamSource(UINT StreamNumber, IDirect3DVertexBuffer9* pStreamData,
                                UINT OffsetInBytes, UINT Stride) {
    return enter({kInterface, __func__}, [&](auto& call) {
        std::lock_guard guard(mutex_);
        VertexBuffer* buffer = findOwn<VertexBuffer>(pStreamData, this);
        if (StreamNumber >= kStreams || (pStreamData && !buffer) || OffsetInBytes % 4 != 0)
            return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            StreamBinding& stream = state_.streams[StreamNumber];
            stream.buffer.set(buffer);
            stream.offset = OffsetInBytes;
            stream.stride = Stride;
            return D3D_OK;
        });
    });
}

HRESULT Device::GetStreamSource(UINT StreamNumber, IDirect3DVertexBuffer9** ppStreamData,
                                UINT* pOffsetInBytes, UINT* pStride) {
    return enter({kInterface, __func__}, outputs(ppStreamData), [&](auto& call) {
        std::lock_guard guard(mutex_);
        if (!ppStreamData || !pOffsetInBytes || !pStride || StreamNumber >= kStreams)
            return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            const StreamBinding& stream = state_.streams[StreamNumber];
            handOut(stream.buffer, ppStreamData);
            *pOffsetInBytes = stream.offset;
            *pStride = stream.stride;
            return D3D_OK;
        });
    });
}

HRESULT Device::SetVertexDeclaration(IDirect3DVertexDeclaration9* pDecl) {
    return enter({kInterface, __func__}, [&](auto& call) {
        std::lock_guard guard(mutex_);
        VertexDeclaration* declaration = findOwn<VertexDeclaration>(pDecl, this);
        if (pDecl && !declaration) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            state_.declaration.set(declaration);
            return D3D_OK;
        });
    });
}

HRESULT Device::GetVertexDeclaration(IDirect3DVertexDeclaration9** ppDecl) {
    return enter({kInterface, __func__}, outputs(ppDecl), [&](auto& call) {
        std::lock_guard guard(mutex_);
        if (!ppDecl) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            handOut(state_.declaration, ppDecl);
            return D3D_OK;
        });
    });
}

// Only NULL: vertices are pre-transformed and no vertex shader object can exist.
HRESULT Device::SetVertexShader(IDirect3DVertexShader9* pShader) {
    return enter({kInterface, __func__}, [&](auto& call) {
        if (pShader) return D3DERR_INVALIDCALL;
        return call.proceed([&] { return D3D_OK; });
    });
}

HRESULT Device::GetVertexShader(IDirect3DVertexShader9** ppShader) {
    return enter({kInterface, __func__}, outputs(ppShader), [&](auto& call) {
        if (!ppShader) return D3DERR_INVALIDCALL;
        return call.proceed([&] { return D3D_OK; });
    });
}

HRESULT Device::SetPixelShader(IDirect3DPixelShader9* pShader) {
    return enter({kInterface, __func__}, [&](auto& call) {
        std::lock_guard guard(mutex_);
        PixelShader* shader = findOwn<PixelShader>(pShader, this);
        if (pShader && !shader) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            state_.pixelShader.set(shader);
            return D3D_OK;
        });
    });
}

HRESULT Device::GetPixelShader(IDirect3DPixelShader9** ppShader) {
    return enter({kInterface, __func__}, outputs(ppShader), [&](auto& call) {
        std::lock_guard guard(mutex_);
        if (!ppShader) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            handOut(state_.pixelShader, ppShader);
            return D3D_OK;
        });
    });
}

// ---- Pixel-shader constants -------------------------------------------------------------------

HRESULT Device::SetPixelShaderConstantF(UINT StartRegister, const float* pConstantData,
                                        UINT Vector4fCount) {
    return enter({kInterface, __func__}, [&](auto& call) {
        std::lock_guard guard(mutex_);
        return moveConstants(
            state_.constants.f, StartRegister, Vector4fCount, pConstantData, call,
            [](auto& r, const float* d, UINT i) { std::memcpy(r.data(), d + 4 * i, 16); });
    });
}

HRESULT Device::GetPixelShaderConstantF(UINT StartRegister, float* pConstantData,
                                        UINT Vector4fCount) {
    return enter({kInterface, __func__}, [&](auto& call) {
        std::lock_guard guard(mutex_);
        return moveConstants(
            state_.constants.f, StartRegister, Vector4fCount, pConstantData, call,
            [](auto& r, float* d, UINT i) { std::memcpy(d + 4 * i, r.data(), 16); });
    });
}

HRESULT Device::SetPixelShaderConstantI(UINT StartRegister, const int* pConstantData,
                                        UINT Vector4iCount) {
    return enter({kInterface, __func__}, [&](auto& call) {
        std::lock_guard guard(mutex_);
        return moveConstants(
            state_.constants.i, StartRegister, Vector4iCount, pConstantData, call,
            [](auto& r, const int* d, UINT i) { std::memcpy(r.data(), d + 4 * i, 16); });
    });
}

HRESULT Device::GetPixelShaderConstantI(UINT StartRegister, int* pConstantData,
                                        UINT Vector4iCount) {
    return enter({kInterface, __func__}, [&](auto& call) {
        std::lock_guard guard(mutex_);
        return moveConstants(state_.constants.i, StartRegister, Vector4iCount, pConstantData, call,
                             [](auto& r, int* d, UINT i) { std::memcpy(d + 4 * i, r.data(), 16); });
    });
}

HRESULT Device::SetPixelShaderConstantB(UINT StartRegister, const BOOL* pConstantData,
                                        UINT BoolCount) {
    return enter({kInterface, __func__}, [&](auto& call) {
        std::lock_guard guard(mutex_);
        return moveConstants(
            state_.constants.b, StartRegister, BoolCount, pConstantData, call,
            [](uint32_t& r, const BOOL* d, UINT i) { r = static_cast<uint32_t>(d[i]); });
    });
}

HRESULT Device::GetPixelShaderConstantB(UINT StartRegister, BOOL* pConstantData, UINT BoolCount) {
    return enter({kInterface, __func__}, [&](auto& call) {
        std::lock_guard guard(mutex_);
        return moveConstants(state_.constants.b, StartRegister, BoolCount, pConstantData, call,
                             [](uint32_t r, BOOL* d, UINT i) { d[i] = static_cast<BOOL>(r); });
    });
}

} // namespace kestrin::platform::d3d9
