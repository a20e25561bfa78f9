// Console reporting for the Wine check: failures are counted, and anything that keeps the check
// from running at all (no window, no device, unreadable input) is a SetupError.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <stdexcept>
#include <string>

namespace kestrin::winecheck {

// The environment cannot run the check (exit code 2), as opposed to a check that ran and failed.
class SetupError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

inline std::string hrText(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

class CheckLog {
  public:
    __attribute__((format(printf, 2, 3))) void info(const char* fmt, ...) {
        va_list args;
        va_start(args, fmt);
        std::vprintf(fmt, args);
        va_end(args);
        std::fputc('\n', stdout);
    }

    __attribute__((format(printf, 2, 3))) void fail(const char* fmt, ...) {
        ++failures_;
        std::fputs("FAIL: ", stdout);
        va_list args;
        va_start(args, fmt);
        std::vprintf(fmt, args);
        va_end(args);
        std::fputc('\n', stdout);
    }

    // A failed HRESULT counts as a failure; the result says whether the call succeeded.
    bool checkHr(HRESULT hr, const char* call) {
        if (SUCCEEDED(hr)) return true;
        fail("%s returned %s", call, hrText(hr).c_str());
        return false;
    }

    int failures() const { return failures_; }

  private:
    int failures_ = 0;
};

} // namespace kestrin::winecheck
