#include "hostsim/thread_pool.h"

namespace kestrin::hostsim {

ThreadPool::ThreadPool(int threads) : count_(threads) {
    for (int i = 0; i < threads; ++i) threads_.emplace_back([this, i] { loop(i); });
}

ThreadPool::~ThreadPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (auto& t : threads_) t.join();
}

void ThreadPool::run(ParallelKernel kernel, void* p1, void* p2) {
    std::unique_lock<std::mutex> lock(mutex_);
    kernel_ = kernel;
    p1_ = p1;
    p2_ = p2;
    pending_ = count_;
    ++generation_;
    wake_.notify_all();
    done_.wait(lock, [this] { return pending_ == 0; });
}

void ThreadPool::loop(int index) {
    uint64_t seen = 0;
    for (;;) {
        ParallelKernel kernel;
        void* p1;
        void* p2;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
            if (stopping_) return;
            seen = generation_;
            kernel = kernel_;
            p1 = p1_;
            p2 = p2_;
        }
        kernel(index, count_, p1, p2);
        std::lock_guard<std::mutex> lock(mutex_);
        if (--pending_ == 0) done_.notify_one();
    }
}

} // namespace kestrin::hostsim
