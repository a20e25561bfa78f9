#include "hostsim/host.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "hostsim/module.h"

namespace kestrin::hostsim {
namespace {

Host* g_active = nullptr;

int32_t IsFilterEnabledEntry(FilterTable* f) {
    return g_active ? g_active->isFilterEnabled(f) : 0;
}
int32_t SetCacheSizeEntry(FilterTable* f, int32_t w, int32_t h, int32_t n, int32_t flags) {
    return g_active ? g_active->setCacheSize(f, w, h, n, flags) : 0;
}
void* GetCachedFrameEntry(FilterTable* f, void* e, int32_t n, int32_t* w, int32_t* h) {
    return g_active ? g_active->getCachedFrame(f, e, n, w, h) : nullptr;
}
int32_t RunParallelEntry(ParallelKernel k, void* p1, void* p2) {
    return g_active ? g_active->runParallel(k, p1, p2) : 0;
}

} // namespace

std::unique_ptr<Host> Host::load(const std::string& path, std::string& error) {
    void* module = openModule(path, error);
    if (!module) return nullptr;
    using GetTable = FilterTable* (*)();
    auto get = reinterpret_cast<GetTable>(moduleExport(module, "GetFilterTable"));
    if (!get) {
        error = path + " does not export GetFilterTable";
        closeModule(module);
        return nullptr;
    }
    FilterTable* t = get();
    if (!t || !t->onProc || !t->onInit || !t->onExit || !t->onUpdate || !t->onWindowMessage ||
        (t->trackCount > 0 && !t->trackDefaults)) {
        error = path + ": GetFilterTable returned no usable filter record";
        closeModule(module);
        return nullptr;
    }
    if (!answerMessageBoxes(module)) {
        error = path + ": cannot redirect the module's message boxes to the host";
        closeModule(module);
        return nullptr;
    }
    HWND window = createFilterWindow();
    if (!window) {
        error = "cannot create the filter window";
        closeModule(module);
        return nullptr;
    }
    std::unique_ptr<Host> host(new Host);
    host->module_ = module;
    host->window_ = window;
    host->table_ = t;
    for (int i = 0; i < 5 && i < t->trackCount; ++i) host->tracks_[i] = t->trackDefaults[i];
    host->functions_.isFilterEnabled = IsFilterEnabledEntry;
    host->functions_.setCacheSize = SetCacheSizeEntry;
    host->functions_.getCachedFrame = GetCachedFrameEntry;
    host->functions_.runParallel = nullptr;
    t->trackValues = host->tracks_;
    t->hostFunctions = &host->functions_;
    t->window = window;
    t->instance = static_cast<HINSTANCE>(module);
    g_active = host.get();
    host->setThreads(2);
    return host;
}

Host::~Host() {
    unload();
}

bool Host::unload() {
    if (live_) exit();
    pool_.reset();
    if (g_active == this) g_active = nullptr;
    if (table_) {
        table_->trackValues = nullptr;
        table_->hostFunctions = nullptr;
        table_ = nullptr;
    }
    bool unloaded = true;
    if (module_) unloaded = closeModule(module_);
    module_ = nullptr;
    destroyFilterWindow(window_);
    window_ = nullptr;
    return unloaded;
}

template <typename Call> int32_t Host::checked(const char* name, Call&& call) {
    const int before = x87ControlWord();
    const int32_t result = call();
    const int after = x87ControlWord();
    if (after != before) {
        fpuChanges.push_back({name, before, after});
        setX87ControlWord(before);
    }
    return result;
}

void Host::setMaxSize(int32_t maxWidth, int32_t maxHeight) {
    maxWidth_ = maxWidth;
    maxHeight_ = maxHeight;
    cache_.clear();
}

void Host::setThreads(int threads) {
    pool_.reset();
    if (threads > 0) pool_ = std::make_unique<ThreadPool>(threads);
    functions_.runParallel = threads > 0 ? RunParallelEntry : nullptr;
}

int32_t Host::init() {
    const int32_t result = checked("FilterInit", [&] { return table_->onInit(table_); });
    live_ = live_ || result != 0;
    return result;
}

int32_t Host::exit() {
    live_ = false;
    return checked("FilterExit", [&] { return table_->onExit(table_); });
}

int32_t Host::update() {
    return checked("FilterUpdate", [&] { return table_->onUpdate(table_, 0); });
}
int32_t Host::sendSwitchMessage() {
    return sendMessage(kMessageFilterSwitched);
}
int32_t Host::sendMessage(UINT message) {
    return checked("FilterWndProc", [&] {
        return table_->onWindowMessage(table_->window, message, enabled_ ? 1 : 0, 0, &editHandle_,
                                       table_);
    });
}

int32_t Host::proc(int32_t number, YcPixel* output) {
    frame_ = FrameInfo{};
    frame_.output = output;
    frame_.maxWidth = maxWidth_;
    frame_.maxHeight = maxHeight_;
    frame_.frameNumber = number;
    frame_.editHandle = &editHandle_;
    return checked("FilterProc", [&] { return table_->onProc(table_, &frame_); });
}

int32_t Host::isFilterEnabled(FilterTable*) {
    ++enabledQueries;
    return enabled_ ? 1 : 0;
}

int32_t Host::setCacheSize(FilterTable*, int32_t w, int32_t h, int32_t frames, int32_t flags) {
    cacheSizeCalls.push_back({w, h, frames, flags});
    if (cacheAnswer_ != 1) return cacheAnswer_;
    cacheCapacity_ = std::max(frames, 1);
    return 1;
}

void* Host::getCachedFrame(FilterTable*, void*, int32_t n, int32_t* w, int32_t* h) {
    frameRequests.push_back({n, w != nullptr && h != nullptr});
    if (fetchFails_ || !source_) return nullptr;
    auto it = cache_.find(n);
    if (it == cache_.end()) {
        // Keep at most cacheCapacity_ frames, dropping the least recently used; the last one
        // dropped lends its buffer to the source, which may swap a filled one in.
        std::vector<YcPixel> packed;
        while (!cache_.empty() && static_cast<int32_t>(cache_.size()) >= cacheCapacity_) {
            auto oldest = std::min_element(cache_.begin(), cache_.end(), [](auto& a, auto& b) {
                return a.second.lastUse < b.second.lastUse;
            });
            packed.swap(oldest->second.pixels);
            cache_.erase(oldest);
        }
        CachedFrame f;
        if (!source_(n, f.width, f.height, packed)) return nullptr;
        if (f.width <= 0 || f.height <= 0 || f.width > maxWidth_ || f.height > maxHeight_ ||
            packed.size() < static_cast<size_t>(f.width) * static_cast<size_t>(f.height))
            return nullptr;
        const size_t frameSize = static_cast<size_t>(maxWidth_) * static_cast<size_t>(f.height);
        if (f.width == maxWidth_ && packed.size() == frameSize) {
            f.pixels.swap(packed); // already rows maxWidth apart
        } else {
            f.pixels.assign(frameSize, YcPixel{0, 0, 0});
            for (int32_t y = 0; y < f.height; ++y)
                memcpy(&f.pixels[static_cast<size_t>(y) * maxWidth_],
                       &packed[static_cast<size_t>(y) * f.width], sizeof(YcPixel) * f.width);
        }
        it = cache_.emplace(n, std::move(f)).first;
    }
    it->second.lastUse = ++useClock_;
    if (w) *w = it->second.width;
    if (h) *h = it->second.height;
    return it->second.pixels.data();
}

int32_t Host::runParallel(ParallelKernel kernel, void* p1, void* p2) {
    ++parallelCalls;
    const auto start = std::chrono::steady_clock::now();
    if (!pool_)
        kernel(0, 1, p1, p2);
    else
        pool_->run(kernel, p1, p2);
    if (parallelMs.size() == 16) parallelMs.erase(parallelMs.begin());
    parallelMs.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
    return 1;
}

} // namespace kestrin::hostsim
