// Threads: exit codes through return and _endthreadex, waits on thread handles, ids, and
// priorities recorded per thread.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>

#include "platform/test_hooks.h"
#include "tests/platform_win32/win32_test_support.h"

namespace kestrin::platform::test {
namespace {

TEST(Win32Thread, HandleIsSignalledWhenTheThreadEndsAndGivesItsExitCode) {
    ScopedHandle go(makeEvent(false, false));
    ScopedHandle thread(startThread(
        [&] { return WaitForSingleObject(go.get(), kDeadlineMs) == WAIT_OBJECT_0 ? 42u : 1u; }));
    ASSERT_TRUE(thread);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread.get(), &code));
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_EQ(WaitForSingleObject(thread.get(), 20), static_cast<DWORD>(WAIT_TIMEOUT));

    ASSERT_TRUE(SetEvent(go.get()));
    ASSERT_EQ(WaitForSingleObject(thread.get(), kDeadlineMs), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeThread(thread.get(), &code));
    EXPECT_EQ(code, 42u);
    // An ended thread stays signalled.
    EXPECT_EQ(WaitForSingleObject(thread.get(), 0), WAIT_OBJECT_0);
}

std::atomic<bool> ranPastEnd{false};

[[noreturn]] void endFromDeepInside(unsigned code) {
    _endthreadex(code);
}

unsigned __stdcall endsWithEndThread(void* arg) {
    endFromDeepInside(*static_cast<unsigned*>(arg));
    ranPastEnd = true; // never reached
    return 1;
}

TEST(Win32Thread, EndThreadExEndsTheThreadAtOnceWithItsCode) {
    unsigned code = 7;
    unsigned id = 0;
    ScopedHandle thread(
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, endsWithEndThread, &code, 0, &id)));
    ASSERT_TRUE(thread);
    EXPECT_NE(id, 0u);
    ASSERT_EQ(WaitForSingleObject(thread.get(), kDeadlineMs), WAIT_OBJECT_0);
    DWORD exitCode = 0;
    EXPECT_TRUE(GetExitCodeThread(thread.get(), &exitCode));
    EXPECT_EQ(exitCode, 7u);
    EXPECT_FALSE(ranPastEnd);
}

TEST(Win32Thread, IdsAreDistinctAndMatchWhatCreationReported) {
    std::atomic<DWORD> seenInside{0};
    unsigned reported = 0;
    ScopedHandle thread(startThread(
        [&] {
            seenInside = GetCurrentThreadId();
            return 0u;
        },
        &reported));
    ASSERT_EQ(WaitForSingleObject(thread.get(), kDeadlineMs), WAIT_OBJECT_0);
    EXPECT_EQ(seenInside.load(), reported);
    EXPECT_NE(reported, GetCurrentThreadId());
    EXPECT_EQ(GetCurrentThreadId(), GetCurrentThreadId());
}

TEST(Win32Thread, ClosingTheHandleLeavesTheThreadRunning) {
    ScopedHandle go(makeEvent(false, false));
    ScopedHandle finished(makeEvent(true, false));
    HANDLE thread = startThread([&] {
        if (WaitForSingleObject(go.get(), kDeadlineMs) != WAIT_OBJECT_0) return 1u;
        SetEvent(finished.get());
        return 0u;
    });
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(CloseHandle(thread));
    EXPECT_FALSE(CloseHandle(thread));
    DWORD code = 0;
    EXPECT_FALSE(GetExitCodeThread(thread, &code));
    ASSERT_TRUE(SetEvent(go.get()));
    EXPECT_EQ(WaitForSingleObject(finished.get(), kDeadlineMs), WAIT_OBJECT_0);
}

TEST(Win32Thread, CreationRefusesBadArgumentsAndPlannedFailures) {
    hooks::reset();
    unsigned id = 123;
    EXPECT_EQ(_beginthreadex(nullptr, 0, nullptr, nullptr, 0, &id), 0u);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(id, 0u);

    hooks::failThreadCreation(2);
    ScopedHandle first(startThread([] { return 0u; }));
    errno = 0;
    ScopedHandle second(startThread([] { return 0u; }));
    EXPECT_EQ(errno, EAGAIN);
    ScopedHandle third(startThread([] { return 0u; }));
    EXPECT_TRUE(first);
    EXPECT_FALSE(second);
    EXPECT_TRUE(third);

    hooks::failCall("_beginthreadex", 1, E_FAIL);
    ScopedHandle planned(startThread([] { return 0u; }));
    EXPECT_FALSE(planned);
    EXPECT_EQ(hooks::callCount("_beginthreadex"), 4);
    EXPECT_EQ(WaitForSingleObject(first.get(), kDeadlineMs), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(third.get(), kDeadlineMs), WAIT_OBJECT_0);
}

