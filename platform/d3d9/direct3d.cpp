#include "platform/d3d9/direct3d.h"

#include <cstring>

#include "platform/d3d9/device.h"
#include "platform/d3d9/formats.h"
#include "platform/d3d9/object.h"
#include "platform/test_hooks.h"
#include "shader/interpreter.h"

namespace kestrin::platform::d3d9 {
namespace {

bool isDisplayFormat(D3DFORMAT format) {
    return format == kDisplayFormat;
}

// Usage bits CheckDeviceFormat can be asked about for the two texel formats.
constexpr DWORD kCheckableUsage =
    D3DUSAGE_RENDERTARGET | D3DUSAGE_DYNAMIC | D3DUSAGE_QUERY_FILTER | D3DUSAGE_QUERY_WRAPANDMIP;

} // namespace

D3DDISPLAYMODE displayMode() {
    return {kDisplayWidth, kDisplayHeight, kDisplayRefresh, kDisplayFormat};
}

bool formatSupported(D3DFORMAT format, DWORD usage) {
    if (!isTexelFormat(format) || (usage & ~kCheckableUsage) != 0) return false;
    if ((usage & D3DUSAGE_RENDERTARGET) == 0) return true;
    const hooks::DeviceProfile profile = hooks::deviceProfile();
    return format == D3DFMT_Q16W16V16U16 ? profile.signedFormat : profile.unsignedFormat;
}

void fillCaps(D3DCAPS9* caps) {
    std::memset(caps, 0, sizeof(*caps));
    caps->DeviceType = D3DDEVTYPE_HAL;
    caps->AdapterOrdinal = 0;
    caps->Caps2 = D3DCAPS2_CANRENDERWINDOWED | D3DCAPS2_DYNAMICTEXTURES;
    caps->PresentationIntervals = D3DPRESENT_INTERVAL_ONE | D3DPRESENT_INTERVAL_IMMEDIATE;
    caps->DevCaps = D3DDEVCAPS_EXECUTESYSTEMMEMORY | D3DDEVCAPS_TLVERTEXSYSTEMMEMORY |
                    D3DDEVCAPS_TEXTURESYSTEMMEMORY | D3DDEVCAPS_TEXTUREVIDEOMEMORY |
                    D3DDEVCAPS_DRAWPRIMTLVERTEX | D3DDEVCAPS_DRAWPRIMITIVES2 |
                    D3DDEVCAPS_DRAWPRIMITIVES2EX | D3DDEVCAPS_HWRASTERIZATION;
    caps->TextureCaps = hooks::deviceProfile().textureCaps;
    caps->TextureFilterCaps = D3DPTFILTERCAPS_MINFPOINT | D3DPTFILTERCAPS_MINFLINEAR |
                              D3DPTFILTERCAPS_MAGFPOINT | D3DPTFILTERCAPS_MAGFLINEAR;
    caps->TextureAddressCaps = D3DPTADDRESSCAPS_WRAP | D3DPTADDRESSCAPS_MIRROR |
                               D3DPTADDRESSCAPS_CLAMP | D3DPTADDRESSCAPS_BORDER |
                               D3DPTADDRESSCAPS_INDEPENDENTUV | D3DPTADDRESSCAPS_MIRRORONCE;
    caps->MaxTextureWidth = kMaxTextureSize;
    caps->MaxTextureHeight = kMaxTextureSize;
    caps->MaxTextureRepeat = kMaxTextureSize;
    caps->MaxTextureAspectRatio = kMaxTextureSize;
    caps->MaxAnisotropy = 1;
    caps->MaxVertexW = 1e10f;
    // Pre-transformed vertices farther out than this are not drawn (there is no clipper).
    caps->GuardBandLeft = -16384.0f;
    caps->GuardBandTop = -16384.0f;
    caps->GuardBandRight = 16384.0f;
    caps->GuardBandBottom = 16384.0f;
    caps->MaxTextureBlendStages = 8;
    caps->MaxSimultaneousTextures = 8;
    caps->MaxPointSize = 1.0f;
    caps->MaxPrimitiveCount = 0xFFFFF;
    caps->MaxVertexIndex = 0xFFFFF;
    caps->MaxStreams = 16;
    caps->MaxStreamStride = 508;
    caps->VertexShaderVersion = D3DVS_VERSION(0, 0);
    caps->PixelShaderVersion = D3DPS_VERSION(3, 0);
    caps->PixelShader1xMaxValue = 65504.0f;
    caps->DevCaps2 = D3DDEVCAPS2_STREAMOFFSET;
    caps->NumberOfAdaptersInGroup = 1;
    caps->NumSimultaneousRTs = 1;
    caps->PS20Caps.Caps = D3DPS20CAPS_ARBITRARYSWIZZLE | D3DPS20CAPS_NODEPENDENTREADLIMIT |
                          D3DPS20CAPS_NOTEXINSTRUCTIONLIMIT;
    caps->PS20Caps.DynamicFlowControlDepth = 0;
    caps->PS20Caps.NumTemps = 32;
    caps->PS20Caps.StaticFlowControlDepth = 4;
    caps->PS20Caps.NumInstructionSlots = 512;
    caps->MaxPShaderInstructionsExecuted = 65535;
    caps->MaxPixelShader30InstructionSlots = 32768;
}

bool Direct3D9::answers(REFIID riid) const {
    return riid == IID_IDirect3D9;
}

HRESULT Direct3D9::GetAdapterDisplayMode(UINT Adapter, D3DDISPLAYMODE* pMode) {
    return enter({kInterface, __func__}, [&](auto& call) {
        if (Adapter != D3DADAPTER_DEFAULT || !pMode) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            *pMode = displayMode();
            return D3D_OK;
        });
    });
}

