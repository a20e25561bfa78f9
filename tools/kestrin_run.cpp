// kestrin-run: the command-line host. Loads the plug-in module, feeds it frames (the built-in
// test card, a PNG file or a raw host-pixel file) in the order and with the switches the editor
// would, runs them in any mode and writes the result; or filters a YUV4MPEG2 stream from a file
// or a pipe into another (y4m_run.cpp). The same program on Linux (the native module on the
// software device) and Windows (kestrin.auf on the machine's Direct3D 9).
//
// Exit codes: 0 every frame filtered; 1 the plug-in failed a frame, could not start, or
// misbehaved (wrote outside the frame, changed the x87 control word, or, with --compare, strayed
// beyond the tolerance from the reference model); 2 a bad option, a missing or unreadable file,
// a bad header or an impossible size.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#endif

#include "effect/model.h"
#include "effect/model_compare.h"
#include "hostsim/frame_io.h"
#include "hostsim/host.h"
#include "hostsim/module.h"
#include "tools/run_options.h"
#include "tools/testcard.h"
#include "tools/y4m_run.h"

namespace {

using kestrin::hostsim::Frame;
using kestrin::tools::fail;
using kestrin::tools::Options;
using kestrin::tools::Step;

const char* kUsage =
    "usage: kestrin-run [--module PATH] [--input FILE] [--output FILE] [--strength N]\n"
    "                   [--threshold N] [--range N] [--passes N] [--mode N] [--frames N]\n"
    "                   [--start N] [--output-format C] [--threads N] [--size WxH] [--pitch N]\n"
    "                   [--sequence LIST] [--compare] [--verbose] [--quiet]\n"
    "\n"
    "  --module PATH     the plug-in module (default: the one built with kestrin-run)\n"
    "  --input FILE      frames to filter: a YUV4MPEG2 stream (*.y4m, or - for standard\n"
    "                    input), *.png, or raw host pixels (default: the test card)\n"
    "  --output FILE     where the filtered frames go: a YUV4MPEG2 stream (*.y4m, or - for\n"
    "                    standard output) for a stream, *.png (numbered when several), or raw\n"
    "  --strength N      track bar values: strength 0-256, threshold 0-256, range 0-256,\n"
    "  --threshold N       passes 1-5, mode 0-2 (defaults 128, 24, 64, 1, 0)\n"
    "  --range N\n"
    "  --passes N\n"
    "  --mode N\n"
    "  --frames N        frames of the test card, copies of a PNG (default 1), or at most N\n"
    "                    frames of a stream (default: all)\n"
    "  --start N         frames of a stream to skip first (default 0)\n"
    "  --output-format C the stream written: a YUV4MPEG2 colour space such as 420jpeg, 422,\n"
    "                    444p16 or mono12 (default: the input's)\n"
    "  --threads N       the editor's threads for the pixel copies, 0-64 (default 2)\n"
    "  --size WxH        size of the test card, 1x1 to 16384x16384 (default 1280x720)\n"
    "  --pitch N         pixels between rows of the editor's images (default: widest frame)\n"
    "  --sequence LIST   what the editor does, in order, comma-separated: a frame number\n"
    "                    filters that frame; off / on switch the filter off / on; restart\n"
    "                    ends the filter and starts it again (default: every frame in order)\n"
    "  --compare         compare every frame with the reference model of the filter\n"
    "  --verbose         also show the frames the plug-in asked for and the x87 control word\n"
    "  --quiet           no progress line or summary for a stream (errors are still shown)\n";

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

std::string hex(int word) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04x", word);
    return text;
}

