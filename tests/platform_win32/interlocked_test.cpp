// Interlocked operations: their return values, and exact results under contention.
#include <gtest/gtest.h>

#include <vector>

#include "tests/platform_win32/win32_test_support.h"

namespace kestrin::platform::test {
namespace {

TEST(Win32Interlocked, ReturnValuesFollowWindows) {
    volatile LONG value = 5;
    EXPECT_EQ(InterlockedExchange(&value, 9), 5);
    EXPECT_EQ(InterlockedExchangeAdd(&value, 3), 9); // the value before
    EXPECT_EQ(InterlockedIncrement(&value), 13);     // the value after
    EXPECT_EQ(InterlockedDecrement(&value), 12);
    EXPECT_EQ(InterlockedCompareExchange(&value, 100, 11), 12); // no match: unchanged
    EXPECT_EQ(value, 12);
    EXPECT_EQ(InterlockedCompareExchange(&value, 100, 12), 12);
    EXPECT_EQ(value, 100);
    EXPECT_EQ(InterlockedExchangeAdd(&value, -101), 100);
    EXPECT_EQ(value, -1);

    int a = 0;
    int b = 0;
    PVOID volatile slot = &a;
    EXPECT_EQ(InterlockedExchangePointer(&slot, &b), &a);
    EXPECT_EQ(InterlockedCompareExchangePointer(&slot, nullptr, &a), &b);
    EXPECT_EQ(slot, &b);
    EXPECT_EQ(InterlockedExchangePointer(&slot, nullptr), &b); // take it out, leave null
    EXPECT_EQ(slot, nullptr);
}

// Rows claimed by fetch-and-add, as the copy kernels share out a frame: every row exactly once.
TEST(Win32Interlocked, FetchAndAddHandsOutEveryRowOnce) {
    constexpr LONG kRows = 20000;
    constexpr int kThreads = 4;
    volatile LONG nextRow = 0;
    volatile LONG total = 0;
    std::vector<unsigned char> claimed(kRows, 0);
    std::vector<HANDLE> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.push_back(startThread([&] {
            for (;;) {
                const LONG row = InterlockedExchangeAdd(&nextRow, 1);
                if (row >= kRows) break;
                claimed[row] += 1;
                InterlockedIncrement(&total);
                InterlockedExchangeAdd(&total, 2);
                InterlockedDecrement(&total);
                InterlockedDecrement(&total);
            }
            return 0u;
        }));
        ASSERT_NE(threads.back(), nullptr);
    }
    for (HANDLE thread : threads) {
        EXPECT_EQ(WaitForSingleObject(thread, kDeadlineMs), WAIT_OBJECT_0);
        CloseHandle(thread);
    }
    EXPECT_EQ(total, kRows);
    for (LONG row = 0; row < kRows; ++row) ASSERT_EQ(claimed[row], 1) << row;
}

} // namespace
} // namespace kestrin::platform::test
