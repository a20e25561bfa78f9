// Module resources: registered tables, the table a loaded module exports, and lookups that must
// fail cleanly.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstring>
#include <string>

#include "platform/module_resources.h"
#include "platform/test_hooks.h"
#include "windows.h"

namespace kestrin::platform::test {
namespace {

const char kEffect[] = "fx bytes";
const char kNeutral[] = "neutral";
const char kEnglish[] = "english";
const KestrinResourceEntry kTable[] = {
    {10, 104, 0x0411, kEffect, sizeof kEffect},
    {10, 200, 0x0409, kEnglish, sizeof kEnglish},
    {10, 200, 0x0000, kNeutral, sizeof kNeutral},
    {6, 1, 0x0411, kEnglish, 3},
    {0, 0, 0, nullptr, 0},
};
const KestrinResourceEntry kOtherTable[] = {
    {10, 104, 0x0411, kNeutral, sizeof kNeutral},
    {0, 0, 0, nullptr, 0},
};

class Win32ModuleResources : public ::testing::Test {
  protected:
    void SetUp() override {
        hooks::reset();
        registerModuleResources(module, kTable);
        registerModuleResources(other, kOtherTable);
    }
    void TearDown() override {
        registerModuleResources(module, nullptr);
        registerModuleResources(other, nullptr);
        hooks::reset();
    }
    const HMODULE module = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x5000));
    const HMODULE other = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x6000));
};

TEST_F(Win32ModuleResources, FindLoadLockAndSizeTheEffect) {
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(104), RT_RCDATA);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(SizeofResource(module, found), sizeof kEffect);
    HGLOBAL loaded = LoadResource(module, found);
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(LockResource(loaded), static_cast<const void*>(kEffect));
    EXPECT_FALSE(FreeResource(loaded));

    EXPECT_EQ(FindResourceW(module, L"#104", RT_RCDATA), found);
    EXPECT_EQ(FindResourceExW(module, RT_RCDATA, MAKEINTRESOURCEW(104), 0x0411), found);
    EXPECT_EQ(FindResourceExW(module, RT_RCDATA, MAKEINTRESOURCEW(104), 0), found);
    EXPECT_EQ(hooks::callCount("FindResourceW"), 2);
    EXPECT_EQ(hooks::callCount("LoadResource"), 1);
}

TEST_F(Win32ModuleResources, FindResourcePrefersTheNeutralLanguageAndExWantsAnExactOne) {
    HRSRC neutral = FindResourceW(module, MAKEINTRESOURCEW(200), RT_RCDATA);
    ASSERT_NE(neutral, nullptr);
    EXPECT_EQ(LockResource(LoadResource(module, neutral)), static_cast<const void*>(kNeutral));
    HRSRC english = FindResourceExW(module, RT_RCDATA, MAKEINTRESOURCEW(200), 0x0409);
    ASSERT_NE(english, nullptr);
    EXPECT_EQ(LockResource(LoadResource(module, english)), static_cast<const void*>(kEnglish));

    EXPECT_EQ(FindResourceExW(module, RT_RCDATA, MAKEINTRESOURCEW(104), 0x0409), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_LANG_NOT_FOUND));
}

TEST_F(Win32ModuleResources, MissingNamesAndTypesAreReported) {
    EXPECT_EQ(FindResourceW(module, MAKEINTRESOURCEW(105), RT_RCDATA), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
    EXPECT_EQ(FindResourceW(module, MAKEINTRESOURCEW(104), MAKEINTRESOURCEW(3)), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
    EXPECT_EQ(FindResourceW(module, L"EFFECT", RT_RCDATA), nullptr);
    EXPECT_EQ(FindResourceW(module, L"#1x4", RT_RCDATA), nullptr);
    EXPECT_EQ(FindResourceW(module, L"#99999999", RT_RCDATA), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
    EXPECT_EQ(FindResourceW(module, nullptr, RT_RCDATA), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(Win32ModuleResources, ForeignOrMadeUpHandlesAreRefused) {
    HRSRC fromOther = FindResourceW(other, MAKEINTRESOURCEW(104), RT_RCDATA);
    ASSERT_NE(fromOther, nullptr);
    EXPECT_EQ(LoadResource(module, fromOther), nullptr);
    EXPECT_EQ(SizeofResource(module, fromOther), 0u);
    HRSRC inside = reinterpret_cast<HRSRC>(reinterpret_cast<uintptr_t>(&kTable[0]) + 4);
    EXPECT_EQ(LoadResource(module, inside), nullptr);
    EXPECT_EQ(LoadResource(module, nullptr), nullptr);
    EXPECT_EQ(LockResource(nullptr), nullptr);

    // Neither registered nor a loaded object: refused before anything is read through it.
    const HMODULE madeUp = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x7000));
    EXPECT_EQ(FindResourceW(madeUp, MAKEINTRESOURCEW(104), RT_RCDATA), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    registerModuleResources(other, nullptr);
    EXPECT_EQ(FindResourceW(other, MAKEINTRESOURCEW(104), RT_RCDATA), nullptr);
}

TEST_F(Win32ModuleResources, PlannedFailuresReachEveryStep) {
    hooks::failCall("FindResourceW", 1, E_FAIL);
    EXPECT_EQ(FindResourceW(module, MAKEINTRESOURCEW(104), RT_RCDATA), nullptr);
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(104), RT_RCDATA);
    ASSERT_NE(found, nullptr);
    hooks::failCall("LoadResource", 1, E_FAIL);
    EXPECT_EQ(LoadResource(module, found), nullptr);
    hooks::failCall("SizeofResource", 1, E_FAIL);
    EXPECT_EQ(SizeofResource(module, found), 0u);
    hooks::failCall("LockResource", 1, E_FAIL);
    EXPECT_EQ(LockResource(LoadResource(module, found)), nullptr);
}

// The road the plug-in's effect takes: a loaded module exporting its table.
TEST(Win32LoadedModuleResources, AreFoundThroughTheModuleHandle) {
    void* handle = dlopen(KESTRIN_TEST_RESOURCE_MODULE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    HMODULE module = static_cast<HMODULE>(handle);

    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(104), RT_RCDATA);
    ASSERT_NE(found, nullptr);
    const DWORD size = SizeofResource(module, found);
    const auto* bytes = static_cast<const char*>(LockResource(LoadResource(module, found)));
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(std::string(bytes, size), std::string("compiled effect bytes", size));
    EXPECT_NE(FindResourceW(module, MAKEINTRESOURCEW(7), RT_RCDATA), nullptr);
    EXPECT_EQ(FindResourceW(module, MAKEINTRESOURCEW(105), RT_RCDATA), nullptr);

    // The test program itself exports no table.
    EXPECT_EQ(FindResourceW(nullptr, MAKEINTRESOURCEW(104), RT_RCDATA), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND));
    dlclose(handle);
}

} // namespace
} // namespace kestrin::platform::test
