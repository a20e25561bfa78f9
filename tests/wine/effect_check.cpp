// effect_check: runs the compiled bilateral effect through the real Direct3D 9 / D3DX 9 stack
// (under Wine: wined3d on Mesa's llvmpipe) and compares what it renders with the reference model.
//
//   effect_check.exe <compiled effect>
//
// It creates the device and the frame-size objects the way the plug-in does, checks the
// effect's interface, then renders test frames in every texel format the device supports, for
// pass counts 1 to 5 and several track settings, through the plug-in's own call sequence.
// Each frame is compared three ways:
//   - the result against the model run on the same frame from start to end;
//   - the image the last pass read (left in the other render target) against the model's pass
//     run on the device's own previous image: p0 for one pass, otherwise p1;
//   - the result against the model's last pass run on that same device image.
// The two single-pass comparisons give the device's arithmetic identical inputs, so they hold to
// one step; the end-to-end comparison lets the steps of every pass add up and grow through the
// bilateral weights (see endToEndTolerance).
//
// Exit code: 0 every check passed, 1 a check failed, 2 the check could not run (no window, no
// Direct3D device, no ps_3_0, neither texel format, unreadable effect file, bad arguments).

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "effect/model.h"
#include "effect/model_compare.h"
#include "tests/wine/check_log.h"
#include "tests/wine/device_session.h"
#include "tests/wine/effect_contract.h"
#include "tests/wine/frame_rig.h"
#include "tests/wine/test_images.h"

namespace kestrin::winecheck {
namespace {

using model::compareImages;
using model::Difference;
using model::endToEndTolerance;
using model::modelFirstPass;
using model::modelLastPass;
using model::modelMiddlePass;
using model::roundingSpread;

struct TrackSet {
    int32_t strength;
    int32_t threshold;
    int32_t range;
};

// Defaults, the range ends, zeros (the result must equal the source), then a purely spatial
// mean, a narrow colour range with a wide window, a wide colour range with a narrow window, and
// a colour range about as wide as the frame's noise, where the range weights are most sensitive.
constexpr TrackSet kTrackSets[] = {
    {128, 24, 64}, {256, 256, 256}, {0, 0, 0},    {256, 0, 0},
    {200, 64, 16}, {64, 8, 180},    {256, 96, 8},
};

struct FrameSize {
    int width;
    int height;
};

// Odd sizes, a larger even one, and one smaller than the kernel, where mirrored taps wrap twice.
constexpr FrameSize kSizes[] = {{37, 23}, {64, 48}, {5, 3}};

// A pass given the same input as the model may differ only where the exact value lies within the
// device's rounding error of a step boundary (fused multiply-adds, reciprocal and reciprocal
// square root to within an ulp or two, its own conversion on store): one step at most.
constexpr int kSinglePassTolerance = 1;

// From start to end the device's steps add up and grow through the bilateral weights:
// model::endToEndTolerance holds the reasoning.

const char* formatName(TexelFormat format) {
    return format == TexelFormat::Signed ? "signed" : "unsigned";
}

std::string describe(const Difference& d) {
    if (d.maxSteps == 0) return "0";
    char text[128];
    std::snprintf(text, sizeof text,
                  "%d (%ld values differ; worst at %d,%d ch %d: device %d, model %d)", d.maxSteps,
                  d.differing, d.x, d.y, d.channel, d.actual, d.expected);
    return text;
}

struct FormatSummary {
    int frames = 0;
    int maxEndToEnd = 0;
    int maxTolerance = 0;
    int maxSinglePass = 0;
};

class FormatRun {
  public:
    FormatRun(const DeviceSession& session, ID3DXEffect* effect, const EffectHandles& handles,
              TexelFormat format, CheckLog& log)
        : rig_(session.device(), session.quadDeclaration(), effect, handles, format, log),
          format_(format), log_(log) {}

