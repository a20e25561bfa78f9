// The handle table, waits, CloseHandle and the last-error value.
#include "platform/win32/kernel_objects.h"

#include <cstdint>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "platform/win32/threads.h"

namespace kestrin::platform::win32 {
namespace {

// Pseudo-handles, as on Windows: (HANDLE)-1 is the current process, (HANDLE)-2 the current
// thread.
const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));

// Handles count up in steps of 4 like Windows handles, from a value no pointer-sized sentinel
// uses, and are never reused.
class HandleTable {
  public:
    HANDLE insert(std::shared_ptr<KernelObject> object) {
        std::lock_guard lock(mutex_);
        next_ += 4;
        objects_.emplace(next_, std::move(object));
        return reinterpret_cast<HANDLE>(next_);
    }
    std::shared_ptr<KernelObject> find(HANDLE handle) const {
        std::lock_guard lock(mutex_);
        auto it = objects_.find(reinterpret_cast<uintptr_t>(handle));
        return it == objects_.end() ? nullptr : it->second;
    }
    std::shared_ptr<KernelObject> remove(HANDLE handle) {
        std::lock_guard lock(mutex_);
        auto it = objects_.find(reinterpret_cast<uintptr_t>(handle));
        if (it == objects_.end()) return nullptr;
        auto object = std::move(it->second);
        objects_.erase(it);
        return object;
    }

  private:
    mutable std::mutex mutex_;
    uintptr_t next_ = 0x1000;
    std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> objects_;
};

// Never destroyed: detached threads may still close handles while the process exits.
HandleTable& handles() {
    static HandleTable* table = new HandleTable;
    return *table;
}

thread_local DWORD lastError = ERROR_SUCCESS;

// The current process as a waitable object: never signalled while anyone can wait on it.
bool waitForever(const Deadline& deadline) {
    if (deadline) {
        std::this_thread::sleep_until(*deadline);
        return false;
    }
    for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
}

} // namespace

Deadline deadlineAfter(DWORD milliseconds) {
    if (milliseconds == INFINITE) return std::nullopt;
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
}

HANDLE insertHandle(std::shared_ptr<KernelObject> object) {
    return handles().insert(std::move(object));
}

std::shared_ptr<KernelObject> lookupHandle(HANDLE handle) {
    if (handle == kCurrentThread) return currentThread();
    if (!handle) return nullptr;
    return handles().find(handle);
}

bool removeHandle(HANDLE handle) {
    return handles().remove(handle) != nullptr;
}

DWORD errorFromResult(HRESULT result) {
    return HRESULT_FACILITY(result) == FACILITY_WIN32 ? static_cast<DWORD>(HRESULT_CODE(result))
                                                      : static_cast<DWORD>(ERROR_GEN_FAILURE);
}

int waitingThreads(HANDLE handle) {
    auto object = lookupHandle(handle);
    return object ? object->waiters() : 0;
}

} // namespace kestrin::platform::win32

using namespace kestrin::platform;
using namespace kestrin::platform::win32;

extern "C" {

DWORD WINAPI GetLastError(void) {
    return lastError;
}

void WINAPI SetLastError(DWORD error) {
    lastError = error;
}

HANDLE WINAPI GetCurrentProcess(void) {
    return kCurrentProcess;
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    return enter(
        {.function = __func__}, LastErrorValue<DWORD>{WAIT_FAILED}, [&](auto& call) -> DWORD {
            const Deadline deadline = deadlineAfter(milliseconds);
            std::shared_ptr<KernelObject> object;
            if (handle != kCurrentProcess && !(object = lookupHandle(handle))) {
                SetLastError(ERROR_INVALID_HANDLE);
                return WAIT_FAILED;
            }
            return call.proceed([&] {
                const bool signalled = object ? object->waitUntil(deadline) : waitForever(deadline);
                return signalled ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
            });
        });
}

// Closing ends the handle even when the call is planned to fail: Windows only refuses to close a
// handle that is not one (or is protected from closing, which these never are).
BOOL WINAPI CloseHandle(HANDLE handle) {
    return enter({.function = __func__}, LastErrorValue<BOOL>{FALSE}, [&](auto& call) -> BOOL {
        // Closing a pseudo-handle does nothing and succeeds.
        if (handle == kCurrentThread || handle == kCurrentProcess) return TRUE;
        if (!handle || !lookupHandle(handle)) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        return call.close([&]() -> BOOL {
            if (!removeHandle(handle)) { // closed meanwhile by another thread
                SetLastError(ERROR_INVALID_HANDLE);
                return FALSE;
            }
            return TRUE;
        });
    });
}

} // extern "C"
