#include "platform/d3d9/surface.h"

#include <atomic>
#include <mutex>
#include <utility>

#include "platform/d3d9/device.h"
#include "platform/d3d9/formats.h"
#include "platform/d3d9/texture.h"
#include "platform/test_hooks.h"

namespace kestrin::platform::d3d9 {
namespace {

uint64_t nextVersion() {
    static std::atomic<uint64_t> counter{0};
    return ++counter;
}

} // namespace

Surface::Surface(Device* device, const D3DSURFACE_DESC& desc, bool lockable, Texture* container,
                 UINT level)
    : DeviceChild(ObjectKind::Surface, device, container), desc_(desc), lockable_(lockable),
      container_(container), level_(level), pitch_(pitchFor(desc.Width)),
      bits_(pitch_ * desc.Height, 0), version_(nextVersion()) {}

void Surface::touch() {
    version_ = nextVersion();
}

DecodedTexels& Surface::decoded() {
    if (!decoded_) decoded_ = std::make_unique<DecodedTexels>();
    return *decoded_;
}

bool Surface::answers(REFIID riid) const {
    return riid == IID_IDirect3DResource9 || riid == IID_IDirect3DSurface9;
}

HRESULT Surface::GetDevice(IDirect3DDevice9** ppDevice) {
    return enter({kInterface, __func__}, outputs(ppDevice), [&](auto& call) {
        if (!ppDevice) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            device()->AddRef();
            *ppDevice = device();
            return D3D_OK;
        });
    });
}

DWORD Surface::SetPriority(DWORD PriorityNew) {
    return enter({kInterface, __func__}, AnyValue<DWORD>{0}, [&](auto&) {
        std::lock_guard guard(device()->mutex());
        return std::exchange(priority_, PriorityNew);
    });
}

DWORD Surface::GetPriority() {
    return enter({kInterface, __func__}, AnyValue<DWORD>{0}, [&](auto&) {
        std::lock_guard guard(device()->mutex());
        return priority_;
    });
}

HRESULT Surface::GetContainer(REFIID riid, void** ppContainer) {
    return enter({kInterface, __func__}, outputs(ppContainer), [&](auto& call) {
        if (!ppContainer) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            // A texture level's container is its texture; an offscreen surface's is the device.
            if (container_)
                return static_cast<IDirect3DTexture9*>(container_)
                    ->QueryInterface(riid, ppContainer);
            return device()->QueryInterface(riid, ppContainer);
        });
    });
}

HRESULT Surface::GetDesc(D3DSURFACE_DESC* pDesc) {
    return enter({kInterface, __func__}, [&](auto& call) {
        if (!pDesc) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            *pDesc = desc_;
            return D3D_OK;
        });
    });
}

HRESULT Surface::LockRect(D3DLOCKED_RECT* pLockedRect, const RECT* pRect, DWORD Flags) {
    return enter({kInterface, __func__}, outputs(pLockedRect), [&](auto& call) {
        std::lock_guard guard(device()->mutex());
        if (!pLockedRect) return D3DERR_INVALIDCALL;
        if (HRESULT bad = checkLock(pRect); FAILED(bad)) return bad;
        return call.proceed([&] { return lock(pLockedRect, pRect, Flags); });
    });
}

HRESULT Surface::UnlockRect() {
    return enter({kInterface, __func__}, [&](auto& call) {
        std::lock_guard guard(device()->mutex());
        if (!locked_) return D3DERR_INVALIDCALL;
        return call.close([&] { return unlock(); });
    });
}

HRESULT Surface::checkLock(const RECT* rect) const {
    if (!lockable_ || locked_) return D3DERR_INVALIDCALL;
    if (rect && (rect->left < 0 || rect->top < 0 || rect->left >= rect->right ||
                 rect->top >= rect->bottom || static_cast<UINT>(rect->right) > desc_.Width ||
                 static_cast<UINT>(rect->bottom) > desc_.Height))
        return D3DERR_INVALIDCALL;
    return D3D_OK;
}

HRESULT Surface::lock(D3DLOCKED_RECT* out, const RECT* rect, DWORD flags) {
    *out = D3DLOCKED_RECT{};
    if (HRESULT bad = checkLock(rect); FAILED(bad)) return bad;
    const RECT r =
        rect ? *rect : RECT{0, 0, static_cast<LONG>(desc_.Width), static_cast<LONG>(desc_.Height)};
    locked_ = true;
    touch(); // the application may write through the lock
    ++lockCount_;
    lastLock_ = LockRecord{flags, rect == nullptr, r};
    out->Pitch = static_cast<INT>(pitch_);
    out->pBits = bits_.data() + static_cast<size_t>(r.top) * pitch_ +
                 static_cast<size_t>(r.left) * kTexelBytes;
    return D3D_OK;
}

HRESULT Surface::unlock() {
    if (!locked_) return D3DERR_INVALIDCALL;
    locked_ = false;
    touch();
    return D3D_OK;
}

} // namespace kestrin::platform::d3d9
