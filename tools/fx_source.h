// The effect-file subset this project writes its effects in, compiled to an fx::Effect.
//
//   texture2D name;                              (also `texture`)
//   sampler name : register(sN) = sampler_state { State = value; ... };
//   float / float2 / float3 / float4 / float3x3 / float4x4 name : register(cN) [= init];
//       (a matrix is stored row by row; registers hold its columns unless declared row_major)
//   PixelShader name = asm { ps_3_0 ... };       a program, assembled with its constant table
//   technique name { pass name { State = value; ... } ... }
//
// State values: numbers, TRUE/FALSE, named constants (MIRROR, POINT, ...), NULL, <texture> inside
// a sampler_state, (program) for PixelShader. Every global a program reads is found from the
// registers it reads and named in the program's constant table; literal constants are def/defi
// in registers no global uses. Errors are "file:line: message".
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "fx/effect.h"

namespace kestrin::tools {

struct CompiledSource {
    fx::Effect effect;
    std::vector<std::string> errors; // "file:line: message"; empty on success
    bool ok() const { return errors.empty(); }
};

CompiledSource compileEffectSource(std::string_view text, std::string_view fileName);

} // namespace kestrin::tools
