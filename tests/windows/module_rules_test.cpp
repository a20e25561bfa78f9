// The module checker on the kestrin.auf this build made: every rule holds, and each rule fails on
// a copy with just its fault put in (one flag cleared, one import renamed, one byte of the effect,
// the version strings or the manifest changed).
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "tests/windows/module_rules.h"

namespace kestrin::pe {
namespace {

std::vector<uint8_t> readFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

Expectations shipped() {
    Expectations e;
    e.dll = true;
    e.allowedImports = {"d3d9.dll", "d3dx9_40.dll", "KERNEL32.dll", "USER32.dll", "msvcrt.dll"};
    e.requiredImports = {"d3d9.dll", "d3dx9_40.dll"};
    e.exports = std::vector<std::string>{"GetFilterTable"};
    e.effect = readFile(KESTRIN_BUILT_EFFECT);
    e.version = KESTRIN_VERSION;
    e.executionLevel = "asInvoker";
    return e;
}

// The findings that failed, by the start of their text.
std::vector<std::string> failed(const std::vector<uint8_t>& file) {
    Image image;
    const std::string error = readImage(file, image);
    if (!error.empty()) return {"unreadable: " + error};
    std::vector<std::string> texts;
    for (const Finding& f : checkImage(image, shipped()))
        if (!f.ok) texts.push_back(f.text);
    return texts;
}

// Replaces the first occurrence of `from` after `start` by `to` (the same length).
bool replaceBytes(std::vector<uint8_t>& file, const std::string& from, const std::string& to,
                  size_t start = 0) {
    const auto at = std::search(file.begin() + static_cast<ptrdiff_t>(start), file.end(),
                                from.begin(), from.end());
    if (at == file.end() || from.size() != to.size()) return false;
    std::copy(to.begin(), to.end(), at);
    return true;
}

std::string utf16(const std::string& ascii) {
    std::string out;
    for (char c : ascii) out += {c, '\0'};
    return out;
}

class ModuleRules : public ::testing::Test {
  protected:
    void SetUp() override {
        module_ = readFile(KESTRIN_BUILT_MODULE);
        ASSERT_FALSE(module_.empty()) << "no " << KESTRIN_BUILT_MODULE;
        ASSERT_EQ(readImage(module_, image_), "");
    }
    const Resource& resource(uint32_t type) const {
        for (const Resource& r : image_.resources)
            if (r.type == type) return r;
        static const Resource none;
        return none;
    }
    std::vector<uint8_t> module_;
    Image image_;
};

TEST_F(ModuleRules, TheBuiltModuleKeepsEveryRule) {
    EXPECT_EQ(failed(module_), std::vector<std::string>{});
}

TEST_F(ModuleRules, EachFaultFailsItsRule) {
    struct Fault {
        const char* name;
        std::function<bool(std::vector<uint8_t>&)> put;
        const char* rule; // the start of the one finding that must fail
    };
    const size_t flags = image_.dllCharacteristicsOffset;
    const size_t effect = resource(10).fileOffset, version = resource(16).fileOffset,
                 manifest = resource(24).fileOffset;
    const Fault faults[] = {
        {"no ASLR", [&](auto& f) { return (f[flags] &= 0xBF), true; },
         "DllCharacteristics: DYNAMIC"},
        {"no DEP", [&](auto& f) { return (f[flags + 1] &= 0xFE), true; }, "DllCharacteristics: NX"},
        {"a runtime DLL", [](auto& f) { return replaceBytes(f, "msvcrt.dll", "libgcc.dll"); },
         "imports only from"},
        {"another export",
         [](auto& f) { return replaceBytes(f, "GetFilterTable", "GetFilterTabl_"); },
         "exports exactly"},
        {"one byte of the effect", [&](auto& f) { return (f[effect + 200] ^= 1), true; },
         "RCDATA 104 equals"},
        {"another file name",
         [&](auto& f) {
             return replaceBytes(f, utf16("kestrin.auf"), utf16("kestrin.dll"), version);
         },
         "version string InternalName"},
        {"another product name",
         [&](auto& f) { return replaceBytes(f, utf16("Kestrin"), utf16("Kestrel"), version); },
         "version string ProductName"},
        {"administrator rights",
         [&](auto& f) { return replaceBytes(f, "asInvoker", "highestAv", manifest); },
         "manifest requests"},
    };
    for (const Fault& fault : faults) {
        SCOPED_TRACE(fault.name);
        std::vector<uint8_t> copy = module_;
        ASSERT_TRUE(fault.put(copy));
        const std::vector<std::string> texts = failed(copy);
        ASSERT_EQ(texts.size(), 1u) << ::testing::PrintToString(texts);
        EXPECT_EQ(texts[0].rfind(fault.rule, 0), 0u) << texts[0];
    }
}

} // namespace
} // namespace kestrin::pe
