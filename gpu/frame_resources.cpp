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
    // Taken as unsigned, so negative sizes are refused with the too-large ones.
    if (static_cast<uint32_t>(width) > kMaxFrameSide ||
        static_cast<uint32_t>(height) > kMaxFrameSide)
        return false;
    if (pitch < 0 || pitch < width) return false;

    context->pitch = pitch;
    context->width = width;
    context->height = height;
    ChooseTexelFormat(context);
    ReleaseFrameResources(context);
    if (FAILED(CreateTransferSurface(context))) return false;
    if (FAILED(CreateFrameTextures(context))) return false;
    return SUCCEEDED(BindFrameParameters(context));
}

bool ReleaseFrameResources(GpuContext* context) {
    UnbindFrameTextures(context);
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
    void* data = nullptr;
    if (SUCCEEDED(context->quadBuffer->Lock(0, 0, &data, D3DLOCK_NOSYSLOCK)) && data) {
        memcpy(data, quad, sizeof(quad));
        context->quadBuffer->Unlock();
    }
    return hr;
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