// Priorities as the render worker uses them: read the driving thread's own through the
// pseudo-handle, give the worker one step more through its handle.
TEST(Win32ThreadPriority, IsRecordedPerThreadAndReadBack) {
    ASSERT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL));
    hooks::reset();
    ScopedHandle started(makeEvent(false, false));
    ScopedHandle setByParent(makeEvent(false, false));
    ScopedHandle setBySelf(makeEvent(false, false));
    std::atomic<int> startedAt{-100};
    std::atomic<int> seenAfterParent{-100};
    ScopedHandle worker(startThread([&] {
        startedAt = GetThreadPriority(GetCurrentThread());
        SetEvent(started.get());
        if (WaitForSingleObject(setByParent.get(), kDeadlineMs) != WAIT_OBJECT_0) return 1u;
        seenAfterParent = GetThreadPriority(GetCurrentThread());
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
        SetEvent(setBySelf.get());
        return 0u;
    }));
    ASSERT_TRUE(worker);
    ASSERT_EQ(WaitForSingleObject(started.get(), kDeadlineMs), WAIT_OBJECT_0);

    ASSERT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL));
    const int driving = GetThreadPriority(GetCurrentThread());
    EXPECT_EQ(driving, THREAD_PRIORITY_ABOVE_NORMAL);
    ASSERT_TRUE(SetThreadPriority(worker.get(), driving + 1));
    EXPECT_EQ(GetThreadPriority(worker.get()), THREAD_PRIORITY_HIGHEST);
    ASSERT_TRUE(SetEvent(setByParent.get()));
    ASSERT_EQ(WaitForSingleObject(setBySelf.get(), kDeadlineMs), WAIT_OBJECT_0);

    EXPECT_EQ(startedAt.load(), THREAD_PRIORITY_NORMAL);
    EXPECT_EQ(seenAfterParent.load(), THREAD_PRIORITY_HIGHEST);
    EXPECT_EQ(GetThreadPriority(worker.get()), THREAD_PRIORITY_BELOW_NORMAL);
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_ABOVE_NORMAL);
    EXPECT_EQ(hooks::callCount("SetThreadPriority"), 3);

    // Values a normal-priority process may not use are refused and change nothing.
    for (int refused : {3, 14, 16, -3, -16}) {
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(SetThreadPriority(worker.get(), refused)) << refused;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    EXPECT_EQ(GetThreadPriority(worker.get()), THREAD_PRIORITY_BELOW_NORMAL);
    EXPECT_TRUE(SetThreadPriority(worker.get(), THREAD_PRIORITY_TIME_CRITICAL));
    EXPECT_EQ(GetThreadPriority(worker.get()), THREAD_PRIORITY_TIME_CRITICAL);
    EXPECT_TRUE(SetThreadPriority(worker.get(), THREAD_PRIORITY_IDLE));
    EXPECT_EQ(GetThreadPriority(worker.get()), THREAD_PRIORITY_IDLE);

    // A planned failure leaves the priority as it was.
    hooks::failCall("SetThreadPriority", 1, E_FAIL);
    EXPECT_FALSE(SetThreadPriority(worker.get(), THREAD_PRIORITY_NORMAL));
    EXPECT_EQ(GetThreadPriority(worker.get()), THREAD_PRIORITY_IDLE);

    EXPECT_EQ(WaitForSingleObject(worker.get(), kDeadlineMs), WAIT_OBJECT_0);
    EXPECT_EQ(GetThreadPriority(nullptr), THREAD_PRIORITY_ERROR_RETURN);
    ScopedHandle event(makeEvent(false, false));
    EXPECT_EQ(GetThreadPriority(event.get()), THREAD_PRIORITY_ERROR_RETURN);
    EXPECT_FALSE(SetThreadPriority(event.get(), 0));
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
}

} // namespace
} // namespace kestrin::platform::test