// "9,10,off,on,restart,11": one line saying what is wrong, or empty.
std::string parseSequence(const std::string& text, std::vector<Step>& steps) {
    size_t at = 0;
    for (;;) {
        const size_t comma = text.find(',', at);
        const std::string item = text.substr(at, comma == std::string::npos ? comma : comma - at);
        int32_t number = 0;
        if (item == "off") {
            steps.push_back({Step::Off, 0});
        } else if (item == "on") {
            steps.push_back({Step::On, 0});
        } else if (item == "restart") {
            steps.push_back({Step::Restart, 0});
        } else if (parseInt(item.c_str(), 0, 1000000000, number)) {
            steps.push_back({Step::Frame, number});
        } else {
            return "--sequence takes frame numbers, off, on and restart, separated by commas; "
                   "not '" +
                   item + "'";
        }
        if (comma == std::string::npos) return {};
        at = comma + 1;
    }
}

bool parseSize(const char* text, int32_t& width, int32_t& height) {
    const char* x = std::strchr(text, 'x');
    if (!x) return false;
    const std::string w(text, static_cast<size_t>(x - text));
    return parseInt(w.c_str(), 1, kestrin::hostsim::kMaxFileSide, width) &&
           parseInt(x + 1, 1, kestrin::hostsim::kMaxFileSide, height);
}

// The module built with this program: natively its path, compiled in; on Windows kestrin.auf in
// kestrin-run.exe's own folder.
std::string defaultModule() {
#if defined(_WIN32)
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string self(path, n < MAX_PATH ? n : 0);
    const size_t slash = self.find_last_of("\\/");
    return (slash == std::string::npos ? std::string() : self.substr(0, slash + 1)) + "kestrin.auf";
#elif defined(KESTRIN_DEFAULT_MODULE)
    return KESTRIN_DEFAULT_MODULE;
#else
    return "kestrin.so";
#endif
}

// Empty when the options are good (or help was asked for: `help` set), else the error line.
std::string parseOptions(int argc, char** argv, Options& o, bool& help) {
    struct IntOption {
        const char* name;
        int32_t* target;
        long lo, hi;
    };
    const IntOption ints[] = {
        {"--strength", &o.tracks[0], 0, 256}, {"--threshold", &o.tracks[1], 0, 256},
        {"--range", &o.tracks[2], 0, 256},    {"--passes", &o.tracks[3], 1, 5},
        {"--mode", &o.tracks[4], 0, 2},       {"--frames", &o.frames, 1, 1000000000},
        {"--threads", &o.threads, 0, 64},     {"--pitch", &o.pitch, 1, 65536},
        {"--start", &o.start, 0, 1000000000},
    };
    o.module = defaultModule();
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            help = true;
            return {};
        }
        if (arg == "--compare") {
            o.compare = true;
            continue;
        }
        if (arg == "--verbose") {
            o.verbose = true;
            continue;
        }
        if (arg == "--quiet") {
            o.quiet = true;
            continue;
        }
        if (i + 1 >= argc) return "option " + arg + " needs a value (see --help)";
        const char* value = argv[++i];
        if (arg == "--module") {
            o.module = value;
        } else if (arg == "--input") {
            o.input = value;
        } else if (arg == "--output") {
            o.output = value;
        } else if (arg == "--output-format") {
            if (!kestrin::hostsim::y4m::parseLayout(value, o.outputFormat))
                return std::string("--output-format takes a YUV4MPEG2 colour space (444, 422, "
                                   "420jpeg, 420mpeg2, 420paldv, 411, mono, with p9 to p16 for "
                                   "deeper samples: 444p16, mono12, ...), not '") +
                       value + "'";
            o.outputFormatGiven = true;
        } else if (arg == "--size") {
            o.sizeGiven = true;
            if (!parseSize(value, o.width, o.height))
                return "--size takes WIDTHxHEIGHT, each from 1 to " +
                       std::to_string(kestrin::hostsim::kMaxFileSide) + ", not '" + value + "'";
        } else if (arg == "--sequence") {
            o.steps.clear();
            if (std::string e = parseSequence(value, o.steps); !e.empty()) return e;
        } else {
            bool known = false;
            for (const IntOption& opt : ints) {
                if (arg != opt.name) continue;
                known = true;
                if (!parseInt(value, opt.lo, opt.hi, *opt.target))
                    return arg + " takes a whole number from " + std::to_string(opt.lo) + " to " +
                           std::to_string(opt.hi) + ", not '" + value + "'";
                if (opt.target == &o.frames) o.framesGiven = true;
            }
            if (!known) return "unknown option " + arg + " (see --help)";
        }
    }
    return {};
}

