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

// Every call of a frame's upload, render and read-back is looked at: one of them made to fail
// fails the frame (the output untouched, the call's own messages), and the failed-call log pins
// it: the planned call is the first failure, followed only by what it leaves impossible. The
// stand-ins close a scene, pass, effect or lock even when its closing call is made to fail, so a
// dropped result would let the frame through. The next frame is exact. One pass: levels 1 to 3
// are the source upload's and the two pass targets', 4 the read-back's; SetTexture 1 binds txRGB.
struct PinnedFailure {
    const char* name;
    const char* method;
    int nth;
    Msgs messages;          // modes 0 and 1
    Msgs workerMessages;    // mode 2
    Msgs followingFailures; // calls that fail because of it, in order
    // The download's unlock fails after the copy: the output then holds this frame, filtered.
    bool outputWritten = false;
};
void PrintTo(const PinnedFailure& row, std::ostream* os) {
    *os << row.name;
}

class PinnedStep : public PluginTest,
                   public ::testing::WithParamInterface<std::tuple<PinnedFailure, int32_t>> {};

TEST_P(PinnedStep, FailsTheFrameAndIsTheFailureThatDid) {
    const auto& [row, mode] = GetParam();
    session().setMode(mode);
    ASSERT_EQ(session().init(), 1);
    OutputImage out(48, 40);
    ASSERT_TRUE(session().runsExactly(1, out));

    hooks::reset();
    hooks::failCall(row.method, row.nth, E_FAIL);
    EXPECT_EQ(session().proc(2, out), 0);
    if (row.outputWritten) {
        const Picture& p = session().picture(2);
        EXPECT_TRUE(deliveredExactly(out, p.width, p.height, session().expected(2)));
    } else {
        EXPECT_TRUE(out.untouched());
    }
    EXPECT_EQ(messageTexts(), mode == 2 ? row.workerMessages : row.messages);
    const std::vector<hooks::FailedCall> failed = hooks::failedCalls();
    ASSERT_FALSE(failed.empty());
    EXPECT_EQ(failed.front(), (hooks::FailedCall{row.method, E_FAIL, true}));
    Msgs following;
    for (size_t i = 1; i < failed.size(); ++i) following.push_back(failed[i].method);
    EXPECT_EQ(following, row.followingFailures);

    hooks::reset();
    EXPECT_TRUE(session().runsExactly(3, out));
    EXPECT_TRUE(hooks::failedCalls().empty());
}

const PinnedFailure kPinnedFailures[] = {
    {"UploadLock",
     "IDirect3DSurface9::LockRect",
     1,
     {text::kUploadFailed},
     {text::kUploadFailed},
     {}},
    {"UploadUnlock",
     "IDirect3DSurface9::UnlockRect",
     1,
     {text::kUploadFailed},
     {text::kUploadFailed},
     {}},
    {"Scene", "IDirect3DDevice9::BeginScene", 1, {}, {}, {}},
    {"SourceLevel",
     "IDirect3DTexture9::GetSurfaceLevel",
     1,
     {text::kSurfaceLevelFailed},
     {text::kSurfaceLevelFailed},
     {}},
    {"SourceCopy", "IDirect3DDevice9::UpdateSurface", 1, {}, {}, {}},
    {"BindTarget", "ID3DXEffect::SetTexture", 1, {}, {}, {}},
    {"Technique", "ID3DXEffect::SetTechnique", 1, {}, {}, {}},
    {"Declaration", "IDirect3DDevice9::SetVertexDeclaration", 1, {}, {}, {}},
    // Without a begun effect no pass can begin, draw or end.
    {"EffectBegin",
     "ID3DXEffect::Begin",
     1,
     {},
     {},
     {"ID3DXEffect::BeginPass", "IDirect3DDevice9::DrawPrimitive", "ID3DXEffect::EndPass",
      "ID3DXEffect::BeginPass", "IDirect3DDevice9::DrawPrimitive", "ID3DXEffect::EndPass",
      "ID3DXEffect::End"}},
    {"FirstTargetLevel",
     "IDirect3DTexture9::GetSurfaceLevel",
     2,
     {text::kSurfaceLevelFailed},
     {text::kSurfaceLevelFailed},
     {}},
    {"FirstTarget", "IDirect3DDevice9::SetRenderTarget", 1, {}, {}, {}},
    // Without its pass there is no pixel program to draw with, and no pass to end.
    {"FirstPass",
     "ID3DXEffect::BeginPass",
     1,
     {},
     {},
     {"IDirect3DDevice9::DrawPrimitive", "ID3DXEffect::EndPass"}},
    {"FirstStream", "IDirect3DDevice9::SetStreamSource", 1, {}, {}, {}},
    {"FirstDraw", "IDirect3DDevice9::DrawPrimitive", 1, {}, {}, {}},
    {"FirstPassEnd", "ID3DXEffect::EndPass", 1, {}, {}, {}},
    {"LastTarget", "IDirect3DDevice9::SetRenderTarget", 2, {}, {}, {}},
    {"LastPass", "ID3DXEffect::BeginPass", 2, {}, {}, {"ID3DXEffect::EndPass"}},
    {"LastDraw", "IDirect3DDevice9::DrawPrimitive", 2, {}, {}, {}},
    {"LastPassEnd", "ID3DXEffect::EndPass", 2, {}, {}, {}},
    {"EffectEnd", "ID3DXEffect::End", 1, {}, {}, {}},
    {"SceneEnd", "IDirect3DDevice9::EndScene", 1, {}, {}, {}},
    {"ResultLevel",
     "IDirect3DTexture9::GetSurfaceLevel",
     4,
     {text::kTargetLevelFailed, text::kResultCopyFailed},
     {text::kTargetLevelFailed},
     {}},
    {"ResultCopy",
     "IDirect3DDevice9::GetRenderTargetData",
     1,
     {text::kReadBackFailed, text::kResultCopyFailed},
     {text::kReadBackFailed},
     {}},
    {"DownloadLock",
     "IDirect3DSurface9::LockRect",
     2,
     {text::kDownloadFailed},
     {text::kDownloadFailed},
     {}},
    {"DownloadUnlock",
     "IDirect3DSurface9::UnlockRect",
     2,
     {text::kDownloadFailed},
     {text::kDownloadFailed},
     {},
     true},
};

INSTANTIATE_TEST_SUITE_P(Rows, PinnedStep,
                         ::testing::Combine(::testing::ValuesIn(kPinnedFailures),
                                            ::testing::Values(0, 1, 2)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_mode" +
                                    std::to_string(std::get<1>(info.param));
                         });

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
