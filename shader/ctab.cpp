#include "shader/ctab.h"

#include "shader/bytecode.h"

#include <algorithm>
#include <cstring>

namespace kestrin::shader {
namespace {

constexpr uint32_t kHeaderSize = 28;
constexpr uint32_t kEntrySize = 20;
constexpr uint32_t kTypeInfoSize = 16;
constexpr uint8_t kPad = 0xAB; // what the HLSL compiler pads with; readers ignore it

class ByteWriter {
  public:
    uint32_t size() const { return uint32_t(bytes_.size()); }
    void u16(uint16_t v) {
        bytes_.push_back(uint8_t(v));
        bytes_.push_back(uint8_t(v >> 8));
    }
    void u32(uint32_t v) {
        u16(uint16_t(v));
        u16(uint16_t(v >> 16));
    }
    void str(std::string_view s) {
        bytes_.insert(bytes_.end(), s.begin(), s.end());
        bytes_.push_back(0);
    }
    void align4() {
        while (bytes_.size() % 4) bytes_.push_back(kPad);
    }
    void patch32(uint32_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes_[at + i] = uint8_t(v >> (8 * i));
    }
    std::vector<uint32_t> dwords() const {
        std::vector<uint32_t> out(bytes_.size() / 4);
        for (size_t i = 0; i < out.size(); ++i)
            for (int k = 0; k < 4; ++k) out[i] |= uint32_t(bytes_[i * 4 + k]) << (8 * k);
        return out;
    }

  private:
    std::vector<uint8_t> bytes_;
};

// Bounds-checked little-endian view of the table bytes.
class ByteReader {
  public:
    ByteReader(const uint32_t* words, size_t count) : bytes_(count * 4) {
        for (size_t i = 0; i < count; ++i)
            for (int k = 0; k < 4; ++k) bytes_[i * 4 + k] = uint8_t(words[i] >> (8 * k));
    }
    size_t size() const { return bytes_.size(); }
    bool fits(uint64_t offset, uint64_t length) const {
        return offset <= bytes_.size() && length <= bytes_.size() - offset;
    }
    uint16_t u16(size_t at) const { return uint16_t(bytes_[at] | bytes_[at + 1] << 8); }
    uint32_t u32(size_t at) const { return u16(at) | uint32_t(u16(at + 2)) << 16; }
    // NUL-terminated string starting at `offset`; false if it leaves the table.
    bool str(uint32_t offset, std::string& out) const {
        if (offset >= bytes_.size()) return false;
        const auto begin = bytes_.begin() + offset;
        const auto nul = std::find(begin, bytes_.end(), uint8_t(0));
        if (nul == bytes_.end()) return false;
        out.assign(begin, nul);
        return true;
    }

