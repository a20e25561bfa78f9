// Texture reads for the pixel-program interpreter, from the decoded planes each bound texture
// keeps (DecodedTexels: decoded through the texel codec, so reads agree with the reference
// model bit for bit), with the stage's addressing and filter.
//
// Point sampling takes texel floor(u * width) (single precision), the texel whose square holds
// the coordinate. Linear sampling blends the four nearest texel centres with single-precision
// weights. The magnification filter decides (one level, level of detail 0). Addressing works on
// texel indices: wrap, mirror, clamp, border (the stage's border colour) and mirror-once. An
// unbound stage reads (0, 0, 0, 1). Channels the draw did not decode (because no compiled read
// of the draw needs them) read 0: the programs never look at them.
#pragma once

#include <array>
#include <vector>

#include "d3d9.h"
#include "effect/texel_codec.h"
#include "shader/interpreter.h"

namespace kestrin::platform::d3d9 {

class DecodedTexels;

struct SamplerSettings {
    DWORD addressU = D3DTADDRESS_WRAP;
    DWORD addressV = D3DTADDRESS_WRAP;
    DWORD magFilter = D3DTEXF_POINT;
    D3DCOLOR borderColor = 0;
};

// The stage's border colour as the four channels a read returns.
std::array<float, 4> borderChannels(D3DCOLOR color);

class TextureSampler final : public shader::SamplerCallback {
  public:
    // Reads `texels` (whose channels of `channels` are decoded) for `stage`.
    void bind(unsigned stage, const DecodedTexels& texels, unsigned channels,
              const SamplerSettings& settings);

    void sample(unsigned stage, size_t count, const float* u, const float* v,
                float* const out[4]) const override;

  private:
    struct Stage {
        bool bound = false;
        const DecodedTexels* texels = nullptr;
        unsigned channels = 0;
        SamplerSettings settings;
        std::array<float, 4> border{};
    };

    // Channel values of texel (x, y) after addressing.
    std::array<float, 4> texel(const Stage& s, int64_t x, int64_t y) const;

    std::array<Stage, shader::kSamplers> stages_;
};

// A texel index along one axis after addressing, or -1 for the border colour.
int64_t addressTexel(int64_t index, int64_t size, DWORD mode);

} // namespace kestrin::platform::d3d9
