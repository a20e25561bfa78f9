#include "tests/hostsim/plugin_session.h"

#include <dlfcn.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <thread>

#include "effect/model.h"

namespace kestrin::hostsim::testing {
namespace {

using Clock = std::chrono::steady_clock;

// One thread per process watches every open Deadline. It is never stopped: it only sleeps
// between checks, and the process may end at any time.
class Watchdog {
  public:
    static Watchdog& instance() {
        static Watchdog* dog = new Watchdog;
        return *dog;
    }
    uint64_t open(const std::string& what, std::chrono::seconds limit) {
        std::lock_guard lock(mutex_);
        const uint64_t id = ++lastId_;
        open_[id] = {what, Clock::now() + limit};
        return id;
    }
    void close(uint64_t id) {
        std::lock_guard lock(mutex_);
        open_.erase(id);
    }

  private:
    struct Open {
        std::string what;
        Clock::time_point expiry;
    };
    Watchdog() {
        std::thread([this] { watch(); }).detach();
    }
    void watch() {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait_for(lock, std::chrono::milliseconds(200));
            const auto now = Clock::now();
            for (const auto& [id, o] : open_) {
                if (now < o.expiry) continue;
                std::fprintf(stderr, "deadline passed: %s did not return (deadlock?)\n",
                             o.what.c_str());
                std::fflush(stderr);
                std::_Exit(3);
            }
        }
    }
    std::mutex mutex_;
    std::condition_variable wake_;
    std::map<uint64_t, Open> open_;
    uint64_t lastId_ = 0;
};

thread_local std::vector<uint64_t> t_deadlines;

// A small, fast, reproducible hash of a pixel position.
uint32_t mix(uint32_t a, uint32_t b, uint32_t c) {
    uint32_t h =
        a * 0x9E3779B1u ^ (b + 0x7F4A7C15u) * 0x85EBCA77u ^ (c + 0x165667B1u) * 0xC2B2AE3Du;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    h *= 0x297A2D39u;
    h ^= h >> 15;
    return h;
}

int16_t clamp16(long v) {
    return static_cast<int16_t>(v < -32768 ? -32768 : v > 32767 ? 32767 : v);
}

std::string describe(const YcPixel& p) {
    return "(" + std::to_string(p.y) + ", " + std::to_string(p.cb) + ", " + std::to_string(p.cr) +
           ")";
}

bool same(const YcPixel& a, const YcPixel& b) {
    return a.y == b.y && a.cb == b.cb && a.cr == b.cr;
}

} // namespace

std::vector<std::string> messageTexts() {
    std::vector<std::string> texts;
    for (const auto& box : hooks::messageBoxes()) texts.push_back(box.utf8());
    return texts;
}

::testing::AssertionResult messageBoxesWellFormed() {
    for (const auto& box : hooks::messageBoxes()) {
        if (box.owner != nullptr || box.caption != u"Kestrin" ||
            box.style != (MB_SYSTEMMODAL | MB_ICONERROR))
            return ::testing::AssertionFailure()
                   << "message box \"" << box.utf8() << "\" has style " << box.style
                   << (box.owner ? ", an owner" : "")
                   << (box.caption != u"Kestrin" ? ", another caption" : "");
    }
    return ::testing::AssertionSuccess();
}

Deadline::Deadline(const std::string& what, std::chrono::seconds limit) {
    t_deadlines.push_back(Watchdog::instance().open(what, limit));
}

Deadline::~Deadline() {
    Watchdog::instance().close(t_deadlines.back());
    t_deadlines.pop_back();
}

// Smooth gradients (where the filter smooths), hard edges (which it keeps), noise of several
// strengths, and now and then a value far outside the video range (which the passes clamp).
Picture makePicture(int32_t width, int32_t height, uint32_t seed) {
    Picture p;
    p.width = width;
    p.height = height;
    p.pixels.resize(static_cast<size_t>(width) * static_cast<size_t>(height));
    const int32_t edgeX = width / 3 + static_cast<int32_t>(seed % 5);
    const int32_t edgeY = height / 2;
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            const uint32_t h = mix(static_cast<uint32_t>(x), static_cast<uint32_t>(y), seed);
            const long noise = static_cast<long>(h % 257) - 128;
            long Y = 400 + 3000L * x / (width > 1 ? width - 1 : 1) + (x >= edgeX ? 600 : 0);
            long cb = -1500 + 3000L * y / (height > 1 ? height - 1 : 1);
            long cr = (y >= edgeY ? 900 : -700) + static_cast<long>(seed % 97) * 7;
            Y += noise * ((h >> 9) % 4);
            cb += noise / 2;
            cr -= noise / 3;
            if ((h >> 20) % 211 == 0) Y = (h & 1) ? 32767 : -32768;
            p.pixels[static_cast<size_t>(y) * width + x] = {clamp16(Y), clamp16(cb), clamp16(cr)};
        }
    }
    return p;
}

