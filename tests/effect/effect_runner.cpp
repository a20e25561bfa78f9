#include "tests/effect/effect_runner.h"

#include <array>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>
#include <variant>

#include "fx/reader.h"
#include "fx/states.h"
#include "shader/ctab.h"
#include "shader/interpreter.h"

namespace kestrin::testing {
namespace {

using model::TexelImage;

// Point sampling with mirrored addressing from images decoded to floats once per pass.
class ImageSampler : public shader::SamplerCallback {
  public:
    struct Decoded {
        int width = 0, height = 0;
        std::vector<std::array<float, 4>> texels;
    };
    Decoded stages[shader::kSamplers];

    void bind(unsigned stage, const TexelImage& image, TexelFormat format) {
        Decoded& d = stages[stage];
        d.width = image.width;
        d.height = image.height;
        d.texels.resize(image.texels.size());
        for (size_t i = 0; i < image.texels.size(); ++i)
            for (int c = 0; c < 4; ++c) d.texels[i][c] = readChannel(image.texels[i][c], format);
    }

    void sample(unsigned stage, size_t count, const float* u, const float* v,
                float* const out[4]) const override {
        const Decoded& d = stages[stage < shader::kSamplers ? stage : 0];
        for (size_t k = 0; k < count; ++k) {
            if (d.texels.empty()) {
                for (int c = 0; c < 4; ++c) out[c][k] = 0.0f;
                continue;
            }
            // Texel centres sit at (i + 0.5) / size.
            const int x =
                wrap(static_cast<int>(std::floor(u[k] * static_cast<float>(d.width))), d.width);
            const int y =
                wrap(static_cast<int>(std::floor(v[k] * static_cast<float>(d.height))), d.height);
            const auto& t = d.texels[static_cast<size_t>(y) * d.width + x];
            for (int c = 0; c < 4; ++c) out[c][k] = t[c];
        }
    }

