#include "gpu/frame_resources.h"

#include <cstring>

#include "gpu/messages.h"

namespace {

struct QuadVertex {
    float x, y, z, rhw;
    float u, v;
};
static_assert(sizeof(QuadVertex) == kQuadVertexSize);

} // namespace

bool RebuildFrameResources(int32_t width, int32_t height, int32_t pitch) {
    GpuContext* context = g_context;
    if (!context || !context->effect) return false;
    if (!FrameSizeAccepted(width, height, pitch)) return false;

    context->pitch = pitch;
    context->width = width;
    context->height = height;
    ChooseTexelFormat(context);
    ReleaseFrameResources(context);
    if (FAILED(CreateTransferSurface(context))) return false;
    if (FAILED(CreateFrameTextures(context))) return false;
    return SUCCEEDED(BindFrameParameters(context));
}

bool FrameSizeAccepted(int32_t width, int32_t height, int32_t pitch) {
    // Taken as unsigned, so negative sizes are refused with the too-large ones.
    if (static_cast<uint32_t>(width) > kMaxFrameSide ||
        static_cast<uint32_t>(height) > kMaxFrameSide)
        return false;
    return pitch >= 0 && pitch >= width;
}

bool FrameResourcesPresent(const GpuContext* context) {
    return context->transferSurface && context->sourceTexture && context->renderTargets[0] &&
           context->renderTargets[1] && context->quadBuffer;
}

bool ReleaseFrameResources(GpuContext* context) {
    UnbindFrameObjects(context);
    ReleaseAndNull(context->quadBuffer);
    ReleaseAndNull(context->transferSurface);
    ReleaseAndNull(context->sourceTexture);
    ReleaseAndNull(context->renderTargets[0]);
    ReleaseAndNull(context->renderTargets[1]);
    return true;
}

void UnbindFrameTextures(GpuContext* context) {
    // The effect holds a reference to every texture set on it. Left bound, a released texture
    // would live on in the default pool: it would not be freed, and a device reset would be
    // refused for as long as it exists.
    if (!context->effect) return;
    context->effect->SetTexture("txSrc", nullptr);
    context->effect->SetTexture("txRGB", nullptr);
}

void UnbindFrameObjects(GpuContext* context) {
    UnbindFrameTextures(context);
    IDirect3DDevice9* device = context->device;
    if (!device || !(context->quadBuffer || context->renderTargets[0] || context->renderTargets[1]))
        return;
    // The device's own bindings hold the quad and the last target just as the effect holds its
    // textures: a switched-off filter would keep them alive, and a reset would be refused.
    device->SetStreamSource(0, nullptr, 0, 0);
    IDirect3DSurface9* backBuffer = nullptr;
    if (SUCCEEDED(device->GetBackBuffer(0, 0, D3DBACKBUFFER_TYPE_MONO, &backBuffer)) &&
        backBuffer) {
        device->SetRenderTarget(0, backBuffer);
        backBuffer->Release();
    }
}

HRESULT CreateTransferSurface(GpuContext* context) {
    if (!context->device) {
        ShowError(msg::kSurfaceCreateFailed);
        return D3DERR_INVALIDCALL;
    }
    ReleaseAndNull(context->transferSurface);
    const HRESULT hr = context->device->CreateOffscreenPlainSurface(
        static_cast<UINT>(context->width), static_cast<UINT>(context->height),
        TexelD3DFormat(context->texelFormat), D3DPOOL_SYSTEMMEM, &context->transferSurface,
        nullptr);
    if (FAILED(hr)) ShowError(msg::kSurfaceCreateFailed);
    return hr;
}

HRESULT CreateFrameTextures(GpuContext* context) {
    HRESULT hr = CreateQuad(context);
    if (FAILED(hr)) {
        ShowError(msg::kQuadFailed);
        return hr;
    }
    hr = CreateFrameTexture(context, &context->sourceTexture, 0);
    if (FAILED(hr)) {
        ShowError(msg::kTexture0Failed);
        return hr;
    }
    hr = CreateFrameTexture(context, &context->renderTargets[0], D3DUSAGE_RENDERTARGET);
    if (FAILED(hr)) {
        ShowError(msg::kTexture1Failed);
        return hr;
    }
    hr = CreateFrameTexture(context, &context->renderTargets[1], D3DUSAGE_RENDERTARGET);
    if (FAILED(hr)) ShowError(msg::kTexture2Failed);
    return hr;
}

HRESULT CreateFrameTexture(GpuContext* context, IDirect3DTexture9** slot, DWORD usage) {
    if (!context->device) return D3DERR_INVALIDCALL;
    ReleaseAndNull(*slot);
    return context->device->CreateTexture(
        static_cast<UINT>(context->width), static_cast<UINT>(context->height), 1, usage,
        TexelD3DFormat(context->texelFormat), D3DPOOL_DEFAULT, slot, nullptr);
}

HRESULT CreateQuad(GpuContext* context) {
    if (!context->device) return D3DERR_INVALIDCALL;
    ReleaseAndNull(context->quadBuffer);
    const HRESULT hr = context->device->CreateVertexBuffer(
        kQuadBytes, D3DUSAGE_WRITEONLY, 0, D3DPOOL_DEFAULT, &context->quadBuffer, nullptr);
    if (FAILED(hr)) return hr;
    // The quad covers the target; the half-pixel shift puts each pixel centre on its texel centre.
    const float right = static_cast<float>(context->width) - 0.5f;
    const float bottom = static_cast<float>(context->height) - 0.5f;
    const QuadVertex quad[4] = {
        {-0.5f, -0.5f, 1.0f, 1.0f, 0.0f, 0.0f},
        {right, -0.5f, 1.0f, 1.0f, 1.0f, 0.0f},
        {-0.5f, bottom, 1.0f, 1.0f, 0.0f, 1.0f},
        {right, bottom, 1.0f, 1.0f, 1.0f, 1.0f},
    };
    // A quad that could not be filled would draw nothing, or garbage: the rebuild fails with it.
    void* data = nullptr;
    const HRESULT locked = context->quadBuffer->Lock(0, 0, &data, D3DLOCK_NOSYSLOCK);
    if (FAILED(locked)) return locked;
    if (!data) {
        context->quadBuffer->Unlock();
        return E_FAIL;
    }
    memcpy(data, quad, sizeof(quad));
    const HRESULT unlocked = context->quadBuffer->Unlock();
    return FAILED(unlocked) ? unlocked : hr;
}

HRESULT BindFrameParameters(GpuContext* context) {
    if (!context->device || !context->effect) return D3DERR_INVALIDCALL;
    HRESULT hr = context->effect->SetTexture("txSrc", context->sourceTexture);
    if (FAILED(hr)) {
        ShowError(msg::kBindSourceFailed);
        return hr;
    }
    hr = context->effect->SetTexture("txRGB", context->renderTargets[0]);
    if (FAILED(hr)) {
        ShowError(msg::kBindTargetFailed);
        return hr;
    }
    const D3DXVECTOR4 pitch(1.0f / static_cast<float>(context->width),
                            1.0f / static_cast<float>(context->height), 0.0f, 0.0f);
    hr = context->effect->SetVector("posPitch", &pitch);
    if (FAILED(hr)) ShowError(msg::kBindPitchFailed);
    return hr;
}
