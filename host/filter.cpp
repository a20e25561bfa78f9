#include "host/filter.h"

#include "gpu/device.h"
#include "gpu/frame_resources.h"
#include "gpu/gpu_context.h"

bool g_paramsDirty = true;
int32_t g_prevFrame = 0;

// Captions in code page 932: 強さ, 閾値, 範囲, パス, モード.
const TrackBar kTrackBars[kTrackCount] = {
    {"\x8B\xAD\x82\xB3", 128, 0, 256},     // strength -> pixGain
    {"\xE8\x87\x92\x6C", 24, 0, 256},      // threshold -> pixDist
    {"\x94\xCD\x88\xCD", 64, 0, 256},      // range -> posDist
    {"\x83\x70\x83\x58", 1, 1, 5},         // passes
    {"\x83\x82\x81\x5B\x83\x68", 0, 0, 2}, // mode: where the frame renders
};

namespace {

// The host reads the track bars as parallel arrays.
struct TrackArrays {
    const char* names[kTrackCount];
    int32_t defaults[kTrackCount];
    int32_t minimums[kTrackCount];
    int32_t maximums[kTrackCount];
};

constexpr TrackArrays MakeTrackArrays() {
    TrackArrays a{};
    for (int i = 0; i < kTrackCount; ++i) {
        a.names[i] = kTrackBars[i].caption;
        a.defaults[i] = kTrackBars[i].defaultValue;
        a.minimums[i] = kTrackBars[i].minimum;
        a.maximums[i] = kTrackBars[i].maximum;
    }
    return a;
}

const TrackArrays kTrackArrays = MakeTrackArrays();

FilterTable g_filterTable = {
    kFilterHasInfoText | kFilterNoOutputInit,
    0,
    0,
    "Kestrin",
    kTrackCount,
    kTrackArrays.names,
    kTrackArrays.defaults,
    kTrackArrays.minimums,
    kTrackArrays.maximums,
    0,
    nullptr,
    nullptr,
    FilterProc,
    FilterInit,
    FilterExit,
    FilterUpdate,
    FilterWndProc,
    nullptr,
    {},
    "kestrin by Tamsel, ver0.9",
    {},
    nullptr,
    nullptr,
    nullptr,
    {},
};

} // namespace

FilterTable* GetFilterTable(void) {
    return &g_filterTable;
}

int32_t FilterInit(FilterTable* filter) {
    // A second start without an exit keeps the running filter: a second device and worker would
    // leak the first ones for good.
    if (g_context) return 1;
    ForgetShownErrors();
    g_context = NewGpuContext();
    if (!g_context) return 0;
    if (InitDevice(filter->window, filter->instance)) return 1;
    DestroyContext(g_context); // InitDevice has told the user why
    g_context = nullptr;
    return 0;
}

int32_t FilterExit(FilterTable*) {
    if (g_context) {
        DestroyContext(g_context);
        g_context = nullptr;
    }
    return 1;
}

int32_t FilterUpdate(FilterTable*, int32_t) {
    g_paramsDirty = true;
    return 1;
}

int32_t FilterWndProc(HWND, UINT message, WPARAM, LPARAM, void*, FilterTable* filter) {
    if (message != kMessageFilterSwitched || !g_context) return 0;
    // Switching the filter off or on is the user's way of starting over: a failure that was
    // shown once may be shown again.
    ForgetShownErrors();
    // Switched off: the large textures go; the device, effect and worker stay.
    if (filter && filter->hostFunctions && filter->hostFunctions->isFilterEnabled &&
        filter->hostFunctions->isFilterEnabled(filter) == 0) {
        ReleaseFrameResources(g_context);
        g_rebuildNeeded = true;
    }
    return 0;
}
