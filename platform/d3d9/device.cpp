// The device's life, capabilities, cooperative level, Reset, resource creation and scenes.
#include "platform/d3d9/device.h"

#include <algorithm>
#include <bit>
#include <new>
#include <string>

#include "platform/d3d9/direct3d.h"
#include "platform/d3d9/formats.h"
#include "platform/d3d9/pixel_shader.h"
#include "platform/d3d9/surface.h"
#include "platform/d3d9/texture.h"
#include "platform/d3d9/vertex_buffer.h"
#include "platform/d3d9/vertex_declaration.h"
#include "platform/test_hooks.h"

namespace kestrin::platform::d3d9 {
namespace {

// What a window of unknown size gets as its back buffer.
constexpr UINT kDefaultBackBufferWidth = 640;
constexpr UINT kDefaultBackBufferHeight = 480;
constexpr UINT kMaxVertexBufferBytes = 1u << 28;

// Texture sizes the profile's texture capabilities allow.
bool sizeAllowed(UINT width, UINT height) {
    const DWORD caps = hooks::deviceProfile().textureCaps;
    if ((caps & D3DPTEXTURECAPS_SQUAREONLY) && width != height) return false;
    if ((caps & D3DPTEXTURECAPS_POW2) && !(caps & D3DPTEXTURECAPS_NONPOW2CONDITIONAL) &&
        (!std::has_single_bit(width) || !std::has_single_bit(height)))
        return false;
    return true;
}

// What a creation that runs out of memory reports: video memory for the default pool.
HRESULT outOfMemory(D3DPOOL pool) {
    return pool == D3DPOOL_DEFAULT ? D3DERR_OUTOFVIDEOMEMORY : E_OUTOFMEMORY;
}

// Checks common to textures and offscreen surfaces.
bool surfaceArgumentsValid(UINT width, UINT height, D3DFORMAT format, D3DPOOL pool,
                           HANDLE* sharedHandle) {
    return width >= 1 && height >= 1 && width <= kMaxTextureSize && height <= kMaxTextureSize &&
           isTexelFormat(format) && (pool == D3DPOOL_DEFAULT || pool == D3DPOOL_SYSTEMMEM) &&
           sharedHandle == nullptr;
}

} // namespace

bool presentParametersValid(const D3DPRESENT_PARAMETERS& present, HWND focus) {
    const bool formatOk = present.BackBufferFormat == D3DFMT_UNKNOWN ||
                          present.BackBufferFormat == D3DFMT_X8R8G8B8 ||
                          present.BackBufferFormat == D3DFMT_A8R8G8B8;
    const bool swapOk = present.SwapEffect == D3DSWAPEFFECT_DISCARD ||
                        present.SwapEffect == D3DSWAPEFFECT_FLIP ||
                        (present.SwapEffect == D3DSWAPEFFECT_COPY && present.BackBufferCount <= 1);
    return present.Windowed && formatOk && swapOk && present.BackBufferCount <= 3 &&
           present.MultiSampleType == D3DMULTISAMPLE_NONE &&
           (focus != nullptr || present.hDeviceWindow != nullptr);
}

void completePresentParameters(D3DPRESENT_PARAMETERS& present) {
    if (present.BackBufferWidth == 0) present.BackBufferWidth = kDefaultBackBufferWidth;
    if (present.BackBufferHeight == 0) present.BackBufferHeight = kDefaultBackBufferHeight;
    if (present.BackBufferFormat == D3DFMT_UNKNOWN) present.BackBufferFormat = kDisplayFormat;
    if (present.BackBufferCount == 0) present.BackBufferCount = 1;
}

Device::Device(Direct3D9* parent, HWND focus, DWORD behaviour, D3DPRESENT_PARAMETERS& present)
    : parent_(parent) {
    parent_->AddRef();
    creation_ = {D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, focus, behaviour};
    present_ = present;
    createBackBuffer();
    resetState(present.EnableAutoDepthStencil != FALSE);
}

Device::~Device() {
    {
        std::lock_guard guard(mutex_);
        // Objects only the bindings held go now; they still see a whole device.
        state_.resetToDefaults(false);
        backBuffer_.reset();
    }
    parent_->Release();
}

void Device::createBackBuffer() {
    D3DSURFACE_DESC desc{};
    desc.Format = present_.BackBufferFormat;
    desc.Type = D3DRTYPE_SURFACE;
    desc.Usage = D3DUSAGE_RENDERTARGET;
    desc.Pool = D3DPOOL_DEFAULT;
    desc.MultiSampleType = D3DMULTISAMPLE_NONE;
    desc.Width = present_.BackBufferWidth;
    desc.Height = present_.BackBufferHeight;
    const bool lockable = (present_.Flags & D3DPRESENTFLAG_LOCKABLE_BACKBUFFER) != 0;
    auto* surface = new Surface(this, desc, lockable, nullptr, 0);
    // Created with one public reference, which the device turns into its private one: the
    // public side (and its device reference) is the application's, through GetBackBuffer.
    surface->attach(false);
    backBuffer_.set(surface);
    surface->releasePublicRef();
}

void Device::resetState(bool depthBuffer) {
    state_.resetToDefaults(depthBuffer);
    Surface* back = backBuffer_.get();
    state_.renderTarget.set(back);
    state_.viewport = {0, 0, back->desc().Width, back->desc().Height, 0.0f, 1.0f};
}

bool Device::answers(REFIID riid) const {
    return riid == IID_IDirect3DDevice9;
}

void Device::defaultPoolObjectCreated() {
    std::lock_guard guard(mutex_);
    ++defaultPoolObjects_;
}

void Device::defaultPoolObjectDestroyed() {
    std::lock_guard guard(mutex_);
    --defaultPoolObjects_;
}

int Device::defaultPoolObjects() const {
    std::lock_guard guard(mutex_);
    return defaultPoolObjects_;
}

// ---- Device-wide queries ----------------------------------------------------------------------

// The scripted answers first; D3DERR_DEVICENOTRESET holds until a Reset succeeds; once the
// script is used up the device is fine again unless it waits for a reset.
HRESULT Device::TestCooperativeLevel() {
    return enter({kInterface, __func__}, [&](auto& call) {
        std::lock_guard guard(mutex_);
        return call.proceed([&] {
            if (health_ == Health::NotReset) return D3DERR_DEVICENOTRESET;
            HRESULT answer = D3D_OK;
            hooks::takeCooperativeLevelAnswer(&answer);
            if (answer == D3DERR_DEVICELOST)
                health_ = Health::Lost;
            else if (answer == D3DERR_DEVICENOTRESET)
                health_ = Health::NotReset;
            else
                health_ = Health::Operational;
            return answer;
        });
    });
}

UINT Device::GetAvailableTextureMem() {
    return 512u << 20;
}

HRESULT Device::GetDirect3D(IDirect3D9** ppD3D9) {
    return enter({kInterface, __func__}, outputs(ppD3D9), [&](auto& call) {
        if (!ppD3D9) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            parent_->AddRef();
            *ppD3D9 = parent_;
            return D3D_OK;
        });
    });
}

