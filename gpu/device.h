// The device's life: creation and capability probe, the effect, loss and reset, teardown.
#pragma once

#include "gpu/gpu_context.h"

// Behaviour flags of the device: MULTITHREADED (the render worker shares it),
// SOFTWARE_VERTEXPROCESSING, NOWINDOWCHANGES, and FPU_PRESERVE so that creating the device does
// not switch the host thread's x87 unit to single precision under the editor's feet.
inline constexpr DWORD kDeviceBehaviour = D3DCREATE_MULTITHREADED |
                                          D3DCREATE_SOFTWARE_VERTEXPROCESSING |
                                          D3DCREATE_NOWINDOWCHANGES | D3DCREATE_FPU_PRESERVE;

inline constexpr WORD kEffectResourceId = 104;

// Brings g_context up: Direct3D, the device on `window` (the host's filter window), the
// capability and format probe, the render worker, the effect from `module`'s resource, the quad's
// declaration. On failure everything Direct3D is released and the reason has been shown.
bool InitDevice(HWND window, HINSTANCE module);

HRESULT CheckDeviceCaps(GpuContext* context);
HRESULT LoadEffect(GpuContext* context, HINSTANCE module);

// Releases every Direct3D object in a fixed order. Always true; harmless when repeated.
bool ReleaseAll(GpuContext* context);

// ReleaseAll, then stop and free the worker, then free the record.
void DestroyContext(GpuContext* context);

// True when g_context's device can be used for this frame; resets a device that asks for it
// (and then sets g_rebuildNeeded: the reset took the default-pool objects).
bool CheckDevice();
HRESULT ResetDevice(GpuContext* context);
