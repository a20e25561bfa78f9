// A whole frame through the native module, as the editor drives it (host simulator, 2 worker
// threads, default tracks), against OpenCV's bilateralFilter (d = 7, CV_32FC3, 2 threads) on
// the same frame in the same run: 1920 x 1080 and 1280 x 720, 1 and 3 passes (3 passes against
// three chained OpenCV calls), modes 0 and 2. Rounds interleave every configuration; medians of
// the rounds are printed with the ratio native / OpenCV and where the native frame's time went:
//   upload, download  the host's runParallel calls (the plug-in's transfer kernels)
//   up-copy, rb-copy  the device's UpdateSurface and GetRenderTargetData copies
//   decode            textures decoded to planes inside draws
//   compile           programs compiled inside draws (zero once the cache holds them)
//   shade             rasterising, shading, storing: the draws proper
//   other             the rest (effect calls, waits, the worker's hand-over, the host's cache)
// Usage: frame_bench [rounds]   (default 5)
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "hostsim/host.h"
#include "platform/d3d9/stage_clock.h"
#include "shader/compiled_program.h"
#include "tools/testcard.h"

namespace {

using namespace kestrin;
using Clock = std::chrono::steady_clock;
using platform::d3d9::Stage;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Config {
    int width, height, passes, mode;
};

struct Split {
    double upload = 0, upCopy = 0, decode = 0, compile = 0, shade = 0, rbCopy = 0, download = 0;
};

struct Samples {
    std::vector<double> native, opencv;
    std::vector<Split> split;
};

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const int threads = 2;
    cv::setNumThreads(threads);

    const std::vector<Config> configs = {
        {1920, 1080, 1, 0}, {1920, 1080, 1, 2}, {1920, 1080, 3, 0}, {1920, 1080, 3, 2},
        {1280, 720, 1, 0},  {1280, 720, 1, 2},  {1280, 720, 3, 0},  {1280, 720, 3, 2},
    };