std::string readFrames(const Options& o, std::vector<Frame>& input) {
    if (o.input.empty()) {
        for (int i = 0; i < o.frames; ++i) {
            Frame f;
            f.width = o.width;
            f.height = o.height;
            const auto card = kestrin::tools::makeTestCard(f.width, f.height, f.width, i);
            f.pixels.resize(card.size());
            static_assert(sizeof(card[0]) == sizeof(YcPixel));
            std::memcpy(f.pixels.data(), card.data(), card.size() * sizeof(YcPixel));
            input.push_back(std::move(f));
        }
        return {};
    }
    if (endsWith(o.input, ".png")) {
        Frame f;
        if (std::string e = kestrin::hostsim::readPng(o.input, f); !e.empty()) return e;
        input.assign(static_cast<size_t>(o.frames), f);
        return {};
    }
    return kestrin::hostsim::readRaw(o.input, input);
}

// How far a filtered frame is from the reference model, and from its source.
struct ModelCheck {
    kestrin::TexelFormat format;
    int difference;       // host steps, largest over Y, Cb and Cr
    int tolerance;        // model::endToEndTolerance for this frame
    int sourceDifference; // host steps between the result and the source
};

int largestDifference(const std::vector<YcPixel>& a, const std::vector<YcPixel>& b) {
    int most = 0;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i)
        most = std::max({most, std::abs(a[i].y - b[i].y), std::abs(a[i].cb - b[i].cb),
                         std::abs(a[i].cr - b[i].cr)});
    return most;
}

// The device chose its texel format (signed whenever it can); the host cannot see which, so the
// result is held against the signed model first and the unsigned one when that does not fit.
ModelCheck checkAgainstModel(const Frame& source, const Frame& result, const int32_t tracks[5]) {
    namespace model = kestrin::model;
    static_assert(sizeof(model::YcPixel) == sizeof(YcPixel));
    const auto* pixels = reinterpret_cast<const model::YcPixel*>(source.pixels.data());
    const model::FrameSettings settings = model::settingsFromTracks(tracks);
    ModelCheck best{};
    for (kestrin::TexelFormat format :
         {kestrin::TexelFormat::Signed, kestrin::TexelFormat::Unsigned}) {
        const auto expected =
            model::filterFrame(pixels, source.width, source.height, source.width, settings, format);
        std::vector<YcPixel> modelPixels(expected.size());
        std::memcpy(modelPixels.data(), expected.data(), expected.size() * sizeof(YcPixel));
        ModelCheck check{format, largestDifference(modelPixels, result.pixels), 0, 0};
        const model::TexelImage encoded =
            model::encodeFrame(pixels, source.width, source.height, source.width, format);
        check.tolerance = model::endToEndTolerance(
            settings.passCount, model::roundingSpread(encoded, settings, format,
                                                      model::roundingSeed(settings.passCount)));
        if (format == kestrin::TexelFormat::Signed || check.difference < best.difference)
            best = check;
        if (best.difference <= best.tolerance) break;
    }
    best.sourceDifference = largestDifference(source.pixels, result.pixels);
    return best;
}

// The editor's output image is filled with this before each frame; what the plug-in does not
// write must still hold it afterwards.
constexpr YcPixel kGuard{0x2A5A, -0x1357, 0x7531};

bool isGuard(const YcPixel& p) {
    return p.y == kGuard.y && p.cb == kGuard.cb && p.cr == kGuard.cr;
}

// The first pixel outside the width x height frame that is no longer kGuard, as "row R, column
// C"; empty when there is none.
std::string writtenOutside(const std::vector<YcPixel>& image, int32_t pitch, int32_t width,
                           int32_t height) {
    const auto rows = static_cast<int32_t>(image.size() / static_cast<size_t>(pitch));
    for (int32_t y = 0; y < rows; ++y)
        for (int32_t x = y < height ? width : 0; x < pitch; ++x)
            if (!isGuard(image[static_cast<size_t>(y) * pitch + x]))
                return "row " + std::to_string(y) + ", column " + std::to_string(x);
    return {};
}

