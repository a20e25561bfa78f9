// The frame pipeline's moves between the host's images and the GPU context's transfer surface.
#pragma once

#include "gpu/gpu_context.h"
#include "host/host_records.h"

// Host pixels -> `surface`, with the context's frame size, host pitch and texel format (the
// unsigned format offsets every value by 0x8000). D3DERR_INVALIDCALL without a device or a
// surface; otherwise the surface's lock or unlock result.
HRESULT UploadFrame(GpuContext* context, IDirect3DSurface9* surface, const YcPixel* source,
                    RunParallelFn runParallel);
// `surface` -> host pixels, the first `width` pixels of each row and nothing else.
HRESULT DownloadFrame(GpuContext* context, YcPixel* output, IDirect3DSurface9* surface,
                      RunParallelFn runParallel);
