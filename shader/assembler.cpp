#include "shader/assembler.h"

#include "shader/bytecode.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace kestrin::shader {
namespace {

constexpr size_t kMaxErrors = 50;

std::string_view trim(std::string_view s) {
    const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && space(s.front())) s.remove_prefix(1);
    while (!s.empty() && space(s.back())) s.remove_suffix(1);
    return s;
}

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    for (;;) {
        const size_t at = s.find(sep);
        parts.push_back(s.substr(0, at));
        if (at == std::string_view::npos) return parts;
        s.remove_prefix(at + 1);
    }
}

int componentIndex(char c) {
    switch (c) {
    case 'x':
    case 'r':
        return 0;
    case 'y':
    case 'g':
        return 1;
    case 'z':
    case 'b':
        return 2;
    case 'w':
    case 'a':
        return 3;
    default:
        return -1;
    }
}

std::string hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

std::string floatText(float f) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.9g", double(f));
    return buf;
}

uint32_t floatBits(float f) {
    uint32_t b;
    std::memcpy(&b, &f, 4);
    return b;
}
float bitsFloat(uint32_t b) {
    float f;
    std::memcpy(&f, &b, 4);
    return f;
}

// A thrown Error aborts the current statement only; it never leaves this file.
struct Error {
    std::string message;
};
[[noreturn]] void fail(std::string message) {
    throw Error{std::move(message)};
}

// Decimal float with an optional exponent, rounded to nearest by strtof.
float parseFloat(std::string_view s) {
    size_t i = 0, digits = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    for (; i < s.size() && std::isdigit(uint8_t(s[i])); ++i) ++digits;
    if (i < s.size() && s[i] == '.')
        for (++i; i < s.size() && std::isdigit(uint8_t(s[i])); ++i) ++digits;
    if (digits && i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        size_t e = i + 1;
        if (e < s.size() && (s[e] == '+' || s[e] == '-')) ++e;
        const size_t start = e;
        while (e < s.size() && std::isdigit(uint8_t(s[e]))) ++e;
        i = e > start ? e : std::string_view::npos;
    }
    if (!digits || i != s.size()) fail("'" + std::string(s) + "' is not a decimal number");
    const std::string copy(s);
    const float f = std::strtof(copy.c_str(), nullptr);
    if (std::isinf(f)) fail("'" + copy + "' is out of single-precision range");
    return f;
}

int32_t parseInt(std::string_view s) {
    size_t i = (!s.empty() && (s[0] == '+' || s[0] == '-')) ? 1 : 0;
    if (i == s.size() || s.size() - i > 10) fail("'" + std::string(s) + "' is not an integer");
    int64_t v = 0;
    for (size_t k = i; k < s.size(); ++k) {
        if (!std::isdigit(uint8_t(s[k]))) fail("'" + std::string(s) + "' is not an integer");
        v = v * 10 + (s[k] - '0');
    }
    if (s[0] == '-') v = -v;
    if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
        fail("'" + std::string(s) + "' does not fit in 32 bits");
    return int32_t(v);
}

uint8_t parseMask(std::string_view s) {
    uint8_t mask = 0;
    int last = -1;
    for (char c : s) {
        const int k = componentIndex(c);
        if (k < 0 || k <= last) fail("bad write mask '." + std::string(s) + "'");
        mask |= uint8_t(1u << k);
        last = k;
    }
    if (s.empty() || s.size() > 4) fail("bad write mask '." + std::string(s) + "'");
    return mask;
}

uint8_t parseSwizzle(std::string_view s) {
    if (s.empty() || s.size() > 4) fail("bad swizzle '." + std::string(s) + "'");
    uint8_t swizzle = 0;
    int k = 0;
    for (unsigned channel = 0; channel < 4; ++channel) {
        if (channel < s.size()) {
            k = componentIndex(s[channel]);
            if (k < 0) fail("bad swizzle '." + std::string(s) + "'");
        }
        swizzle |= uint8_t(k << (2 * channel));
    }
    return swizzle;
}

struct Operand {
    RegType type = RegType::Temp;
    uint32_t index = 0;
    bool relative = false;
    std::string_view rest; // text after the register: _abs, .swizzle or .mask
};

