// State the device stores and hands back: defaults, round trips, ranges, the render target and
// its viewport, and scenes.
#include <algorithm>

#include "tests/platform_d3d9/d3d9_fixture.h"

namespace kestrin::platform::d3d9::test {
namespace {

using StateTest = D3D9Test;

TEST_F(StateTest, RenderStatesHaveDefaultsAndRoundTrip) {
    const std::pair<D3DRENDERSTATETYPE, DWORD> defaults[] = {
        {D3DRS_ZENABLE, D3DZB_FALSE},    {D3DRS_CULLMODE, D3DCULL_CCW},
        {D3DRS_FILLMODE, D3DFILL_SOLID}, {D3DRS_COLORWRITEENABLE, 0xF},
        {D3DRS_LIGHTING, TRUE},          {D3DRS_FOGEND, 0x3F800000},
        {D3DRS_SRCBLEND, D3DBLEND_ONE},  {D3DRS_STENCILMASK, 0xFFFFFFFF},
    };
    for (const auto& [state, value] : defaults) {
        DWORD v = 0xBAD;
        ASSERT_EQ(device_->GetRenderState(state, &v), D3D_OK) << state;
        EXPECT_EQ(v, value) << state;
    }
    ASSERT_EQ(device_->SetRenderState(D3DRS_ZENABLE, D3DZB_TRUE), D3D_OK);
    DWORD v = 0;
    ASSERT_EQ(device_->GetRenderState(D3DRS_ZENABLE, &v), D3D_OK);
    EXPECT_EQ(v, DWORD{D3DZB_TRUE});
    for (DWORD unknown : {0u, 17u, 138u, 210u, 100000u}) {
        EXPECT_EQ(device_->SetRenderState(static_cast<D3DRENDERSTATETYPE>(unknown), 1),
                  D3DERR_INVALIDCALL)
            << unknown;
        EXPECT_EQ(device_->GetRenderState(static_cast<D3DRENDERSTATETYPE>(unknown), &v),
                  D3DERR_INVALIDCALL)
            << unknown;
    }
    EXPECT_EQ(device_->GetRenderState(D3DRS_ZENABLE, nullptr), D3DERR_INVALIDCALL);
}

TEST_F(StateTest, SamplerAndStageStates) {
    DWORD v = 0;
    ASSERT_EQ(device_->GetSamplerState(0, D3DSAMP_ADDRESSU, &v), D3D_OK);
    EXPECT_EQ(v, DWORD{D3DTADDRESS_WRAP});
    ASSERT_EQ(device_->GetSamplerState(15, D3DSAMP_MAGFILTER, &v), D3D_OK);
    EXPECT_EQ(v, DWORD{D3DTEXF_POINT});
    ASSERT_EQ(device_->GetSamplerState(1, D3DSAMP_MAXANISOTROPY, &v), D3D_OK);
    EXPECT_EQ(v, 1u);
    ASSERT_EQ(device_->SetSamplerState(1, D3DSAMP_ADDRESSV, D3DTADDRESS_MIRROR), D3D_OK);
    ASSERT_EQ(device_->GetSamplerState(1, D3DSAMP_ADDRESSV, &v), D3D_OK);
    EXPECT_EQ(v, DWORD{D3DTADDRESS_MIRROR});
    ASSERT_EQ(device_->GetSamplerState(0, D3DSAMP_ADDRESSV, &v), D3D_OK);
    EXPECT_EQ(v, DWORD{D3DTADDRESS_WRAP}); // other samplers untouched
    EXPECT_EQ(device_->SetSamplerState(D3DVERTEXTEXTURESAMPLER0, D3DSAMP_MINFILTER, 2), D3D_OK);
    EXPECT_EQ(device_->SetSamplerState(16, D3DSAMP_ADDRESSU, 1), D3DERR_INVALIDCALL);
    EXPECT_EQ(device_->SetSamplerState(0, static_cast<D3DSAMPLERSTATETYPE>(0), 1),
              D3DERR_INVALIDCALL);
    EXPECT_EQ(device_->SetSamplerState(0, static_cast<D3DSAMPLERSTATETYPE>(14), 1),
              D3DERR_INVALIDCALL);

    ASSERT_EQ(device_->GetTextureStageState(0, D3DTSS_COLOROP, &v), D3D_OK);
    EXPECT_EQ(v, DWORD{D3DTOP_MODULATE});
    ASSERT_EQ(device_->GetTextureStageState(3, D3DTSS_COLOROP, &v), D3D_OK);
    EXPECT_EQ(v, DWORD{D3DTOP_DISABLE});
    ASSERT_EQ(device_->GetTextureStageState(3, D3DTSS_TEXCOORDINDEX, &v), D3D_OK);
    EXPECT_EQ(v, 3u);
    ASSERT_EQ(device_->SetTextureStageState(3, D3DTSS_ALPHAOP, D3DTOP_SELECTARG2), D3D_OK);
    ASSERT_EQ(device_->GetTextureStageState(3, D3DTSS_ALPHAOP, &v), D3D_OK);
    EXPECT_EQ(v, DWORD{D3DTOP_SELECTARG2});
    EXPECT_EQ(device_->SetTextureStageState(8, D3DTSS_COLOROP, 1), D3DERR_INVALIDCALL);
    EXPECT_EQ(device_->SetTextureStageState(0, static_cast<D3DTEXTURESTAGESTATETYPE>(12), 1),
              D3DERR_INVALIDCALL);
}

TEST_F(StateTest, BindingsRoundTripWithAReference) {
    Ref<IDirect3DTexture9> texture = makeTexture(4, 4, 0, kSigned);
    ASSERT_EQ(device_->SetTexture(5, texture.get()), D3D_OK);
    Ref<IDirect3DBaseTexture9> back;
    ASSERT_EQ(device_->GetTexture(5, back.put()), D3D_OK);
    EXPECT_EQ(back.get(), texture.get());
    EXPECT_EQ(texture->AddRef(), 3u); // the test's two and this one
    texture->Release();
    ASSERT_EQ(device_->GetTexture(4, back.put()), D3D_OK);
    EXPECT_EQ(back.get(), nullptr);
    ASSERT_EQ(device_->SetTexture(5, nullptr), D3D_OK);
    ASSERT_EQ(device_->GetTexture(5, back.put()), D3D_OK);
    EXPECT_EQ(back.get(), nullptr);
    EXPECT_EQ(device_->SetTexture(16, texture.get()), D3DERR_INVALIDCALL);
    EXPECT_EQ(device_->GetTexture(5, nullptr), D3DERR_INVALIDCALL);

    Ref<IDirect3DVertexBuffer9> buffer;
    ASSERT_EQ(device_->CreateVertexBuffer(64, 0, 0, D3DPOOL_DEFAULT, buffer.put(), nullptr),
              D3D_OK);
    ASSERT_EQ(device_->SetStreamSource(1, buffer.get(), 8, 24), D3D_OK);
    Ref<IDirect3DVertexBuffer9> stream;
    UINT offset = 0, stride = 0;
    ASSERT_EQ(device_->GetStreamSource(1, stream.put(), &offset, &stride), D3D_OK);
    EXPECT_EQ(stream.get(), buffer.get());
    EXPECT_EQ(offset, 8u);
    EXPECT_EQ(stride, 24u);
    ASSERT_EQ(device_->SetStreamSource(1, nullptr, 0, 24), D3D_OK);
    ASSERT_EQ(device_->GetStreamSource(1, stream.put(), &offset, &stride), D3D_OK);
    EXPECT_EQ(stream.get(), nullptr);
    EXPECT_EQ(stride, 24u);
    EXPECT_EQ(device_->SetStreamSource(16, buffer.get(), 0, 24), D3DERR_INVALIDCALL);
    EXPECT_EQ(device_->SetStreamSource(0, buffer.get(), 2, 24), D3DERR_INVALIDCALL);

    Ref<IDirect3DPixelShader9> shader = makeShader(assembleProgram("ps_3_0\nmov oC0, c0\n"));
    ASSERT_EQ(device_->SetPixelShader(shader.get()), D3D_OK);
    Ref<IDirect3DPixelShader9> shaderBack;
    ASSERT_EQ(device_->GetPixelShader(shaderBack.put()), D3D_OK);
    EXPECT_EQ(shaderBack.get(), shader.get());

    const D3DVERTEXELEMENT9 elements[] = {
        {0, 0, D3DDECLTYPE_FLOAT4, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_POSITIONT, 0},
        D3DDECL_END()};
    Ref<IDirect3DVertexDeclaration9> declaration;
    ASSERT_EQ(device_->CreateVertexDeclaration(elements, declaration.put()), D3D_OK);
    ASSERT_EQ(device_->SetVertexDeclaration(declaration.get()), D3D_OK);
    Ref<IDirect3DVertexDeclaration9> declarationBack;
    ASSERT_EQ(device_->GetVertexDeclaration(declarationBack.put()), D3D_OK);
    EXPECT_EQ(declarationBack.get(), declaration.get());
    D3DVERTEXELEMENT9 read[2];
    UINT count = 0;
    ASSERT_EQ(declaration->GetDeclaration(nullptr, &count), D3D_OK);
    EXPECT_EQ(count, 2u);
    ASSERT_EQ(declaration->GetDeclaration(read, &count), D3D_OK);
    EXPECT_EQ(read[0].Usage, D3DDECLUSAGE_POSITIONT);
    EXPECT_EQ(read[1].Stream, 0xFF);

    // Vertex shaders: only none.
    EXPECT_EQ(device_->SetVertexShader(nullptr), D3D_OK);
    IDirect3DVertexShader9* vs = reinterpret_cast<IDirect3DVertexShader9*>(shader.get());
    EXPECT_EQ(device_->SetVertexShader(vs), D3DERR_INVALIDCALL);
    ASSERT_EQ(device_->GetVertexShader(&vs), D3D_OK);
    EXPECT_EQ(vs, nullptr);
}

TEST_F(StateTest, PixelShaderConstants) {
    const float f[8] = {1.5f, -2.0f, 3.25f, 4.0f, 5.0f, 6.0f, 7.0f, 8.0f};
    ASSERT_EQ(device_->SetPixelShaderConstantF(222, f, 2), D3D_OK);
    float fb[8] = {};
    ASSERT_EQ(device_->GetPixelShaderConstantF(222, fb, 2), D3D_OK);
    EXPECT_TRUE(std::equal(f, f + 8, fb));
    EXPECT_EQ(device_->SetPixelShaderConstantF(223, f, 2), D3DERR_INVALIDCALL);
    EXPECT_EQ(device_->SetPixelShaderConstantF(0, nullptr, 1), D3DERR_INVALIDCALL);
    EXPECT_EQ(device_->GetPixelShaderConstantF(0xFFFFFFFF, fb, 2), D3DERR_INVALIDCALL);

    const int i[4] = {7, 0, 1, 0};
    ASSERT_EQ(device_->SetPixelShaderConstantI(15, i, 1), D3D_OK);
    int ib[4] = {};
    ASSERT_EQ(device_->GetPixelShaderConstantI(15, ib, 1), D3D_OK);
    EXPECT_TRUE(std::equal(i, i + 4, ib));
    EXPECT_EQ(device_->SetPixelShaderConstantI(16, i, 1), D3DERR_INVALIDCALL);

    const BOOL b[2] = {TRUE, FALSE};
    ASSERT_EQ(device_->SetPixelShaderConstantB(14, b, 2), D3D_OK);
    BOOL bb[2] = {FALSE, TRUE};
    ASSERT_EQ(device_->GetPixelShaderConstantB(14, bb, 2), D3D_OK);
    EXPECT_EQ(bb[0], TRUE);
    EXPECT_EQ(bb[1], FALSE);
    EXPECT_EQ(device_->SetPixelShaderConstantB(15, b, 2), D3DERR_INVALIDCALL);
}

TEST_F(StateTest, RenderTargetAndViewport) {
    // A new device renders into its back buffer, with a viewport covering it.
    Ref<IDirect3DSurface9> backBuffer, rt;
    ASSERT_EQ(device_->GetBackBuffer(0, 0, D3DBACKBUFFER_TYPE_MONO, backBuffer.put()), D3D_OK);
    ASSERT_EQ(device_->GetRenderTarget(0, rt.put()), D3D_OK);
    EXPECT_EQ(rt.get(), backBuffer.get());
    D3DSURFACE_DESC desc{};
    ASSERT_EQ(backBuffer->GetDesc(&desc), D3D_OK);
    EXPECT_EQ(desc.Usage, DWORD{D3DUSAGE_RENDERTARGET});
    EXPECT_EQ(desc.Pool, D3DPOOL_DEFAULT);
    D3DVIEWPORT9 initial{};
    ASSERT_EQ(device_->GetViewport(&initial), D3D_OK);
    EXPECT_EQ(initial.Width, desc.Width);
    EXPECT_EQ(initial.Height, desc.Height);

    Ref<IDirect3DTexture9> target = makeTexture(20, 10, D3DUSAGE_RENDERTARGET, kSigned);
    Ref<IDirect3DTexture9> plain = makeTexture(20, 10, 0, kSigned);
    Ref<IDirect3DSurface9> level = levelOf(target.get());
    EXPECT_EQ(device_->SetRenderTarget(1, level.get()), D3DERR_INVALIDCALL);
    EXPECT_EQ(device_->SetRenderTarget(0, nullptr), D3DERR_INVALIDCALL);
    EXPECT_EQ(device_->SetRenderTarget(0, levelOf(plain.get()).get()), D3DERR_INVALIDCALL);
    EXPECT_EQ(device_->SetRenderTarget(0, makeSurface(20, 10, kSigned).get()), D3DERR_INVALIDCALL);

    const D3DVIEWPORT9 small{1, 2, 3, 4, 0.0f, 1.0f};
    ASSERT_EQ(device_->SetViewport(&small), D3D_OK);
    ASSERT_EQ(device_->SetRenderTarget(0, level.get()), D3D_OK);
    D3DVIEWPORT9 vp{};
    ASSERT_EQ(device_->GetViewport(&vp), D3D_OK);
    EXPECT_EQ(vp.X, 0u);
    EXPECT_EQ(vp.Y, 0u);
    EXPECT_EQ(vp.Width, 20u);
    EXPECT_EQ(vp.Height, 10u);
    EXPECT_EQ(vp.MaxZ, 1.0f);

    Ref<IDirect3DSurface9> back;
    ASSERT_EQ(device_->GetRenderTarget(0, back.put()), D3D_OK);
    EXPECT_EQ(back.get(), level.get());
    EXPECT_EQ(device_->GetRenderTarget(1, back.put()), D3DERR_INVALIDCALL);

    const D3DVIEWPORT9 outside{10, 0, 11, 10, 0.0f, 1.0f};
    EXPECT_EQ(device_->SetViewport(&outside), D3DERR_INVALIDCALL);
    EXPECT_EQ(device_->SetViewport(&small), D3D_OK);
    EXPECT_EQ(device_->SetViewport(nullptr), D3DERR_INVALIDCALL);
}

TEST_F(StateTest, Scenes) {
    EXPECT_EQ(device_->EndScene(), D3DERR_INVALIDCALL);
    ASSERT_EQ(device_->BeginScene(), D3D_OK);
    EXPECT_EQ(device_->BeginScene(), D3DERR_INVALIDCALL);
    ASSERT_EQ(device_->EndScene(), D3D_OK);
    EXPECT_EQ(device_->EndScene(), D3DERR_INVALIDCALL);

    DWORD passes = 0;
    ASSERT_EQ(device_->ValidateDevice(&passes), D3D_OK);
    EXPECT_EQ(passes, 1u);
    EXPECT_EQ(device_->ValidateDevice(nullptr), D3DERR_INVALIDCALL);

    D3DDISPLAYMODE mode{};
    ASSERT_EQ(device_->GetDisplayMode(0, &mode), D3D_OK);
    EXPECT_EQ(mode.Format, D3DFMT_X8R8G8B8);
    EXPECT_EQ(device_->GetDisplayMode(1, &mode), D3DERR_INVALIDCALL);
    D3DDEVICE_CREATION_PARAMETERS creation{};
    ASSERT_EQ(device_->GetCreationParameters(&creation), D3D_OK);
    EXPECT_EQ(creation.hFocusWindow, testWindow());
    EXPECT_EQ(creation.BehaviorFlags, DWORD{0x824});
}

} // namespace
} // namespace kestrin::platform::d3d9::test
