// Shared by the software device's tests: an owning COM pointer, a fixture with a Direct3D
// object and a device (and a check that every object a test made is gone at its end), and
// helpers that move texel images in and out of the device the way the plug-in does.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "d3d9.h"
#include "effect/model.h"
#include "platform/d3d9/observe.h"
#include "platform/test_hooks.h"
#include "shader/ctab.h"
#include "tests/common/com_ref.h"

namespace kestrin::platform::d3d9::test {

namespace hooks = kestrin::platform::hooks;

using kestrin::test_support::Ref;

inline constexpr D3DFORMAT kSigned = D3DFMT_Q16W16V16U16;
inline constexpr D3DFORMAT kUnsigned = D3DFMT_A16B16G16R16;

inline HWND testWindow() {
    return reinterpret_cast<HWND>(uintptr_t{0x1000});
}

// Windowed, discard, everything else zero: what the plug-in creates and resets with.
inline D3DPRESENT_PARAMETERS presentParameters() {
    D3DPRESENT_PARAMETERS pp{};
    pp.SwapEffect = D3DSWAPEFFECT_DISCARD;
    pp.Windowed = TRUE;
    return pp;
}

inline TexelFormat texelFormat(D3DFORMAT format) {
    return format == kSigned ? TexelFormat::Signed : TexelFormat::Unsigned;
}

model::TexelImage randomImage(int width, int height, uint32_t seed);

// The screen quad of the plug-in: positions shifted by -0.5 so that pixel centres land on texel
// centres, texture coordinates 0 to 1.
struct QuadVertex {
    float x, y, z, rhw, u, v;
};
std::vector<QuadVertex> screenQuad(int width, int height);

// ps_3_0 assembly to tokens, with a constant table naming `constants`.
std::vector<DWORD> assembleProgram(const std::string& text,
                                   const std::vector<shader::CtabEntry>& constants = {});

class D3D9Test : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    Ref<IDirect3DTexture9> makeTexture(UINT width, UINT height, DWORD usage, D3DFORMAT format,
                                       D3DPOOL pool = D3DPOOL_DEFAULT);
    Ref<IDirect3DSurface9> makeSurface(UINT width, UINT height, D3DFORMAT format,
                                       D3DPOOL pool = D3DPOOL_SYSTEMMEM);
    Ref<IDirect3DSurface9> levelOf(IDirect3DTexture9* texture, UINT level = 0);
    Ref<IDirect3DPixelShader9> makeShader(const std::vector<DWORD>& tokens);

    // Lockable surface <-> image, row by row at the surface's pitch.
    void writeSurface(IDirect3DSurface9* surface, const model::TexelImage& image);
    model::TexelImage readSurface(IDirect3DSurface9* surface);
    // Default-pool texture <- image, through a system-memory surface and UpdateSurface.
    void upload(IDirect3DTexture9* texture, const model::TexelImage& image, D3DFORMAT format);
    // Render-target texture -> image, through GetRenderTargetData.
    model::TexelImage download(IDirect3DTexture9* target, D3DFORMAT format);

    // Binds the screen quad (buffer and declaration, kept by the fixture) to stream 0.
    void bindQuad(int width, int height);
    // SetRenderTarget(level 0 of `target`), then the quad (bound again for a new size) as a
    // two-triangle strip in a scene.
    void drawQuadInto(IDirect3DTexture9* target, int width, int height);

    int liveAtStart_ = 0;
    Ref<IDirect3D9> d3d_;
    Ref<IDirect3DDevice9> device_;
    Ref<IDirect3DVertexBuffer9> quad_;
    Ref<IDirect3DVertexDeclaration9> quadDeclaration_;
    int quadWidth_ = 0;
    int quadHeight_ = 0;
};

} // namespace kestrin::platform::d3d9::test
