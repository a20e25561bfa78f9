// kestrin-run, the command-line host, run as a program: what it says and returns for bad input,
// a frame the plug-in fails, and the frames it writes for raw and PNG input.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "hostsim/frame_io.h"
#include "tests/hostsim/plugin_session.h"

namespace kestrin::hostsim::testing {
namespace {

namespace fs = std::filesystem;

struct Outcome {
    int exitCode = -1;
    std::string out, err;
};

class KestrinRun : public ::testing::Test {
  protected:
    void SetUp() override {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() /
               ("kestrin_run_test_" + std::to_string(::getpid()) + "_" + info->name());
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    // Runs kestrin-run with `module` and `args`; what it prints is kept.
    Outcome run(const std::string& args, const char* module = KESTRIN_MODULE_PATH) {
        const std::string out = path("stdout.txt"), err = path("stderr.txt");
        const std::string command = std::string("'") + KESTRIN_RUN_PATH + "' --module '" + module +
                                    "' " + args + " >'" + out + "' 2>'" + err + "'";
        Deadline d("kestrin-run " + args, kCallLimit);
        const int status = std::system(command.c_str());
        Outcome o;
        o.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::ifstream outFile(out), errFile(err);
        o.out.assign(std::istreambuf_iterator<char>(outFile), std::istreambuf_iterator<char>());
        o.err.assign(std::istreambuf_iterator<char>(errFile), std::istreambuf_iterator<char>());
        return o;
    }

    // `count` raw frames of width x height from makePicture, in `name`.
    std::vector<Frame> writeFrames(const std::string& name, int count, int32_t width,
                                   int32_t height) {
        std::vector<Frame> frames;
        for (int i = 0; i < count; ++i) {
            Frame f;
            f.width = width;
            f.height = height;
            f.pixels = makePicture(width, height, 70 + static_cast<uint32_t>(i)).pixels;
            frames.push_back(f);
        }
        EXPECT_EQ(writeRaw(path(name), frames), "");
        return frames;
    }

    void writeBytes(const std::string& name, const std::string& bytes) {
        std::ofstream(path(name), std::ios::binary) << bytes;
    }

    fs::path dir_;
};

std::string u32(uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
    return s;
}

int lines(const std::string& text) {
    int n = 0;
    for (char c : text) n += c == '\n';
    return n;
}

// Each is refused before the plug-in is asked: one line on stderr and exit code 2.
TEST_F(KestrinRun, BadInputIsOneLineAndExitCodeTwo) {
    writeBytes("bad_magic.ycp", "YCP2" + u32(4) + u32(4) + u32(1) + std::string(96, '\0'));
    writeBytes("short_header.ycp", "YCP1" + u32(4));
    writeBytes("zero_width.ycp", "YCP1" + u32(0) + u32(4) + u32(1));
    writeBytes("huge.ycp", "YCP1" + u32(16385) + u32(4) + u32(1));
    // Claims 16384 x 16384 (1.5 GiB a frame) and ends after the header.
    writeBytes("claims_a_lot.ycp", "YCP1" + u32(16384) + u32(16384) + u32(3));
    writeBytes("truncated.ycp", "YCP1" + u32(4) + u32(4) + u32(2) + std::string(96 + 10, '\0'));
    writeBytes("not_a.png", "this is no PNG");
    const struct {
        const char* input; // in the test's directory
        const char* args;
        const char* says;
    } rows[] = {
        {"missing.ycp", "", "cannot open"},
        {"missing.png", "", "cannot open"},
        {"bad_magic.ycp", "", "bad header"},
        {"short_header.ycp", "", "bad header"},
        {"zero_width.ycp", "", "impossible size"},
        {"huge.ycp", "", "impossible size"},
        {"claims_a_lot.ycp", "", "ends inside frame 0"},
        {"truncated.ycp", "", "ends inside frame 1"},
        {"not_a.png", "", "not a PNG"},
        {nullptr, "--bogus 1", "unknown option"},
        {nullptr, "--passes 6", "--passes"},
        {nullptr, "--mode x", "--mode"},
        {nullptr, "--strength", "needs a value"},
        {nullptr, "--size 0x5", "--size"},
        {nullptr, "--size 640", "--size"},
        {nullptr, "--size 16385x2", "--size"},
        {nullptr, "--sequence 1,,2", "--sequence"},
        {nullptr, "--sequence 0,sideways", "--sequence"},
        {nullptr, "--size 8x8 --frames 3 --sequence 0,3", "there is no frame 3"},
        {nullptr, "--size 8x8 --pitch 7", "narrower than the widest frame"},
    };
    for (const auto& row : rows) {
        const std::string args =
            (row.input ? "--input '" + path(row.input) + "' " : std::string()) + row.args;
        const std::string name = row.input ? row.input : row.args;
        const Outcome o = run(args);
        EXPECT_EQ(o.exitCode, 2) << name << ": " << o.err;
        EXPECT_EQ(lines(o.err), 1) << name << ": " << o.err;
        EXPECT_NE(o.err.find(row.says), std::string::npos) << name << ": " << o.err;
    }
}

TEST_F(KestrinRun, MissingModuleIsOneLineAndExitCodeTwo) {
    writeBytes("x.ycp", "YCP1" + u32(1) + u32(1) + u32(1) + std::string(6, '\0'));
    const std::string err = path("stderr.txt");
    const std::string command = std::string("'") + KESTRIN_RUN_PATH + "' --module '" +
                                path("nowhere.so") + "' --input '" + path("x.ycp") +
                                "' >/dev/null 2>'" + err + "'";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);
    std::ifstream in(err);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(lines(text), 1) << text;
}

// A frame wider than 4096 is read but the plug-in fails it: exit code 1, nothing written.
TEST_F(KestrinRun, FrameThePluginFailsIsExitCodeOne) {
    Frame wide;
    wide.width = 4097;
    wide.height = 2;
    wide.pixels = makePicture(4097, 2, 5).pixels;
    ASSERT_EQ(writeRaw(path("wide.ycp"), {wide}), "");
    const Outcome o = run("--input '" + path("wide.ycp") + "' --output '" + path("out.ycp") + "'");
    EXPECT_EQ(o.exitCode, 1) << o.err;
    EXPECT_NE(o.err.find(text::kUploadFailed), std::string::npos) << o.err;
    EXPECT_FALSE(fs::exists(path("out.ycp")));
}

// Raw frames in, raw frames out: each equal to the model, in every mode.
TEST_F(KestrinRun, RawOutputEqualsTheModel) {
    std::vector<Frame> frames;
    for (uint32_t i = 0; i < 3; ++i) {
        Frame f;
        f.width = 29;
        f.height = 17;
        f.pixels = makePicture(29, 17, 40 + i).pixels;
        frames.push_back(f);
    }
    ASSERT_EQ(writeRaw(path("in.ycp"), frames), "");
    for (int mode = 0; mode <= 2; ++mode) {
        SCOPED_TRACE("mode " + std::to_string(mode));
        const int32_t tracks[5] = {190, 70, 150, 3, mode};
        const Outcome o = run("--input '" + path("in.ycp") + "' --output '" + path("out.ycp") +
                              "' --strength 190 --threshold 70 --range 150 --passes 3 --mode " +
                              std::to_string(mode) + " --threads " + std::to_string(mode * 2));
        ASSERT_EQ(o.exitCode, 0) << o.err;
        std::vector<Frame> out;
        ASSERT_EQ(readRaw(path("out.ycp"), out), "");
        ASSERT_EQ(out.size(), frames.size());
        for (size_t i = 0; i < frames.size(); ++i) {
            Picture p{frames[i].width, frames[i].height, frames[i].pixels};
            const auto want = modelFrame(p, tracks, TexelFormat::Signed);
            ASSERT_EQ(out[i].width, 29);
            ASSERT_EQ(out[i].height, 17);
            EXPECT_EQ(std::memcmp(out[i].pixels.data(), want.data(), want.size() * sizeof(YcPixel)),
                      0)
                << "frame " << i;
        }
    }
}

// A PNG in gives a PNG out, of the same size, holding the model's result of the PNG's frame.
TEST_F(KestrinRun, PngInputGivesPngOutput) {
    Frame in;
    in.width = 31;
    in.height = 19;
    for (int32_t y = 0; y < in.height; ++y)
        for (int32_t x = 0; x < in.width; ++x)
            in.pixels.push_back(ycFromRgb(x / 30.0, y / 18.0, ((x * 7 + y * 3) % 11) / 10.0));
    ASSERT_EQ(writePng(path("in.png"), in), "");
    const Outcome o = run("--input '" + path("in.png") + "' --output '" + path("out.png") + "'");
    ASSERT_EQ(o.exitCode, 0) << o.err;

    Frame read, out;
    ASSERT_EQ(readPng(path("in.png"), read), "");
    ASSERT_EQ(readPng(path("out.png"), out), "");
    ASSERT_EQ(out.width, 31);
    ASSERT_EQ(out.height, 19);
    const int32_t tracks[5] = {128, 24, 64, 1, 0};
    Frame want;
    want.width = read.width;
    want.height = read.height;
    want.pixels = modelFrame({read.width, read.height, read.pixels}, tracks, TexelFormat::Signed);
    ASSERT_EQ(writePng(path("want.png"), want), "");
    Frame wantRead;
    ASSERT_EQ(readPng(path("want.png"), wantRead), "");
    EXPECT_EQ(
        std::memcmp(out.pixels.data(), wantRead.pixels.data(), out.pixels.size() * sizeof(YcPixel)),
        0);
}

// What the editor does between frames: a frame while the filter is off passes unchanged and the
// filter is not called; after switching on, and after a restart, frames are filtered again.
TEST_F(KestrinRun, SequenceSwitchesOffAndOnAndRestarts) {
    const std::vector<Frame> in = writeFrames("in.ycp", 3, 23, 11);
    const Outcome o = run("--input '" + path("in.ycp") + "' --output '" + path("out.ycp") +
                          "' --sequence 0,off,1,on,2,restart,1 --mode 2");
    ASSERT_EQ(o.exitCode, 0) << o.err;
    for (const char* line :
         {"frame 1: 23x11 off", "filter switched on", "filter restarted", "3 frames, total"})
        EXPECT_NE(o.out.find(line), std::string::npos) << line << " in\n" << o.out;
    std::vector<Frame> out;
    ASSERT_EQ(readRaw(path("out.ycp"), out), "");
    ASSERT_EQ(out.size(), 4u);
    const int32_t tracks[5] = {128, 24, 64, 1, 2};
    const size_t source[4] = {0, 1, 2, 1};
    for (size_t i = 0; i < 4; ++i) {
        const Frame& f = in[source[i]];
        const std::vector<YcPixel> want =
            i == 1 ? f.pixels
                   : modelFrame({f.width, f.height, f.pixels}, tracks, TexelFormat::Signed);
        EXPECT_EQ(std::memcmp(out[i].pixels.data(), want.data(), want.size() * sizeof(YcPixel)), 0)
            << "output " << i;
    }
}

// --verbose names the frames the plug-in asked for: in modes 1 and 2 each frame and the one the
// same step further on, as the editor's order 9, 10, 11, 12, 20, 18 makes them; none in mode 0.
TEST_F(KestrinRun, VerboseNamesTheFramesFetchedAhead) {
    writeFrames("in.ycp", 21, 9, 5);
    for (int mode = 0; mode <= 2; ++mode) {
        SCOPED_TRACE("mode " + std::to_string(mode));
        const Outcome o =
            run("--input '" + path("in.ycp") + "' --sequence 9,10,11,12,20,18 --verbose --mode " +
                std::to_string(mode));
        ASSERT_EQ(o.exitCode, 0) << o.err;
        const char* const ahead[] = {"9, 18 ahead",  "10, 11 ahead", "11, 12 ahead",
                                     "12, 13 ahead", "20, 28 ahead", "18, 16 ahead"};
        const char* const alone[] = {"9", "10", "11", "12", "20", "18"};
        size_t at = 0;
        for (int i = 0; i < 6; ++i) {
            const std::string line =
                std::string("  asked for ") + (mode == 0 ? alone[i] : ahead[i]) + "\n";
            at = o.out.find(line, at);
            ASSERT_NE(at, std::string::npos) << line << " in order in\n" << o.out;
        }
        EXPECT_NE(o.out.find("module unloaded\n"), std::string::npos) << o.out;
    }
}

// The software device computes what the model does, so --compare finds no difference at all;
// and from the source the filter does differ. The editor's rows here are wider than the frame.
TEST_F(KestrinRun, CompareFindsTheSoftwareDeviceExact) {
    writeFrames("in.ycp", 2, 17, 13);
    const Outcome o =
        run("--input '" + path("in.ycp") + "' --compare --passes 3 --pitch 40 --mode 1");
    ASSERT_EQ(o.exitCode, 0) << o.err;
    EXPECT_NE(o.out.find("  model difference 0 (tolerance "), std::string::npos) << o.out;
    EXPECT_EQ(o.out.find("source difference 0\n"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("largest model difference 0 (tolerances up to "), std::string::npos)
        << o.out;
}

// kestrin-run's own checks of a plug-in: writing into the editor's row padding, and leaving the
// x87 control word changed, each fail the run with one line saying so.
TEST_F(KestrinRun, CatchesAPluginThatMisbehaves) {
    const Outcome fine = run("--size 8x4 --strength 0 --verbose", KESTRIN_ROGUE_MODULE);
    EXPECT_EQ(fine.exitCode, 0) << fine.err;
    EXPECT_NE(fine.out.find(", unchanged by every call"), std::string::npos) << fine.out;

    const Outcome outside = run("--size 8x4 --pitch 12 --strength 1", KESTRIN_ROGUE_MODULE);
    EXPECT_EQ(outside.exitCode, 1);
    EXPECT_NE(outside.err.find("the plug-in wrote outside frame 0 (row 0, column 8)"),
              std::string::npos)
        << outside.err;

    const Outcome fpu = run("--size 8x4 --strength 2", KESTRIN_ROGUE_MODULE);
    EXPECT_EQ(fpu.exitCode, 1);
    EXPECT_NE(fpu.err.find("FilterInit changed the x87 control word from 0x"), std::string::npos)
        << fpu.err;
    EXPECT_EQ(lines(fpu.err), 1) << fpu.err;
}

} // namespace
} // namespace kestrin::hostsim::testing
