// The decoded planes a texture keeps for sampling follow every change of its texels: whole and
// partial copies into it, locks, draws into it (which write the planes themselves), a change of
// address mode (the padding). A copy program draws each texture into a target, and the target
// must hold the texture's texels through the codec, with every engine.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "shader/compiled_program.h"
#include "tests/platform_d3d9/d3d9_fixture.h"

namespace kestrin::platform::d3d9::test {
namespace {

const char* const kCopyProgram = R"(ps_3_0
dcl_texcoord0 v0.xy
dcl_2d s0
texld r0, v0, s0
mov oC0, r0
)";

// What a texel reads as and is stored back as.
model::TexelImage throughCodec(const model::TexelImage& image, D3DFORMAT format) {
    model::TexelImage out = image;
    for (auto& t : out.texels)
        for (auto& c : t)
            c = writeChannel(readChannel(c, texelFormat(format)), texelFormat(format));
    return out;
}

class DecodedTexelsTest : public D3D9Test, public ::testing::WithParamInterface<shader::Engine> {
  protected:
    void SetUp() override {
        D3D9Test::SetUp();
        if (!shader::engineAvailable(GetParam())) GTEST_SKIP() << "CPU lacks this engine";
        shader::setEngineOverride(GetParam());
        shader_ = makeShader(assembleProgram(kCopyProgram));
        ASSERT_EQ(device_->SetPixelShader(shader_.get()), D3D_OK);
    }
    void TearDown() override {
        shader::setEngineOverride(shader::Engine::Interpreter, true);
        shader_.reset();
        D3D9Test::TearDown();
    }

    model::TexelImage copyThrough(IDirect3DTexture9* source, IDirect3DTexture9* target, int w,
                                  int h) {
        EXPECT_EQ(device_->SetTexture(0, source), D3D_OK);
        drawQuadInto(target, w, h);
        EXPECT_EQ(device_->SetTexture(0, nullptr), D3D_OK);
        return download(target, kSigned);
    }

    Ref<IDirect3DPixelShader9> shader_;
};

INSTANTIATE_TEST_SUITE_P(Engines, DecodedTexelsTest,
                         ::testing::Values(shader::Engine::Interpreter, shader::Engine::Sse2,
                                           shader::Engine::Avx2),
                         [](const auto& info) {
                             return std::string(shader::engineName(info.param));
                         });

TEST_P(DecodedTexelsTest, SamplingFollowsEveryChangeOfTheTexels) {
    const int w = 40, h = 9;
    model::TexelImage image = randomImage(w, h, 1);
    Ref<IDirect3DTexture9> texture = makeTexture(w, h, 0, kSigned);
    Ref<IDirect3DTexture9> first = makeTexture(w, h, D3DUSAGE_RENDERTARGET, kSigned);
    Ref<IDirect3DTexture9> second = makeTexture(w, h, D3DUSAGE_RENDERTARGET, kSigned);

    SCOPED_TRACE("a whole copy");
    upload(texture.get(), image, kSigned);
    EXPECT_EQ(copyThrough(texture.get(), first.get(), w, h).texels,
              throughCodec(image, kSigned).texels);

    SCOPED_TRACE("a partial copy");
    const model::TexelImage patch = randomImage(w, h, 2);
    Ref<IDirect3DSurface9> staging = makeSurface(w, h, kSigned);
    writeSurface(staging.get(), patch);
    const RECT rect{5, 2, 21, 7};
    const POINT at{11, 1};
    Ref<IDirect3DSurface9> level = levelOf(texture.get());
    ASSERT_EQ(device_->UpdateSurface(staging.get(), &rect, level.get(), &at), D3D_OK);
    for (int y = 0; y < rect.bottom - rect.top; ++y)
        for (int x = 0; x < rect.right - rect.left; ++x)
            image.at(at.x + x, at.y + y) = patch.at(rect.left + x, rect.top + y);
    EXPECT_EQ(copyThrough(texture.get(), first.get(), w, h).texels,
              throughCodec(image, kSigned).texels);

    SCOPED_TRACE("a render target written by a draw, then drawn again");
    const model::TexelImage drawn = throughCodec(image, kSigned);
    EXPECT_EQ(copyThrough(first.get(), second.get(), w, h).texels, drawn.texels);
    upload(texture.get(), randomImage(w, h, 3), kSigned);
    const model::TexelImage redrawn = copyThrough(texture.get(), first.get(), w, h);
    EXPECT_EQ(copyThrough(first.get(), second.get(), w, h).texels, redrawn.texels);

    SCOPED_TRACE("a system-memory texture changed through a lock");
    Ref<IDirect3DTexture9> lockable = makeTexture(w, h, 0, kSigned, D3DPOOL_SYSTEMMEM);
    Ref<IDirect3DSurface9> lockableLevel = levelOf(lockable.get());
    writeSurface(lockableLevel.get(), image);
    ASSERT_EQ(device_->SetTexture(0, lockable.get()), D3D_OK);
    drawQuadInto(first.get(), w, h);
    EXPECT_EQ(download(first.get(), kSigned).texels, throughCodec(image, kSigned).texels);
    const model::TexelImage changed = randomImage(w, h, 4);
    writeSurface(lockableLevel.get(), changed);
    drawQuadInto(first.get(), w, h);
    EXPECT_EQ(download(first.get(), kSigned).texels, throughCodec(changed, kSigned).texels);
    ASSERT_EQ(device_->SetTexture(0, nullptr), D3D_OK);
}

// The padding beyond the edges is filled for the stage's address mode, again when it changes.
TEST_P(DecodedTexelsTest, PaddingFollowsTheAddressMode) {
    const int w = 16, h = 5;
    const model::TexelImage image = randomImage(w, h, 5);
    Ref<IDirect3DTexture9> texture = makeTexture(w, h, 0, kSigned);
    upload(texture.get(), image, kSigned);
    const int tw = w + 6; // three texels beyond each side
    Ref<IDirect3DTexture9> target = makeTexture(tw, h, D3DUSAGE_RENDERTARGET, kSigned);
    ASSERT_EQ(device_->SetTexture(0, texture.get()), D3D_OK);
    for (DWORD mode : {D3DTADDRESS_MIRROR, D3DTADDRESS_CLAMP, D3DTADDRESS_WRAP}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(device_->SetSamplerState(0, D3DSAMP_ADDRESSU, mode), D3D_OK);
        // u from -3/w to (w + 3)/w across the target: texel x - 3 at column x
        std::vector<QuadVertex> quad = screenQuad(tw, h);
        for (QuadVertex& v : quad)
            v.u = (v.u * static_cast<float>(tw) - 3.0f) / static_cast<float>(w);
        void* data = nullptr;
        Ref<IDirect3DVertexBuffer9> buffer;
        ASSERT_EQ(device_->CreateVertexBuffer(static_cast<UINT>(quad.size() * sizeof(QuadVertex)),
                                              0, 0, D3DPOOL_DEFAULT, buffer.put(), nullptr),
                  D3D_OK);
        ASSERT_EQ(buffer->Lock(0, 0, &data, 0), D3D_OK);
        std::memcpy(data, quad.data(), quad.size() * sizeof(QuadVertex));
        ASSERT_EQ(buffer->Unlock(), D3D_OK);
        bindQuad(tw, h);
        ASSERT_EQ(device_->SetStreamSource(0, buffer.get(), 0, sizeof(QuadVertex)), D3D_OK);
        Ref<IDirect3DSurface9> level = levelOf(target.get());
        ASSERT_EQ(device_->SetRenderTarget(0, level.get()), D3D_OK);
        ASSERT_EQ(device_->BeginScene(), D3D_OK);
        ASSERT_EQ(device_->DrawPrimitive(D3DPT_TRIANGLESTRIP, 0, 2), D3D_OK);
        ASSERT_EQ(device_->EndScene(), D3D_OK);
        ASSERT_EQ(device_->SetStreamSource(0, nullptr, 0, 0), D3D_OK);
        const model::TexelImage out = download(target.get(), kSigned);
        const model::TexelImage expected = throughCodec(image, kSigned);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < tw; ++x) {
                const int k = x - 3;
                const int m = mode == D3DTADDRESS_CLAMP  ? std::clamp(k, 0, w - 1)
                              : mode == D3DTADDRESS_WRAP ? (k + w) % w
                              : k < 0                    ? -1 - k
                              : k >= w                   ? 2 * w - 1 - k
                                                         : k;
                ASSERT_EQ(out.at(x, y), expected.at(m, y)) << x << "," << y;
            }
    }
    ASSERT_EQ(device_->SetTexture(0, nullptr), D3D_OK);
}

