// kestrin-run's options and the few helpers its two ways of running share: frames from files or
// the test card (kestrin_run.cpp) and YUV4MPEG2 streams (y4m_run.cpp).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "hostsim/y4m.h"

namespace kestrin::tools {

// One step of what the editor does.
struct Step {
    enum Kind { Frame, Off, On, Restart } kind;
    int32_t frame; // Frame only
};

struct Options {
    std::string module;
    std::string input, output;
    int32_t tracks[5] = {128, 24, 64, 1, 0};
    int32_t frames = 1;
    bool framesGiven = false;
    int32_t start = 0; // frames of a stream skipped before the first one filtered
    int32_t threads = 2;
    int32_t width = 1280, height = 720; // of the test card
    int32_t pitch = 0;                  // 0: the widest frame
    std::vector<Step> steps;            // empty: every frame in order
    bool compare = false;
    bool verbose = false;
    bool quiet = false;
    bool sizeGiven = false;
    bool outputFormatGiven = false;
    hostsim::y4m::Layout outputFormat; // with outputFormatGiven
};

// "kestrin-run: <line>" on standard error; returns `code`.
inline int fail(int code, const std::string& line) {
    std::fprintf(stderr, "kestrin-run: %s\n", line.c_str());
    return code;
}

} // namespace kestrin::tools
