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

HRESULT CreateTransferSurface(GpuContext* context);
HRESULT CreateFrameTextures(GpuContext* context);
HRESULT CreateQuad(GpuContext* context);
HRESULT CreateFrameTexture(GpuContext* context, IDirect3DTexture9** slot, DWORD usage);
HRESULT BindFrameParameters(GpuContext* context);
