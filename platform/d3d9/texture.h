// A 2D texture: a chain of level surfaces that share the texture's reference counts.
//
// Lockable when in system memory or created with D3DUSAGE_DYNAMIC; a default-pool texture
// without DYNAMIC (render targets included) is not, as on Direct3D 9. Drawing samples level 0.
#pragma once

#include <vector>

#include "platform/d3d9/object.h"

namespace kestrin::platform::d3d9 {

class Surface;

class Texture final : public DeviceChild<IDirect3DTexture9> {
  public:
    static constexpr std::string_view kInterface = "IDirect3DTexture9";
    static constexpr ObjectKind kKind = ObjectKind::Texture;

    // `levels` 0: the full chain down to 1 x 1. Attach after construction.
    Texture(Device* device, UINT width, UINT height, UINT levels, DWORD usage, D3DFORMAT format,
            D3DPOOL pool);
    ~Texture() override;

    // IDirect3DResource9
    HRESULT STDMETHODCALLTYPE GetDevice(IDirect3DDevice9** ppDevice) override;
    DWORD STDMETHODCALLTYPE SetPriority(DWORD PriorityNew) override;
    DWORD STDMETHODCALLTYPE GetPriority() override;
    void STDMETHODCALLTYPE PreLoad() override {}
    D3DRESOURCETYPE STDMETHODCALLTYPE GetType() override { return D3DRTYPE_TEXTURE; }
    // IDirect3DBaseTexture9
    DWORD STDMETHODCALLTYPE SetLOD(DWORD LODNew) override;
    DWORD STDMETHODCALLTYPE GetLOD() override;
    DWORD STDMETHODCALLTYPE GetLevelCount() override;
    // IDirect3DTexture9
    HRESULT STDMETHODCALLTYPE GetLevelDesc(UINT Level, D3DSURFACE_DESC* pDesc) override;
    HRESULT STDMETHODCALLTYPE GetSurfaceLevel(UINT Level,
                                              IDirect3DSurface9** ppSurfaceLevel) override;
    HRESULT STDMETHODCALLTYPE LockRect(UINT Level, D3DLOCKED_RECT* pLockedRect, const RECT* pRect,
                                       DWORD Flags) override;
    HRESULT STDMETHODCALLTYPE UnlockRect(UINT Level) override;
    HRESULT STDMETHODCALLTYPE AddDirtyRect(const RECT* pDirtyRect) override;

    UINT levelCount() const { return static_cast<UINT>(levels_.size()); }
    Surface* level(UINT index) const { return index < levels_.size() ? levels_[index] : nullptr; }
    D3DPOOL pool() const { return pool_; }

  protected:
    bool answers(REFIID riid) const override;

  private:
    D3DPOOL pool_;
    std::vector<Surface*> levels_; // owned
    DWORD priority_ = 0;
};

// The number of levels of a full chain for a width x height texture.
UINT fullChainLevels(UINT width, UINT height);

} // namespace kestrin::platform::d3d9
