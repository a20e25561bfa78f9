// Whole frames between the host's 6-byte pixels and the card's 8-byte texels, through a locked
// system-memory surface: serially, or row by row on the host's worker threads. The frame pipeline
// calls these through UploadFrame and DownloadFrame (host/frame_pipeline.h) with the GPU context's
// frame size, pitch and texel format.
#pragma once

#include <d3d9.h>
#include <windows.h>

#include <cstdint>

#include "host/host_records.h"

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

// The frame a transfer moves and how its texels are encoded.
struct TransferLayout {
    int32_t width;     // pixels of a row that move
    int32_t height;    // rows that move
    int32_t hostPitch; // pixels between rows of the host image
    bool biased;       // unsigned texels: every value offset by 0x8000; otherwise signed, unchanged
};

// Host pixels -> `surface`, locked for writing (discarding its contents). D3DERR_INVALIDCALL
// without a surface; otherwise the result of the lock, or of the unlock after the rows moved.
HRESULT UploadPixels(const TransferLayout& layout, IDirect3DSurface9* surface,
                     const YcPixel* source, RunParallelFn runParallel);
// `surface`, locked read-only -> host pixels; only the first `width` pixels of each row are
// written.
HRESULT DownloadPixels(const TransferLayout& layout, YcPixel* output, IDirect3DSurface9* surface,
                       RunParallelFn runParallel);

// The row kernels. Thread count 0: every row in order on this thread; otherwise rows are
// claimed one at a time from g_nextRow until none is left.
void UploadRows(int32_t threadIndex, int32_t threadCount, void* job, void* unused);
void UploadRowsBiased(int32_t threadIndex, int32_t threadCount, void* job, void* unused);
void DownloadRows(int32_t threadIndex, int32_t threadCount, void* job, void* unused);
void DownloadRowsBiased(int32_t threadIndex, int32_t threadCount, void* job, void* unused);
