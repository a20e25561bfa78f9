// ps_3_0 token layout and the decoded form of a program.
//
// decode() turns a token stream into a Program once; the validator, the disassembler and the
// interpreter work on that Program and never look at raw parameter bits again.
#pragma once

#include "shader/opcodes.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrin::shader {

namespace token {

inline constexpr uint32_t kPs30Version = 0xFFFF0300;
inline constexpr uint32_t kEnd = 0x0000FFFF;
inline constexpr uint32_t kCommentOpcode = 0xFFFE;
inline constexpr uint32_t kMaxCommentDwords = 0x7FFF;
inline constexpr uint32_t kParamBit = 0x80000000u;

constexpr uint32_t fourcc(char a, char b, char c, char d) {
    return uint32_t(uint8_t(a)) | uint32_t(uint8_t(b)) << 8 | uint32_t(uint8_t(c)) << 16 |
           uint32_t(uint8_t(d)) << 24;
}
inline constexpr uint32_t kCtab = fourcc('C', 'T', 'A', 'B');

constexpr uint32_t comment(uint32_t dwords) {
    return (dwords & 0x7FFF) << 16 | kCommentOpcode;
}

constexpr uint32_t instruction(Opcode op, uint32_t control, uint32_t length, bool predicated) {
    return uint32_t(op) | (control & 0xFF) << 16 | (length & 0xF) << 24 |
           (predicated ? 1u << 28 : 0u);
}

// Bit 31, register type split over bits 28-30 and 11-12, register number in bits 0-10.
constexpr uint32_t reg(RegType type, uint32_t index) {
    const uint32_t t = uint32_t(type);
    return kParamBit | (t & 7) << 28 | (t & 0x18) << 8 | (index & 0x7FF);
}
constexpr RegType regType(uint32_t param) {
    return RegType(((param >> 28) & 7) | ((param >> 8) & 0x18));
}
constexpr uint32_t regIndex(uint32_t param) {
    return param & 0x7FF;
}

// Result modifier flags, bits 20-23 of a destination token.
inline constexpr uint32_t kSaturate = 0x1;
inline constexpr uint32_t kPartialPrecision = 0x2;
inline constexpr uint32_t kCentroid = 0x4;

constexpr uint32_t dst(RegType type, uint32_t index, uint32_t mask, uint32_t modifiers = 0) {
    return reg(type, index) | (mask & 0xF) << 16 | (modifiers & 0xF) << 20;
}
inline constexpr uint32_t kRelativeBit = 1u << 13;
constexpr uint32_t src(RegType type, uint32_t index, uint32_t swizzle = 0xE4,
                       SrcMod mod = SrcMod::None, bool relative = false) {
    return reg(type, index) | (swizzle & 0xFF) << 16 | uint32_t(mod) << 24 |
           (relative ? kRelativeBit : 0u);
}

// dcl usage token: usage in bits 0-3, usage index in bits 16-19, texture type in bits 27-30.
constexpr uint32_t usage(uint32_t usage, uint32_t usageIndex, uint32_t textureType = 0) {
    return kParamBit | (usage & 0xF) | (usageIndex & 0xF) << 16 | (textureType & 0xF) << 27;
}

// True if a DWORD would stop or derail readers that look for the end token or comment headers
// DWORD by DWORD instead of following instruction lengths (D3DX's size and comment search do).
// def/defi immediates must avoid these patterns.
constexpr bool isScannerHazard(uint32_t bits) {
    return bits == kEnd || (bits & 0xFFFF) == kCommentOpcode;
}

} // namespace token

inline constexpr uint8_t kIdentitySwizzle = 0xE4;
inline constexpr uint8_t kFullMask = 0xF;
// Component (0 = x ... 3 = w) that a swizzle routes into output channel `channel`.
constexpr unsigned swizzleComponent(uint8_t swizzle, unsigned channel) {
    return (swizzle >> (2 * channel)) & 3;
}
constexpr bool isReplicateSwizzle(uint8_t swizzle) {
    return swizzle == 0x00 || swizzle == 0x55 || swizzle == 0xAA || swizzle == 0xFF;
}

struct DstParam {
    RegType type = RegType::Temp;
    uint32_t index = 0;
    uint8_t mask = kFullMask; // bit 0 = x ... bit 3 = w
    bool saturate = false;
    bool partialPrecision = false;
    bool centroid = false; // only meaningful on dcl of inputs
};

struct SrcParam {
    RegType type = RegType::Temp;
    uint32_t index = 0;
    uint8_t swizzle = kIdentitySwizzle;
    SrcMod modifier = SrcMod::None;
    // Relative addressing (only v[aL + n] in ps_3_0): register index += relative register's
    // selected component.
    bool relative = false;
    RegType relativeType = RegType::Loop;
    uint32_t relativeIndex = 0;
    uint8_t relativeComponent = 0;
};

inline constexpr uint32_t kNoPartner = 0xFFFFFFFF;

struct Instruction {
    const OpcodeInfo* info = nullptr; // row of the opcode table, never null after decode
    Opcode opcode = Opcode::Nop;
    uint8_t control = 0;      // comparison kind or texld flavour (bits 16-23)
    uint32_t tokenOffset = 0; // index of the instruction token in the stream
    bool hasDst = false;
    DstParam dst;
    bool predicated = false; // executes only where `predicate` holds
    SrcParam predicate;
    uint8_t sourceCount = 0;
    std::array<SrcParam, 4> src{};
    // def/defi/defb: raw immediate DWORDs (floats as bit patterns).
    uint8_t immediateCount = 0;
    std::array<uint32_t, 4> immediate{};
    // dcl: D3DDECLUSAGE, its index, and the sampler texture type for samplers.
    uint8_t usage = 0;
    uint8_t usageIndex = 0;
    uint8_t textureType = 0;
    // Structured flow control: rep/loop/if -> its else or end; else -> end; ends -> opener.
    // Only meaningful once the validator has accepted the program (kNoPartner if unmatched).
    uint32_t partner = kNoPartner;

    Comparison comparison() const { return Comparison(control); }
};

struct Comment {
    uint32_t fourcc = 0;            // first data DWORD, 0 if the comment is empty
    uint32_t offset = 0;            // token index of the first data DWORD (the FOURCC)
    uint32_t dwords = 0;            // data DWORDs, FOURCC included
    uint32_t beforeInstruction = 0; // number of instructions that precede it
};

struct Program {
    uint32_t version = 0;
    std::vector<Instruction> instructions;
    std::vector<Comment> comments;
    uint32_t tokenCount = 0; // tokens up to and including the end token
};

struct DecodeResult {
    Program program;
    std::string error; // empty on success
    bool ok() const { return error.empty(); }
};

// Decodes a ps_3_0 token stream of `count` DWORDs. Never reads past `count`, never throws;
// rejects unknown opcodes, instructions or register types outside ps_3_0, ps 1.x modifiers,
// length mismatches, truncated comments and a missing end token.
DecodeResult decode(const uint32_t* tokens, size_t count);

// Size in bytes of a shader (shader model 2 or later), found by walking instructions and
// comments to the end token without passing `count`. Returns 0 and sets *error on failure.
size_t shaderByteSize(const uint32_t* tokens, size_t count, std::string* error = nullptr);

// First comment block whose data starts with `fourcc`, found the same way. False if none.
bool findComment(const uint32_t* tokens, size_t count, uint32_t fourcc, Comment& out);

} // namespace kestrin::shader
