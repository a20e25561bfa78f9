// kestrin-run: the command-line host. Loads the plug-in module, feeds it frames (the built-in
// test card, a PNG file or a raw host-pixel file), runs them in any mode and writes the result.
//
// Exit codes: 0 every frame filtered; 1 the plug-in failed a frame or could not start;
// 2 a bad option, a missing or unreadable file, a bad header or an impossible size.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "hostsim/frame_io.h"
#include "hostsim/host.h"
#include "tools/testcard.h"

#ifndef KESTRIN_DEFAULT_MODULE
#define KESTRIN_DEFAULT_MODULE "kestrin.so"
#endif

namespace {

using kestrin::hostsim::Frame;

struct Options {
    std::string module = KESTRIN_DEFAULT_MODULE;
    std::string input, output;
    int32_t tracks[5] = {128, 24, 64, 1, 0};
    int frames = 1;
    int threads = 2;
};

const char* kUsage =
    "usage: kestrin-run [--module PATH] [--input FILE] [--output FILE] [--strength N]\n"
    "                   [--threshold N] [--range N] [--passes N] [--mode N] [--frames N]\n"
    "                   [--threads N]\n";

int fail(int code, const std::string& line) {
    std::fprintf(stderr, "kestrin-run: %s\n", line.c_str());
    return code;
}

bool parseInt(const char* text, long lo, long hi, int32_t& out) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno || end == text || *end != '\0' || v < lo || v > hi) return false;
    out = static_cast<int32_t>(v);
    return true;
}

bool endsWith(const std::string& s, const char* suffix) {
    const size_t n = std::strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// "out.png" -> "out-0003.png" when several frames go to PNG files.
std::string numbered(const std::string& path, int index, int count) {
    if (count == 1) return path;
    const size_t dot = path.rfind('.');
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "-%04d", index);
    return dot == std::string::npos ? path + suffix
                                    : path.substr(0, dot) + suffix + path.substr(dot);
}

int run(int argc, char** argv) {
    Options o;
    struct IntOption {
        const char* name;
        int32_t* target;
        long lo, hi;
    };
    int32_t frames = 1, threads = 2;
    const IntOption ints[] = {
        {"--strength", &o.tracks[0], 0, 256}, {"--threshold", &o.tracks[1], 0, 256},
        {"--range", &o.tracks[2], 0, 256},    {"--passes", &o.tracks[3], 1, 5},
        {"--mode", &o.tracks[4], 0, 2},       {"--frames", &frames, 1, 100000},
        {"--threads", &threads, 0, 64},
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (i + 1 >= argc) return fail(2, "option " + arg + " needs a value (see --help)");
        const char* value = argv[++i];
        if (arg == "--module") {
            o.module = value;
        } else if (arg == "--input") {
            o.input = value;
        } else if (arg == "--output") {
            o.output = value;
        } else {
            bool known = false;
            for (const IntOption& opt : ints) {
                if (arg != opt.name) continue;
                known = true;
                if (!parseInt(value, opt.lo, opt.hi, *opt.target))
                    return fail(2, arg + " takes a whole number from " + std::to_string(opt.lo) +
                                       " to " + std::to_string(opt.hi) + ", not '" + value + "'");
            }
            if (!known) return fail(2, "unknown option " + arg + " (see --help)");
        }
    }
    o.frames = frames;
    o.threads = threads;

    // Frames in.
    std::vector<Frame> input;
    if (o.input.empty()) {
        for (int i = 0; i < o.frames; ++i) {
            Frame f;
            f.width = 1280;
            f.height = 720;
            const auto card = kestrin::tools::makeTestCard(f.width, f.height, f.width, i);
            f.pixels.resize(card.size());
            static_assert(sizeof(card[0]) == sizeof(YcPixel));
            std::memcpy(f.pixels.data(), card.data(), card.size() * sizeof(YcPixel));
            input.push_back(std::move(f));
        }
    } else if (endsWith(o.input, ".png")) {
        Frame f;
        if (std::string e = kestrin::hostsim::readPng(o.input, f); !e.empty()) return fail(2, e);
        input.assign(static_cast<size_t>(o.frames), f);
    } else {
        if (std::string e = kestrin::hostsim::readRaw(o.input, input); !e.empty())
            return fail(2, e);
    }

    std::string error;
    auto host = kestrin::hostsim::Host::load(o.module, error);
    if (!host) return fail(2, error);
    int32_t maxWidth = 0, maxHeight = 0;
    for (const Frame& f : input) {
        maxWidth = std::max(maxWidth, f.width);
        maxHeight = std::max(maxHeight, f.height);
    }
    host->setMaxSize(maxWidth, maxHeight);
    host->setThreads(o.threads);
    std::memcpy(host->trackValues(), o.tracks, sizeof(o.tracks));
    host->setSource([&](int32_t n, int32_t& w, int32_t& h, std::vector<YcPixel>& pixels) {
        if (n < 0 || n >= static_cast<int32_t>(input.size())) return false;
        w = input[static_cast<size_t>(n)].width;
        h = input[static_cast<size_t>(n)].height;
        pixels = input[static_cast<size_t>(n)].pixels;
        return true;
    });
    if (!host->init()) return fail(1, "the plug-in did not start (FilterInit failed)");

    using Clock = std::chrono::steady_clock;
    std::vector<Frame> output;
    std::vector<YcPixel> buffer(static_cast<size_t>(maxWidth) * maxHeight);
    double total = 0;
    int status = 0;
    for (size_t i = 0; i < input.size(); ++i) {
        const auto start = Clock::now();
        const int32_t ok = host->proc(static_cast<int32_t>(i), buffer.data());
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        total += ms;
        const Frame& in = input[i];
        std::printf("frame %zu: %dx%d %s %.1f ms\n", i, in.width, in.height, ok ? "ok" : "FAILED",
                    ms);
        if (!ok) {
            status = 1;
            break;
        }
        Frame out;
        out.width = in.width;
        out.height = in.height;
        out.pixels.resize(static_cast<size_t>(in.width) * in.height);
        for (int32_t y = 0; y < in.height; ++y)
            std::memcpy(&out.pixels[static_cast<size_t>(y) * in.width],
                        &buffer[static_cast<size_t>(y) * maxWidth], sizeof(YcPixel) * in.width);
        output.push_back(std::move(out));
    }
    host->exit();
    std::printf("%zu frame%s, total %.1f ms, mode %d, %d pass%s\n", output.size(),
                output.size() == 1 ? "" : "s", total, o.tracks[4], o.tracks[3],
                o.tracks[3] == 1 ? "" : "es");
    if (status != 0) return fail(1, "the plug-in failed a frame");

    if (!o.output.empty()) {
        if (endsWith(o.output, ".png")) {
            for (size_t i = 0; i < output.size(); ++i)
                if (std::string e = kestrin::hostsim::writePng(
                        numbered(o.output, static_cast<int>(i), static_cast<int>(output.size())),
                        output[i]);
                    !e.empty())
                    return fail(2, e);
        } else if (std::string e = kestrin::hostsim::writeRaw(o.output, output); !e.empty()) {
            return fail(2, e);
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    // Out of memory for a frame is the one exception the work above can raise.
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        return fail(2, std::string("cannot run: ") + e.what());
    }
}
