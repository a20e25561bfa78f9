// Runs one program over the same lanes with the interpreter and with a compiled engine, on
// textures held the way the device holds them for compiled code (padded float planes), and
// compares the two results bit for bit.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "shader/compiled_program.h"
#include "shader/interpreter.h"
#include "shader/texture_address.h"

namespace kestrin::shader::test {

// A texture of float channels with `pad` texels of addressing padding on each side.
struct PlanarTexture {
    int width = 0, height = 0, pad = 8;
    uint32_t addressU = kAddressMirror, addressV = kAddressMirror;
    std::vector<float> texels; // width * height * 4, rows packed
    std::vector<float> planes; // 4 planes, padded

    int64_t rowFloats() const { return width + 2 * pad; }
    int64_t planeFloats() const { return rowFloats() * (height + 2 * pad); }
    const float* base() const { return planes.data() + pad * rowFloats() + pad; }

    void build() {
        planes.assign(static_cast<size_t>(4 * planeFloats()), 0.0f);
        for (int c = 0; c < 4; ++c)
            for (int y = -pad; y < height + pad; ++y)
                for (int x = -pad; x < width + pad; ++x) {
                    const int64_t tx = addressTexel(x, width, addressU);
                    const int64_t ty = addressTexel(y, height, addressV);
                    const float v = tx < 0 || ty < 0
                                        ? 0.0f
                                        : texels[static_cast<size_t>((ty * width + tx) * 4 + c)];
                    planes[static_cast<size_t>(c * planeFloats() + (y + pad) * rowFloats() + x +
                                               pad)] = v;
                }
    }

    StageLayout layout() const {
        StageLayout l;
        l.bound = true;
        l.width = width;
        l.height = height;
        l.pad = pad;
        l.rowFloats = rowFloats();
        l.planeFloats = planeFloats();
        l.addressU = addressU;
        l.addressV = addressV;
        return l;
    }
};

// Point sampling as the device's sampler does it: texel floor(u * width), addressed.
class PlanarSampler final : public SamplerCallback {
  public:
    explicit PlanarSampler(const std::vector<const PlanarTexture*>& stages) : stages_(stages) {}
    void sample(unsigned stage, size_t count, const float* u, const float* v,
                float* const out[4]) const override {
        const PlanarTexture* t = stage < stages_.size() ? stages_[stage] : nullptr;
        for (size_t k = 0; k < count; ++k) {
            if (!t) {
                out[0][k] = out[1][k] = out[2][k] = 0.0f;
                out[3][k] = 1.0f;
                continue;
            }
            const int64_t x =
                addressTexel(indexOf(u[k] * static_cast<float>(t->width)), t->width, t->addressU);
            const int64_t y =
                addressTexel(indexOf(v[k] * static_cast<float>(t->height)), t->height, t->addressV);
            for (int c = 0; c < 4; ++c)
                out[c][k] = x < 0 || y < 0
                                ? 0.0f
                                : t->texels[static_cast<size_t>((y * t->width + x) * 4 + c)];
        }
    }

