// The built effect's programs drawn by the device, their constants and samplers bound from each
// program's constant table as the effect runtime binds them: every bit equals the reference
// model, pass by pass and for whole frames, whatever the number of render threads.
#include <cstring>
#include <map>
#include <variant>

#include "fx/states.h"
#include "shader/compiled_program.h"
#include "shader/ctab.h"
#include "tests/effect/effect_runner.h"
#include "tests/platform_d3d9/d3d9_fixture.h"

namespace kestrin::platform::d3d9::test {
namespace {

using kestrin::testing::builtEffect;
using kestrin::testing::passProgram;

std::vector<model::YcPixel> randomFrame(int width, int height, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> luma(-200, 4300), chroma(-2200, 2200);
    std::vector<model::YcPixel> frame(static_cast<size_t>(width) * height);
    for (auto& p : frame)
        p = {static_cast<int16_t>(luma(rng)), static_cast<int16_t>(chroma(rng)),
             static_cast<int16_t>(chroma(rng))};
    return frame;
}

class EffectDrawTest : public D3D9Test {
  protected:
    using Numbers = std::map<std::string, std::vector<float>>;
    using Textures = std::map<std::string, IDirect3DTexture9*>;

    static const std::vector<uint32_t>& program(D3DFORMAT format, size_t pass) {
        const fx::Technique& technique = builtEffect().techniques.at(format == kSigned ? 0 : 1);
        const std::vector<uint32_t>* code = passProgram(technique.passes.at(pass));
        EXPECT_NE(code, nullptr);
        static const std::vector<uint32_t> none;
        return code ? *code : none;
    }

    // The program, its constants (the effect's defaults unless `numbers` names them) and its
    // samplers (texture and the sampler's states), as the effect runtime sets them.
    void bindProgram(const std::vector<uint32_t>& code, const Numbers& numbers,
                     const Textures& textures) {
        shader_ = makeShader(code);
        ASSERT_EQ(device_->SetPixelShader(shader_.get()), D3D_OK);
        const shader::CtabReadResult ctab = shader::readCtabFromShader(code.data(), code.size());
        ASSERT_TRUE(ctab.ok()) << ctab.error;
        const fx::Effect& effect = builtEffect();
        for (const shader::CtabEntry& e : ctab.table.entries) {
            const auto index = effect.findParameter(e.name);
            ASSERT_TRUE(index) << e.name;
            const fx::Parameter& p = effect.parameters[*index];
            if (e.set == shader::RegisterSet::Sampler) {
                ASSERT_TRUE(textures.count(e.name)) << e.name;
                ASSERT_EQ(device_->SetTexture(e.index, textures.at(e.name)), D3D_OK);
                for (const fx::State& s : p.samplerStates) {
                    const fx::StateInfo* info = fx::stateByIndex(s.operation);
                    const auto* literal = std::get_if<fx::Literal>(&s.value);
                    if (info && literal && info->kind == fx::StateKind::Sampler) {
                        ASSERT_EQ(device_->SetSamplerState(
                                      e.index, static_cast<D3DSAMPLERSTATETYPE>(info->d3dNumber),
                                      literal->word),
                                  D3D_OK);
                    }
                }
                continue;
            }
            std::vector<float> v(p.value.size());
            std::memcpy(v.data(), p.value.data(), v.size() * 4);
            if (auto it = numbers.find(e.name); it != numbers.end()) v = it->second;
            for (uint16_t r = 0; r < e.count; ++r) {
                float reg[4] = {0, 0, 0, 0};
                for (uint32_t k = 0; k < 4; ++k) {
                    if (e.type.cls == shader::ParamClass::MatrixColumns) {
                        if (k < p.rows && r < p.columns) reg[k] = v[k * p.columns + r];
                    } else if (k < v.size()) {
                        reg[k] = v[k];
                    }
                }
                ASSERT_EQ(device_->SetPixelShaderConstantF(e.index + r, reg, 1), D3D_OK);
            }
        }
    }

