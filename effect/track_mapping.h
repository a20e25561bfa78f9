// From the five track-bar integers to the effect's filter parameters.
//
// Every step is worked in double precision (exact for values inside the track ranges) and
// rounded to single precision only where noted, so the plug-in and the reference model agree on
// every bit of pixGain, pixDist and posDist.
#pragma once

#include <cstdint>

namespace kestrin {

// Indices into the host's track values.
enum TrackIndex : int {
    kTrackStrength = 0,
    kTrackThreshold = 1,
    kTrackRange = 2,
    kTrackPasses = 3,
    kTrackMode = 4,
};

inline constexpr int kMinPasses = 1;
inline constexpr int kMaxPasses = 5;

// Strength: t / 256 (128 -> 0.5).
inline float MapPixGain(int32_t strength) {
    return static_cast<float>(static_cast<double>(strength) * (1.0 / 256.0));
}

// Threshold: a = t / 128; b = 256 a^2; pixDist = b^2, i.e. (t^2 / 64)^2 (24 -> 81).
inline float MapPixDist(int32_t threshold) {
    const float a = static_cast<float>(static_cast<double>(threshold) * (1.0 / 128.0));
    const float b = static_cast<float>(256.0 * static_cast<double>(a) * static_cast<double>(a));
    return static_cast<float>(static_cast<double>(b) * static_cast<double>(b));
}

// Range: (t / 128)^2 (64 -> 0.25).
inline float MapPosDist(int32_t range) {
    const float a = static_cast<float>(static_cast<double>(range) * (1.0 / 128.0));
    return static_cast<float>(static_cast<double>(a) * static_cast<double>(a));
}

// Passes: the track value when it lies in 1..5, otherwise 1.
inline int32_t MapPassCount(int32_t passes) {
    return passes >= kMinPasses && passes <= kMaxPasses ? passes : kMinPasses;
}

} // namespace kestrin
