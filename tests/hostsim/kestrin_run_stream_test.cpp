// kestrin-run as a member of a video pipeline: YUV4MPEG2 clips made by FFmpeg (testsrc2 in 8, 10
// and 16 bits, 4:2:0, 4:2:2, 4:4:4 and mono, limited and full range) go through the plug-in and
// come out as streams FFmpeg reads back, every filtered frame equal to the reference model on the
// converted input; with strength 0 they come back unchanged; damaged streams, a reader that goes
// away and a plug-in that fails are each one line and the right exit code.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "effect/model.h"
#include "hostsim/y4m.h"
#include "hostsim/y4m_convert.h"
#include "tests/hostsim/plugin_session.h"

namespace kestrin::hostsim::testing {
namespace {

namespace fs = std::filesystem;
namespace y4m = kestrin::hostsim::y4m;

struct Outcome {
    int exitCode = -1;
    std::string err;
};

class Stream : public ::testing::Test {
  protected:
    void SetUp() override {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "_" + info->name();
        for (char& c : name)
            if (c == '/') c = '_';
        dir_ = fs::temp_directory_path() /
               ("kestrin_stream_" + std::to_string(::getpid()) + "_" + name);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    // Runs a shell command line; its standard error is kept.
    Outcome shell(const std::string& line) {
        const std::string err = path("stderr.txt");
        const std::string command = "bash -c '" + line + "' 2>'" + err + "'";
        Deadline d(line, kCallLimit);
        const int status = std::system(command.c_str());
        Outcome o;
        o.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::ifstream errFile(err);
        o.err.assign(std::istreambuf_iterator<char>(errFile), std::istreambuf_iterator<char>());
        return o;
    }

    // kestrin-run with the built module and `args`.
    Outcome run(const std::string& args, const char* module = KESTRIN_MODULE_PATH) {
        return shell(std::string(KESTRIN_RUN_PATH) + " --module " + module + " " + args);
    }

    // A clip from FFmpeg's testsrc2: `frames` frames of `size`, in `pixelFormat`, as a stream.
    std::string clip(const std::string& name, const std::string& pixelFormat, bool fullRange,
                     int frames = 3, const std::string& size = "48x32",
                     const std::string& extra = "") {
        const std::string file = path(name);
        const Outcome o = shell(std::string(KESTRIN_FFMPEG) +
                                " -nostdin -loglevel error -f lavfi -i testsrc2=s=" + size +
                                ":r=25 -frames:v " + std::to_string(frames) + " -pix_fmt " +
                                pixelFormat + (fullRange ? " -color_range pc" : "") +
                                " -strict -1 " + extra + " -f yuv4mpegpipe -y " + file);
        EXPECT_EQ(o.exitCode, 0) << o.err;
        return file;
    }

    fs::path dir_;
};

std::string readAll(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Every frame of a stream, with its header.
struct Clip {
    y4m::Header header;
    std::vector<y4m::Planes> frames;
    std::string error; // why reading stopped, when it did not end cleanly
};
Clip readClip(const std::string& file) {
    Clip c;
    std::FILE* f = std::fopen(file.c_str(), "rb");
    if (!f) {
        c.error = "cannot open " + file;
        return c;
    }
    y4m::Reader reader(f);
    c.error = reader.readHeader(c.header);
    y4m::Planes p;
    while (c.error.empty() && reader.readFrame(p, c.error) == y4m::Reader::Status::Frame)
        c.frames.push_back(p);
    std::fclose(f);
    return c;
}

// A stream frame converted to the editor's scale and filtered by the reference model (the
// software device's signed texels).
std::vector<YcPixel> modelFrame(const y4m::Planes& planes, const y4m::Header& header,
                                const int32_t tracks[5], y4m::SourceChroma* source) {
    const y4m::SampleMaps maps(header.layout.bits, header.fullRange);
    std::vector<YcPixel> frame;
    y4m::toHost(planes, header, maps, frame, source);
    const auto filtered = model::filterFrame(
        reinterpret_cast<const model::YcPixel*>(frame.data()), header.width, header.height,
        header.width, model::settingsFromTracks(tracks), TexelFormat::Signed);
    std::vector<YcPixel> out(filtered.size());
    std::memcpy(out.data(), filtered.data(), out.size() * sizeof(YcPixel));
    return out;
}

// The stream kestrin-run must write for `in`: each frame filtered by the model, converted back.
Clip modelOutput(const Clip& in, const int32_t tracks[5]) {
    Clip out;
    out.header = in.header;
    const y4m::SampleMaps maps(in.header.layout.bits, in.header.fullRange);
    for (const y4m::Planes& planes : in.frames) {
        y4m::SourceChroma source;
        const std::vector<YcPixel> filtered = modelFrame(planes, in.header, tracks, &source);
        y4m::Planes result;
        y4m::fromHost(filtered.data(), in.header.width, in.header, &source, in.header, maps,
                      result);
        out.frames.push_back(result);
    }
    return out;
}

::testing::AssertionResult sameFrames(const Clip& got, const Clip& expected) {
    if (!got.error.empty()) return ::testing::AssertionFailure() << got.error;
    if (got.frames.size() != expected.frames.size())
        return ::testing::AssertionFailure()
               << got.frames.size() << " frames, expected " << expected.frames.size();
    for (size_t f = 0; f < got.frames.size(); ++f) {
        const y4m::Planes& a = got.frames[f];
        const y4m::Planes& b = expected.frames[f];
        if (a.y != b.y || a.cb != b.cb || a.cr != b.cr)
            return ::testing::AssertionFailure() << "frame " << f << " differs from the model";
    }
    return ::testing::AssertionSuccess();
}

// The largest difference between two clips' samples.
int largestDifference(const Clip& a, const Clip& b) {
    int worst = 0;
    for (size_t f = 0; f < a.frames.size() && f < b.frames.size(); ++f) {
        auto plane = [&](const std::vector<uint16_t>& x, const std::vector<uint16_t>& y) {
            for (size_t i = 0; i < x.size() && i < y.size(); ++i)
                worst = std::max(worst, std::abs(int(x[i]) - int(y[i])));
        };
        plane(a.frames[f].y, b.frames[f].y);
        plane(a.frames[f].cb, b.frames[f].cb);
        plane(a.frames[f].cr, b.frames[f].cr);
    }
    return worst;
}

// ---- Filtering -------------------------------------------------------------------------------

struct Format {
    const char* name;
    const char* pixelFormat;
    bool fullRange;
    const char* extra; // more FFmpeg options
    const char* expectedLayout;
};
void PrintTo(const Format& row, std::ostream* os) {
    *os << row.name;
}

const Format kFormats[] = {
    {"Yuv420", "yuv420p", false, "", "420jpeg"},
    {"Yuv420Full", "yuv420p", true, "", "420jpeg"},
    {"Yuv420Left", "yuv420p", false, "-chroma_sample_location left", "420mpeg2"},
    {"Yuv422", "yuv422p", false, "", "422"},
    {"Yuv444", "yuv444p", false, "", "444"},
    {"Yuv420p10", "yuv420p10le", false, "", "420p10"},
    {"Yuv422p10Full", "yuv422p10le", true, "", "422p10"},
    {"Yuv444p16", "yuv444p16le", false, "", "444p16"},
    {"Mono", "gray", true, "", "mono"},
};

class StreamFormat : public Stream, public ::testing::WithParamInterface<Format> {};

// Each frame equals the model on the converted input, in the input's layout, and FFmpeg reads
// the result back.
TEST_P(StreamFormat, FilteredFramesEqualTheModel) {
    const Format& row = GetParam();
    const std::string in = clip("in.y4m", row.pixelFormat, row.fullRange, 3, "48x32", row.extra);
    const Clip source = readClip(in);
    ASSERT_EQ(source.error, "");
    EXPECT_EQ(y4m::layoutToken(source.header.layout), row.expectedLayout);
    EXPECT_EQ(source.header.fullRange, row.fullRange);
    for (int mode : {0, 2}) {
        SCOPED_TRACE("mode " + std::to_string(mode));
        const int32_t tracks[5] = {200, 40, 128, 2, mode};
        const Outcome o =
            run("--strength 200 --threshold 40 --range 128 --passes 2 --mode " +
                std::to_string(mode) + " --input " + in + " --output " + path("out.y4m"));
        ASSERT_EQ(o.exitCode, 0) << o.err;
        const Clip got = readClip(path("out.y4m"));
        EXPECT_EQ(formatHeader(got.header), formatHeader(source.header));
        EXPECT_TRUE(sameFrames(got, modelOutput(source, tracks)));
        const Outcome back = shell(std::string(KESTRIN_FFMPEG) + " -nostdin -loglevel error -i " +
                                   path("out.y4m") + " -f null -");
        EXPECT_EQ(back.exitCode, 0) << back.err;
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, StreamFormat, ::testing::ValuesIn(kFormats),
                         [](const auto& info) { return std::string(info.param.name); });

// Strength 0 gives the stream back: every sample of 4:4:4 up to 12 bits and of 4:2:0 8-bit,
// 16-bit samples within one step of the editor's scale.
TEST_F(Stream, StrengthZeroGivesTheStreamBack) {
    struct Row {
        const char* pixelFormat;
        bool fullRange;
        int bound;
    };
    for (const Row& row :
         {Row{"yuv444p", false, 0}, Row{"yuv444p10le", true, 0}, Row{"yuv444p12le", false, 0},
          Row{"yuv420p", false, 1}, Row{"yuv420p", true, 1}, Row{"yuv444p16le", false, 7},
          Row{"yuv444p16le", true, 8}}) {
        SCOPED_TRACE(std::string(row.pixelFormat) + (row.fullRange ? " full" : " limited"));
        const std::string in = clip("in.y4m", row.pixelFormat, row.fullRange, 2, "64x48");
        const Outcome o =
            run("--strength 0 --input " + in + " --output " + path("out.y4m") + " --quiet");
        ASSERT_EQ(o.exitCode, 0) << o.err;
        const Clip a = readClip(in), b = readClip(path("out.y4m"));
        ASSERT_EQ(b.frames.size(), a.frames.size());
        EXPECT_LE(largestDifference(a, b), row.bound);
    }
}

// Another layout or depth on the way out, and frames chosen by --start and --frames.
TEST_F(Stream, OutputFormatAndFrameSelection) {
    const std::string in = clip("in.y4m", "yuv420p", false, 5);
    const Clip source = readClip(in);
    Outcome o = run("--input " + in + " --output " + path("wide.y4m") +
                    " --output-format 444p16 --start 1 --frames 3");
    ASSERT_EQ(o.exitCode, 0) << o.err;
    const Clip wide = readClip(path("wide.y4m"));
    EXPECT_EQ(y4m::layoutToken(wide.header.layout), "444p16");
    ASSERT_EQ(wide.frames.size(), 3u);
    // The first frame written is stream frame 1, filtered, every pixel's own chroma kept.
    const int32_t tracks[5] = {128, 24, 64, 1, 0};
    const std::vector<YcPixel> expected =
        modelFrame(source.frames[1], source.header, tracks, nullptr);
    const y4m::SampleMaps maps16(16, false);
    ASSERT_EQ(wide.frames[0].cb.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        ASSERT_EQ(wide.frames[0].y[i], maps16.lumaFromHost(expected[i].y)) << i;
        ASSERT_EQ(wide.frames[0].cb[i], maps16.chromaFromHost(expected[i].cb)) << i;
        ASSERT_EQ(wide.frames[0].cr[i], maps16.chromaFromHost(expected[i].cr)) << i;
    }
    // Mono out, and --frames past the end of the stream is no error.
    o = run("--input " + in + " --output " + path("mono.y4m") +
            " --output-format mono --frames 99");
    ASSERT_EQ(o.exitCode, 0) << o.err;
    const Clip mono = readClip(path("mono.y4m"));
    EXPECT_EQ(mono.frames.size(), 5u);
    EXPECT_TRUE(mono.frames[0].cb.empty());
}

// The pipeline of the README: FFmpeg decodes an MP4 clip, kestrin-run filters between two pipes,
// FFmpeg encodes FFV1.
TEST_F(Stream, BetweenTwoFFmpegPipes) {
    const std::string ffmpeg = KESTRIN_FFMPEG;
    Outcome o = shell(ffmpeg + " -nostdin -loglevel error -f lavfi -i testsrc2=s=96x64:r=25 " +
                      "-frames:v 6 -c:v mpeg4 -y " + path("clip.mp4"));
    ASSERT_EQ(o.exitCode, 0) << o.err;
    o = shell(ffmpeg + " -nostdin -loglevel error -i " + path("clip.mp4") +
              " -f yuv4mpegpipe -pix_fmt yuv444p16le -strict -1 - | " + KESTRIN_RUN_PATH +
              " --module " + KESTRIN_MODULE_PATH + " --input - --output - | " + ffmpeg +
              " -loglevel error -i - -c:v ffv1 -y " + path("out.mkv") +
              "; exit $(( ${PIPESTATUS[0]} * 100 + ${PIPESTATUS[1]} * 10 + ${PIPESTATUS[2]} ))");
    ASSERT_EQ(o.exitCode, 0) << o.err;
    EXPECT_NE(o.err.find("kestrin-run: 6 frames in"), std::string::npos) << o.err;
    o = shell(ffmpeg + " -nostdin -loglevel error -i " + path("out.mkv") +
              " -f yuv4mpegpipe -pix_fmt yuv444p16le -strict -1 -y " + path("out.y4m"));
    ASSERT_EQ(o.exitCode, 0) << o.err;
    EXPECT_EQ(readClip(path("out.y4m")).frames.size(), 6u);
}

// ---- What it says ----------------------------------------------------------------------------

TEST_F(Stream, SaysOneSummaryLineOrNothingWhenQuiet) {
    const std::string in = clip("in.y4m", "yuv420p", false, 2);
    Outcome o = run("--input " + in + " --output " + path("out.y4m"));
    ASSERT_EQ(o.exitCode, 0) << o.err;
    EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
    EXPECT_EQ(o.err.rfind("kestrin-run: 2 frames in ", 0), 0u) << o.err;
    o = run("--input " + in + " --output " + path("out.y4m") + " --quiet");
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_EQ(o.err, "");
    // On a terminal, a progress line with the frame count and the total.
    o = shell("script -qec \"" + std::string(KESTRIN_RUN_PATH) + " --module " +
              KESTRIN_MODULE_PATH + " --input " + in + " --output " + path("out.y4m") +
              "\" /dev/null > " + path("tty.txt"));
    ASSERT_EQ(o.exitCode, 0) << o.err;
    const std::string tty = readAll(path("tty.txt"));
    EXPECT_NE(tty.find("\rframe 1/2, "), std::string::npos) << tty;
}

// Bad input: one line, exit code 2, nothing but whole frames written.
TEST_F(Stream, BadStreamsAreOneLineAndExitCodeTwo) {
    const std::string good = readAll(clip("good.y4m", "yuv420p", false, 3));
    const size_t headerEnd = good.find('\n') + 1;
    const size_t frameBytes = (good.size() - headerEnd) / 3;
    struct Row {
        const char* name;
        std::string bytes;
        const char* says;
    };
    const std::string tail = good.substr(good.find(" F25"));
    const Row rows[] = {
        {"not a stream", "P6\n48 32\n255\n", "not a YUV4MPEG2 stream"},
        {"empty", "", "no YUV4MPEG2 header"},
        {"colour space", "YUV4MPEG2 W48 H32 C444alpha\n", "unsupported colour space"},
        {"zero width", "YUV4MPEG2 W0 H32 C420jpeg\n", "is empty"},
        {"odd width", "YUV4MPEG2 W47 H32 C420jpeg\n", "whole number of chroma samples"},
        {"too wide", "YUV4MPEG2 W4097 H16 C444\n", "larger than the plug-in takes"},
        {"frame marker", good.substr(0, headerEnd) + "FRAMX\n", "frame 0: no FRAME marker"},
        {"cut in frame 1", good.substr(0, headerEnd + frameBytes + 100),
         "frame 1: the stream ends inside the frame"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::ofstream(path("bad.y4m"), std::ios::binary) << row.bytes;
        std::error_code ignored;
        fs::remove(path("out.y4m"), ignored);
        const Outcome o = run("--input " + path("bad.y4m") + " --output " + path("out.y4m"));
        EXPECT_EQ(o.exitCode, 2) << o.err;
        EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
        EXPECT_NE(o.err.find(row.says), std::string::npos) << o.err;
        if (fs::exists(path("out.y4m"))) {
            const Clip out = readClip(path("out.y4m"));
            EXPECT_EQ(out.error, "") << "a frame written half";
        }
    }
    // The frames before the cut are all there, whole.
    const Clip out = readClip(path("out.y4m"));
    EXPECT_EQ(out.frames.size(), 1u);
    // Options out of range.
    for (const char* args : {"--start -1", "--frames 0", "--output-format 440", "--mode 3"}) {
        const Outcome o = run(std::string(args) + " --input - < /dev/null");
        EXPECT_EQ(o.exitCode, 2) << args << ": " << o.err;
        EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
    }
}

// Damaged at random: never a crash (the sanitizer builds run this too), never a frame half
// written; exit code 0 only for a stream that still reads as one.
TEST_F(Stream, RandomDamageIsRefusedCleanly) {
    const std::string good = readAll(clip("good.y4m", "yuv422p", false, 3, "16x8"));
    std::mt19937 rng(2024);
    for (int round = 0; round < 24; ++round) {
        std::string bytes = good;
        if (round % 2 == 0) {
            bytes.resize(rng() % bytes.size()); // cut short
        } else {
            const size_t headerEnd = bytes.find('\n') + 1;
            for (int n = 1 + int(rng() % 3); n > 0; --n)
                bytes[rng() % (headerEnd + 8)] = char(rng());
        }
        std::ofstream(path("bad.y4m"), std::ios::binary) << bytes;
        std::error_code ignored;
        fs::remove(path("out.y4m"), ignored);
        const Outcome o =
            run("--quiet --input " + path("bad.y4m") + " --output " + path("out.y4m"));
        EXPECT_TRUE(o.exitCode == 0 || o.exitCode == 2) << o.exitCode << ": " << o.err;
        if (o.exitCode == 2) {
            EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
        }
        if (fs::exists(path("out.y4m"))) {
            EXPECT_EQ(readClip(path("out.y4m")).error, "");
        }
    }
}

// A reader that goes away: one line and exit code 1, not a silent death by SIGPIPE.
TEST_F(Stream, AReaderThatGoesAwayIsOneLineAndExitCodeOne) {
    const std::string in = clip("in.y4m", "yuv420p", false, 40, "160x120");
    const Outcome o =
        shell(std::string(KESTRIN_RUN_PATH) + " --module " + KESTRIN_MODULE_PATH + " --input " +
              in + " --output - | head -c 1000 > /dev/null; exit " + "${PIPESTATUS[0]}");
    EXPECT_EQ(o.exitCode, 1) << o.err;
    EXPECT_NE(o.err.find("the reader of the output went away"), std::string::npos) << o.err;
    EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
}

// A frame the plug-in fails: exit code 1 naming it; the frames before it are written whole.
TEST_F(Stream, AFrameThePluginFailsIsNamed) {
    const std::string in = clip("in.y4m", "yuv420p", false, 4);
    const Outcome o =
        run("--strength 3 --input " + in + " --output " + path("out.y4m"), KESTRIN_ROGUE_MODULE);
    EXPECT_EQ(o.exitCode, 1) << o.err;
    EXPECT_NE(o.err.find("the plug-in failed frame 2"), std::string::npos) << o.err;
    const Clip out = readClip(path("out.y4m"));
    EXPECT_EQ(out.error, "");
    EXPECT_EQ(out.frames.size(), 2u);
}

} // namespace
} // namespace kestrin::hostsim::testing