    // Upload and readback without the effect: the texel format must survive bit for bit.
    void roundTrip() {
        const FrameSize size = kSizes[0];
        const auto frame = makeTestFrame(size.width, size.height, 7);
        const auto image = encodeWithNoisyW(frame, size.width, size.height, format_, 7);
        model::TexelImage back;
        if (!rig_.build(size.width, size.height) || !rig_.roundTrip(image, back)) {
            log_.fail("%s: upload/readback round trip could not run", formatName(format_));
            return;
        }
        const Difference d = compareImages(image, back, format_, 4);
        if (d.maxSteps != 0)
            log_.fail("%s: upload/readback round trip changed texels: %s", formatName(format_),
                      describe(d).c_str());
        else
            log_.info("%s: upload/readback round trip exact", formatName(format_));
    }

    FormatSummary renderAll() {
        for (const FrameSize& size : kSizes) {
            const auto seed = static_cast<uint32_t>(size.width * 7919 + size.height);
            const auto frame = makeTestFrame(size.width, size.height, seed);
            const auto source = encodeWithNoisyW(frame, size.width, size.height, format_, seed);
            if (!rig_.build(size.width, size.height)) {
                log_.fail("%s %dx%d: frame-size objects could not be built", formatName(format_),
                          size.width, size.height);
                continue;
            }
            for (const TrackSet& tracks : kTrackSets) runPassCounts(frame, source, size, tracks);
        }
        return summary_;
    }

  private:
    // Pass counts 1 to 5 in order: each frame's intermediate image is the input of the next
    // frame's extra p1 run, so every pass is checked on exactly what the device fed it.
    void runPassCounts(const std::vector<model::YcPixel>& frame, const model::TexelImage& source,
                       FrameSize size, const TrackSet& tracks) {
        model::TexelImage previousInput;
        bool havePrevious = false;
        for (int32_t passes = 1; passes <= 5; ++passes) {
            const int32_t trackValues[5] = {tracks.strength, tracks.threshold, tracks.range, passes,
                                            1};
            char label[64];
            std::snprintf(label, sizeof label, "%-8s %2dx%-2d %3d/%3d/%3d n=%d",
                          formatName(format_), size.width, size.height, tracks.strength,
                          tracks.threshold, tracks.range, passes);

            model::TexelImage result, passInput;
            if (!rig_.applyTrackValues(trackValues) || !rig_.renderFrame(source, result) ||
                !rig_.readPassInput(passInput)) {
                log_.fail("%s: the frame could not be rendered", label);
                havePrevious = false;
                continue;
            }
            ++summary_.frames;
            const model::FrameSettings settings = model::settingsFromTracks(trackValues);

            const auto expectedPixels = model::filterFrame(frame.data(), size.width, size.height,
                                                           size.width, trackValues, format_);
            const auto expected = model::encodeFrame(expectedPixels.data(), size.width, size.height,
                                                     size.width, format_);
            const Difference endToEnd = compareImages(expected, result, format_, 3);

            Difference inputPass;
            const char* inputPassName = passes == 1 ? "p0" : "p1";
            const bool inputChecked = passes == 1 || havePrevious;
            if (passes == 1)
                inputPass = compareImages(modelFirstPass(source, format_), passInput, format_, 4);
            else if (havePrevious)
                inputPass = compareImages(modelMiddlePass(previousInput, settings.params, format_),
                                          passInput, format_, 4);
            const Difference lastPass = compareImages(
                modelLastPass(passInput, source, settings.params, format_), result, format_, 4);
            previousInput = std::move(passInput);
            havePrevious = true;

            const int tolerance =
                endToEndTolerance(settings.passCount, roundingSpread(source, settings, format_,
                                                                     model::roundingSeed(passes)));
            log_.info("%s  result %s, tolerance %d  |  %s %s  p2 %s", label,
                      describe(endToEnd).c_str(), tolerance, inputPassName,
                      inputChecked ? describe(inputPass).c_str() : "-", describe(lastPass).c_str());
            if (endToEnd.maxSteps > tolerance)
                log_.fail("%s: result differs from the model by %d steps (tolerance %d)", label,
                          endToEnd.maxSteps, tolerance);
            if (inputPass.maxSteps > kSinglePassTolerance)
                log_.fail("%s: %s differs from the model by %d steps on the same input", label,
                          inputPassName, inputPass.maxSteps);
            if (lastPass.maxSteps > kSinglePassTolerance)
                log_.fail("%s: p2 differs from the model by %d steps on the same input", label,
                          lastPass.maxSteps);

            summary_.maxEndToEnd = std::max(summary_.maxEndToEnd, endToEnd.maxSteps);
            summary_.maxTolerance = std::max(summary_.maxTolerance, tolerance);
            summary_.maxSinglePass =
                std::max({summary_.maxSinglePass, inputPass.maxSteps, lastPass.maxSteps});
        }
    }