// "r5", "oC0", "v[aL + 3]" followed by modifiers; the register part only.
Operand parseRegister(std::string_view s) {
    size_t end = 0;
    while (end < s.size() && (std::isalnum(uint8_t(s[end])))) ++end;
    const std::string_view name = s.substr(0, end);
    Operand op;
    if (end < s.size() && s[end] == '[') {
        const size_t close = s.find(']', end);
        if (close == std::string_view::npos) fail("missing ']' in '" + std::string(s) + "'");
        std::string_view inside = trim(s.substr(end + 1, close - end - 1));
        if (inside.substr(0, 2) != "aL") fail("only aL may address registers relatively");
        inside = trim(inside.substr(2));
        if (!inside.empty()) {
            if (inside[0] != '+') fail("expected '+ offset' after aL in '" + std::string(s) + "'");
            const int32_t offset = parseInt(trim(inside.substr(1)));
            if (offset < 0 || offset > 0x7FF) fail("relative offset out of range");
            op.index = uint32_t(offset);
        }
        uint32_t unused;
        const bool letters =
            std::none_of(name.begin(), name.end(), [](char c) { return std::isdigit(uint8_t(c)); });
        if (!letters || !parseRegisterName(std::string(name) + "0", op.type, unused))
            fail("'" + std::string(name) + "' cannot be addressed relatively (write v[aL + n])");
        op.relative = true;
        op.rest = s.substr(close + 1);
        return op;
    }
    uint32_t index = 0;
    if (!parseRegisterName(name, op.type, index))
        fail("unknown register '" + std::string(name) + "'");
    if (index > 0x7FF) fail("register number too large in '" + std::string(name) + "'");
    op.index = index;
    op.rest = s.substr(end);
    return op;
}

DstParam parseDst(std::string_view s) {
    const Operand op = parseRegister(s);
    if (op.relative) fail("a destination cannot be addressed relatively");
    DstParam d;
    d.type = op.type;
    d.index = op.index;
    if (!op.rest.empty()) {
        if (op.rest[0] != '.') fail("unexpected '" + std::string(op.rest) + "' after destination");
        d.mask = parseMask(op.rest.substr(1));
    }
    return d;
}

SrcParam parseSrc(std::string_view s) {
    SrcParam p;
    bool negate = false, logicalNot = false;
    if (!s.empty() && s[0] == '-')
        negate = true, s.remove_prefix(1);
    else if (!s.empty() && s[0] == '!')
        logicalNot = true, s.remove_prefix(1);
    const Operand op = parseRegister(trim(s));
    p.type = op.type;
    p.index = op.index;
    p.relative = op.relative;
    std::string_view rest = op.rest;
    bool abs = false;
    if (rest.substr(0, 4) == "_abs") abs = true, rest.remove_prefix(4);
    if (!rest.empty()) {
        if (rest[0] != '.') fail("unexpected '" + std::string(rest) + "' after source register");
        p.swizzle = parseSwizzle(rest.substr(1));
    }
    if (logicalNot && abs) fail("'!' cannot be combined with _abs");
    p.modifier = logicalNot ? SrcMod::Not
                 : abs      ? (negate ? SrcMod::NegAbs : SrcMod::Abs)
                 : negate   ? SrcMod::Neg
                            : SrcMod::None;
    return p;
}

void emitSrc(std::vector<uint32_t>& out, const SrcParam& p) {
    out.push_back(token::src(p.type, p.index, p.swizzle, p.modifier, p.relative));
    if (p.relative) out.push_back(token::src(RegType::Loop, 0));
}

struct Mnemonic {
    const OpcodeInfo* info = nullptr;
    uint8_t control = 0;
    uint32_t dstModifiers = 0;
    // dcl only
    uint8_t usage = 0, usageIndex = 0, textureType = 0;
};

