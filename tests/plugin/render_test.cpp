// Track values into effect parameters, the pass sequence of a frame, and the readback: the values
// set, the targets drawn in turn, what a failing step says and what still runs after it.
#include <algorithm>
#include <bit>
#include <iterator>
#include <utility>

#include "effect/model.h"
#include "gpu/frame_resources.h"
#include "gpu/render.h"
#include "host/frame_pipeline.h"
#include "tests/plugin/effect_spy.h"
#include "tests/plugin/plugin_fixture.h"

namespace kestrin::plugin_testing {
namespace {

struct Floats {
    float gain, pixDist, posDist;
};
Floats effectFloats(GpuContext& c) {
    Floats f{-1, -1, -1};
    EXPECT_EQ(c.effect->GetFloat(c.hPixGain, &f.gain), D3D_OK);
    EXPECT_EQ(c.effect->GetFloat(c.hPixDist, &f.pixDist), D3D_OK);
    EXPECT_EQ(c.effect->GetFloat(c.hPosDist, &f.posDist), D3D_OK);
    return f;
}
uint32_t bits(float f) {
    return std::bit_cast<uint32_t>(f);
}

// Position of the first call named `method` in the call log, or -1.
long logIndex(const std::vector<std::string>& log, const std::string& method) {
    const auto it = std::find(log.begin(), log.end(), method);
    return it == log.end() ? -1 : static_cast<long>(std::distance(log.begin(), it));
}

using TrackValues = BuiltTest;

TEST_F(TrackValues, MapToTheEffectsFloatsAndThePassCount) {
    struct Row {
        int32_t tracks[4];
        Floats expected;
        int32_t passes;
    };
    const Row rows[] = {
        {{128, 24, 64, 1}, {0.5f, 81.0f, 0.25f}, 1},
        {{256, 256, 256, 5}, {1.0f, 1048576.0f, 4.0f}, 5},
        {{0, 64, 0, 0}, {0.0f, 4096.0f, 0.0f}, 1},
        {{1, 1, 1, 6}, {1.0f / 256.0f, 1.0f / 4096.0f, 1.0f / 16384.0f}, 1},
        {{200, 100, 100, -1}, {0.78125f, 24414.0625f, 0.6103515625f}, 1},
        {{128, 24, 64, 3}, {0.5f, 81.0f, 0.25f}, 3},
    };
    for (const Row& row : rows) {
        const int32_t tracks[5] = {row.tracks[0], row.tracks[1], row.tracks[2], row.tracks[3], 0};
        SCOPED_TRACE(::testing::Message()
                     << tracks[0] << ", " << tracks[1] << ", " << tracks[2] << ", " << tracks[3]);
        EXPECT_TRUE(ApplyTrackValues(g_context, tracks));
        const Floats f = effectFloats(ctx());
        EXPECT_EQ(bits(f.gain), bits(row.expected.gain)) << f.gain;
        EXPECT_EQ(bits(f.pixDist), bits(row.expected.pixDist)) << f.pixDist;
        EXPECT_EQ(bits(f.posDist), bits(row.expected.posDist)) << f.posDist;
        EXPECT_EQ(ctx().passCount, row.passes);
    }
    EXPECT_TRUE(hooks::messageBoxes().empty());
}

// Every step still runs, but the values are not all in the effect: the caller must not render.
TEST_F(TrackValues, FailedSetTellsTheRestStillRunsAndTheResultIsFalse) {
    const char* messages[] = {text::kSetGainFailed, text::kSetPixDistFailed,
                              text::kSetPosDistFailed};
    const Floats before{0.5f, 81.0f, 0.25f};
    const Floats after{1.0f, 4096.0f, 4.0f};
    for (int failing = 0; failing < 3; ++failing) {
        SCOPED_TRACE(messages[failing]);
        applyTracks(1);
        startOver();
        hooks::failCall("ID3DXEffect::SetFloat", failing + 1, E_FAIL);
        const int32_t tracks[5] = {256, 64, 256, 4, 0};
        EXPECT_FALSE(ApplyTrackValues(g_context, tracks));
        EXPECT_EQ(messageTexts(), Texts{messages[failing]});
        EXPECT_TRUE(messageBoxesWellFormed());
        EXPECT_EQ(hooks::callCount("ID3DXEffect::SetFloat"), 3);
        const Floats f = effectFloats(ctx());
        EXPECT_EQ(f.gain, failing == 0 ? before.gain : after.gain);
        EXPECT_EQ(f.pixDist, failing == 1 ? before.pixDist : after.pixDist);
        EXPECT_EQ(f.posDist, failing == 2 ? before.posDist : after.posDist);
        EXPECT_EQ(ctx().passCount, 4);
    }
}

TEST_F(TrackValues, NullHandleSkipsItsParameterSilently) {
    const D3DXHANDLE posDist = std::exchange(ctx().hPosDist, nullptr);
    const int32_t tracks[5] = {256, 64, 256, 5, 0};
    EXPECT_TRUE(ApplyTrackValues(g_context, tracks));
    ctx().hPosDist = posDist;
    EXPECT_EQ(hooks::callCount("ID3DXEffect::SetFloat"), 2);
    EXPECT_EQ(effectFloats(ctx()).posDist, 0.25f);
    EXPECT_EQ(effectFloats(ctx()).gain, 1.0f);
    EXPECT_EQ(ctx().passCount, 5);
    EXPECT_TRUE(hooks::messageBoxes().empty());
}

using RenderSequence = BuiltTest;

// Pass 0 draws into target 0; run i of pass 1 into target i mod 2, reading the one drawn just
// before; pass 2 into target passes mod 2, likewise.
TEST_F(RenderSequence, TargetsAlternateWithThePassCount) {
    for (int32_t passes = 1; passes <= 5; ++passes) {
        SCOPED_TRACE("passes " + std::to_string(passes));
        applyTracks(passes);
        std::vector<EffectSpy::Pass> expected{{0, 0, 0}};
        for (int i = 1; i < passes; ++i) expected.push_back({1, i % 2, (i - 1) % 2});
        expected.push_back({2, passes % 2, (passes - 1) % 2});
        EffectSpy spy(g_context);
        startOver();
        EXPECT_TRUE(RenderFrame(0, g_context));
        ASSERT_EQ(spy.passes().size(), expected.size());
        for (size_t k = 0; k < expected.size(); ++k) {
            EXPECT_EQ(spy.passes()[k].pass, expected[k].pass) << "draw " << k;
            EXPECT_EQ(spy.passes()[k].target, expected[k].target) << "draw " << k;
            EXPECT_EQ(spy.passes()[k].txRGB, expected[k].txRGB) << "draw " << k;
        }
        EXPECT_EQ(spy.techniques(), std::vector<D3DXHANDLE>{ctx().hTechnique});
        EXPECT_EQ(hooks::callCount("IDirect3DDevice9::DrawPrimitive"), passes + 1);
        EXPECT_EQ(hooks::callCount("IDirect3DDevice9::UpdateSurface"), 1);
        EXPECT_EQ(hooks::callCount("IDirect3DDevice9::BeginScene"), 1);
        EXPECT_EQ(hooks::callCount("IDirect3DDevice9::EndScene"), 1);
        EXPECT_TRUE(hooks::messageBoxes().empty());
    }
}

TEST_F(RenderSequence, ValidateDeviceOnlyWithTheFlagAndAfterTheScene) {
    struct Row {
        int32_t flag;
        int calls;
    };
    for (const Row& row : {Row{0, 0}, Row{1, 1}, Row{2, 1}}) {
        SCOPED_TRACE("flag " + std::to_string(row.flag));
        startOver();
        EXPECT_TRUE(RenderFrame(row.flag, g_context));
        EXPECT_EQ(hooks::callCount("IDirect3DDevice9::ValidateDevice"), row.calls);
        if (row.calls) {
            const auto log = hooks::callLog();
            EXPECT_GT(logIndex(log, "IDirect3DDevice9::ValidateDevice"),
                      logIndex(log, "IDirect3DDevice9::EndScene"));
            EXPECT_EQ(log.back(), "IDirect3DDevice9::ValidateDevice");
        }
    }
}

// A refused scene draws nothing, and the frame fails: the targets still hold the last frame.
TEST_F(RenderSequence, RefusedSceneFailsTheFrameAndDrawsNothing) {
    hooks::failCall("IDirect3DDevice9::BeginScene", 1, D3DERR_INVALIDCALL);
    EXPECT_FALSE(RenderFrame(1, g_context));
    for (const char* method : {"IDirect3DDevice9::UpdateSurface", "IDirect3DDevice9::DrawPrimitive",
                               "IDirect3DDevice9::SetRenderTarget", "ID3DXEffect::BeginPass",
                               "IDirect3DDevice9::EndScene", "IDirect3DDevice9::ValidateDevice"})
        EXPECT_EQ(hooks::callCount(method), 0) << method;
    EXPECT_TRUE(hooks::messageBoxes().empty());
    // The scene is not left open: the next frame renders.
    EXPECT_TRUE(RenderFrame(0, g_context));
}

TEST_F(RenderSequence, MissingSurfaceOrDeviceFailsBeforeTheScene) {
    IDirect3DSurface9* surface = std::exchange(ctx().transferSurface, nullptr);
    EXPECT_FALSE(RenderFrame(0, g_context));
    ctx().transferSurface = surface;
    IDirect3DDevice9* device = std::exchange(ctx().device, nullptr);
    EXPECT_FALSE(RenderFrame(0, g_context));
    EXPECT_EQ(UploadSourceTexture(g_context, ctx().sourceTexture, ctx().transferSurface),
              D3DERR_INVALIDCALL);
    EXPECT_EQ(SetPassTarget(g_context, ctx().renderTargets[0]), D3DERR_INVALIDCALL);
    EXPECT_EQ(ReadBackResult(g_context), D3DERR_INVALIDCALL);
    ctx().device = device;
    EXPECT_EQ(UploadSourceTexture(g_context, nullptr, ctx().transferSurface), D3DERR_INVALIDCALL);
    EXPECT_EQ(UploadSourceTexture(g_context, ctx().sourceTexture, nullptr), D3DERR_INVALIDCALL);
    EXPECT_EQ(SetPassTarget(g_context, nullptr), D3DERR_INVALIDCALL);
    EXPECT_EQ(hooks::callCount("IDirect3DDevice9::BeginScene"), 0);
    EXPECT_TRUE(hooks::messageBoxes().empty());
}

// A level that cannot be had is told, the sequence goes on to its end, and the frame fails:
// the final target does not hold this frame's result.
TEST_F(RenderSequence, MissingLevelIsToldAndTheSequenceGoesOn) {
    applyTracks(2);
    struct Row {
        int nth; // 1: the source upload; 2: pass 0's target; 3: pass 1's; 4: pass 2's
        int updates, targetsSet;
    };
    for (const Row& row : {Row{1, 0, 3}, Row{2, 1, 2}, Row{3, 1, 2}, Row{4, 1, 2}}) {
        SCOPED_TRACE("level " + std::to_string(row.nth));
        startOver();
        hooks::failCall("IDirect3DTexture9::GetSurfaceLevel", row.nth, E_OUTOFMEMORY);
        EXPECT_FALSE(RenderFrame(0, g_context));
        EXPECT_EQ(messageTexts(), Texts{text::kSurfaceLevelFailed});
        EXPECT_TRUE(messageBoxesWellFormed());
        EXPECT_EQ(hooks::callCount("IDirect3DDevice9::UpdateSurface"), row.updates);
        EXPECT_EQ(hooks::callCount("IDirect3DDevice9::SetRenderTarget"), row.targetsSet);
        EXPECT_EQ(hooks::callCount("IDirect3DDevice9::DrawPrimitive"), 3);
        EXPECT_EQ(hooks::callCount("IDirect3DDevice9::EndScene"), 1);
    }
}

// Any failed step of the sequence fails the frame without a message of its own, but the
// sequence still runs to its end: the scene is ended and the diagnostic still made.
class RenderStepFailure : public RenderSequence,
                          public ::testing::WithParamInterface<const char*> {};

TEST_P(RenderStepFailure, FailsTheFrameAfterTheWholeSequence) {
    applyTracks(2);
    hooks::failCall(GetParam(), 1, E_FAIL);
    EXPECT_FALSE(RenderFrame(1, g_context));
    EXPECT_TRUE(hooks::messageBoxes().empty());
    EXPECT_EQ(hooks::callCount("IDirect3DDevice9::EndScene"), 1);
    EXPECT_EQ(hooks::callCount("IDirect3DDevice9::ValidateDevice"), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, RenderStepFailure,
    ::testing::Values("IDirect3DDevice9::UpdateSurface", "IDirect3DDevice9::SetRenderTarget",
                      "IDirect3DDevice9::SetStreamSource", "IDirect3DDevice9::DrawPrimitive",
                      "IDirect3DDevice9::SetVertexDeclaration", "IDirect3DDevice9::EndScene",
                      "ID3DXEffect::SetTexture", "ID3DXEffect::SetTechnique", "ID3DXEffect::Begin",
                      "ID3DXEffect::BeginPass", "ID3DXEffect::EndPass", "ID3DXEffect::End"),
    [](const auto& info) {
        std::string name = info.param;
        return name.substr(name.find("::") + 2);
    });

// ValidateDevice is a diagnostic: its failure changes nothing.
TEST_F(RenderSequence, AFailedValidationDoesNotFailTheFrame) {
    applyTracks(2);
    hooks::failCall("IDirect3DDevice9::ValidateDevice", 1, E_FAIL);
    EXPECT_TRUE(RenderFrame(1, g_context));
    EXPECT_TRUE(hooks::messageBoxes().empty());
}

TEST_F(RenderSequence, ReadBackFailuresAreToldWithTheirCode) {
    struct Row {
        const char* method;
        const char* message;
    };
    for (const Row& row : {Row{"IDirect3DTexture9::GetSurfaceLevel", text::kTargetLevelFailed},
                           Row{"IDirect3DDevice9::GetRenderTargetData", text::kReadBackFailed}}) {
        SCOPED_TRACE(row.method);
        ASSERT_TRUE(RenderFrame(0, g_context));
        startOver();
        hooks::failCall(row.method, 1, D3DERR_DRIVERINTERNALERROR);
        EXPECT_EQ(ReadBackResult(g_context), D3DERR_DRIVERINTERNALERROR);
        EXPECT_EQ(messageTexts(), Texts{row.message});
        EXPECT_TRUE(messageBoxesWellFormed());
    }
    // Without the final target there is nothing to read and nothing to say.
    startOver();
    applyTracks(3);
    IDirect3DTexture9* target = std::exchange(ctx().renderTargets[1], nullptr);
    EXPECT_EQ(ReadBackResult(g_context), D3DERR_INVALIDCALL);
    ctx().renderTargets[1] = target;
    EXPECT_TRUE(hooks::messageBoxes().empty());
}

// Whole frames through upload, passes, readback and download equal the reference model for
// every pass count in both texel formats: the readback takes the target the last pass drew.
class ExactFrames : public PluginTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ExactFrames, EveryPassCountMatchesTheModel) {
    const bool signedFormat = GetParam();
    hooks::DeviceProfile profile;
    profile.signedFormat = signedFormat;
    hooks::setDeviceProfile(profile);
    constexpr int32_t w = 13, h = 9, pitch = 15;
    ASSERT_NO_FATAL_FAILURE(initAndBuild(w, h, pitch));
    const TexelFormat format = signedFormat ? TexelFormat::Signed : TexelFormat::Unsigned;
    const std::vector<YcPixel> source = makeImage(w, h, pitch, 7);
    for (int32_t passes = 1; passes <= 5; ++passes) {
        SCOPED_TRACE("passes " + std::to_string(passes));
        const int32_t tracks[5] = {200, 40, 90, passes, 0};
        ApplyTrackValues(g_context, tracks);
        std::vector<YcPixel> output(source.size(), kGuard);
        ASSERT_EQ(UploadFrame(g_context, ctx().transferSurface, source.data(), nullptr), D3D_OK);
        ASSERT_TRUE(RenderFrame(0, g_context));
        ASSERT_EQ(ReadBackResult(g_context), D3D_OK);
        ASSERT_EQ(DownloadFrame(g_context, output.data(), ctx().transferSurface, nullptr), D3D_OK);
        const auto expected = model::filterFrame(
            reinterpret_cast<const model::YcPixel*>(source.data()), w, h, pitch, tracks, format);
        int wrong = 0;
        for (int32_t y = 0; y < h; ++y)
            for (int32_t x = 0; x < w; ++x) {
                const YcPixel& got = output[static_cast<size_t>(y) * pitch + x];
                const model::YcPixel& want = expected[static_cast<size_t>(y) * w + x];
                if (got.y != want.y || got.cb != want.cb || got.cr != want.cr) ++wrong;
            }
        EXPECT_EQ(wrong, 0);
    }
    EXPECT_TRUE(hooks::messageBoxes().empty());
}

INSTANTIATE_TEST_SUITE_P(Formats, ExactFrames, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Signed" : "Unsigned"; });

// The technique follows the texel format: BilateralFilteringU for unsigned texels.
using Techniques = PluginTest;

TEST_F(Techniques, FollowTheTexelFormat) {
    for (const bool signedFormat : {true, false}) {
        SCOPED_TRACE(signedFormat ? "signed" : "unsigned");
        hooks::DeviceProfile profile;
        profile.signedFormat = signedFormat;
        hooks::setDeviceProfile(profile);
        ASSERT_NO_FATAL_FAILURE(initAndBuild(8, 4, 8));
        applyTracks(1);
        {
            EffectSpy spy(g_context);
            EXPECT_TRUE(RenderFrame(0, g_context));
            EXPECT_EQ(spy.techniques(),
                      std::vector<D3DXHANDLE>{signedFormat ? ctx().hTechnique : ctx().hTechniqueU});
        }
        FilterExit(&record());
        startOver();
    }
}

} // namespace
} // namespace kestrin::plugin_testing
