// The filter record, its track bars and the host's callbacks.
#pragma once

#include "host/host_records.h"

// Export decoration of the module's one entry point.
#if defined(_WIN32)
#define KESTRIN_EXPORT extern "C" __declspec(dllexport)
#else
#define KESTRIN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// The static filter record; every call returns the same address.
KESTRIN_EXPORT FilterTable* GetFilterTable(void);

int32_t FilterInit(FilterTable* filter);
int32_t FilterExit(FilterTable* filter);
int32_t FilterUpdate(FilterTable* filter, int32_t status);
int32_t FilterWndProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam, void* editHandle,
                      FilterTable* filter);
int32_t FilterProc(FilterTable* filter, FrameInfo* frame);

// The last stage of a frame: await the worker's job or read the result back, then download it
// into `output`.
bool FinishFrame(YcPixel* output, RunParallelFn runParallel);

// The track bars, in index order: caption (code page 932), default, minimum, maximum.
struct TrackBar {
    const char* caption;
    int32_t defaultValue;
    int32_t minimum;
    int32_t maximum;
};
inline constexpr int kTrackCount = 5;
extern const TrackBar kTrackBars[kTrackCount];

// Module-wide state of the callbacks (g_context and g_rebuildNeeded live with the GPU context).
extern bool g_paramsDirty;
extern int32_t g_prevFrame;
