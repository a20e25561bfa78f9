// The Direct3D 9 object: one adapter (0), one device type (HAL), one display mode, and the
// formats and capabilities the test hooks' device profile describes.
#pragma once

#include "d3d9.h"
#include "platform/com_object.h"
#include "platform/entry_point.h"

namespace kestrin::platform::d3d9 {

class Direct3D9 final : public ComObject<IDirect3D9> {
  public:
    static constexpr std::string_view kInterface = "IDirect3D9";
    UINT STDMETHODCALLTYPE GetAdapterCount() override { return 1; }
    HRESULT STDMETHODCALLTYPE GetAdapterDisplayMode(UINT Adapter, D3DDISPLAYMODE* pMode) override;
    HRESULT STDMETHODCALLTYPE CheckDeviceType(UINT Adapter, D3DDEVTYPE DevType,
                                              D3DFORMAT AdapterFormat, D3DFORMAT BackBufferFormat,
                                              BOOL bWindowed) override;
    HRESULT STDMETHODCALLTYPE CheckDeviceFormat(UINT Adapter, D3DDEVTYPE DeviceType,
                                                D3DFORMAT AdapterFormat, DWORD Usage,
                                                D3DRESOURCETYPE RType,
                                                D3DFORMAT CheckFormat) override;
    HRESULT STDMETHODCALLTYPE GetDeviceCaps(UINT Adapter, D3DDEVTYPE DeviceType,
                                            D3DCAPS9* pCaps) override;
    HRESULT STDMETHODCALLTYPE CreateDevice(UINT Adapter, D3DDEVTYPE DeviceType, HWND hFocusWindow,
                                           DWORD BehaviorFlags,
                                           D3DPRESENT_PARAMETERS* pPresentationParameters,
                                           IDirect3DDevice9** ppReturnedDeviceInterface) override;

  protected:
    bool answers(REFIID riid) const override;
};

// The capabilities of the software device under the current device profile.
void fillCaps(D3DCAPS9* caps);
// The adapter's one display mode.
D3DDISPLAYMODE displayMode();
// Whether a format passes CheckDeviceFormat's test for `usage` under the current profile.
bool formatSupported(D3DFORMAT format, DWORD usage);

} // namespace kestrin::platform::d3d9
