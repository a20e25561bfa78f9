#include "tests/plugin/plugin_fixture.h"

#include <atomic>
#include <cstring>
#include <random>
#include <thread>

#include "gpu/frame_resources.h"
#include "gpu/render.h"

namespace kestrin::plugin_testing {

std::vector<uint8_t> builtEffectBytes() {
    for (const KestrinResourceEntry* e = kestrin_module_resources; e->data; ++e) {
        if (e->type == 10 && e->id == 104) {
            const auto* p = static_cast<const uint8_t*>(e->data);
            return std::vector<uint8_t>(p, p + e->size);
        }
    }
    return {};
}

Texts messageTexts() {
    Texts texts;
    for (const auto& box : hooks::messageBoxes()) texts.push_back(box.utf8());
    return texts;
}

::testing::AssertionResult messageBoxesWellFormed() {
    for (const auto& box : hooks::messageBoxes()) {
        if (box.owner != nullptr || box.caption != u"Kestrin" || box.style != 0x1010)
            return ::testing::AssertionFailure()
                   << "message box \"" << box.utf8() << "\": style " << box.style
                   << (box.owner ? ", an owner window" : "")
                   << (box.caption != u"Kestrin" ? ", another caption" : "");
    }
    return ::testing::AssertionSuccess();
}

bool waitSignalled(HANDLE handle) {
    return WaitForSingleObject(handle, kWaitLimitMs) == WAIT_OBJECT_0;
}

namespace {

std::atomic<int> g_threads{4};
std::atomic<int> g_calls{0};

} // namespace

int32_t RunOnThreads(ParallelKernel kernel, void* param1, void* param2) {
    g_calls.fetch_add(1);
    const int count = g_threads.load();
    std::vector<std::thread> threads;
    threads.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) threads.emplace_back([=] { kernel(i, count, param1, param2); });
    for (std::thread& t : threads) t.join();
    return 1;
}

void setParallelThreads(int count) {
    g_threads.store(count);
    g_calls.store(0);
}

int parallelCalls() {
    return g_calls.load();
}

std::vector<YcPixel> makeImage(int32_t width, int32_t height, int32_t pitch, uint32_t seed) {
    std::vector<YcPixel> image(static_cast<size_t>(pitch) * static_cast<size_t>(height), kGuard);
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> value(-32768, 32767);
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x)
            image[static_cast<size_t>(y) * pitch + x] = {static_cast<int16_t>(value(random)),
                                                         static_cast<int16_t>(value(random)),
                                                         static_cast<int16_t>(value(random))};
    return image;
}

bool samePixel(const YcPixel& a, const YcPixel& b) {
    return a.y == b.y && a.cb == b.cb && a.cr == b.cr;
}

void startOver() {
    hooks::reset();
    ForgetShownErrors();
}

void PluginTest::SetUp() {
    startOver();
    // Anything a failed earlier test left behind must not leak into this one.
    ASSERT_EQ(g_context, nullptr);
    liveAtStart_ = hooks::liveObjects();
    registerModuleResources(kModule, kestrin_module_resources);
    g_rebuildNeeded = true;
    g_paramsDirty = true;
}

void PluginTest::TearDown() {
    FilterExit(&record_);
    EXPECT_EQ(g_context, nullptr);
    registerModuleResources(kModule, nullptr);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
    EXPECT_EQ(hooks::liveObjects(), liveAtStart_) << "Direct3D objects left alive";
    hooks::reset();
}

FilterTable& PluginTest::record(HMODULE instance) {
    record_ = FilterTable{};
    record_.window = kWindow;
    record_.instance = instance;
    return record_;
}

int32_t PluginTest::init(HMODULE instance) {
    return FilterInit(&record(instance));
}

void PluginTest::initAndBuild(int32_t width, int32_t height, int32_t pitch) {
    ASSERT_EQ(init(), 1) << ::testing::PrintToString(messageTexts());
    ASSERT_TRUE(RebuildFrameResources(width, height, pitch))
        << ::testing::PrintToString(messageTexts());
}

void PluginTest::applyTracks(int32_t passes) {
    const int32_t tracks[5] = {128, 24, 64, passes, 0};
    ApplyTrackValues(g_context, tracks);
}

void BuiltTest::SetUp() {
    PluginTest::SetUp();
    ASSERT_NO_FATAL_FAILURE(initAndBuild(kWidth, kHeight, kPitch));
    applyTracks();
    startOver();
}

} // namespace kestrin::plugin_testing
