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
    std::string err;
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

    // Runs kestrin-run with the module and `args`; stdout is dropped, stderr kept.
    Outcome run(const std::string& args) {
        const std::string err = path("stderr.txt");
        const std::string command = std::string("'") + KESTRIN_RUN_PATH + "' --module '" +
                                    KESTRIN_MODULE_PATH + "' " + args + " >/dev/null 2>'" + err +
                                    "'";
        Deadline d("kestrin-run " + args, kCallLimit);
        const int status = std::system(command.c_str());
        Outcome o;
        o.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::ifstream in(err);
        o.err.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        return o;
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

} // namespace
} // namespace kestrin::hostsim::testing
