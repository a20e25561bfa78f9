#include "transfer/transfer.h"

#include <cstring>

#include "gpu/gpu_context.h"

volatile LONG g_nextRow = 0;

namespace {

// Adding 0x8000 modulo 65536 flips the top bit: one XOR moves all four 16-bit lanes at once.
constexpr uint64_t kBias = 0x8000800080008000ull;
constexpr uint64_t kPlain = 0;

// Texel from pixel: Y, Cb, Cr into channels 0..2 (channel 3 gets 0, or 0x8000 when biased).
template <uint64_t Mask> void UploadRow(const RowCopyJob& job, int32_t row) {
    const uint8_t* from = reinterpret_cast<const uint8_t*>(job.hostPixels) +
                          static_cast<size_t>(row) * static_cast<size_t>(job.hostPitch) * 6;
    uint8_t* to =
        job.surfaceBits + static_cast<size_t>(row) * static_cast<size_t>(job.surfacePitch);
    for (uint32_t x = 0; x < job.pixelsPerRow; ++x) {
        uint64_t texel = 0;
        memcpy(&texel, from + 6 * static_cast<size_t>(x), 6);
        texel ^= Mask;
        memcpy(to + 8 * static_cast<size_t>(x), &texel, 8);
    }
}

// Pixel from texel: channels 0..2 back into Y, Cb, Cr; channel 3 is ignored.
template <uint64_t Mask> void DownloadRow(const RowCopyJob& job, int32_t row) {
    const uint8_t* from =
        job.surfaceBits + static_cast<size_t>(row) * static_cast<size_t>(job.surfacePitch);
    uint8_t* to = reinterpret_cast<uint8_t*>(job.hostPixels) +
                  static_cast<size_t>(row) * static_cast<size_t>(job.hostPitch) * 6;
    for (uint32_t x = 0; x < job.pixelsPerRow; ++x) {
        uint64_t texel;
        memcpy(&texel, from + 8 * static_cast<size_t>(x), 8);
        texel ^= Mask;
        memcpy(to + 6 * static_cast<size_t>(x), &texel, 6);
    }
}

template <void (*Row)(const RowCopyJob&, int32_t)> void RunRows(int32_t threadCount, void* param) {
    const RowCopyJob& job = *static_cast<const RowCopyJob*>(param);
    if (threadCount == 0) {
        for (int32_t row = 0; row < job.rowCount; ++row) Row(job, row);
        return;
    }
    for (;;) {
        const int32_t row = InterlockedExchangeAdd(&g_nextRow, 1);
        if (row >= job.rowCount) return;
        Row(job, row);
    }
}

HRESULT Transfer(GpuContext* context, IDirect3DSurface9* surface, YcPixel* pixels, DWORD lockFlags,
                 ParallelKernel kernel, RunParallelFn runParallel) {
    if (!context->device || !surface) return D3DERR_INVALIDCALL;
    D3DLOCKED_RECT locked;
    const HRESULT hr = surface->LockRect(&locked, nullptr, lockFlags);
    if (hr != D3D_OK) return hr;
    RowCopyJob job;
    job.rowCount = context->height;
    job.pixelsPerRow = static_cast<uint32_t>(context->width);
    job.surfacePitch = locked.Pitch;
    job.hostPitch = context->pitch;
    job.surfaceBits = static_cast<uint8_t*>(locked.pBits);
    job.hostPixels = pixels;
    if (runParallel) {
        InterlockedExchange(&g_nextRow, 0);
        runParallel(kernel, &job, nullptr);
    } else {
        kernel(0, 0, &job, nullptr);
    }
    return surface->UnlockRect();
}

} // namespace

void UploadRows(int32_t, int32_t threadCount, void* job, void*) {
    RunRows<UploadRow<kPlain>>(threadCount, job);
}
void UploadRowsBiased(int32_t, int32_t threadCount, void* job, void*) {
    RunRows<UploadRow<kBias>>(threadCount, job);
}
void DownloadRows(int32_t, int32_t threadCount, void* job, void*) {
    RunRows<DownloadRow<kPlain>>(threadCount, job);
}
void DownloadRowsBiased(int32_t, int32_t threadCount, void* job, void*) {
    RunRows<DownloadRow<kBias>>(threadCount, job);
}

HRESULT UploadFrame(GpuContext* context, IDirect3DSurface9* surface, const YcPixel* source,
                    RunParallelFn runParallel) {
    return Transfer(
        context, surface, const_cast<YcPixel*>(source), D3DLOCK_NOSYSLOCK | D3DLOCK_DISCARD,
        context->texelFormat == kTexelSigned ? UploadRows : UploadRowsBiased, runParallel);
}

HRESULT DownloadFrame(GpuContext* context, YcPixel* output, IDirect3DSurface9* surface,
                      RunParallelFn runParallel) {
    return Transfer(context, surface, output, D3DLOCK_NOSYSLOCK | D3DLOCK_READONLY,
                    context->texelFormat == kTexelSigned ? DownloadRows : DownloadRowsBiased,
                    runParallel);
}
