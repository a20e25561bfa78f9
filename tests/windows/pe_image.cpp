#include "tests/windows/pe_image.h"

#include <functional>

namespace kestrin::pe {
namespace {

// Bounds-checked little-endian reads from the file; every failure ends up as `bad`.
class Reader {
  public:
    explicit Reader(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
    bool bad = false;

    uint32_t u8(size_t at) { return has(at, 1) ? bytes_[at] : 0; }
    uint32_t u16(size_t at) { return has(at, 2) ? bytes_[at] | bytes_[at + 1] << 8 : 0; }
    uint32_t u32(size_t at) {
        return has(at, 4) ? uint32_t(bytes_[at]) | uint32_t(bytes_[at + 1]) << 8 |
                                uint32_t(bytes_[at + 2]) << 16 | uint32_t(bytes_[at + 3]) << 24
                          : 0;
    }
    std::string cString(size_t at) {
        std::string s;
        for (; has(at, 1) && bytes_[at] != 0 && s.size() < 4096; ++at)
            s.push_back(static_cast<char>(bytes_[at]));
        return s;
    }
    bool has(size_t at, size_t n) {
        if (at <= bytes_.size() && n <= bytes_.size() - at) return true;
        bad = true;
        return false;
    }

  private:
    const std::vector<uint8_t>& bytes_;
};

struct Section {
    uint32_t virtualAddress, virtualSize, rawSize, rawOffset;
};

// UTF-16 code units to UTF-8 (the version strings are plain BMP text).
std::string utf8(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

} // namespace

std::string readImage(const std::vector<uint8_t>& bytes, Image& image) {
    Reader r(bytes);
    if (r.u16(0) != 0x5A4D) return "no MZ header";
    const size_t pe = r.u32(0x3C);
    if (r.u32(pe) != 0x00004550) return "no PE signature";
    const size_t coff = pe + 4;
    image.machine = static_cast<uint16_t>(r.u16(coff));
    const uint32_t sectionCount = r.u16(coff + 2);
    image.timeDateStamp = r.u32(coff + 4);
    const uint32_t optionalSize = r.u16(coff + 16);
    image.characteristics = static_cast<uint16_t>(r.u16(coff + 18));
    const size_t opt = coff + 20;
    if (r.u16(opt) != 0x10B) return "not a PE32 (32-bit) image";
    image.dllCharacteristicsOffset = opt + 70;
    image.dllCharacteristics = static_cast<uint16_t>(r.u16(opt + 70));
    const uint32_t directoryCount = r.u32(opt + 92);
    auto directory = [&](uint32_t index, uint32_t& rva, uint32_t& size) {
        rva = size = 0;
        if (index >= directoryCount) return;
        rva = r.u32(opt + 96 + 8 * index);
        size = r.u32(opt + 96 + 8 * index + 4);
    };
    std::vector<Section> sections;
    const size_t table = opt + optionalSize;
    for (uint32_t i = 0; i < sectionCount && !r.bad; ++i) {
        const size_t s = table + 40 * size_t{i};
        sections.push_back({r.u32(s + 12), r.u32(s + 8), r.u32(s + 16), r.u32(s + 20)});
    }
    if (r.bad) return "the headers run past the end of the file";

    // File offset of an RVA; SIZE_MAX when no section's file data holds it.
    auto offset = [&](uint32_t rva) -> size_t {
        for (const Section& s : sections)
            if (rva >= s.virtualAddress && rva - s.virtualAddress < s.rawSize)
                return size_t{s.rawOffset} + (rva - s.virtualAddress);
        r.bad = true;
        return SIZE_MAX;
    };

    uint32_t rva = 0, size = 0;
    directory(1, rva, size); // imports
    if (rva) {
        for (size_t d = offset(rva); !r.bad; d += 20) {
            const uint32_t nameRva = r.u32(d + 12);
            if (nameRva == 0) break;
            Import imp;
            imp.dll = r.cString(offset(nameRva));
            const uint32_t lookup = r.u32(d) ? r.u32(d) : r.u32(d + 16);
            for (size_t t = offset(lookup); !r.bad && imp.functions.size() < 10000; t += 4) {
                const uint32_t thunk = r.u32(t);
                if (thunk == 0) break;
                imp.functions.push_back(thunk & 0x80000000u ? "#" + std::to_string(thunk & 0xFFFF)
                                                            : r.cString(offset(thunk) + 2));
            }
            image.imports.push_back(std::move(imp));
            if (image.imports.size() > 1000) return "an import table without an end";
        }
    }
    directory(0, rva, size); // exports
    if (rva) {
        const size_t e = offset(rva);
        const uint32_t names = r.u32(e + 24);
        const size_t nameTable = offset(r.u32(e + 32));
        for (uint32_t i = 0; i < names && i < 10000 && !r.bad; ++i)
            image.exports.push_back(r.cString(offset(r.u32(nameTable + 4 * size_t{i}))));
    }
    directory(2, rva, size); // resources: type / id / language
    if (rva) {
        const size_t root = offset(rva);
        // Entries of the directory at `dir` (relative to the root): (id, offset, is directory).
        auto entries = [&](uint32_t dir, const std::function<void(uint32_t, uint32_t, bool)>& f) {
            const size_t at = root + dir;
            const uint32_t named = r.u16(at + 12), ids = r.u16(at + 14);
            for (uint32_t i = 0; i < named + ids && i < 4096 && !r.bad; ++i) {
                const uint32_t name = r.u32(at + 16 + 8 * size_t{i});
                const uint32_t target = r.u32(at + 20 + 8 * size_t{i});
                if (name & 0x80000000u) continue; // a named entry
                f(name, target & 0x7FFFFFFFu, (target & 0x80000000u) != 0);
            }
        };
        entries(0, [&](uint32_t type, uint32_t typeDir, bool isDir) {
            if (!isDir) return;
            entries(typeDir, [&](uint32_t id, uint32_t idDir, bool isDir2) {
                if (!isDir2) return;
                entries(idDir, [&](uint32_t language, uint32_t leaf, bool isDir3) {
                    if (isDir3) return;
                    Resource res{type, id, language, 0, {}};
                    const uint32_t dataRva = r.u32(root + leaf);
                    const uint32_t dataSize = r.u32(root + leaf + 4);
                    res.fileOffset = offset(dataRva);
                    if (!r.bad && r.has(res.fileOffset, dataSize))
                        res.data.assign(bytes.begin() + static_cast<std::ptrdiff_t>(res.fileOffset),
                                        bytes.begin() +
                                            static_cast<std::ptrdiff_t>(res.fileOffset + dataSize));
                    image.resources.push_back(std::move(res));
                });
            });
        });
    }
    if (r.bad) return "an import, export or resource entry points outside the file";
    return {};
}

std::string readVersionInfo(const std::vector<uint8_t>& data, VersionInfo& info) {
    Reader r(data);
    // One node: length, value length, type (1: text), key, then its value and its children, each
    // on a 32-bit boundary. `path` is the keys above it.
    std::function<void(size_t, size_t, const std::vector<std::string>&)> node =
        [&](size_t at, size_t end, const std::vector<std::string>& path) {
            if (r.bad || path.size() > 4) return;
            const size_t length = r.u16(at);
            const size_t valueLength = r.u16(at + 2);
            const bool text = r.u16(at + 4) == 1;
            if (length < 6 || at + length > end) {
                r.bad = true;
                return;
            }
            std::u16string key;
            size_t p = at + 6;
            for (; p < at + length && r.u16(p) != 0; p += 2) key.push_back(char16_t(r.u16(p)));
            p = (p + 2 + 3) & ~size_t{3};
            const size_t valueBytes = text ? 2 * valueLength : valueLength;
            std::vector<std::string> here = path;
            here.push_back(utf8(key));
            if (here.size() == 1 && valueBytes >= 52 && r.u32(p) == 0xFEEF04BDu) {
                const uint32_t words[4] = {r.u32(p + 8), r.u32(p + 12), r.u32(p + 16),
                                           r.u32(p + 20)};
                for (int i = 0; i < 2; ++i) {
                    info.fileVersion[2 * i] = static_cast<uint16_t>(words[i] >> 16);
                    info.fileVersion[2 * i + 1] = static_cast<uint16_t>(words[i]);
                    info.productVersion[2 * i] = static_cast<uint16_t>(words[2 + i] >> 16);
                    info.productVersion[2 * i + 1] = static_cast<uint16_t>(words[2 + i]);
                }
            }
            if (here.size() == 4 && here[0] == "VS_VERSION_INFO" && here[1] == "StringFileInfo") {
                std::u16string value;
                for (size_t q = p; q + 1 < p + valueBytes && r.u16(q) != 0; q += 2)
                    value.push_back(char16_t(r.u16(q)));
                info.strings[here[2]][here[3]] = utf8(value);
                return;
            }
            if (here.size() == 3 && here[1] == "VarFileInfo" && here[2] == "Translation") {
                for (size_t q = p; q + 4 <= p + valueBytes; q += 4)
                    info.translations.push_back(r.u32(q));
                return;
            }
            for (size_t child = (p + valueBytes + 3) & ~size_t{3}; child + 6 <= at + length;) {
                const size_t childLength = r.u16(child);
                if (childLength == 0) break;
                node(child, at + length, here);
                child = (child + childLength + 3) & ~size_t{3};
            }
        };
    node(0, data.size(), {});
    if (r.bad) return "the version block is damaged";
    return {};
}

} // namespace kestrin::pe
