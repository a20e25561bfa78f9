// The filter record and the small callbacks, as the editor calls them: FilterInit failing and
// what a frame then does, FilterExit alone, the switch message in every state, FilterUpdate.
#include <d3d9.h>
#include <d3dx9.h>
#include <gtest/gtest.h>

#include "tests/hostsim/plugin_session.h"

namespace kestrin::hostsim::testing {
namespace {

using Callbacks = PluginTest;

TEST_F(Callbacks, RecordCarriesFiveTrackBarsAndNoCheckBoxes) {
    const FilterTable* t = host().table();
    EXPECT_EQ(t->trackCount, 5);
    EXPECT_EQ(t->checkCount, 0);
    EXPECT_EQ(t->flags, 0x08040000u);
    const int32_t defaults[5] = {128, 24, 64, 1, 0}, minimums[5] = {0, 0, 0, 1, 0},
                  maximums[5] = {256, 256, 256, 5, 2};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(t->trackDefaults[i], defaults[i]) << "track " << i;
        EXPECT_EQ(t->trackMinimums[i], minimums[i]) << "track " << i;
        EXPECT_EQ(t->trackMaximums[i], maximums[i]) << "track " << i;
        // The host starts from the defaults.
        EXPECT_EQ(session().tracks()[i], defaults[i]) << "track " << i;
    }
}

TEST_F(Callbacks, ExitWithoutInitReturnsOneAndReleasesNothing) {
    const int live = hooks::liveObjects();
    EXPECT_EQ(session().exit(), 1);
    EXPECT_EQ(session().exit(), 1);
    EXPECT_EQ(hooks::liveObjects(), live);
    EXPECT_TRUE(hooks::messageBoxes().empty());
}

// Without a started filter (before FilterInit, after FilterExit) a frame fails at once: the
// host is not asked for anything and its output stays as it was.
TEST_F(Callbacks, FrameWithoutAStartedFilterFailsAtOnce) {
    OutputImage out(48, 40);
    for (int32_t mode = 0; mode <= 2; ++mode) {
        session().setMode(mode);
        EXPECT_EQ(session().proc(1, out), 0);
        EXPECT_TRUE(out.untouched());
    }
    ASSERT_EQ(session().init(), 1);
    EXPECT_TRUE(session().runsExactly(1, out));
    EXPECT_EQ(session().exit(), 1);
    host().cacheSizeCalls.clear();
    host().frameRequests.clear();
    for (int32_t mode = 0; mode <= 2; ++mode) {
        session().setMode(mode);
        EXPECT_EQ(session().proc(2, out), 0);
        EXPECT_TRUE(out.untouched());
        EXPECT_EQ(session().procWithoutOutput(3), 0);
    }
    EXPECT_TRUE(host().cacheSizeCalls.empty());
    EXPECT_TRUE(host().frameRequests.empty());
    EXPECT_TRUE(hooks::messageBoxes().empty());
}

// Every way FilterInit can fail: the message the user sees, and afterwards the state of a filter
// that never started. A frame fails before it asks the host for anything and leaves the output
// alone; the switch message does nothing; FilterExit returns 1.
struct InitFailure {
    const char* name;
    void (*arrange)();
    const char* message;
};
void PrintTo(const InitFailure& row, std::ostream* os) {
    *os << row.name;
}

class FailedInit : public PluginTest, public ::testing::WithParamInterface<InitFailure> {};

TEST_P(FailedInit, LeavesTheFilterStoppedAndFramesFailUntouched) {
    const InitFailure& row = GetParam();
    row.arrange();
    EXPECT_EQ(session().init(), 0);
    EXPECT_EQ(messageTexts(), std::vector<std::string>{row.message});
    EXPECT_TRUE(messageBoxesWellFormed());
    EXPECT_EQ(hooks::liveObjects(), liveAtStart());

    OutputImage out(48, 40);
    for (int32_t mode = 0; mode <= 2; ++mode) {
        session().setMode(mode);
        EXPECT_EQ(session().proc(mode + 1, out), 0);
        EXPECT_TRUE(out.untouched());
    }
    EXPECT_TRUE(host().cacheSizeCalls.empty());
    EXPECT_TRUE(host().frameRequests.empty());
    EXPECT_EQ(session().sendSwitchMessage(false), 0);
    EXPECT_EQ(host().enabledQueries, 0);
    EXPECT_EQ(session().update(), 1);
    EXPECT_EQ(hooks::messageBoxes().size(), 1u);
}

const InitFailure kInitFailures[] = {
    {"Direct3DCreate9", [] { hooks::setDirect3DCreateFails(true); }, text::kDirect3DCreateFailed},
    {"CreateDevice", [] { hooks::failCall("IDirect3D9::CreateDevice", 1, D3DERR_NOTAVAILABLE); },
     text::kCreateDeviceFailed},
    {"ThreadCreation", [] { hooks::failThreadCreation(1); }, text::kWorkerStartFailed},
    {"EventCreation", [] { hooks::failEventCreation(2); }, text::kWorkerStartFailed},
    {"EffectResource",
     [] { hooks::failCall("D3DXCreateEffectFromResourceW", 1, D3DXERR_INVALIDDATA); },
     text::kEffectLoadFailed},
    // The device refuses the technique the chosen texel format needs: the load fails.
    {"TechniqueRefused", [] { hooks::failCall("ID3DXEffect::ValidateTechnique", 1, E_FAIL); },
     text::kEffectLoadFailed},
};

INSTANTIATE_TEST_SUITE_P(Rows, FailedInit, ::testing::ValuesIn(kInitFailures),
                         [](const auto& info) { return std::string(info.param.name); });

// Switched on: nothing is released and the next frame neither rebuilds nor differs.
TEST_F(Callbacks, SwitchMessageWhileEnabledChangesNothing) {
    ASSERT_EQ(session().init(), 1);
    OutputImage out(48, 40);
    ASSERT_TRUE(session().runsExactly(1, out));
    const int live = hooks::liveObjects();
    const int textures = hooks::callCount("IDirect3DDevice9::CreateTexture");

    EXPECT_EQ(session().sendSwitchMessage(true), 0);
    EXPECT_EQ(host().enabledQueries, 1);
    EXPECT_EQ(hooks::liveObjects(), live);
    EXPECT_TRUE(session().runsExactly(2, out));
    EXPECT_EQ(hooks::callCount("IDirect3DDevice9::CreateTexture"), textures);
    EXPECT_TRUE(hooks::messageBoxes().empty());
}

// Switched off: the frame-size objects are released (the device, effect and worker stay); the
// next frame builds them again and is exact; a second switch-off with nothing to release is
// harmless.
TEST_F(Callbacks, SwitchMessageWhileDisabledReleasesTheFrameObjects) {
    ASSERT_EQ(session().init(), 1);
    OutputImage out(48, 40);
    for (int32_t mode : {0, 2, 1}) {
        SCOPED_TRACE("mode " + std::to_string(mode));
        session().setMode(mode);
        ASSERT_TRUE(session().runsExactly(mode + 1, out));
        const int withFrameObjects = hooks::liveObjects();

        EXPECT_EQ(session().sendSwitchMessage(false), 0);
        const int switchedOff = hooks::liveObjects();
        EXPECT_LT(switchedOff, withFrameObjects);
        EXPECT_EQ(session().sendSwitchMessage(false), 0);
        EXPECT_EQ(hooks::liveObjects(), switchedOff);

        const int textures = hooks::callCount("IDirect3DDevice9::CreateTexture");
        host().setEnabled(true);
        EXPECT_TRUE(session().runsExactly(mode + 10, out));
        EXPECT_EQ(hooks::callCount("IDirect3DDevice9::CreateTexture"), textures + 3);
        EXPECT_EQ(hooks::liveObjects(), withFrameObjects);
    }
    EXPECT_TRUE(hooks::messageBoxes().empty());
}

// Switched off, every frame-size object is gone, as before the first frame: the effect lets go
// of its textures, and the device's render target 0 and stream 0 of the last target and the
// quad.
TEST_F(Callbacks, SwitchOffFreesTheTexturesAndTheQuad) {
    ASSERT_EQ(session().init(), 1);
    const int afterInit = hooks::liveObjects();
    OutputImage out(48, 40);
    ASSERT_TRUE(session().runsExactly(1, out));
    EXPECT_EQ(session().sendSwitchMessage(false), 0);
    EXPECT_EQ(hooks::liveObjects(), afterInit);
}

TEST_F(Callbacks, SwitchMessageBeforeInitDoesNothing) {
    EXPECT_EQ(session().sendSwitchMessage(false), 0);
    EXPECT_EQ(session().sendSwitchMessage(true), 0);
    EXPECT_EQ(host().enabledQueries, 0);
    EXPECT_EQ(hooks::liveObjects(), liveAtStart());
    // And the filter starts normally afterwards.
    ASSERT_EQ(session().init(), 1);
    OutputImage out(48, 40);
    EXPECT_TRUE(session().runsExactly(1, out));
}

// Other messages, even while switched off, are not the filter's business.
TEST_F(Callbacks, OtherMessagesChangeNothing) {
    ASSERT_EQ(session().init(), 1);
    OutputImage out(48, 40);
    ASSERT_TRUE(session().runsExactly(1, out));
    const int live = hooks::liveObjects();
    const int textures = hooks::callCount("IDirect3DDevice9::CreateTexture");
    host().setEnabled(false);
    for (UINT message : {0u, 0x0010u /* WM_CLOSE */, 0x0400u /* WM_USER */, 1132u, 1134u,
                         0x8000u | 1133u, 0xFFFFFFFFu}) {
        EXPECT_EQ(session().sendMessage(message), 0) << message;
        EXPECT_EQ(hooks::liveObjects(), live) << message;
    }
    EXPECT_EQ(host().enabledQueries, 0);
    host().setEnabled(true);
    EXPECT_TRUE(session().runsExactly(2, out));
    EXPECT_EQ(hooks::callCount("IDirect3DDevice9::CreateTexture"), textures);
}

// Two updates in a row upload the three parameters once, on the next frame, which renders with
// the new values; the frame after that uploads nothing.
TEST_F(Callbacks, UpdateTwiceUploadsTheParametersOnce) {
    ASSERT_EQ(session().init(), 1);
    OutputImage out(48, 40);
    ASSERT_TRUE(session().runsExactly(1, out));
    const int afterFirst = hooks::callCount("ID3DXEffect::SetFloat");

    session().setTracks(200, 90, 150, 3, 0);
    EXPECT_EQ(session().update(), 1);
    EXPECT_EQ(session().update(), 1);
    EXPECT_EQ(hooks::callCount("ID3DXEffect::SetFloat"), afterFirst);
    EXPECT_TRUE(session().runsExactly(2, out));
    EXPECT_EQ(hooks::callCount("ID3DXEffect::SetFloat"), afterFirst + 3);
    EXPECT_TRUE(session().runsExactly(3, out));
    EXPECT_EQ(hooks::callCount("ID3DXEffect::SetFloat"), afterFirst + 3);
}

} // namespace
} // namespace kestrin::hostsim::testing
