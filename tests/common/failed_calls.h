// Readable failed-call records in test messages, and a shorter way to write the expected ones.
#pragma once

#include <cstdint>
#include <ios>
#include <ostream>
#include <vector>

#include "platform/test_hooks.h"

namespace kestrin::platform::hooks {

inline void PrintTo(const FailedCall& call, std::ostream* os) {
    *os << "{" << call.method << ", 0x" << std::hex << static_cast<uint32_t>(call.result)
        << std::dec << (call.planned ? ", planned}" : ", genuine}");
}

} // namespace kestrin::platform::hooks

namespace kestrin::test_support {

using FailedCalls = std::vector<platform::hooks::FailedCall>;

inline platform::hooks::FailedCall planned(const char* method, HRESULT result) {
    return {method, result, true};
}

inline platform::hooks::FailedCall genuine(const char* method, HRESULT result) {
    return {method, result, false};
}

} // namespace kestrin::test_support