OutputImage::OutputImage(int32_t maxWidth, int32_t maxHeight)
    : maxWidth_(maxWidth), maxHeight_(maxHeight),
      pixels_(static_cast<size_t>(maxWidth) * static_cast<size_t>(maxHeight), kGuard) {}

void OutputImage::fill() {
    std::fill(pixels_.begin(), pixels_.end(), kGuard);
}

const YcPixel& OutputImage::at(int32_t x, int32_t y) const {
    return pixels_[static_cast<size_t>(y) * maxWidth_ + x];
}

::testing::AssertionResult OutputImage::untouched() const {
    for (int32_t y = 0; y < maxHeight_; ++y)
        for (int32_t x = 0; x < maxWidth_; ++x)
            if (!same(at(x, y), kGuard))
                return ::testing::AssertionFailure() << "output pixel (" << x << ", " << y
                                                     << ") was written: " << describe(at(x, y));
    return ::testing::AssertionSuccess();
}

std::vector<YcPixel> modelFrame(const Picture& picture, const int32_t tracks[5],
                                TexelFormat format) {
    static_assert(sizeof(model::YcPixel) == sizeof(YcPixel));
    const auto result =
        model::filterFrame(reinterpret_cast<const model::YcPixel*>(picture.pixels.data()),
                           picture.width, picture.height, picture.width, tracks, format);
    std::vector<YcPixel> out(result.size());
    std::memcpy(out.data(), result.data(), result.size() * sizeof(YcPixel));
    return out;
}

::testing::AssertionResult deliveredExactly(const OutputImage& output, int32_t width,
                                            int32_t height, const std::vector<YcPixel>& expected) {
    if (expected.size() != static_cast<size_t>(width) * static_cast<size_t>(height))
        return ::testing::AssertionFailure() << "the model gave " << expected.size() << " pixels";
    if (width > output.maxWidth() || height > output.maxHeight())
        return ::testing::AssertionFailure() << "the frame does not fit the output image";
    std::ostringstream report;
    int wrong = 0, outside = 0;
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            const YcPixel& want = expected[static_cast<size_t>(y) * width + x];
            if (same(output.at(x, y), want)) continue;
            if (++wrong <= 4)
                report << " (" << x << ", " << y << "): got " << describe(output.at(x, y))
                       << ", model " << describe(want) << ";";
        }
    }
    // Beyond the frame, in its rows and below them, the guard must stand.
    for (int32_t y = 0; y < output.maxHeight(); ++y)
        for (int32_t x = y < height ? width : 0; x < output.maxWidth(); ++x)
            if (!same(output.at(x, y), OutputImage::kGuard)) ++outside;
    if (wrong == 0 && outside == 0) return ::testing::AssertionSuccess();
    auto failure = ::testing::AssertionFailure();
    if (wrong) failure << wrong << " of " << width * height << " pixels differ:" << report.str();
    if (outside) failure << " " << outside << " pixels outside the frame were written";
    return failure;
}

PluginSession::PluginSession() {
    if (void* resident = dlopen(KESTRIN_MODULE_PATH, RTLD_NOW | RTLD_NOLOAD))
        dlclose(resident);
    else
        fresh_ = true;
    host_ = Host::load(KESTRIN_MODULE_PATH, error_);
    if (host_) setMaxSize(48, 40);
}

PluginSession::~PluginSession() {
    if (host_) {
        Deadline d("FilterExit (end of session)", kCallLimit);
        host_.reset();
    }
}

void PluginSession::setTracks(int32_t strength, int32_t threshold, int32_t range, int32_t passes,
                              int32_t mode) {
    int32_t* t = tracks();
    t[0] = strength;
    t[1] = threshold;
    t[2] = range;
    t[3] = passes;
    t[4] = mode;
}

