// kestrin-run on YUV4MPEG2: a stream in (a file, or standard input), filtered frame by frame
// through the plug-in, a stream out (a file, or standard output). Frames are read, filtered and
// written one at a time; besides the frame in hand only the one the plug-in asks for ahead is
// held, so an hour of video needs the memory of a few frames.
#include "tools/y4m_run.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#else
#include <csignal>
#endif

#include "hostsim/host.h"
#include "hostsim/y4m_convert.h"
#include "tools/progress.h"

namespace kestrin::tools {
namespace {

namespace y4m = hostsim::y4m;

// The largest frame side the plug-in accepts.
constexpr int32_t kModuleMaxSide = 4096;

struct Closer {
    void operator()(std::FILE* f) const {
        if (f) std::fclose(f);
    }
};
using File = std::unique_ptr<std::FILE, Closer>;

// The frames read from the stream and not yet written: the stream's samples (for the way back)
// and the frame on the editor's scale until the host has taken it.
struct Window {
    struct Entry {
        y4m::SourceChroma chroma;  // what the way back needs of the stream's frame
        std::vector<YcPixel> host; // the frame on the editor's scale, until the host takes it
        bool taken = false;        // the host has it (and `host` holds a spare buffer since)
        y4m::Planes planes;        // while the host may ask for the frame again
    };
    std::map<int32_t, Entry> frames;
    std::vector<Entry> spare; // written frames whose buffers the next ones take over
    int32_t next = 0;         // the number of the next frame the stream holds
    bool ended = false;       // the stream has ended, cleanly or not
    std::string error;        // why it ended, when not cleanly
};

// Frames left in a file after its header, when the file says (a pipe does not): its size over the
// size of a frame with a bare "FRAME" line.
int64_t framesInFile(std::FILE* in, const y4m::Header& header) {
    y4m::PlaneSizes sizes{};
    if (!y4m::planeSizes(header.width, header.height, header.layout, sizes)) return -1;
    const long here = std::ftell(in);
    if (here < 0 || std::fseek(in, 0, SEEK_END) != 0) return -1;
    const long end = std::ftell(in);
    std::fseek(in, here, SEEK_SET);
    if (end < here) return -1;
    return static_cast<int64_t>(end - here) / static_cast<int64_t>(sizes.frameBytes() + 6);
}

bool brokenPipe() {
    return errno == EPIPE || errno == EINVAL; // EINVAL: Windows' answer on a closed pipe
}

} // namespace

bool hasYuv4mpegName(const std::string& path) {
    const size_t n = path.size();
    return n >= 4 && (path.compare(n - 4, 4, ".y4m") == 0 || path.compare(n - 4, 4, ".Y4M") == 0);
}

bool isYuv4mpegPath(const std::string& path) {
    if (path == "-" || hasYuv4mpegName(path)) return true;
    // Any other file that starts like a stream.
    File f(std::fopen(path.c_str(), "rb"));
    char magic[9] = {};
    return f && std::fread(magic, 1, sizeof magic, f.get()) == sizeof magic &&
           std::memcmp(magic, "YUV4MPEG2", sizeof magic) == 0;
}

int runYuv4mpeg(const Options& o) {
    if (!o.steps.empty() || o.compare || o.sizeGiven)
        return fail(2, "--sequence, --compare and --size do not apply to a YUV4MPEG2 stream");
    if (!o.output.empty() && o.output != "-" && !hasYuv4mpegName(o.output))
        return fail(2, "a YUV4MPEG2 stream is written as one: give --output a .y4m file or -");

#if defined(_WIN32)
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
#else
    // A reader that goes away ends the run with a message, not with the signal.
    std::signal(SIGPIPE, SIG_IGN);
#endif

    // The stream in.
    File ownedIn;
    std::FILE* in = stdin;
    if (o.input != "-") {
        ownedIn.reset(std::fopen(o.input.c_str(), "rb"));
        if (!ownedIn) return fail(2, "cannot open " + o.input + ": " + std::strerror(errno));
        in = ownedIn.get();
    }
    y4m::Reader reader(in);
    y4m::Header header;
    if (std::string e = reader.readHeader(header); !e.empty())
        return fail(2, (o.input == "-" ? std::string("standard input") : o.input) + ": " + e);
    if (header.width > kModuleMaxSide || header.height > kModuleMaxSide)
        return fail(2, "the frames are " + std::to_string(header.width) + "x" +
                           std::to_string(header.height) + ", larger than the plug-in takes (" +
                           std::to_string(kModuleMaxSide) + " a side)");
    y4m::Header outHeader = header;
    if (o.outputFormatGiven) outHeader.layout = o.outputFormat;
    y4m::PlaneSizes outSizes{};
    if (!y4m::planeSizes(outHeader.width, outHeader.height, outHeader.layout, outSizes))
        return fail(2, "--output-format " + y4m::layoutToken(outHeader.layout) + " needs a size " +
                           "of whole chroma samples; the frames are " +
                           std::to_string(header.width) + "x" + std::to_string(header.height));
    const int32_t pitch = o.pitch ? o.pitch : header.width;
    if (pitch < header.width)
        return fail(2, "--pitch " + std::to_string(pitch) + " is narrower than the frames (" +
                           std::to_string(header.width) + ")");

    int64_t total = o.input == "-" ? -1 : framesInFile(in, header);
    if (total >= 0) total = std::max<int64_t>(0, total - o.start);
    if (o.framesGiven) total = total >= 0 ? std::min<int64_t>(total, o.frames) : o.frames;

    // Skip to the first frame asked for.
    Window window;
    for (int32_t i = 0; i < o.start; ++i) {
        std::string e;
        const y4m::Reader::Status s = reader.skipFrame(e);
        if (s == y4m::Reader::Status::Error) return fail(2, e);
        if (s == y4m::Reader::Status::End)
            return fail(2, "--start " + std::to_string(o.start) + ": the stream has only " +
                               std::to_string(i) + " frames");
        ++window.next;
    }

    const y4m::SampleMaps inMaps(header.layout.bits, header.fullRange);
    // The conversions take bands of rows on as many threads as the editor lends the plug-in.
    hostsim::ThreadPool pool(std::max(1, o.threads));
    const y4m::SampleMaps outMaps(outHeader.layout.bits, outHeader.fullRange);
    using Clock = std::chrono::steady_clock;
    RunTimes times;
    double requests = 0; // time in the plug-in's frame requests
    auto since = [](Clock::time_point start) {
        return std::chrono::duration<double>(Clock::now() - start).count();
    };
    // Reads frames up to `number` into the window; false when the stream has no such frame.
    auto readUpTo = [&](int32_t number) {
        while (!window.ended && window.next <= number) {
            Window::Entry entry;
            if (!window.spare.empty()) {
                entry = std::move(window.spare.back());
                window.spare.pop_back();
            }
            std::string e;
            auto start = Clock::now();
            const y4m::Reader::Status s = reader.readFrame(entry.planes, e);
            times.reading += since(start);
            if (s != y4m::Reader::Status::Frame) {
                window.ended = true;
                window.error = e;
                break;
            }
            start = Clock::now();
            y4m::toHost(entry.planes, header, inMaps, entry.host, &entry.chroma, &pool);
            times.converting += since(start);
            entry.taken = false;
            window.frames.emplace(window.next++, std::move(entry));
        }
        return window.frames.count(number) != 0;
    };

    std::string error;
    auto host = hostsim::Host::load(o.module, error);
    if (!host) return fail(2, error);
    host->setMaxSize(pitch, header.height);
    host->setThreads(o.threads);
    std::memcpy(host->trackValues(), o.tracks, sizeof(o.tracks));
    host->setSource([&](int32_t n, int32_t& w, int32_t& h, std::vector<YcPixel>& pixels) {
        const auto start = Clock::now();
        struct Charge { // the request's time is not the plug-in's, whichever way it returns
            double& to;
            Clock::time_point start;
            ~Charge() { to += std::chrono::duration<double>(Clock::now() - start).count(); }
        } charge{requests, start};
        if (!readUpTo(n)) return false;
        Window::Entry& entry = window.frames.at(n);
        w = header.width;
        h = header.height;
        if (!entry.taken) {
            pixels.swap(entry.host); // the host keeps it; its spare buffer comes back
            entry.taken = true;
        } else {
            const auto again = Clock::now();
            y4m::toHost(entry.planes, header, inMaps, pixels, nullptr, &pool); // asked again
            times.converting += since(again);
        }
        return true;
    });
    if (!host->init()) return fail(1, "the plug-in did not start (FilterInit failed)");

    // The stream out.
    File ownedOut;
    std::FILE* out = nullptr;
    if (o.output == "-") {
        out = stdout;
    } else if (!o.output.empty()) {
        ownedOut.reset(std::fopen(o.output.c_str(), "wb"));
        if (!ownedOut) return fail(2, "cannot write " + o.output + ": " + std::strerror(errno));
        out = ownedOut.get();
    }
    y4m::Writer writer(out);
    auto writeFailed = [&](int64_t frames) {
        const bool pipe = brokenPipe();
        return fail(1, std::string(pipe ? "the reader of the output went away"
                                        : "cannot write the output") +
                           (pipe ? "" : std::string(": ") + std::strerror(errno)) + " after " +
                           std::to_string(frames) + " frame" + (frames == 1 ? "" : "s"));
    };
    if (out && !writer.writeHeader(outHeader)) return writeFailed(0);

    Progress progress(o.quiet, total);
    std::vector<YcPixel> buffer(static_cast<size_t>(pitch) * static_cast<size_t>(header.height));
    y4m::Planes planes;
    int64_t done = 0;
    for (int32_t number = o.start; !o.framesGiven || done < o.frames; ++number) {
        if (!readUpTo(number)) {
            if (!window.error.empty()) return fail(2, window.error);
            break; // the end of the stream
        }
        auto start = Clock::now();
        const double requestsBefore = requests;
        const int32_t ok = host->proc(number, buffer.data());
        times.plugin += since(start) - (requests - requestsBefore);
        if (!ok) return fail(1, "the plug-in failed frame " + std::to_string(number));
        const Window::Entry& entry = window.frames.at(number);
        if (out) {
            start = Clock::now();
            y4m::fromHost(buffer.data(), pitch, header, &entry.chroma, outHeader, outMaps, planes,
                          &pool);
            times.converting += since(start);
            start = Clock::now();
            const bool written = writer.writeFrame(planes);
            times.writing += since(start);
            if (!written) return writeFailed(done);
        }
        for (auto it = window.frames.begin(); it != window.frames.upper_bound(number);) {
            if (window.spare.size() < 2) window.spare.push_back(std::move(it->second));
            it = window.frames.erase(it);
        }
        ++done;
        progress.frameDone(done);
    }
    if (out && std::fflush(out) != 0) return writeFailed(done);
    progress.finish(done, times);
    for (const hostsim::FpuChange& change : host->fpuChanges) {
        char text[96];
        std::snprintf(text, sizeof text, " changed the x87 control word from 0x%04x to 0x%04x",
                      change.before, change.after);
        return fail(1, change.callback + text);
    }
    if (!host->unload()) return fail(1, "the system refused to unload " + o.module);
    if (ownedOut && std::fclose(ownedOut.release()) != 0) return writeFailed(done);
    return 0;
}

} // namespace kestrin::tools
