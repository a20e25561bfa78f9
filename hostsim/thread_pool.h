// The host's worker threads behind runParallel: each run calls the kernel once on every thread,
// with (index, count, p1, p2), and returns when all calls have returned. The calling thread
// only waits.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "host/host_records.h"

namespace kestrin::hostsim {

class ThreadPool {
  public:
    explicit ThreadPool(int threads);
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    int size() const { return count_; }
    void run(ParallelKernel kernel, void* p1, void* p2);

  private:
    void loop(int index);

    int count_;
    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable wake_, done_;
    ParallelKernel kernel_ = nullptr;
    void* p1_ = nullptr;
    void* p2_ = nullptr;
    int pending_ = 0;
    uint64_t generation_ = 0;
    bool stopping_ = false;
};

} // namespace kestrin::hostsim