void PluginSession::setDeviceProfile(const hooks::DeviceProfile& profile) {
    hooks::setDeviceProfile(profile);
    format_ = profile.signedFormat ? TexelFormat::Signed : TexelFormat::Unsigned;
}

void PluginSession::setMaxSize(int32_t maxWidth, int32_t maxHeight) {
    host_->setMaxSize(maxWidth, maxHeight);
}

void PluginSession::setDefaultSize(int32_t width, int32_t height) {
    defaultWidth_ = width;
    defaultHeight_ = height;
    pictures_.clear();
    host_->clearCache();
}

void PluginSession::setFrame(int32_t number, int32_t width, int32_t height, uint32_t seed) {
    shapes_[number] = {width, height, seed};
    pictures_.erase(number);
    host_->clearCache();
}

void PluginSession::forgetFrames() {
    shapes_.clear();
    pictures_.clear();
    host_->clearCache();
}

PluginSession::FrameShape PluginSession::shape(int32_t number) const {
    auto it = shapes_.find(number);
    if (it != shapes_.end()) return it->second;
    return {defaultWidth_, defaultHeight_, static_cast<uint32_t>(number) * 7919u + 13u};
}

const Picture& PluginSession::picture(int32_t number) {
    auto it = pictures_.find(number);
    if (it == pictures_.end()) {
        const FrameShape s = shape(number);
        it = pictures_.emplace(number, makePicture(s.width, s.height, s.seed)).first;
    }
    return it->second;
}

int32_t PluginSession::init() {
    host_->setSource([this](int32_t n, int32_t& w, int32_t& h, std::vector<YcPixel>& pixels) {
        const Picture& p = picture(n);
        w = p.width;
        h = p.height;
        pixels = p.pixels;
        return true;
    });
    Deadline d("FilterInit", kCallLimit);
    return host_->init();
}

int32_t PluginSession::exit() {
    Deadline d("FilterExit", kCallLimit);
    return host_->exit();
}

int32_t PluginSession::update() {
    Deadline d("FilterUpdate", kCallLimit);
    return host_->update();
}

int32_t PluginSession::sendSwitchMessage(bool enabled) {
    host_->setEnabled(enabled);
    Deadline d("FilterWndProc (switch)", kCallLimit);
    return host_->sendSwitchMessage();
}

int32_t PluginSession::sendMessage(UINT message) {
    Deadline d("FilterWndProc (message " + std::to_string(message) + ")", kCallLimit);
    return host_->sendMessage(message);
}

int32_t PluginSession::proc(int32_t number, OutputImage& output) {
    if (output.maxWidth() != host_->maxWidth()) {
        ADD_FAILURE() << "the output image is " << output.maxWidth() << " pixels wide, the host's "
                      << host_->maxWidth();
        return -1;
    }
    output.fill();
    Deadline d("FilterProc of frame " + std::to_string(number) + " in mode " +
                   std::to_string(tracks()[4]),
               kCallLimit);
    return host_->proc(number, output.data());
}

int32_t PluginSession::procWithoutOutput(int32_t number) {
    Deadline d("FilterProc of frame " + std::to_string(number) + " without output", kCallLimit);
    return host_->proc(number, nullptr);
}

std::vector<YcPixel> PluginSession::expected(int32_t number) {
    return modelFrame(picture(number), tracks(), format_);
}

::testing::AssertionResult PluginSession::runsExactly(int32_t number, OutputImage& output) {
    const int32_t result = proc(number, output);
    if (result != 1) {
        auto failure = ::testing::AssertionFailure();
        failure << "FilterProc of frame " << number << " returned " << result;
        for (const auto& t : messageTexts()) failure << "; message: " << t;
        return failure;
    }
    const Picture& p = picture(number);
    return deliveredExactly(output, p.width, p.height, expected(number));
}

void PluginTest::SetUp() {
    hooks::reset();
    liveAtStart_ = hooks::liveObjects();
    session_ = std::make_unique<PluginSession>();
    ASSERT_TRUE(session_->loaded()) << session_->loadError();
}

void PluginTest::TearDown() {
    if (!session_ || !session_->loaded()) return;
    hooks::reset(); // no planned failure reaches FilterExit
    EXPECT_EQ(session_->exit(), 1);
    session_.reset();
    EXPECT_EQ(hooks::liveObjects(), liveAtStart_) << "Direct3D objects left after FilterExit";
}

} // namespace kestrin::hostsim::testing
