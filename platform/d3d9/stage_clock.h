// Where the software device's time goes, for benchmarks: wall-clock time spent in each stage of
// its work, summed over all devices since the last reset. Cheap enough to stay on (two clock
// reads per stage of a call).
#pragma once

#include <array>
#include <chrono>
#include <cstdint>

namespace kestrin::platform::d3d9 {

enum class Stage : uint8_t {
    UploadCopy,   // UpdateSurface's texel copy
    Decode,       // textures decoded to planes for a draw
    Compile,      // programs compiled for a draw (cache misses)
    Shade,        // rasterising, shading and storing
    ReadbackCopy, // GetRenderTargetData's texel copy
    Count
};

struct StageTimes {
    std::array<double, static_cast<size_t>(Stage::Count)> ms{};
    std::array<uint64_t, static_cast<size_t>(Stage::Count)> calls{};
};

StageTimes stageTimes();
void resetStageTimes();
void addStageTime(Stage stage, std::chrono::steady_clock::duration time);

// Adds the time from construction to destruction to `stage`.
class StageTimer {
  public:
    explicit StageTimer(Stage stage) : stage_(stage), start_(std::chrono::steady_clock::now()) {}
    ~StageTimer() { addStageTime(stage_, std::chrono::steady_clock::now() - start_); }
    StageTimer(const StageTimer&) = delete;
    StageTimer& operator=(const StageTimer&) = delete;

  private:
    Stage stage_;
    std::chrono::steady_clock::time_point start_;
};

} // namespace kestrin::platform::d3d9
