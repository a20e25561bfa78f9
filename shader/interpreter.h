// Runs ps_3_0 programs on the CPU, a span of pixels at a time.
//
// A program is decoded, validated and analysed once (loadPixelProgram); anything the
// interpreter does not support is refused there with the reason, never half-run. Execution
// keeps every register as four channel arrays of up to kSpan lanes (structure of arrays), so
// each instruction is a short loop over lanes that the compiler vectorises. Control flow must be
// uniform (rep, loop, if on a constant bool): every lane runs the same instruction sequence.
//
// Arithmetic is IEEE single precision, each operation rounded on its own: mad is a multiply then
// an add; dp3 is ((x*x + y*y) + z*z); rsq(x) is 1 / sqrt(x) and rcp(x) is 1 / x, both computed
// as two correctly rounded steps; _sat clamps to [0, 1] with NaN to 0; cmp picks src1 where
// src0 >= 0. Textures are read through a sampler callback, so the interpreter never sees a
// texture format.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "shader/bytecode.h"

namespace kestrin::shader {

inline constexpr size_t kSpan = 64; // lanes (pixels) run together

inline constexpr unsigned kFloatConstants = 224;
inline constexpr unsigned kIntConstants = 16;
inline constexpr unsigned kBoolConstants = 16;
inline constexpr unsigned kInputRegisters = 10;
inline constexpr unsigned kSamplers = 16;

// An input the program declares (dcl_texcoord0 v0.xy): the rasteriser must supply it.
struct InputDeclaration {
    uint32_t reg = 0;  // v#
    uint8_t usage = 0; // D3DDECLUSAGE
    uint8_t usageIndex = 0;
    uint8_t mask = 0; // components read
};

// A validated, analysed program. Immutable after loading; one may be run by many threads, each
// with its own Executor.
struct PixelProgram;

struct ProgramLoad {
    std::shared_ptr<const PixelProgram> program; // null on failure
    std::string error;                           // why it was refused
};

ProgramLoad loadPixelProgram(const uint32_t* tokens, size_t count);

const std::vector<InputDeclaration>& programInputs(const PixelProgram& program);
// Bit s set: the program samples stage s.
uint32_t programSamplers(const PixelProgram& program);
const Program& programCode(const PixelProgram& program);

// The constants an application sets (SetPixelShaderConstantF/I/B). The program's own def, defi
// and defb take precedence for the registers they name.
struct ShaderConstants {
    std::array<std::array<float, 4>, kFloatConstants> f{};
    std::array<std::array<int32_t, 4>, kIntConstants> i{};
    std::array<uint32_t, kBoolConstants> b{};
};

// Texture reads. `u` and `v` hold `count` coordinates; the result goes to out[0..3][lane].
class SamplerCallback {
  public:
    virtual ~SamplerCallback() = default;
    virtual void sample(unsigned stage, size_t count, const float* u, const float* v,
                        float* const out[4]) const = 0;
};

// Per-thread state: the register file of one span.
class Executor {
  public:
    explicit Executor(std::shared_ptr<const PixelProgram> program);
    ~Executor();
    Executor(const Executor&) = delete;
    Executor& operator=(const Executor&) = delete;

    // Input register v# component c of lane k is inputs[#][c][k]; arrays of undeclared inputs
    // may be null. Runs `count` (<= kSpan) lanes and writes colour 0 to out[c][lane].
    void run(const ShaderConstants& constants, const SamplerCallback& sampler, size_t count,
             const float* const inputs[kInputRegisters][4], float* const out[4]);

  private:
    struct State;
    std::shared_ptr<const PixelProgram> program_;
    std::unique_ptr<State> state_;
};

} // namespace kestrin::shader
