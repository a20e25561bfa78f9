// Threads: _beginthreadex / _endthreadex, thread ids, exit codes, priorities and Sleep.
//
// Each thread runs detached on a native thread; its object (kept alive by the thread itself and
// by its handles) is signalled when the start routine returns or the thread calls _endthreadex.
// _endthreadex ends the thread like ExitThread, without unwinding: it jumps straight back to
// the frame that called the start routine.
#include "platform/win32/threads.h"

#include <pthread.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cxxabi.h>
#include <exception>
#include <thread>

#include "process.h"

namespace kestrin::platform::win32 {

bool Thread::waitUntil(const Deadline& deadline) {
    std::unique_lock lock(mutex_);
    auto finished = [this] { return finished_; };
    if (deadline) return ended_.wait_until(lock, *deadline, finished);
    ended_.wait(lock, finished);
    return true;
}

DWORD Thread::exitCode() const {
    std::lock_guard lock(mutex_);
    return exitCode_;
}

void Thread::finish(DWORD exitCode) {
    std::lock_guard lock(mutex_);
    if (finished_) return;
    finished_ = true;
    exitCode_ = exitCode;
    ended_.notify_all();
}

namespace {

// Ids are multiples of 4 and never 0, like Windows thread ids.
DWORD newThreadId() {
    static std::atomic<DWORD> next{0x100};
    return next.fetch_add(4);
}

thread_local std::shared_ptr<Thread> current;

// The result policy of _beginthreadex (platform/entry_point.h): 0 means failure and errno says
// why. A planned failure is EAGAIN (no thread could be made), an exception ENOMEM.
struct ErrnoValue {
    using Result = uintptr_t;
    uintptr_t planned(HRESULT) const noexcept {
        errno = EAGAIN;
        return 0;
    }
    uintptr_t thrown(HRESULT) const noexcept {
        errno = ENOMEM;
        return 0;
    }
    bool failed(uintptr_t r) const noexcept { return r == 0; }
    HRESULT logged(uintptr_t) const noexcept {
        return errno == EINVAL ? E_INVALIDARG : errno == ENOMEM ? E_OUTOFMEMORY : E_FAIL;
    }
};

using StartRoutine = unsigned (*)(void*);

struct StartBlock {
    std::shared_ptr<Thread> thread;
    StartRoutine start;
    void* arg;
};

// An exception escaping a thread's start routine ends the process on Windows too; say why.
DWORD callStartRoutine(StartRoutine start, void* arg) {
    try {
        return start(arg);
    } catch (abi::__forced_unwind&) {
        throw; // pthread_exit / cancellation: let the runtime finish it
    } catch (const std::exception& error) {
        std::fprintf(stderr, "kestrin platform: exception escaped a thread: %s\n", error.what());
    } catch (...) {
        std::fprintf(stderr, "kestrin platform: exception escaped a thread\n");
    }
    std::abort();
}

// Runs the start routine with the landing place for _endthreadex set up. Kept out of line so
// that no frame with live objects lies between setjmp and the start routine.
__attribute__((noinline)) DWORD runStartRoutine(Thread& self, StartRoutine start, void* arg) {
    std::jmp_buf exitJump;
    self.exitJump = &exitJump;
    if (setjmp(exitJump) != 0) {
        self.exitJump = nullptr;
        return self.endCode;
    }
    DWORD code = callStartRoutine(start, arg);
    self.exitJump = nullptr;
    return code;
}

// Makes sure the thread's handle is signalled however the thread leaves.
struct FinishGuard {
    Thread& thread;
    DWORD code = 0;
    ~FinishGuard() { thread.finish(code); }
};

void* threadMain(void* raw) {
    std::shared_ptr<Thread> self;
    StartRoutine start;
    void* arg;
    {
        std::unique_ptr<StartBlock> block(static_cast<StartBlock*>(raw));
        self = block->thread;
        start = block->start;
        arg = block->arg;
    }
    current = self;
    FinishGuard guard{*self};
    guard.code = runStartRoutine(*self, start, arg);
    return nullptr;
}

} // namespace

std::shared_ptr<Thread> currentThread() {
    if (!current) current = std::make_shared<Thread>(newThreadId());
    return current;
}

} // namespace kestrin::platform::win32

