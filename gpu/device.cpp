#include "gpu/device.h"

#include <cstring>
#include <new>

#include "gpu/frame_resources.h"
#include "gpu/messages.h"
#include "gpu/render.h"
#include "worker/render_worker.h"

namespace {

// Windowed, discard, everything else zero: the back buffer follows the focus window, and the
// filter never presents.
D3DPRESENT_PARAMETERS PresentParameters() {
    D3DPRESENT_PARAMETERS pp;
    memset(&pp, 0, sizeof(pp));
    pp.SwapEffect = D3DSWAPEFFECT_DISCARD;
    pp.Windowed = TRUE;
    return pp;
}

const D3DVERTEXELEMENT9 kQuadElements[] = {
    {0, 0, D3DDECLTYPE_FLOAT4, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_POSITIONT, 0},
    {0, 16, D3DDECLTYPE_FLOAT2, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_TEXCOORD, 0},
    D3DDECL_END(),
};

bool FailInit(GpuContext* context) {
    ReleaseAll(context);
    return false;
}

} // namespace

bool InitDevice(HWND window, HINSTANCE module) {
    GpuContext* context = g_context;
    ReleaseAll(context);
    context->d3d = Direct3DCreate9(D3D_SDK_VERSION);
    if (!context->d3d) {
        ShowError(msg::kDirect3DCreateFailed);
        return false;
    }
    D3DPRESENT_PARAMETERS pp = PresentParameters();
    if (FAILED(context->d3d->CreateDevice(D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, window,
                                          kDeviceBehaviour, &pp, &context->device))) {
        ShowError(msg::kCreateDeviceFailed);
        return FailInit(context);
    }
    if (FAILED(CheckDeviceCaps(context))) return FailInit(context);

    if (context->worker) {
        StopWorker(context->worker);
        DeleteWorker(context->worker);
        context->worker = nullptr;
    }
    context->worker = NewWorker();
    if (!context->worker) {
        ShowError(msg::kWorkerCreateFailed);
        return FailInit(context);
    }
    if (StartWorker(context->worker, RenderJob, context) != 0) {
        ShowError(msg::kWorkerStartFailed);
        return FailInit(context);
    }
    if (FAILED(LoadEffect(context, module))) {
        ShowError(msg::kEffectLoadFailed);
        return FailInit(context);
    }
    ReleaseAndNull(context->quadDeclaration);
    if (FAILED(
            context->device->CreateVertexDeclaration(kQuadElements, &context->quadDeclaration))) {
        ShowError(msg::kDeclarationFailed);
        return FailInit(context);
    }
    return true;
}

HRESULT CheckDeviceCaps(GpuContext* context) {
    if (!context->device || !context->d3d) return D3DERR_INVALIDCALL;
    D3DCAPS9 caps;
    memset(&caps, 0, sizeof(caps));
    HRESULT hr = context->device->GetDeviceCaps(&caps);
    if (hr != D3D_OK) return hr;
    if (caps.TextureCaps & D3DPTEXTURECAPS_SQUAREONLY) {
        ShowError(msg::kSquareTexturesOnly);
        return D3DERR_NOTAVAILABLE;
    }
    if ((caps.TextureCaps & D3DPTEXTURECAPS_POW2) &&
        !(caps.TextureCaps & D3DPTEXTURECAPS_NONPOW2CONDITIONAL)) {
        ShowError(msg::kPowerOfTwoOnly);
        return D3DERR_NOTAVAILABLE;
    }
    D3DDISPLAYMODE mode;
    memset(&mode, 0, sizeof(mode));
    hr = context->device->GetDisplayMode(0, &mode);
    if (hr != D3D_OK) return hr;

    auto usable = [&](D3DFORMAT format) {
        return SUCCEEDED(context->d3d->CheckDeviceFormat(caps.AdapterOrdinal, caps.DeviceType,
                                                         mode.Format, D3DUSAGE_RENDERTARGET,
                                                         D3DRTYPE_TEXTURE, format));
    };
    context->unsignedFormatSupported = usable(D3DFMT_A16B16G16R16);
    if (context->unsignedFormatSupported) context->texelFormat = kTexelUnsigned;
    context->signedFormatSupported = usable(D3DFMT_Q16W16V16U16);
    if (context->signedFormatSupported) {
        context->texelFormat = kTexelSigned;
        return S_OK;
    }
    if (context->unsignedFormatSupported) return S_OK;
    ShowError(msg::kNoPixelFormat);
    return D3DERR_NOTAVAILABLE;
}

