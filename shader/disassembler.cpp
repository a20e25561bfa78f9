#include "shader/disassembler.h"

#include "shader/ctab.h"

#include <cstdio>
#include <cstring>

namespace kestrin::shader {
namespace {

constexpr char kComponents[] = "xyzw";

std::string hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

std::string mask(uint8_t m) {
    if (m == kFullMask) return "";
    std::string s = ".";
    for (unsigned k = 0; k < 4; ++k)
        if (m & (1u << k)) s += kComponents[k];
    return s;
}

// Shortest swizzle that reads back the same: trailing repeats of the last component drop.
std::string swizzle(uint8_t swz) {
    if (swz == kIdentitySwizzle) return "";
    unsigned n = 4;
    while (n > 1 && swizzleComponent(swz, n - 1) == swizzleComponent(swz, n - 2)) --n;
    std::string s = ".";
    for (unsigned c = 0; c < n; ++c) s += kComponents[swizzleComponent(swz, c)];
    return s;
}

std::string source(const SrcParam& p) {
    std::string s;
    if (p.modifier == SrcMod::Neg || p.modifier == SrcMod::NegAbs) s += '-';
    if (p.modifier == SrcMod::Not) s += '!';
    if (p.relative) {
        s += std::string(registerInfo(unsigned(p.type))->prefix) + "[aL";
        if (p.index) s += " + " + std::to_string(p.index);
        s += ']';
    } else {
        s += registerName(p.type, p.index);
    }
    if (p.modifier == SrcMod::Abs || p.modifier == SrcMod::NegAbs) s += "_abs";
    return s + swizzle(p.swizzle);
}

std::string mnemonic(const Instruction& ins) {
    std::string s(ins.info->mnemonic);
    if (ins.opcode == Opcode::Dcl) {
        const std::string_view texture = textureTypeName(ins.textureType);
        if (!texture.empty())
            s += "_" + std::string(texture);
        else if (ins.dst.type != RegType::Misc || ins.usage || ins.usageIndex)
            s += "_" + std::string(usageName(ins.usage)) + std::to_string(ins.usageIndex);
        if (ins.dst.centroid) s += "_centroid";
    }
    if (ins.info->comparison) s += "_" + std::string(comparisonName(ins.control));
    if (ins.dst.saturate && ins.hasDst) s += "_sat";
    if (ins.dst.partialPrecision && ins.hasDst) s += "_pp";
    return s;
}

std::string fourccText(uint32_t fourcc) {
    std::string s;
    for (int k = 0; k < 4; ++k) {
        const char c = char(fourcc >> (8 * k));
        s += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return s;
}

} // namespace

std::string formatInstruction(const Instruction& ins) {
    if (!ins.info) return "<not decoded>";
    std::string s;
    if (ins.predicated) s += "(" + source(ins.predicate) + ") ";
    s += mnemonic(ins);
    std::string sep = " ";
    if (ins.hasDst) {
        s += sep + registerName(ins.dst.type, ins.dst.index) + mask(ins.dst.mask);
        sep = ", ";
    }
    for (unsigned i = 0; i < ins.sourceCount; ++i, sep = ", ") s += sep + source(ins.src[i]);
    std::string bits;
    for (unsigned i = 0; i < ins.immediateCount; ++i, sep = ", ") {
        const uint32_t v = ins.immediate[i];
        char buf[32];
        if (ins.info->extra == Extra::Float4) {
            float f;
            std::memcpy(&f, &v, 4);
            std::snprintf(buf, sizeof buf, "%.9g", double(f));
            bits += " " + hex(v);
        } else if (ins.info->extra == Extra::Int4) {
            std::snprintf(buf, sizeof buf, "%d", int(int32_t(v)));
        } else {
            std::snprintf(buf, sizeof buf, "%s", v ? "true" : "false");
        }
        s += sep + buf;
    }
    if (!bits.empty()) s += "  //" + bits;
    return s;
}

std::string disassemble(const Program& program) {
    std::string out = profileName(program.version) + "\n";
    size_t comment = 0;
    size_t depth = 0; // open rep/loop/if blocks, for indentation
    for (size_t i = 0; i <= program.instructions.size(); ++i) {
        for (;
             comment < program.comments.size() && program.comments[comment].beforeInstruction == i;
             ++comment) {
            const Comment& c = program.comments[comment];
            out += "// comment '" + fourccText(c.fourcc) + "', " + std::to_string(c.dwords) +
                   " DWORDs\n";
        }
        if (i == program.instructions.size()) break;
        const Instruction& ins = program.instructions[i];
        const Flow flow = ins.info ? ins.info->flow : Flow::None;
        if (depth > 0 && (flow == Flow::Else || flow == Flow::EndIf || flow == Flow::EndRep ||
                          flow == Flow::EndLoop))
            --depth;
        out += std::string(4 * depth, ' ') + formatInstruction(ins) + "\n";
        if (flow == Flow::Rep || flow == Flow::Loop || flow == Flow::If || flow == Flow::Else)
            ++depth;
    }
    return out;
}

std::string disassemble(const uint32_t* tokens, size_t count) try {
    const DecodeResult r = decode(tokens, count);
    if (r.ok()) return disassemble(r.program);
    std::string out = "// cannot decode: " + r.error + "\n";
    for (size_t i = 0; tokens && i < count; ++i)
        out += (i % 8 == 0 ? "// " : " ") + hex(tokens[i]) +
               (i % 8 == 7 || i + 1 == count ? "\n" : "");
    return out;
} catch (const std::exception&) {
    return "// disassembly failed\n";
}

} // namespace kestrin::shader