    // The same frames for both: the test card, and its Y, Cb, Cr as floats for OpenCV.
    struct Frame {
        int width, height;
        std::vector<YcPixel> pixels;
        cv::Mat floats;
    };
    std::vector<Frame> frames;
    for (auto [w, h] : {std::pair{1920, 1080}, {1280, 720}}) {
        Frame f{w, h, {}, cv::Mat(h, w, CV_32FC3)};
        const auto card = tools::makeTestCard(w, h, w, 0);
        f.pixels.resize(card.size());
        static_assert(sizeof(card[0]) == sizeof(YcPixel));
        std::memcpy(f.pixels.data(), card.data(), card.size() * sizeof(YcPixel));
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const YcPixel& p = f.pixels[static_cast<size_t>(y) * w + x];
                f.floats.at<cv::Vec3f>(y, x) = {p.y / 4096.0f, p.cb / 4096.0f, p.cr / 4096.0f};
            }
        frames.push_back(std::move(f));
    }
    auto frameOf = [&](int w) -> const Frame& { return frames[w == 1920 ? 0 : 1]; };

    std::string error;
    auto host = hostsim::Host::load(KESTRIN_MODULE_PATH, error);
    if (!host) {
        std::fprintf(stderr, "frame_bench: %s\n", error.c_str());
        return 1;
    }
    host->setMaxSize(1920, 1080);
    host->setThreads(threads);
    int current = 1920;
    host->setSource([&](int32_t n, int32_t& w, int32_t& h, std::vector<YcPixel>& pixels) {
        if (n < 0) return false;
        const Frame& f = frameOf(current);
        w = f.width;
        h = f.height;
        pixels = f.pixels;
        return true;
    });
    int32_t* tracks = host->trackValues();
    tracks[0] = 128;
    tracks[1] = 24;
    tracks[2] = 64;
    tracks[3] = 1;
    tracks[4] = 0;
    if (!host->init()) {
        std::fprintf(stderr, "frame_bench: FilterInit failed\n");
        return 1;
    }
    std::vector<YcPixel> output(1920 * 1080);
    // Always frame 0: the host's cache then holds it, so the time is the module's and not the
    // simulator's frame source copying 12 MB (the plug-in filters every FilterProc anyway).
    const int32_t frameNumber = 0;
    auto runNative = [&](const Config& c, Split* split) {
        if (current != c.width) {
            current = c.width;
            host->clearCache();
        }
        tracks[3] = c.passes;
        tracks[4] = c.mode;
        host->update();
        host->parallelMs.clear();
        platform::d3d9::resetStageTimes();
        const auto start = Clock::now();
        const int32_t ok = host->proc(frameNumber, output.data());
        const double ms = msSince(start);
        if (!ok) {
            std::fprintf(stderr, "frame_bench: the plug-in failed a frame\n");
            std::exit(1);
        }
        if (split) {
            const platform::d3d9::StageTimes t = platform::d3d9::stageTimes();
            auto at = [&](Stage s) { return t.ms[static_cast<size_t>(s)]; };
            split->upload = host->parallelMs.size() > 0 ? host->parallelMs[0] : 0.0;
            split->download = host->parallelMs.size() > 1 ? host->parallelMs[1] : 0.0;
            split->upCopy = at(Stage::UploadCopy);
            split->decode = at(Stage::Decode);
            split->compile = at(Stage::Compile);
            split->shade = at(Stage::Shade);
            split->rbCopy = at(Stage::ReadbackCopy);
        }
        return ms;
    };
    auto runOpenCv = [&](const Config& c) {
        const cv::Mat& src = frameOf(c.width).floats;
        cv::Mat a, b;
        const auto start = Clock::now();
        cv::bilateralFilter(src, a, 7, 0.1, 3.0);
        for (int p = 1; p < c.passes; ++p) {
            cv::bilateralFilter(a, b, 7, 0.1, 3.0);
            std::swap(a, b);
        }
        return msSince(start);
    };

    std::printf("frame_bench: native module (%s engine) vs OpenCV %s bilateralFilter d=7 "
                "CV_32FC3, %d threads; medians of %d interleaved rounds\n",
                shader::engineName(shader::defaultEngine()), CV_VERSION, threads, rounds);
    std::vector<Samples> samples(configs.size());
    // One frame of each configuration first: sizes, programs and decoded planes settle.
    for (const Config& c : configs) {
        runNative(c, nullptr);
        runNative(c, nullptr);
        runOpenCv(c);
    }
    for (int r = 0; r < rounds; ++r)
        for (size_t i = 0; i < configs.size(); ++i) {
            const Config& c = configs[i];
            runNative(c, nullptr); // a size or mode change settles outside the measured frame
            Split split;
            samples[i].native.push_back(runNative(c, &split));
            samples[i].split.push_back(split);
            samples[i].opencv.push_back(runOpenCv(c));
        }
    host->exit();

    std::printf("%-10s %6s %4s %9s %9s %6s | %6s %7s %6s %7s %6s %7s %8s %6s\n", "size", "passes",
                "mode", "native", "opencv", "ratio", "upload", "up-copy", "decode", "compile",
                "shade", "rb-copy", "download", "other");
    for (size_t i = 0; i < configs.size(); ++i) {
        const Config& c = configs[i];
        const Samples& s = samples[i];
        auto med = [&](double Split::*field) {
            std::vector<double> v;
            for (const Split& x : s.split) v.push_back(x.*field);
            return median(v);
        };
        const double native = median(s.native), opencv = median(s.opencv);
        const Split m{med(&Split::upload),  med(&Split::upCopy), med(&Split::decode),
                      med(&Split::compile), med(&Split::shade),  med(&Split::rbCopy),
                      med(&Split::download)};
        const double other =
            native - (m.upload + m.upCopy + m.decode + m.compile + m.shade + m.rbCopy + m.download);
        char size[16];
        std::snprintf(size, sizeof size, "%dx%d", c.width, c.height);
        std::printf("%-10s %6d %4d %7.1fms %7.1fms %6.2f | %6.1f %7.1f %6.1f %7.1f %6.1f %7.1f "
                    "%8.1f %6.1f\n",
                    size, c.passes, c.mode, native, opencv, native / opencv, m.upload, m.upCopy,
                    m.decode, m.compile, m.shade, m.rbCopy, m.download, other);
    }
    return 0;
}
