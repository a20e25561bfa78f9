// MessageBoxW: what the log records, from any thread, without blocking.
#include <gtest/gtest.h>

#include <vector>

#include "platform/test_hooks.h"
#include "tests/platform_win32/win32_test_support.h"

namespace kestrin::platform::test {
namespace {

TEST(Win32MessageBox, RecordsOwnerUtf16TextCaptionAndStyle) {
    hooks::reset();
    EXPECT_EQ(MessageBoxW(nullptr, L"スレッド初期化に失敗しました", L"Kestrin",
                          MB_SYSTEMMODAL | MB_ICONERROR),
              IDOK);
    const std::vector<hooks::MessageBoxRecord> boxes = hooks::messageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].owner, nullptr);
    EXPECT_EQ(boxes[0].text, u"スレッド初期化に失敗しました");
    EXPECT_EQ(boxes[0].text, hooks::utf16("スレッド初期化に失敗しました"));
    EXPECT_EQ(boxes[0].text.size(), 14u); // one UTF-16 unit per character
    EXPECT_EQ(boxes[0].text[0], char16_t{0x30B9});
    EXPECT_EQ(boxes[0].caption, u"Kestrin");
    EXPECT_EQ(boxes[0].style, 0x1010u);
    EXPECT_EQ(boxes[0].utf8(), "スレッド初期化に失敗しました");
    EXPECT_EQ(hooks::callCount("MessageBoxW"), 1);
}

TEST(Win32MessageBox, TextOutsideTheBasicPlaneBecomesASurrogatePair) {
    hooks::reset();
    HWND owner = reinterpret_cast<HWND>(static_cast<uintptr_t>(0x1234));
    MessageBoxW(owner, L"a\U0001F600b", nullptr, MB_OK);
    const auto boxes = hooks::messageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].owner, owner);
    EXPECT_EQ(boxes[0].text, (std::u16string{u'a', char16_t{0xD83D}, char16_t{0xDE00}, u'b'}));
    EXPECT_EQ(boxes[0].utf8(), "a\xF0\x9F\x98\x80"
                               "b");
    EXPECT_EQ(boxes[0].caption, u"Error");          // Windows' caption when none is given
    EXPECT_EQ(hooks::utf16("\xE3\x81"), u"\uFFFD"); // a cut-off sequence is not a character
}

TEST(Win32MessageBox, BoxesFromSeveralThreadsAreAllRecorded) {
    hooks::reset();
    std::vector<HANDLE> threads;
    for (int t = 0; t < 4; ++t) {
        threads.push_back(startThread([] {
            for (int i = 0; i < 5; ++i) MessageBoxW(nullptr, L"x", L"Kestrin", MB_OK);
            return 0u;
        }));
    }
    for (HANDLE thread : threads) {
        EXPECT_EQ(WaitForSingleObject(thread, kDeadlineMs), WAIT_OBJECT_0);
        CloseHandle(thread);
    }
    EXPECT_EQ(hooks::messageBoxes().size(), 20u);

    hooks::failCall("MessageBoxW", 1, E_FAIL);
    EXPECT_EQ(MessageBoxW(nullptr, L"lost", L"Kestrin", MB_OK), 0);
    EXPECT_EQ(hooks::messageBoxes().size(), 20u);
    hooks::reset();
    EXPECT_TRUE(hooks::messageBoxes().empty());
}

} // namespace
} // namespace kestrin::platform::test
