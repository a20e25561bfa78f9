// MessageBoxW: recorded and printed, never shown, never waits for a user.
#include <cstdio>
#include <string>

#include "platform/test_hooks.h"
#include "platform/win32/kernel_objects.h"
#include "platform/win32/unicode.h"

namespace kestrin::platform::win32 {
namespace {

// The id of the first button of each button set, which a user pressing Enter would choose.
int firstButton(UINT type) {
    switch (type & MB_TYPEMASK) {
    case MB_ABORTRETRYIGNORE:
        return IDABORT;
    case MB_YESNOCANCEL:
    case MB_YESNO:
        return IDYES;
    case MB_RETRYCANCEL:
        return IDRETRY;
    case MB_CANCELTRYCONTINUE:
        return IDCANCEL;
    default:
        return IDOK;
    }
}

// Line breaks are shown as "\n" so that every box stays on one line of the log.
std::string oneLine(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c == '\n') {
            out += "\\n";
        } else if (c != '\r') {
            out.push_back(c);
        }
    }
    return out;
}

} // namespace
} // namespace kestrin::platform::win32

using namespace kestrin::platform;
using namespace kestrin::platform::win32;

extern "C" int WINAPI MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
    return enter({.function = __func__}, LastErrorValue<int>{0}, [&](auto& call) {
        return call.proceed([&] {
            hooks::MessageBoxRecord record;
            record.owner = owner;
            record.text = utf16FromWide(text ? text : L"");
            record.caption =
                utf16FromWide(caption ? caption : L"Error"); // Windows' default caption
            record.style = type;
            const std::string line = "MessageBoxW [" + utf8FromUtf16(record.caption) + "] " +
                                     oneLine(record.utf8()) + "\n";
            hooks::recordMessageBox(record);
            std::fputs(line.c_str(), stderr);
            return firstButton(type);
        });
    });
}
