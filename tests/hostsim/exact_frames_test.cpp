// Every frame the module delivers equals the reference model bit for bit: in each mode, with each
// texel format and pass count, over varied track values and frame sizes, with the host's rows
// wider than the frame, with and without the host's worker threads.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/hostsim/plugin_session.h"

namespace kestrin::hostsim::testing {
namespace {

struct Tracks {
    int32_t strength, threshold, range;
};

// Track values over their ranges, the ends included.
const Tracks kTrackSets[] = {
    {128, 24, 64}, {256, 256, 256}, {0, 0, 0}, {77, 3, 255}, {200, 130, 9}, {1, 64, 128},
};

// Sizes from a single pixel (every tap mirrored onto it) to the whole output image; one size
// twice, so that frames without a rebuild are among them.
const std::pair<int32_t, int32_t> kSizes[] = {{40, 30}, {1, 1},   {7, 1},   {1, 9},
                                              {3, 4},   {37, 23}, {37, 23}, {48, 40}};

struct Config {
    int32_t mode;
    bool signedFormat;
    int32_t passes;
};
void PrintTo(const Config& c, std::ostream* os) {
    *os << "mode " << c.mode << (c.signedFormat ? ", signed, " : ", unsigned, ") << c.passes
        << " passes";
}

class ExactFrames : public PluginTest, public ::testing::WithParamInterface<Config> {};

TEST_P(ExactFrames, EqualTheModel) {
    const Config c = GetParam();
    // Each configuration also runs with its own number of host threads, 0 being no runParallel.
    const int threads = c.passes - 1;
    hooks::DeviceProfile profile;
    profile.signedFormat = c.signedFormat;
    session().setDeviceProfile(profile);
    host().setThreads(threads);
    for (size_t i = 0; i < std::size(kSizes); ++i)
        session().setFrame(static_cast<int32_t>(i), kSizes[i].first, kSizes[i].second,
                           static_cast<uint32_t>(i * 31 + 5));
    ASSERT_EQ(session().init(), 1);

    OutputImage out(48, 40);
    int frames = 0;
    for (size_t i = 0; i < std::size(kSizes); ++i) {
        const Tracks& t = kTrackSets[(i + static_cast<size_t>(c.passes)) % std::size(kTrackSets)];
        session().setTracks(t.strength, t.threshold, t.range, c.passes, c.mode);
        EXPECT_EQ(session().update(), 1);
        const int32_t frame = static_cast<int32_t>(i);
        SCOPED_TRACE("frame " + std::to_string(frame) + ": " + std::to_string(kSizes[i].first) +
                     "x" + std::to_string(kSizes[i].second) + ", tracks " +
                     std::to_string(t.strength) + "/" + std::to_string(t.threshold) + "/" +
                     std::to_string(t.range));
        EXPECT_TRUE(session().runsExactly(frame, out));
        ++frames;
    }
    EXPECT_EQ(host().parallelCalls, threads == 0 ? 0 : 2 * frames);
    EXPECT_TRUE(hooks::messageBoxes().empty());
}

std::vector<Config> allConfigs() {
    std::vector<Config> configs;
    for (int32_t mode = 0; mode <= 2; ++mode)
        for (bool s : {true, false})
            for (int32_t passes = 1; passes <= 5; ++passes) configs.push_back({mode, s, passes});
    return configs;
}

INSTANTIATE_TEST_SUITE_P(All, ExactFrames, ::testing::ValuesIn(allConfigs()), [](const auto& info) {
    const Config& c = info.param;
    return "mode" + std::to_string(c.mode) + (c.signedFormat ? "_signed_" : "_unsigned_") +
           std::to_string(c.passes) + "passes";
});

using ExactFrameRuns = PluginTest;

// The two encodings give different results on the test pictures, so the runs above tell them
// apart: a module that used the wrong technique or kernels could not pass both.
TEST_F(ExactFrameRuns, TheFormatsDifferOnTheTestPictures) {
    const int32_t tracks[5] = {128, 24, 64, 2, 0};
    const Picture p = makePicture(40, 30, 99);
    const auto s = modelFrame(p, tracks, TexelFormat::Signed);
    const auto u = modelFrame(p, tracks, TexelFormat::Unsigned);
    ASSERT_EQ(s.size(), u.size());
    EXPECT_NE(std::memcmp(s.data(), u.data(), s.size() * sizeof(YcPixel)), 0);
}

// The host's rows exactly as wide as the frame: no padding to go wrong in.
TEST_F(ExactFrameRuns, PitchEqualToTheWidth) {
    session().setMaxSize(40, 30);
    ASSERT_EQ(session().init(), 1);
    OutputImage out(40, 30);
    for (int32_t mode : {0, 1, 2}) {
        session().setTracks(150, 40, 100, 2, mode);
        session().update();
        EXPECT_TRUE(session().runsExactly(mode, out)) << "mode " << mode;
    }
}

// Mode 2 frames one after the other each deliver their own frame (no frame gets its
// predecessor's job), with one read-back each.
TEST_F(ExactFrameRuns, ConsecutiveModeTwoFramesEachAwaitTheirOwnJob) {
    session().setMode(2);
    ASSERT_EQ(session().init(), 1);
    OutputImage out(48, 40);
    int readBacks = 0;
    for (int32_t frame : {5, 6, 5, 7, 8, 8}) {
        SCOPED_TRACE("frame " + std::to_string(frame));
        EXPECT_TRUE(session().runsExactly(frame, out));
        EXPECT_EQ(hooks::callCount("IDirect3DDevice9::GetRenderTargetData"), ++readBacks);
    }
}

// After a mode-2 frame no job is pending: a mode-1 frame reads back itself, on the calling
// thread, which is where the second message of a failed read-back comes from.
TEST_F(ExactFrameRuns, ModeOneAfterModeTwoReadsBackOnTheCallingThread) {
    ASSERT_EQ(session().init(), 1);
    OutputImage out(48, 40);
    session().setMode(2);
    ASSERT_TRUE(session().runsExactly(1, out));
    session().setMode(1);
    EXPECT_TRUE(session().runsExactly(2, out));

    session().setMode(2);
    ASSERT_TRUE(session().runsExactly(3, out));
    session().setMode(1);
    hooks::failCall("IDirect3DDevice9::GetRenderTargetData", 1, E_FAIL);
    EXPECT_EQ(session().proc(4, out), 0);
    EXPECT_TRUE(out.untouched());
    EXPECT_EQ(messageTexts(),
              (std::vector<std::string>{text::kReadBackFailed, text::kResultCopyFailed}));
    EXPECT_TRUE(session().runsExactly(5, out));
}

// The host's line pitch changes while the frame size stays: the frame-size objects are rebuilt
// for the new pitch, so the frame is read and written with it.
TEST_F(ExactFrameRuns, PitchChangeAtTheSameSize) {
    ASSERT_EQ(session().init(), 1);
    OutputImage out(48, 40);
    ASSERT_TRUE(session().runsExactly(1, out));
    session().setMaxSize(56, 40);
    OutputImage wider(56, 40);
    EXPECT_TRUE(session().runsExactly(2, wider));
}

} // namespace
} // namespace kestrin::hostsim::testing
