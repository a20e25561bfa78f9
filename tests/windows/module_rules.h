// What the shipped programs must look like from the outside, checked on their files: the
// libraries they import from, what they export, ASLR and DEP, and kestrin.auf's resources (the
// compiled effect, the version block, the manifest).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/windows/pe_image.h"

namespace kestrin::pe {

struct Expectations {
    bool dll = false;
    // Import only from these (case-insensitive), and from each of `requiredImports`.
    std::optional<std::vector<std::string>> allowedImports;
    std::vector<std::string> requiredImports;
    std::optional<std::vector<std::string>> exports; // exactly these names
    std::optional<std::vector<uint8_t>> effect;      // RCDATA 104, language 0x0411, these bytes
    std::string version;                             // "0.9.0.2": the version block
    std::string executionLevel;                      // "asInvoker": the manifest's request
};

struct Finding {
    bool ok;
    std::string text; // what was checked and what was found
};

std::vector<Finding> checkImage(const Image& image, const Expectations& expected);

} // namespace kestrin::pe