HRESULT Device::GetDeviceCaps(D3DCAPS9* pCaps) {
    return enter({kInterface, __func__}, [&](auto& call) {
        if (!pCaps) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            fillCaps(pCaps);
            return D3D_OK;
        });
    });
}

HRESULT Device::GetDisplayMode(UINT iSwapChain, D3DDISPLAYMODE* pMode) {
    return enter({kInterface, __func__}, [&](auto& call) {
        if (iSwapChain != 0 || !pMode) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            *pMode = displayMode();
            return D3D_OK;
        });
    });
}

HRESULT Device::GetCreationParameters(D3DDEVICE_CREATION_PARAMETERS* pParameters) {
    return enter({kInterface, __func__}, [&](auto& call) {
        if (!pParameters) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            *pParameters = creation_;
            return D3D_OK;
        });
    });
}

// Every binding goes and every state returns to its default; then the reset succeeds only if no
// default-pool object is left. Any failure leaves the device waiting for a reset (a lost device
// stays lost).
HRESULT Device::Reset(D3DPRESENT_PARAMETERS* pPresentationParameters) {
    return enter({kInterface, __func__}, [&](auto& call) {
        std::lock_guard guard(mutex_);
        const HRESULT result = [&] {
            if (!pPresentationParameters ||
                !presentParametersValid(*pPresentationParameters, creation_.hFocusWindow))
                return D3DERR_INVALIDCALL;
            return call.proceed([&] {
                if (health_ == Health::Lost) return D3DERR_DEVICELOST;
                const bool depth = pPresentationParameters->EnableAutoDepthStencil != FALSE;
                resetState(depth);
                inScene_ = false;
                // The back buffer is a default-pool surface too: an application still holding
                // it keeps the reset from happening.
                if (defaultPoolObjects_ > 0 || backBuffer_.get()->publicRefs() > 0)
                    return D3DERR_INVALIDCALL;
                D3DPRESENT_PARAMETERS present = *pPresentationParameters;
                completePresentParameters(present);
                present_ = present;
                *pPresentationParameters = present;
                state_.renderTarget.reset();
                createBackBuffer();
                resetState(depth);
                return D3D_OK;
            });
        }();
        if (SUCCEEDED(result))
            health_ = Health::Operational;
        else if (health_ != Health::Lost)
            health_ = Health::NotReset;
        return result;
    });
}

