#include "tests/platform_d3dx9/d3dx9_test_support.h"

#include <bit>
#include <cstring>

namespace kestrin::platform::d3dx9::testing {

Ref<IDirect3DDevice9> openDevice() {
    Ref<IDirect3D9> d3d(Direct3DCreate9(D3D_SDK_VERSION));
    EXPECT_TRUE(d3d);
    if (!d3d) return {};
    D3DPRESENT_PARAMETERS pp{};
    pp.SwapEffect = D3DSWAPEFFECT_DISCARD;
    pp.Windowed = TRUE;
    Ref<IDirect3DDevice9> device;
    const HRESULT hr = d3d->CreateDevice(
        D3DADAPTER_DEFAULT, D3DDEVTYPE_HAL, reinterpret_cast<HWND>(uintptr_t{0x10010}),
        D3DCREATE_MULTITHREADED | D3DCREATE_SOFTWARE_VERTEXPROCESSING | D3DCREATE_NOWINDOWCHANGES,
        &pp, device.put());
    EXPECT_EQ(hr, D3D_OK);
    return device;
}

Ref<ID3DXEffect> createBuiltEffect(IDirect3DDevice9* device, DWORD flags) {
    const auto& bytes = kestrin::testing::builtEffectBytes();
    Ref<ID3DXEffect> effect;
    Ref<ID3DXBuffer> errors;
    const HRESULT hr =
        D3DXCreateEffect(device, bytes.data(), static_cast<UINT>(bytes.size()), nullptr, nullptr,
                         flags, nullptr, effect.put(), errors.put());
    EXPECT_EQ(hr, D3D_OK) << bufferText(errors.get());
    return effect;
}

std::string bufferText(ID3DXBuffer* buffer, bool* terminated) {
    if (terminated) *terminated = false;
    if (!buffer) return {};
    const auto* text = static_cast<const char*>(buffer->GetBufferPointer());
    const DWORD size = buffer->GetBufferSize();
    if (!text || size == 0) return {};
    const void* nul = std::memchr(text, 0, size);
    if (terminated) *terminated = nul == text + size - 1;
    return nul ? std::string(text, static_cast<const char*>(nul)) : std::string(text, size);
}

Ref<IDirect3DTexture9> makeTexture(IDirect3DDevice9* device, UINT width, UINT height,
                                   D3DFORMAT format, DWORD usage) {
    Ref<IDirect3DTexture9> texture;
    EXPECT_EQ(device->CreateTexture(width, height, 1, usage, format, D3DPOOL_DEFAULT, texture.put(),
                                    nullptr),
              D3D_OK);
    return texture;
}

std::vector<uint32_t> pixelConstant(IDirect3DDevice9* device, UINT r) {
    float v[4] = {};
    EXPECT_EQ(device->GetPixelShaderConstantF(r, v, 1), D3D_OK);
    return {std::bit_cast<uint32_t>(v[0]), std::bit_cast<uint32_t>(v[1]),
            std::bit_cast<uint32_t>(v[2]), std::bit_cast<uint32_t>(v[3])};
}

SamplerView samplerView(IDirect3DDevice9* device, DWORD stage) {
    SamplerView view;
    Ref<IDirect3DBaseTexture9> texture;
    EXPECT_EQ(device->GetTexture(stage, texture.put()), D3D_OK);
    view.texture = texture.get();
    device->GetSamplerState(stage, D3DSAMP_ADDRESSU, &view.addressU);
    device->GetSamplerState(stage, D3DSAMP_ADDRESSV, &view.addressV);
    device->GetSamplerState(stage, D3DSAMP_MINFILTER, &view.minFilter);
    device->GetSamplerState(stage, D3DSAMP_MAGFILTER, &view.magFilter);
    return view;
}

void EffectTest::SetUp() {
    hooks::reset();
    liveAtStart_ = hooks::liveObjects();
}

void EffectTest::TearDown() {
    EXPECT_EQ(hooks::liveObjects(), liveAtStart_) << "objects left alive";
    hooks::reset();
}

} // namespace kestrin::platform::d3dx9::testing
