// Frames whose work did not all happen, seen from the host: a frame whose render or read-back did
// not happen is failed, never delivered with another frame's pixels, and a mode-2 frame without an
// output image still waits for its job.
#include <gtest/gtest.h>

#include "tests/hostsim/plugin_session.h"

namespace kestrin::hostsim::testing {
namespace {

using Msgs = std::vector<std::string>;

int readBacks() {
    return hooks::callCount("IDirect3DDevice9::GetRenderTargetData");
}

class RefusedScene : public PluginTest, public ::testing::WithParamInterface<int32_t> {};

// The render target still holds the previous frame's result; delivering it as this frame's
// would be a silent wrong picture. The frame fails without a message instead.
TEST_P(RefusedScene, FailsTheFrameInsteadOfDeliveringThePreviousResult) {
    session().setMode(GetParam());
    ASSERT_EQ(session().init(), 1);
    OutputImage out(48, 40);
    ASSERT_TRUE(session().runsExactly(1, out));

    hooks::failCall("IDirect3DDevice9::BeginScene", 1, E_FAIL);
    EXPECT_EQ(session().proc(2, out), 0);
    EXPECT_TRUE(out.untouched());
    EXPECT_TRUE(hooks::messageBoxes().empty());
    EXPECT_TRUE(session().runsExactly(2, out));
}

INSTANTIATE_TEST_SUITE_P(Modes, RefusedScene, ::testing::Values(0, 1, 2),
                         [](const auto& info) { return "mode" + std::to_string(info.param); });

// A frame whose render step failed must not be delivered either: either it fails with the
// output untouched, or what it delivers is this frame, filtered.
struct RenderStepFailure {
    const char* name;
    const char* method;
    int nth;
};
void PrintTo(const RenderStepFailure& row, std::ostream* os) {
    *os << row.name;
}

class RenderStep : public PluginTest,
                   public ::testing::WithParamInterface<std::tuple<RenderStepFailure, int32_t>> {};

TEST_P(RenderStep, FailureNeverDeliversAnotherFramesPicture) {
    const auto& [row, mode] = GetParam();
    session().setMode(mode);
    ASSERT_EQ(session().init(), 1);
    OutputImage out(48, 40);
    ASSERT_TRUE(session().runsExactly(1, out));

    hooks::failCall(row.method, row.nth, E_FAIL);
    if (session().proc(2, out) == 1) {
        const Picture& p = session().picture(2);
        EXPECT_TRUE(deliveredExactly(out, p.width, p.height, session().expected(2)))
            << "frame 2 was delivered as a success";
    } else {
        EXPECT_TRUE(out.untouched());
    }
}

const RenderStepFailure kRenderStepFailures[] = {
    {"SourceCopy", "IDirect3DDevice9::UpdateSurface", 1},
    {"SourceLevel", "IDirect3DTexture9::GetSurfaceLevel", 1},
    {"FirstPassTarget", "IDirect3DDevice9::SetRenderTarget", 1},
    {"FirstPassDraw", "IDirect3DDevice9::DrawPrimitive", 1},
};

INSTANTIATE_TEST_SUITE_P(Rows, RenderStep,
                         ::testing::Combine(::testing::ValuesIn(kRenderStepFailures),
                                            ::testing::Values(0, 2)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_mode" +
                                    std::to_string(std::get<1>(info.param));
                         });

// Mode 2: the worker's job rendered but could not read back, so the transfer surface still
// holds the unfiltered upload. The frame fails (the worker has told the user) instead of
// passing the source off as the result.
struct WorkerReadBackFailure {
    const char* name;
    const char* method;
    int nth;
    const char* message;
};
void PrintTo(const WorkerReadBackFailure& row, std::ostream* os) {
    *os << row.name;
}

class WorkerReadBack : public PluginTest,
                       public ::testing::WithParamInterface<WorkerReadBackFailure> {};

TEST_P(WorkerReadBack, FailureFailsTheFrame) {
    const WorkerReadBackFailure& row = GetParam();
    session().setMode(2);
    ASSERT_EQ(session().init(), 1);
    OutputImage out(48, 40);
    ASSERT_TRUE(session().runsExactly(1, out));

    hooks::reset();
    hooks::failCall(row.method, row.nth, E_FAIL);
    EXPECT_EQ(session().proc(2, out), 0);
    EXPECT_TRUE(out.untouched());
    EXPECT_EQ(messageTexts(), Msgs{row.message});
    hooks::reset();
    EXPECT_TRUE(session().runsExactly(3, out));
}

const WorkerReadBackFailure kWorkerReadBackFailures[] = {
    {"Copy", "IDirect3DDevice9::GetRenderTargetData", 1, text::kReadBackFailed},
    // One pass: the fourth level is the read-back's.
    {"Level", "IDirect3DTexture9::GetSurfaceLevel", 4, text::kTargetLevelFailed},
};

INSTANTIATE_TEST_SUITE_P(Rows, WorkerReadBack, ::testing::ValuesIn(kWorkerReadBackFailures),
                         [](const auto& info) { return std::string(info.param.name); });

// Mode 2 without an output image: the frame fails, but only after its job has finished, so that
// neither the next frame nor FilterExit meets a worker still using the device.
using NullOutput = PluginTest;

TEST_F(NullOutput, ModeTwoFrameAwaitsItsJobBeforeFailing) {
    // A frame big enough that the job is still running when an early return would come back.
    session().setMaxSize(160, 120);
    session().setDefaultSize(160, 120);
    session().setTracks(128, 24, 64, 5, 2);
    ASSERT_EQ(session().init(), 1);
    OutputImage out(160, 120);
    ASSERT_TRUE(session().runsExactly(1, out));

    for (int32_t frame : {2, 3, 3}) {
        const int before = readBacks();
        EXPECT_EQ(session().procWithoutOutput(frame), 0);
        EXPECT_EQ(readBacks(), before + 1) << "frame " << frame << " returned before its job ended";
    }
    EXPECT_TRUE(hooks::messageBoxes().empty());
    EXPECT_TRUE(session().runsExactly(4, out));
    session().setMode(0);
    EXPECT_TRUE(session().runsExactly(5, out));
}

TEST_F(NullOutput, FilterExitRightAfterAModeTwoFrameWithoutOutput) {
    session().setMode(2);
    ASSERT_EQ(session().init(), 1);
    EXPECT_EQ(session().procWithoutOutput(1), 0);
    EXPECT_EQ(session().exit(), 1);
    EXPECT_EQ(hooks::liveObjects(), liveAtStart());
}

// In modes 0 and 1 nothing is rendered for nobody: no read-back, and the next frame is normal.
TEST_F(NullOutput, ModesZeroAndOneFailWithoutReadingBack) {
    ASSERT_EQ(session().init(), 1);
    OutputImage out(48, 40);
    for (int32_t mode : {0, 1}) {
        session().setMode(mode);
        const int before = readBacks();
        EXPECT_EQ(session().procWithoutOutput(mode + 1), 0);
        EXPECT_EQ(readBacks(), before);
        EXPECT_TRUE(session().runsExactly(mode + 3, out));
    }
    EXPECT_TRUE(hooks::messageBoxes().empty());
}

} // namespace
} // namespace kestrin::hostsim::testing