// The swap chain's back buffer: one, of the presentation's size and format. Drawing into it is
// not supported here (its format is not a texel format), but it can be made render target 0
// again, which lets go of the last texture bound there.
HRESULT Device::GetBackBuffer(UINT iSwapChain, UINT iBackBuffer, D3DBACKBUFFER_TYPE Type,
                              IDirect3DSurface9** ppBackBuffer) {
    return enter({kInterface, __func__}, outputs(ppBackBuffer), [&](auto& call) {
        std::lock_guard guard(mutex_);
        if (!ppBackBuffer || iSwapChain != 0 || iBackBuffer != 0 || Type != D3DBACKBUFFER_TYPE_MONO)
            return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            Surface* back = backBuffer_.get();
            back->AddRef();
            *ppBackBuffer = back;
            return D3D_OK;
        });
    });
}

// ---- Resource creation ------------------------------------------------------------------------

HRESULT Device::CreateTexture(UINT Width, UINT Height, UINT Levels, DWORD Usage, D3DFORMAT Format,
                              D3DPOOL Pool, IDirect3DTexture9** ppTexture, HANDLE* pSharedHandle) {
    return enter({kInterface, __func__}, outputs(ppTexture), [&](auto& call) {
        std::lock_guard guard(mutex_);
        if (!ppTexture || !surfaceArgumentsValid(Width, Height, Format, Pool, pSharedHandle) ||
            Levels > fullChainLevels(Width, Height) || !sizeAllowed(Width, Height))
            return D3DERR_INVALIDCALL;
        if ((Usage & ~(D3DUSAGE_RENDERTARGET | D3DUSAGE_DYNAMIC)) != 0) return D3DERR_INVALIDCALL;
        if ((Usage & D3DUSAGE_RENDERTARGET) &&
            (Pool != D3DPOOL_DEFAULT || (Usage & D3DUSAGE_DYNAMIC) ||
             !formatSupported(Format, D3DUSAGE_RENDERTARGET)))
            return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            Texture* texture = nullptr;
            try {
                texture = new Texture(this, Width, Height, Levels, Usage, Format, Pool);
            } catch (const std::bad_alloc&) {
                return outOfMemory(Pool);
            }
            texture->attach(Pool == D3DPOOL_DEFAULT);
            *ppTexture = texture;
            return D3D_OK;
        });
    });
}

HRESULT Device::CreateVertexBuffer(UINT Length, DWORD Usage, DWORD FVF, D3DPOOL Pool,
                                   IDirect3DVertexBuffer9** ppVertexBuffer, HANDLE* pSharedHandle) {
    return enter({kInterface, __func__}, outputs(ppVertexBuffer), [&](auto& call) {
        std::lock_guard guard(mutex_);
        constexpr DWORD kBufferUsage = D3DUSAGE_WRITEONLY | D3DUSAGE_DYNAMIC | D3DUSAGE_DONOTCLIP |
                                       D3DUSAGE_POINTS | D3DUSAGE_SOFTWAREPROCESSING |
                                       D3DUSAGE_RTPATCHES | D3DUSAGE_NPATCHES;
        if (!ppVertexBuffer || pSharedHandle || Length == 0 || Length > kMaxVertexBufferBytes ||
            (Usage & ~kBufferUsage) != 0 || (Pool != D3DPOOL_DEFAULT && Pool != D3DPOOL_SYSTEMMEM))
            return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            VertexBuffer* buffer = nullptr;
            try {
                buffer = new VertexBuffer(this, Length, Usage, FVF, Pool);
            } catch (const std::bad_alloc&) {
                return outOfMemory(Pool);
            }
            buffer->attach(Pool == D3DPOOL_DEFAULT);
            *ppVertexBuffer = buffer;
            return D3D_OK;
        });
    });
}

