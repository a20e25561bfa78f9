// Triangles of pre-transformed vertices to shaded pixels.
//
// Direct3D 9 conventions: pixel (i, j) has its centre at (i, j); vertex positions snap to 1/256
// of a pixel; a pixel is drawn when its centre lies inside the triangle, or on an edge that is a
// top edge (horizontal, the triangle below it) or a left edge. Coverage is decided with exact
// integer edge functions, so two triangles sharing an edge draw each pixel centre on it exactly
// once. Attributes are interpolated from the same edge functions, perspective-correct by the
// vertices' rhw when those differ. Triangles with a vertex beyond +-16384 pixels (the guard band)
// or not finite are not drawn; there is no clipper.
//
// Rows are shared over threads that claim them one at a time. Within a row the triangles are
// interpolated in order, a later triangle's pixels replacing an earlier one's, and then each run
// of covered pixels is shaded at once (a program's result depends on its inputs only, so
// shading the winner of each pixel is drawing the triangles in order). A run goes through the
// compiled program block by block where there is one; blocks it hands back, and draws without
// one, go through the thread's interpreter. Colour 0 is written through the texel codec into
// the render target's format, four texels at a time, and, for a target that is a texture, also
// as the decoded channels the next draw samples.
//
// Interpolation is exact and per pixel, but an attribute whose three vertex values are small
// integers is an exact integer combination of the edge functions: where that combination does
// not depend on y (on x), the value is the same down a column (along a row), so it is computed
// once per column of the triangle (once per row).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "effect/texel_codec.h"
#include "shader/compiled_program.h"
#include "shader/interpreter.h"

namespace kestrin::platform::d3d9 {

struct RasterVertex {
    float x = 0.0f;
    float y = 0.0f;
    float rhw = 1.0f;
    // The value of each input register v# at this vertex.
    std::array<std::array<float, 4>, shader::kInputRegisters> inputs{};
};

struct RasterTarget {
    uint8_t* bits = nullptr;
    size_t pitch = 0;
    int width = 0;
    int height = 0;
    TexelFormat format = TexelFormat::Signed;
};

// Pixels drawn: left <= x < right, top <= y < bottom (within the target).
struct RasterRect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
};

class DecodedTexels;

struct RasterJob {
    const std::vector<RasterVertex>* vertices = nullptr; // three per triangle, in draw order
    uint32_t inputMask = 0;                              // bit r: the program reads v<r>
    // The compiled program (null: the interpreter shades everything), the planes of its stages,
    // and the components of each input it reads.
    std::shared_ptr<const shader::CompiledProgram> compiled;
    std::array<const float*, shader::kSamplers> stageBases{};
    // Where the store also writes the decoded x, y, z of what it stores (null: nowhere).
    DecodedTexels* targetTexels = nullptr;
    std::shared_ptr<const shader::PixelProgram> program;
    const shader::ShaderConstants* constants = nullptr;
    const shader::SamplerCallback* sampler = nullptr;
    RasterTarget target;
    RasterRect clip;
    int threads = 1;
};

// Draws the job's triangles. False when memory ran out (rows may be partly drawn).
bool rasterise(const RasterJob& job);

} // namespace kestrin::platform::d3d9
