// Device loss and Reset: the cooperative-level script, Reset refused while default-pool objects
// live, what survives a reset and what a reset puts back to its default.
#include "tests/platform_d3d9/d3d9_fixture.h"

namespace kestrin::platform::d3d9::test {
namespace {

using ResetTest = D3D9Test;

TEST_F(ResetTest, RefusedWhileDefaultPoolObjectsLive) {
    D3DPRESENT_PARAMETERS pp = presentParameters();
    {
        Ref<IDirect3DTexture9> texture = makeTexture(8, 8, D3DUSAGE_RENDERTARGET, kSigned);
        Ref<IDirect3DVertexBuffer9> buffer;
        ASSERT_EQ(device_->CreateVertexBuffer(96, 0, 0, D3DPOOL_DEFAULT, buffer.put(), nullptr),
                  D3D_OK);
        Ref<IDirect3DSurface9> plain = makeSurface(8, 8, kSigned, D3DPOOL_DEFAULT);
        EXPECT_EQ(observe::defaultPoolObjects(device_.get()), 3);
        EXPECT_EQ(device_->Reset(&pp), D3DERR_INVALIDCALL);
        EXPECT_EQ(device_->TestCooperativeLevel(), D3DERR_DEVICENOTRESET);
        texture.reset();
        buffer.reset();
        EXPECT_EQ(device_->Reset(&pp), D3DERR_INVALIDCALL); // the surface still lives
        EXPECT_EQ(device_->TestCooperativeLevel(), D3DERR_DEVICENOTRESET);
    }
    EXPECT_EQ(observe::defaultPoolObjects(device_.get()), 0);
    EXPECT_EQ(device_->Reset(&pp), D3D_OK);
    EXPECT_EQ(device_->TestCooperativeLevel(), D3D_OK);
    // Reset fills in what was left to it.
    EXPECT_EQ(pp.BackBufferFormat, D3DFMT_X8R8G8B8);
    EXPECT_EQ(pp.BackBufferCount, 1u);
}

TEST_F(ResetTest, BoundObjectsTheApplicationReleasedDoNotBlockIt) {
    Ref<IDirect3DTexture9> target = makeTexture(8, 8, D3DUSAGE_RENDERTARGET, kSigned);
    Ref<IDirect3DTexture9> source = makeTexture(8, 8, 0, kSigned);
    ASSERT_EQ(device_->SetRenderTarget(0, levelOf(target.get()).get()), D3D_OK);
    ASSERT_EQ(device_->SetTexture(0, source.get()), D3D_OK);
    target.reset();
    source.reset();
    D3DPRESENT_PARAMETERS pp = presentParameters();
    EXPECT_EQ(device_->Reset(&pp), D3D_OK);
    EXPECT_EQ(observe::defaultPoolObjects(device_.get()), 0);
}

// The back buffer: one, of the presentation's size; the application that holds it keeps a reset
// from happening, like any default-pool surface; a reset brings a new one, of the new size, as
// render target 0. Making it the target again lets go of a released texture target; drawing
// into it is refused (its format is not one this device renders).
TEST_F(ResetTest, BackBufferFollowsThePresentationAndBlocksAResetWhileHeld) {
    EXPECT_EQ(device_->GetBackBuffer(1, 0, D3DBACKBUFFER_TYPE_MONO, nullptr), D3DERR_INVALIDCALL);
    IDirect3DSurface9* none = reinterpret_cast<IDirect3DSurface9*>(uintptr_t{1});
    EXPECT_EQ(device_->GetBackBuffer(0, 1, D3DBACKBUFFER_TYPE_MONO, &none), D3DERR_INVALIDCALL);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(device_->GetBackBuffer(0, 0, D3DBACKBUFFER_TYPE_LEFT, &none), D3DERR_INVALIDCALL);

    Ref<IDirect3DSurface9> back;
    ASSERT_EQ(device_->GetBackBuffer(0, 0, D3DBACKBUFFER_TYPE_MONO, back.put()), D3D_OK);
    D3DSURFACE_DESC desc{};
    ASSERT_EQ(back->GetDesc(&desc), D3D_OK);
    EXPECT_EQ(desc.Format, D3DFMT_X8R8G8B8);
    D3DLOCKED_RECT locked{};
    EXPECT_EQ(back->LockRect(&locked, nullptr, 0), D3DERR_INVALIDCALL); // not lockable

    Ref<IDirect3DPixelShader9> shader = makeShader(assembleProgram("ps_3_0\nmov oC0, c0\n"));
    ASSERT_EQ(device_->SetPixelShader(shader.get()), D3D_OK);
    bindQuad(8, 8);
    const int live = hooks::liveObjects();
    {
        Ref<IDirect3DTexture9> target = makeTexture(8, 8, D3DUSAGE_RENDERTARGET, kSigned);
        drawQuadInto(target.get(), 8, 8);
        ASSERT_EQ(device_->SetRenderTarget(0, back.get()), D3D_OK);
        ASSERT_EQ(device_->BeginScene(), D3D_OK);
        EXPECT_EQ(device_->DrawPrimitive(D3DPT_TRIANGLESTRIP, 0, 2), D3DERR_INVALIDCALL);
        ASSERT_EQ(device_->EndScene(), D3D_OK);
    }
    EXPECT_EQ(hooks::liveObjects(), live); // the released target went with its binding
    quad_.reset();
    ASSERT_EQ(device_->SetStreamSource(0, nullptr, 0, 0), D3D_OK);
    EXPECT_EQ(observe::defaultPoolObjects(device_.get()), 0);

    D3DPRESENT_PARAMETERS pp = presentParameters();
    pp.BackBufferWidth = 320;
    pp.BackBufferHeight = 200;
    EXPECT_EQ(device_->Reset(&pp), D3DERR_INVALIDCALL);
    back.reset();
    ASSERT_EQ(device_->Reset(&pp), D3D_OK);
    ASSERT_EQ(device_->GetBackBuffer(0, 0, D3DBACKBUFFER_TYPE_MONO, back.put()), D3D_OK);
    ASSERT_EQ(back->GetDesc(&desc), D3D_OK);
    EXPECT_EQ(desc.Width, 320u);
    EXPECT_EQ(desc.Height, 200u);
    Ref<IDirect3DSurface9> target;
    ASSERT_EQ(device_->GetRenderTarget(0, target.put()), D3D_OK);
    EXPECT_EQ(target.get(), back.get());
}

TEST_F(ResetTest, SystemMemoryDeclarationsAndShadersSurvive) {
    Ref<IDirect3DSurface9> transfer = makeSurface(5, 3, kUnsigned);
    const model::TexelImage image = randomImage(5, 3, 7);
    writeSurface(transfer.get(), image);
    bindQuad(5, 3);
    quad_.reset(); // default pool
    Ref<IDirect3DPixelShader9> shader = makeShader(assembleProgram("ps_3_0\nmov oC0, c0\n"));
    D3DPRESENT_PARAMETERS pp = presentParameters();
    ASSERT_EQ(device_->Reset(&pp), D3D_OK);
    EXPECT_EQ(readSurface(transfer.get()).texels, image.texels);
    // Still usable after the reset.
    ASSERT_EQ(device_->SetVertexDeclaration(quadDeclaration_.get()), D3D_OK);
    ASSERT_EQ(device_->SetPixelShader(shader.get()), D3D_OK);
}

TEST_F(ResetTest, ResetPutsStateBackToDefaults) {
    Ref<IDirect3DTexture9> target = makeTexture(8, 8, D3DUSAGE_RENDERTARGET, kSigned);
    Ref<IDirect3DPixelShader9> shader = makeShader(assembleProgram("ps_3_0\nmov oC0, c0\n"));
    ASSERT_EQ(device_->SetRenderTarget(0, levelOf(target.get()).get()), D3D_OK);
    ASSERT_EQ(device_->SetTexture(2, target.get()), D3D_OK);
    ASSERT_EQ(device_->SetPixelShader(shader.get()), D3D_OK);
    ASSERT_EQ(device_->SetRenderState(D3DRS_ZENABLE, TRUE), D3D_OK);
    ASSERT_EQ(device_->SetSamplerState(2, D3DSAMP_ADDRESSU, D3DTADDRESS_MIRROR), D3D_OK);
    const float c[4] = {1, 2, 3, 4};
    ASSERT_EQ(device_->SetPixelShaderConstantF(5, c, 1), D3D_OK);
    ASSERT_EQ(device_->BeginScene(), D3D_OK);
    target.reset();

    D3DPRESENT_PARAMETERS pp = presentParameters();
    ASSERT_EQ(device_->Reset(&pp), D3D_OK);
    // Render target 0 is the back buffer again.
    {
        Ref<IDirect3DSurface9> rt, backBuffer;
        ASSERT_EQ(device_->GetRenderTarget(0, rt.put()), D3D_OK);
        ASSERT_EQ(device_->GetBackBuffer(0, 0, D3DBACKBUFFER_TYPE_MONO, backBuffer.put()), D3D_OK);
        EXPECT_EQ(rt.get(), backBuffer.get());
    }
    IDirect3DBaseTexture9* t = nullptr;
    ASSERT_EQ(device_->GetTexture(2, &t), D3D_OK);
    EXPECT_EQ(t, nullptr);
    IDirect3DPixelShader9* ps = nullptr;
    ASSERT_EQ(device_->GetPixelShader(&ps), D3D_OK);
    EXPECT_EQ(ps, nullptr);
    DWORD value = 0;
    ASSERT_EQ(device_->GetRenderState(D3DRS_ZENABLE, &value), D3D_OK);
    EXPECT_EQ(value, DWORD{D3DZB_FALSE});
    ASSERT_EQ(device_->GetSamplerState(2, D3DSAMP_ADDRESSU, &value), D3D_OK);
    EXPECT_EQ(value, DWORD{D3DTADDRESS_WRAP});
    float back[4] = {9, 9, 9, 9};
    ASSERT_EQ(device_->GetPixelShaderConstantF(5, back, 1), D3D_OK);
    EXPECT_EQ(back[0], 0.0f);
    EXPECT_EQ(device_->BeginScene(), D3D_OK); // the reset ended the scene
    EXPECT_EQ(device_->EndScene(), D3D_OK);

    // An automatic depth buffer makes ZENABLE default to TRUE.
    pp = presentParameters();
    pp.EnableAutoDepthStencil = TRUE;
    pp.AutoDepthStencilFormat = D3DFMT_D24S8;
    ASSERT_EQ(device_->Reset(&pp), D3D_OK);
    ASSERT_EQ(device_->GetRenderState(D3DRS_ZENABLE, &value), D3D_OK);
    EXPECT_EQ(value, DWORD{D3DZB_TRUE});
}

TEST_F(ResetTest, CooperativeLevelFollowsTheScript) {
    hooks::scriptCooperativeLevel({D3DERR_DEVICELOST, D3DERR_DEVICELOST, D3DERR_DEVICENOTRESET});
    D3DPRESENT_PARAMETERS pp = presentParameters();
    EXPECT_EQ(device_->TestCooperativeLevel(), D3DERR_DEVICELOST);
    EXPECT_EQ(device_->Reset(&pp), D3DERR_DEVICELOST); // too early
    EXPECT_EQ(device_->TestCooperativeLevel(), D3DERR_DEVICELOST);
    EXPECT_EQ(device_->TestCooperativeLevel(), D3DERR_DEVICENOTRESET);
    // NOTRESET holds until a reset succeeds, however long the script is.
    EXPECT_EQ(device_->TestCooperativeLevel(), D3DERR_DEVICENOTRESET);
    EXPECT_EQ(device_->TestCooperativeLevel(), D3DERR_DEVICENOTRESET);
    ASSERT_EQ(device_->Reset(&pp), D3D_OK);
    EXPECT_EQ(device_->TestCooperativeLevel(), D3D_OK);
    EXPECT_EQ(device_->TestCooperativeLevel(), D3D_OK);

    // A lost device the script lets go of is fine again.
    hooks::scriptCooperativeLevel({D3DERR_DEVICELOST});
    EXPECT_EQ(device_->TestCooperativeLevel(), D3DERR_DEVICELOST);
    EXPECT_EQ(device_->TestCooperativeLevel(), D3D_OK);
}

TEST_F(ResetTest, FailedResetLeavesTheDeviceWaitingForOne) {
    D3DPRESENT_PARAMETERS pp = presentParameters();
    hooks::failCall("IDirect3DDevice9::Reset", 1, E_OUTOFMEMORY);
    EXPECT_EQ(device_->Reset(&pp), E_OUTOFMEMORY);
    EXPECT_EQ(device_->TestCooperativeLevel(), D3DERR_DEVICENOTRESET);
    pp.Windowed = FALSE;
    EXPECT_EQ(device_->Reset(&pp), D3DERR_INVALIDCALL);
    EXPECT_EQ(device_->Reset(nullptr), D3DERR_INVALIDCALL);
    EXPECT_EQ(device_->TestCooperativeLevel(), D3DERR_DEVICENOTRESET);
    pp = presentParameters();
    EXPECT_EQ(device_->Reset(&pp), D3D_OK);
    EXPECT_EQ(device_->TestCooperativeLevel(), D3D_OK);
}

TEST_F(ResetTest, LostDeviceDrawsNothingAndReadsNothingBack) {
    Ref<IDirect3DTexture9> target = makeTexture(4, 4, D3DUSAGE_RENDERTARGET, kUnsigned);
    upload(target.get(), model::TexelImage(4, 4), kUnsigned);
    Ref<IDirect3DPixelShader9> shader = makeShader(assembleProgram("ps_3_0\nmov oC0, c0\n"));
    ASSERT_EQ(device_->SetPixelShader(shader.get()), D3D_OK);
    const float one[4] = {1, 1, 1, 1};
    ASSERT_EQ(device_->SetPixelShaderConstantF(0, one, 1), D3D_OK);

    hooks::scriptCooperativeLevel({D3DERR_DEVICELOST});
    ASSERT_EQ(device_->TestCooperativeLevel(), D3DERR_DEVICELOST);
    drawQuadInto(target.get(), 4, 4); // succeeds, draws nothing
    Ref<IDirect3DSurface9> staging = makeSurface(4, 4, kUnsigned);
    EXPECT_EQ(device_->GetRenderTargetData(levelOf(target.get()).get(), staging.get()),
              D3DERR_DEVICELOST);

    ASSERT_EQ(device_->TestCooperativeLevel(), D3D_OK);
    const model::TexelImage after = download(target.get(), kUnsigned);
    for (const auto& t : after.texels) EXPECT_EQ(t, (model::Texel{0, 0, 0, 0}));
}

} // namespace
} // namespace kestrin::platform::d3d9::test
