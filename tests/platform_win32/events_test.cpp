// Events as the render worker's hand-over uses them: auto-reset start/done events, pending sets,
// timeouts, and handles that are misused.
#include <gtest/gtest.h>

#include <chrono>

#include "tests/platform_win32/win32_test_support.h"

namespace kestrin::platform::test {
namespace {

// Starts a thread that waits on `event` for up to `ms` and ends with the wait's result.
HANDLE startWaiter(HANDLE event, DWORD ms = kDeadlineMs) {
    return startThread(
        [event, ms] { return static_cast<unsigned>(WaitForSingleObject(event, ms)); });
}

DWORD exitCodeOf(HANDLE thread) {
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    return code;
}

TEST(Win32AutoResetEvent, SetReleasesExactlyOneWaiterAndTheNextSetTheOther) {
    ScopedHandle event(makeEvent(false, false));
    ScopedHandle a(startWaiter(event.get()));
    ScopedHandle b(startWaiter(event.get()));
    ASSERT_TRUE(a && b);
    ASSERT_TRUE(waitForWaiters(event.get(), 2));

    ASSERT_TRUE(SetEvent(event.get()));
    // One waiter ends; the other stays parked on the event.
    HANDLE released = nullptr;
    HANDLE parked = nullptr;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
    while (!released && std::chrono::steady_clock::now() < deadline) {
        if (WaitForSingleObject(a.get(), 1) == WAIT_OBJECT_0)
            released = a.get(), parked = b.get();
        else if (WaitForSingleObject(b.get(), 1) == WAIT_OBJECT_0)
            released = b.get(), parked = a.get();
    }
    ASSERT_NE(released, nullptr);
    EXPECT_EQ(exitCodeOf(released), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(parked, 50), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(win32::waitingThreads(event.get()), 1);

    ASSERT_TRUE(SetEvent(event.get()));
    ASSERT_EQ(WaitForSingleObject(parked, kDeadlineMs), WAIT_OBJECT_0);
    EXPECT_EQ(exitCodeOf(parked), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST(Win32AutoResetEvent, TwoSetsWhileTwoThreadsWaitReleaseBoth) {
    ScopedHandle event(makeEvent(false, false));
    ScopedHandle a(startWaiter(event.get()));
    ScopedHandle b(startWaiter(event.get()));
    ASSERT_TRUE(waitForWaiters(event.get(), 2));

    ASSERT_TRUE(SetEvent(event.get()));
    ASSERT_TRUE(SetEvent(event.get()));
    ASSERT_EQ(WaitForSingleObject(a.get(), kDeadlineMs), WAIT_OBJECT_0);
    ASSERT_EQ(WaitForSingleObject(b.get(), kDeadlineMs), WAIT_OBJECT_0);
    EXPECT_EQ(exitCodeOf(a.get()), WAIT_OBJECT_0);
    EXPECT_EQ(exitCodeOf(b.get()), WAIT_OBJECT_0);
    // Each set went to a waiter; nothing is left pending.
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST(Win32AutoResetEvent, SetWithNobodyWaitingIsConsumedByTheNextWaitOnly) {
    ScopedHandle event(makeEvent(false, false));
    ASSERT_TRUE(SetEvent(event.get()));
    Sleep(10);
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event.get(), 20), static_cast<DWORD>(WAIT_TIMEOUT));

    // A thread that starts waiting after the set takes it just the same.
    ASSERT_TRUE(SetEvent(event.get()));
    ScopedHandle late(startWaiter(event.get()));
    ASSERT_EQ(WaitForSingleObject(late.get(), kDeadlineMs), WAIT_OBJECT_0);
    EXPECT_EQ(exitCodeOf(late.get()), WAIT_OBJECT_0);
}

TEST(Win32AutoResetEvent, SetsWhilePendingCoalesce) {
    ScopedHandle event(makeEvent(false, false));
    ASSERT_TRUE(SetEvent(event.get()));
    ASSERT_TRUE(SetEvent(event.get()));
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event.get(), 20), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST(Win32AutoResetEvent, InitialStateAndResetEvent) {
    ScopedHandle initiallySet(makeEvent(false, true));
    EXPECT_EQ(WaitForSingleObject(initiallySet.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(initiallySet.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

    ScopedHandle event(makeEvent(false, false));
    ASSERT_TRUE(SetEvent(event.get()));
    ASSERT_TRUE(ResetEvent(event.get()));
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST(Win32ManualResetEvent, StaysSetForEveryWaitUntilReset) {
    ScopedHandle event(makeEvent(true, false));
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    ScopedHandle a(startWaiter(event.get()));
    ScopedHandle b(startWaiter(event.get()));
    ASSERT_TRUE(waitForWaiters(event.get(), 2));

    ASSERT_TRUE(SetEvent(event.get()));
    ASSERT_EQ(WaitForSingleObject(a.get(), kDeadlineMs), WAIT_OBJECT_0);
    ASSERT_EQ(WaitForSingleObject(b.get(), kDeadlineMs), WAIT_OBJECT_0);
    EXPECT_EQ(exitCodeOf(a.get()), WAIT_OBJECT_0);
    EXPECT_EQ(exitCodeOf(b.get()), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);

    ASSERT_TRUE(ResetEvent(event.get()));
    EXPECT_EQ(WaitForSingleObject(event.get(), 10), static_cast<DWORD>(WAIT_TIMEOUT));

    ScopedHandle initiallySet(makeEvent(true, true));
    EXPECT_EQ(WaitForSingleObject(initiallySet.get(), 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(initiallySet.get(), 0), WAIT_OBJECT_0);
}

TEST(Win32Wait, TimesOutAfterTheGivenTime) {
    ScopedHandle event(makeEvent(false, false));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForSingleObject(event.get(), 60), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(60));
}

// The render worker's pattern: data written before a set is visible after the matching wait,
// in both directions, over many hand-overs (ThreadSanitizer checks the ordering).
TEST(Win32Wait, HandOverPublishesPlainWrites) {
    ScopedHandle start(makeEvent(false, false));
    ScopedHandle done(makeEvent(false, false));
    int job = 0;
    int result = 0;
    bool stop = false;
    ScopedHandle worker(startThread([&] {
        for (;;) {
            if (WaitForSingleObject(start.get(), kDeadlineMs) != WAIT_OBJECT_0) return 1u;
            if (stop) break;
            result = job * 2;
            SetEvent(done.get());
        }
        SetEvent(done.get());
        return 0u;
    }));
    ASSERT_TRUE(worker);
    for (int i = 1; i <= 500; ++i) {
        job = i;
        ASSERT_TRUE(SetEvent(start.get()));
        ASSERT_EQ(WaitForSingleObject(done.get(), kDeadlineMs), WAIT_OBJECT_0);
        ASSERT_EQ(result, 2 * i);
    }
    stop = true;
    ASSERT_TRUE(SetEvent(start.get()));
    ASSERT_EQ(WaitForSingleObject(worker.get(), kDeadlineMs), WAIT_OBJECT_0);
    EXPECT_EQ(exitCodeOf(worker.get()), 0u);
    EXPECT_EQ(WaitForSingleObject(done.get(), 0), WAIT_OBJECT_0);
}

TEST(Win32Handles, MisuseIsRefusedWithoutHarm) {
    HANDLE event = makeEvent(false, false);
    ASSERT_NE(event, nullptr);
    EXPECT_TRUE(CloseHandle(event));
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(CloseHandle(event));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_FAILED);
    EXPECT_FALSE(SetEvent(event));
    EXPECT_FALSE(ResetEvent(event));

    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
    EXPECT_FALSE(SetEvent(nullptr));
    HANDLE madeUp = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7654320));
    EXPECT_EQ(WaitForSingleObject(madeUp, 0), WAIT_FAILED);
    EXPECT_FALSE(CloseHandle(madeUp));

    // A thread handle is not an event.
    ScopedHandle thread(startThread([] { return 0u; }));
    EXPECT_FALSE(SetEvent(thread.get()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(WaitForSingleObject(thread.get(), kDeadlineMs), WAIT_OBJECT_0);
}

TEST(Win32Handles, ClosingWhileAnotherThreadWaitsLeavesTheWaitRunning) {
    HANDLE event = makeEvent(false, false);
    ScopedHandle waiter(startWaiter(event, 100));
    ASSERT_TRUE(waitForWaiters(event, 1));
    EXPECT_TRUE(CloseHandle(event));
    ASSERT_EQ(WaitForSingleObject(waiter.get(), kDeadlineMs), WAIT_OBJECT_0);
    EXPECT_EQ(exitCodeOf(waiter.get()), static_cast<DWORD>(WAIT_TIMEOUT));
}

} // namespace
} // namespace kestrin::platform::test
