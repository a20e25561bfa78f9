// The fast engine: a validated ps_3_0 program compiled, for one draw's constants and textures, to
// x86-64 SIMD code that shades a block of pixels (8 lanes with AVX2, 4 with SSE2) with every
// value in vector registers.
//
// Why generated code. Before building it, the built effect's last pass (the 7 x 7 iteration at
// 1080p, 2 threads) was run four ways on the 2-core development machine: the interpreter, a
// span engine (the same folded trace executed one operation at a time over 64-lane arrays, as
// a vectorised engine over pixel spans with runtime ISA dispatch does), and generated SSE2 and
// AVX2 code. Medians of 5 interleaved rounds, relative to AVX2 (bench/engine_bench prints them
// again): interpreter 22.8x, span engine 8.1x, SSE2 2.2x, AVX2 1.0x (93 ms). The span engine
// loses because each operation loads and stores its 64 lanes and dispatch stays per operation;
// the generated code keeps the centre texel, the sums and the weights in registers across the
// whole unrolled tap loop. xbyak was chosen over asmjit and LLVM: header-only, a plain
// mnemonic-per-call API that maps one-to-one onto what the backend emits, and nothing to link.
//
// What compiling does, per draw:
//   - static flow control is resolved: rep/loop counts and if conditions come from the draw's
//     constants, so the program becomes one straight-line trace (fully unrolled);
//   - everything that does not vary per pixel is folded at compile time with the same scalar
//     arithmetic as the interpreter's (loop counters, a filter's spatial weights, products of
//     constants);
//   - each value carries a range (bounds, whether it can be NaN or -0, a smallest nonzero
//     magnitude): with the stage descriptions below, a value proven +0 in every lane becomes a
//     constant. This drops the filter's taps whose spatial weight is exactly zero (12 of 49 at
//     the usual settings): their colour weight is proven finite, never rsq(0) * 0, because two
//     unequal 16-bit channels differ by at least one step and a select's branches are ranged
//     under its condition;
//   - equal expressions are computed once (value numbering), dead ones not at all;
//   - a texture read whose coordinates step by whole texels across the block becomes one
//     contiguous load per channel from the texture's decoded planes (see DecodedTexels in the
//     device), after a check; the check's index work is shared by every read with the same
//     coordinate.
// The trace is then list-scheduled over a model core (fast/schedule.h) and all 16 vector
// registers are allocated over that order, spilling the value needed furthest ahead. Together
// with the folding this took the last pass from about 60 to about 26 ms (AVX2, 1080p, 2 threads).
// A block whose reads fail the check (coordinates that do not step by one texel, indices beyond
// the decoded padding, NaN) returns false and is shaded by the interpreter instead: the answer
// is the same, only slower. Programs or draws the compiler does not handle (linear filtering,
// traces too long to unroll) are refused with the reason and run by the interpreter.
//
// Arithmetic is the interpreter's, operation for operation: IEEE single multiply, add, divide,
// square root (no FMA, no approximate reciprocals), the same select rules for min/max/cmp and
// saturate, so both engines give the same bits. NaN sign and payload are not kept identical:
// no operation or store distinguishes one NaN from another.
//
// The sanitizer builds run the generated code too: its own loads and stores are not
// instrumented, but it reads only the planes and lane arrays the device sized for it and writes
// only the block's output lanes, and the tests compare everything it produces.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>

#include "shader/interpreter.h"

namespace kestrin::shader {

enum class Engine : uint8_t { Interpreter, Sse2, Avx2 };

// The engine draws use: KESTRIN_SHADER_ENGINE (interpreter, sse2, avx2) when set and usable,
// else AVX2 where the CPU has it, else SSE2.
Engine defaultEngine();
bool engineAvailable(Engine engine);
const char* engineName(Engine engine);
// Tests force an engine; Engine::Interpreter with `reset` true returns to the default.
void setEngineOverride(Engine engine, bool reset = false);

// How one sampler stage looks to compiled code. Texture reads use decoded float planes: plane c
// holds channel c; texel (x, y) of the texture, for -pad <= x < width + pad and likewise y, is at
// base + c * planeFloats + y * rowFloats + x, where `base` is passed at run time (texel (0, 0) of
// plane 0). The padding holds what the stage's addressing reads there.
struct StageLayout {
    bool bound = false; // unbound stages read (0, 0, 0, 1)
    bool point = true;  // point (or no) filtering; linear filtering is not compiled
    int32_t width = 0;
    int32_t height = 0;
    int32_t pad = 0;
    int64_t rowFloats = 0;
    int64_t planeFloats = 0;
    uint32_t addressU = 1; // D3DTEXTUREADDRESS
    uint32_t addressV = 1;
    std::array<float, 4> border{}; // read where border addressing leaves the texture
    // What the decoded channels (and the border colour) can hold: values in [lowest, highest]
    // and, unless `exotic`, never NaN or -0. Lets the compiler drop work that only matters for
    // values the texture cannot hold (a saturate of a value known to be non-negative).
    float lowest = -std::numeric_limits<float>::infinity();
    float highest = std::numeric_limits<float>::infinity();
    bool exotic = true;
    // Nonzero: every value the stage reads (the border colour too) is float(k) / float(grid) for
    // an integer k with |k| <= grid, as decoded 16-bit channels are. Two such values that differ
    // differ by about 1 / grid at least, which lets the compiler prove a colour difference (and
    // what it scales) never underflows to zero.
    int32_t grid = 0;
};

struct DrawSpecialisation {
    const ShaderConstants* constants = nullptr;
    std::array<StageLayout, kSamplers> stages{};
};

struct KernelArgs {
    const float* const* inputs;     // [4 * reg + component]: lane arrays
    float* const* outputs;          // [component]: colour 0 lane arrays
    const float* const* stageBases; // [stage]: texel (0, 0) of plane 0
    int64_t lane;                   // first lane of the block
};

class CompiledProgram {
  public:
    virtual ~CompiledProgram() = default;
    virtual Engine engine() const = 0;
    virtual unsigned lanes() const = 0;
    // Shades lanes [lane, lane + lanes()). False: nothing was written; run them elsewhere.
    virtual bool runBlock(const KernelArgs& args) const = 0;
    // Components of input v<reg> the code reads (bit c = component c).
    virtual uint8_t inputComponents(unsigned reg) const = 0;
    // Channels of stage `stage`'s planes the code reads; no other channel affects its output.
    virtual uint8_t stageChannels(unsigned stage) const = 0;
    // For tests and diagnostics: vector operations and texture reads in the compiled trace.
    virtual size_t operationCount() const = 0;
};

struct CompileResult {
    std::shared_ptr<const CompiledProgram> program; // null when refused
    std::string reason;
};

CompileResult compileProgram(const PixelProgram& program, const DrawSpecialisation& draw,
                             Engine engine);

// The bytes a compiled program depends on besides the program: the constants it reads and the
// layouts of the stages it samples. Equal keys give interchangeable compiled programs.
std::string specialisationKey(const PixelProgram& program, const DrawSpecialisation& draw,
                              Engine engine);

} // namespace kestrin::shader
