// The editor's side of the plug-in interface, for tests and tools: loads a module by path, fills
// the host's words of its filter record, serves the host functions (frame cache, runParallel
// pool, isFilterEnabled) and drives the callbacks in any mode, order and parameter sequence.
// The same code on Linux (the stand-ins) and Windows (the real Direct3D 9): module.h has the
// difference. The filter's message boxes are answered by the host (module.h), and every callback
// is checked for leaving the x87 control word as it found it.
//
// The host functions are plain C entry points without a context argument, so one Host is
// active per process at a time (the most recently loaded one that is still alive). A Host is
// driven from one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/host_records.h"
#include "hostsim/thread_pool.h"

namespace kestrin::hostsim {

// A source of frames: fills `pixels` (width x height, packed) for frame `number`; false when
// the frame does not exist.
using FrameSource = std::function<bool(int32_t number, int32_t& width, int32_t& height,
                                       std::vector<YcPixel>& pixels)>;

struct CacheSizeCall {
    int32_t width, height, frames, flags;
};

struct FrameRequest {
    int32_t number;
    bool withSize; // false: a fetch-ahead with null width/height pointers
};

// A callback that returned with another x87 control word than it was called with (the host puts
// its own back).
struct FpuChange {
    std::string callback; // "FilterInit", "FilterProc", ...
    int before, after;
};

class Host {
  public:
    // Loads the module and fills the record. Null with `error` set on failure.
    static std::unique_ptr<Host> load(const std::string& path, std::string& error);
    // unload(), when it has not run.
    ~Host();
    // Ends a filter that is still running (FilterExit, as the editor does when it closes), stops
    // the host's threads, unloads the module (its render thread must not outlive the module's
    // code) and closes the filter window. False when the system refused to unload the module.
    bool unload();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    FilterTable* table() const { return table_; }
    void* moduleHandle() const { return module_; }

    // ---- What the host does -----------------------------------------------------------------
    void setSource(FrameSource source) { source_ = std::move(source); }
    void setMaxSize(int32_t maxWidth, int32_t maxHeight);
    int32_t maxWidth() const { return maxWidth_; }
    void setThreads(int threads); // runParallel pool size; 0 = no runParallel entry
    void setEnabled(bool enabled) { enabled_ = enabled; }
    // What setCacheSize answers (1 is success; the filter must treat anything else as refusal).
    void setCacheSizeAnswer(int32_t answer) { cacheAnswer_ = answer; }
    void setCacheRefuses(bool refuses) { cacheAnswer_ = refuses ? 0 : 1; }
    void setFetchFails(bool fails) { fetchFails_ = fails; }
    // Forgets every cached frame, so the source is asked again (after it changed a frame).
    void clearCache() { cache_.clear(); }
    int32_t* trackValues() { return tracks_; }

    // ---- Driving the callbacks --------------------------------------------------------------
    int32_t init(); // FilterInit; a success makes the filter live until exit()
    int32_t exit(); // FilterExit
    int32_t update();
    // Window message 1133 (the filter switched on or off) with the current enabled flag.
    int32_t sendSwitchMessage();
    int32_t sendMessage(UINT message);
    // FilterProc for frame `number`, writing into `output` (rows maxWidth apart; may be null).
    int32_t proc(int32_t number, YcPixel* output);
    // The FrameInfo of the last proc, as the filter left it.
    const FrameInfo& lastFrameInfo() const { return frame_; }

    // ---- What the filter asked for ----------------------------------------------------------
    std::vector<CacheSizeCall> cacheSizeCalls;
    std::vector<FrameRequest> frameRequests;
    int parallelCalls = 0;
    std::vector<double> parallelMs; // wall time of the last runParallel calls (at most 16)
    int enabledQueries = 0;         // isFilterEnabled calls
    std::vector<FpuChange> fpuChanges;

    // Host function entry points (public for the C trampolines).
    int32_t isFilterEnabled(FilterTable* filter);
    int32_t setCacheSize(FilterTable* filter, int32_t w, int32_t h, int32_t frames, int32_t flags);
    void* getCachedFrame(FilterTable* filter, void* edit, int32_t n, int32_t* w, int32_t* h);
    int32_t runParallel(ParallelKernel kernel, void* p1, void* p2);

  private:
    Host() = default;
    // Calls a callback, noting and undoing a change of the x87 control word.
    template <typename Call> int32_t checked(const char* name, Call&& call);

    struct CachedFrame {
        int32_t width = 0, height = 0;
        std::vector<YcPixel> pixels; // rows maxWidth apart
        uint64_t lastUse = 0;
    };

    void* module_ = nullptr;
    HWND window_ = nullptr;
    FilterTable* table_ = nullptr;
    HostFunctions functions_{};
    int32_t tracks_[5] = {};
    int32_t maxWidth_ = 1920, maxHeight_ = 1080;
    bool enabled_ = true;
    bool live_ = false; // FilterInit succeeded and FilterExit has not run since
    int32_t cacheAnswer_ = 1;
    bool fetchFails_ = false;
    int32_t cacheCapacity_ = 2;
    uint64_t useClock_ = 0;
    std::map<int32_t, CachedFrame> cache_;
    FrameSource source_;
    FrameInfo frame_{};
    std::unique_ptr<ThreadPool> pool_;
    int editHandle_ = 0;
};

} // namespace kestrin::hostsim
