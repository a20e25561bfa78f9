// Drawing: coverage (pixel centres and the top-left rule), viewport clipping, interpolation,
// texture addressing and filtering, and what DrawPrimitive refuses.
#include <cmath>
#include <cstring>

#include "tests/platform_d3d9/d3d9_fixture.h"

namespace kestrin::platform::d3d9::test {
namespace {

const char* const kConstantProgram = "ps_3_0\nmov oC0, c0\n";

const char* const kTexcoordProgram = R"(ps_3_0
def c1, 0, 0, 0, 1
dcl_texcoord0 v0.xy
mov r0, c1
mov r0.xy, v0
mov oC0, r0
)";

const char* const kSampleProgram = R"(ps_3_0
dcl_texcoord0 v0.xy
dcl_2d s0
texld r0, v0, s0
mov oC0, r0
)";

class DrawTest : public D3D9Test {
  protected:
    // A vertex buffer holding `vertices`, bound to stream 0 with the quad's declaration.
    void bindVertices(const std::vector<QuadVertex>& vertices) {
        bindQuad(1, 1); // the declaration
        const auto bytes = static_cast<UINT>(vertices.size() * sizeof(QuadVertex));
        ASSERT_EQ(device_->CreateVertexBuffer(bytes, 0, 0, D3DPOOL_DEFAULT, buffer_.put(), nullptr),
                  D3D_OK);
        void* data = nullptr;
        ASSERT_EQ(buffer_->Lock(0, 0, &data, 0), D3D_OK);
        std::memcpy(data, vertices.data(), bytes);
        ASSERT_EQ(buffer_->Unlock(), D3D_OK);
        ASSERT_EQ(device_->SetStreamSource(0, buffer_.get(), 0, sizeof(QuadVertex)), D3D_OK);
    }

    void useProgram(const char* text) {
        shader_ = makeShader(assembleProgram(text));
        ASSERT_EQ(device_->SetPixelShader(shader_.get()), D3D_OK);
    }

    void setColour(float r, float g, float b, float a) {
        const float c[4] = {r, g, b, a};
        ASSERT_EQ(device_->SetPixelShaderConstantF(0, c, 1), D3D_OK);
    }

    HRESULT draw(IDirect3DTexture9* target, D3DPRIMITIVETYPE type, UINT start, UINT count) {
        Ref<IDirect3DSurface9> level = levelOf(target);
        EXPECT_EQ(device_->SetRenderTarget(0, level.get()), D3D_OK);
        EXPECT_EQ(device_->BeginScene(), D3D_OK);
        const HRESULT hr = device_->DrawPrimitive(type, start, count);
        EXPECT_EQ(device_->EndScene(), D3D_OK);
        return hr;
    }

    // How many of the triangles (a list) cover each pixel: each drawn alone into a cleared
    // target, so a pixel drawn twice within one draw could not hide.
    std::vector<int> coverage(const std::vector<QuadVertex>& list, int width, int height) {
        bindVertices(list);
        useProgram(kConstantProgram);
        setColour(1, 1, 1, 1);
        Ref<IDirect3DTexture9> target =
            makeTexture(width, height, D3DUSAGE_RENDERTARGET, kUnsigned);
        std::vector<int> counts(static_cast<size_t>(width) * height, 0);
        for (UINT i = 0; i < list.size() / 3; ++i) {
            upload(target.get(), model::TexelImage(width, height), kUnsigned);
            EXPECT_EQ(draw(target.get(), D3DPT_TRIANGLELIST, 3 * i, 1), D3D_OK);
            const model::TexelImage image = download(target.get(), kUnsigned);
            for (size_t p = 0; p < counts.size(); ++p) counts[p] += image.texels[p][0] == 0xFFFF;
        }
        return counts;
    }

    void TearDown() override {
        buffer_.reset();
        shader_.reset();
        D3D9Test::TearDown();
    }