HRESULT Direct3D9::CheckDeviceType(UINT Adapter, D3DDEVTYPE DevType, D3DFORMAT AdapterFormat,
                                   D3DFORMAT BackBufferFormat, BOOL bWindowed) {
    return enter({kInterface, __func__}, [&](auto& call) {
        if (Adapter != D3DADAPTER_DEFAULT) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            const bool backBufferOk = BackBufferFormat == AdapterFormat ||
                                      BackBufferFormat == D3DFMT_A8R8G8B8 ||
                                      (bWindowed && BackBufferFormat == D3DFMT_UNKNOWN);
            if (DevType != D3DDEVTYPE_HAL || !isDisplayFormat(AdapterFormat) || !backBufferOk)
                return D3DERR_NOTAVAILABLE;
            return D3D_OK;
        });
    });
}

HRESULT Direct3D9::CheckDeviceFormat(UINT Adapter, D3DDEVTYPE DeviceType, D3DFORMAT AdapterFormat,
                                     DWORD Usage, D3DRESOURCETYPE RType, D3DFORMAT CheckFormat) {
    return enter({kInterface, __func__}, [&](auto& call) {
        if (Adapter != D3DADAPTER_DEFAULT) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            if (DeviceType != D3DDEVTYPE_HAL || !isDisplayFormat(AdapterFormat))
                return D3DERR_NOTAVAILABLE;
            if (RType != D3DRTYPE_TEXTURE && RType != D3DRTYPE_SURFACE) return D3DERR_NOTAVAILABLE;
            return formatSupported(CheckFormat, Usage) ? D3D_OK : D3DERR_NOTAVAILABLE;
        });
    });
}

HRESULT Direct3D9::GetDeviceCaps(UINT Adapter, D3DDEVTYPE DeviceType, D3DCAPS9* pCaps) {
    return enter({kInterface, __func__}, [&](auto& call) {
        if (Adapter != D3DADAPTER_DEFAULT || !pCaps) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            if (DeviceType != D3DDEVTYPE_HAL) return D3DERR_NOTAVAILABLE;
            fillCaps(pCaps);
            return D3D_OK;
        });
    });
}

HRESULT Direct3D9::CreateDevice(UINT Adapter, D3DDEVTYPE DeviceType, HWND hFocusWindow,
                                DWORD BehaviorFlags, D3DPRESENT_PARAMETERS* pPresentationParameters,
                                IDirect3DDevice9** ppReturnedDeviceInterface) {
    return enter({kInterface, __func__}, outputs(ppReturnedDeviceInterface), [&](auto& call) {
        if (!ppReturnedDeviceInterface || !pPresentationParameters || Adapter != D3DADAPTER_DEFAULT)
            return D3DERR_INVALIDCALL;
        const DWORD processing = BehaviorFlags & (D3DCREATE_SOFTWARE_VERTEXPROCESSING |
                                                  D3DCREATE_HARDWARE_VERTEXPROCESSING |
                                                  D3DCREATE_MIXED_VERTEXPROCESSING);
        if (processing != D3DCREATE_SOFTWARE_VERTEXPROCESSING &&
            processing != D3DCREATE_HARDWARE_VERTEXPROCESSING &&
            processing != D3DCREATE_MIXED_VERTEXPROCESSING)
            return D3DERR_INVALIDCALL;
        if (!presentParametersValid(*pPresentationParameters, hFocusWindow))
            return D3DERR_INVALIDCALL;
        if (DeviceType != D3DDEVTYPE_HAL) return D3DERR_NOTAVAILABLE;
        return call.proceed([&] {
            D3DPRESENT_PARAMETERS present = *pPresentationParameters;
            completePresentParameters(present);
            *ppReturnedDeviceInterface = new Device(this, hFocusWindow, BehaviorFlags, present);
            *pPresentationParameters = present;
            return D3D_OK;
        });
    });
}

} // namespace kestrin::platform::d3d9

// Null while the test hooks say so, or when the fault plan makes the call fail.
extern "C" IDirect3D9* WINAPI Direct3DCreate9(UINT SDKVersion) {
    using namespace kestrin::platform;
    return enter({.function = __func__}, FailureValue<IDirect3D9*>{nullptr},
                 [&](auto& call) -> IDirect3D9* {
                     if (SDKVersion != D3D_SDK_VERSION) return nullptr;
                     // The fault plan also answers for hooks::setDirect3DCreateFails.
                     return call.proceed([] { return new d3d9::Direct3D9(); });
                 });
}
