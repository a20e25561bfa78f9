// The frame pipeline through the module: what the first frames build and apply, and every way a
// frame can fail, each with the messages the user sees (or none), a result of 0 and an output
// image the frame did not write; after each failure the filter goes on as before.
#include <gtest/gtest.h>

#include <d3d9.h>

#include <thread>

#include "tests/hostsim/plugin_session.h"

namespace kestrin::hostsim::testing {
namespace {

using Msgs = std::vector<std::string>;

int creates() {
    return hooks::callCount("IDirect3DDevice9::CreateTexture");
}
int uploads() {
    return hooks::callCount("ID3DXEffect::SetFloat");
}

class FramePipeline : public PluginTest, public ::testing::WithParamInterface<int32_t> {};

// The first frame builds the frame-size objects and applies the track values, whatever the mode;
// the same size again builds nothing; a new size builds once (and applies the values with it).
TEST_P(FramePipeline, BuildsOnTheFirstFrameAndOnceForEachNewSize) {
    session().setMode(GetParam());
    session().setFrame(3, 33, 17, 3);
    session().setFrame(4, 33, 17, 4);
    ASSERT_EQ(session().init(), 1);
    OutputImage out(48, 40);
    EXPECT_EQ(creates(), 0);
    EXPECT_EQ(uploads(), 0);

    EXPECT_TRUE(session().runsExactly(1, out));
    EXPECT_EQ(creates(), 3);
    EXPECT_EQ(hooks::callCount("IDirect3DDevice9::CreateOffscreenPlainSurface"), 1);
    EXPECT_EQ(uploads(), 3);
    EXPECT_TRUE(session().runsExactly(2, out));
    EXPECT_EQ(creates(), 3);
    EXPECT_EQ(uploads(), 3);

    EXPECT_TRUE(session().runsExactly(3, out));
    EXPECT_EQ(creates(), 6);
    EXPECT_EQ(uploads(), 6);
    EXPECT_TRUE(session().runsExactly(4, out));
    EXPECT_EQ(creates(), 6);
    EXPECT_EQ(uploads(), 6);
    EXPECT_TRUE(hooks::messageBoxes().empty());
}

// Moving a track bar (the host then calls FilterUpdate) applies the values once, before the
// next frame renders, and that frame already shows them.
TEST_P(FramePipeline, MovingATrackBarAppliesTheValuesOnce) {
    session().setMode(GetParam());
    ASSERT_EQ(session().init(), 1);
    OutputImage out(48, 40);
    ASSERT_TRUE(session().runsExactly(1, out));
    struct Move {
        int index;
        int32_t value;
    };
    for (Move m : {Move{0, 256}, Move{1, 0}, Move{2, 256}, Move{3, 4}, Move{0, 31}}) {
        SCOPED_TRACE("track " + std::to_string(m.index) + " -> " + std::to_string(m.value));
        session().tracks()[m.index] = m.value;
        EXPECT_EQ(session().update(), 1);
        const int before = uploads();
        EXPECT_TRUE(session().runsExactly(2, out)); // the same frame number: only the values moved
        EXPECT_EQ(uploads(), before + 3);
        EXPECT_TRUE(session().runsExactly(3, out));
        EXPECT_EQ(uploads(), before + 3);
    }
}

// A device that is lost fails frames without a word, and without trying a reset, for as long as
// it stays lost; once it answers again, frames go on without a rebuild.
TEST_P(FramePipeline, LostDeviceFailsFramesSilently) {
    session().setMode(GetParam());
    ASSERT_EQ(session().init(), 1);
    OutputImage out(48, 40);
    ASSERT_TRUE(session().runsExactly(1, out));
    hooks::scriptCooperativeLevel({D3DERR_DEVICELOST, D3DERR_DEVICELOST});
    const int built = creates();
    EXPECT_EQ(session().proc(2, out), 0);
    EXPECT_TRUE(out.untouched());
    EXPECT_EQ(session().proc(3, out), 0);
    EXPECT_TRUE(out.untouched());
    EXPECT_EQ(hooks::callCount("IDirect3DDevice9::Reset"), 0);
    EXPECT_TRUE(session().runsExactly(4, out));
    EXPECT_EQ(creates(), built);
    EXPECT_TRUE(hooks::messageBoxes().empty());
}

// The device can be reset: the frame that resets it rebuilds (and applies the values) and is
// exact.
TEST_P(FramePipeline, FirstFrameAfterAResetRebuildsAndIsExact) {
    session().setMode(GetParam());
    ASSERT_EQ(session().init(), 1);
    OutputImage out(48, 40);
    ASSERT_TRUE(session().runsExactly(1, out));
    hooks::scriptCooperativeLevel({D3DERR_DEVICELOST, D3DERR_DEVICENOTRESET});
    const int built = creates(), applied = uploads();
    EXPECT_EQ(session().proc(2, out), 0);
    EXPECT_TRUE(out.untouched());
    EXPECT_TRUE(session().runsExactly(3, out));
    EXPECT_EQ(hooks::callCount("IDirect3DDevice9::Reset"), 1);
    EXPECT_EQ(creates(), built + 3);
    EXPECT_EQ(uploads(), applied + 3);
    EXPECT_TRUE(session().runsExactly(4, out));
    EXPECT_EQ(creates(), built + 3);
    EXPECT_TRUE(hooks::messageBoxes().empty());
}

// A frame wider or higher than 4096 is refused by the rebuild: it fails at the upload with its
// message, without creating a texture, and so does every later frame of that size (the message
// once: the user has been told); 4096 works, and so does the size before.
TEST_P(FramePipeline, FramesLargerThan4096FailAtTheUpload) {
    session().setMode(GetParam());
    session().setMaxSize(4097, 3);
    session().setFrame(1, 40, 3, 1);
    session().setFrame(2, 4097, 1, 2);
    session().setFrame(3, 4097, 1, 3);
    session().setFrame(4, 4096, 3, 4);
    session().setFrame(5, 40, 3, 5);
    ASSERT_EQ(session().init(), 1);
    OutputImage out(4097, 3);
    ASSERT_TRUE(session().runsExactly(1, out));
    hooks::reset();
    for (int32_t n : {2, 3, 2}) {
        SCOPED_TRACE("frame " + std::to_string(n));
        EXPECT_EQ(session().proc(n, out), 0);
        EXPECT_TRUE(out.untouched());
        EXPECT_EQ(creates(), 0);
    }
    EXPECT_EQ(messageTexts(), Msgs{text::kUploadFailed});
    hooks::reset();
    EXPECT_TRUE(session().runsExactly(4, out));
    EXPECT_EQ(creates(), 3);
    EXPECT_TRUE(session().runsExactly(5, out));
    EXPECT_TRUE(hooks::messageBoxes().empty());

    // The same for the height; the frame before succeeded, so the message is news again.
    session().setMaxSize(4, 4097);
    session().setFrame(5, 2, 4097, 5);
    session().setFrame(6, 3, 4096, 6);
    OutputImage tall(4, 4097);
    EXPECT_EQ(session().proc(5, tall), 0);
    EXPECT_TRUE(tall.untouched());
    EXPECT_EQ(messageTexts(), Msgs{text::kUploadFailed});
    EXPECT_TRUE(session().runsExactly(6, tall));
}

// The size before a refused frame comes back: its objects went with the refused rebuild, so it
// rebuilds, and the frame is exact.
TEST_P(FramePipeline, SizeBeforeARefusedFrameRebuildsAndIsExact) {
    session().setMode(GetParam());
    session().setMaxSize(4097, 30);
    session().setDefaultSize(40, 30);
    session().setFrame(2, 4097, 30, 2);
    ASSERT_EQ(session().init(), 1);
    OutputImage out(4097, 30);
    ASSERT_TRUE(session().runsExactly(1, out));
    EXPECT_EQ(session().proc(2, out), 0);
    EXPECT_EQ(messageTexts(), Msgs{text::kUploadFailed});
    hooks::reset();
    EXPECT_TRUE(session().runsExactly(3, out));
    EXPECT_EQ(creates(), 3);
    EXPECT_TRUE(hooks::messageBoxes().empty());
}

INSTANTIATE_TEST_SUITE_P(Modes, FramePipeline, ::testing::Values(0, 1, 2),
                         [](const auto& info) { return "mode" + std::to_string(info.param); });

// One way for a frame to fail. `arrange` runs after a good frame and before the failing one;
// `messages` are what the user sees in modes 0 and 1, `workerMessages` in mode 2 (where the
// render and read-back run on the worker and report from there).
struct FrameFailure {
    const char* name;
    void (*arrange)(Host& host);
    Msgs messages;
    Msgs workerMessages;
};
void PrintTo(const FrameFailure& row, std::ostream* os) {
    *os << row.name;
}

class FailingFrame : public PluginTest,
                     public ::testing::WithParamInterface<std::tuple<FrameFailure, int32_t>> {};

TEST_P(FailingFrame, ReturnsZeroWithItsMessagesAndLeavesTheOutputAlone) {
    const auto& [row, mode] = GetParam();
    session().setMode(mode);
    ASSERT_EQ(session().init(), 1);
    OutputImage out(48, 40);
    ASSERT_TRUE(session().runsExactly(1, out));

    hooks::reset();
    row.arrange(host());
    EXPECT_EQ(session().proc(2, out), 0);
    EXPECT_TRUE(out.untouched());
    EXPECT_EQ(messageTexts(), mode == 2 ? row.workerMessages : row.messages);
    EXPECT_TRUE(messageBoxesWellFormed());

    // The filter goes on as before: every failure recovers.
    hooks::reset();
    host().setCacheSizeAnswer(1);
    host().setFetchFails(false);
    EXPECT_TRUE(session().runsExactly(3, out));
    EXPECT_TRUE(hooks::messageBoxes().empty());
}

void failNth(const char* method, int nth) {
    hooks::failCall(method, nth, E_FAIL);
}

const FrameFailure kFrameFailures[] = {
    {"CacheAnswersZero", [](Host& h) { h.setCacheSizeAnswer(0); }, {}, {}},
    {"CacheAnswersTwo", [](Host& h) { h.setCacheSizeAnswer(2); }, {}, {}},
    {"CacheAnswersMinusOne", [](Host& h) { h.setCacheSizeAnswer(-1); }, {}, {}},
    {"NoCachedFrame", [](Host& h) { h.setFetchFails(true); }, {}, {}},
    {"DeviceLost", [](Host&) { hooks::scriptCooperativeLevel({D3DERR_DEVICELOST}); }, {}, {}},
    {"ResetFails",
     [](Host&) {
         hooks::scriptCooperativeLevel({D3DERR_DEVICENOTRESET});
         failNth("IDirect3DDevice9::Reset", 1);
     },
     {text::kResetFailed},
     {text::kResetFailed}},
    {"OtherDeviceError",
     [](Host&) { hooks::scriptCooperativeLevel({D3DERR_DRIVERINTERNALERROR}); },
     {text::kCooperativeLevelError},
     {text::kCooperativeLevelError}},
    // Each call of the upload, render and read-back: see PinnedStep (undelivered_frames_test).
};

INSTANTIATE_TEST_SUITE_P(Rows, FailingFrame,
                         ::testing::Combine(::testing::ValuesIn(kFrameFailures),
                                            ::testing::Values(0, 1, 2)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_mode" +
                                    std::to_string(std::get<1>(info.param));
                         });

// A rebuild step that fails: see FailedRebuildStep (failure_recovery_test).

// A worker whose wait failed has stopped for good: mode-2 frames fail without a message, the
// other modes go on, and FilterExit still ends everything.
using StoppedWorker = PluginTest;

TEST_F(StoppedWorker, FailsModeTwoFramesSilently) {
    // The first wait after this point is the worker's wait for its first job.
    hooks::failCall("WaitForSingleObject", 1, E_FAIL);
    ASSERT_EQ(session().init(), 1);
    {
        // A broken worker sets doneEvent twice on its way out, after it set stopRequested.
        Deadline d("the worker's end", kCallLimit);
        while (hooks::callCount("SetEvent") < 2)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    OutputImage out(48, 40);
    session().setMode(2);
    EXPECT_EQ(session().proc(1, out), 0);
    EXPECT_TRUE(out.untouched());
    EXPECT_EQ(session().proc(2, out), 0);
    EXPECT_TRUE(out.untouched());
    EXPECT_TRUE(hooks::messageBoxes().empty());
    for (int32_t mode : {0, 1}) {
        session().setMode(mode);
        EXPECT_TRUE(session().runsExactly(3 + mode, out)) << "mode " << mode;
    }
}

} // namespace
} // namespace kestrin::hostsim::testing