    Ref<IDirect3DVertexBuffer9> buffer_;
    Ref<IDirect3DPixelShader9> shader_;
};

QuadVertex at(float x, float y, float u = 0.0f, float v = 0.0f) {
    return {x, y, 1.0f, 1.0f, u, v};
}

::testing::AssertionResult eachPixelOnce(const std::vector<int>& counts, int width) {
    for (size_t p = 0; p < counts.size(); ++p)
        if (counts[p] != 1)
            return ::testing::AssertionFailure() << "pixel (" << p % width << ", " << p / width
                                                 << ") drawn " << counts[p] << " times";
    return ::testing::AssertionSuccess();
}

TEST_F(DrawTest, ScreenQuadFillsTheTarget) {
    useProgram(kConstantProgram);
    setColour(0.25f, -0.5f, 1.0f, 0.0f);
    const std::pair<int, int> sizes[] = {{1, 1}, {2, 2}, {7, 3}, {64, 64}, {130, 67}};
    for (const auto& [w, h] : sizes) {
        Ref<IDirect3DTexture9> target = makeTexture(w, h, D3DUSAGE_RENDERTARGET, kSigned);
        upload(target.get(), model::TexelImage(w, h), kSigned);
        drawQuadInto(target.get(), w, h);
        const model::Texel expected{writeChannel(0.25f, TexelFormat::Signed),
                                    writeChannel(-0.5f, TexelFormat::Signed), 0x7FFF, 0};
        const model::TexelImage image = download(target.get(), kSigned);
        for (const model::Texel& t : image.texels) ASSERT_EQ(t, expected) << w << "x" << h;
    }
}

TEST_F(DrawTest, QuadTrianglesShareTheDiagonal) {
    const std::pair<int, int> sizes[] = {{1, 1}, {2, 2}, {5, 5}, {7, 3}, {3, 7}, {16, 16}};
    for (const auto& [w, h] : sizes) {
        const std::vector<QuadVertex> q = screenQuad(w, h);
        const std::vector<QuadVertex> list{q[0], q[1], q[2], q[2], q[1], q[3]};
        EXPECT_TRUE(eachPixelOnce(coverage(list, w, h), w)) << w << "x" << h;
    }
}

TEST_F(DrawTest, FanAroundAPointCoversEachPixelOnce) {
    // Edges through pixel centres in every direction: from the corners to a centre pixel,
    // and to points off the pixel grid (multiples of 1/256, which snapping keeps).
    const int w = 9, h = 7;
    const QuadVertex c[4] = {at(-0.5f, -0.5f), at(w - 0.5f, -0.5f), at(w - 0.5f, h - 0.5f),
                             at(-0.5f, h - 0.5f)};
    const std::pair<float, float> points[] = {
        {4.0f, 3.0f}, {2.0f, 2.0f}, {3.5f, 1.25f}, {6.00390625f, 4.99609375f}, {0.0f, 0.0f}};
    for (const auto& [px, py] : points) {
        const QuadVertex p = at(px, py);
        std::vector<QuadVertex> list;
        for (int i = 0; i < 4; ++i) list.insert(list.end(), {c[i], c[(i + 1) % 4], p});
        EXPECT_TRUE(eachPixelOnce(coverage(list, w, h), w)) << px << "," << py;
    }
}

