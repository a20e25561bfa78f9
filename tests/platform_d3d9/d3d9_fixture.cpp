#include "tests/platform_d3d9/d3d9_fixture.h"

#include <cstring>

#include "shader/assembler.h"

namespace kestrin::platform::d3d9::test {

model::TexelImage randomImage(int width, int height, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> word(0, 0xFFFF);
    model::TexelImage image(width, height);
    for (auto& t : image.texels)
        for (auto& c : t) c = static_cast<uint16_t>(word(rng));
    return image;
}

std::vector<QuadVertex> screenQuad(int width, int height) {
    const float right = static_cast<float>(width) - 0.5f;
    const float bottom = static_cast<float>(height) - 0.5f;
    return {{-0.5f, -0.5f, 1.0f, 1.0f, 0.0f, 0.0f},
            {right, -0.5f, 1.0f, 1.0f, 1.0f, 0.0f},
            {-0.5f, bottom, 1.0f, 1.0f, 0.0f, 1.0f},
            {right, bottom, 1.0f, 1.0f, 1.0f, 1.0f}};
}

std::vector<DWORD> assembleProgram(const std::string& text,
                                   const std::vector<shader::CtabEntry>& constants) {
    const shader::AssembleResult r = shader::assemble(text, 1, constants);
    EXPECT_TRUE(r.ok()) << shader::joinDiagnostics(r.errors) << "\n" << text;
    return r.tokens;
}

void D3D9Test::SetUp() {
    hooks::reset();
    liveAtStart_ = hooks::liveObjects();
    d3d_ = Ref<IDirect3D9>(Direct3DCreate9(D3D_SDK_VERSION));
    ASSERT_TRUE(d3d_);
    D3DPRESENT_PARAMETERS pp = presentParameters();
    ASSERT_EQ(d3d_->CreateDevice(D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, testWindow(),
                                 D3DCREATE_MULTITHREADED | D3DCREATE_SOFTWARE_VERTEXPROCESSING |
                                     D3DCREATE_NOWINDOWCHANGES,
                                 &pp, device_.put()),
              D3D_OK);
}

void D3D9Test::TearDown() {
    quad_.reset();
    quadDeclaration_.reset();
    device_.reset();
    d3d_.reset();
    EXPECT_EQ(hooks::liveObjects(), liveAtStart_) << "objects left alive";
    hooks::reset();
}

Ref<IDirect3DTexture9> D3D9Test::makeTexture(UINT width, UINT height, DWORD usage, D3DFORMAT format,
                                             D3DPOOL pool) {
    Ref<IDirect3DTexture9> t;
    EXPECT_EQ(device_->CreateTexture(width, height, 1, usage, format, pool, t.put(), nullptr),
              D3D_OK);
    return t;
}

Ref<IDirect3DSurface9> D3D9Test::makeSurface(UINT width, UINT height, D3DFORMAT format,
                                             D3DPOOL pool) {
    Ref<IDirect3DSurface9> s;
    EXPECT_EQ(device_->CreateOffscreenPlainSurface(width, height, format, pool, s.put(), nullptr),
              D3D_OK);
    return s;
}

Ref<IDirect3DSurface9> D3D9Test::levelOf(IDirect3DTexture9* texture, UINT level) {
    Ref<IDirect3DSurface9> s;
    EXPECT_EQ(texture->GetSurfaceLevel(level, s.put()), D3D_OK);
    return s;
}

Ref<IDirect3DPixelShader9> D3D9Test::makeShader(const std::vector<DWORD>& tokens) {
    Ref<IDirect3DPixelShader9> s;
    EXPECT_EQ(device_->CreatePixelShader(tokens.data(), s.put()), D3D_OK);
    return s;
}

void D3D9Test::writeSurface(IDirect3DSurface9* surface, const model::TexelImage& image) {
    D3DLOCKED_RECT locked;
    ASSERT_EQ(surface->LockRect(&locked, nullptr, 0), D3D_OK);
    for (int y = 0; y < image.height; ++y)
        std::memcpy(static_cast<uint8_t*>(locked.pBits) + static_cast<size_t>(y) * locked.Pitch,
                    &image.at(0, y), static_cast<size_t>(image.width) * 8);
    ASSERT_EQ(surface->UnlockRect(), D3D_OK);
}

model::TexelImage D3D9Test::readSurface(IDirect3DSurface9* surface) {
    D3DSURFACE_DESC desc;
    EXPECT_EQ(surface->GetDesc(&desc), D3D_OK);
    model::TexelImage image(static_cast<int>(desc.Width), static_cast<int>(desc.Height));
    D3DLOCKED_RECT locked;
    EXPECT_EQ(surface->LockRect(&locked, nullptr, D3DLOCK_READONLY), D3D_OK);
    for (int y = 0; y < image.height; ++y)
        std::memcpy(&image.at(0, y),
                    static_cast<const uint8_t*>(locked.pBits) +
                        static_cast<size_t>(y) * locked.Pitch,
                    static_cast<size_t>(image.width) * 8);
    EXPECT_EQ(surface->UnlockRect(), D3D_OK);
    return image;
}

void D3D9Test::upload(IDirect3DTexture9* texture, const model::TexelImage& image,
                      D3DFORMAT format) {
    Ref<IDirect3DSurface9> staging = makeSurface(image.width, image.height, format);
    writeSurface(staging.get(), image);
    Ref<IDirect3DSurface9> level = levelOf(texture);
    ASSERT_EQ(device_->UpdateSurface(staging.get(), nullptr, level.get(), nullptr), D3D_OK);
}

model::TexelImage D3D9Test::download(IDirect3DTexture9* target, D3DFORMAT format) {
    D3DSURFACE_DESC desc;
    EXPECT_EQ(target->GetLevelDesc(0, &desc), D3D_OK);
    Ref<IDirect3DSurface9> staging = makeSurface(desc.Width, desc.Height, format);
    Ref<IDirect3DSurface9> level = levelOf(target);
    EXPECT_EQ(device_->GetRenderTargetData(level.get(), staging.get()), D3D_OK);
    return readSurface(staging.get());
}

void D3D9Test::bindQuad(int width, int height) {
    const std::vector<QuadVertex> vertices = screenQuad(width, height);
    ASSERT_EQ(device_->CreateVertexBuffer(96, D3DUSAGE_WRITEONLY, 0, D3DPOOL_DEFAULT, quad_.put(),
                                          nullptr),
              D3D_OK);
    void* data = nullptr;
    ASSERT_EQ(quad_->Lock(0, 0, &data, D3DLOCK_NOSYSLOCK), D3D_OK);
    std::memcpy(data, vertices.data(), 96);
    ASSERT_EQ(quad_->Unlock(), D3D_OK);
    const D3DVERTEXELEMENT9 elements[] = {
        {0, 0, D3DDECLTYPE_FLOAT4, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_POSITIONT, 0},
        {0, 16, D3DDECLTYPE_FLOAT2, D3DDECLMETHOD_DEFAULT, D3DDECLUSAGE_TEXCOORD, 0},
        D3DDECL_END(),
    };
    ASSERT_EQ(device_->CreateVertexDeclaration(elements, quadDeclaration_.put()), D3D_OK);
    ASSERT_EQ(device_->SetVertexDeclaration(quadDeclaration_.get()), D3D_OK);
    ASSERT_EQ(device_->SetStreamSource(0, quad_.get(), 0, 24), D3D_OK);
    quadWidth_ = width;
    quadHeight_ = height;
}

void D3D9Test::drawQuadInto(IDirect3DTexture9* target, int width, int height) {
    if (!quad_ || quadWidth_ != width || quadHeight_ != height) bindQuad(width, height);
    Ref<IDirect3DSurface9> level = levelOf(target);
    ASSERT_EQ(device_->SetRenderTarget(0, level.get()), D3D_OK);
    ASSERT_EQ(device_->BeginScene(), D3D_OK);
    EXPECT_EQ(device_->DrawPrimitive(D3DPT_TRIANGLESTRIP, 0, 2), D3D_OK);
    ASSERT_EQ(device_->EndScene(), D3D_OK);
}

} // namespace kestrin::platform::d3d9::test