using namespace kestrin::platform;
using namespace kestrin::platform::win32;

extern "C" {

uintptr_t __cdecl _beginthreadex(void*, unsigned stackSize, unsigned(__stdcall* start)(void*),
                                 void* arg, unsigned initFlag, unsigned* threadId) {
    return enter({.function = __func__}, ErrnoValue{}, outputs(threadId), [&](auto& call) {
        if (!start || initFlag != 0) {
            errno = EINVAL;
            return uintptr_t{0};
        }
        return call.proceed([&]() -> uintptr_t {
            auto thread = std::make_shared<Thread>(newThreadId());
            auto block = std::make_unique<StartBlock>(StartBlock{thread, start, arg});

            pthread_attr_t attributes;
            if (pthread_attr_init(&attributes) != 0) {
                errno = EAGAIN;
                return 0;
            }
            pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
            size_t defaultStack = 0;
            pthread_attr_getstacksize(&attributes, &defaultStack);
            if (stackSize > defaultStack) pthread_attr_setstacksize(&attributes, stackSize);

            HANDLE handle = insertHandle(thread);
            pthread_t native;
            const int created = pthread_create(&native, &attributes, threadMain, block.get());
            pthread_attr_destroy(&attributes);
            if (created != 0) {
                removeHandle(handle);
                errno = EAGAIN;
                return 0;
            }
            block.release(); // the thread owns it now
            if (threadId) *threadId = thread->id();
            return reinterpret_cast<uintptr_t>(handle);
        });
    });
}

void __cdecl _endthreadex(unsigned exitCode) {
    Thread* self = current.get();
    if (self && self->exitJump) {
        self->endCode = exitCode;
        std::longjmp(*self->exitJump, 1);
    }
    // Not a thread started by _beginthreadex: end the native thread as well as we can.
    if (self) self->finish(exitCode);
    pthread_exit(nullptr);
}

HANDLE WINAPI GetCurrentThread(void) {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));
}

DWORD WINAPI GetCurrentThreadId(void) {
    return enter({.function = __func__}, FailureValue<DWORD>{0},
                 [&](auto&) { return currentThread()->id(); });
}

BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
    return enter({.function = __func__}, LastErrorValue<BOOL>{FALSE}, [&](auto&) -> BOOL {
        auto object = lookupHandleAs<Thread>(thread);
        if (!object) return FALSE;
        if (!exitCode) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        *exitCode = object->exitCode();
        return TRUE;
    });
}

int WINAPI GetThreadPriority(HANDLE thread) {
    return enter({.function = __func__}, LastErrorValue<int>{THREAD_PRIORITY_ERROR_RETURN},
                 [&](auto& call) -> int {
                     auto object = lookupHandleAs<Thread>(thread);
                     if (!object) return THREAD_PRIORITY_ERROR_RETURN;
                     return call.proceed([&] { return object->priority.load(); });
                 });
}

BOOL WINAPI SetThreadPriority(HANDLE thread, int priority) {
    return enter({.function = __func__}, LastErrorValue<BOOL>{FALSE}, [&](auto& call) -> BOOL {
        auto object = lookupHandleAs<Thread>(thread);
        if (!object) return FALSE;
        const bool accepted =
            (priority >= THREAD_PRIORITY_LOWEST && priority <= THREAD_PRIORITY_HIGHEST) ||
            priority == THREAD_PRIORITY_IDLE || priority == THREAD_PRIORITY_TIME_CRITICAL;
        if (!accepted) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        return call.proceed([&] {
            object->priority.store(priority);
            return TRUE;
        });
    });
}

void WINAPI Sleep(DWORD milliseconds) {
    if (milliseconds == INFINITE) {
        for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
    }
    if (milliseconds == 0) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

} // extern "C"
