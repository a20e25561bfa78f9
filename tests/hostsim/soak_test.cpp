// The soak test: one long randomised editing session through the module. Frame sizes from 1 to
// 300 a side (mostly small), host line pitches wider than the frames, all three modes, track
// values over their ranges, frames forward, backward, in jumps and repeated, the filter switched
// off now and then, devices lost, frames without an output image, host thread counts changing,
// both texel formats — and chaos: now and then a Direct3D or effect call of the plug-in fails
// (any of the calls it makes while frames run, chosen at random; now and then several in one
// frame, sometimes the same call for a few frames in a row).
//
// Every delivered frame must equal the model; every frame that cannot be filtered must fail
// without touching the output; once no failure is planned the next frame succeeds, whatever its
// size; within a run of failing frames no message is shown twice, and a frame without a planned
// failure shows none; nothing may leak or hang.
//
// KESTRIN_SOAK_FRAMES sets the number of frames (default 10000), KESTRIN_SOAK_SEED the random
// seed, KESTRIN_SOAK_CHAOS=0 turns the injected failures off, KESTRIN_SOAK_VERBOSE=1 prints each
// planned failure. Lost devices come back through a
// reset; with KESTRIN_SOAK_RESETS=0 they come back without one.
#include <gtest/gtest.h>

#include <d3d9.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "tests/hostsim/plugin_session.h"

namespace kestrin::hostsim::testing {
namespace {

using Clock = std::chrono::steady_clock;

// Every Direct3D and effect call the plug-in makes while frames run: what the chaos chooses from.
// (The calls the effect runtime makes on the device inside Begin, BeginPass and End are its own
// business: the real runtime saves and restores state through the device's state blocks.)
const char* const kFrameCalls[] = {
    "IDirect3DDevice9::TestCooperativeLevel",
    "IDirect3DDevice9::Reset",
    "IDirect3DDevice9::CreateOffscreenPlainSurface",
    "IDirect3DDevice9::CreateTexture",
    "IDirect3DDevice9::CreateVertexBuffer",
    "IDirect3DDevice9::UpdateSurface",
    "IDirect3DDevice9::GetRenderTargetData",
    "IDirect3DDevice9::SetRenderTarget",
    "IDirect3DDevice9::GetBackBuffer",
    "IDirect3DDevice9::BeginScene",
    "IDirect3DDevice9::EndScene",
    "IDirect3DDevice9::SetVertexDeclaration",
    "IDirect3DDevice9::SetStreamSource",
    "IDirect3DDevice9::DrawPrimitive",
    "IDirect3DDevice9::ValidateDevice",
    "IDirect3DTexture9::GetSurfaceLevel",
    "IDirect3DSurface9::LockRect",
    "IDirect3DSurface9::UnlockRect",
    "IDirect3DVertexBuffer9::Lock",
    "IDirect3DVertexBuffer9::Unlock",
    "ID3DXEffect::SetTexture",
    "ID3DXEffect::SetVector",
    "ID3DXEffect::SetFloat",
    "ID3DXEffect::SetTechnique",
    "ID3DXEffect::Begin",
    "ID3DXEffect::BeginPass",
    "ID3DXEffect::EndPass",
    "ID3DXEffect::End",
    "ID3DXEffect::OnLostDevice",
    "ID3DXEffect::OnResetDevice",
};
// The calls of a device reset.
const char* const kResetCalls[] = {
    "IDirect3DDevice9::TestCooperativeLevel",
    "IDirect3DDevice9::Reset",
    "ID3DXEffect::OnLostDevice",
    "ID3DXEffect::OnResetDevice",
};

long envNumber(const char* name, long fallback) {
    const char* text = std::getenv(name);
    if (!text || !*text) return fallback;
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    return (end && *end == '\0' && v >= 0) ? v : fallback;
}

struct Figures {
    int frames = 0;
    int delivered = 0;
    std::map<std::string, int> failures; // expected failures by kind
    std::vector<std::string> errors;     // what went wrong, the first few
    int errorCount = 0;
    int maxWidth = 0, maxHeight = 0;
    int64_t maxArea = 0;
    int switchOffs = 0, deviceLosses = 0, segments = 0;
    int liveAtStart = 0, liveHigh = 0, liveAfterExit = 0;
    // Chaos.
    std::map<std::string, int> faultsPlanned; // by method
    std::map<std::string, int> faultsFired;   // planned and reached
    int faultFrames = 0;                      // frames run with a failure planned
    int faultFramesFailed = 0, faultFramesDelivered = 0;
    int recoveries = 0;    // a clean frame right after failing ones succeeded
    int longestStreak = 0; // failing frames in a row
    int boxes = 0;         // message boxes shown

