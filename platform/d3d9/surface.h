// A surface: a 2D array of texels in one of the device's two formats, either on its own (an
// offscreen plain surface) or as one level of a texture.
//
// Locking: an offscreen plain surface is always lockable (in either pool); a texture level is
// lockable when its texture is in system memory or dynamic. A surface is locked at most once at
// a time. Every lock's flags and rectangle are recorded for tests (platform/d3d9/observe.h).
// The lock state and the texels are guarded by the device's mutex while a call works on them;
// between LockRect and UnlockRect the application owns the locked bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/d3d9/decoded_texels.h"
#include "platform/d3d9/object.h"

namespace kestrin::platform::d3d9 {

class Texture;

struct LockRecord {
    DWORD flags = 0;
    bool whole = true; // no rectangle given
    RECT rect{};       // the locked rectangle (the whole surface when `whole`)
};

class Surface final : public DeviceChild<IDirect3DSurface9> {
  public:
    static constexpr std::string_view kInterface = "IDirect3DSurface9";
    static constexpr ObjectKind kKind = ObjectKind::Surface;

    // An offscreen plain surface (attach it after construction), or level `level` of
    // `container` (never attached: its counts are the texture's).
    Surface(Device* device, const D3DSURFACE_DESC& desc, bool lockable, Texture* container,
            UINT level);

    // IDirect3DResource9
    HRESULT STDMETHODCALLTYPE GetDevice(IDirect3DDevice9** ppDevice) override;
    DWORD STDMETHODCALLTYPE SetPriority(DWORD PriorityNew) override;
    DWORD STDMETHODCALLTYPE GetPriority() override;
    void STDMETHODCALLTYPE PreLoad() override {}
    D3DRESOURCETYPE STDMETHODCALLTYPE GetType() override { return D3DRTYPE_SURFACE; }
    // IDirect3DSurface9
    HRESULT STDMETHODCALLTYPE GetContainer(REFIID riid, void** ppContainer) override;
    HRESULT STDMETHODCALLTYPE GetDesc(D3DSURFACE_DESC* pDesc) override;
    HRESULT STDMETHODCALLTYPE LockRect(D3DLOCKED_RECT* pLockedRect, const RECT* pRect,
                                       DWORD Flags) override;
    HRESULT STDMETHODCALLTYPE UnlockRect() override;

    // For the device and the texture, with the device's mutex held: the argument checks of
    // LockRect, and its work (checks included) without the fault plan.
    HRESULT checkLock(const RECT* rect) const;
    HRESULT lock(D3DLOCKED_RECT* out, const RECT* rect, DWORD flags);
    HRESULT unlock();

    const D3DSURFACE_DESC& desc() const { return desc_; }
    uint8_t* bits() { return bits_.data(); }
    const uint8_t* bits() const { return bits_.data(); }
    size_t pitch() const { return pitch_; }
    bool locked() const { return locked_; }
    Texture* texture() const { return container_; }
    UINT level() const { return level_; }
    bool isRenderTarget() const { return (desc_.Usage & D3DUSAGE_RENDERTARGET) != 0; }

    // Contents: a number that changes whenever the texels may have (a lock, a copy or a draw
    // into the surface), unique across surfaces. The texels decoded for sampling.
    uint64_t version() const { return version_; }
    void touch();
    DecodedTexels& decoded();

    // For tests, with the device's mutex held.
    unsigned lockCount() const { return lockCount_; }
    const LockRecord& lastLock() const { return lastLock_; }

  protected:
    bool answers(REFIID riid) const override;

  private:
    D3DSURFACE_DESC desc_;
    bool lockable_;
    Texture* container_;
    UINT level_;
    size_t pitch_;
    std::vector<uint8_t> bits_;
    DWORD priority_ = 0;
    bool locked_ = false;
    unsigned lockCount_ = 0;
    LockRecord lastLock_;
    uint64_t version_;
    std::unique_ptr<DecodedTexels> decoded_;
};

} // namespace kestrin::platform::d3d9
