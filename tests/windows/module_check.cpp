// kestrin-module-check: checks a built Windows program from its file, without Windows.
//
//   kestrin-module-check FILE [--dll] [--imports A,B,...] [--require-imports A,B,...]
//                             [--exports A,B,... | --no-exports] [--effect FXO]
//                             [--version A.B.C.D] [--manifest LEVEL]
//
// Prints each check as "ok" or "FAIL" with what it found, and the imports for the record.
// Exit code 0: every check passed; 1: one failed; 2: bad arguments or an unreadable file.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/windows/module_rules.h"

namespace {

std::vector<std::string> split(const std::string& list) {
    std::vector<std::string> items;
    size_t at = 0;
    while (at <= list.size()) {
        const size_t comma = list.find(',', at);
        const std::string item = list.substr(at, comma == std::string::npos ? comma : comma - at);
        if (!item.empty()) items.push_back(item);
        if (comma == std::string::npos) break;
        at = comma + 1;
    }
    return items;
}

bool readFile(const std::string& path, std::vector<uint8_t>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

int usage(const std::string& why) {
    std::fprintf(stderr, "kestrin-module-check: %s\n", why.c_str());
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage("usage: kestrin-module-check FILE [checks...]");
    const std::string file = argv[1];
    kestrin::pe::Expectations expected;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--dll") {
            expected.dll = true;
        } else if (arg == "--no-exports") {
            expected.exports = std::vector<std::string>{};
        } else if (i + 1 >= argc) {
            return usage("option " + arg + " needs a value");
        } else if (arg == "--imports") {
            expected.allowedImports = split(argv[++i]);
        } else if (arg == "--require-imports") {
            expected.requiredImports = split(argv[++i]);
        } else if (arg == "--exports") {
            expected.exports = split(argv[++i]);
        } else if (arg == "--effect") {
            std::vector<uint8_t> effect;
            if (!readFile(argv[++i], effect)) return usage(std::string("cannot read ") + argv[i]);
            expected.effect = effect;
        } else if (arg == "--version") {
            expected.version = argv[++i];
        } else if (arg == "--manifest") {
            expected.executionLevel = argv[++i];
        } else {
            return usage("unknown option " + arg);
        }
    }

    std::vector<uint8_t> bytes;
    if (!readFile(file, bytes)) return usage("cannot read " + file);
    kestrin::pe::Image image;
    if (std::string e = kestrin::pe::readImage(bytes, image); !e.empty())
        return usage(file + ": " + e);

    std::printf("%s: %zu bytes\n", file.c_str(), bytes.size());
    for (const kestrin::pe::Import& imp : image.imports) {
        std::string functions;
        for (const std::string& f : imp.functions) functions += " " + f;
        std::printf("  imports from %s:%s\n", imp.dll.c_str(), functions.c_str());
    }
    int failures = 0;
    for (const kestrin::pe::Finding& f : kestrin::pe::checkImage(image, expected)) {
        std::printf("%s %s\n", f.ok ? "ok  " : "FAIL", f.text.c_str());
        failures += f.ok ? 0 : 1;
    }
    std::printf("RESULT: %s\n", failures ? "FAIL" : "PASS");
    return failures ? 1 : 0;
}
