// Frames for the host simulator and kestrin-run: PNG files (8- or 16-bit, converted between RGB
// and the editor's scale with BT.601: Y 0..4096, Cb and Cr -2048..2048) and raw host-pixel files
// ("YCP1", width, height, frame count as little-endian uint32, then the frames' rows of packed
// Y, Cb, Cr int16 values).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/host_records.h"

namespace kestrin::hostsim {

struct Frame {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<YcPixel> pixels; // packed rows
};

inline constexpr int32_t kMaxFileSide = 16384;

// Each returns an empty string on success, else one line saying what is wrong.
std::string readPng(const std::string& path, Frame& frame);
std::string writePng(const std::string& path, const Frame& frame);
std::string readRaw(const std::string& path, std::vector<Frame>& frames);
std::string writeRaw(const std::string& path, const std::vector<Frame>& frames);

// BT.601 on the editor's scale; r, g, b in 0..1.
YcPixel ycFromRgb(double r, double g, double b);
void rgbFromYc(const YcPixel& p, double& r, double& g, double& b);

} // namespace kestrin::hostsim