Mnemonic parseMnemonic(std::string_view text) {
    const std::vector<std::string_view> parts = split(text, '_');
    Mnemonic m;
    size_t next = 1;
    if (parts[0] == "dcl") {
        m.info = findMnemonic("dcl", false);
        if (parts.size() > 1 && parts[1] != "centroid" && parts[1] != "pp") {
            const std::string_view kind = parts[1];
            next = 2;
            bool found = false;
            for (unsigned t = 0; t < 8 && !found; ++t)
                if (!textureTypeName(t).empty() && kind == textureTypeName(t))
                    m.textureType = uint8_t(t), found = true;
            size_t digits = kind.size();
            while (digits > 0 && std::isdigit(uint8_t(kind[digits - 1]))) --digits;
            for (unsigned u = 0; u < kUsageCount && !found; ++u) {
                if (kind.substr(0, digits) != usageName(u)) continue;
                const std::string_view number = kind.substr(digits);
                const int32_t index = number.empty() ? 0 : parseInt(number);
                if (index > 15) fail("usage index " + std::string(number) + " is above 15");
                m.usage = uint8_t(u), m.usageIndex = uint8_t(index), found = true;
            }
            if (!found) fail("unknown declaration 'dcl_" + std::string(kind) + "'");
        }
    } else {
        if (parts.size() > 1) {
            for (unsigned c = 1; c <= 6 && !m.info; ++c) {
                if (parts[1] == comparisonName(c) && (m.info = findMnemonic(parts[0], true))) {
                    m.control = uint8_t(c);
                    next = 2;
                }
            }
        }
        if (!m.info) m.info = findMnemonic(parts[0], false);
        if (!m.info) {
            fail(findMnemonic(parts[0], true)
                     ? "'" + std::string(parts[0]) +
                           "' needs a comparison suffix (_gt, _eq, _ge, _lt, _ne, _le)"
                     : "unknown instruction '" + std::string(text) + "'");
        }
        m.control = m.info->comparison ? m.control : m.info->control;
    }
    if (!m.info->ps30) fail("'" + std::string(m.info->mnemonic) + "' is not a ps_3_0 instruction");
    for (; next < parts.size(); ++next) {
        const std::string_view mod = parts[next];
        if (mod == "sat" && m.info->dst && m.info->opcode != Opcode::Dcl)
            m.dstModifiers |= token::kSaturate;
        else if (mod == "pp" && m.info->dst)
            m.dstModifiers |= token::kPartialPrecision;
        else if (mod == "centroid" && m.info->opcode == Opcode::Dcl)
            m.dstModifiers |= token::kCentroid;
        else
            fail("modifier '_" + std::string(mod) + "' is not valid on '" + std::string(parts[0]) +
                 "'");
    }
    return m;
}

uint32_t immediate(const OpcodeInfo& info, std::string_view text) {
    if (info.extra == Extra::Bool) {
        if (text == "true") return 1;
        if (text == "false") return 0;
        fail("defb takes true or false, not '" + std::string(text) + "'");
    }
    if (info.extra == Extra::Int4) {
        const uint32_t bits = uint32_t(parseInt(text));
        if (token::isScannerHazard(bits))
            fail("defi value " + std::string(text) + " (" + hex(bits) +
                 ") looks like an end or comment token to D3DX's shader scanners; choose another "
                 "value");
        return bits;
    }
    const uint32_t bits = floatBits(parseFloat(text));
    if (token::isScannerHazard(bits)) {
        const uint32_t nudged = token::isScannerHazard(bits + 1) ? bits - 1 : bits + 1;
        fail("def value " + std::string(text) + " has bits " + hex(bits) +
             ", which D3DX's shader scanners read as an end or comment token; nudge it by one ulp "
             "(" +
             floatText(bitsFloat(nudged)) + " = " + hex(nudged) + ")");
    }
    return bits;
}

