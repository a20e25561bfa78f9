// Copies between system memory and the device: UpdateSurface (up) and GetRenderTargetData
// (down), with Direct3D 9's rules on pools, formats, sizes and locks.
#include <cstring>

#include "platform/d3d9/decoded_texels.h"
#include "platform/d3d9/device.h"
#include "platform/d3d9/formats.h"
#include "platform/d3d9/stage_clock.h"
#include "platform/d3d9/surface.h"
#include "platform/test_hooks.h"

namespace kestrin::platform::d3d9 {
namespace {

// Copies `width` x `height` texels from (sx, sy) of `from` to (dx, dy) of `to`, the rows shared
// over the device's render threads (a frame's copy is memory bound; one core does not reach
// the memory's speed). A copy over the whole of a texture's level also decodes the x, y, z
// channels of each row for sampling while the row is at hand, so the next draw decodes nothing.
void copyTexels(const Surface& from, LONG sx, LONG sy, Surface& to, LONG dx, LONG dy, LONG width,
                LONG height, Stage stage) {
    StageTimer timer(stage);
    const size_t rowBytes = static_cast<size_t>(width) * kTexelBytes;
    const int64_t bytes = static_cast<int64_t>(rowBytes) * height;
    const int threads = bytes < (int64_t{1} << 20) ? 1 : hooks::deviceProfile().renderThreads;
    const bool whole = dx == 0 && dy == 0 && static_cast<UINT>(width) == to.desc().Width &&
                       static_cast<UINT>(height) == to.desc().Height;
    DecodedTexels* decoded = whole && to.texture() ? &to.decoded() : nullptr;
    if (decoded) decoded->shapeFor(to);
    const TexelFormat format = texelFormatOf(to.desc().Format);
    parallelRanges(threads, height, [&](int64_t first, int64_t last) {
        for (int64_t row = first; row < last; ++row) {
            const uint8_t* source = from.bits() + static_cast<size_t>(sy + row) * from.pitch() +
                                    static_cast<size_t>(sx) * kTexelBytes;
            uint8_t* target = to.bits() + static_cast<size_t>(dy + row) * to.pitch() +
                              static_cast<size_t>(dx) * kTexelBytes;
            std::memcpy(target, source, rowBytes);
            if (decoded) decoded->decodeRow(source, format, 0x7, static_cast<int>(row));
        }
    });
    to.touch();
    if (decoded) decoded->replace(to, 0x7);
}

} // namespace

// A system-memory source, a default-pool destination of the same format, neither locked; the
// source rectangle (null: the whole source) inside the source and, placed at the destination
// point (null: the origin), inside the destination.
HRESULT Device::UpdateSurface(IDirect3DSurface9* pSourceSurface, const RECT* pSourceRect,
                              IDirect3DSurface9* pDestinationSurface, const POINT* pDestPoint) {
    return enter({kInterface, __func__}, [&](auto& call) {
        std::lock_guard guard(mutex_);
        Surface* source = findOwn<Surface>(pSourceSurface, this);
        Surface* target = findOwn<Surface>(pDestinationSurface, this);
        if (!source || !target) return D3DERR_INVALIDCALL;
        const D3DSURFACE_DESC& from = source->desc();
        const D3DSURFACE_DESC& to = target->desc();
        if (from.Pool != D3DPOOL_SYSTEMMEM || to.Pool != D3DPOOL_DEFAULT ||
            from.Format != to.Format || source->locked() || target->locked())
            return D3DERR_INVALIDCALL;
        const RECT rect =
            pSourceRect ? *pSourceRect
                        : RECT{0, 0, static_cast<LONG>(from.Width), static_cast<LONG>(from.Height)};
        if (rect.left < 0 || rect.top < 0 || rect.left >= rect.right || rect.top >= rect.bottom ||
            static_cast<UINT>(rect.right) > from.Width ||
            static_cast<UINT>(rect.bottom) > from.Height)
            return D3DERR_INVALIDCALL;
        const POINT at = pDestPoint ? *pDestPoint : POINT{0, 0};
        const LONG width = rect.right - rect.left;
        const LONG height = rect.bottom - rect.top;
        if (at.x < 0 || at.y < 0 || int64_t{at.x} + width > int64_t{to.Width} ||
            int64_t{at.y} + height > int64_t{to.Height})
            return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            copyTexels(*source, rect.left, rect.top, *target, at.x, at.y, width, height,
                       Stage::UploadCopy);
            return D3D_OK;
        });
    });
}

// A default-pool render target and a system-memory surface of the same size and format, the
// destination not locked. A device that is lost or waits for a reset has nothing to give.
HRESULT Device::GetRenderTargetData(IDirect3DSurface9* pRenderTarget,
                                    IDirect3DSurface9* pDestSurface) {
    return enter({kInterface, __func__}, [&](auto& call) {
        std::lock_guard guard(mutex_);
        Surface* source = findOwn<Surface>(pRenderTarget, this);
        Surface* target = findOwn<Surface>(pDestSurface, this);
        if (!source || !target) return D3DERR_INVALIDCALL;
        const D3DSURFACE_DESC& from = source->desc();
        const D3DSURFACE_DESC& to = target->desc();
        if (!source->isRenderTarget() || from.Pool != D3DPOOL_DEFAULT ||
            to.Pool != D3DPOOL_SYSTEMMEM || from.Format != to.Format || from.Width != to.Width ||
            from.Height != to.Height || target->locked())
            return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            if (health_ != Health::Operational) return D3DERR_DEVICELOST;
            copyTexels(*source, 0, 0, *target, 0, 0, static_cast<LONG>(from.Width),
                       static_cast<LONG>(from.Height), Stage::ReadbackCopy);
            return D3D_OK;
        });
    });
}

} // namespace kestrin::platform::d3d9
