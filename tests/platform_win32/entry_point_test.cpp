// The entry helper every stand-in runs through: out-parameters cleared first, argument checks,
// the fault plan, the work, one exception guard, and one record of every failure. The bodies
// here are the tests' own, so that each step can be watched and made to throw.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

#include "d3d9.h"
#include "platform/entry_point.h"
#include "platform/win32/kernel_objects.h"
#include "tests/common/failed_calls.h"

namespace kestrin::platform::test {
namespace {

using test_support::FailedCalls;
using test_support::genuine;
using test_support::planned;

constexpr uint32_t kSentinel = 0xdeadbeef;
const EntryName kFetch{"ITestWidget", "Fetch"};

class EntryPoint : public ::testing::Test {
  protected:
    void SetUp() override { hooks::reset(); }
    void TearDown() override { hooks::reset(); }

    // ITestWidget::Fetch: refuses `valid == false`; otherwise hands over to the plan and sets its
    // outputs. Records whether the outputs were already clear when the checks ran.
    HRESULT fetch(bool valid, void** pointer, DWORD* number, OutBytes bytes) {
        return enter(kFetch, outputs(pointer, number, bytes), [&](auto& call) {
            clearWhenChecked = *pointer == nullptr && *number == 0 &&
                               std::all_of(static_cast<uint8_t*>(bytes.data),
                                           static_cast<uint8_t*>(bytes.data) + bytes.size,
                                           [](uint8_t b) { return b == 0; });
            if (!valid) return D3DERR_INVALIDCALL;
            return call.proceed([&] {
                ++worked;
                *pointer = this;
                *number = 7;
                return D3D_OK;
            });
        });
    }

    bool clearWhenChecked = false;
    int worked = 0;
};

TEST_F(EntryPoint, OutputsAreClearedBeforeTheChecksAndStayClearWhenTheCallFails) {
    void* pointer = nullptr;
    DWORD number = 0;
    uint8_t bytes[6];
    auto poison = [&] {
        pointer = reinterpret_cast<void*>(uintptr_t{kSentinel});
        number = kSentinel;
        std::memset(bytes, 0xbe, sizeof bytes);
        clearWhenChecked = false;
    };
    auto cleared = [&] {
        return pointer == nullptr && number == 0 && bytes[0] == 0 && bytes[sizeof bytes - 1] == 0;
    };

    poison();
    EXPECT_EQ(fetch(false, &pointer, &number, {bytes, sizeof bytes}), D3DERR_INVALIDCALL);
    EXPECT_TRUE(clearWhenChecked);
    EXPECT_TRUE(cleared());

    poison();
    hooks::failCall("ITestWidget::Fetch", 1, E_INVALIDARG);
    EXPECT_EQ(fetch(true, &pointer, &number, {bytes, sizeof bytes}), E_INVALIDARG);
    EXPECT_TRUE(clearWhenChecked);
    EXPECT_TRUE(cleared());
    EXPECT_EQ(worked, 0);

    poison();
    EXPECT_EQ(fetch(true, &pointer, &number, {bytes, sizeof bytes}), D3D_OK);
    EXPECT_EQ(number, 7u);
    EXPECT_EQ(worked, 1);

    // The order the plan saw: the refused call never reached it.
    EXPECT_EQ(hooks::callCount("ITestWidget::Fetch"), 2);
}

TEST_F(EntryPoint, PlannedFailuresReturnThePlannedValueWithoutWorkingAndAreLoggedAsPlanned) {
    const HRESULT refused = HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER);
    int worked = 0;
    void* self = this;
    hooks::failCall("ITestWidget::Count", 1, refused);
    hooks::failCall("TestHandle", 1, refused);
    hooks::failCall("TestFlag", 1, refused);

