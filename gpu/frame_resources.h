// The objects whose size follows the frame: the system-memory transfer surface, the source
// texture, the two render targets and the screen quad, and their bindings to the effect.
#pragma once

#include "gpu/gpu_context.h"

inline constexpr int32_t kMaxFrameSide = 4096;
inline constexpr UINT kQuadVertexSize = 24; // x, y, z, rhw, u, v
inline constexpr UINT kQuadBytes = 4 * kQuadVertexSize;

// Releases and recreates every frame-size object for width x height, rows `pitch` pixels apart
// in the host's images, and binds them to the effect. Works on g_context. False when a check
// refused the size (nothing changed, no message) or a step failed (its message shown).
bool RebuildFrameResources(int32_t width, int32_t height, int32_t pitch);

// Releases the frame-size objects; sizes and texel format stay. Always true.
bool ReleaseFrameResources(GpuContext* context);

// Clears txSrc and txRGB on the effect, so that it holds none of the frame's textures.
void UnbindFrameTextures(GpuContext* context);

// Lets go of every binding that keeps a frame-size object alive: the effect's two textures, and,
// while a quad or a render target exists, the device's stream 0 (the quad) and render target 0
// (the last pass's target), which goes back to the device's own back buffer.
void UnbindFrameObjects(GpuContext* context);

// True while every frame-size object exists. A frame without them must rebuild, whatever size
// the context last stored: a refused size, a failed creation, a switch-off or a reset took them.
bool FrameResourcesPresent(const GpuContext* context);

// The size checks of RebuildFrameResources: at most 4096 a side (negative sizes refused with the
// too-large ones), and a pitch no smaller than the width.
bool FrameSizeAccepted(int32_t width, int32_t height, int32_t pitch);

HRESULT CreateTransferSurface(GpuContext* context);
HRESULT CreateFrameTextures(GpuContext* context);
HRESULT CreateQuad(GpuContext* context);
HRESULT CreateFrameTexture(GpuContext* context, IDirect3DTexture9** slot, DWORD usage);
HRESULT BindFrameParameters(GpuContext* context);
