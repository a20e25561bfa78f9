#include "tests/windows/module_rules.h"

#include <algorithm>
#include <cstdio>

namespace kestrin::pe {
namespace {

constexpr uint32_t kRcData = 10, kVersion = 16, kManifest = 24;
constexpr uint32_t kEffectId = 104, kJapanese = 0x0411;
constexpr uint16_t kDynamicBase = 0x0040, kNxCompat = 0x0100;
constexpr uint16_t kMachineI386 = 0x014C, kFileDll = 0x2000;

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
    return text.empty() ? "none" : text;
}

const Resource* findResource(const Image& image, uint32_t type, uint32_t id) {
    for (const Resource& r : image.resources)
        if (r.type == type && r.id == id) return &r;
    return nullptr;
}

// The value of attribute `name` of the first element `element` in an XML text; empty if absent.
std::string attribute(const std::string& xml, const std::string& element, const std::string& name) {
    const size_t start = xml.find("<" + element);
    if (start == std::string::npos) return {};
    const size_t end = xml.find('>', start);
    const std::string tag = xml.substr(start, end == std::string::npos ? end : end - start);
    for (const char quote : {'"', '\''}) {
        const std::string key = name + "=" + quote;
        const size_t at = tag.find(key);
        if (at == std::string::npos) continue;
        const size_t close = tag.find(quote, at + key.size());
        if (close != std::string::npos) return tag.substr(at + key.size(), close - at - key.size());
    }
    return {};
}

void checkVersion(const Image& image, const std::string& version, std::vector<Finding>& out) {
    const Resource* res = findResource(image, kVersion, 1);
    if (!res) {
        out.push_back({false, "no version resource"});
        return;
    }
    VersionInfo info;
    if (std::string e = readVersionInfo(res->data, info); !e.empty()) {
        out.push_back({false, e});
        return;
    }
    unsigned parts[4] = {};
    std::sscanf(version.c_str(), "%u.%u.%u.%u", &parts[0], &parts[1], &parts[2], &parts[3]);
    bool fixed = true;
    for (int i = 0; i < 4; ++i)
        fixed = fixed && info.fileVersion[i] == parts[i] && info.productVersion[i] == parts[i];
    char fixedText[96];
    std::snprintf(fixedText, sizeof fixedText,
                  "file version %u.%u.%u.%u, product version %u.%u.%u.%u", info.fileVersion[0],
                  info.fileVersion[1], info.fileVersion[2], info.fileVersion[3],
                  info.productVersion[0], info.productVersion[1], info.productVersion[2],
                  info.productVersion[3]);
    out.push_back({fixed, std::string("version numbers: ") + fixedText});

    char dotted[48];
    std::snprintf(dotted, sizeof dotted, "%u, %u, %u, %u", parts[0], parts[1], parts[2], parts[3]);
    const std::pair<const char*, std::string> wanted[] = {
        {"FileDescription", "kestrin"},  {"FileVersion", dotted},
        {"InternalName", "kestrin.auf"}, {"OriginalFilename", "kestrin.auf"},
        {"ProductName", "Kestrin"},      {"ProductVersion", dotted},
    };
    const auto table = info.strings.find("041104b0");
    if (table == info.strings.end()) {
        out.push_back({false, "no version strings for Japanese, Unicode (block 041104b0)"});
        return;
    }
    for (const auto& [key, value] : wanted) {
        const auto it = table->second.find(key);
        const std::string found = it == table->second.end() ? "(missing)" : '"' + it->second + '"';
        out.push_back(
            {found == '"' + value + '"', std::string("version string ") + key + ": " + found});
    }
    const bool translation = info.translations.size() == 1 && info.translations[0] == 0x04B00411u;
    out.push_back({translation, "version translation: Japanese, Unicode (0x0411, 1200)"});
}

} // namespace

std::vector<Finding> checkImage(const Image& image, const Expectations& expected) {
    std::vector<Finding> out;
    out.push_back({image.machine == kMachineI386, "machine: 32-bit x86"});
    if (expected.dll)
        out.push_back({(image.characteristics & kFileDll) != 0, "a DLL (the module flag is set)"});
    out.push_back({(image.dllCharacteristics & kDynamicBase) != 0,
                   "DllCharacteristics: DYNAMIC_BASE (address space layout randomisation)"});
    out.push_back({(image.dllCharacteristics & kNxCompat) != 0,
                   "DllCharacteristics: NX_COMPAT (data execution prevention)"});
    out.push_back(
        {image.timeDateStamp == 0, "no link time stamp (the same sources, the same bytes)"});

    std::vector<std::string> dlls;
    for (const Import& imp : image.imports) dlls.push_back(imp.dll);
    if (expected.allowedImports) {
        std::vector<std::string> others;
        for (const std::string& dll : dlls) {
            bool allowed = false;
            for (const std::string& a : *expected.allowedImports)
                allowed = allowed || lower(a) == lower(dll);
            if (!allowed) others.push_back(dll);
        }
        out.push_back(
            {others.empty(), "imports only from " + joined(*expected.allowedImports) +
                                 (others.empty() ? "" : "; also from " + joined(others))});
    }
    for (const std::string& required : expected.requiredImports) {
        bool found = false;
        for (const std::string& dll : dlls) found = found || lower(dll) == lower(required);
        out.push_back({found, "imports from " + required});
    }
    if (expected.exports)
        out.push_back(
            {image.exports == *expected.exports, "exports exactly " + joined(*expected.exports) +
                                                     " (found " + joined(image.exports) + ")"});

    if (expected.effect) {
        int count = 0;
        const Resource* effect = nullptr;
        for (const Resource& r : image.resources)
            if (r.type == kRcData && r.id == kEffectId) {
                ++count;
                if (r.language == kJapanese) effect = &r;
            }
        out.push_back({count == 1 && effect, "RCDATA 104: one, in language 0x0411"});
        out.push_back({effect && effect->data == *expected.effect,
                       "RCDATA 104 equals the built effect byte for byte (" +
                           std::to_string(expected.effect->size()) + " bytes)"});
    }
    if (!expected.version.empty()) checkVersion(image, expected.version, out);
    if (!expected.executionLevel.empty()) {
        const Resource* manifest = findResource(image, kManifest, 2);
        if (!manifest) manifest = findResource(image, kManifest, 1);
        const std::string xml =
            manifest ? std::string(manifest->data.begin(), manifest->data.end()) : std::string();
        const std::string level = attribute(xml, "requestedExecutionLevel", "level");
        const std::string uiAccess = attribute(xml, "requestedExecutionLevel", "uiAccess");
        out.push_back({manifest != nullptr, "a manifest resource"});
        out.push_back({level == expected.executionLevel && uiAccess == "false",
                       "manifest requests execution level " + expected.executionLevel +
                           " without UI access (found level \"" + level + "\", uiAccess \"" +
                           uiAccess + "\")"});
    }
    return out;
}

} // namespace kestrin::pe