    void error(const std::string& what) {
        if (++errorCount <= 20) errors.push_back(what);
    }
};

class SoakRun {
  public:
    SoakRun(PluginSession& session, uint32_t seed, bool resets, bool chaos,
            std::atomic<int>& progress)
        : s_(session), rng_(seed), resets_(resets), chaos_(chaos), progress_(progress) {}

    void run(int frames, Figures& f) {
        f.liveAtStart = hooks::liveObjects();
        f.liveHigh = f.liveAtStart;
        // Two sittings: the signed texel format, then a device without it.
        for (int sitting = 0; sitting < 2 && f.frames < frames; ++sitting) {
            hooks::reset();
            hooks::DeviceProfile profile;
            profile.signedFormat = sitting == 0;
            s_.setDeviceProfile(profile);
            if (s_.init() != 1) {
                f.error("FilterInit failed in sitting " + std::to_string(sitting));
                return;
            }
            steadyLive_ = -1;
            endStreak();
            const int until = sitting == 0 ? frames / 2 : frames;
            while (f.frames < until) segment(until - f.frames, f);
            hooks::reset();
            if (s_.exit() != 1) f.error("FilterExit did not return 1");
        }
        f.liveAfterExit = hooks::liveObjects();
    }

  private:
    int uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    bool chance(double p) { return std::bernoulli_distribution(p)(rng_); }

    // Mostly small sides, now and then up to 300.
    int32_t side() {
        const double u = std::uniform_real_distribution<double>(0.0, 1.0)(rng_);
        return 1 + static_cast<int32_t>(299.0 * u * u * u * u * u);
    }
    int32_t passes() {
        static const int32_t table[] = {1, 1, 1, 1, 2, 2, 2, 3, 3, 4, 5};
        return table[uniform(0, static_cast<int>(std::size(table)) - 1)];
    }
    void randomTracks() {
        s_.setTracks(uniform(0, 256), uniform(0, 256), uniform(0, 256), passes(), uniform(0, 2));
    }

    std::vector<int32_t> order(int length) {
        base_ += uniform(1, 500);
        std::vector<int32_t> n;
        switch (uniform(0, 4)) {
        case 0: // forward
            for (int i = 0; i < length; ++i) n.push_back(base_ + i);
            break;
        case 1: // backward
            for (int i = length - 1; i >= 0; --i) n.push_back(base_ + i);
            break;
        case 2: { // a stride, either way
            const int stride = uniform(2, 5) * (chance(0.5) ? 1 : -1);
            const int32_t start = stride > 0 ? base_ : base_ + (length - 1) * -stride;
            for (int i = 0; i < length; ++i) n.push_back(start + i * stride);
            break;
        }
        case 3: // jumps
            for (int i = 0; i < length; ++i) n.push_back(base_ + uniform(0, 3 * length));
            break;
        default: // repeats
            for (int i = 0; static_cast<int>(n.size()) < length; ++i)
                for (int r = uniform(1, 3); r > 0 && static_cast<int>(n.size()) < length; --r)
                    n.push_back(base_ + i);
            break;
        }
        base_ += 6 * length;
        return n;
    }

    void segment(int left, Figures& f) {
        ++f.segments;
        // Keeps the call log short (the device profile only matters at init); a device still
        // lost stays lost.
        startOver();
        lastKey_.clear();
        const int length = std::min(left, uniform(1, 40));
        const std::vector<int32_t> numbers = order(length);

        // Sizes: one for the whole segment, or one per frame number; a side of 300 now and then
        // for sure.
        s_.forgetFrames();
        const bool oneSize = chance(0.6);
        int32_t w = side(), h = side();
        int32_t widest = 0, highest = 0;
        std::set<int32_t> sized;
        for (int32_t n : numbers) {
            if (!sized.insert(n).second) continue; // a repeat keeps its picture
            if (!oneSize && sized.size() > 1) {
                w = side();
                h = side();
            }
            // The first frame of some segments gets a side of 300, the others stay as drawn.
            int32_t fw = w, fh = h;
            if (sized.size() == 1 && f.segments % 37 == 2) (chance(0.5) ? fw : fh) = 300;
            if (sized.size() == 1 && f.segments == 3) fw = fh = 300;
            s_.setFrame(n, fw, fh, static_cast<uint32_t>(n) * 2654435761u);
            widest = std::max(widest, fw);
            highest = std::max(highest, fh);
        }
        // The host's images: rows at least as wide as the widest frame. A new pitch takes
        // effect when the frame-size objects are rebuilt, so the filter is switched off and on
        // around it, as the user would.
        const int32_t maxWidth = widest + (chance(0.7) ? uniform(0, 40) : 0);
        const int32_t maxHeight = highest + uniform(0, 3);
        if (maxWidth != s_.host().maxWidth()) switchOffAndOn(f);
        s_.setMaxSize(maxWidth, maxHeight);
        OutputImage out(maxWidth, maxHeight);
        if (chance(0.2)) s_.host().setThreads(uniform(0, 4));
        if (chance(0.5) || f.segments == 1) {
            randomTracks();
            s_.update();
        }

        for (int32_t number : numbers) {
            frame(number, out, f);
            progress_.fetch_add(1);
        }
    }