HRESULT LoadEffect(GpuContext* context, HINSTANCE module) {
    if (!context->device) return D3DERR_INVALIDCALL;
    ReleaseAndNull(context->effect);
    ID3DXBuffer* errors = nullptr;
    HRESULT hr = D3DXCreateEffectFromResourceW(
        context->device, module, MAKEINTRESOURCEW(kEffectResourceId), nullptr, nullptr,
        D3DXFX_NOT_CLONEABLE, nullptr, &context->effect, &errors);
    if (hr != D3D_OK) {
        const char* text = errors ? static_cast<const char*>(errors->GetBufferPointer()) : nullptr;
        if (text) {
            const DWORD n = errors->GetBufferSize();
            // n UTF-16 units; a byte count that would not fit counts as a failed allocation.
            wchar_t* wide = (n > 0 && n <= 0x7FFFFFFFu / sizeof(wchar_t)) ? new (std::nothrow)
                                                                                wchar_t[n]
                                                                          : nullptr;
            if (wide) {
                mbstowcs_s(nullptr, wide, n, text, n - 1);
                wide[n - 1] = 0;
                ShowError(wide);
                delete[] wide;
            }
        }
        if (errors) errors->Release();
        ReleaseAndNull(context->effect);
        return hr;
    }
    ID3DXEffect* effect = context->effect;
    context->hPixGain = effect->GetParameterByName(nullptr, "pixGain");
    context->hPixDist = effect->GetParameterByName(nullptr, "pixDist");
    context->hPosDist = effect->GetParameterByName(nullptr, "posDist");
    context->hTechnique = effect->GetTechniqueByName("BilateralFiltering");
    context->hTechniqueU = effect->GetTechniqueByName("BilateralFilteringU");
    context->hTxRGB = effect->GetParameterByName(nullptr, "txRGB");
    if (errors) errors->Release();

    // An effect whose programs the device refused still loads, but would render frames with no
    // pixel program: check the technique this device will use now, while the user can be told.
    const D3DXHANDLE technique =
        context->texelFormat == kTexelUnsigned ? context->hTechniqueU : context->hTechnique;
    hr = effect->ValidateTechnique(technique);
    if (FAILED(hr)) {
        ReleaseAndNull(context->effect);
        return hr;
    }
    return S_OK;
}

bool ReleaseAll(GpuContext* context) {
    ReleaseAndNull(context->effect);
    ReleaseAndNull(context->quadDeclaration);
    ReleaseFrameResources(context);
    ReleaseAndNull(context->device);
    ReleaseAndNull(context->d3d);
    return true;
}

void DestroyContext(GpuContext* context) {
    if (!context) return;
    ReleaseAll(context);
    if (context->worker) {
        StopWorker(context->worker);
        DeleteWorker(context->worker);
        context->worker = nullptr;
    }
    delete context;
}

bool CheckDevice() {
    GpuContext* context = g_context;
    if (!context || !context->device) return false;
    const HRESULT level = context->device->TestCooperativeLevel();
    if (level == D3DERR_DEVICELOST) return false;
    if (level == D3DERR_DEVICENOTRESET) {
        if (SUCCEEDED(ResetDevice(context))) {
            g_rebuildNeeded = true;
            return true;
        }
        ShowError(msg::kResetFailed);
        return false;
    }
    if (level == D3D_OK) return true;
    ShowError(msg::kCooperativeLevelError);
    return false;
}

HRESULT ResetDevice(GpuContext* context) {
    if (!context->device || !context->effect) return D3DERR_INVALIDCALL;
    UnbindFrameObjects(context);
    ReleaseAndNull(context->quadBuffer);
    ReleaseAndNull(context->sourceTexture);
    ReleaseAndNull(context->renderTargets[0]);
    ReleaseAndNull(context->renderTargets[1]);
    context->effect->OnLostDevice();
    D3DPRESENT_PARAMETERS pp = PresentParameters();
    const HRESULT hr = context->device->Reset(&pp);
    if (FAILED(hr)) return hr;
    // Some effect runtimes (Wine's among them) keep nothing in the default pool and answer
    // E_NOTIMPL here: there is nothing to restore, so the reset is complete.
    const HRESULT restored = context->effect->OnResetDevice();
    return restored == E_NOTIMPL ? S_OK : restored;
}