    // A whole frame the way the plug-in runs it: upload through a system-memory surface, p0,
    // p1 (passes - 1 times) and p2 alternating between two render targets, read back.
    std::vector<model::YcPixel> runFrame(const std::vector<model::YcPixel>& frame, int w, int h,
                                         const model::FrameSettings& settings, D3DFORMAT format) {
        const TexelFormat tf = texelFormat(format);
        Ref<IDirect3DSurface9> transfer = makeSurface(w, h, format);
        Ref<IDirect3DTexture9> source = makeTexture(w, h, 0, format);
        Ref<IDirect3DTexture9> targets[2] = {makeTexture(w, h, D3DUSAGE_RENDERTARGET, format),
                                             makeTexture(w, h, D3DUSAGE_RENDERTARGET, format)};
        writeSurface(transfer.get(), model::encodeFrame(frame.data(), w, h, w, tf));
        EXPECT_EQ(
            device_->UpdateSurface(transfer.get(), nullptr, levelOf(source.get()).get(), nullptr),
            D3D_OK);
        const Numbers numbers{
            {"pixGain", {settings.params.pixGain}},
            {"pixDist", {settings.params.pixDist}},
            {"posDist", {settings.params.posDist}},
            {"posPitch", {1.0f / static_cast<float>(w), 1.0f / static_cast<float>(h)}}};
        auto pass = [&](size_t k, int write, int read) {
            bindProgram(program(format, k), numbers,
                        {{"samSrc", source.get()}, {"samRGB", targets[read].get()}});
            drawQuadInto(targets[write].get(), w, h);
        };
        pass(0, 0, 0);
        for (int i = 1; i < settings.passCount; ++i) pass(1, i % 2, (i - 1) % 2);
        pass(2, settings.passCount % 2, (settings.passCount - 1) % 2);
        EXPECT_EQ(device_->GetRenderTargetData(levelOf(targets[settings.passCount % 2].get()).get(),
                                               transfer.get()),
                  D3D_OK);
        // Unbind before the objects go, as the effect runtime's End would.
        EXPECT_EQ(device_->SetTexture(0, nullptr), D3D_OK);
        EXPECT_EQ(device_->SetTexture(1, nullptr), D3D_OK);
        return model::decodeFrame(readSurface(transfer.get()), tf);
    }

    void TearDown() override {
        shader_.reset();
        D3D9Test::TearDown();
    }