TEST_F(DrawTest, ViewportClips) {
    useProgram(kConstantProgram);
    setColour(1, 1, 1, 1);
    Ref<IDirect3DTexture9> target = makeTexture(6, 5, D3DUSAGE_RENDERTARGET, kUnsigned);
    upload(target.get(), model::TexelImage(6, 5), kUnsigned);
    bindQuad(6, 5);
    ASSERT_EQ(device_->SetRenderTarget(0, levelOf(target.get()).get()), D3D_OK);
    const D3DVIEWPORT9 viewport{2, 1, 3, 2, 0.0f, 1.0f};
    ASSERT_EQ(device_->SetViewport(&viewport), D3D_OK);
    ASSERT_EQ(device_->BeginScene(), D3D_OK);
    ASSERT_EQ(device_->DrawPrimitive(D3DPT_TRIANGLESTRIP, 0, 2), D3D_OK);
    ASSERT_EQ(device_->EndScene(), D3D_OK);
    const model::TexelImage image = download(target.get(), kUnsigned);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 6; ++x) {
            const bool inside = x >= 2 && x < 5 && y >= 1 && y < 3;
            EXPECT_EQ(image.at(x, y)[0], inside ? 0xFFFF : 0) << x << "," << y;
        }
}

TEST_F(DrawTest, TexcoordsReachPixelCentres) {
    useProgram(kTexcoordProgram);
    const int w = 37, h = 11;
    Ref<IDirect3DTexture9> target = makeTexture(w, h, D3DUSAGE_RENDERTARGET, kUnsigned);
    drawQuadInto(target.get(), w, h);
    const model::TexelImage image = download(target.get(), kUnsigned);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const float u = (static_cast<float>(x) + 0.5f) / static_cast<float>(w);
            const float v = (static_cast<float>(y) + 0.5f) / static_cast<float>(h);
            const model::Texel expected{writeChannel(u, TexelFormat::Unsigned),
                                        writeChannel(v, TexelFormat::Unsigned), 0, 0xFFFF};
            ASSERT_EQ(image.at(x, y), expected) << x << "," << y;
        }
}

TEST_F(DrawTest, InterpolationIsPerspectiveCorrect) {
    useProgram(kTexcoordProgram);
    const int w = 32, h = 2;
    const float far = 0.25f; // rhw of the right edge
    std::vector<QuadVertex> q = screenQuad(w, h);
    q[1].rhw = q[3].rhw = far;
    const std::vector<QuadVertex> list{q[0], q[1], q[2], q[2], q[1], q[3]};
    bindVertices(list);
    Ref<IDirect3DTexture9> target = makeTexture(w, h, D3DUSAGE_RENDERTARGET, kUnsigned);
    ASSERT_EQ(draw(target.get(), D3DPT_TRIANGLELIST, 0, 2), D3D_OK);
    const model::TexelImage image = download(target.get(), kUnsigned);
    for (int x = 0; x < w; ++x) {
        const double s = (x + 0.5) / w; // screen-space fraction
        const double u = s * far / ((1 - s) + s * far);
        EXPECT_NEAR(image.at(x, 0)[0], u * 65535, 1.0) << x;
    }
}

int64_t expectedAddress(int64_t k, int64_t n, DWORD mode) {
    switch (mode) {
    case D3DTADDRESS_WRAP:
        return ((k % n) + n) % n;
    case D3DTADDRESS_MIRROR:
        return model::mirrorIndex(static_cast<int>(k), static_cast<int>(n));
    case D3DTADDRESS_CLAMP:
        return k < 0 ? 0 : (k >= n ? n - 1 : k);
    case D3DTADDRESS_MIRRORONCE: {
        const int64_t m = k < 0 ? -1 - k : k;
        return m >= n ? n - 1 : m;
    }
    default:
        return k < 0 || k >= n ? -1 : k;
    }
}