HRESULT Device::CreateOffscreenPlainSurface(UINT Width, UINT Height, D3DFORMAT Format, D3DPOOL Pool,
                                            IDirect3DSurface9** ppSurface, HANDLE* pSharedHandle) {
    return enter({kInterface, __func__}, outputs(ppSurface), [&](auto& call) {
        std::lock_guard guard(mutex_);
        if (!ppSurface || !surfaceArgumentsValid(Width, Height, Format, Pool, pSharedHandle))
            return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            D3DSURFACE_DESC desc{};
            desc.Format = Format;
            desc.Type = D3DRTYPE_SURFACE;
            desc.Usage = 0;
            desc.Pool = Pool;
            desc.MultiSampleType = D3DMULTISAMPLE_NONE;
            desc.Width = Width;
            desc.Height = Height;
            // Offscreen plain surfaces are lockable in every pool.
            Surface* surface = nullptr;
            try {
                surface = new Surface(this, desc, true, nullptr, 0);
            } catch (const std::bad_alloc&) {
                return outOfMemory(Pool);
            }
            surface->attach(Pool == D3DPOOL_DEFAULT);
            *ppSurface = surface;
            return D3D_OK;
        });
    });
}

HRESULT Device::CreateVertexDeclaration(const D3DVERTEXELEMENT9* pVertexElements,
                                        IDirect3DVertexDeclaration9** ppDecl) {
    return enter({kInterface, __func__}, outputs(ppDecl), [&](auto& call) {
        if (!pVertexElements || !ppDecl) return D3DERR_INVALIDCALL;
        std::vector<D3DVERTEXELEMENT9> elements;
        if (!validateDeclaration(pVertexElements, &elements)) return D3DERR_INVALIDCALL;
        std::lock_guard guard(mutex_);
        return call.proceed([&] {
            auto* declaration = new VertexDeclaration(this, std::move(elements));
            declaration->attach(false);
            *ppDecl = declaration;
            return D3D_OK;
        });
    });
}

// Vertices are always pre-transformed here: there is no vertex shader to create.
HRESULT Device::CreateVertexShader(const DWORD* pFunction, IDirect3DVertexShader9** ppShader) {
    return enter({kInterface, __func__}, outputs(ppShader), [&](auto& call) {
        if (!pFunction || !ppShader) return D3DERR_INVALIDCALL;
        return call.proceed([&] { return D3DERR_INVALIDCALL; });
    });
}

HRESULT Device::CreatePixelShader(const DWORD* pFunction, IDirect3DPixelShader9** ppShader) {
    return enter({kInterface, __func__}, outputs(ppShader), [&](auto& call) {
        if (!pFunction || !ppShader) return D3DERR_INVALIDCALL;
        std::vector<DWORD> tokens;
        std::string error;
        if (!readShaderTokens(pFunction, &tokens, &error)) return D3DERR_INVALIDCALL;
        shader::ProgramLoad load = shader::loadPixelProgram(tokens.data(), tokens.size());
        if (!load.program) return D3DERR_INVALIDCALL;
        std::lock_guard guard(mutex_);
        return call.proceed([&] {
            auto* shader = new PixelShader(this, std::move(tokens), std::move(load.program));
            shader->attach(false);
            *ppShader = shader;
            return D3D_OK;
        });
    });
}

// ---- Scenes -----------------------------------------------------------------------------------

HRESULT Device::BeginScene() {
    return enter({kInterface, __func__}, [&](auto& call) {
        std::lock_guard guard(mutex_);
        if (inScene_) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            inScene_ = true;
            return D3D_OK;
        });
    });
}

HRESULT Device::EndScene() {
    return enter({kInterface, __func__}, [&](auto& call) {
        std::lock_guard guard(mutex_);
        if (!inScene_) return D3DERR_INVALIDCALL;
        return call.close([&] {
            inScene_ = false;
            return D3D_OK;
        });
    });
}

// Every state this device draws with can be drawn in one pass.
HRESULT Device::ValidateDevice(DWORD* pNumPasses) {
    return enter({kInterface, __func__}, [&](auto& call) {
        if (!pNumPasses) return D3DERR_INVALIDCALL;
        return call.proceed([&] {
            *pNumPasses = 1;
            return D3D_OK;
        });
    });
}

} // namespace kestrin::platform::d3d9
