#include "tests/wine/device_session.h"

namespace kestrin::winecheck {
namespace {

constexpr wchar_t kWindowClass[] = L"KestrinEffectCheck";

// MULTITHREADED | SOFTWARE_VERTEXPROCESSING | NOWINDOWCHANGES | FPU_PRESERVE. Keeping the FPU
// state matters here: the reference model runs in the same process as the device.
constexpr DWORD kBehaviourFlags = D3DCREATE_MULTITHREADED | D3DCREATE_SOFTWARE_VERTEXPROCESSING |
                                  D3DCREATE_NOWINDOWCHANGES | D3DCREATE_FPU_PRESERVE;
static_assert(kBehaviourFlags == 0x826);

D3DPRESENT_PARAMETERS presentParameters() {
    D3DPRESENT_PARAMETERS pp = {};
    pp.SwapEffect = D3DSWAPEFFECT_DISCARD;
    pp.Windowed = TRUE;
    return pp;
}

} // namespace

DeviceSession::DeviceSession(CheckLog& log) {
    createWindow();
    createDevice(log);
    probeFormats(log);
    createQuadDeclaration();
}

DeviceSession::~DeviceSession() {
    quadDeclaration_.reset();
    device_.reset();
    d3d_.reset();
    if (window_) DestroyWindow(window_);
    UnregisterClassW(kWindowClass, GetModuleHandleW(nullptr));
}

ULONG DeviceSession::releaseDevice() {
    quadDeclaration_.reset();
    IDirect3DDevice9* device = device_.release();
    return device ? device->Release() : 0;
}

void DeviceSession::createWindow() {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = kWindowClass;
    if (!RegisterClassW(&wc)) throw SetupError("RegisterClassW failed");
    // Never shown: it only serves as the device's focus window.
    window_ = CreateWindowExW(0, kWindowClass, L"Kestrin effect check", WS_OVERLAPPEDWINDOW, 0, 0,
                              64, 64, nullptr, nullptr, wc.hInstance, nullptr);
    if (!window_) throw SetupError("CreateWindowExW failed");
}

void DeviceSession::createDevice(CheckLog& log) {
    *d3d_.put() = Direct3DCreate9(D3D_SDK_VERSION);
    if (!d3d_) throw SetupError("Direct3DCreate9 returned null");

    D3DADAPTER_IDENTIFIER9 id = {};
    if (SUCCEEDED(d3d_->GetAdapterIdentifier(D3DADAPTER_DEFAULT, 0, &id)))
        log.info("adapter 0: %s (driver %s)", id.Description, id.Driver);

    D3DPRESENT_PARAMETERS pp = presentParameters();
    const HRESULT hr = d3d_->CreateDevice(D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, window_,
                                          kBehaviourFlags, &pp, device_.put());
    if (FAILED(hr) || !device_)
        throw SetupError("CreateDevice (HAL, flags 0x826) returned " + hrText(hr));
}

void DeviceSession::probeFormats(CheckLog& log) {
    D3DCAPS9 caps = {};
    HRESULT hr = device_->GetDeviceCaps(&caps);
    if (FAILED(hr)) throw SetupError("GetDeviceCaps returned " + hrText(hr));
    log.info("device: pixel shader %lu.%lu, texture caps 0x%08lX",
             static_cast<unsigned long>(D3DSHADER_VERSION_MAJOR(caps.PixelShaderVersion)),
             static_cast<unsigned long>(D3DSHADER_VERSION_MINOR(caps.PixelShaderVersion)),
             static_cast<unsigned long>(caps.TextureCaps));
    if (caps.PixelShaderVersion < D3DPS_VERSION(3, 0))
        throw SetupError("the device has no ps_3_0 support");

    D3DDISPLAYMODE mode = {};
    hr = device_->GetDisplayMode(0, &mode);
    if (FAILED(hr)) throw SetupError("GetDisplayMode returned " + hrText(hr));

    const auto probe = [&](D3DFORMAT format, const char* name) {
        const HRESULT r = d3d_->CheckDeviceFormat(caps.AdapterOrdinal, caps.DeviceType, mode.Format,
                                                  D3DUSAGE_RENDERTARGET, D3DRTYPE_TEXTURE, format);
        log.info("format %s as render-target texture: %s", name,
                 SUCCEEDED(r) ? "supported" : ("not supported, " + hrText(r)).c_str());
        return SUCCEEDED(r);
    };
    unsignedSupported_ = probe(D3DFMT_A16B16G16R16, "A16B16G16R16 (unsigned)");
    signedSupported_ = probe(D3DFMT_Q16W16V16U16, "Q16W16V16U16 (signed)");
}

void DeviceSession::createQuadDeclaration() {
    // A pre-transformed position (x, y, z, rhw) and one texture coordinate (u, v): 24 bytes.
    const D3DVERTEXELEMENT9 elements[] = {
        {0, 0, D3DDECLTYPE_FLOAT4, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_POSITIONT, 0},
        {0, 16, D3DDECLTYPE_FLOAT2, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_TEXCOORD, 0},
        D3DDECL_END(),
    };
    const HRESULT hr = device_->CreateVertexDeclaration(elements, quadDeclaration_.put());
    if (FAILED(hr)) throw SetupError("CreateVertexDeclaration returned " + hrText(hr));
}

} // namespace kestrin::winecheck
