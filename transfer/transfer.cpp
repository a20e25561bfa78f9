#include "transfer/transfer.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

volatile LONG g_nextRow = 0;

namespace {

// Adding 0x8000 modulo 65536 flips the top bit: one XOR moves all four 16-bit lanes at once.
constexpr uint64_t kBias = 0x8000800080008000ull;
constexpr uint64_t kPlain = 0;
// The three channels of a texel that carry a pixel.
constexpr uint64_t kPixelBits = 0x0000FFFFFFFFFFFFull;

// Exactly the six bytes of one host pixel, as a texel with channel 3 zero.
inline uint64_t LoadPixel(const uint8_t* from) {
    uint32_t low;
    uint16_t high;
    memcpy(&low, from, 4);
    memcpy(&high, from + 4, 2);
    return low | static_cast<uint64_t>(high) << 32;
}

// Exactly the six bytes of one host pixel, from a texel.
inline void StorePixel(uint8_t* to, uint64_t texel) {
    const auto low = static_cast<uint32_t>(texel);
    const auto high = static_cast<uint16_t>(texel >> 32);
    memcpy(to, &low, 4);
    memcpy(to + 4, &high, 2);
}

// The rows' inner loops move every pixel but the row's last with whole eight-byte words: a load
// takes two bytes of the next pixel along (masked off), a store writes two bytes that the next
// pixel's store then overwrites. The row's last pixel moves exactly, so nothing outside the row
// is read or written: not the next row, not the gap of a host pitch wider than the frame.

// Texel from pixel: Y, Cb, Cr into channels 0..2 (channel 3 gets 0, or 0x8000 when biased).
template <uint64_t Mask> void UploadRow(const RowCopyJob& job, int32_t row) {
    const uint8_t* from = reinterpret_cast<const uint8_t*>(job.hostPixels) +
                          static_cast<size_t>(row) * static_cast<size_t>(job.hostPitch) * 6;
    uint8_t* to =
        job.surfaceBits + static_cast<size_t>(row) * static_cast<size_t>(job.surfacePitch);
    if (job.pixelsPerRow == 0) return;
    const uint32_t last = job.pixelsPerRow - 1;
    uint32_t x = 0;
#if defined(__SSE2__)
    const __m128i keep = _mm_set_epi32(0x0000FFFF, -1, 0x0000FFFF, -1);
    const __m128i mask = _mm_set_epi32(static_cast<int>(Mask >> 32), static_cast<int>(Mask),
                                       static_cast<int>(Mask >> 32), static_cast<int>(Mask));
    for (; x + 1 < last; x += 2) {
        const __m128i a = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(from + 6 * size_t{x}));
        const __m128i b =
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(from + 6 * size_t{x} + 6));
        const __m128i texels = _mm_xor_si128(_mm_and_si128(_mm_unpacklo_epi64(a, b), keep), mask);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 8 * size_t{x}), texels);
    }
#endif
    for (; x < last; ++x) {
        uint64_t texel;
        memcpy(&texel, from + 6 * size_t{x}, 8);
        texel = (texel & kPixelBits) ^ Mask;
        memcpy(to + 8 * size_t{x}, &texel, 8);
    }
    const uint64_t texel = LoadPixel(from + 6 * size_t{last}) ^ Mask;
    memcpy(to + 8 * size_t{last}, &texel, 8);
}

// Pixel from texel: channels 0..2 back into Y, Cb, Cr; channel 3 is ignored.
template <uint64_t Mask> void DownloadRow(const RowCopyJob& job, int32_t row) {
    const uint8_t* from =
        job.surfaceBits + static_cast<size_t>(row) * static_cast<size_t>(job.surfacePitch);
    uint8_t* to = reinterpret_cast<uint8_t*>(job.hostPixels) +
                  static_cast<size_t>(row) * static_cast<size_t>(job.hostPitch) * 6;
    if (job.pixelsPerRow == 0) return;
    const uint32_t last = job.pixelsPerRow - 1;
    uint32_t x = 0;
#if defined(__SSE2__)
    const __m128i mask = _mm_set_epi32(static_cast<int>(Mask >> 32), static_cast<int>(Mask),
                                       static_cast<int>(Mask >> 32), static_cast<int>(Mask));
    for (; x + 1 < last; x += 2) {
        const __m128i texels = _mm_xor_si128(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 8 * size_t{x})), mask);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(to + 6 * size_t{x}), texels);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(to + 6 * size_t{x} + 6),
                         _mm_srli_si128(texels, 8));
    }
#endif
    for (; x < last; ++x) {
        uint64_t texel;
        memcpy(&texel, from + 8 * size_t{x}, 8);
        texel ^= Mask;
        memcpy(to + 6 * size_t{x}, &texel, 8);
    }
    uint64_t texel;
    memcpy(&texel, from + 8 * size_t{last}, 8);
    StorePixel(to + 6 * size_t{last}, texel ^ Mask);
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

HRESULT Transfer(const TransferLayout& layout, IDirect3DSurface9* surface, YcPixel* pixels,
                 DWORD lockFlags, ParallelKernel kernel, RunParallelFn runParallel) {
    if (!surface) return D3DERR_INVALIDCALL;
    D3DLOCKED_RECT locked;
    const HRESULT hr = surface->LockRect(&locked, nullptr, lockFlags);
    if (hr != D3D_OK) return hr;
    RowCopyJob job;
    job.rowCount = layout.height;
    job.pixelsPerRow = static_cast<uint32_t>(layout.width);
    job.surfacePitch = locked.Pitch;
    job.hostPitch = layout.hostPitch;
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

HRESULT UploadPixels(const TransferLayout& layout, IDirect3DSurface9* surface,
                     const YcPixel* source, RunParallelFn runParallel) {
    return Transfer(layout, surface, const_cast<YcPixel*>(source),
                    D3DLOCK_NOSYSLOCK | D3DLOCK_DISCARD,
                    layout.biased ? UploadRowsBiased : UploadRows, runParallel);
}

HRESULT DownloadPixels(const TransferLayout& layout, YcPixel* output, IDirect3DSurface9* surface,
                       RunParallelFn runParallel) {
    return Transfer(layout, surface, output, D3DLOCK_NOSYSLOCK | D3DLOCK_READONLY,
                    layout.biased ? DownloadRowsBiased : DownloadRows, runParallel);
}
