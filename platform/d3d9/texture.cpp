#include "platform/d3d9/texture.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "platform/d3d9/device.h"
#include "platform/d3d9/surface.h"
#include "platform/test_hooks.h"

namespace kestrin::platform::d3d9 {

UINT fullChainLevels(UINT width, UINT height) {
    UINT levels = 1;
    for (UINT size = std::max(width, height); size > 1; size /= 2) ++levels;
    return levels;
}

Texture::Texture(Device* device, UINT width, UINT height, UINT levels, DWORD usage,
                 D3DFORMAT format, D3DPOOL pool)
    : DeviceChild(ObjectKind::Texture, device, nullptr), pool_(pool) {
    if (levels == 0) levels = fullChainLevels(width, height);
    const bool lockable = pool == D3DPOOL_SYSTEMMEM || (usage & D3DUSAGE_DYNAMIC) != 0;
    try {
        levels_.reserve(levels);
        for (UINT i = 0; i < levels; ++i) {
            D3DSURFACE_DESC desc{};
            desc.Format = format;
            desc.Type = D3DRTYPE_SURFACE;
            desc.Usage = usage;
            desc.Pool = pool;
            desc.MultiSampleType = D3DMULTISAMPLE_NONE;
            desc.Width = std::max(1u, width >> i);
            desc.Height = std::max(1u, height >> i);
            levels_.push_back(new Surface(device, desc, lockable, this, i));
        }
    } catch (...) {
        for (Surface* s : levels_) delete s;
        throw;
    }
}

Texture::~Texture() {
    for (Surface* s : levels_) delete s;
}

bool Texture::answers(REFIID riid) const {
    return riid == IID_IDirect3DResource9 || riid == IID_IDirect3DBaseTexture9 ||
           riid == IID_IDirect3DTexture9;
}

HRESULT Texture::GetDevice(IDirect3DDevice9** ppDevice) {
    return enter({kInterface, __func__}, outputs(ppDevice), [&](auto& call) {
        if (!ppDevice) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            device()->AddRef();
            *ppDevice = device();
            return D3D_OK;
        });
    });
}

DWORD Texture::SetPriority(DWORD PriorityNew) {
    return enter({kInterface, __func__}, AnyValue<DWORD>{0}, [&](auto&) {
        std::lock_guard guard(device()->mutex());
        return std::exchange(priority_, PriorityNew);
    });
}

DWORD Texture::GetPriority() {
    return enter({kInterface, __func__}, AnyValue<DWORD>{0}, [&](auto&) {
        std::lock_guard guard(device()->mutex());
        return priority_;
    });
}

// Level-of-detail clamping applies to managed textures only; this device has none.
DWORD Texture::SetLOD(DWORD) {
    return 0;
}
DWORD Texture::GetLOD() {
    return 0;
}

DWORD Texture::GetLevelCount() {
    return levelCount();
}

HRESULT Texture::GetLevelDesc(UINT Level, D3DSURFACE_DESC* pDesc) {
    return enter({kInterface, __func__}, [&](auto& call) {
        if (!pDesc || Level >= levels_.size()) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            *pDesc = levels_[Level]->desc();
            return D3D_OK;
        });
    });
}

HRESULT Texture::GetSurfaceLevel(UINT Level, IDirect3DSurface9** ppSurfaceLevel) {
    return enter({kInterface, __func__}, outputs(ppSurfaceLevel), [&](auto& call) {
        if (!ppSurfaceLevel || Level >= levels_.size()) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            levels_[Level]->AddRef(); // the texture's count
            *ppSurfaceLevel = levels_[Level];
            return D3D_OK;
        });
    });
}

HRESULT Texture::LockRect(UINT Level, D3DLOCKED_RECT* pLockedRect, const RECT* pRect, DWORD Flags) {
    return enter({kInterface, __func__}, outputs(pLockedRect), [&](auto& call) {
        std::lock_guard guard(device()->mutex());
        if (!pLockedRect || Level >= levels_.size()) return D3DERR_INVALIDCALL;
        if (HRESULT bad = levels_[Level]->checkLock(pRect); FAILED(bad)) return bad;
        return call.proceed([&] { return levels_[Level]->lock(pLockedRect, pRect, Flags); });
    });
}

HRESULT Texture::UnlockRect(UINT Level) {
    return enter({kInterface, __func__}, [&](auto& call) {
        std::lock_guard guard(device()->mutex());
        if (Level >= levels_.size() || !levels_[Level]->locked()) return D3DERR_INVALIDCALL;
        return call.close([&] { return levels_[Level]->unlock(); });
    });
}

// Dirty regions matter to UpdateTexture only, which this device does not have.
HRESULT Texture::AddDirtyRect(const RECT*) {
    return enter({kInterface, __func__},
                 [&](auto& call) { return call.proceed([&] { return D3D_OK; }); });
}

} // namespace kestrin::platform::d3d9
