// Helpers of the effect-runtime tests: an owning COM pointer, a device on the software Direct3D 9,
// the built filter effect created on it, and readers for what the device holds.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "d3dx9.h"
#include "platform/test_hooks.h"
#include "tests/common/com_ref.h"
#include "tests/effect/effect_runner.h"

namespace kestrin::platform::d3dx9::testing {

using kestrin::test_support::Ref;

// A device as the plug-in creates it. Fails the test (and returns null) if it cannot be made.
Ref<IDirect3DDevice9> openDevice();

// The built filter effect (flags D3DXFX_NOT_CLONEABLE) on `device`.
Ref<ID3DXEffect> createBuiltEffect(IDirect3DDevice9* device, DWORD flags = D3DXFX_NOT_CLONEABLE);

// The text of an error buffer (up to its first NUL), and whether that NUL is its last byte.
std::string bufferText(ID3DXBuffer* buffer, bool* terminated = nullptr);

// A single-level texture in one of the two texel formats.
Ref<IDirect3DTexture9> makeTexture(IDirect3DDevice9* device, UINT width, UINT height,
                                   D3DFORMAT format, DWORD usage = 0);

// Pixel-shader constant register `r` as float bits.
std::vector<uint32_t> pixelConstant(IDirect3DDevice9* device, UINT r);

// What the device holds at a sampler: the texture (compared by address) and four states.
struct SamplerView {
    IDirect3DBaseTexture9* texture = nullptr; // not a reference: only compared
    DWORD addressU = 0, addressV = 0, minFilter = 0, magFilter = 0;
};
SamplerView samplerView(IDirect3DDevice9* device, DWORD stage);

// Resets the test hooks before and checks after each test that every object was released.
class EffectTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    int liveAtStart_ = 0;
};

} // namespace kestrin::platform::d3dx9::testing
