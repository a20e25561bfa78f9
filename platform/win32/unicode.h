// Text conversions of the stand-ins. Native wide strings are UTF-32 (wchar_t is 32-bit here);
// the hooks record text as UTF-16, as Windows holds it, and print it as UTF-8. Anything that is
// not a valid character (a lone surrogate, a value above U+10FFFF, a broken UTF-8 sequence)
// becomes U+FFFD.
#pragma once

#include <string>
#include <string_view>

namespace kestrin::platform::win32 {

std::u16string utf16FromWide(std::wstring_view text);
std::u16string utf16FromUtf8(std::string_view text);
std::string utf8FromUtf16(std::u16string_view text);

} // namespace kestrin::platform::win32