  private:
    static int64_t indexOf(float x) {
        constexpr float kLimit = 1073741824.0f;
        if (!(x == x)) return 0;
        return static_cast<int64_t>(std::floor(std::clamp(x, -kLimit, kLimit)));
    }
    std::vector<const PlanarTexture*> stages_;
};

struct LaneSet {
    size_t count = 0;
    std::vector<float> inputs[kInputRegisters][4]; // empty: the input reads zeros
};

struct EngineOutput {
    std::vector<float> colour[4];
    size_t blocks = 0;
    size_t bailed = 0; // blocks the compiled code handed back to the interpreter
};

inline void runInterpreterLanes(const std::shared_ptr<const PixelProgram>& program,
                                const ShaderConstants& constants, const SamplerCallback& sampler,
                                const LaneSet& lanes, size_t first, size_t count,
                                EngineOutput& out) {
    Executor exec(program);
    std::vector<float> zeros(kSpan, 0.0f);
    for (size_t at = first; at < first + count; at += kSpan) {
        const size_t n = std::min(kSpan, first + count - at);
        const float* in[kInputRegisters][4];
        for (unsigned r = 0; r < kInputRegisters; ++r)
            for (unsigned c = 0; c < 4; ++c)
                in[r][c] =
                    lanes.inputs[r][c].empty() ? zeros.data() : lanes.inputs[r][c].data() + at;
        float* o[4];
        for (unsigned c = 0; c < 4; ++c) o[c] = out.colour[c].data() + at;
        exec.run(constants, sampler, n, in, o);
    }
}

// `describe`, when given, adds what the compiler may assume of each bound stage's values.
inline EngineOutput runEngine(Engine engine, const std::shared_ptr<const PixelProgram>& program,
                              const ShaderConstants& constants,
                              const std::vector<const PlanarTexture*>& textures,
                              const LaneSet& lanes, std::string* refused = nullptr,
                              const std::function<void(StageLayout&)>& describe = {}) {
    EngineOutput out;
    for (auto& c : out.colour) c.assign(lanes.count, 0.0f);
    PlanarSampler sampler(textures);
    if (engine == Engine::Interpreter) {
        runInterpreterLanes(program, constants, sampler, lanes, 0, lanes.count, out);
        return out;
    }
    DrawSpecialisation draw;
    draw.constants = &constants;
    std::vector<const float*> bases(kSamplers, nullptr);
    for (size_t s = 0; s < textures.size() && s < kSamplers; ++s)
        if (textures[s]) {
            draw.stages[s] = textures[s]->layout();
            if (describe) describe(draw.stages[s]);
            bases[s] = textures[s]->base();
        }
    const CompileResult compiled = compileProgram(*program, draw, engine);
    if (!compiled.program) {
        if (refused) *refused = compiled.reason;
        runInterpreterLanes(program, constants, sampler, lanes, 0, lanes.count, out);
        return out;
    }
    std::vector<float> zeros(lanes.count + 16, 0.0f);
    const float* in[kInputRegisters * 4];
    for (unsigned r = 0; r < kInputRegisters; ++r)
        for (unsigned c = 0; c < 4; ++c)
            in[4 * r + c] = lanes.inputs[r][c].empty() ? zeros.data() : lanes.inputs[r][c].data();
    float* o[4];
    for (unsigned c = 0; c < 4; ++c) o[c] = out.colour[c].data();
    const size_t L = compiled.program->lanes();
    if (lanes.count < L) {
        runInterpreterLanes(program, constants, sampler, lanes, 0, lanes.count, out);
        return out;
    }
    for (size_t at = 0; at < lanes.count; at += L) {
        const size_t start = std::min(at, lanes.count - L); // the last block overlaps
        KernelArgs args{in, o, bases.data(), static_cast<int64_t>(start)};
        ++out.blocks;
        if (!compiled.program->runBlock(args)) {
            ++out.bailed;
            runInterpreterLanes(program, constants, sampler, lanes, start, L, out);
        }
    }
    return out;
}

inline bool sameBits(float a, float b) {
    if (std::isnan(a) && std::isnan(b)) return true; // no consumer tells NaNs apart
    return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b);
}

// 0x7FC00000: the bits of a float (the assertion message formats each value on its own, so
// stream manipulators would not reach them).
inline std::string hexBits(float v) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(std::bit_cast<uint32_t>(v)));
    return text;
}

inline ::testing::AssertionResult sameOutput(const EngineOutput& expected,
                                             const EngineOutput& actual) {
    for (unsigned c = 0; c < 4; ++c)
        for (size_t k = 0; k < expected.colour[c].size(); ++k)
            if (!sameBits(expected.colour[c][k], actual.colour[c][k]))
                return ::testing::AssertionFailure()
                       << "lane " << k << " channel " << c << ": interpreter "
                       << expected.colour[c][k] << " (" << hexBits(expected.colour[c][k])
                       << "), compiled " << actual.colour[c][k] << " ("
                       << hexBits(actual.colour[c][k]) << ")";
    return ::testing::AssertionSuccess();
}

} // namespace kestrin::shader::test