// One texture through two stages with different address modes: each stage reads it its own way.
TEST_P(DecodedTexelsTest, OneTextureThroughTwoStagesKeepsEachStagesAddressing) {
    const int w = 20, h = 3;
    const model::TexelImage image = randomImage(w, h, 6);
    Ref<IDirect3DTexture9> texture = makeTexture(w, h, 0, kSigned);
    upload(texture.get(), image, kSigned);
    Ref<IDirect3DTexture9> target = makeTexture(w, h, D3DUSAGE_RENDERTARGET, kSigned);
    Ref<IDirect3DPixelShader9> twoStages = makeShader(assembleProgram(R"(ps_3_0
def c0, -0.15, 0, 0, 0
dcl_texcoord0 v0.xy
dcl_2d s0
dcl_2d s1
add r2.xy, v0, c0
texld r0, r2, s0
texld r1, r2, s1
mov r0.zw, r1.xxxy
mov oC0, r0
)"));
    ASSERT_EQ(device_->SetPixelShader(twoStages.get()), D3D_OK);
    ASSERT_EQ(device_->SetTexture(0, texture.get()), D3D_OK);
    ASSERT_EQ(device_->SetTexture(1, texture.get()), D3D_OK);
    ASSERT_EQ(device_->SetSamplerState(0, D3DSAMP_ADDRESSU, D3DTADDRESS_MIRROR), D3D_OK);
    ASSERT_EQ(device_->SetSamplerState(1, D3DSAMP_ADDRESSU, D3DTADDRESS_CLAMP), D3D_OK);
    drawQuadInto(target.get(), w, h);
    ASSERT_EQ(device_->SetTexture(0, nullptr), D3D_OK);
    ASSERT_EQ(device_->SetTexture(1, nullptr), D3D_OK);
    const model::TexelImage out = download(target.get(), kSigned);
    const model::TexelImage expected = throughCodec(image, kSigned);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const float u = (static_cast<float>(x) + 0.5f) / static_cast<float>(w) + -0.15f;
            const int k = static_cast<int>(std::floor(u * static_cast<float>(w)));
            const int mirrored = k < 0 ? -1 - k : k;
            const int clamped = std::max(k, 0);
            const model::Texel& t = out.at(x, y);
            ASSERT_EQ(t[0], expected.at(mirrored, y)[0]) << x << "," << y;
            ASSERT_EQ(t[1], expected.at(mirrored, y)[1]) << x << "," << y;
            ASSERT_EQ(t[2], expected.at(clamped, y)[0]) << x << "," << y;
            ASSERT_EQ(t[3], expected.at(clamped, y)[1]) << x << "," << y;
        }
}

} // namespace
} // namespace kestrin::platform::d3d9::test
