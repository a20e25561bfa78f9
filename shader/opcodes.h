// The two tables every piece of the ps_3_0 tool chain reads: instructions and register types.
// The assembler, decoder, validator, disassembler and interpreter look facts up here instead of
// keeping their own lists of names or operand counts.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kestrin::shader {

// Low 16 bits of an instruction token, numbered as in d3d9types.h.
enum class Opcode : uint16_t {
    Nop = 0x00,
    Mov = 0x01,
    Add = 0x02,
    Sub = 0x03,
    Mad = 0x04,
    Mul = 0x05,
    Rcp = 0x06,
    Rsq = 0x07,
    Dp3 = 0x08,
    Dp4 = 0x09,
    Min = 0x0A,
    Max = 0x0B,
    Slt = 0x0C,
    Sge = 0x0D,
    Exp = 0x0E,
    Log = 0x0F,
    Lit = 0x10,
    Dst = 0x11,
    Lrp = 0x12,
    Frc = 0x13,
    M4x4 = 0x14,
    M4x3 = 0x15,
    M3x4 = 0x16,
    M3x3 = 0x17,
    M3x2 = 0x18,
    Call = 0x19,
    CallNz = 0x1A,
    Loop = 0x1B,
    Ret = 0x1C,
    EndLoop = 0x1D,
    Label = 0x1E,
    Dcl = 0x1F,
    Pow = 0x20,
    Crs = 0x21,
    Sgn = 0x22,
    Abs = 0x23,
    Nrm = 0x24,
    SinCos = 0x25,
    Rep = 0x26,
    EndRep = 0x27,
    If = 0x28,
    IfC = 0x29,
    Else = 0x2A,
    EndIf = 0x2B,
    Break = 0x2C,
    BreakC = 0x2D,
    MovA = 0x2E,
    DefB = 0x2F,
    DefI = 0x30,
    TexKill = 0x41,
    TexLd = 0x42, // texld, texldp (control 1), texldb (control 2)
    Def = 0x51,
    Cmp = 0x58,
    Dp2Add = 0x5A,
    Dsx = 0x5B,
    Dsy = 0x5C,
    TexLdd = 0x5D,
    Setp = 0x5E,
    TexLdl = 0x5F,
    BreakP = 0x60,
};

// What follows the instruction token besides destination and sources.
enum class Extra : uint8_t {
    None,
    Usage,  // dcl: a usage token *before* the destination
    Float4, // def: four IEEE singles after the destination
    Int4,   // defi: four signed integers
    Bool,   // defb: one DWORD, 0 or 1
};

// Role of an instruction in structured control flow.
enum class Flow : uint8_t {
    None,
    Rep,
    EndRep,
    Loop,
    EndLoop,
    If,
    Else,
    EndIf,
    Break,
    Call,
    Ret,
    Label
};

struct OpcodeInfo {
    std::string_view mnemonic;
    Opcode opcode;
    uint8_t control; // fixed control bits 16-23 (texldp 1, texldb 2), else 0
    bool comparison; // control bits hold a Comparison, written as a suffix: if_gt, setp_le
    bool dst;        // one destination parameter
    uint8_t sources; // source parameters after the destination
    Extra extra;
    bool ps30;      // allowed in ps_3_0
    bool replicate; // scalar operation: every source needs a replicate swizzle (.x .y .z .w)
    Flow flow;
    bool texture;  // samples: dst, coordinate, sampler (+ gradients for texldd)
    bool gradient; // needs screen-space derivatives: not allowed in dynamic flow control
};

// Register types: bits 28-30 of a parameter token plus bits 11-12 shifted up by 3.
enum class RegType : uint8_t {
    Temp = 0,
    Input = 1,
    Const = 2,
    Addr = 3,
    RastOut = 4,
    AttrOut = 5,
    Output = 6,
    ConstInt = 7,
    ColorOut = 8,
    DepthOut = 9,
    Sampler = 10,
    Const2 = 11,
    Const3 = 12,
    Const4 = 13,
    ConstBool = 14,
    Loop = 15,
    TempFloat16 = 16,
    Misc = 17, // vPos (index 0), vFace (index 1)
    Label = 18,
    Predicate = 19,
};
inline constexpr unsigned kRegTypeCount = 20;

struct RegisterInfo {
    RegType type;
    std::string_view prefix; // asm name: the prefix of a numbered register, else the whole name
    bool numbered;           // written with its number (r5); false for oDepth, aL, vPos/vFace
    uint16_t count;          // registers available in ps_3_0; 0 = type not usable in ps_3_0
    uint8_t readPorts;       // distinct registers of this type one instruction may read; 0 = none
    bool needsDcl;           // must be declared before it is read
    bool writable;           // may be an instruction's destination (dcl/def targets aside)
};

// Source modifiers allowed in ps_3_0 (bits 24-27 of a source token).
enum class SrcMod : uint8_t { None = 0, Neg = 1, Abs = 11, NegAbs = 12, Not = 13 };

// Comparison kinds for if_comp, break_comp, setp_comp (control bits 16-23).
enum class Comparison : uint8_t { Gt = 1, Eq = 2, Ge = 3, Lt = 4, Ne = 5, Le = 6 };

// Sampler texture types of dcl_2d etc. (usage token bits 27-30).
enum class TextureType : uint8_t { Unknown = 0, Tex2D = 2, Cube = 3, Volume = 4 };

std::span<const OpcodeInfo> opcodeTable();
std::span<const RegisterInfo> registerTable(); // indexed by RegType

// Decoding: the row for an opcode and its control bits; null when none matches.
const OpcodeInfo* findOpcode(uint16_t opcode, uint8_t control);
// True if some row has this opcode, whatever the control bits (to tell the errors apart).
bool knownOpcode(uint16_t opcode);
// Assembling: the row for a mnemonic, with or without a comparison suffix.
const OpcodeInfo* findMnemonic(std::string_view mnemonic, bool comparison);

const RegisterInfo* registerInfo(unsigned type); // null when out of range
std::string registerName(RegType type, uint32_t index);
// Parses a whole register name ("r12", "oC0", "vFace", "aL"); false if it is none.
bool parseRegisterName(std::string_view text, RegType& type, uint32_t& index);

bool isPs30SourceModifier(unsigned mod);

// Name tables for the small enumerations ("" when the value has no name).
std::string_view comparisonName(unsigned comparison);   // "gt", ...
std::string_view usageName(unsigned usage);             // D3DDECLUSAGE: "position", "texcoord", ...
std::string_view textureTypeName(unsigned textureType); // "2d", "cube", "volume"
inline constexpr unsigned kUsageCount = 14;

} // namespace kestrin::shader