    void frame(int32_t number, OutputImage& out, Figures& f) {
        // Events between frames.
        if (chance(0.1)) {
            const int track = uniform(0, 4);
            const int32_t value = track == 3   ? passes()
                                  : track == 4 ? uniform(0, 2)
                                               : uniform(0, 256);
            s_.tracks()[track] = value;
            s_.update();
        }
        if (chance(0.01)) switchOffAndOn(f);
        // Early on, one of each event for sure, so that a short run meets them too.
        if (f.frames == 60) {
            s_.setMode(2);
            s_.update();
        }
        const bool scriptClear = lostFrames_ == 0 && !resetDue_;
        if (scriptClear && !faultActive() && (chance(0.008) || f.frames == 40)) {
            lostFrames_ = uniform(1, 3);
            scriptLoss(lostFrames_);
            ++f.deviceLosses;
        }
        const bool withoutOutput = chance(0.005) || f.frames == 60;
        // A frame that resets the device is chaos's favourite: half of its failures go to the
        // reset's own calls.
        if (chaos_ && !withoutOutput && lostFrames_ == 0 && !faultActive() && f.frames >= 80 &&
            (chance(resetDue_ ? 0.5 : 0.06) || f.frames == 80))
            planFaults(f, resetDue_);

        const Picture& p = s_.picture(number);
        ++f.frames;
        const bool lost = lostFrames_ > 0;
        if (lost) {
            --lostFrames_;
            resetDue_ = resets_ && lostFrames_ == 0;
        } else {
            resetDue_ = false;
        }
        const bool faulty = faultActive();
        const size_t boxesBefore = hooks::messageBoxes().size();
        const int32_t result = withoutOutput ? s_.procWithoutOutput(number) : s_.proc(number, out);
        const std::string what = "frame " + std::to_string(f.frames) + " (number " +
                                 std::to_string(number) + ", " + std::to_string(p.width) + "x" +
                                 std::to_string(p.height) + ", mode " +
                                 std::to_string(s_.tracks()[4]) + ")";
        noteMessages(boxesBefore, faulty, what, f);
        if (faulty) {
            ++f.faultFrames;
            noteFired(f);
        }

        if (lost || withoutOutput) {
            ++f.failures[lost ? "device lost" : "no output image"];
            if (result != 0) f.error(what + " returned " + std::to_string(result));
            if (!withoutOutput && !out.untouched()) f.error(what + " wrote to the output");
            if (lost) noteFailure(f);
        } else if (result != 1) {
            // Only a download whose surface would not unlock afterwards has written the output,
            // and then with this frame, filtered.
            if (!out.untouched() && !deliveredExactly(out, p.width, p.height, expected(number)))
                f.error(what + " failed but wrote to the output");
            if (faulty) {
                ++f.faultFramesFailed;
                noteFailure(f);
            } else {
                std::string why = what + " failed with no failure planned";
                for (const auto& t : messageTexts()) why += "; message: " + t;
                f.error(why);
            }
        } else {
            if (faulty) ++f.faultFramesDelivered;
            ++f.delivered;
            if (streak_ > 0 && !faulty) ++f.recoveries;
            endStreak();
            f.maxWidth = std::max(f.maxWidth, p.width);
            f.maxHeight = std::max(f.maxHeight, p.height);
            f.maxArea = std::max<int64_t>(f.maxArea, int64_t(p.width) * p.height);
            if (auto r = deliveredExactly(out, p.width, p.height, expected(number)); !r)
                f.error(what + ": " + r.message());

            // No growth: with the frame objects built, the number of live objects stays put.
            const int live = hooks::liveObjects();
            f.liveHigh = std::max(f.liveHigh, live);
            if (steadyLive_ < 0) steadyLive_ = live;
            if (live > steadyLive_ && !faulty)
                f.error(what + ": " + std::to_string(live) + " live objects, " +
                        std::to_string(steadyLive_) + " after the first frame");
        }
        if (faulty && --faultFrames_ == 0) startOver(); // the failures stop here
    }

