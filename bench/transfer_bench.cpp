// The four row kernels at 1920 x 1080 and 3840 x 2160, serially and through a two-thread
// runParallel, against memcpy of the surface's bytes (8 per pixel) in the same run. Target: a
// kernel takes at most 1.25 x the memcpy time. Prints ms per frame and the ratios.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "transfer/transfer.h"

namespace {

// A two-thread runParallel like the host's: every thread calls the kernel once.
class Pool {
  public:
    explicit Pool(int n) : count_(n) {
        for (int i = 1; i < n; ++i) threads_.emplace_back([this, i] { loop(i); });
    }
    ~Pool() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (auto& t : threads_) t.join();
    }
    void run(ParallelKernel k, void* a, void* b) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            kernel_ = k;
            a_ = a;
            b_ = b;
            pending_ = count_ - 1;
            ++generation_;
        }
        wake_.notify_all();
        k(0, count_, a, b);
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [this] { return pending_ == 0; });
    }

  private:
    void loop(int index) {
        uint64_t seen = 0;
        for (;;) {
            ParallelKernel k;
            void *a, *b;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
                if (stopping_) return;
                seen = generation_;
                k = kernel_;
                a = a_;
                b = b_;
            }
            k(index, count_, a, b);
            std::lock_guard<std::mutex> lock(mutex_);
            if (--pending_ == 0) done_.notify_one();
        }
    }
    int count_;
    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable wake_, done_;
    ParallelKernel kernel_ = nullptr;
    void *a_ = nullptr, *b_ = nullptr;
    int pending_ = 0;
    uint64_t generation_ = 0;
    bool stopping_ = false;
};

Pool* g_pool = nullptr;
int32_t RunParallel(ParallelKernel k, void* a, void* b) {
    g_pool->run(k, a, b);
    return 1;
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
    Pool pool(2);
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
        const double parallelCopy = bestMs(runs, [&] {
            // The same bytes split over the two threads, for a fair parallel baseline.
            std::thread other([&] {
                memcpy(copy.data() + surface.size() / 2, surface.data() + surface.size() / 2,
                       surface.size() - surface.size() / 2);
            });
            memcpy(copy.data(), surface.data(), surface.size() / 2);
            other.join();
        });
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
