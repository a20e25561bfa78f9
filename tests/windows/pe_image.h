// What a 32-bit Windows module (PE32) says about itself, read from its file bytes: machine,
// flags, imports, exports, resources, and the version block of a version resource. Native code,
// so that the Windows build's outputs can be checked without Windows.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kestrin::pe {

struct Import {
    std::string dll;
    std::vector<std::string> functions; // "#N" for an import by ordinal
};

struct Resource {
    uint32_t type = 0, id = 0, language = 0; // named entries are not used by the project: skipped
    size_t fileOffset = 0;                   // of the data in the file
    std::vector<uint8_t> data;
};

struct Image {
    uint16_t machine = 0;
    uint16_t characteristics = 0;    // COFF header
    uint32_t timeDateStamp = 0;      // COFF header
    uint16_t dllCharacteristics = 0; // optional header
    size_t dllCharacteristicsOffset = 0;
    std::vector<Import> imports;
    std::vector<std::string> exports; // by name
    std::vector<Resource> resources;
};

// Reads `bytes` as a PE32 image. Empty on success, else what is wrong with it (every offset and
// count is checked against the file before it is used).
std::string readImage(const std::vector<uint8_t>& bytes, Image& image);

// The parts of a version resource (VS_VERSIONINFO).
struct VersionInfo {
    uint16_t fileVersion[4] = {};
    uint16_t productVersion[4] = {};
    // "041104b0" -> {"FileDescription" -> "kestrin", ...}, values as UTF-8.
    std::map<std::string, std::map<std::string, std::string>> strings;
    std::vector<uint32_t> translations; // language in the low word, code page in the high word
};

std::string readVersionInfo(const std::vector<uint8_t>& data, VersionInfo& info);

} // namespace kestrin::pe