    // ---- Chaos ----------------------------------------------------------------------------

    bool faultActive() const { return faultFrames_ > 0; }

    // One call, several in this frame, or one call for a few frames in a row.
    void planFaults(Figures& f, bool resetting) {
        static const HRESULT results[] = {E_FAIL, D3DERR_INVALIDCALL, E_OUTOFMEMORY,
                                          D3DERR_OUTOFVIDEOMEMORY, D3DERR_DRIVERINTERNALERROR};
        const int kind = uniform(0, 9);
        const int count = kind == 0 ? uniform(2, 3) : 1;
        const bool persistent = kind >= 8;
        faultFrames_ = persistent ? uniform(2, 4) : 1;
        planned_.clear();
        for (int i = 0; i < count; ++i) {
            const std::string method =
                resetting && chance(0.5) ? kResetCalls[uniform(0, int(std::size(kResetCalls)) - 1)]
                                         : kFrameCalls[uniform(0, int(std::size(kFrameCalls)) - 1)];
            const int nth = persistent ? 1 : uniform(1, 3);
            const HRESULT hr = results[uniform(0, int(std::size(results)) - 1)];
            hooks::failCall(method, nth, hr, persistent);
            planned_.push_back({method, nth, persistent});
            if (verbose_)
                std::fprintf(stderr, "soak: frame %d: %s call %d fails with 0x%08X%s\n",
                             f.frames + 1, method.c_str(), nth, static_cast<unsigned>(hr),
                             persistent ? " from then on" : "");
            ++f.faultsPlanned[method];
        }
    }

    // A planned failure counts as fired once its call was made often enough.
    void noteFired(Figures& f) {
        for (Planned& p : planned_) {
            if (p.fired || hooks::callCount(p.method) < p.nth) continue;
            p.fired = true;
            ++f.faultsFired[p.method];
        }
    }

    // Messages only come with a planned failure, and none twice within a run of failures.
    void noteMessages(size_t before, bool faulty, const std::string& what, Figures& f) {
        const auto boxes = hooks::messageBoxes();
        for (size_t i = before; i < boxes.size(); ++i) {
            ++f.boxes;
            const std::string text = boxes[i].utf8();
            if (!faulty) f.error(what + ": message with no failure planned: " + text);
            if (!shown_.insert(text).second) f.error(what + ": message shown again: " + text);
        }
    }

    void noteFailure(Figures& f) {
        ++streak_;
        f.longestStreak = std::max(f.longestStreak, streak_);
    }
    void endStreak() {
        streak_ = 0;
        shown_.clear();
    }

    // The user switches the filter off and on: the next failure is news again.
    void switchOffAndOn(Figures& f) {
        s_.host().setEnabled(false);
        s_.sendSwitchMessage(false);
        s_.host().setEnabled(true);
        s_.sendSwitchMessage(true);
        shown_.clear();
        ++f.switchOffs;
    }

    // Forgets the hooks' plans and logs; a device still lost stays lost, one due for a reset stays
    // due.
    void startOver() {
        hooks::reset();
        faultFrames_ = 0;
        planned_.clear();
        if (lostFrames_ > 0)
            scriptLoss(lostFrames_);
        else if (resetDue_)
            hooks::scriptCooperativeLevel({D3DERR_DEVICENOTRESET});
    }

    // The device answers "lost" for the next `frames` frames (then, with resets, "not reset").
    void scriptLoss(int frames) {
        std::vector<HRESULT> answers(static_cast<size_t>(frames), D3DERR_DEVICELOST);
        if (resets_) answers.push_back(D3DERR_DEVICENOTRESET);
        hooks::scriptCooperativeLevel(answers);
    }

    // The model's answer, kept for repeats of the same frame with the same values.
    const std::vector<YcPixel>& expected(int32_t number) {
        std::vector<int32_t> key{number, static_cast<int32_t>(s_.format())};
        key.insert(key.end(), s_.tracks(), s_.tracks() + 4);
        if (key != lastKey_) {
            lastKey_ = key;
            lastExpected_ = s_.expected(number);
        }
        return lastExpected_;
    }

