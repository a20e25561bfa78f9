#include "platform/d3d9/vertex_buffer.h"

#include <mutex>
#include <utility>

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
    return enter({kInterface, __func__}, outputs(ppDevice), [&](auto& call) {
        if (!ppDevice) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            device()->AddRef();
            *ppDevice = device();
            return D3D_OK;
        });
    });
}

DWORD VertexBuffer::SetPriority(DWORD PriorityNew) {
    return enter({kInterface, __func__}, AnyValue<DWORD>{0}, [&](auto&) {
        std::lock_guard guard(device()->mutex());
        return std::exchange(priority_, PriorityNew);
    });
}

DWORD VertexBuffer::GetPriority() {
    return enter({kInterface, __func__}, AnyValue<DWORD>{0}, [&](auto&) {
        std::lock_guard guard(device()->mutex());
        return priority_;
    });
}

HRESULT VertexBuffer::Lock(UINT OffsetToLock, UINT SizeToLock, void** ppbData, DWORD Flags) {
    return enter({kInterface, __func__}, outputs(ppbData), [&](auto& call) {
        std::lock_guard guard(device()->mutex());
        if (!ppbData) return D3DERR_INVALIDCALL;
        const size_t size = data_.size();
        if (OffsetToLock > size || (SizeToLock != 0 && SizeToLock > size - OffsetToLock))
            return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            ++lockDepth_;
            ++lockCount_;
            lastLockFlags_ = Flags;
            *ppbData = data_.data() + OffsetToLock;
            return D3D_OK;
        });
    });
}

HRESULT VertexBuffer::Unlock() {
    return enter({kInterface, __func__}, [&](auto& call) {
        std::lock_guard guard(device()->mutex());
        if (lockDepth_ == 0) return D3DERR_INVALIDCALL;
        return call.close([&] {
            --lockDepth_;
            return D3D_OK;
        });
    });
}

HRESULT VertexBuffer::GetDesc(D3DVERTEXBUFFER_DESC* pDesc) {
    return enter({kInterface, __func__}, [&](auto& call) {
        if (!pDesc) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            *pDesc = desc_;
            return D3D_OK;
        });
    });
}

} // namespace kestrin::platform::d3d9
