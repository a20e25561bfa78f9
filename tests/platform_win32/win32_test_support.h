// Helpers of the Win32 stand-in tests: owned handles, threads running a lambda, and waits that
// always end (a hang becomes a failure).
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "platform/win32/kernel_objects.h"
#include "process.h"
#include "windows.h"

namespace kestrin::platform::test {

// Long enough for a loaded sanitizer run, short enough to turn a hang into a failure.
inline constexpr DWORD kDeadlineMs = 10000;

// Owns a handle and closes it when it goes.
class ScopedHandle {
  public:
    explicit ScopedHandle(HANDLE handle = nullptr) : handle_(handle) {}
    ~ScopedHandle() {
        if (handle_) CloseHandle(handle_);
    }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

  private:
    HANDLE handle_;
};

inline HANDLE makeEvent(bool manualReset, bool initialState) {
    return CreateEventW(nullptr, manualReset ? TRUE : FALSE, initialState ? TRUE : FALSE, nullptr);
}

namespace detail {
inline unsigned __stdcall runBody(void* raw) {
    std::unique_ptr<std::function<unsigned()>> body(static_cast<std::function<unsigned()>*>(raw));
    return (*body)();
}
} // namespace detail

// Runs `body` on a thread started with _beginthreadex; the thread's exit code is body's result.
// Null when the thread could not be started.
inline HANDLE startThread(std::function<unsigned()> body, unsigned* threadId = nullptr) {
    auto* heap = new std::function<unsigned()>(std::move(body));
    const uintptr_t handle = _beginthreadex(nullptr, 0, detail::runBody, heap, 0, threadId);
    if (!handle) delete heap;
    return reinterpret_cast<HANDLE>(handle);
}

// Polls until `waiters` threads block on `handle`; false when that does not happen in time.
inline bool waitForWaiters(HANDLE handle, int waiters) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
    while (win32::waitingThreads(handle) < waiters) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace kestrin::platform::test