  private:
    static int wrap(int k, int size) {
        return k >= 0 && k < size ? k : model::mirrorIndex(k, size);
    }
};

std::string upload(const std::vector<uint32_t>& code, const fx::Effect& effect,
                   const PassInputs& values, shader::ShaderConstants& constants,
                   ImageSampler& sampler, TexelFormat format) {
    const shader::CtabReadResult ctab = shader::readCtabFromShader(code.data(), code.size());
    if (!ctab.ok()) return ctab.error;
    for (const shader::CtabEntry& e : ctab.table.entries) {
        if (e.set == shader::RegisterSet::Sampler) {
            auto it = values.textures.find(e.name);
            if (it == values.textures.end()) return "no texture for " + e.name;
            if (e.index >= shader::kSamplers) return "sampler register out of range";
            sampler.bind(e.index, *it->second, format);
            continue;
        }
        const auto param = effect.findParameter(e.name);
        if (!param) return "constant table names unknown parameter " + e.name;
        const fx::Parameter& p = effect.parameters[*param];
        std::vector<float> v(p.value.size());
        for (size_t i = 0; i < v.size(); ++i) std::memcpy(&v[i], &p.value[i], 4);
        if (auto it = values.numbers.find(e.name); it != values.numbers.end()) v = it->second;
        for (uint16_t r = 0; r < e.count; ++r) {
            auto& reg = constants.f.at(e.index + r);
            reg = {0, 0, 0, 0};
            for (uint32_t k = 0; k < 4; ++k) {
                if (e.type.cls == shader::ParamClass::MatrixColumns) {
                    // Register r holds column r of the row-by-row matrix.
                    if (k < p.rows && r < p.columns) reg[k] = v[k * p.columns + r];
                } else if (e.type.cls == shader::ParamClass::MatrixRows) {
                    if (k < p.columns && r < p.rows) reg[k] = v[r * p.columns + k];
                } else if (k < v.size()) {
                    reg[k] = v[k];
                }
            }
        }
    }
    return {};
}

void drawRows(const std::shared_ptr<const shader::PixelProgram>& program,
              const shader::ShaderConstants& constants, const ImageSampler& sampler,
              TexelFormat format, TexelImage& target, int firstRow, int rowStep) {
    shader::Executor exec(program);
    std::vector<float> u(shader::kSpan), v(shader::kSpan), out(4 * shader::kSpan);
    const float* inputs[shader::kInputRegisters][4] = {};
    inputs[0][0] = u.data();
    inputs[0][1] = v.data();
    float* const colour[4] = {&out[0], &out[shader::kSpan], &out[2 * shader::kSpan],
                              &out[3 * shader::kSpan]};
    const int w = target.width, h = target.height;
    for (int y = firstRow; y < h; y += rowStep) {
        for (int x0 = 0; x0 < w; x0 += static_cast<int>(shader::kSpan)) {
            const size_t n = std::min<size_t>(shader::kSpan, static_cast<size_t>(w - x0));
            for (size_t k = 0; k < n; ++k) {
                u[k] =
                    (static_cast<float>(x0 + static_cast<int>(k)) + 0.5f) / static_cast<float>(w);
                v[k] = (static_cast<float>(y) + 0.5f) / static_cast<float>(h);
            }
            exec.run(constants, sampler, n, inputs, colour);
            for (size_t k = 0; k < n; ++k)
                for (int c = 0; c < 4; ++c)
                    target.at(x0 + static_cast<int>(k), y)[c] = writeChannel(colour[c][k], format);
        }
    }
}

} // namespace

const std::vector<uint32_t>* passProgram(const fx::Pass& pass) {
    for (const fx::State& s : pass.states)
        if (s.operation == fx::state::PixelShader)
            if (const auto* code = std::get_if<fx::ShaderCode>(&s.value)) return &code->words;
    return nullptr;
}

std::string drawPass(const std::vector<uint32_t>& code, const fx::Effect& effect,
                     const PassInputs& inputs, TexelFormat format, TexelImage& target,
                     int threads) {
    shader::ProgramLoad load = shader::loadPixelProgram(code.data(), code.size());
    if (!load.program) return load.error;
    shader::ShaderConstants constants;
    ImageSampler sampler;
    if (std::string e = upload(code, effect, inputs, constants, sampler, format); !e.empty())
        return e;
    std::vector<std::thread> workers;
    for (int t = 1; t < threads; ++t)
        workers.emplace_back(drawRows, load.program, std::cref(constants), std::cref(sampler),
                             format, std::ref(target), t, threads);
    drawRows(load.program, constants, sampler, format, target, 0, std::max(threads, 1));
    for (auto& w : workers) w.join();
    return {};
}

EffectRun runEffect(const fx::Effect& effect, const model::YcPixel* pixels, int width, int height,
                    const model::FilterParams& params, int passes, TexelFormat format) {
    EffectRun run;
    const size_t techniqueIndex = format == TexelFormat::Signed ? 0 : 1;
    if (effect.techniques.size() <= techniqueIndex ||
        effect.techniques[techniqueIndex].passes.size() != 3) {
        run.error = "technique missing";
        return run;
    }
    const fx::Technique& technique = effect.techniques[techniqueIndex];
    const TexelImage source = model::encodeFrame(pixels, width, height, width, format);
    TexelImage targets[2] = {TexelImage(width, height), TexelImage(width, height)};

    PassInputs values;
    values.numbers["pixGain"] = {params.pixGain};
    values.numbers["pixDist"] = {params.pixDist};
    values.numbers["posDist"] = {params.posDist};
    values.numbers["posPitch"] = {1.0f / static_cast<float>(width),
                                  1.0f / static_cast<float>(height)};
    values.textures["samSrc"] = &source;

    auto pass = [&](size_t k, int target, int readFrom) -> bool {
        const std::vector<uint32_t>* code = passProgram(technique.passes[k]);
        if (!code) {
            run.error = "pass without a pixel program";
            return false;
        }
        values.textures["samRGB"] = &targets[readFrom];
        run.error = drawPass(*code, effect, values, format, targets[target]);
        return run.error.empty();
    };
    if (!pass(0, 0, 0)) return run;
    for (int i = 1; i < passes; ++i)
        if (!pass(1, i % 2, (i - 1) % 2)) return run;
    if (!pass(2, passes % 2, (passes - 1) % 2)) return run;
    run.frame = model::decodeFrame(targets[passes % 2], format);
    return run;
}

const std::vector<uint8_t>& builtEffectBytes() {
    static const std::vector<uint8_t> bytes = [] {
        std::ifstream in(KESTRIN_EFFECT_BINARY, std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
    }();
    return bytes;
}

const fx::Effect& builtEffect() {
    static const fx::Effect effect = [] {
        const auto& bytes = builtEffectBytes();
        auto read = fx::readEffect(bytes.data(), bytes.size());
        return read.ok() ? read.value() : fx::Effect{};
    }();
    return effect;
}

} // namespace kestrin::testing
