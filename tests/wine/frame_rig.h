// The frame-size objects and the per-frame call sequence of the plug-in, driven against a real
// device: upload through a system-memory surface, the three passes into two alternating render
// targets, readback of the final target.
#pragma once

#include <d3d9.h>
#include <d3dx9.h>

#include <cstdint>

#include "effect/model.h"
#include "tests/wine/check_log.h"
#include "tests/wine/com_ptr.h"
#include "tests/wine/effect_contract.h"

namespace kestrin::winecheck {

class FrameRig {
  public:
    FrameRig(IDirect3DDevice9* device, IDirect3DVertexDeclaration9* quadDeclaration,
             ID3DXEffect* effect, const EffectHandles& handles, TexelFormat format, CheckLog& log)
        : device_(device), quadDeclaration_(quadDeclaration), effect_(effect), handles_(handles),
          format_(format), log_(log) {}

    // Creates every frame-size object for width x height and, when there is an effect, binds
    // the textures and the texel pitch to it. False (the failing call logged) on any failure.
    bool build(int width, int height);

    // Device plumbing without the effect: `image` goes up through the system-memory surface into
    // render target 0 and comes back through GetRenderTargetData. Every bit should survive.
    bool roundTrip(const model::TexelImage& image, model::TexelImage& back);

    // The three filter parameters from the track values, and the pass count.
    bool applyTrackValues(const int32_t trackValues[5]);

    // Fills the system-memory surface with `source`, renders one frame and reads the final
    // render target back. False when any call of the sequence failed (each one is logged).
    bool renderFrame(const model::TexelImage& source, model::TexelImage& result);

    // The render target the last pass read: the output of p0 for one pass, otherwise the output
    // of the last p1. Read after renderFrame through a surface of its own.
    bool readPassInput(model::TexelImage& image);

    int passCount() const { return passCount_; }

  private:
    void release();
    HRESULT createTexture(ComPtr<IDirect3DTexture9>& slot, DWORD usage);
    HRESULT createQuad();
    bool bindFrameParameters();
    bool setPassTarget(IDirect3DTexture9* texture);
    bool drawPass(UINT pass);
    bool fillSurface(IDirect3DSurface9* surface, const model::TexelImage& image);
    bool readSurface(IDirect3DSurface9* surface, model::TexelImage& image);
    bool readTarget(IDirect3DTexture9* target, IDirect3DSurface9* surface,
                    model::TexelImage& image);
    D3DFORMAT d3dFormat() const;

    IDirect3DDevice9* device_;
    IDirect3DVertexDeclaration9* quadDeclaration_;
    ID3DXEffect* effect_;
    EffectHandles handles_;
    TexelFormat format_;
    CheckLog& log_;

    int width_ = 0;
    int height_ = 0;
    int passCount_ = 1;
    ComPtr<IDirect3DSurface9> transferSurface_;
    ComPtr<IDirect3DSurface9> inspectSurface_; // readback of the intermediate target only
    ComPtr<IDirect3DTexture9> sourceTexture_;
    ComPtr<IDirect3DTexture9> renderTargets_[2];
    ComPtr<IDirect3DVertexBuffer9> quadBuffer_;
};

} // namespace kestrin::winecheck