std::string describeRequests(const std::vector<kestrin::hostsim::FrameRequest>& requests,
                             size_t from) {
    std::string text;
    for (size_t i = from; i < requests.size(); ++i) {
        if (!text.empty()) text += ", ";
        text += std::to_string(requests[i].number) + (requests[i].withSize ? "" : " ahead");
    }
    return text.empty() ? "nothing" : text;
}

int run(int argc, char** argv) {
    Options o;
    bool help = false;
    if (std::string e = parseOptions(argc, argv, o, help); !e.empty()) return fail(2, e);
    if (help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (!o.input.empty() && kestrin::tools::isYuv4mpegPath(o.input))
        return kestrin::tools::runYuv4mpeg(o);
    if (o.start != 0 || o.outputFormatGiven)
        return fail(2, "--start and --output-format apply to YUV4MPEG2 streams only");
    if (o.output == "-" || kestrin::tools::hasYuv4mpegName(o.output))
        return fail(2, "only a YUV4MPEG2 stream is written as one (the input is not a stream)");

    // Frames in, and what the editor does with them.
    std::vector<Frame> input;
    if (std::string e = readFrames(o, input); !e.empty()) return fail(2, e);
    if (o.steps.empty())
        for (size_t i = 0; i < input.size(); ++i)
            o.steps.push_back({Step::Frame, static_cast<int32_t>(i)});
    for (const Step& step : o.steps)
        if (step.kind == Step::Frame && step.frame >= static_cast<int32_t>(input.size()))
            return fail(2, "--sequence: there is no frame " + std::to_string(step.frame) +
                               " (the input has frames 0 to " + std::to_string(input.size() - 1) +
                               ")");
    int32_t widest = 0, tallest = 0;
    for (const Frame& f : input) {
        widest = std::max(widest, f.width);
        tallest = std::max(tallest, f.height);
    }
    const int32_t pitch = o.pitch ? o.pitch : widest;
    if (pitch < widest)
        return fail(2, "--pitch " + std::to_string(pitch) + " is narrower than the widest frame (" +
                           std::to_string(widest) + ")");

    std::string error;
    auto host = kestrin::hostsim::Host::load(o.module, error);
    if (!host) return fail(2, error);
    host->setMaxSize(pitch, tallest);
    host->setThreads(o.threads);
    std::memcpy(host->trackValues(), o.tracks, sizeof(o.tracks));
    host->setSource([&](int32_t n, int32_t& w, int32_t& h, std::vector<YcPixel>& pixels) {
        if (n < 0 || n >= static_cast<int32_t>(input.size())) return false;
        w = input[static_cast<size_t>(n)].width;
        h = input[static_cast<size_t>(n)].height;
        pixels = input[static_cast<size_t>(n)].pixels;
        return true;
    });
    const int x87 = kestrin::hostsim::x87ControlWord();
    if (o.verbose) {
        std::printf("module: %s\n", o.module.c_str());
        if (x87 >= 0) std::printf("x87 control word: %s\n", hex(x87).c_str());
    }
    if (!host->init()) return fail(1, "the plug-in did not start (FilterInit failed)");

    using Clock = std::chrono::steady_clock;
    std::vector<Frame> output;
    std::vector<YcPixel> buffer(static_cast<size_t>(pitch) * static_cast<size_t>(tallest));
    double total = 0;
    int filtered = 0;
    int status = 0;
    bool enabled = true;
    ModelCheck worst{kestrin::TexelFormat::Signed, 0, 0, 0};
    for (const Step& step : o.steps) {
        if (step.kind == Step::Off || step.kind == Step::On) {
            enabled = step.kind == Step::On;
            host->setEnabled(enabled);
            host->sendSwitchMessage();
            std::printf("filter switched %s\n", enabled ? "on" : "off");
            continue;
        }
        if (step.kind == Step::Restart) {
            host->exit();
            if (!host->init()) {
                status = fail(1, "the plug-in did not start again (FilterInit failed)");
                break;
            }
            std::printf("filter restarted\n");
            continue;
        }
        const Frame& in = input[static_cast<size_t>(step.frame)];
        if (!enabled) {
            // The editor does not call a filter that is switched off: the frame passes unchanged.
            std::printf("frame %d: %dx%d off\n", step.frame, in.width, in.height);
            output.push_back(in);
            continue;
        }
        std::fill(buffer.begin(), buffer.end(), kGuard);
        const size_t requestsBefore = host->frameRequests.size();
        const auto start = Clock::now();
        const int32_t ok = host->proc(step.frame, buffer.data());
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        total += ms;
        ++filtered;
        std::printf("frame %d: %dx%d %s %.1f ms\n", step.frame, in.width, in.height,
                    ok ? "ok" : "FAILED", ms);
        if (o.verbose)
            std::printf("  asked for %s\n",
                        describeRequests(host->frameRequests, requestsBefore).c_str());
        if (!ok) {
            status = fail(1, "the plug-in failed frame " + std::to_string(step.frame));
            break;
        }
        if (std::string where = writtenOutside(buffer, pitch, in.width, in.height);
            !where.empty()) {
            status = fail(1, "the plug-in wrote outside frame " + std::to_string(step.frame) +
                                 " (" + where + ")");
            break;
        }
        Frame out;
        out.width = in.width;
        out.height = in.height;
        out.pixels.resize(static_cast<size_t>(in.width) * static_cast<size_t>(in.height));
        for (int32_t y = 0; y < in.height; ++y)
            std::memcpy(&out.pixels[static_cast<size_t>(y) * static_cast<size_t>(in.width)],
                        &buffer[static_cast<size_t>(y) * static_cast<size_t>(pitch)],
                        sizeof(YcPixel) * static_cast<size_t>(in.width));
        if (o.compare) {
            const ModelCheck check = checkAgainstModel(in, out, o.tracks);
            std::printf("  model difference %d (tolerance %d, %s texels), source difference %d\n",
                        check.difference, check.tolerance,
                        check.format == kestrin::TexelFormat::Signed ? "signed" : "unsigned",
                        check.sourceDifference);
            if (check.difference > worst.difference) worst = check;
            worst.tolerance = std::max(worst.tolerance, check.tolerance);
            if (check.difference > check.tolerance)
                status = fail(
                    1, "frame " + std::to_string(step.frame) + " differs from the model by " +
                           std::to_string(check.difference) +
                           " steps, more than its tolerance of " + std::to_string(check.tolerance));
        }
        output.push_back(std::move(out));
    }
    host->exit();
    std::printf("%d frame%s, total %.1f ms, mode %d, %d pass%s\n", filtered,
                filtered == 1 ? "" : "s", total, o.tracks[4], o.tracks[3],
                o.tracks[3] == 1 ? "" : "es");
    if (o.compare)
        std::printf("largest model difference %d (tolerances up to %d)\n", worst.difference,
                    worst.tolerance);
    for (const kestrin::hostsim::FpuChange& change : host->fpuChanges)
        status = fail(1, change.callback + " changed the x87 control word from " +
                             hex(change.before) + " to " + hex(change.after));
    if (o.verbose && x87 >= 0 && host->fpuChanges.empty())
        std::printf("x87 control word: %s, unchanged by every call\n", hex(x87).c_str());
    const bool unloaded = host->unload();
    if (!unloaded) status = fail(1, "the system refused to unload " + o.module);
    if (o.verbose && unloaded) std::printf("module unloaded\n");
    if (status != 0) return status;

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
#if defined(_WIN32)
    // Lines end in "\n" alone, as on Linux: the output reads the same wherever it goes.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
#endif
    // Out of memory for a frame is the one exception the work above can raise.
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        return fail(2, std::string("cannot run: ") + e.what());
    }
}