  private:
    std::vector<uint8_t> bytes_;
};

} // namespace

CtabEntry ctabScalar(std::string name, uint16_t reg) {
    return {std::move(name),
            RegisterSet::Float4,
            reg,
            1,
            {ParamClass::Scalar, ParamType::Float, 1, 1, 1}};
}
CtabEntry ctabVector(std::string name, uint16_t reg, uint16_t columns) {
    return {std::move(name),
            RegisterSet::Float4,
            reg,
            1,
            {ParamClass::Vector, ParamType::Float, 1, columns, 1}};
}
CtabEntry ctabMatrixColumns(std::string name, uint16_t reg, uint16_t rows, uint16_t columns) {
    return {std::move(name),
            RegisterSet::Float4,
            reg,
            columns,
            {ParamClass::MatrixColumns, ParamType::Float, rows, columns, 1}};
}
CtabEntry ctabSampler2D(std::string name, uint16_t sampler) {
    return {std::move(name),
            RegisterSet::Sampler,
            sampler,
            1,
            {ParamClass::Object, ParamType::Sampler2D, 1, 1, 1}};
}

std::string profileName(uint32_t version) {
    const char* kind = (version >> 16) == 0xFFFF ? "ps" : (version >> 16) == 0xFFFE ? "vs" : "??";
    return std::string(kind) + "_" + std::to_string((version >> 8) & 0xFF) + "_" +
           std::to_string(version & 0xFF);
}

CtabWriteResult writeCtabComment(std::span<const CtabEntry> entries, std::string_view creator,
                                 uint32_t version) {
    CtabWriteResult result;
    try {
        std::vector<const CtabEntry*> sorted;
        for (const CtabEntry& e : entries) {
            if (e.name.empty() || e.name.find('\0') != std::string::npos) {
                result.error = "constant table entry with an empty or NUL-containing name";
                return result;
            }
            if (unsigned(e.set) > unsigned(RegisterSet::Sampler) || e.count == 0) {
                result.error =
                    "constant table entry '" + e.name + "' has an invalid register set or count";
                return result;
            }
            sorted.push_back(&e);
        }
        if (creator.find('\0') != std::string_view::npos) {
            result.error = "creator string contains NUL";
            return result;
        }
        // std::string compares as unsigned char, the same order as strcmp.
        std::sort(sorted.begin(), sorted.end(),
                  [](const CtabEntry* a, const CtabEntry* b) { return a->name < b->name; });
        for (size_t i = 1; i < sorted.size(); ++i) {
            if (sorted[i]->name == sorted[i - 1]->name) {
                result.error = "constant table names '" + sorted[i]->name + "' twice";
                return result;
            }
        }

        ByteWriter w;
        const uint32_t n = uint32_t(sorted.size());
        w.u32(kHeaderSize);
        w.u32(0); // Creator, patched below
        w.u32(version);
        w.u32(n);
        w.u32(kHeaderSize); // entries follow the header
        w.u32(0);           // Flags
        w.u32(0);           // Target, patched below
        for (uint32_t i = 0; i < n * kEntrySize; i += 4) w.u32(0);
        for (uint32_t i = 0; i < n; ++i) {
            const CtabEntry& e = *sorted[i];
            const uint32_t at = kHeaderSize + i * kEntrySize;
            w.patch32(at, w.size());
            w.str(e.name);
            w.align4();
            w.patch32(at + 4, uint32_t(e.set) | uint32_t(e.index) << 16);
            w.patch32(at + 8, e.count); // Reserved (high word) stays 0
            w.patch32(at + 12, w.size());
            w.u16(uint16_t(e.type.cls));
            w.u16(uint16_t(e.type.type));
            w.u16(e.type.rows);
            w.u16(e.type.columns);
            w.u16(e.type.elements);
            w.u16(0); // StructMembers
            w.u32(0); // StructMemberInfo
            // DefaultValue (at + 16) stays 0.
        }
        w.patch32(24, w.size());
        w.str(profileName(version));
        w.patch32(4, w.size());
        w.str(creator);
        w.align4();

        const std::vector<uint32_t> table = w.dwords();
        if (table.size() + 1 > token::kMaxCommentDwords) {
            result.error = "constant table of " + std::to_string(table.size() * 4) +
                           " bytes does not fit in a comment block";
            return result;
        }
        result.tokens.reserve(table.size() + 2);
        result.tokens.push_back(token::comment(uint32_t(table.size() + 1)));
        result.tokens.push_back(token::kCtab);
        result.tokens.insert(result.tokens.end(), table.begin(), table.end());
    } catch (const std::exception& e) {
        result.tokens.clear();
        result.error = std::string("constant table writer failure: ") + e.what();
    }
    return result;
}

CtabReadResult readCtab(const uint32_t* data, size_t dwords) {
    CtabReadResult result;
    std::string& error = result.error;
    try {
        if (!data || dwords == 0 || data[0] != token::kCtab) {
            error = "comment is not a constant table (no 'CTAB' FOURCC)";
            return result;
        }
        const ByteReader t(data + 1, dwords - 1);
        if (t.size() < kHeaderSize || t.u32(0) != kHeaderSize) {
            error = "constant table header is not 28 bytes";
            return result;
        }
        ConstantTable& table = result.table;
        table.version = t.u32(8);
        table.flags = t.u32(20);
        const uint32_t n = t.u32(12);
        const uint32_t entries = t.u32(16);
        if (!t.str(t.u32(4), table.creator) || !t.str(t.u32(24), table.target)) {
            error = "constant table creator or target string lies outside the table";
            return result;
        }
        if (!t.fits(entries, uint64_t(n) * kEntrySize)) {
            error = "constant table claims " + std::to_string(n) + " entries at offset " +
                    std::to_string(entries) + " but holds " + std::to_string(t.size()) + " bytes";
            return result;
        }
        for (uint32_t i = 0; i < n; ++i) {
            const size_t at = entries + size_t(i) * kEntrySize;
            CtabEntry e;
            const std::string which = "constant table entry " + std::to_string(i);
            if (!t.str(t.u32(at), e.name)) {
                error = which + ": name lies outside the table";
                return result;
            }
            e.set = RegisterSet(t.u16(at + 4));
            e.index = t.u16(at + 6);
            e.count = t.u16(at + 8);
            const uint32_t typeAt = t.u32(at + 12);
            const uint32_t defaultAt = t.u32(at + 16);
            if (unsigned(e.set) > unsigned(RegisterSet::Sampler)) {
                error = which + " ('" + e.name + "'): unknown register set";
                return result;
            }
            if (!t.fits(typeAt, kTypeInfoSize) || (defaultAt && !t.fits(defaultAt, 0))) {
                error =
                    which + " ('" + e.name + "'): type or default offset lies outside the table";
                return result;
            }
            e.type.cls = ParamClass(t.u16(typeAt));
            e.type.type = ParamType(t.u16(typeAt + 2));
            e.type.rows = t.u16(typeAt + 4);
            e.type.columns = t.u16(typeAt + 6);
            e.type.elements = t.u16(typeAt + 8);
            const uint16_t members = t.u16(typeAt + 10);
            if (members && !t.fits(t.u32(typeAt + 12), uint64_t(members) * 8)) {
                error = which + " ('" + e.name + "'): struct members lie outside the table";
                return result;
            }
            table.entries.push_back(std::move(e));
        }
    } catch (const std::exception& e) {
        result.table = {};
        error = std::string("constant table reader failure: ") + e.what();
    }
    return result;
}

CtabReadResult readCtabFromShader(const uint32_t* tokens, size_t count) {
    Comment c;
    if (!findComment(tokens, count, token::kCtab, c)) {
        CtabReadResult result;
        result.error = "shader has no constant table";
        return result;
    }
    return readCtab(tokens + c.offset, c.dwords);
}

} // namespace kestrin::shader
