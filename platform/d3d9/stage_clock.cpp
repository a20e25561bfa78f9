#include "platform/d3d9/stage_clock.h"

#include <atomic>

namespace kestrin::platform::d3d9 {
namespace {

constexpr size_t kStages = static_cast<size_t>(Stage::Count);
std::array<std::atomic<int64_t>, kStages> g_nanoseconds{};
std::array<std::atomic<uint64_t>, kStages> g_calls{};

} // namespace

void addStageTime(Stage stage, std::chrono::steady_clock::duration time) {
    const auto i = static_cast<size_t>(stage);
    if (i >= kStages) return;
    g_nanoseconds[i].fetch_add(std::chrono::duration_cast<std::chrono::nanoseconds>(time).count(),
                               std::memory_order_relaxed);
    g_calls[i].fetch_add(1, std::memory_order_relaxed);
}

StageTimes stageTimes() {
    StageTimes t;
    for (size_t i = 0; i < kStages; ++i) {
        t.ms[i] = static_cast<double>(g_nanoseconds[i].load(std::memory_order_relaxed)) / 1e6;
        t.calls[i] = g_calls[i].load(std::memory_order_relaxed);
    }
    return t;
}

void resetStageTimes() {
    for (size_t i = 0; i < kStages; ++i) {
        g_nanoseconds[i].store(0, std::memory_order_relaxed);
        g_calls[i].store(0, std::memory_order_relaxed);
    }
}

} // namespace kestrin::platform::d3d9
