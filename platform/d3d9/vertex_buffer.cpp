#include "platform/d3d9/vertex_buffer.h"

#include <mutex>

#include "platform/d3d9/device.h"
#include "platform/test_hooks.h"

namespace kestrin::platform::d3d9 {

VertexBuffer::VertexBuffer(Device* device, UINT length, DWORD usage, DWORD fvf, D3DPOOL pool)
    : DeviceChild(ObjectKind::VertexBuffer, device, nullptr), data_(length, 0) {
    desc_.Format = D3DFMT_VERTEXDATA;
    desc_.Type = D3DRTYPE_VERTEXBUFFER;
    desc_.Usage = usage;
    desc_.Pool = pool;
    desc_.Size = length;
    desc_.FVF = fvf;
}

bool VertexBuffer::answers(REFIID riid) const {
    return riid == IID_IDirect3DResource9 || riid == IID_IDirect3DVertexBuffer9;
}

HRESULT VertexBuffer::GetDevice(IDirect3DDevice9** ppDevice) {
    clearOut(ppDevice);
    return guarded([&] {
        if (!ppDevice) return D3DERR_INVALIDCALL;
        HRESULT hr = D3D_OK;
        if (hooks::shouldFail("IDirect3DVertexBuffer9::GetDevice", &hr)) return hr;
        device()->AddRef();
        *ppDevice = device();
        return D3D_OK;
    });
}

DWORD VertexBuffer::SetPriority(DWORD PriorityNew) {
    std::lock_guard guard(device()->mutex());
    const DWORD old = priority_;
    priority_ = PriorityNew;
    return old;
}

DWORD VertexBuffer::GetPriority() {
    std::lock_guard guard(device()->mutex());
    return priority_;
}

HRESULT VertexBuffer::Lock(UINT OffsetToLock, UINT SizeToLock, void** ppbData, DWORD Flags) {
    clearOut(ppbData);
    return guarded([&] {
        std::lock_guard guard(device()->mutex());
        if (!ppbData) return D3DERR_INVALIDCALL;
        const size_t size = data_.size();
        if (OffsetToLock > size || (SizeToLock != 0 && SizeToLock > size - OffsetToLock))
            return D3DERR_INVALIDCALL;
        HRESULT hr = D3D_OK;
        if (hooks::shouldFail("IDirect3DVertexBuffer9::Lock", &hr)) return hr;
        ++lockDepth_;
        ++lockCount_;
        lastLockFlags_ = Flags;
        *ppbData = data_.data() + OffsetToLock;
        return D3D_OK;
    });
}

HRESULT VertexBuffer::Unlock() {
    return guarded([&] {
        std::lock_guard guard(device()->mutex());
        if (lockDepth_ == 0) return D3DERR_INVALIDCALL;
        HRESULT hr = D3D_OK;
        if (hooks::shouldFail("IDirect3DVertexBuffer9::Unlock", &hr)) return hr;
        --lockDepth_;
        return D3D_OK;
    });
}

HRESULT VertexBuffer::GetDesc(D3DVERTEXBUFFER_DESC* pDesc) {
    return guarded([&] {
        if (!pDesc) return D3DERR_INVALIDCALL;
        HRESULT hr = D3D_OK;
        if (hooks::shouldFail("IDirect3DVertexBuffer9::GetDesc", &hr)) return hr;
        *pDesc = desc_;
        return D3D_OK;
    });
}

} // namespace kestrin::platform::d3d9
