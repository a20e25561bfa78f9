// mbstowcs_s in the runtime's default locale, with the Microsoft rules for counts and buffers.
#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

#include "windows.h"

namespace {

TEST(Win32Mbstowcs, EveryByteWidensToTheSameValue) {
    wchar_t out[8];
    size_t converted = 99;
    EXPECT_EQ(mbstowcs_s(&converted, out, 8, "A\x82\xA0\xFF\x7F", _TRUNCATE), 0);
    EXPECT_EQ(converted, 6u); // five characters and the NUL
    EXPECT_EQ(out[0], L'A');
    EXPECT_EQ(out[1], wchar_t{0x82});
    EXPECT_EQ(out[2], wchar_t{0xA0});
    EXPECT_EQ(out[3], wchar_t{0xFF});
    EXPECT_EQ(out[4], wchar_t{0x7F});
    EXPECT_EQ(out[5], L'\0');
}

// How an error buffer of n bytes is converted: buffer n, count n - 1.
TEST(Win32Mbstowcs, CountOfBufferMinusOneAlwaysFits) {
    const char text[] = "error X3000: \x93\xFA"; // NUL-terminated, 16 bytes with it
    const size_t n = sizeof text;
    std::vector<wchar_t> out(n, L'?');
    EXPECT_EQ(mbstowcs_s(nullptr, out.data(), n, text, n - 1), 0);
    EXPECT_EQ(out[n - 2], wchar_t{0xFA});
    EXPECT_EQ(out[n - 1], L'\0');

    // A text without its NUL inside the first n - 1 bytes is cut there.
    const char unterminated[] = {'a', 'b', 'c', 'd', 'e', 'f', '\0'};
    wchar_t four[4];
    size_t converted = 0;
    EXPECT_EQ(mbstowcs_s(&converted, four, 4, unterminated, 3), 0);
    EXPECT_EQ(converted, 4u);
    EXPECT_EQ(std::wstring(four), L"abc");
}

TEST(Win32Mbstowcs, TooSmallBufferIsERangeWithAnEmptyResult) {
    wchar_t out[4] = {L'x', L'x', L'x', L'x'};
    size_t converted = 99;
    errno = 0;
    EXPECT_EQ(mbstowcs_s(&converted, out, 4, "abcd", 4), ERANGE);
    EXPECT_EQ(errno, ERANGE);
    EXPECT_EQ(out[0], L'\0');
    EXPECT_EQ(converted, 0u);

    // Exactly enough room for the text and its NUL.
    EXPECT_EQ(mbstowcs_s(&converted, out, 4, "abc", 10), 0);
    EXPECT_EQ(converted, 4u);
    EXPECT_EQ(std::wstring(out), L"abc");

    // _TRUNCATE keeps what fits.
    EXPECT_EQ(mbstowcs_s(&converted, out, 4, "abcdef", _TRUNCATE), STRUNCATE);
    EXPECT_EQ(converted, 4u);
    EXPECT_EQ(std::wstring(out), L"abc");
}

TEST(Win32Mbstowcs, NullDestinationAsksForTheSizeAndBadArgumentsAreEInval) {
    size_t converted = 0;
    EXPECT_EQ(mbstowcs_s(&converted, nullptr, 0, "\x82\xA0xyz", 2), 0);
    EXPECT_EQ(converted, 6u); // the whole text and its NUL, whatever the count

    wchar_t out[4] = {L'x', L'x', L'x', L'x'};
    errno = 0;
    EXPECT_EQ(mbstowcs_s(&converted, nullptr, 4, "abc", 3), EINVAL);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(mbstowcs_s(&converted, out, 0, "abc", 3), EINVAL);
    EXPECT_EQ(out[0], L'x'); // a zero-sized buffer is not touched
    EXPECT_EQ(mbstowcs_s(&converted, out, 4, nullptr, 3), EINVAL);
    EXPECT_EQ(out[0], L'\0');
    EXPECT_EQ(converted, 0u);

    EXPECT_EQ(mbstowcs_s(&converted, out, "ab", _TRUNCATE), 0); // the array form
    EXPECT_EQ(std::wstring(out), L"ab");
    EXPECT_EQ(mbstowcs_s(&converted, out, 4, "", 0), 0);
    EXPECT_EQ(converted, 1u);
    EXPECT_EQ(out[0], L'\0');
}

} // namespace