    Ref<IDirect3DPixelShader9> shader_;
};

::testing::AssertionResult sameTexels(const model::TexelImage& actual,
                                      const model::TexelImage& expected) {
    for (int y = 0; y < expected.height; ++y)
        for (int x = 0; x < expected.width; ++x)
            for (int c = 0; c < 4; ++c)
                if (actual.at(x, y)[c] != expected.at(x, y)[c])
                    return ::testing::AssertionFailure()
                           << "texel (" << x << ", " << y << ") channel " << c << ": device "
                           << actual.at(x, y)[c] << ", model " << expected.at(x, y)[c];
    return ::testing::AssertionSuccess();
}

TEST_F(EffectDrawTest, FirstPassMatchesTheModel) {
    const int w = 23, h = 9;
    const auto frame = randomFrame(w, h, 5);
    for (D3DFORMAT format : {kSigned, kUnsigned}) {
        const TexelFormat tf = texelFormat(format);
        const model::TexelImage src = model::encodeFrame(frame.data(), w, h, w, tf);
        Ref<IDirect3DTexture9> source = makeTexture(w, h, 0, format);
        Ref<IDirect3DTexture9> target = makeTexture(w, h, D3DUSAGE_RENDERTARGET, format);
        upload(source.get(), src, format);
        bindProgram(program(format, 0), {}, {{"samSrc", source.get()}});
        drawQuadInto(target.get(), w, h);
        const model::TexelImage expected =
            format == kSigned ? model::psYC2RGB(src) : model::psYC2RGBU(src);
        EXPECT_TRUE(sameTexels(download(target.get(), format), expected));
        ASSERT_EQ(device_->SetTexture(0, nullptr), D3D_OK);
    }
}

TEST_F(EffectDrawTest, FilterPassIsTheSameOnAnyNumberOfThreads) {
    const int w = 31, h = 17;
    const model::FilterParams params{0.5f, 81.0f, 0.25f};
    const auto frame = randomFrame(w, h, 8);
    const model::TexelImage rgb =
        model::psYC2RGB(model::encodeFrame(frame.data(), w, h, w, TexelFormat::Signed));
    const model::TexelImage expected = model::psFilter(rgb, params);
    Ref<IDirect3DTexture9> source = makeTexture(w, h, 0, kSigned);
    upload(source.get(), rgb, kSigned);
    Ref<IDirect3DTexture9> target = makeTexture(w, h, D3DUSAGE_RENDERTARGET, kSigned);
    bindProgram(program(kSigned, 1),
                {{"pixDist", {params.pixDist}},
                 {"posDist", {params.posDist}},
                 {"posPitch", {1.0f / w, 1.0f / h}}},
                {{"samRGB", source.get()}});
    for (int threads : {1, 2, 5, 40}) {
        hooks::DeviceProfile profile;
        profile.renderThreads = threads;
        hooks::setDeviceProfile(profile);
        upload(target.get(), model::TexelImage(w, h), kSigned);
        drawQuadInto(target.get(), w, h);
        EXPECT_TRUE(sameTexels(download(target.get(), kSigned), expected)) << threads << " threads";
    }
    ASSERT_EQ(device_->SetTexture(1, nullptr), D3D_OK);
}

TEST_F(EffectDrawTest, WholeFramesMatchTheModel) {
    struct Case {
        int w, h;
        int32_t tracks[5];
    };
    const Case cases[] = {
        {17, 13, {128, 24, 64, 1, 0}},
        {40, 7, {200, 64, 8, 2, 0}},
        {9, 21, {256, 256, 256, 3, 0}},
    };
    uint32_t seed = 20;
    for (const Case& c : cases) {
        const auto frame = randomFrame(c.w, c.h, seed++);
        const model::FrameSettings settings = model::settingsFromTracks(c.tracks);
        for (D3DFORMAT format : {kSigned, kUnsigned}) {
            const auto actual = runFrame(frame, c.w, c.h, settings, format);
            const auto expected =
                model::filterFrame(frame.data(), c.w, c.h, c.w, settings, texelFormat(format));
            ASSERT_EQ(actual.size(), expected.size());
            for (size_t i = 0; i < actual.size(); ++i)
                ASSERT_TRUE(actual[i].y == expected[i].y && actual[i].cb == expected[i].cb &&
                            actual[i].cr == expected[i].cr)
                    << c.w << "x" << c.h << " passes " << settings.passCount << " format " << format
                    << " pixel " << i % c.w << "," << i / c.w;
        }
    }
}

// Every engine the device can draw with, forced in turn, gives the model's frames: the
// interpreter, SSE2 (the code for CPUs without AVX2) and AVX2, on sizes whose rows end inside a
// block and whose edges read the mirrored padding.
TEST_F(EffectDrawTest, WholeFramesMatchTheModelOnEveryEngine) {
    const int32_t tracks[5] = {160, 40, 20, 2, 0};
    const model::FrameSettings settings = model::settingsFromTracks(tracks);
    const std::pair<int, int> sizes[] = {{53, 19}, {8, 9}, {21, 4}};
    uint32_t seed = 40;
    for (shader::Engine engine :
         {shader::Engine::Interpreter, shader::Engine::Sse2, shader::Engine::Avx2}) {
        if (!shader::engineAvailable(engine)) continue;
        shader::setEngineOverride(engine);
        for (const auto& [w, h] : sizes) {
            const auto frame = randomFrame(w, h, seed++);
            for (D3DFORMAT format : {kSigned, kUnsigned}) {
                const auto actual = runFrame(frame, w, h, settings, format);
                const auto expected =
                    model::filterFrame(frame.data(), w, h, w, settings, texelFormat(format));
                ASSERT_EQ(actual.size(), expected.size());
                for (size_t i = 0; i < actual.size(); ++i)
                    ASSERT_TRUE(actual[i].y == expected[i].y && actual[i].cb == expected[i].cb &&
                                actual[i].cr == expected[i].cr)
                        << shader::engineName(engine) << " " << w << "x" << h << " format "
                        << format << " pixel " << i % w << "," << i / w;
            }
        }
    }
    shader::setEngineOverride(shader::Engine::Interpreter, true);
}

} // namespace
} // namespace kestrin::platform::d3d9::test
