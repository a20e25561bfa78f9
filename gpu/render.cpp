#include "gpu/render.h"

#include "effect/track_mapping.h"
#include "gpu/frame_resources.h"
#include "gpu/messages.h"
#include "worker/render_worker.h"

bool ApplyTrackValues(GpuContext* context, const int32_t* trackValues) {
    ID3DXEffect* effect = context->effect;
    bool applied = true;
    auto set = [&](D3DXHANDLE handle, float value, const wchar_t* failure) {
        if (handle && FAILED(effect->SetFloat(handle, value))) {
            ShowError(failure);
            applied = false;
        }
    };
    set(context->hPixGain, kestrin::MapPixGain(trackValues[kestrin::kTrackStrength]),
        msg::kSetGainFailed);
    set(context->hPixDist, kestrin::MapPixDist(trackValues[kestrin::kTrackThreshold]),
        msg::kSetPixDistFailed);
    set(context->hPosDist, kestrin::MapPosDist(trackValues[kestrin::kTrackRange]),
        msg::kSetPosDistFailed);
    context->passCount = kestrin::MapPassCount(trackValues[kestrin::kTrackPasses]);
    return applied;
}

namespace {

// Notes whether any step of a frame's sequence failed. The sequence still runs to its end, so
// the effect and the scene stay balanced; the frame is failed afterwards instead of handing on
// whatever the targets held before.
struct StepResults {
    bool failed = false;
    void operator()(HRESULT hr) {
        if (FAILED(hr)) failed = true;
    }
};

// BeginPass(k), the screen quad as a strip of two triangles, EndPass.
void DrawPass(GpuContext* context, UINT pass, StepResults& step) {
    step(context->effect->BeginPass(pass));
    step(context->device->SetStreamSource(0, context->quadBuffer, 0, kQuadVertexSize));
    step(context->device->DrawPrimitive(D3DPT_TRIANGLESTRIP, 0, 2));
    step(context->effect->EndPass());
}

} // namespace

bool RenderFrame(int32_t flag, GpuContext* context) {
    if (!context->transferSurface || !context->device) return false;
    IDirect3DDevice9* device = context->device;
    // A refused scene draws nothing; returning true here would hand the previous frame's
    // result on as this frame's.
    if (FAILED(device->BeginScene())) return false;

    StepResults step;
    step(UploadSourceTexture(context, context->sourceTexture, context->transferSurface));
    ID3DXEffect* effect = context->effect;
    if (effect) {
        step(effect->SetTexture(context->hTxRGB, context->renderTargets[0]));
        step(effect->SetTechnique(context->texelFormat == kTexelUnsigned ? context->hTechniqueU
                                                                         : context->hTechnique));
        step(device->SetVertexDeclaration(context->quadDeclaration));
        UINT passes = 0;
        step(effect->Begin(&passes, 0));
        step(SetPassTarget(context, context->renderTargets[0]));
        DrawPass(context, 0, step);
        for (int32_t i = 1; i < context->passCount; ++i) {
            step(SetPassTarget(context, context->renderTargets[i % 2]));
            DrawPass(context, 1, step);
            step(effect->SetTexture(context->hTxRGB, context->renderTargets[i % 2]));
        }
        step(SetPassTarget(context, context->renderTargets[context->passCount % 2]));
        DrawPass(context, 2, step);
        step(effect->End());
    } else {
        step.failed = true; // no program to run: the targets would hold no result of this frame
    }
    step(device->EndScene());
    if (flag) {
        // A diagnostic only: neither its result nor the number it stores decide anything.
        DWORD scratch = 0;
        device->ValidateDevice(&scratch);
    }
    return !step.failed;
}

HRESULT UploadSourceTexture(GpuContext* context, IDirect3DTexture9* texture,
                            IDirect3DSurface9* surface) {
    if (!surface || !texture || !context->device) return D3DERR_INVALIDCALL;
    IDirect3DSurface9* level = nullptr;
    HRESULT hr = texture->GetSurfaceLevel(0, &level);
    if (FAILED(hr)) {
        ShowError(msg::kSurfaceLevelFailed);
        return hr;
    }
    hr = context->device->UpdateSurface(surface, nullptr, level, nullptr);
    level->Release();
    return hr;
}

HRESULT SetPassTarget(GpuContext* context, IDirect3DTexture9* texture) {
    if (!texture || !context->device) return D3DERR_INVALIDCALL;
    IDirect3DSurface9* level = nullptr;
    HRESULT hr = texture->GetSurfaceLevel(0, &level);
    if (FAILED(hr)) {
        ShowError(msg::kSurfaceLevelFailed);
        return hr;
    }
    hr = context->device->SetRenderTarget(0, level);
    level->Release();
    return hr;
}

HRESULT ReadBackResult(GpuContext* context) {
    IDirect3DTexture9* target = context->renderTargets[context->passCount % 2];
    if (!context->device || !target) return D3DERR_INVALIDCALL;
    IDirect3DSurface9* level = nullptr;
    HRESULT hr = target->GetSurfaceLevel(0, &level);
    if (FAILED(hr)) {
        ShowError(msg::kTargetLevelFailed);
        return hr;
    }
    hr = context->device->GetRenderTargetData(level, context->transferSurface);
    level->Release();
    if (FAILED(hr)) ShowError(msg::kReadBackFailed);
    return hr;
}

void RenderJob(void* arg) {
    GpuContext* context = static_cast<GpuContext*>(arg);
    if (!context) return;
    bool done = false;
    if (RenderFrame(1, context)) done = SUCCEEDED(ReadBackResult(context));
    if (context->worker) context->worker->jobSucceeded = done ? 1 : 0;
}
