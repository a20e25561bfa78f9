// Every failure fails its own frame and nothing after it: a frame whose objects, bindings or
// parameters did not all take returns 0 after the one message of the failing call, the work is
// retried on the next frame, and the first frame after the fault has cleared is exact, at the
// same size and at the size before. A failure that repeats is shown once, not on every frame.
#include <gtest/gtest.h>

#include <d3d9.h>

#include <cstring>

#include "tests/hostsim/plugin_session.h"

namespace kestrin::hostsim::testing {
namespace {

using Msgs = std::vector<std::string>;

int creates() {
    return hooks::callCount("IDirect3DDevice9::CreateTexture");
}

// One step of the rebuild made to fail. The rebuild first lets go of the old textures on the
// effect (txSrc and txRGB set to null twice: before the rebuild and inside it), so the bindings
// are the fifth and sixth SetTexture.
struct RebuildStepFailure {
    const char* name;
    const char* method;
    int nth;
    const char* message;
};
void PrintTo(const RebuildStepFailure& row, std::ostream* os) {
    *os << row.name;
}

const RebuildStepFailure kRebuildSteps[] = {
    {"TransferSurface", "IDirect3DDevice9::CreateOffscreenPlainSurface", 1,
     text::kSurfaceCreateFailed},
    {"QuadBuffer", "IDirect3DDevice9::CreateVertexBuffer", 1, text::kQuadFailed},
    {"QuadLock", "IDirect3DVertexBuffer9::Lock", 1, text::kQuadFailed},
    {"QuadUnlock", "IDirect3DVertexBuffer9::Unlock", 1, text::kQuadFailed},
    {"SourceTexture", "IDirect3DDevice9::CreateTexture", 1, text::kTexture0Failed},
    {"FirstTarget", "IDirect3DDevice9::CreateTexture", 2, text::kTexture1Failed},
    {"SecondTarget", "IDirect3DDevice9::CreateTexture", 3, text::kTexture2Failed},
    {"BindSource", "ID3DXEffect::SetTexture", 5, text::kBindSourceFailed},
    {"BindTarget", "ID3DXEffect::SetTexture", 6, text::kBindTargetFailed},
    {"BindPitch", "ID3DXEffect::SetVector", 1, text::kBindPitchFailed},
};

class FailedRebuildStep
    : public PluginTest,
      public ::testing::WithParamInterface<std::tuple<RebuildStepFailure, int32_t>> {};

// A new size whose rebuild fails: the frame fails with the step's one message; the same size is
// rebuilt on the next frame and is exact, and so is the size before.
TEST_P(FailedRebuildStep, FailsThatFrameAndTheNextOneRebuilds) {
    const auto& [row, mode] = GetParam();
    session().setMode(mode);
    session().setFrame(2, 21, 13, 2);
    session().setFrame(3, 21, 13, 3);
    ASSERT_EQ(session().init(), 1);
    OutputImage out(48, 40);
    ASSERT_TRUE(session().runsExactly(1, out));

    hooks::reset();
    hooks::failCall(row.method, row.nth, E_OUTOFMEMORY);
    EXPECT_EQ(session().proc(2, out), 0);
    EXPECT_TRUE(out.untouched());
    EXPECT_EQ(messageTexts(), Msgs{row.message});
    EXPECT_TRUE(messageBoxesWellFormed());
    // The step's failure is the one that failed the frame: nothing else failed after it.
    EXPECT_EQ(hooks::failedCalls(),
              (std::vector<hooks::FailedCall>{{row.method, E_OUTOFMEMORY, true}}));

    hooks::reset();
    EXPECT_TRUE(session().runsExactly(2, out)); // the same frame, the same size
    EXPECT_EQ(creates(), 3);
    EXPECT_TRUE(session().runsExactly(3, out)); // built: nothing more to make
    EXPECT_EQ(creates(), 3);
    EXPECT_TRUE(session().runsExactly(4, out)); // the size before
    EXPECT_TRUE(hooks::messageBoxes().empty());
}

INSTANTIATE_TEST_SUITE_P(Rows, FailedRebuildStep,
                         ::testing::Combine(::testing::ValuesIn(kRebuildSteps),
                                            ::testing::Values(0, 1, 2)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_mode" +
                                    std::to_string(std::get<1>(info.param));
                         });

// A track value that did not reach the effect: the frame fails with the SetFloat's message, and
// the next frame applies the values again and is exact. Both when a rebuild applies them and
// when a moved track bar does.
const char* const kTrackValueNames[] = {"PixGain", "PixDist", "PosDist"};

class FailedTrackValue : public PluginTest,
                         public ::testing::WithParamInterface<std::tuple<int, int32_t>> {};

TEST_P(FailedTrackValue, FailsThatFrameAndTheNextOneAppliesThem) {
    const auto& [failing, mode] = GetParam();
    const char* messages[] = {text::kSetGainFailed, text::kSetPixDistFailed,
                              text::kSetPosDistFailed};
    session().setMode(mode);
    ASSERT_EQ(session().init(), 1);
    OutputImage out(48, 40);

    // On the first frame, with the rebuild.
    hooks::failCall("ID3DXEffect::SetFloat", failing + 1, E_FAIL);
    EXPECT_EQ(session().proc(1, out), 0);
    EXPECT_TRUE(out.untouched());
    EXPECT_EQ(messageTexts(), Msgs{messages[failing]});
    EXPECT_EQ(hooks::failedCalls(),
              (std::vector<hooks::FailedCall>{{"ID3DXEffect::SetFloat", E_FAIL, true}}));
    hooks::reset();
    EXPECT_TRUE(session().runsExactly(1, out));
    EXPECT_EQ(hooks::callCount("ID3DXEffect::SetFloat"), 3);
    EXPECT_EQ(creates(), 0); // the rebuild had taken: only the values are applied again

    // After a track bar moved.
    session().setTracks(256, 90, 10, 2, mode);
    EXPECT_EQ(session().update(), 1);
    hooks::reset();
    hooks::failCall("ID3DXEffect::SetFloat", failing + 1, E_FAIL);
    EXPECT_EQ(session().proc(2, out), 0);
    EXPECT_TRUE(out.untouched());
    EXPECT_EQ(messageTexts(), Msgs{messages[failing]});
    hooks::reset();
    EXPECT_TRUE(session().runsExactly(2, out));
    EXPECT_EQ(hooks::callCount("ID3DXEffect::SetFloat"), 3);
    EXPECT_TRUE(session().runsExactly(3, out));
    EXPECT_EQ(hooks::callCount("ID3DXEffect::SetFloat"), 3);
}

INSTANTIATE_TEST_SUITE_P(Rows, FailedTrackValue,
                         ::testing::Combine(::testing::Values(0, 1, 2), ::testing::Values(0, 1, 2)),
                         [](const auto& info) {
                             return std::string(kTrackValueNames[std::get<0>(info.param)]) +
                                    "_mode" + std::to_string(std::get<1>(info.param));
                         });

// A failure that repeats frame after frame shows its box once; a different failure still shows
// its own. A frame that succeeds, switching the filter off and on, and starting the filter again
// each make the next failure news again.
using RepeatedFailure = PluginTest;

TEST_F(RepeatedFailure, IsShownOnceUntilAFrameSucceeds) {
    ASSERT_EQ(session().init(), 1);
    OutputImage out(48, 40);
    ASSERT_TRUE(session().runsExactly(1, out));

    hooks::reset();
    hooks::scriptCooperativeLevel({D3DERR_DEVICENOTRESET});
    hooks::failCall("IDirect3DDevice9::Reset", 1, E_FAIL, true);
    for (int32_t n = 2; n <= 5; ++n) {
        EXPECT_EQ(session().proc(n, out), 0) << n;
        EXPECT_TRUE(out.untouched());
    }
    EXPECT_EQ(messageTexts(), Msgs{text::kResetFailed});
    EXPECT_EQ(hooks::callCount("IDirect3DDevice9::Reset"), 4); // every frame tries again

    // A different failure is news.
    hooks::reset();
    hooks::failCall("IDirect3DDevice9::GetRenderTargetData", 1, E_FAIL, true);
    for (int32_t n = 6; n <= 8; ++n) EXPECT_EQ(session().proc(n, out), 0);
    EXPECT_EQ(messageTexts(), (Msgs{text::kReadBackFailed, text::kResultCopyFailed}));

    // A good frame ends the run of failures: the same failure is shown again.
    hooks::reset();
    EXPECT_TRUE(session().runsExactly(9, out));
    hooks::failCall("IDirect3DDevice9::GetRenderTargetData", 1, E_FAIL, true);
    EXPECT_EQ(session().proc(10, out), 0);
    EXPECT_EQ(session().proc(11, out), 0);
    EXPECT_EQ(messageTexts(), (Msgs{text::kReadBackFailed, text::kResultCopyFailed}));
}

TEST_F(RepeatedFailure, IsShownAgainAfterASwitchOffAndOn) {
    ASSERT_EQ(session().init(), 1);
    OutputImage out(48, 40);
    ASSERT_TRUE(session().runsExactly(1, out));
    hooks::failCall("IDirect3DDevice9::CreateOffscreenPlainSurface", 1, E_OUTOFMEMORY, true);
    session().setFrame(2, 20, 10, 2);
    EXPECT_EQ(session().proc(2, out), 0);
    EXPECT_EQ(session().proc(2, out), 0);
    EXPECT_EQ(messageTexts(), Msgs{text::kSurfaceCreateFailed});

    host().setEnabled(false);
    EXPECT_EQ(session().sendSwitchMessage(false), 0);
    host().setEnabled(true);
    EXPECT_EQ(session().sendSwitchMessage(true), 0);
    EXPECT_EQ(session().proc(2, out), 0);
    EXPECT_EQ(messageTexts(), (Msgs{text::kSurfaceCreateFailed, text::kSurfaceCreateFailed}));
}

TEST_F(RepeatedFailure, IsShownAgainAfterTheFilterStartsAgain) {
    ASSERT_EQ(session().init(), 1);
    OutputImage out(48, 40);
    hooks::failCall("IDirect3DDevice9::CreateOffscreenPlainSurface", 1, E_OUTOFMEMORY, true);
    EXPECT_EQ(session().proc(1, out), 0);
    EXPECT_EQ(session().proc(2, out), 0);
    EXPECT_EQ(messageTexts(), Msgs{text::kSurfaceCreateFailed});
    EXPECT_EQ(session().exit(), 1);
    ASSERT_EQ(session().init(), 1);
    EXPECT_EQ(session().proc(3, out), 0);
    EXPECT_EQ(messageTexts(), (Msgs{text::kSurfaceCreateFailed, text::kSurfaceCreateFailed}));
    hooks::reset();
    EXPECT_TRUE(session().runsExactly(4, out));
}

// Effect runtimes that keep nothing in the default pool may answer E_NOTIMPL to OnLostDevice and
// OnResetDevice: the reset has still happened, so the frame rebuilds and is exact.
class EffectWithoutDeviceObjects : public PluginTest,
                                   public ::testing::WithParamInterface<const char*> {};

TEST_P(EffectWithoutDeviceObjects, ResetGoesAhead) {
    ASSERT_EQ(session().init(), 1);
    OutputImage out(48, 40);
    ASSERT_TRUE(session().runsExactly(1, out));
    hooks::reset();
    hooks::scriptCooperativeLevel({D3DERR_DEVICENOTRESET});
    hooks::failCall(GetParam(), 1, E_NOTIMPL, true);
    EXPECT_TRUE(session().runsExactly(2, out));
    EXPECT_EQ(hooks::callCount("IDirect3DDevice9::Reset"), 1);
    EXPECT_EQ(creates(), 3);
    EXPECT_TRUE(session().runsExactly(3, out));
    EXPECT_TRUE(hooks::messageBoxes().empty());
}

INSTANTIATE_TEST_SUITE_P(Calls, EffectWithoutDeviceObjects,
                         ::testing::Values("ID3DXEffect::OnLostDevice",
                                           "ID3DXEffect::OnResetDevice"),
                         [](const auto& info) {
                             return std::string(info.param).substr(std::strlen("ID3DXEffect::"));
                         });

// FilterInit while the filter runs keeps the running filter: no second device, no second
// worker, nothing that FilterExit would not end.
using SecondInit = PluginTest;

TEST_F(SecondInit, KeepsTheRunningFilter) {
    ASSERT_EQ(session().init(), 1);
    OutputImage out(48, 40);
    session().setMode(2);
    ASSERT_TRUE(session().runsExactly(1, out));
    const int live = hooks::liveObjects();
    const int threads = hooks::callCount("_beginthreadex");
    EXPECT_EQ(session().init(), 1);
    EXPECT_EQ(hooks::callCount("IDirect3D9::CreateDevice"), 1);
    EXPECT_EQ(hooks::callCount("_beginthreadex"), threads);
    EXPECT_EQ(hooks::liveObjects(), live);
    EXPECT_TRUE(session().runsExactly(2, out));
    EXPECT_EQ(creates(), 3);
    EXPECT_EQ(session().exit(), 1);
    EXPECT_EQ(hooks::liveObjects(), liveAtStart());
}

} // namespace
} // namespace kestrin::hostsim::testing
