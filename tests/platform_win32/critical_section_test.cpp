// Critical sections: embedded in a record, recursive for the owner, exclusive for others.
#include <gtest/gtest.h>

#include <new>
#include <vector>

#include "tests/platform_win32/win32_test_support.h"

namespace kestrin::platform::test {
namespace {

// A record that embeds its lock, as the render worker's does.
struct Record {
    CRITICAL_SECTION lock;
    HANDLE event = nullptr;
    int counter = 0;
};

TEST(Win32CriticalSection, IsRecursiveForItsOwnerAndExcludesOthers) {
    auto* record = new (std::nothrow) Record;
    ASSERT_NE(record, nullptr);
    InitializeCriticalSection(&record->lock);

    EnterCriticalSection(&record->lock);
    EnterCriticalSection(&record->lock); // again, by the owner: must not block
    EXPECT_TRUE(TryEnterCriticalSection(&record->lock));

    auto othersTry = [&] {
        ScopedHandle other(
            startThread([&] { return TryEnterCriticalSection(&record->lock) ? 1u : 0u; }));
        EXPECT_EQ(WaitForSingleObject(other.get(), kDeadlineMs), WAIT_OBJECT_0);
        DWORD entered = 2;
        GetExitCodeThread(other.get(), &entered);
        if (entered == 1) LeaveCriticalSection(&record->lock); // never expected; keep it sane
        return entered;
    };
    LeaveCriticalSection(&record->lock);
    LeaveCriticalSection(&record->lock);
    EXPECT_EQ(othersTry(), 0u); // still held once
    LeaveCriticalSection(&record->lock);

    // Released as often as entered: another thread gets it and holds it until it leaves.
    ScopedHandle entered(makeEvent(true, false));
    ScopedHandle release(makeEvent(false, false));
    ScopedHandle holder(startThread([&] {
        EnterCriticalSection(&record->lock);
        SetEvent(entered.get());
        const DWORD waited = WaitForSingleObject(release.get(), kDeadlineMs);
        LeaveCriticalSection(&record->lock);
        return waited == WAIT_OBJECT_0 ? 0u : 1u;
    }));
    ASSERT_EQ(WaitForSingleObject(entered.get(), kDeadlineMs), WAIT_OBJECT_0);
    EXPECT_FALSE(TryEnterCriticalSection(&record->lock));
    ASSERT_TRUE(SetEvent(release.get()));
    EnterCriticalSection(&record->lock); // blocks until the holder leaves
    EnterCriticalSection(&record->lock);
    LeaveCriticalSection(&record->lock);
    LeaveCriticalSection(&record->lock);
    ASSERT_EQ(WaitForSingleObject(holder.get(), kDeadlineMs), WAIT_OBJECT_0);

    DeleteCriticalSection(&record->lock);
    DeleteCriticalSection(&record->lock); // a second delete finds nothing to free
    delete record;
}

TEST(Win32CriticalSection, KeepsPlainCountersExactUnderContention) {
    CRITICAL_SECTION lock;
    ASSERT_TRUE(InitializeCriticalSectionAndSpinCount(&lock, 4000));
    long counter = 0;
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    std::vector<HANDLE> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.push_back(startThread([&] {
            for (int i = 0; i < kRounds; ++i) {
                EnterCriticalSection(&lock);
                EnterCriticalSection(&lock);
                ++counter;
                LeaveCriticalSection(&lock);
                LeaveCriticalSection(&lock);
            }
            return 0u;
        }));
        ASSERT_NE(threads.back(), nullptr);
    }
    for (HANDLE thread : threads) {
        EXPECT_EQ(WaitForSingleObject(thread, kDeadlineMs), WAIT_OBJECT_0);
        CloseHandle(thread);
    }
    EXPECT_EQ(counter, long{kThreads} * kRounds);
    DeleteCriticalSection(&lock);
}

} // namespace
} // namespace kestrin::platform::test
