// The test hooks: fault plan, call log, creation failures, nothrow allocation failure, live
// objects and the device's profile and script.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <new>
#include <vector>

#include "platform/com_object.h"
#include "platform/test_hooks.h"
#include "tests/platform_win32/win32_test_support.h"

namespace kestrin::platform::test {
namespace {

class TestHooks : public ::testing::Test {
  protected:
    void SetUp() override { hooks::reset(); }
    void TearDown() override { hooks::reset(); }
};

bool fails(const char* method, HRESULT* result = nullptr) {
    HRESULT ignored = S_OK;
    return hooks::shouldFail(method, result ? result : &ignored);
}

TEST_F(TestHooks, NthCallFailsOnceCountedFromWhenPlanned) {
    EXPECT_FALSE(fails("IDirect3DDevice9::CreateTexture"));
    hooks::failCall("IDirect3DDevice9::CreateTexture", 2, E_OUTOFMEMORY);
    HRESULT result = S_OK;
    EXPECT_FALSE(fails("IDirect3DDevice9::CreateTexture", &result));
    EXPECT_TRUE(fails("IDirect3DDevice9::CreateTexture", &result));
    EXPECT_EQ(result, E_OUTOFMEMORY);
    EXPECT_FALSE(fails("IDirect3DDevice9::CreateTexture"));
    EXPECT_FALSE(fails("IDirect3DDevice9::CreateSurface")); // other names are not touched

    hooks::failCall("ID3DXEffect::SetFloat", 1, E_FAIL, /*repeat=*/true);
    EXPECT_TRUE(fails("ID3DXEffect::SetFloat", &result));
    EXPECT_EQ(result, E_FAIL);
    EXPECT_TRUE(fails("ID3DXEffect::SetFloat"));
    EXPECT_TRUE(fails("ID3DXEffect::SetFloat"));
    hooks::failCall("ID3DXEffect::Begin", 3, E_FAIL, /*repeat=*/true);
    EXPECT_FALSE(fails("ID3DXEffect::Begin"));
    EXPECT_FALSE(fails("ID3DXEffect::Begin"));
    EXPECT_TRUE(fails("ID3DXEffect::Begin"));
    EXPECT_TRUE(fails("ID3DXEffect::Begin"));

    hooks::reset();
    EXPECT_FALSE(fails("ID3DXEffect::SetFloat"));
    EXPECT_EQ(hooks::callCount("ID3DXEffect::SetFloat"), 1);
}

TEST_F(TestHooks, CallLogKeepsEveryCallInOrderUntilReset) {
    fails("Direct3DCreate9");
    fails("IDirect3D9::CreateDevice");
    fails("Direct3DCreate9");
    EXPECT_EQ(hooks::callLog(),
              (std::vector<std::string>{"Direct3DCreate9", "IDirect3D9::CreateDevice",
                                        "Direct3DCreate9"}));
    EXPECT_EQ(hooks::callCount("Direct3DCreate9"), 2);
    EXPECT_EQ(hooks::callCount("IDirect3D9::Release"), 0);
    hooks::reset();
    EXPECT_TRUE(hooks::callLog().empty());
    EXPECT_EQ(hooks::callCount("Direct3DCreate9"), 0);
}

TEST_F(TestHooks, CallsFromManyThreadsAreCountedExactlyAndFailOnce) {
    constexpr int kThreads = 4;
    constexpr int kCalls = 500;
    hooks::failCall("IDirect3DDevice9::DrawPrimitive", 1234, E_FAIL);
    std::atomic<int> failures{0};
    std::vector<HANDLE> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.push_back(startThread([&] {
            for (int i = 0; i < kCalls; ++i) {
                if (fails("IDirect3DDevice9::DrawPrimitive")) ++failures;
            }
            return 0u;
        }));
    }
    for (HANDLE thread : threads) {
        EXPECT_EQ(WaitForSingleObject(thread, kDeadlineMs), WAIT_OBJECT_0);
        CloseHandle(thread);
    }
    EXPECT_EQ(failures.load(), 1);
    EXPECT_EQ(hooks::callCount("IDirect3DDevice9::DrawPrimitive"), kThreads * kCalls);
    const std::vector<std::string> log = hooks::callLog();
    EXPECT_EQ(std::count(log.begin(), log.end(), "IDirect3DDevice9::DrawPrimitive"),
              kThreads * kCalls);
}

TEST_F(TestHooks, EventCreationFailsAtTheChosenCall) {
    ScopedHandle first(makeEvent(false, false));
    hooks::failEventCreation(2);
    ScopedHandle second(makeEvent(false, false));
    ScopedHandle third(makeEvent(false, false));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OUTOFMEMORY));
    ScopedHandle fourth(makeEvent(false, false));
    EXPECT_TRUE(first);
    EXPECT_TRUE(second);
    EXPECT_FALSE(third);
    EXPECT_TRUE(fourth);

    hooks::failCall("CreateEventW", 1, HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(makeEvent(true, false), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(hooks::callCount("CreateEventW"), 5);
}

TEST_F(TestHooks, WaitsAndSetsCanBeMadeToFail) {
    ScopedHandle event(makeEvent(false, true));
    hooks::failCall("WaitForSingleObject", 1, E_FAIL);
    EXPECT_EQ(WaitForSingleObject(event.get(), kDeadlineMs), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0); // the failed wait took nothing

    hooks::failCall("SetEvent", 1, E_FAIL);
    EXPECT_FALSE(SetEvent(event.get()));
    EXPECT_EQ(WaitForSingleObject(event.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(hooks::callLog(),
              (std::vector<std::string>{"CreateEventW", "WaitForSingleObject",
                                        "WaitForSingleObject", "SetEvent", "WaitForSingleObject"}));
}

// A planned CloseHandle still closes the handle: Windows refuses to close only what is not a
// handle, so nothing can be left open behind the failure.
TEST_F(TestHooks, PlannedCloseHandleStillClosesTheHandle) {
    HANDLE event = makeEvent(false, true);
    ASSERT_NE(event, nullptr);
    hooks::failCall("CloseHandle", 1, HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(CloseHandle(event));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    const std::vector<hooks::FailedCall> failed = hooks::failedCalls();
    ASSERT_EQ(failed.size(), 2u);
    EXPECT_TRUE(failed[0].planned);
    EXPECT_EQ(failed[1], (hooks::FailedCall{"WaitForSingleObject",
                                            HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE), false}));
}

// Keeps the compiler from removing an allocation whose result is only compared with null.
template <class T> T* escape(T* pointer) {
    asm volatile("" : : "g"(pointer) : "memory");
    return pointer;
}

struct Record {
    int fields[16];
};

TEST_F(TestHooks, NothrowAllocationFailsAtTheChosenAllocationOnly) {
    // Unarmed, allocations neither fail nor count.
    for (int i = 0; i < 3; ++i) delete escape(new (std::nothrow) Record);

    hooks::failNothrowAllocation(3);
    Record* first = escape(new (std::nothrow) Record);
    int* second = escape(new (std::nothrow) int[8]);
    Record* third = escape(new (std::nothrow) Record);
    Record* fourth = escape(new (std::nothrow) Record);
    EXPECT_NE(first, nullptr);
    EXPECT_NE(second, nullptr);
    EXPECT_EQ(third, nullptr);
    EXPECT_NE(fourth, nullptr);
    delete first;
    delete[] second;
    delete fourth;

    hooks::failNothrowAllocation(1);
    EXPECT_EQ(escape(new (std::nothrow) int[4]), nullptr); // the array form too
    hooks::failNothrowAllocation(1);
    hooks::failNothrowAllocation(0); // disarmed again
    Record* kept = escape(new (std::nothrow) Record);
    EXPECT_NE(kept, nullptr);
    delete kept;
}

class TestObject final : public ComObject<IUnknown> {
  protected:
    bool answers(REFIID) const override { return false; }
};

TEST_F(TestHooks, LiveObjectsFollowCreationAndFinalRelease) {
    const int before = hooks::liveObjects();
    auto* object = new TestObject;
    EXPECT_EQ(hooks::liveObjects(), before + 1);

    void* out = &out;
    const IID other = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    EXPECT_EQ(object->QueryInterface(other, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(object->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
    ASSERT_EQ(object->QueryInterface(IID_IUnknown, &out), S_OK);
    EXPECT_EQ(out, static_cast<IUnknown*>(object));

    EXPECT_EQ(object->Release(), 1u);
    EXPECT_EQ(hooks::liveObjects(), before + 1);
    EXPECT_EQ(object->Release(), 0u);
    EXPECT_EQ(hooks::liveObjects(), before);
}

TEST_F(TestHooks, DeviceProfileScriptAndCreateFlagUntilReset) {
    hooks::DeviceProfile profile;
    profile.textureCaps = 0x22;
    profile.signedFormat = false;
    profile.renderThreads = 3;
    hooks::setDeviceProfile(profile);
    EXPECT_EQ(hooks::deviceProfile().textureCaps, 0x22u);
    EXPECT_FALSE(hooks::deviceProfile().signedFormat);
    EXPECT_TRUE(hooks::deviceProfile().unsignedFormat);
    EXPECT_EQ(hooks::deviceProfile().renderThreads, 3);

    const HRESULT lost = static_cast<HRESULT>(0x88760868u);
    const HRESULT notReset = static_cast<HRESULT>(0x88760869u);
    hooks::scriptCooperativeLevel({lost, notReset});
    HRESULT answer = S_OK;
    ASSERT_TRUE(hooks::takeCooperativeLevelAnswer(&answer));
    EXPECT_EQ(answer, lost);
    ASSERT_TRUE(hooks::takeCooperativeLevelAnswer(&answer));
    EXPECT_EQ(answer, notReset);
    EXPECT_FALSE(hooks::takeCooperativeLevelAnswer(&answer));

    hooks::setDirect3DCreateFails(true);
    EXPECT_TRUE(hooks::direct3DCreateFails());
    EXPECT_TRUE(fails("Direct3DCreate9"));
    EXPECT_TRUE(fails("Direct3DCreate9"));

    hooks::scriptCooperativeLevel({lost});
    hooks::reset();
    EXPECT_FALSE(hooks::direct3DCreateFails());
    EXPECT_FALSE(fails("Direct3DCreate9"));
    EXPECT_FALSE(hooks::takeCooperativeLevelAnswer(&answer));
    EXPECT_EQ(hooks::deviceProfile().textureCaps, 0u);
    EXPECT_TRUE(hooks::deviceProfile().signedFormat);
    EXPECT_EQ(hooks::deviceProfile().renderThreads, 2);
}

} // namespace
} // namespace kestrin::platform::test
