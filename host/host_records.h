// The editor's records and function table, as far as the filter reads or writes them.
//
// Byte offsets are the host's 32-bit layout and part of the interface; in a 32-bit build every
// one is checked at compile time. Words the filter never touches are kept as reserved fields so
// the named ones land on their offsets.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

// A host pixel: Y, Cb, Cr, signed 16-bit each, 6 bytes, packed. Rows are `maxWidth` pixels apart.
#pragma pack(push, 1)
struct YcPixel {
    int16_t y;
    int16_t cb;
    int16_t cr;
};
#pragma pack(pop)
static_assert(sizeof(YcPixel) == 6);

struct FilterTable;

// The per-frame record handed to FilterProc.
struct FrameInfo {
    int32_t reserved0;
    YcPixel* output; // receives the filtered frame
    void* reserved1;
    int32_t width;  // written by getCachedFrame
    int32_t height; // written by getCachedFrame
    int32_t maxWidth;
    int32_t maxHeight;
    int32_t frameNumber;
    int32_t reserved2[7];
    void* editHandle; // the host's project, passed back to getCachedFrame
};

// A row kernel run on the host's worker threads: (thread index, thread count, job, unused).
typedef void (*ParallelKernel)(int32_t threadIndex, int32_t threadCount, void* param1,
                               void* param2);

typedef int32_t (*IsFilterEnabledFn)(FilterTable* filter);
typedef int32_t (*SetCacheSizeFn)(FilterTable* filter, int32_t width, int32_t height,
                                  int32_t frames, int32_t flags);
typedef void* (*GetCachedFrameFn)(FilterTable* filter, void* editHandle, int32_t frame,
                                  int32_t* width, int32_t* height);
typedef int32_t (*RunParallelFn)(ParallelKernel kernel, void* param1, void* param2);

// The host's function table: four of its entries are used.
struct HostFunctions {
    void* reserved0[25];
    IsFilterEnabledFn isFilterEnabled; // entry 25
    void* reserved1[18];
    SetCacheSizeFn setCacheSize; // entry 44
    void* reserved2[5];
    GetCachedFrameFn getCachedFrame; // entry 50
    RunParallelFn runParallel;       // entry 51 (may be null)
    void* reserved3[20];
};

typedef int32_t (*FilterProcFn)(FilterTable* filter, FrameInfo* frame);
typedef int32_t (*FilterInitFn)(FilterTable* filter);
typedef int32_t (*FilterExitFn)(FilterTable* filter);
typedef int32_t (*FilterUpdateFn)(FilterTable* filter, int32_t status);
typedef int32_t (*FilterWndProcFn)(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                                   void* editHandle, FilterTable* filter);

// The filter record: static in the module, its host words filled by the host.
struct FilterTable {
    uint32_t flags;
    int32_t windowWidth;
    int32_t windowHeight;
    const char* displayName;
    int32_t trackCount;
    const char* const* trackNames;
    const int32_t* trackDefaults;
    const int32_t* trackMinimums;
    const int32_t* trackMaximums;
    int32_t checkCount;
    const char* const* checkNames;
    const int32_t* checkDefaults;
    FilterProcFn onProc;
    FilterInitFn onInit;
    FilterExitFn onExit;
    FilterUpdateFn onUpdate;
    FilterWndProcFn onWindowMessage;
    int32_t* trackValues; // filled by the host
    void* reserved1[3];
    const char* infoText;
    void* reserved2[2];
    HostFunctions* hostFunctions; // filled by the host
    HWND window;                  // filled by the host
    HINSTANCE instance;           // filled by the host
    void* reserved3[8];
};

// Host option bits of FilterTable::flags.
inline constexpr uint32_t kFilterHasInfoText = 0x00040000;
inline constexpr uint32_t kFilterNoOutputInit = 0x08000000;

// The host's notice that the filter was switched on or off.
inline constexpr UINT kMessageFilterSwitched = WM_USER + 109; // 1133

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(offsetof(FrameInfo, output) == 4);
static_assert(offsetof(FrameInfo, width) == 12);
static_assert(offsetof(FrameInfo, height) == 16);
static_assert(offsetof(FrameInfo, maxWidth) == 20);
static_assert(offsetof(FrameInfo, maxHeight) == 24);
static_assert(offsetof(FrameInfo, frameNumber) == 28);
static_assert(offsetof(FrameInfo, editHandle) == 60);
static_assert(offsetof(HostFunctions, isFilterEnabled) == 100);
static_assert(offsetof(HostFunctions, setCacheSize) == 176);
static_assert(offsetof(HostFunctions, getCachedFrame) == 200);
static_assert(offsetof(HostFunctions, runParallel) == 204);
static_assert(offsetof(FilterTable, flags) == 0);
static_assert(offsetof(FilterTable, displayName) == 12);
static_assert(offsetof(FilterTable, trackCount) == 16);
static_assert(offsetof(FilterTable, trackNames) == 20);
static_assert(offsetof(FilterTable, trackDefaults) == 24);
static_assert(offsetof(FilterTable, trackMinimums) == 28);
static_assert(offsetof(FilterTable, trackMaximums) == 32);
static_assert(offsetof(FilterTable, checkCount) == 36);
static_assert(offsetof(FilterTable, onProc) == 48);
static_assert(offsetof(FilterTable, onInit) == 52);
static_assert(offsetof(FilterTable, onExit) == 56);
static_assert(offsetof(FilterTable, onUpdate) == 60);
static_assert(offsetof(FilterTable, onWindowMessage) == 64);
static_assert(offsetof(FilterTable, trackValues) == 68);
static_assert(offsetof(FilterTable, infoText) == 84);
static_assert(offsetof(FilterTable, hostFunctions) == 96);
static_assert(offsetof(FilterTable, window) == 100);
static_assert(offsetof(FilterTable, instance) == 104);
static_assert(sizeof(FilterTable) == 140);
#endif
