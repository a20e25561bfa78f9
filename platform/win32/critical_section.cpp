// Critical sections: recursive locks owned by a thread, as on Windows.
//
// The caller's CRITICAL_SECTION record holds a pointer to the lock in its DebugInfo field. Using
// a section that was never initialised (or was deleted) is a caller's bug that Windows answers
// with a hang or a crash; here it stops the process with a message that says which call it was.
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "windows.h"

namespace {

struct SectionLock {
    std::mutex mutex;
    std::condition_variable released;
    DWORD owner = 0; // thread id, 0: free
    LONG depth = 0;  // times the owner entered
};

SectionLock* lockOf(LPCRITICAL_SECTION section, const char* function) {
    SectionLock* lock = section ? reinterpret_cast<SectionLock*>(section->DebugInfo) : nullptr;
    if (!lock) {
        std::fprintf(stderr, "kestrin platform: %s on a critical section that is not initialised\n",
                     function);
        std::abort();
    }
    return lock;
}

} // namespace

extern "C" {

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section) {
    if (!section) return;
    *section = RTL_CRITICAL_SECTION{};
    section->LockCount = -1;
    try {
        section->DebugInfo = reinterpret_cast<PRTL_CRITICAL_SECTION_DEBUG>(new SectionLock);
    } catch (...) {
        section->DebugInfo = nullptr; // Enter reports it
    }
}

BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION section, DWORD spinCount) {
    InitializeCriticalSection(section);
    if (!section || !section->DebugInfo) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    section->SpinCount = spinCount;
    return TRUE;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section) {
    SectionLock* lock = lockOf(section, "EnterCriticalSection");
    const DWORD self = GetCurrentThreadId();
    std::unique_lock guard(lock->mutex);
    lock->released.wait(guard, [&] { return lock->owner == 0 || lock->owner == self; });
    lock->owner = self;
    ++lock->depth;
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION section) {
    SectionLock* lock = lockOf(section, "TryEnterCriticalSection");
    const DWORD self = GetCurrentThreadId();
    std::lock_guard guard(lock->mutex);
    if (lock->owner != 0 && lock->owner != self) return FALSE;
    lock->owner = self;
    ++lock->depth;
    return TRUE;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section) {
    SectionLock* lock = lockOf(section, "LeaveCriticalSection");
    const DWORD self = GetCurrentThreadId();
    std::lock_guard guard(lock->mutex);
    if (lock->owner != self) {
        std::fprintf(stderr, "kestrin platform: LeaveCriticalSection by a thread that does not "
                             "own the section (ignored)\n");
        return;
    }
    if (--lock->depth == 0) {
        lock->owner = 0;
        lock->released.notify_one();
    }
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section) {
    if (!section) return;
    delete reinterpret_cast<SectionLock*>(section->DebugInfo);
    section->DebugInfo = nullptr;
}

} // extern "C"
