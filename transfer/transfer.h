// Whole frames between the host's 6-byte pixels and the card's 8-byte texels, through the
// system-memory transfer surface: serially, or row by row on the host's worker threads.
#pragma once

#include <d3d9.h>
#include <windows.h>

#include <cstdint>

#include "host/host_records.h"

struct GpuContext;

// The parameter block of one transfer, on the caller's stack for the length of the transfer.
struct RowCopyJob {
    int32_t rowCount;      // the context's height
    uint32_t pixelsPerRow; // the context's width
    int32_t surfacePitch;  // bytes between rows of the locked surface
    int32_t hostPitch;     // pixels between rows of the host image (the host's maxWidth)
    uint8_t* surfaceBits;  // first byte of the locked surface
    YcPixel* hostPixels;   // first pixel of the host image
};

// The next row to claim in a parallel transfer. Transfers never overlap, so one counter serves.
extern volatile LONG g_nextRow;

// Host pixels -> transferSurface (the texel format decides the encoding).
HRESULT UploadFrame(GpuContext* context, IDirect3DSurface9* surface, const YcPixel* source,
                    RunParallelFn runParallel);
// transferSurface -> host pixels.
HRESULT DownloadFrame(GpuContext* context, YcPixel* output, IDirect3DSurface9* surface,
                      RunParallelFn runParallel);

// The row kernels. Thread count 0: every row in order on this thread; otherwise rows are
// claimed one at a time from g_nextRow until none is left.
void UploadRows(int32_t threadIndex, int32_t threadCount, void* job, void* unused);
void UploadRowsBiased(int32_t threadIndex, int32_t threadCount, void* job, void* unused);
void DownloadRows(int32_t threadIndex, int32_t threadCount, void* job, void* unused);
void DownloadRowsBiased(int32_t threadIndex, int32_t threadCount, void* job, void* unused);
