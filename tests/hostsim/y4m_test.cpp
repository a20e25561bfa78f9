// YUV4MPEG2 streams and their conversion to the editor's scale: headers as FFmpeg writes them,
// frames read back whole or refused with the frame named, every truncation and corruption
// refused cleanly, and the sample maps and chroma resampling that give a frame back unchanged.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "hostsim/y4m.h"
#include "hostsim/y4m_convert.h"

namespace kestrin::hostsim::y4m {
namespace {

// A stream in memory, read through a C stream as kestrin-run reads a pipe.
class MemoryStream {
  public:
    explicit MemoryStream(const std::string& bytes) : bytes_(bytes) {
        file_ = fmemopen(bytes_.empty() ? nullptr : bytes_.data(), bytes_.size(), "rb");
        if (!file_) file_ = std::tmpfile(); // fmemopen refuses empty buffers on some libcs
    }
    ~MemoryStream() { std::fclose(file_); }
    std::FILE* get() { return file_; }

  private:
    std::string bytes_;
    std::FILE* file_;
};

// ---- Headers ---------------------------------------------------------------------------------

struct HeaderRow {
    const char* line;
    int32_t width, height;
    Layout layout;
    bool fullRange;
};

TEST(Y4mHeader, ReadsWhatFFmpegWrites) {
    const HeaderRow rows[] = {
        {"YUV4MPEG2 W64 H48 F25:1 Ip A1:1 C420jpeg XYSCSS=420JPEG", 64, 48, {2, 2}, false},
        {"YUV4MPEG2 W64 H48 F25:1 Ip A1:1 C420mpeg2 XYSCSS=420MPEG2",
         64,
         48,
         {2, 2, Siting::Left},
         false},
        {"YUV4MPEG2 W64 H48 F25:1 Ip A1:1 C420paldv XYSCSS=420PALDV",
         64,
         48,
         {2, 2, Siting::TopLeft},
         false},
        {"YUV4MPEG2 W64 H48 F25:1 Ip A1:1 C422 XYSCSS=422 XCOLORRANGE=LIMITED",
         64,
         48,
         {2, 1, Siting::Left},
         false},
        {"YUV4MPEG2 W64 H48 F25:1 Ip A1:1 C444 XYSCSS=444 XCOLORRANGE=LIMITED",
         64,
         48,
         {1, 1},
         false},
        {"YUV4MPEG2 W64 H48 F25:1 Ip A1:1 Cmono XCOLORRANGE=FULL", 64, 48, {0, 0}, true},
        {"YUV4MPEG2 W64 H48 F25:1 Ip A1:1 C411 XYSCSS=411", 64, 48, {4, 1, Siting::Left}, false},
        {"YUV4MPEG2 W64 H48 F25:1 Ip A1:1 C420p10 XYSCSS=420P10 XCOLORRANGE=LIMITED",
         64,
         48,
         {2, 2, Siting::Center, 10},
         false},
        {"YUV4MPEG2 W64 H48 F25:1 Ip A1:1 C444p16 XYSCSS=444P16 XCOLORRANGE=LIMITED",
         64,
         48,
         {1, 1, Siting::Center, 16},
         false},
        {"YUV4MPEG2 W64 H48 F25:1 Ip A1:1 C422p12 XYSCSS=422P12 XCOLORRANGE=LIMITED",
         64,
         48,
         {2, 1, Siting::Left, 12},
         false},
        {"YUV4MPEG2 W64 H48 F25:1 Ip A1:1 Cmono16 XCOLORRANGE=FULL",
         64,
         48,
         {0, 0, Siting::Center, 16},
         true},
        {"YUV4MPEG2 W1920 H1080 F30000:1001 It A16:15 C420 XCOLORRANGE=full",
         1920,
         1080,
         {2, 2},
         true},
        // No C: FFmpeg's XYSCSS, else 4:2:0.
        {"YUV4MPEG2 W8 H6 XYSCSS=444P10", 8, 6, {1, 1, Siting::Center, 10}, false},
        {"YUV4MPEG2 W8 H6", 8, 6, {2, 2}, false},
    };
    for (const HeaderRow& row : rows) {
        SCOPED_TRACE(row.line);
        Header h;
        ASSERT_EQ(parseHeader(row.line, h), "");
        EXPECT_EQ(h.width, row.width);
        EXPECT_EQ(h.height, row.height);
        EXPECT_EQ(h.layout, row.layout);
        EXPECT_EQ(h.fullRange, row.fullRange);
    }
}

// Written back, a header keeps every field it came with, in its order.
TEST(Y4mHeader, WritesTheSameFieldsBack) {
    for (const char* line :
         {"YUV4MPEG2 W64 H48 F25:1 Ip A1:1 C420jpeg XYSCSS=420JPEG",
          "YUV4MPEG2 W64 H48 F25:1 Ip A1:1 C444p16 XYSCSS=444P16 XCOLORRANGE=LIMITED",
          "YUV4MPEG2 W64 H48 F25:1 Ip A1:1 Cmono XCOLORRANGE=FULL",
          "YUV4MPEG2 W720 H576 F25:1 It A59:54 C420paldv XYSCSS=420PALDV XCOLORRANGE=LIMITED "
          "XCOMMENT=hello"}) {
        Header h;
        ASSERT_EQ(parseHeader(line, h), "");
        EXPECT_EQ(formatHeader(h), std::string(line) + "\n");
    }
    // Another layout writes its own C (and XYSCSS where there was one).
    Header h;
    ASSERT_EQ(parseHeader("YUV4MPEG2 W64 H48 F25:1 Ip A1:1 C420jpeg XYSCSS=420JPEG", h), "");
    h.layout = {1, 1, Siting::Center, 16};
    EXPECT_EQ(formatHeader(h), "YUV4MPEG2 W64 H48 F25:1 Ip A1:1 C444p16 XYSCSS=444P16\n");
}

TEST(Y4mHeader, RefusesWhatItCannotRead) {
    const char* lines[] = {
        "",
        "YUV4MPEG W64 H48",
        "YUV4MPEG2W64 H48",
        "P6 64 48 255",
        "YUV4MPEG2 H48 C420jpeg",
        "YUV4MPEG2 W64 C420jpeg",
        "YUV4MPEG2 Wx H48",
        "YUV4MPEG2 W-4 H48",
        "YUV4MPEG2 W99999999999 H48",
        "YUV4MPEG2 W16385 H48",
        "YUV4MPEG2 W64 H48 C444alpha",
        "YUV4MPEG2 W64 H48 C420p17",
        "YUV4MPEG2 W64 H48 C420jpegp10",
        "YUV4MPEG2 W64 H48 Cyuv",
        "YUV4MPEG2 W64 H48 C420 XCOLORRANGE=WIDE",
        "YUV4MPEG2 W64 H48 C420p10 XYSCSS=420P12",
    };
    for (const char* line : lines) {
        Header h;
        EXPECT_NE(parseHeader(line, h), "") << line;
    }
}

// ---- Streams -----------------------------------------------------------------------------------

// A stream of `frames` frames of `layout`, samples from `seed`.
std::string makeStream(const std::string& header, int frames, uint32_t seed,
                       std::vector<Planes>* planes = nullptr) {
    Header h;
    EXPECT_EQ(parseHeader(header, h), "");
    PlaneSizes sizes{};
    EXPECT_TRUE(planeSizes(h.width, h.height, h.layout, sizes));
    std::mt19937 rng(seed);
    std::string out = formatHeader(h);
    const uint32_t top = (1u << h.layout.bits) - 1;
    for (int f = 0; f < frames; ++f) {
        Planes p;
        auto fill = [&](std::vector<uint16_t>& plane, size_t n) {
            for (size_t i = 0; i < n; ++i) plane.push_back(uint16_t(rng() % (top + 1)));
        };
        fill(p.y, size_t(sizes.lumaWidth) * sizes.lumaHeight);
        fill(p.cb, size_t(sizes.chromaWidth) * sizes.chromaHeight);
        fill(p.cr, size_t(sizes.chromaWidth) * sizes.chromaHeight);
        out += "FRAME\n";
        for (const auto* plane : {&p.y, &p.cb, &p.cr})
            for (uint16_t v : *plane) {
                out.push_back(char(v & 0xFF));
                if (sizes.bytesPerSample == 2) out.push_back(char(v >> 8));
            }
        if (planes) planes->push_back(std::move(p));
    }
    return out;
}

TEST(Y4mStream, ReadsFramesUntilACleanEnd) {
    for (const char* header : {"YUV4MPEG2 W6 H4 F25:1 C420jpeg", "YUV4MPEG2 W5 H3 C444p10",
                               "YUV4MPEG2 W4 H2 Cmono16", "YUV4MPEG2 W8 H2 C411"}) {
        SCOPED_TRACE(header);
        std::vector<Planes> written;
        MemoryStream stream(makeStream(header, 3, 7, &written));
        Reader reader(stream.get());
        Header h;
        ASSERT_EQ(reader.readHeader(h), "");
        std::string error;
        Planes p;
        for (const Planes& expected : written) {
            ASSERT_EQ(reader.readFrame(p, error), Reader::Status::Frame) << error;
            EXPECT_EQ(p.y, expected.y);
            EXPECT_EQ(p.cb, expected.cb);
            EXPECT_EQ(p.cr, expected.cr);
        }
        EXPECT_EQ(reader.readFrame(p, error), Reader::Status::End);
    }
}

TEST(Y4mStream, FrameParametersAreAllowedAndSkippingWorks) {
    std::string s = makeStream("YUV4MPEG2 W2 H2 C444", 2, 3);
    // The first frame line gets a parameter.
    s.replace(s.find("FRAME\n"), 6, "FRAME Ixyz\n");
    MemoryStream stream(s);
    Reader reader(stream.get());
    Header h;
    ASSERT_EQ(reader.readHeader(h), "");
    std::string error;
    EXPECT_EQ(reader.skipFrame(error), Reader::Status::Frame) << error;
    Planes p;
    EXPECT_EQ(reader.readFrame(p, error), Reader::Status::Frame) << error;
    EXPECT_EQ(reader.skipFrame(error), Reader::Status::End);
}

// Cut anywhere, a stream gives its whole frames and then either a clean end (cut between
// frames) or one error naming the frame that was cut.
TEST(Y4mStream, EveryTruncationEndsCleanlyOrNamesTheFrame) {
    for (const char* header : {"YUV4MPEG2 W4 H2 C420jpeg", "YUV4MPEG2 W3 H2 C444p12"}) {
        const std::string whole = makeStream(header, 2, 11);
        const size_t headerBytes = whole.find('\n') + 1;
        const size_t frameBytes = (whole.size() - headerBytes) / 2;
        for (size_t cut = 0; cut < whole.size(); ++cut) {
            SCOPED_TRACE(std::string(header) + " cut at " + std::to_string(cut));
            MemoryStream stream(whole.substr(0, cut));
            Reader reader(stream.get());
            Header h;
            const std::string headerError = reader.readHeader(h);
            if (cut < headerBytes) {
                EXPECT_NE(headerError, "");
                continue;
            }
            ASSERT_EQ(headerError, "");
            const size_t whole_frames = (cut - headerBytes) / frameBytes;
            const bool atBoundary = (cut - headerBytes) % frameBytes == 0;
            std::string error;
            Planes p;
            for (size_t f = 0; f < whole_frames; ++f)
                ASSERT_EQ(reader.readFrame(p, error), Reader::Status::Frame);
            const Reader::Status last = reader.readFrame(p, error);
            if (atBoundary) {
                EXPECT_EQ(last, Reader::Status::End);
            } else {
                EXPECT_EQ(last, Reader::Status::Error);
                EXPECT_EQ(error.rfind("frame " + std::to_string(whole_frames) + ":", 0), 0u)
                    << error;
            }
        }
    }
}

// Damaged bytes anywhere in the header or a frame line never crash the reader; each damaged
// stream reads whole frames and then stops with an error or a clean end.
TEST(Y4mStream, CorruptedStreamsAreRefusedCleanly) {
    const std::string whole = makeStream("YUV4MPEG2 W4 H4 F25:1 Ip A1:1 C420jpeg", 3, 5);
    std::mt19937 rng(99);
    for (int round = 0; round < 2000; ++round) {
        std::string s = whole;
        // Mostly the header and the first frame line, now and then anywhere.
        const size_t limit = round % 4 == 0 ? s.size() : whole.find('\n') + 8;
        for (int n = 1 + int(rng() % 3); n > 0; --n) s[rng() % limit] = char(rng());
        MemoryStream stream(s);
        Reader reader(stream.get());
        Header h;
        if (!reader.readHeader(h).empty()) continue;
        std::string error;
        Planes p;
        int frames = 0;
        Reader::Status status;
        while ((status = reader.readFrame(p, error)) == Reader::Status::Frame) {
            ASSERT_LT(++frames, 1000);
        }
        if (status == Reader::Status::Error) {
            EXPECT_NE(error, "");
        }
    }
}

// A header that promises enormous frames costs no more than the bytes that really came.
TEST(Y4mStream, AbsurdSizesCostOnlyWhatArrives) {
    MemoryStream stream("YUV4MPEG2 W16384 H16384 C444p16\nFRAME\n" + std::string(100, 'x'));
    Reader reader(stream.get());
    Header h;
    ASSERT_EQ(reader.readHeader(h), "");
    std::string error;
    Planes p;
    EXPECT_EQ(reader.readFrame(p, error), Reader::Status::Error);
    EXPECT_NE(error.find("frame 0: the stream ends inside the frame (100 of its"),
              std::string::npos)
        << error;
}

TEST(Y4mStream, WriterRefusesPlanesOfAnotherSize) {
    std::FILE* sink = std::tmpfile();
    Writer writer(sink);
    Header h;
    ASSERT_EQ(parseHeader("YUV4MPEG2 W4 H2 C420jpeg", h), "");
    ASSERT_TRUE(writer.writeHeader(h));
    Planes p;
    p.y.assign(8, 16);
    p.cb.assign(2, 128);
    p.cr.assign(2, 128);
    EXPECT_TRUE(writer.writeFrame(p));
    p.cr.pop_back();
    EXPECT_FALSE(writer.writeFrame(p));
    std::fclose(sink);
}

// ---- Sample maps -------------------------------------------------------------------------------

TEST(Y4mSampleMaps, PinTheRangesEnds) {
    const SampleMaps limited8(8, false), full8(8, true), limited10(10, false), full16(16, true);
    EXPECT_EQ(limited8.lumaToHost(16), 0);
    EXPECT_EQ(limited8.lumaToHost(235), 4096);
    EXPECT_EQ(limited8.chromaToHost(16), -2048);
    EXPECT_EQ(limited8.chromaToHost(128), 0);
    EXPECT_EQ(limited8.chromaToHost(240), 2048);
    EXPECT_EQ(full8.lumaToHost(0), 0);
    EXPECT_EQ(full8.lumaToHost(255), 4096);
    EXPECT_EQ(full8.chromaToHost(0), -2048);
    EXPECT_EQ(full8.chromaToHost(255), 2048);
    EXPECT_EQ(limited10.lumaToHost(64), 0);
    EXPECT_EQ(limited10.lumaToHost(940), 4096);
    EXPECT_EQ(limited10.chromaToHost(512), 0);
    EXPECT_EQ(full16.lumaToHost(65535), 4096);
    // Back, with clamping to the depth's codes.
    EXPECT_EQ(limited8.lumaFromHost(0), 16);
    EXPECT_EQ(limited8.lumaFromHost(4096), 235);
    EXPECT_EQ(limited8.lumaFromHost(-32768), 0);
    EXPECT_EQ(limited8.lumaFromHost(32767), 255);
    EXPECT_EQ(limited8.chromaFromHost(0), 128);
    EXPECT_EQ(limited10.lumaFromHost(4096), 940);
    EXPECT_EQ(full16.lumaFromHost(4096), 65535);
}

// Up to 12 bits every code comes back unchanged; at 16 bits within one step of the editor's
// scale. Both ranges, luma and chroma, every code.
TEST(Y4mSampleMaps, GiveEveryCodeBack) {
    for (int bits : {8, 9, 10, 12, 14, 16}) {
        for (bool full : {false, true}) {
            const SampleMaps maps(bits, full);
            const uint32_t codes = 1u << bits;
            // Half a step of the editor's scale, in codes.
            const double lumaStep = full ? (codes - 1) / 4096.0 : 219.0 * (codes >> 8) / 4096.0;
            const double chromaStep = full ? (codes - 1) / 4096.0 : 224.0 * (codes >> 8) / 4096.0;
            const int lumaBound = bits <= 12 ? 0 : int(lumaStep / 2 + 0.5);
            const int chromaBound = bits <= 12 ? 0 : int(chromaStep / 2 + 0.5);
            int worstLuma = 0, worstChroma = 0;
            for (uint32_t c = 0; c < codes; ++c) {
                const auto code = uint16_t(c);
                worstLuma = std::max(
                    worstLuma, std::abs(int(maps.lumaFromHost(maps.lumaToHost(code))) - int(c)));
                worstChroma =
                    std::max(worstChroma,
                             std::abs(int(maps.chromaFromHost(maps.chromaToHost(code))) - int(c)));
            }
            EXPECT_LE(worstLuma, lumaBound) << bits << (full ? " full" : " limited");
            EXPECT_LE(worstChroma, chromaBound) << bits << (full ? " full" : " limited");
        }
    }
}

// ---- Frames ------------------------------------------------------------------------------------

Header headerOf(const std::string& line) {
    Header h;
    EXPECT_EQ(parseHeader(line, h), "");
    return h;
}

Planes randomPlanes(const Header& h, uint32_t seed) {
    std::vector<Planes> planes;
    MemoryStream stream(
        makeStream(formatHeader(h).substr(0, formatHeader(h).size() - 1), 1, seed, &planes));
    return planes.front();
}

// A frame the filter left alone comes back as it went in: every layout, depth up to 12 and
// range exactly; 16 bits within a step.
TEST(Y4mFrames, RoundTripUnchanged) {
    for (const char* c : {"444", "422", "420jpeg", "420mpeg2", "420paldv", "411", "mono", "420p10",
                          "444p12", "422p10", "mono12", "444p16", "420p16"}) {
        for (const char* range : {"LIMITED", "FULL"}) {
            const Header h =
                headerOf(std::string("YUV4MPEG2 W12 H6 C") + c + " XCOLORRANGE=" + range);
            SCOPED_TRACE(formatHeader(h));
            const SampleMaps maps(h.layout.bits, h.fullRange);
            const Planes in = randomPlanes(h, 21);
            std::vector<YcPixel> frame;
            SourceChroma source;
            toHost(in, h, maps, frame, &source);
            ASSERT_EQ(frame.size(), size_t(12 * 6));
            Planes out;
            fromHost(frame.data(), 12, h, &source, h, maps, out);
            ASSERT_EQ(out.y.size(), in.y.size());
            ASSERT_EQ(out.cb.size(), in.cb.size());
            const int bound = h.layout.bits == 16 ? 8 : 0;
            auto worst = [](const std::vector<uint16_t>& a, const std::vector<uint16_t>& b) {
                int w = 0;
                for (size_t i = 0; i < a.size(); ++i) w = std::max(w, std::abs(a[i] - b[i]));
                return w;
            };
            EXPECT_LE(worst(out.y, in.y), bound);
            EXPECT_LE(worst(out.cb, in.cb), bound);
            EXPECT_LE(worst(out.cr, in.cr), bound);

            // Bands of rows on several threads give the same frame and the same way back.
            for (int threads : {2, 3}) {
                ThreadPool pool(threads);
                std::vector<YcPixel> banded;
                SourceChroma bandedSource;
                toHost(in, h, maps, banded, &bandedSource, &pool);
                EXPECT_EQ(std::memcmp(banded.data(), frame.data(), frame.size() * sizeof(YcPixel)),
                          0);
                EXPECT_EQ(bandedSource.sumCb, source.sumCb);
                Planes bandedOut;
                fromHost(frame.data(), 12, h, &source, h, maps, bandedOut, &pool);
                EXPECT_EQ(bandedOut.y, out.y);
                EXPECT_EQ(bandedOut.cb, out.cb);
                EXPECT_EQ(bandedOut.cr, out.cr);
            }
        }
    }
}

// Chroma is interpolated between the samples where the layout places them.
TEST(Y4mFrames, ChromaIsInterpolatedWhereTheLayoutSitsIt) {
    struct Row {
        const char* c;
        std::vector<int16_t> row; // Cb of the first luma row, host scale
    };
    // Chroma samples (full range, 8 bits): 0 and 255 -> -2048 and 2048 on the host scale.
    const Row rows[] = {
        {"420jpeg", {-2048, -1024, 1024, 2048}}, // centred: 1/4 and 3/4 of the way
        {"420mpeg2", {-2048, 0, 2048, 2048}},    // with the even columns
        {"422", {-2048, 0, 2048, 2048}},
        {"444", {-2048, 2048, -2048, 2048}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.c);
        const Header h = headerOf(std::string("YUV4MPEG2 W4 H2 XCOLORRANGE=FULL C") + row.c);
        const SampleMaps maps(8, true);
        Planes in;
        in.y.assign(8, 0);
        const size_t chroma = h.layout.chromaX == 1 ? 8 : 2 * (2 / h.layout.chromaY);
        for (size_t i = 0; i < chroma; ++i) in.cb.push_back(i % 2 ? 255 : 0);
        in.cr = in.cb;
        std::vector<YcPixel> frame;
        toHost(in, h, maps, frame);
        std::vector<int16_t> got;
        for (int x = 0; x < 4; ++x) got.push_back(frame[size_t(x)].cb);
        EXPECT_EQ(got, row.row);
    }
}

// What the filter changed reaches the stream: in the same layout as the source's samples plus
// the mean change over each sample's pixels, in another layout as the mean over them.
TEST(Y4mFrames, TheFiltersChangeComesThrough) {
    const Header h = headerOf("YUV4MPEG2 W4 H2 C420jpeg");
    const SampleMaps maps(8, false);
    Planes in;
    in.y = {16, 40, 80, 120, 160, 200, 235, 100};
    in.cb = {100, 150};
    in.cr = {128, 200};
    std::vector<YcPixel> frame;
    SourceChroma source;
    toHost(in, h, maps, frame, &source);
    // The filter lifts Cb by 183 host steps (10 codes) over the left two columns.
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 2; ++x) frame[size_t(y * 4 + x)].cb += 183;
    Planes out;
    fromHost(frame.data(), 4, h, &source, h, maps, out);
    EXPECT_EQ(out.y, in.y);
    EXPECT_EQ(out.cb, (std::vector<uint16_t>{110, 150}));
    EXPECT_EQ(out.cr, in.cr);

    // To 4:4:4 16-bit: everything the filter produced, per pixel.
    Header wide = h;
    wide.layout = {1, 1, Siting::Center, 16};
    const SampleMaps wideMaps(16, false);
    fromHost(frame.data(), 4, h, &source, wide, wideMaps, out);
    ASSERT_EQ(out.cb.size(), 8u);
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(out.cb[i], wideMaps.chromaFromHost(frame[i].cb)) << i;
    // To mono: luma alone.
    Header mono = h;
    mono.layout = {0, 0};
    fromHost(frame.data(), 4, h, &source, mono, maps, out);
    EXPECT_EQ(out.y, in.y);
    EXPECT_TRUE(out.cb.empty());
}

} // namespace
} // namespace kestrin::hostsim::y4m
