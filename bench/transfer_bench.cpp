// The four row kernels at 1920 x 1080 and 3840 x 2160, serially and through a two-thread
// runParallel, against memcpy of the surface's bytes (8 per pixel) in the same run. Target: a
// kernel takes at most 1.25 x the memcpy time. Prints ms per frame and the ratios.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include "hostsim/thread_pool.h"
#include "transfer/transfer.h"

namespace {

// The host simulator's runParallel pool, two threads.
kestrin::hostsim::ThreadPool* g_pool = nullptr;
int32_t RunParallel(ParallelKernel k, void* a, void* b) {
    g_pool->run(k, a, b);
    return 1;
}

// memcpy of one thread's share of a buffer.
struct CopyShares {
    uint8_t* to;
    const uint8_t* from;
    size_t bytes;
};
void CopyShare(int32_t index, int32_t count, void* p1, void*) {
    const auto* c = static_cast<const CopyShares*>(p1);
    const size_t begin = c->bytes * static_cast<size_t>(index) / static_cast<size_t>(count);
    const size_t end = c->bytes * static_cast<size_t>(index + 1) / static_cast<size_t>(count);
    memcpy(c->to + begin, c->from + begin, end - begin);
}

double bestMs(int runs, const std::function<void()>& fn) {
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        fn();
        best = std::min(
            best, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                      .count());
    }
    return best;
}

} // namespace

int main() {
    kestrin::hostsim::ThreadPool pool(2);
    g_pool = &pool;
    const int runs = 15;
    std::printf("best of %d; ratio = kernel / memcpy of the same surface bytes\n", runs);
    for (auto [w, h] : {std::pair{1920, 1080}, std::pair{3840, 2160}}) {
        const int32_t pitchBytes = (w * 8 + 127) / 128 * 128;
        std::vector<YcPixel> host(static_cast<size_t>(w) * h);
        for (size_t i = 0; i < host.size(); ++i)
            host[i] = {static_cast<int16_t>(i), static_cast<int16_t>(i * 3),
                       static_cast<int16_t>(-i)};
        std::vector<uint8_t> surface(static_cast<size_t>(pitchBytes) * h);
        std::vector<uint8_t> copy(surface.size());
        RowCopyJob job{h, static_cast<uint32_t>(w), pitchBytes, w, surface.data(), host.data()};

        const double serialCopy =
            bestMs(runs, [&] { memcpy(copy.data(), surface.data(), surface.size()); });
        // The same bytes split over the same pool's threads: the parallel baseline.
        CopyShares shares{copy.data(), surface.data(), surface.size()};
        const double parallelCopy = bestMs(runs, [&] { RunParallel(CopyShare, &shares, nullptr); });
        struct Kernel {
            const char* name;
            ParallelKernel fn;
        };
        const Kernel kernels[] = {{"UploadRows        ", UploadRows},
                                  {"UploadRowsBiased  ", UploadRowsBiased},
                                  {"DownloadRows      ", DownloadRows},
                                  {"DownloadRowsBiased", DownloadRowsBiased}};
        std::printf("%dx%d: memcpy %.2f ms serial, %.2f ms on 2 threads\n", w, h, serialCopy,
                    parallelCopy);
        for (const Kernel& k : kernels) {
            const double serial = bestMs(runs, [&] { k.fn(0, 0, &job, nullptr); });
            const double parallel = bestMs(runs, [&] {
                InterlockedExchange(&g_nextRow, 0);
                RunParallel(k.fn, &job, nullptr);
            });
            std::printf("  %s serial %6.2f ms (ratio %.2f)   2 threads %6.2f ms (ratio %.2f)\n",
                        k.name, serial, serial / serialCopy, parallel, parallel / parallelCopy);
        }
    }
    return 0;
}
