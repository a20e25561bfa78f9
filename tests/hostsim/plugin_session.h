// The plug-in module loaded by the host simulator, with what an end-to-end test needs around it:
// deterministic source pictures per frame number, guarded output images, a deadline on every
// callback, and the comparison of a delivered frame with the reference model.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "effect/texel_codec.h"
#include "hostsim/host.h"
#include "platform/test_hooks.h"
#include "tests/common/message_texts.h"

namespace kestrin::hostsim::testing {

namespace hooks = kestrin::platform::hooks;

namespace text = kestrin::test_support::text;

// The texts of every message box shown since the last hooks::reset(), in order.
std::vector<std::string> messageTexts();
// Every message box since the last hooks::reset() is the filter's: no owner window, caption
// "Kestrin", system-modal with the error icon.
::testing::AssertionResult messageBoxesWellFormed();

// Aborts the process when a guarded call overruns its deadline: a deadlocked callback then ends
// the test program with a message naming the call instead of hanging until the CTest timeout.
class Deadline {
  public:
    Deadline(const std::string& what, std::chrono::seconds limit);
    ~Deadline();
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;
};

// The limit on one callback; generous, since the sanitizers slow the software device down.
inline constexpr std::chrono::seconds kCallLimit{120};

// A packed picture; the pixels for a frame number are a function of its size and seed only.
struct Picture {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<YcPixel> pixels;
};
Picture makePicture(int32_t width, int32_t height, uint32_t seed);

// The host's output image: maxWidth x maxHeight pixels, every one set to a guard value first,
// so that a test sees which pixels a frame wrote.
class OutputImage {
  public:
    static constexpr YcPixel kGuard{0x2A5A, -0x1357, 0x7531};
    OutputImage(int32_t maxWidth, int32_t maxHeight);
    YcPixel* data() { return pixels_.data(); }
    int32_t maxWidth() const { return maxWidth_; }
    int32_t maxHeight() const { return maxHeight_; }
    void fill();
    const YcPixel& at(int32_t x, int32_t y) const;
    // Every pixel still holds the guard value.
    ::testing::AssertionResult untouched() const;

  private:
    int32_t maxWidth_, maxHeight_;
    std::vector<YcPixel> pixels_;
};

// The filter exactly as the reference model computes it: the picture, the track values, the
// texel format.
std::vector<YcPixel> modelFrame(const Picture& picture, const int32_t tracks[5],
                                TexelFormat format);

// The frame's rectangle of `output` equals `expected` (packed) and every pixel outside it still
// holds the guard value.
::testing::AssertionResult deliveredExactly(const OutputImage& output, int32_t width,
                                            int32_t height, const std::vector<YcPixel>& expected);

// One loaded module and the frames its host serves. Every frame number shows a picture of the
// default size seeded with its number, unless the test gave it a size of its own.
class PluginSession {
  public:
    PluginSession(); // loads the module; check loaded()
    ~PluginSession();

    bool loaded() const { return host_ != nullptr; }
    // The module was not resident before this session loaded it, so its module-wide variables
    // hold their starting values (a test program runs many sessions in one process).
    bool freshModule() const { return fresh_; }
    const std::string& loadError() const { return error_; }
    Host& host() { return *host_; }
    int32_t* tracks() { return host_->trackValues(); }
    void setTracks(int32_t strength, int32_t threshold, int32_t range, int32_t passes,
                   int32_t mode);
    void setMode(int32_t mode) { tracks()[4] = mode; }

    // The texel format the device will choose: set the profile before init().
    void setDeviceProfile(const hooks::DeviceProfile& profile);
    TexelFormat format() const { return format_; }

    // Frame sizes. Changing a size forgets the host's cache.
    void setMaxSize(int32_t maxWidth, int32_t maxHeight);
    void setDefaultSize(int32_t width, int32_t height);
    void setFrame(int32_t number, int32_t width, int32_t height, uint32_t seed);
    // Forgets every frame given with setFrame and every picture made so far.
    void forgetFrames();
    const Picture& picture(int32_t number);

    // The callbacks, each under the deadline.
    int32_t init();
    int32_t exit();
    int32_t update();
    int32_t sendSwitchMessage(bool enabled);
    int32_t sendMessage(UINT message);
    int32_t proc(int32_t number, OutputImage& output); // fills the guard first
    int32_t procWithoutOutput(int32_t number);

    // The model's result for frame `number` with the current track values.
    std::vector<YcPixel> expected(int32_t number);
    // proc() returned 1 and delivered exactly the model's result.
    ::testing::AssertionResult runsExactly(int32_t number, OutputImage& output);

  private:
    struct FrameShape {
        int32_t width, height;
        uint32_t seed;
    };
    FrameShape shape(int32_t number) const;

    std::unique_ptr<Host> host_;
    std::string error_;
    bool fresh_ = false;
    TexelFormat format_ = TexelFormat::Signed;
    int32_t defaultWidth_ = 40, defaultHeight_ = 30;
    std::map<int32_t, FrameShape> shapes_;
    std::map<int32_t, Picture> pictures_;
};

// The fixture of the end-to-end tests: clean hooks, a loaded module, and at the end FilterExit
// and the live Direct3D objects back to where they started.
class PluginTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    PluginSession& session() { return *session_; }
    Host& host() { return session_->host(); }
    int liveAtStart() const { return liveAtStart_; }

  private:
    std::unique_ptr<PluginSession> session_;
    int liveAtStart_ = 0;
};

} // namespace kestrin::hostsim::testing
