// Texture reads for the pixel-program interpreter: each bound texture's level 0 decoded to floats
// once per draw (through the texel codec, so reads agree with the reference model bit for bit),
// then sampled with the stage's addressing and filter.
//
// Point sampling takes texel floor(u * width) (single precision), the texel whose square holds
// the coordinate. Linear sampling blends the four nearest texel centres with single-precision
// weights. The magnification filter decides (one level, level of detail 0). Addressing works on
// texel indices: wrap, mirror, clamp, border (the stage's border colour) and mirror-once. An
// unbound stage reads (0, 0, 0, 1).
#pragma once

#include <array>
#include <vector>

#include "d3d9.h"
#include "effect/texel_codec.h"
#include "shader/interpreter.h"

namespace kestrin::platform::d3d9 {

class Surface;

struct SamplerSettings {
    DWORD addressU = D3DTADDRESS_WRAP;
    DWORD addressV = D3DTADDRESS_WRAP;
    DWORD magFilter = D3DTEXF_POINT;
    D3DCOLOR borderColor = 0;
};

class TextureSampler final : public shader::SamplerCallback {
  public:
    // Decodes `level` (a surface in one of the two texel formats) for `stage`.
    void bind(unsigned stage, const Surface& level, const SamplerSettings& settings);

    void sample(unsigned stage, size_t count, const float* u, const float* v,
                float* const out[4]) const override;

  private:
    struct Stage {
        bool bound = false;
        int64_t width = 0;
        int64_t height = 0;
        std::vector<float> texels; // four floats per texel, rows packed
        SamplerSettings settings;
        std::array<float, 4> border{};
    };

    const float* texel(const Stage& s, int64_t x, int64_t y) const;

    std::array<Stage, shader::kSamplers> stages_;
};

// A texel index along one axis after addressing, or -1 for the border colour.
int64_t addressTexel(int64_t index, int64_t size, DWORD mode);

} // namespace kestrin::platform::d3d9
