// Fetching ahead, seen from the host: which frame numbers the filter asks for, and when.
#include <gtest/gtest.h>

#include <optional>

#include "tests/hostsim/plugin_session.h"

namespace kestrin::hostsim::testing {
namespace {

// One frame of a sequence and the frame it is expected to fetch ahead (none: only the frame).
struct Step {
    int32_t mode;
    int32_t frame;
    std::optional<int32_t> fetched;
};

struct Sequence {
    const char* name;
    std::vector<Step> steps;
};
void PrintTo(const Sequence& row, std::ostream* os) {
    *os << row.name;
}

// The frame's own request (with size pointers), then the fetch-ahead (without).
std::vector<std::pair<int32_t, bool>> expectedRequests(const Step& s) {
    std::vector<std::pair<int32_t, bool>> r{{s.frame, true}};
    if (s.fetched) r.push_back({*s.fetched, false});
    return r;
}

std::vector<std::pair<int32_t, bool>> requests(const Host& host) {
    std::vector<std::pair<int32_t, bool>> r;
    for (const auto& q : host.frameRequests) r.push_back({q.number, q.withSize});
    return r;
}

class FetchAhead : public PluginTest {
  protected:
    void runSteps(const std::vector<Step>& steps, OutputImage& out) {
        for (const Step& s : steps) {
            SCOPED_TRACE("frame " + std::to_string(s.frame) + " in mode " + std::to_string(s.mode));
            host().frameRequests.clear();
            session().setMode(s.mode);
            EXPECT_TRUE(session().runsExactly(s.frame, out));
            EXPECT_EQ(requests(host()), expectedRequests(s));
        }
    }
};

class FetchAheadSequence : public FetchAhead, public ::testing::WithParamInterface<Sequence> {};

// Every sequence starts from frame 9 run in mode 1, so the last mode-1/2 frame is 9.
TEST_P(FetchAheadSequence, AsksForTheFrameOneStepFurther) {
    ASSERT_EQ(session().init(), 1);
    OutputImage out(48, 40);
    session().setMode(1);
    ASSERT_TRUE(session().runsExactly(9, out));
    if (session().freshModule()) {
        EXPECT_EQ(host().frameRequests.back().number, 18);
    }
    runSteps(GetParam().steps, out);
    EXPECT_TRUE(hooks::messageBoxes().empty());
}

const Sequence kSequences[] = {
    {"ForwardMode1", {{1, 10, 11}, {1, 11, 12}, {1, 12, 13}}},
    {"ForwardMode2", {{2, 10, 11}, {2, 11, 12}, {2, 12, 13}}},
    {"ForwardMixed", {{2, 10, 11}, {1, 11, 12}, {2, 12, 13}}},
    {"JumpBackMode1", {{1, 20, 31}, {1, 18, 16}}},
    {"JumpBackMode2", {{2, 20, 31}, {2, 18, 16}}},
    {"SameFrameTwice", {{1, 10, 11}, {1, 10, {}}, {2, 10, {}}, {2, 11, 12}}},
    // Mode 0 fetches nothing and leaves the last mode-1/2 frame where it was.
    {"ModeZeroKeepsThePreviousFrame", {{0, 15, {}}, {0, 3, {}}, {1, 16, 23}}},
    {"ModeZeroThenModeTwo", {{0, 40, {}}, {2, 41, 73}}},
    // Numbers before the first frame are the host's business.
    {"PastTheStart", {{1, 2, -5}, {2, 0, -2}}},
    // A frame number that int32 cannot hold is never asked for; the step is still followed.
    {"NothingPastTheInt32Range",
     {{1, 2147483646, {}},
      {1, 2147483647, {}},
      {1, 2147483645, 2147483643},
      {2, -2147483647 - 1, {}},
      {1, -2147483647, -2147483646},
      {2, -2147483645, -2147483643}}},
};

INSTANTIATE_TEST_SUITE_P(Rows, FetchAheadSequence, ::testing::ValuesIn(kSequences),
                         [](const auto& info) { return std::string(info.param.name); });

// Before any mode-1/2 frame the previous frame counts as 0. Only observable in a process whose
// module starts fresh (every test runs in its own process under CTest).
TEST_F(FetchAhead, CountsFromFrameZeroUntilAModeOneOrTwoFrameRan) {
    if (!session().freshModule()) GTEST_SKIP() << "the module's state was used before";
    ASSERT_EQ(session().init(), 1);
    OutputImage out(48, 40);
    runSteps({{0, 5, {}}, {0, 6, {}}, {1, 7, 14}, {1, 0, -7}, {2, 0, {}}}, out);
}

TEST_F(FetchAhead, FrameZeroFirstFetchesNothing) {
    if (!session().freshModule()) GTEST_SKIP() << "the module's state was used before";
    ASSERT_EQ(session().init(), 1);
    OutputImage out(48, 40);
    runSteps({{2, 0, {}}, {2, 3, 6}}, out);
}

// A frame that fails before it gets to fetch ahead leaves the previous frame alone; one that
// fails later (in the read-back) has fetched ahead and moved it.
TEST_F(FetchAhead, OnlyFramesThatGotThatFarMoveThePreviousFrame) {
    ASSERT_EQ(session().init(), 1);
    OutputImage out(48, 40);
    session().setMode(1);
    ASSERT_TRUE(session().runsExactly(9, out));

    host().frameRequests.clear();
    hooks::failCall("IDirect3DSurface9::LockRect", 1, E_FAIL); // the upload
    EXPECT_EQ(session().proc(10, out), 0);
    EXPECT_EQ(requests(host()), (std::vector<std::pair<int32_t, bool>>{{10, true}}));
    runSteps({{1, 11, 13}}, out);

    host().frameRequests.clear();
    hooks::failCall("IDirect3DDevice9::GetRenderTargetData", 1, E_FAIL);
    EXPECT_EQ(session().proc(12, out), 0);
    EXPECT_EQ(requests(host()), (std::vector<std::pair<int32_t, bool>>{{12, true}, {13, false}}));
    runSteps({{1, 14, 16}}, out);
}

} // namespace
} // namespace kestrin::hostsim::testing
