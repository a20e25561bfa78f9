// Thread objects of the Win32 stand-in: one per thread started with _beginthreadex, and one made
// on first use for any other thread (the host's thread, a test's main thread), so that thread
// ids, priorities and GetCurrentThread work everywhere.
#pragma once

#include <atomic>
#include <condition_variable>
#include <csetjmp>
#include <memory>
#include <mutex>

#include "platform/win32/kernel_objects.h"

namespace kestrin::platform::win32 {

class Thread final : public KernelObject {
  public:
    explicit Thread(DWORD id) : id_(id) {}

    DWORD id() const { return id_; }

    // Signalled once the thread has ended.
    bool waitUntil(const Deadline& deadline) override;
    // STILL_ACTIVE while the thread runs.
    DWORD exitCode() const;
    void finish(DWORD exitCode);

    std::atomic<int> priority{THREAD_PRIORITY_NORMAL};

    // Only touched by the thread itself: where _endthreadex jumps to, and the code it carries.
    std::jmp_buf* exitJump = nullptr;
    DWORD endCode = 0;

  private:
    const DWORD id_;
    mutable std::mutex mutex_;
    std::condition_variable ended_;
    bool finished_ = false;
    DWORD exitCode_ = STILL_ACTIVE;
};

// The calling thread's object, made on first use for threads not started by _beginthreadex.
std::shared_ptr<Thread> currentThread();

} // namespace kestrin::platform::win32