    struct Planned {
        std::string method;
        int nth;
        bool persistent;
        bool fired = false;
    };

    PluginSession& s_;
    std::mt19937 rng_;
    bool resets_;
    bool chaos_;
    bool verbose_ = envNumber("KESTRIN_SOAK_VERBOSE", 0) != 0; // each planned failure on stderr
    std::atomic<int>& progress_;
    int32_t base_ = 0;
    int lostFrames_ = 0;
    bool resetDue_ = false; // the device answers "not reset" on the next frame
    std::vector<Planned> planned_;
    int faultFrames_ = 0; // frames left with the planned failures
    int streak_ = 0;
    std::set<std::string> shown_; // messages of the current run of failures
    int steadyLive_ = -1;
    std::vector<int32_t> lastKey_;
    std::vector<YcPixel> lastExpected_;
};

TEST(Soak, RandomEditingSession) {
    const int frames = static_cast<int>(envNumber("KESTRIN_SOAK_FRAMES", 10000));
    const auto seed = static_cast<uint32_t>(envNumber("KESTRIN_SOAK_SEED", 20240607));
    const bool resets = envNumber("KESTRIN_SOAK_RESETS", 1) != 0;
    const bool chaos = envNumber("KESTRIN_SOAK_CHAOS", 1) != 0;
    hooks::reset();
    const int liveBefore = hooks::liveObjects();

    Figures f;
    std::atomic<int> progress{0};
    std::atomic<bool> finished{false};
    const auto start = Clock::now();
    // The frames run on their own thread; this one watches that they keep coming.
    std::thread driver([&] {
        PluginSession session;
        if (!session.loaded()) {
            f.error(session.loadError());
        } else {
            SoakRun(session, seed, resets, chaos, progress).run(frames, f);
        }
        finished = true;
    });
    int seen = -1;
    auto lastProgress = Clock::now();
    while (!finished) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (progress != seen) {
            seen = progress;
            lastProgress = Clock::now();
        } else if (Clock::now() - lastProgress > std::chrono::seconds(300)) {
            std::fprintf(stderr, "soak: no frame finished for 300 s after %d frames (deadlock?)\n",
                         seen);
            std::fflush(stderr);
            std::_Exit(3);
        }
    }
    driver.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    std::printf("soak: %d frames (seed %u) in %.1f s, %.2f ms a frame; %d segments\n", f.frames,
                seed, seconds, f.frames ? 1000.0 * seconds / f.frames : 0.0, f.segments);
    std::printf("soak: %d delivered exactly; expected failures:", f.delivered);
    for (const auto& [kind, count] : f.failures) std::printf(" %s %d;", kind.c_str(), count);
    std::printf(" unexpected %d\n", f.errorCount);
    std::printf("soak: widest frame %d, highest %d, largest %lld pixels; %d switch-offs, %d "
                "device losses; live objects %d at the start, at most %d, %d after FilterExit\n",
                f.maxWidth, f.maxHeight, static_cast<long long>(f.maxArea), f.switchOffs,
                f.deviceLosses, f.liveAtStart, f.liveHigh, f.liveAfterExit);
    int planned = 0, fired = 0;
    for (const auto& [method, n] : f.faultsPlanned) planned += n;
    for (const auto& [method, n] : f.faultsFired) fired += n;
    std::printf("soak: chaos: %d failures planned over %d frames (%d of them reached their "
                "call) in %zu kinds of call; %d of those frames failed, %d delivered exactly; "
                "%d recoveries; longest run of failing frames %d; %d message boxes\n",
                planned, f.faultFrames, fired, f.faultsPlanned.size(), f.faultFramesFailed,
                f.faultFramesDelivered, f.recoveries, f.longestStreak, f.boxes);
    std::printf("soak: failures reached by call:");
    for (const auto& [method, n] : f.faultsFired) std::printf(" %s %d;", method.c_str(), n);
    std::printf("\n");

    for (const auto& e : f.errors) ADD_FAILURE() << e;
    EXPECT_EQ(f.errorCount, 0);
    EXPECT_EQ(f.frames, frames);
    EXPECT_EQ(hooks::liveObjects(), liveBefore) << "objects left after FilterExit";
    if (frames >= 1000) {
        EXPECT_EQ(f.maxWidth, 300);
        EXPECT_EQ(f.maxHeight, 300);
        if (chaos) {
            EXPECT_GT(f.faultFramesFailed, 0);
            EXPECT_GT(f.recoveries, 0);
        }
    }
}

} // namespace
} // namespace kestrin::hostsim::testing
