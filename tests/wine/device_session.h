// The Direct3D 9 device the check renders with, created the way the plug-in creates its own:
// a hidden window as focus window, the HAL device of adapter 0, and the two texel formats probed
// as render-target textures.
#pragma once

#include <d3d9.h>

#include "tests/wine/check_log.h"
#include "tests/wine/com_ptr.h"

namespace kestrin::winecheck {

class DeviceSession {
  public:
    // Throws SetupError when no window or no device can be had.
    explicit DeviceSession(CheckLog& log);
    ~DeviceSession();
    DeviceSession(const DeviceSession&) = delete;
    DeviceSession& operator=(const DeviceSession&) = delete;

    IDirect3DDevice9* device() const { return device_.get(); }
    IDirect3DVertexDeclaration9* quadDeclaration() const { return quadDeclaration_.get(); }
    bool signedFormatSupported() const { return signedSupported_; }
    bool unsignedFormatSupported() const { return unsignedSupported_; }

    // Releases the declaration and the device, and returns the device's last reference count:
    // 0 unless some object made on it (texture, surface, buffer, effect) is still alive.
    ULONG releaseDevice();

  private:
    void createWindow();
    void createDevice(CheckLog& log);
    void probeFormats(CheckLog& log);
    void createQuadDeclaration();

    HWND window_ = nullptr;
    ComPtr<IDirect3D9> d3d_;
    ComPtr<IDirect3DDevice9> device_;
    ComPtr<IDirect3DVertexDeclaration9> quadDeclaration_;
    bool signedSupported_ = false;
    bool unsignedSupported_ = false;
};

} // namespace kestrin::winecheck
