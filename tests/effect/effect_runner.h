// Runs the passes of a compiled effect's technique on the CPU, as a device drawing the screen
// quad would: every output texel gets texture coordinate ((x + 0.5) / w, (y + 0.5) / h), the
// programs' constants are uploaded from the effect's parameters through each program's constant
// table, samplers point-sample with mirrored addressing, and each pass's output is stored in the
// technique's 16-bit format before the next pass reads it.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "effect/model.h"
#include "fx/effect.h"

namespace kestrin::testing {

// Values for the effect's parameters, by name: numbers row by row, textures by sampler name.
struct PassInputs {
    std::map<std::string, std::vector<float>> numbers;
    std::map<std::string, const model::TexelImage*> textures;
};

// Draws one pass's program over `target` with `threads` threads sharing the rows. Returns an
// empty string, or why the program could not run.
std::string drawPass(const std::vector<uint32_t>& code, const fx::Effect& effect,
                     const PassInputs& inputs, TexelFormat format, model::TexelImage& target,
                     int threads = 1);

// The pixel program a pass sets, or null.
const std::vector<uint32_t>* passProgram(const fx::Pass& pass);

struct EffectRun {
    std::vector<model::YcPixel> frame; // packed, width x height
    std::string error;
};

// Filters a host frame with the effect's technique for `format`, `passes` >= 1, parameter
// values as the plug-in sets them (pixGain, pixDist, posDist; posPitch from the size).
EffectRun runEffect(const fx::Effect& effect, const model::YcPixel* pixels, int width, int height,
                    const model::FilterParams& params, int passes, TexelFormat format);

// The built effect binary and the effect read from it (empty when unreadable).
const std::vector<uint8_t>& builtEffectBytes();
const fx::Effect& builtEffect();

} // namespace kestrin::testing
