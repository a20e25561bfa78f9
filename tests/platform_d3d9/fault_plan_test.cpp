// The fault plan reaches every entry point: with valid arguments, a planned failure comes back
// unchanged and the call is logged under its name.
#include <functional>

#include "tests/common/failed_calls.h"
#include "tests/platform_d3d9/d3d9_fixture.h"

namespace kestrin::platform::d3d9::test {
namespace {

using FaultPlanTest = D3D9Test;
using test_support::FailedCalls;
using test_support::genuine;
using test_support::planned;

struct Call {
    const char* name;
    std::function<HRESULT()> call;
};

TEST_F(FaultPlanTest, EveryEntryPointAsksTheFaultPlan) {
    Ref<IDirect3DTexture9> target = makeTexture(4, 4, D3DUSAGE_RENDERTARGET, kUnsigned);
    Ref<IDirect3DTexture9> system = makeTexture(4, 4, 0, kUnsigned, D3DPOOL_SYSTEMMEM);
    Ref<IDirect3DTexture9> locked = makeTexture(4, 4, 0, kUnsigned, D3DPOOL_SYSTEMMEM);
    Ref<IDirect3DSurface9> rt = levelOf(target.get());
    Ref<IDirect3DSurface9> staging = makeSurface(4, 4, kUnsigned);
    Ref<IDirect3DSurface9> lockedSurface = makeSurface(4, 4, kUnsigned);
    Ref<IDirect3DPixelShader9> shader = makeShader(assembleProgram("ps_3_0\nmov oC0, c0\n"));
    bindQuad(4, 4);
    ASSERT_EQ(device_->SetRenderTarget(0, rt.get()), D3D_OK);
    ASSERT_EQ(device_->SetPixelShader(shader.get()), D3D_OK);
    D3DLOCKED_RECT lr;
    ASSERT_EQ(locked->LockRect(0, &lr, nullptr, 0), D3D_OK);
    ASSERT_EQ(lockedSurface->LockRect(&lr, nullptr, 0), D3D_OK);
    void* data = nullptr;
    ASSERT_EQ(quad_->Lock(0, 0, &data, 0), D3D_OK);

    IDirect3DDevice9* d = device_.get();
    D3DCAPS9 caps;
    D3DDISPLAYMODE mode;
    D3DDEVICE_CREATION_PARAMETERS creation;
    D3DVIEWPORT9 viewport{0, 0, 4, 4, 0.0f, 1.0f};
    D3DSURFACE_DESC desc;
    D3DVERTEXBUFFER_DESC bufferDesc;
    DWORD value = 0;
    UINT count = 0, offset = 0, stride = 0;
    float f[4] = {};
    int i[4] = {};
    BOOL b = FALSE;
    D3DPRESENT_PARAMETERS pp = presentParameters();
    const D3DVERTEXELEMENT9 elements[] = {D3DDECL_END()};
    const std::vector<DWORD> tokens = assembleProgram("ps_3_0\nmov oC0, c1\n");
    std::vector<uint8_t> scratch(4096);

    // Each call releases what it creates or gets.
    auto out = [](auto* object) {
        if (object) object->Release();
    };
    IDirect3D9* d3dOut = nullptr;
    IDirect3DDevice9* deviceOut = nullptr;
    IDirect3DTexture9* textureOut = nullptr;
    IDirect3DBaseTexture9* baseOut = nullptr;
    IDirect3DSurface9* surfaceOut = nullptr;
    IDirect3DVertexBuffer9* bufferOut = nullptr;
    IDirect3DVertexDeclaration9* declOut = nullptr;
    IDirect3DVertexShader9* vsOut = nullptr;
    IDirect3DPixelShader9* psOut = nullptr;
    void* voidOut = nullptr;
    auto keep = [&](HRESULT hr) {
        out(d3dOut), out(deviceOut), out(textureOut), out(baseOut), out(surfaceOut);
        out(bufferOut), out(declOut), out(vsOut), out(psOut);
        if (voidOut) static_cast<IUnknown*>(voidOut)->Release();
        d3dOut = nullptr, deviceOut = nullptr, textureOut = nullptr, baseOut = nullptr;
        surfaceOut = nullptr, bufferOut = nullptr, declOut = nullptr, vsOut = nullptr;
        psOut = nullptr, voidOut = nullptr;
        return hr;
    };

    const std::vector<Call> calls = {
        {"IDirect3D9::GetAdapterDisplayMode",
         [&] { return d3d_->GetAdapterDisplayMode(0, &mode); }},
        {"IDirect3D9::CheckDeviceType",
         [&] { return d3d_->CheckDeviceType(0, D3DDEVTYPE_HAL, mode.Format, mode.Format, TRUE); }},
        {"IDirect3D9::CheckDeviceFormat",
         [&] {
             return d3d_->CheckDeviceFormat(0, D3DDEVTYPE_HAL, D3DFMT_X8R8G8B8,
                                            D3DUSAGE_RENDERTARGET, D3DRTYPE_TEXTURE, kSigned);
         }},
        {"IDirect3D9::GetDeviceCaps",
         [&] { return d3d_->GetDeviceCaps(0, D3DDEVTYPE_HAL, &caps); }},
        {"IDirect3D9::CreateDevice",
         [&] {
             return keep(d3d_->CreateDevice(0, D3DDEVTYPE_HAL, testWindow(),
                                            D3DCREATE_SOFTWARE_VERTEXPROCESSING, &pp, &deviceOut));
         }},
        {"IDirect3DDevice9::TestCooperativeLevel", [&] { return d->TestCooperativeLevel(); }},
        {"IDirect3DDevice9::GetDirect3D", [&] { return keep(d->GetDirect3D(&d3dOut)); }},
        {"IDirect3DDevice9::GetDeviceCaps", [&] { return d->GetDeviceCaps(&caps); }},
        {"IDirect3DDevice9::GetDisplayMode", [&] { return d->GetDisplayMode(0, &mode); }},
        {"IDirect3DDevice9::GetCreationParameters",
         [&] { return d->GetCreationParameters(&creation); }},
        {"IDirect3DDevice9::CreateTexture",
         [&] {
             return keep(
                 d->CreateTexture(4, 4, 1, 0, kSigned, D3DPOOL_DEFAULT, &textureOut, nullptr));
         }},
        {"IDirect3DDevice9::CreateVertexBuffer",
         [&] {
             return keep(d->CreateVertexBuffer(96, 0, 0, D3DPOOL_DEFAULT, &bufferOut, nullptr));
         }},
        {"IDirect3DDevice9::CreateOffscreenPlainSurface",
         [&] {
             return keep(d->CreateOffscreenPlainSurface(4, 4, kSigned, D3DPOOL_SYSTEMMEM,
                                                        &surfaceOut, nullptr));
         }},
        {"IDirect3DDevice9::UpdateSurface",
         [&] { return d->UpdateSurface(staging.get(), nullptr, rt.get(), nullptr); }},
        {"IDirect3DDevice9::GetRenderTargetData",
         [&] { return d->GetRenderTargetData(rt.get(), staging.get()); }},
        {"IDirect3DDevice9::SetRenderTarget", [&] { return d->SetRenderTarget(0, rt.get()); }},
        {"IDirect3DDevice9::GetRenderTarget",
         [&] { return keep(d->GetRenderTarget(0, &surfaceOut)); }},
        {"IDirect3DDevice9::BeginScene",
         [&] {
             const HRESULT hr = d->BeginScene();
             if (SUCCEEDED(hr)) d->EndScene();
             return hr;
         }},
        {"IDirect3DDevice9::EndScene",
         [&] {
             EXPECT_EQ(d->BeginScene(), D3D_OK);
             return d->EndScene();
         }},
        {"IDirect3DDevice9::SetViewport", [&] { return d->SetViewport(&viewport); }},
        {"IDirect3DDevice9::GetViewport", [&] { return d->GetViewport(&viewport); }},
        {"IDirect3DDevice9::SetRenderState", [&] { return d->SetRenderState(D3DRS_ZENABLE, 0); }},
        {"IDirect3DDevice9::GetRenderState",
         [&] { return d->GetRenderState(D3DRS_ZENABLE, &value); }},
        {"IDirect3DDevice9::SetTexture", [&] { return d->SetTexture(0, system.get()); }},
        {"IDirect3DDevice9::GetTexture", [&] { return keep(d->GetTexture(0, &baseOut)); }},
        {"IDirect3DDevice9::SetTextureStageState",
         [&] { return d->SetTextureStageState(0, D3DTSS_COLOROP, 1); }},
        {"IDirect3DDevice9::GetTextureStageState",
         [&] { return d->GetTextureStageState(0, D3DTSS_COLOROP, &value); }},
        {"IDirect3DDevice9::SetSamplerState",
         [&] { return d->SetSamplerState(0, D3DSAMP_ADDRESSU, 2); }},
        {"IDirect3DDevice9::GetSamplerState",
         [&] { return d->GetSamplerState(0, D3DSAMP_ADDRESSU, &value); }},
        {"IDirect3DDevice9::ValidateDevice", [&] { return d->ValidateDevice(&value); }},
        {"IDirect3DDevice9::DrawPrimitive",
         [&] {
             EXPECT_EQ(d->BeginScene(), D3D_OK);
             const HRESULT hr = d->DrawPrimitive(D3DPT_TRIANGLESTRIP, 0, 2);
             EXPECT_EQ(d->EndScene(), D3D_OK);
             return hr;
         }},
        {"IDirect3DDevice9::CreateVertexDeclaration",
         [&] { return keep(d->CreateVertexDeclaration(elements, &declOut)); }},
        {"IDirect3DDevice9::SetVertexDeclaration",
         [&] { return d->SetVertexDeclaration(quadDeclaration_.get()); }},
        {"IDirect3DDevice9::GetVertexDeclaration",
         [&] { return keep(d->GetVertexDeclaration(&declOut)); }},
        {"IDirect3DDevice9::CreateVertexShader",
         [&] { return keep(d->CreateVertexShader(tokens.data(), &vsOut)); }},
        {"IDirect3DDevice9::SetVertexShader", [&] { return d->SetVertexShader(nullptr); }},
        {"IDirect3DDevice9::GetVertexShader", [&] { return keep(d->GetVertexShader(&vsOut)); }},
        {"IDirect3DDevice9::SetStreamSource",
         [&] { return d->SetStreamSource(0, quad_.get(), 0, 24); }},
        {"IDirect3DDevice9::GetStreamSource",
         [&] { return keep(d->GetStreamSource(0, &bufferOut, &offset, &stride)); }},
        {"IDirect3DDevice9::CreatePixelShader",
         [&] { return keep(d->CreatePixelShader(tokens.data(), &psOut)); }},
        {"IDirect3DDevice9::SetPixelShader", [&] { return d->SetPixelShader(shader.get()); }},
        {"IDirect3DDevice9::GetPixelShader", [&] { return keep(d->GetPixelShader(&psOut)); }},
        {"IDirect3DDevice9::SetPixelShaderConstantF",
         [&] { return d->SetPixelShaderConstantF(0, f, 1); }},
        {"IDirect3DDevice9::GetPixelShaderConstantF",
         [&] { return d->GetPixelShaderConstantF(0, f, 1); }},
        {"IDirect3DDevice9::SetPixelShaderConstantI",
         [&] { return d->SetPixelShaderConstantI(0, i, 1); }},
        {"IDirect3DDevice9::GetPixelShaderConstantI",
         [&] { return d->GetPixelShaderConstantI(0, i, 1); }},
        {"IDirect3DDevice9::SetPixelShaderConstantB",
         [&] { return d->SetPixelShaderConstantB(0, &b, 1); }},
        {"IDirect3DDevice9::GetPixelShaderConstantB",
         [&] { return d->GetPixelShaderConstantB(0, &b, 1); }},
        {"IDirect3DTexture9::GetDevice", [&] { return keep(system->GetDevice(&deviceOut)); }},
        {"IDirect3DTexture9::GetLevelDesc", [&] { return system->GetLevelDesc(0, &desc); }},
        {"IDirect3DTexture9::GetSurfaceLevel",
         [&] { return keep(system->GetSurfaceLevel(0, &surfaceOut)); }},
        // Locks are undone, and unlocks redone, so the next call finds the same state. (An
        // unlock ends its lock even when it is planned to fail.)
        {"IDirect3DTexture9::LockRect",
         [&] {
             const HRESULT hr = system->LockRect(0, &lr, nullptr, 0);
             if (SUCCEEDED(hr)) system->UnlockRect(0);
             return hr;
         }},
        {"IDirect3DTexture9::UnlockRect",
         [&] {
             const HRESULT hr = locked->UnlockRect(0);
             EXPECT_EQ(locked->LockRect(0, &lr, nullptr, 0), D3D_OK);
             return hr;
         }},
        {"IDirect3DTexture9::AddDirtyRect", [&] { return system->AddDirtyRect(nullptr); }},
        {"IDirect3DSurface9::GetDevice", [&] { return keep(staging->GetDevice(&deviceOut)); }},
        {"IDirect3DSurface9::GetContainer",
         [&] { return keep(rt->GetContainer(IID_IDirect3DTexture9, &voidOut)); }},
        {"IDirect3DSurface9::GetDesc", [&] { return staging->GetDesc(&desc); }},
        {"IDirect3DSurface9::LockRect",
         [&] {
             const HRESULT hr = staging->LockRect(&lr, nullptr, 0);
             if (SUCCEEDED(hr)) staging->UnlockRect();
             return hr;
         }},
        {"IDirect3DSurface9::UnlockRect",
         [&] {
             const HRESULT hr = lockedSurface->UnlockRect();
             EXPECT_EQ(lockedSurface->LockRect(&lr, nullptr, 0), D3D_OK);
             return hr;
         }},
        {"IDirect3DVertexBuffer9::GetDevice", [&] { return keep(quad_->GetDevice(&deviceOut)); }},
        {"IDirect3DVertexBuffer9::Lock",
         [&] {
             const HRESULT hr = quad_->Lock(0, 0, &data, 0);
             if (SUCCEEDED(hr)) quad_->Unlock();
             return hr;
         }},
        {"IDirect3DVertexBuffer9::Unlock",
         [&] {
             const HRESULT hr = quad_->Unlock();
             EXPECT_EQ(quad_->Lock(0, 0, &data, 0), D3D_OK);
             return hr;
         }},
        {"IDirect3DVertexBuffer9::GetDesc", [&] { return quad_->GetDesc(&bufferDesc); }},
        {"IDirect3DVertexDeclaration9::GetDevice",
         [&] { return keep(quadDeclaration_->GetDevice(&deviceOut)); }},
        {"IDirect3DVertexDeclaration9::GetDeclaration",
         [&] { return quadDeclaration_->GetDeclaration(nullptr, &count); }},
        {"IDirect3DPixelShader9::GetDevice", [&] { return keep(shader->GetDevice(&deviceOut)); }},
        {"IDirect3DPixelShader9::GetFunction",
         [&] {
             count = static_cast<UINT>(scratch.size());
             return shader->GetFunction(scratch.data(), &count);
         }},
    };

    const HRESULT planned = MAKE_D3DHRESULT(0x123);
    for (const Call& c : calls) {
        hooks::reset();
        const HRESULT normal = c.call();
        if (std::string(c.name) != "IDirect3DDevice9::CreateVertexShader") {
            EXPECT_EQ(normal, D3D_OK) << c.name << " fails without a plan";
        }
        EXPECT_EQ(hooks::callCount(c.name), 1) << c.name;
        hooks::failCall(c.name, 1, planned);
        EXPECT_EQ(c.call(), planned) << c.name;
    }
    hooks::reset();
    EXPECT_EQ(locked->UnlockRect(0), D3D_OK);
    EXPECT_EQ(lockedSurface->UnlockRect(), D3D_OK);
    EXPECT_EQ(quad_->Unlock(), D3D_OK);
    EXPECT_EQ(quad_->Unlock(), D3DERR_INVALIDCALL);
}

TEST_F(FaultPlanTest, FailedCreationsClearTheirOutput) {
    hooks::failCall("IDirect3DDevice9::CreateTexture", 1, E_OUTOFMEMORY);
    IDirect3DTexture9* texture = reinterpret_cast<IDirect3DTexture9*>(uintptr_t{0xBAD});
    EXPECT_EQ(device_->CreateTexture(4, 4, 1, 0, kSigned, D3DPOOL_DEFAULT, &texture, nullptr),
              E_OUTOFMEMORY);
    EXPECT_EQ(texture, nullptr);
    hooks::failCall("Direct3DCreate9", 1, E_FAIL);
    EXPECT_EQ(Direct3DCreate9(D3D_SDK_VERSION), nullptr);
    hooks::failCall("IDirect3DDevice9::DrawPrimitive", 2, E_FAIL, true);
    EXPECT_EQ(hooks::callCount("IDirect3DDevice9::DrawPrimitive"), 0);
}

// A planned failure of a call that ends a scene or a lock still ends it, as Direct3D 9 never
// leaves one open behind a failed call; a caller that ignores the result carries on normally, and
// the planned call is the only failure. A planned failure of a call that opens one opens nothing.
TEST_F(FaultPlanTest, PlannedFailuresStillEndScenesAndLocksButOpenNothing) {
    Ref<IDirect3DTexture9> texture = makeTexture(4, 4, 0, kUnsigned, D3DPOOL_SYSTEMMEM);
    Ref<IDirect3DSurface9> surface = makeSurface(4, 4, kUnsigned);
    bindQuad(4, 4);
    D3DLOCKED_RECT lr;
    void* data = nullptr;
    hooks::reset();
    hooks::failCall("IDirect3DDevice9::EndScene", 1, E_FAIL);
    hooks::failCall("IDirect3DSurface9::UnlockRect", 1, E_FAIL);
    hooks::failCall("IDirect3DTexture9::UnlockRect", 1, E_FAIL);
    hooks::failCall("IDirect3DVertexBuffer9::Unlock", 1, E_FAIL);

    ASSERT_EQ(device_->BeginScene(), D3D_OK);
    EXPECT_EQ(device_->EndScene(), E_FAIL);
    EXPECT_EQ(device_->BeginScene(), D3D_OK);
    EXPECT_EQ(device_->EndScene(), D3D_OK);
    ASSERT_EQ(surface->LockRect(&lr, nullptr, 0), D3D_OK);
    EXPECT_EQ(surface->UnlockRect(), E_FAIL);
    EXPECT_EQ(surface->LockRect(&lr, nullptr, 0), D3D_OK);
    EXPECT_EQ(surface->UnlockRect(), D3D_OK);
    ASSERT_EQ(texture->LockRect(0, &lr, nullptr, 0), D3D_OK);
    EXPECT_EQ(texture->UnlockRect(0), E_FAIL);
    EXPECT_EQ(texture->LockRect(0, &lr, nullptr, 0), D3D_OK);
    EXPECT_EQ(texture->UnlockRect(0), D3D_OK);
    // Buffer locks nest: the failed unlock ended one of two.
    ASSERT_EQ(quad_->Lock(0, 0, &data, 0), D3D_OK);
    ASSERT_EQ(quad_->Lock(0, 0, &data, 0), D3D_OK);
    EXPECT_EQ(quad_->Unlock(), E_FAIL);
    EXPECT_EQ(quad_->Unlock(), D3D_OK);
    EXPECT_EQ(hooks::failedCalls(),
              (FailedCalls{planned("IDirect3DDevice9::EndScene", E_FAIL),
                           planned("IDirect3DSurface9::UnlockRect", E_FAIL),
                           planned("IDirect3DTexture9::UnlockRect", E_FAIL),
                           planned("IDirect3DVertexBuffer9::Unlock", E_FAIL)}));

    hooks::reset();
    hooks::failCall("IDirect3DDevice9::BeginScene", 1, E_FAIL);
    hooks::failCall("IDirect3DSurface9::LockRect", 1, E_FAIL);
    hooks::failCall("IDirect3DVertexBuffer9::Lock", 1, E_FAIL);
    EXPECT_EQ(device_->BeginScene(), E_FAIL);
    EXPECT_EQ(device_->EndScene(), D3DERR_INVALIDCALL);
    EXPECT_EQ(surface->LockRect(&lr, nullptr, 0), E_FAIL);
    EXPECT_EQ(surface->UnlockRect(), D3DERR_INVALIDCALL);
    EXPECT_EQ(quad_->Lock(0, 0, &data, 0), E_FAIL);
    EXPECT_EQ(quad_->Unlock(), D3DERR_INVALIDCALL);
    EXPECT_EQ(hooks::failedCalls(),
              (FailedCalls{planned("IDirect3DDevice9::BeginScene", E_FAIL),
                           genuine("IDirect3DDevice9::EndScene", D3DERR_INVALIDCALL),
                           planned("IDirect3DSurface9::LockRect", E_FAIL),
                           genuine("IDirect3DSurface9::UnlockRect", D3DERR_INVALIDCALL),
                           planned("IDirect3DVertexBuffer9::Lock", E_FAIL),
                           genuine("IDirect3DVertexBuffer9::Unlock", D3DERR_INVALIDCALL)}));
}

} // namespace
} // namespace kestrin::platform::d3d9::test