TEST_F(DrawTest, PointSamplingAddressModes) {
    const int tw = 4, th = 3;
    const model::TexelImage texels = randomImage(tw, th, 99);
    Ref<IDirect3DTexture9> texture = makeTexture(tw, th, 0, kUnsigned);
    upload(texture.get(), texels, kUnsigned);
    ASSERT_EQ(device_->SetTexture(0, texture.get()), D3D_OK);
    useProgram(kSampleProgram);
    // Three texture widths across the target, texture coordinates -1 to 2.
    const int w = 3 * tw, h = 3 * th;
    std::vector<QuadVertex> q = screenQuad(w, h);
    for (QuadVertex& v : q) {
        v.u = 3 * v.u - 1;
        v.v = 3 * v.v - 1;
    }
    bindVertices(q);
    const D3DCOLOR border = D3DCOLOR_ARGB(0x80, 0x10, 0x20, 0xFF);
    ASSERT_EQ(device_->SetSamplerState(0, D3DSAMP_BORDERCOLOR, border), D3D_OK);
    const model::Texel borderTexel{writeChannel(0x10 / 255.0f, TexelFormat::Unsigned),
                                   writeChannel(0x20 / 255.0f, TexelFormat::Unsigned), 0xFFFF,
                                   writeChannel(0x80 / 255.0f, TexelFormat::Unsigned)};
    Ref<IDirect3DTexture9> target = makeTexture(w, h, D3DUSAGE_RENDERTARGET, kUnsigned);
    for (DWORD mode : {D3DTADDRESS_WRAP, D3DTADDRESS_MIRROR, D3DTADDRESS_CLAMP, D3DTADDRESS_BORDER,
                       D3DTADDRESS_MIRRORONCE}) {
        ASSERT_EQ(device_->SetSamplerState(0, D3DSAMP_ADDRESSU, mode), D3D_OK);
        ASSERT_EQ(device_->SetSamplerState(0, D3DSAMP_ADDRESSV, mode), D3D_OK);
        ASSERT_EQ(draw(target.get(), D3DPT_TRIANGLESTRIP, 0, 2), D3D_OK);
        const model::TexelImage image = download(target.get(), kUnsigned);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const int64_t tx = expectedAddress(x - tw, tw, mode);
                const int64_t ty = expectedAddress(y - th, th, mode);
                const model::Texel expected =
                    tx < 0 || ty < 0 ? borderTexel
                                     : texels.at(static_cast<int>(tx), static_cast<int>(ty));
                ASSERT_EQ(image.at(x, y), expected) << "mode " << mode << " at " << x << "," << y;
            }
    }
}

TEST_F(DrawTest, LinearFilteringBlendsNeighbours) {
    model::TexelImage texels(2, 1);
    texels.at(0, 0) = {0, 0x1000, 0x8000, 0xFFFF};
    texels.at(1, 0) = {0xFFFF, 0x3000, 0x8000, 0xFFFF};
    Ref<IDirect3DTexture9> texture = makeTexture(2, 1, 0, kUnsigned);
    upload(texture.get(), texels, kUnsigned);
    ASSERT_EQ(device_->SetTexture(0, texture.get()), D3D_OK);
    useProgram(kSampleProgram);
    std::vector<QuadVertex> q = screenQuad(1, 1);
    for (QuadVertex& v : q) v.u = v.v = 0.5f; // between the two texel centres
    bindVertices(q);
    Ref<IDirect3DTexture9> target = makeTexture(1, 1, D3DUSAGE_RENDERTARGET, kUnsigned);
    ASSERT_EQ(draw(target.get(), D3DPT_TRIANGLESTRIP, 0, 2), D3D_OK);
    EXPECT_EQ(download(target.get(), kUnsigned).at(0, 0), texels.at(1, 0)); // point: texel 1
    ASSERT_EQ(device_->SetSamplerState(0, D3DSAMP_MAGFILTER, D3DTEXF_LINEAR), D3D_OK);
    ASSERT_EQ(draw(target.get(), D3DPT_TRIANGLESTRIP, 0, 2), D3D_OK);
    const model::Texel blended = download(target.get(), kUnsigned).at(0, 0);
    EXPECT_NEAR(blended[0], 0x8000, 1);
    EXPECT_NEAR(blended[1], 0x2000, 1);
    EXPECT_EQ(blended[2], 0x8000);
    EXPECT_EQ(blended[3], 0xFFFF);
}

