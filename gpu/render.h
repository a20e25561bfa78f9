// Track values to effect parameters, and one frame through the effect's passes and back.
#pragma once

#include "gpu/gpu_context.h"

// Sets pixGain, pixDist and posDist from the track values (a null handle skips its parameter)
// and the pass count. Every step runs; false when any SetFloat failed (its message shown): the
// effect then holds a value of other track settings, and a frame rendered with it would be
// wrong.
bool ApplyTrackValues(GpuContext* context, const int32_t* trackValues);

// Sends transferSurface to the card and draws p0, p1 x (passCount - 1) and p2, alternating the
// two render targets. `flag` non-zero adds one ValidateDevice at the end. False when
// transferSurface or the device is missing, when BeginScene fails (nothing drawn), or when any
// later step of the sequence failed (the sequence still runs to its end): in each case the
// final target does not hold this frame's result, so there is nothing to read back.
bool RenderFrame(int32_t flag, GpuContext* context);

// Copies the final render target, renderTargets[passCount % 2], into transferSurface.
HRESULT ReadBackResult(GpuContext* context);

HRESULT UploadSourceTexture(GpuContext* context, IDirect3DTexture9* texture,
                            IDirect3DSurface9* surface);
HRESULT SetPassTarget(GpuContext* context, IDirect3DTexture9* texture);

// The render worker's job in mode 2 (`context` is the GpuContext; null does nothing): RenderFrame
// with the validation flag, then ReadBackResult. Records in context->worker->jobSucceeded whether
// both succeeded, before the worker signals the job done.
void RenderJob(void* context);
