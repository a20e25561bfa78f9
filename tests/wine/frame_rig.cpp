#include "tests/wine/frame_rig.h"

#include <cstring>

#include "effect/track_mapping.h"

namespace kestrin::winecheck {
namespace {

constexpr UINT kVertexStride = 24; // x, y, z, rhw, u, v
constexpr UINT kQuadBytes = 4 * kVertexStride;
static_assert(sizeof(model::Texel) == 8);

} // namespace

D3DFORMAT FrameRig::d3dFormat() const {
    return format_ == TexelFormat::Signed ? D3DFMT_Q16W16V16U16 : D3DFMT_A16B16G16R16;
}

void FrameRig::release() {
    quadBuffer_.reset();
    transferSurface_.reset();
    inspectSurface_.reset();
    sourceTexture_.reset();
    renderTargets_[0].reset();
    renderTargets_[1].reset();
}

HRESULT FrameRig::createTexture(ComPtr<IDirect3DTexture9>& slot, DWORD usage) {
    return device_->CreateTexture(static_cast<UINT>(width_), static_cast<UINT>(height_), 1, usage,
                                  d3dFormat(), D3DPOOL_DEFAULT, slot.put(), nullptr);
}

HRESULT FrameRig::createQuad() {
    const HRESULT hr = device_->CreateVertexBuffer(kQuadBytes, D3DUSAGE_WRITEONLY, 0,
                                                   D3DPOOL_DEFAULT, quadBuffer_.put(), nullptr);
    if (FAILED(hr)) return hr;
    // Pre-transformed corners shifted by half a pixel, so that pixel centres meet texel centres.
    const float right = static_cast<float>(width_ - 0.5);
    const float bottom = static_cast<float>(height_ - 0.5);
    const float vertices[4][6] = {
        {-0.5f, -0.5f, 1.0f, 1.0f, 0.0f, 0.0f},
        {right, -0.5f, 1.0f, 1.0f, 1.0f, 0.0f},
        {-0.5f, bottom, 1.0f, 1.0f, 0.0f, 1.0f},
        {right, bottom, 1.0f, 1.0f, 1.0f, 1.0f},
    };
    static_assert(sizeof vertices == kQuadBytes);
    void* data = nullptr;
    const HRESULT lock = quadBuffer_->Lock(0, 0, &data, D3DLOCK_NOSYSLOCK);
    if (!log_.checkHr(lock, "IDirect3DVertexBuffer9::Lock")) return lock;
    std::memcpy(data, vertices, sizeof vertices);
    quadBuffer_->Unlock();
    return hr;
}

bool FrameRig::bindFrameParameters() {
    const D3DXVECTOR4 pitch(1.0f / static_cast<float>(width_), 1.0f / static_cast<float>(height_),
                            0.0f, 0.0f);
    return log_.checkHr(effect_->SetTexture("txSrc", sourceTexture_.get()),
                        "SetTexture(\"txSrc\")") &&
           log_.checkHr(effect_->SetTexture("txRGB", renderTargets_[0].get()),
                        "SetTexture(\"txRGB\")") &&
           log_.checkHr(effect_->SetVector("posPitch", &pitch), "SetVector(\"posPitch\")");
}

bool FrameRig::build(int width, int height) {
    release();
    width_ = width;
    height_ = height;
    const auto w = static_cast<UINT>(width);
    const auto h = static_cast<UINT>(height);
    return log_.checkHr(device_->CreateOffscreenPlainSurface(w, h, d3dFormat(), D3DPOOL_SYSTEMMEM,
                                                             transferSurface_.put(), nullptr),
                        "CreateOffscreenPlainSurface") &&
           log_.checkHr(device_->CreateOffscreenPlainSurface(w, h, d3dFormat(), D3DPOOL_SYSTEMMEM,
                                                             inspectSurface_.put(), nullptr),
                        "CreateOffscreenPlainSurface") &&
           log_.checkHr(createQuad(), "CreateVertexBuffer") &&
           log_.checkHr(createTexture(sourceTexture_, 0), "CreateTexture (source)") &&
           log_.checkHr(createTexture(renderTargets_[0], D3DUSAGE_RENDERTARGET),
                        "CreateTexture (render target 0)") &&
           log_.checkHr(createTexture(renderTargets_[1], D3DUSAGE_RENDERTARGET),
                        "CreateTexture (render target 1)") &&
           (!effect_ || bindFrameParameters());
}

bool FrameRig::roundTrip(const model::TexelImage& image, model::TexelImage& back) {
    if (!transferSurface_ || !renderTargets_[0]) return false;
    if (!fillSurface(transferSurface_.get(), image)) return false;
    ComPtr<IDirect3DSurface9> level;
    if (!log_.checkHr(renderTargets_[0]->GetSurfaceLevel(0, level.put()), "GetSurfaceLevel") ||
        !log_.checkHr(device_->UpdateSurface(transferSurface_.get(), nullptr, level.get(), nullptr),
                      "UpdateSurface"))
        return false;
    return readTarget(renderTargets_[0].get(), inspectSurface_.get(), back);
}

bool FrameRig::applyTrackValues(const int32_t trackValues[5]) {
    if (!handles_.pixGain || !handles_.pixDist || !handles_.posDist) {
        log_.fail("the effect lacks a handle for pixGain, pixDist or posDist");
        return false;
    }
    passCount_ = MapPassCount(trackValues[kTrackPasses]);
    const bool gain =
        log_.checkHr(effect_->SetFloat(handles_.pixGain, MapPixGain(trackValues[kTrackStrength])),
                     "SetFloat(pixGain)");
    const bool dist =
        log_.checkHr(effect_->SetFloat(handles_.pixDist, MapPixDist(trackValues[kTrackThreshold])),
                     "SetFloat(pixDist)");
    const bool pos =
        log_.checkHr(effect_->SetFloat(handles_.posDist, MapPosDist(trackValues[kTrackRange])),
                     "SetFloat(posDist)");
    return gain && dist && pos;
}

bool FrameRig::setPassTarget(IDirect3DTexture9* texture) {
    ComPtr<IDirect3DSurface9> level;
    if (!log_.checkHr(texture->GetSurfaceLevel(0, level.put()), "GetSurfaceLevel")) return false;
    return log_.checkHr(device_->SetRenderTarget(0, level.get()), "SetRenderTarget");
}

bool FrameRig::drawPass(UINT pass) {
    bool ok = log_.checkHr(effect_->BeginPass(pass), "BeginPass");
    ok = log_.checkHr(device_->SetStreamSource(0, quadBuffer_.get(), 0, kVertexStride),
                      "SetStreamSource") &&
         ok;
    ok = log_.checkHr(device_->DrawPrimitive(D3DPT_TRIANGLESTRIP, 0, 2), "DrawPrimitive") && ok;
    return log_.checkHr(effect_->EndPass(), "EndPass") && ok;
}

bool FrameRig::fillSurface(IDirect3DSurface9* surface, const model::TexelImage& image) {
    D3DLOCKED_RECT lr = {};
    if (!log_.checkHr(surface->LockRect(&lr, nullptr, 0), "LockRect")) return false;
    auto* base = static_cast<unsigned char*>(lr.pBits);
    const size_t rowBytes = static_cast<size_t>(width_) * sizeof(model::Texel);
    for (int y = 0; y < height_; ++y)
        std::memcpy(base + static_cast<ptrdiff_t>(y) * lr.Pitch, &image.at(0, y), rowBytes);
    return log_.checkHr(surface->UnlockRect(), "UnlockRect");
}

bool FrameRig::readSurface(IDirect3DSurface9* surface, model::TexelImage& image) {
    D3DLOCKED_RECT lr = {};
    if (!log_.checkHr(surface->LockRect(&lr, nullptr, D3DLOCK_READONLY), "LockRect")) return false;
    image = model::TexelImage(width_, height_);
    const auto* base = static_cast<const unsigned char*>(lr.pBits);
    const size_t rowBytes = static_cast<size_t>(width_) * sizeof(model::Texel);
    for (int y = 0; y < height_; ++y)
        std::memcpy(&image.at(0, y), base + static_cast<ptrdiff_t>(y) * lr.Pitch, rowBytes);
    return log_.checkHr(surface->UnlockRect(), "UnlockRect");
}

bool FrameRig::readTarget(IDirect3DTexture9* target, IDirect3DSurface9* surface,
                          model::TexelImage& image) {
    ComPtr<IDirect3DSurface9> level;
    if (!log_.checkHr(target->GetSurfaceLevel(0, level.put()), "GetSurfaceLevel")) return false;
    if (!log_.checkHr(device_->GetRenderTargetData(level.get(), surface), "GetRenderTargetData"))
        return false;
    return readSurface(surface, image);
}

bool FrameRig::renderFrame(const model::TexelImage& source, model::TexelImage& result) {
    if (!effect_ || !transferSurface_ || !renderTargets_[1]) return false;
    if (!fillSurface(transferSurface_.get(), source)) return false;
    if (!log_.checkHr(device_->BeginScene(), "BeginScene")) return false;

    // Every call runs even after one has failed, as in the plug-in; the result records it.
    bool ok = true;
    {
        ComPtr<IDirect3DSurface9> level;
        ok = log_.checkHr(sourceTexture_->GetSurfaceLevel(0, level.put()), "GetSurfaceLevel") &&
             log_.checkHr(
                 device_->UpdateSurface(transferSurface_.get(), nullptr, level.get(), nullptr),
                 "UpdateSurface");
    }
    IDirect3DTexture9* const rt0 = renderTargets_[0].get();
    ok = log_.checkHr(effect_->SetTexture(handles_.txRGB, rt0), "SetTexture(hTxRGB)") && ok;
    const D3DXHANDLE technique =
        format_ == TexelFormat::Unsigned ? handles_.techniqueU : handles_.technique;
    ok = log_.checkHr(effect_->SetTechnique(technique), "SetTechnique") && ok;
    ok =
        log_.checkHr(device_->SetVertexDeclaration(quadDeclaration_), "SetVertexDeclaration") && ok;
    UINT reportedPasses = 0;
    ok = log_.checkHr(effect_->Begin(&reportedPasses, 0), "Begin") && ok;

    ok = setPassTarget(rt0) && ok;
    ok = drawPass(0) && ok;
    for (int i = 1; i < passCount_; ++i) {
        IDirect3DTexture9* const target = renderTargets_[i % 2].get();
        ok = setPassTarget(target) && ok;
        ok = drawPass(1) && ok;
        ok = log_.checkHr(effect_->SetTexture(handles_.txRGB, target), "SetTexture(hTxRGB)") && ok;
    }
    ok = setPassTarget(renderTargets_[passCount_ % 2].get()) && ok;
    ok = drawPass(2) && ok;

    ok = log_.checkHr(effect_->End(), "End") && ok;
    ok = log_.checkHr(device_->EndScene(), "EndScene") && ok;
    DWORD scratch = 0;
    device_->ValidateDevice(&scratch); // as the plug-in does in its synchronous modes; not used

    return readTarget(renderTargets_[passCount_ % 2].get(), transferSurface_.get(), result) && ok;
}

bool FrameRig::readPassInput(model::TexelImage& image) {
    return readTarget(renderTargets_[(passCount_ + 1) % 2].get(), inspectSurface_.get(), image);
}

} // namespace kestrin::winecheck