TEST_F(DrawTest, DrawRefusals) {
    Ref<IDirect3DTexture9> target = makeTexture(4, 4, D3DUSAGE_RENDERTARGET, kUnsigned);
    upload(target.get(), model::TexelImage(4, 4), kUnsigned);
    bindQuad(4, 4);
    // Outside a scene, and without a render target or a shader.
    EXPECT_EQ(device_->DrawPrimitive(D3DPT_TRIANGLESTRIP, 0, 2), D3DERR_INVALIDCALL);
    ASSERT_EQ(device_->BeginScene(), D3D_OK);
    EXPECT_EQ(device_->DrawPrimitive(D3DPT_TRIANGLESTRIP, 0, 2), D3DERR_INVALIDCALL);
    ASSERT_EQ(device_->SetRenderTarget(0, levelOf(target.get()).get()), D3D_OK);
    EXPECT_EQ(device_->DrawPrimitive(D3DPT_TRIANGLESTRIP, 0, 2), D3DERR_INVALIDCALL);
    useProgram(kConstantProgram);
    setColour(1, 1, 1, 1);

    EXPECT_EQ(device_->DrawPrimitive(D3DPT_POINTLIST, 0, 1), D3DERR_INVALIDCALL);
    EXPECT_EQ(device_->DrawPrimitive(D3DPT_LINELIST, 0, 1), D3DERR_INVALIDCALL);
    EXPECT_EQ(device_->DrawPrimitive(D3DPT_TRIANGLESTRIP, 0, 0), D3DERR_INVALIDCALL);
    EXPECT_EQ(device_->DrawPrimitive(D3DPT_TRIANGLESTRIP, 1, 2), D3DERR_INVALIDCALL); // 5 vertices
    EXPECT_EQ(device_->DrawPrimitive(D3DPT_TRIANGLELIST, 0, 2), D3DERR_INVALIDCALL);  // 6 vertices
    EXPECT_EQ(device_->DrawPrimitive(D3DPT_TRIANGLESTRIP, 0xFFFFFFF0, 2), D3DERR_INVALIDCALL);

    ASSERT_EQ(device_->SetStreamSource(0, nullptr, 0, 24), D3D_OK);
    EXPECT_EQ(device_->DrawPrimitive(D3DPT_TRIANGLESTRIP, 0, 2), D3DERR_INVALIDCALL);
    ASSERT_EQ(device_->SetStreamSource(0, quad_.get(), 0, 24), D3D_OK);
    const D3DVERTEXELEMENT9 noPosition[] = {
        {0, 16, D3DDECLTYPE_FLOAT2, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_TEXCOORD, 0},
        D3DDECL_END()};
    const D3DVERTEXELEMENT9 shortPosition[] = {
        {0, 0, D3DDECLTYPE_FLOAT3, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_POSITIONT, 0},
        D3DDECL_END()};
    for (const D3DVERTEXELEMENT9* elements : {noPosition, shortPosition}) {
        Ref<IDirect3DVertexDeclaration9> declaration;
        ASSERT_EQ(device_->CreateVertexDeclaration(elements, declaration.put()), D3D_OK);
        ASSERT_EQ(device_->SetVertexDeclaration(declaration.get()), D3D_OK);
        EXPECT_EQ(device_->DrawPrimitive(D3DPT_TRIANGLESTRIP, 0, 2), D3DERR_INVALIDCALL);
    }
    ASSERT_EQ(device_->SetVertexDeclaration(nullptr), D3D_OK);
    EXPECT_EQ(device_->DrawPrimitive(D3DPT_TRIANGLESTRIP, 0, 2), D3DERR_INVALIDCALL);
    ASSERT_EQ(device_->EndScene(), D3D_OK);

    const model::TexelImage image = download(target.get(), kUnsigned);
    for (const model::Texel& t : image.texels) EXPECT_EQ(t[0], 0) << "a refused draw drew";
}

} // namespace
} // namespace kestrin::platform::d3d9::test