// Assembles one statement (comment and version already removed) onto `out`.
void assembleStatement(std::string_view line, std::vector<uint32_t>& out) {
    bool predicated = false;
    SrcParam predicate;
    if (line[0] == '(') {
        const size_t close = line.find(')');
        if (close == std::string_view::npos) fail("missing ')' after predicate");
        predicate = parseSrc(trim(line.substr(1, close - 1)));
        if (predicate.type != RegType::Predicate) fail("only p0 can predicate an instruction");
        predicated = true;
        line = trim(line.substr(close + 1));
    }
    const size_t space = line.find_first_of(" \t");
    const Mnemonic m = parseMnemonic(line.substr(0, space));
    const OpcodeInfo& info = *m.info;
    std::vector<std::string_view> operands;
    const std::string_view rest = space == std::string_view::npos ? "" : trim(line.substr(space));
    if (!rest.empty())
        for (std::string_view op : split(rest, ',')) operands.push_back(trim(op));
    const size_t immediates = info.extra == Extra::Float4 || info.extra == Extra::Int4 ? 4
                              : info.extra == Extra::Bool                              ? 1
                                                                                       : 0;
    const size_t expected = (info.dst ? 1 : 0) + info.sources + immediates;
    if (operands.size() != expected)
        fail("'" + std::string(info.mnemonic) + "' takes " + std::to_string(expected) +
             " operands, found " + std::to_string(operands.size()));
    for (std::string_view op : operands)
        if (op.empty()) fail("empty operand");

    const size_t start = out.size();
    out.push_back(0); // instruction token, completed below
    size_t k = 0;
    if (info.extra == Extra::Usage)
        out.push_back(token::usage(m.usage, m.usageIndex, m.textureType));
    if (info.dst) {
        const DstParam d = parseDst(operands[k++]);
        out.push_back(token::dst(d.type, d.index, d.mask, m.dstModifiers));
    }
    if (predicated) emitSrc(out, predicate);
    for (unsigned i = 0; i < info.sources; ++i) emitSrc(out, parseSrc(operands[k++]));
    for (size_t i = 0; i < immediates; ++i) out.push_back(immediate(info, operands[k++]));
    const size_t length = out.size() - start - 1;
    if (length > 15)
        fail("instruction needs " + std::to_string(length) + " parameter DWORDs (15 at most)");
    out[start] = token::instruction(info.opcode, m.control, uint32_t(length), predicated);
}

std::string_view stripComment(std::string_view line) {
    const size_t slash = line.find("//");
    const size_t semi = line.find(';');
    return trim(line.substr(0, std::min(slash, semi)));
}

} // namespace

AssembleResult assemble(std::string_view text, int firstLine, std::span<const CtabEntry> constants,
                        std::string_view creator) {
    AssembleResult result;
    try {
        std::vector<uint32_t> code;
        bool haveVersion = false;
        int versionLine = firstLine;
        int lineNo = firstLine;
        for (std::string_view raw : split(text, '\n')) {
            const int here = lineNo++;
            const std::string_view line = stripComment(raw);
            if (line.empty()) continue;
            if (result.errors.size() >= kMaxErrors) break;
            const size_t mark = code.size();
            try {
                if (!haveVersion) {
                    if (line != "ps_3_0")
                        fail(line.substr(0, 3) == "ps_" || line.substr(0, 3) == "vs_"
                                 ? "only ps_3_0 programs are supported, not '" + std::string(line) +
                                       "'"
                                 : "program must start with ps_3_0");
                    haveVersion = true;
                    versionLine = here;
                    continue;
                }
                if (line == "ps_3_0") fail("second version statement");
                assembleStatement(line, code);
                result.lines.push_back(here);
            } catch (const Error& e) {
                code.resize(mark);
                result.errors.push_back({here, int(result.lines.size()), e.message});
            }
        }
        if (!haveVersion && result.errors.empty())
            result.errors.push_back({firstLine, -1, "program is empty: ps_3_0 expected"});
        const CtabWriteResult ctab = writeCtabComment(constants, creator, token::kPs30Version);
        if (!ctab.ok()) result.errors.push_back({versionLine, -1, ctab.error});
        if (!result.errors.empty()) {
            result.lines.clear();
            return result;
        }
        result.tokens.reserve(code.size() + ctab.tokens.size() + 2);
        result.tokens.push_back(token::kPs30Version);
        result.tokens.insert(result.tokens.end(), ctab.tokens.begin(), ctab.tokens.end());
        result.tokens.insert(result.tokens.end(), code.begin(), code.end());
        result.tokens.push_back(token::kEnd);
    } catch (const std::exception& e) {
        result.tokens.clear();
        result.lines.clear();
        result.errors.push_back({firstLine, -1, std::string("assembler failure: ") + e.what()});
    }
    return result;
}

} // namespace kestrin::shader
