// A plug-in module that misbehaves on purpose, for the host's own checks: it copies each frame
// through unfiltered, and the strength track picks its fault.
//   1  writes one pixel past the end of the frame's first row, into the editor's row padding
//   2  changes the x87 control word in FilterInit (as a Direct3D device created without
//      FPU_PRESERVE would) and leaves it changed
//   3  fails every frame from frame number 2 on
#include <cstring>

#include "host/host_records.h"

namespace {

int32_t g_fault = 0;

int32_t Init(FilterTable* filter) {
    g_fault = filter->trackValues ? filter->trackValues[0] : 0;
#if defined(__i386__) || defined(__x86_64__)
    if (g_fault == 2) {
        uint16_t word = 0;
        __asm__ __volatile__("fnstcw %0" : "=m"(word));
        word = static_cast<uint16_t>(word ^ 0x0100); // another precision
        __asm__ __volatile__("fldcw %0" : : "m"(word));
    }
#endif
    return 1;
}

int32_t Proc(FilterTable* filter, FrameInfo* frame) {
    const auto* source = static_cast<const YcPixel*>(filter->hostFunctions->getCachedFrame(
        filter, frame->editHandle, frame->frameNumber, &frame->width, &frame->height));
    if (!source || !frame->output) return 0;
    if (g_fault == 3 && frame->frameNumber >= 2) return 0;
    for (int32_t y = 0; y < frame->height; ++y)
        std::memcpy(frame->output + static_cast<size_t>(y) * frame->maxWidth,
                    source + static_cast<size_t>(y) * frame->maxWidth,
                    sizeof(YcPixel) * static_cast<size_t>(frame->width));
    if (g_fault == 1 && frame->width < frame->maxWidth) frame->output[frame->width] = {1, 2, 3};
    return 1;
}

int32_t Exit(FilterTable*) {
    return 1;
}
int32_t Update(FilterTable*, int32_t) {
    return 1;
}
int32_t WndProc(HWND, UINT, WPARAM, LPARAM, void*, FilterTable*) {
    return 0;
}

const char* const kNames[5] = {"strength", "threshold", "range", "passes", "mode"};
const int32_t kDefaults[5] = {0, 24, 64, 1, 0};
const int32_t kMinimums[5] = {0, 0, 0, 1, 0};
const int32_t kMaximums[5] = {256, 256, 256, 5, 2};

FilterTable g_table = {0,         0,         0,       "rogue", 5,       kNames,  kDefaults,
                       kMinimums, kMaximums, 0,       nullptr, nullptr, Proc,    Init,
                       Exit,      Update,    WndProc, nullptr, {},      nullptr, {},
                       nullptr,   nullptr,   nullptr, {}};

} // namespace

extern "C" __attribute__((visibility("default"))) FilterTable* GetFilterTable() {
    return &g_table;
}