    EXPECT_EQ(enter({"ITestWidget", "Count"}, AnyValue<int>{-1},
                    [&](auto& call) { return call.proceed([&] { return ++worked; }); }),
              -1);
    EXPECT_EQ(enter({.function = "TestHandle"}, FailureValue<void*>{nullptr},
                    [&](auto& call) {
                        return call.proceed([&] {
                            ++worked;
                            return self;
                        });
                    }),
              nullptr);
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(enter({.function = "TestFlag"}, win32::LastErrorValue<BOOL>{FALSE},
                    [&](auto& call) { return call.proceed([&] { return ++worked; }); }),
              FALSE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(worked, 0);

    EXPECT_EQ(hooks::failedCalls(),
              (FailedCalls{planned("ITestWidget::Count", refused), planned("TestHandle", refused),
                           planned("TestFlag", refused)}));
}

TEST_F(EntryPoint, ExceptionsBecomeTheFailureValueAndAreLoggedAsGenuine) {
    // In the checks or in the work, whatever the result type.
    EXPECT_EQ(enter(kFetch, [](auto&) -> HRESULT { throw std::bad_alloc(); }), E_OUTOFMEMORY);
    EXPECT_EQ(enter(kFetch,
                    [](auto& call) {
                        return call.proceed([]() -> HRESULT { throw std::runtime_error("x"); });
                    }),
              E_FAIL);
    EXPECT_EQ(enter({.function = "TestHandle"}, FailureValue<void*>{nullptr},
                    [](auto&) -> void* { throw std::bad_alloc(); }),
              nullptr);
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(enter({.function = "TestFlag"}, win32::LastErrorValue<BOOL>{FALSE},
                    [](auto&) -> BOOL { throw std::bad_alloc(); }),
              FALSE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    // An exception thrown while the call was planned to fail is the call's own failure.
    hooks::failCall("ITestWidget::Fetch", 1, E_INVALIDARG);
    EXPECT_EQ(enter(kFetch,
                    [](auto& call) {
                        return call.close([]() -> HRESULT { throw std::runtime_error("x"); });
                    }),
              E_FAIL);

    EXPECT_EQ(
        hooks::failedCalls(),
        (FailedCalls{genuine("ITestWidget::Fetch", E_OUTOFMEMORY),
                     genuine("ITestWidget::Fetch", E_FAIL), genuine("TestHandle", E_OUTOFMEMORY),
                     genuine("TestFlag", E_OUTOFMEMORY), genuine("ITestWidget::Fetch", E_FAIL)}));
}

TEST_F(EntryPoint, GenuineFailuresAreLoggedWithTheirResultAndSuccessesAreNot) {
    auto refuse = [](auto&) { return D3DERR_INVALIDCALL; };
    auto failInWork = [](auto& call) { return call.proceed([] { return D3DERR_NOTAVAILABLE; }); };
    auto succeed = [](auto& call) { return call.proceed([] { return S_FALSE; }); };
    EXPECT_EQ(enter(kFetch, refuse), D3DERR_INVALIDCALL);
    EXPECT_EQ(enter(kFetch, failInWork), D3DERR_NOTAVAILABLE);
    EXPECT_EQ(enter(kFetch, succeed), S_FALSE);
    // A value that is an answer is never a failure; a Win32 failure is logged by its last error.
    EXPECT_EQ(enter({"ITestWidget", "Size"}, AnyValue<DWORD>{0}, [](auto&) { return DWORD{0}; }),
              0u);
    EXPECT_EQ(enter({.function = "TestFlag"}, win32::LastErrorValue<BOOL>{FALSE},
                    [](auto&) -> BOOL {
                        SetLastError(ERROR_INVALID_HANDLE);
                        return FALSE;
                    }),
              FALSE);
    // A body that never hands over is unknown to the plan.
    EXPECT_EQ(enter({.function = "TestUnplanned"}, [](auto&) { return D3D_OK; }), D3D_OK);

    EXPECT_EQ(hooks::failedCalls(),
              (FailedCalls{genuine("ITestWidget::Fetch", D3DERR_INVALIDCALL),
                           genuine("ITestWidget::Fetch", D3DERR_NOTAVAILABLE),
                           genuine("TestFlag", HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE))}));
    EXPECT_EQ(hooks::callLog(),
              (std::vector<std::string>{"ITestWidget::Fetch", "ITestWidget::Fetch"}));
    hooks::reset();
    EXPECT_TRUE(hooks::failedCalls().empty());
}

TEST_F(EntryPoint, ClosingCallsWorkEvenWhenPlannedToFail) {
    bool open = true;
    auto close = [&](auto& call) {
        if (!open) return D3DERR_INVALIDCALL;
        return call.close([&] {
            open = false;
            return D3D_OK;
        });
    };
    hooks::failCall("ITestWidget::Fetch", 1, E_FAIL);
    EXPECT_EQ(enter(kFetch, close), E_FAIL);
    EXPECT_FALSE(open);
    EXPECT_EQ(enter(kFetch, close), D3DERR_INVALIDCALL);
    EXPECT_EQ(hooks::failedCalls(),
              (FailedCalls{planned("ITestWidget::Fetch", E_FAIL),
                           genuine("ITestWidget::Fetch", D3DERR_INVALIDCALL)}));
}

} // namespace
} // namespace kestrin::platform::test