    FrameRig rig_;
    TexelFormat format_;
    CheckLog& log_;
    FormatSummary summary_;
};

std::vector<char> readFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw SetupError(std::string("cannot open ") + path);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw SetupError(std::string("cannot read ") + path);
    return bytes;
}

int run(int argc, char** argv) {
    if (argc != 2) throw SetupError("usage: effect_check.exe <compiled effect>");
    CheckLog log;
    const std::vector<char> bytes = readFile(argv[1]);
    log.info("effect file: %s, %lu bytes", argv[1], static_cast<unsigned long>(bytes.size()));

    DeviceSession session(log);
    std::vector<TexelFormat> formats;
    if (session.signedFormatSupported()) formats.push_back(TexelFormat::Signed);
    if (session.unsignedFormatSupported()) formats.push_back(TexelFormat::Unsigned);
    if (formats.empty()) throw SetupError("neither texel format works as a render-target texture");

    for (TexelFormat format : formats) FormatRun(session, nullptr, {}, format, log).roundTrip();

    std::vector<std::pair<TexelFormat, FormatSummary>> summaries;
    ComPtr<ID3DXEffect> effect = createEffect(session.device(), bytes, log);
    if (effect) {
        checkEffectContract(effect.get(), session.device(), log);
        const EffectHandles handles = fetchHandles(effect.get());
        for (TexelFormat format : formats)
            summaries.emplace_back(
                format, FormatRun(session, effect.get(), handles, format, log).renderAll());
        effect.reset();
    }
    const ULONG leftOver = session.releaseDevice();
    if (leftOver != 0)
        log.fail("the device still had %lu references after every object was released",
                 static_cast<unsigned long>(leftOver));

    for (const auto& [format, s] : summaries)
        log.info("%s: %d frames; largest difference from the model: %d host steps end to end "
                 "(tolerances up to %d), %d within a single pass (tolerance %d)",
                 formatName(format), s.frames, s.maxEndToEnd, s.maxTolerance, s.maxSinglePass,
                 kSinglePassTolerance);
    if (summaries.empty()) {
        log.info("RESULT: FAIL - the effect did not load (%d failures)", log.failures());
        return 1;
    }
    if (log.failures() != 0) {
        log.info("RESULT: FAIL - %d failures (lines starting FAIL above)", log.failures());
        return 1;
    }
    log.info("RESULT: PASS - effect interface as expected, every frame within tolerance");
    return 0;
}

} // namespace
} // namespace kestrin::winecheck

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    try {
        return kestrin::winecheck::run(argc, argv);
    } catch (const kestrin::winecheck::SetupError& e) {
        std::printf("RESULT: SETUP ERROR - %s\n", e.what());
    } catch (const std::exception& e) {
        std::printf("RESULT: SETUP ERROR - unexpected: %s\n", e.what());
    } catch (...) {
        std::printf("RESULT: SETUP ERROR - unexpected exception\n");
    }
    return 2;
}
