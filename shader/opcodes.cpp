#include "shader/opcodes.h"

#include <array>
#include <charconv>

namespace kestrin::shader {
namespace {

constexpr bool Y = true;
constexpr bool N = false;
using O = Opcode;
using E = Extra;
using F = Flow;

// clang-format off
// Operand counts follow wined3d's sm1-3 table; ps_3_0 membership follows the ps_3_0 instruction
// list (lit, dst, slt, sge, sgn, mova are vertex-shader instructions).
constexpr OpcodeInfo kOpcodes[] = {
//   mnemonic  opcode      ctl cmp dst src extra     ps30 repl flow        tex grad
    {"nop",    O::Nop,     0,  N,  N,  0,  E::None,   Y,  N,  F::None,    N,  N},
    {"mov",    O::Mov,     0,  N,  Y,  1,  E::None,   Y,  N,  F::None,    N,  N},
    {"add",    O::Add,     0,  N,  Y,  2,  E::None,   Y,  N,  F::None,    N,  N},
    {"sub",    O::Sub,     0,  N,  Y,  2,  E::None,   Y,  N,  F::None,    N,  N},
    {"mad",    O::Mad,     0,  N,  Y,  3,  E::None,   Y,  N,  F::None,    N,  N},
    {"mul",    O::Mul,     0,  N,  Y,  2,  E::None,   Y,  N,  F::None,    N,  N},
    {"rcp",    O::Rcp,     0,  N,  Y,  1,  E::None,   Y,  Y,  F::None,    N,  N},
    {"rsq",    O::Rsq,     0,  N,  Y,  1,  E::None,   Y,  Y,  F::None,    N,  N},
    {"dp3",    O::Dp3,     0,  N,  Y,  2,  E::None,   Y,  N,  F::None,    N,  N},
    {"dp4",    O::Dp4,     0,  N,  Y,  2,  E::None,   Y,  N,  F::None,    N,  N},
    {"min",    O::Min,     0,  N,  Y,  2,  E::None,   Y,  N,  F::None,    N,  N},
    {"max",    O::Max,     0,  N,  Y,  2,  E::None,   Y,  N,  F::None,    N,  N},
    {"slt",    O::Slt,     0,  N,  Y,  2,  E::None,   N,  N,  F::None,    N,  N},
    {"sge",    O::Sge,     0,  N,  Y,  2,  E::None,   N,  N,  F::None,    N,  N},
    {"exp",    O::Exp,     0,  N,  Y,  1,  E::None,   Y,  Y,  F::None,    N,  N},
    {"log",    O::Log,     0,  N,  Y,  1,  E::None,   Y,  Y,  F::None,    N,  N},
    {"lit",    O::Lit,     0,  N,  Y,  1,  E::None,   N,  N,  F::None,    N,  N},
    {"dst",    O::Dst,     0,  N,  Y,  2,  E::None,   N,  N,  F::None,    N,  N},
    {"lrp",    O::Lrp,     0,  N,  Y,  3,  E::None,   Y,  N,  F::None,    N,  N},
    {"frc",    O::Frc,     0,  N,  Y,  1,  E::None,   Y,  N,  F::None,    N,  N},
    {"m4x4",   O::M4x4,    0,  N,  Y,  2,  E::None,   Y,  N,  F::None,    N,  N},
    {"m4x3",   O::M4x3,    0,  N,  Y,  2,  E::None,   Y,  N,  F::None,    N,  N},
    {"m3x4",   O::M3x4,    0,  N,  Y,  2,  E::None,   Y,  N,  F::None,    N,  N},
    {"m3x3",   O::M3x3,    0,  N,  Y,  2,  E::None,   Y,  N,  F::None,    N,  N},
    {"m3x2",   O::M3x2,    0,  N,  Y,  2,  E::None,   Y,  N,  F::None,    N,  N},
    {"call",   O::Call,    0,  N,  N,  1,  E::None,   Y,  N,  F::Call,    N,  N},
    {"callnz", O::CallNz,  0,  N,  N,  2,  E::None,   Y,  N,  F::Call,    N,  N},
    {"loop",   O::Loop,    0,  N,  N,  2,  E::None,   Y,  N,  F::Loop,    N,  N},
    {"ret",    O::Ret,     0,  N,  N,  0,  E::None,   Y,  N,  F::Ret,     N,  N},
    {"endloop",O::EndLoop, 0,  N,  N,  0,  E::None,   Y,  N,  F::EndLoop, N,  N},
    {"label",  O::Label,   0,  N,  N,  1,  E::None,   Y,  N,  F::Label,   N,  N},
    {"dcl",    O::Dcl,     0,  N,  Y,  0,  E::Usage,  Y,  N,  F::None,    N,  N},
    {"pow",    O::Pow,     0,  N,  Y,  2,  E::None,   Y,  Y,  F::None,    N,  N},
    {"crs",    O::Crs,     0,  N,  Y,  2,  E::None,   Y,  N,  F::None,    N,  N},
    {"sgn",    O::Sgn,     0,  N,  Y,  3,  E::None,   N,  N,  F::None,    N,  N},
    {"abs",    O::Abs,     0,  N,  Y,  1,  E::None,   Y,  N,  F::None,    N,  N},
    {"nrm",    O::Nrm,     0,  N,  Y,  1,  E::None,   Y,  N,  F::None,    N,  N},
    {"sincos", O::SinCos,  0,  N,  Y,  1,  E::None,   Y,  Y,  F::None,    N,  N},
    {"rep",    O::Rep,     0,  N,  N,  1,  E::None,   Y,  N,  F::Rep,     N,  N},
    {"endrep", O::EndRep,  0,  N,  N,  0,  E::None,   Y,  N,  F::EndRep,  N,  N},
    {"if",     O::If,      0,  N,  N,  1,  E::None,   Y,  N,  F::If,      N,  N},
    {"if",     O::IfC,     0,  Y,  N,  2,  E::None,   Y,  N,  F::If,      N,  N},
    {"else",   O::Else,    0,  N,  N,  0,  E::None,   Y,  N,  F::Else,    N,  N},
    {"endif",  O::EndIf,   0,  N,  N,  0,  E::None,   Y,  N,  F::EndIf,   N,  N},
    {"break",  O::Break,   0,  N,  N,  0,  E::None,   Y,  N,  F::Break,   N,  N},
    {"break",  O::BreakC,  0,  Y,  N,  2,  E::None,   Y,  N,  F::Break,   N,  N},
    {"mova",   O::MovA,    0,  N,  Y,  1,  E::None,   N,  N,  F::None,    N,  N},
    {"defb",   O::DefB,    0,  N,  Y,  0,  E::Bool,   Y,  N,  F::None,    N,  N},
    {"defi",   O::DefI,    0,  N,  Y,  0,  E::Int4,   Y,  N,  F::None,    N,  N},
    {"texkill",O::TexKill, 0,  N,  Y,  0,  E::None,   Y,  N,  F::None,    N,  N},
    {"texld",  O::TexLd,   0,  N,  Y,  2,  E::None,   Y,  N,  F::None,    Y,  Y},
    {"texldp", O::TexLd,   1,  N,  Y,  2,  E::None,   Y,  N,  F::None,    Y,  Y},
    {"texldb", O::TexLd,   2,  N,  Y,  2,  E::None,   Y,  N,  F::None,    Y,  Y},
    {"def",    O::Def,     0,  N,  Y,  0,  E::Float4, Y,  N,  F::None,    N,  N},
    {"cmp",    O::Cmp,     0,  N,  Y,  3,  E::None,   Y,  N,  F::None,    N,  N},
    {"dp2add", O::Dp2Add,  0,  N,  Y,  3,  E::None,   Y,  N,  F::None,    N,  N},
    {"dsx",    O::Dsx,     0,  N,  Y,  1,  E::None,   Y,  N,  F::None,    N,  Y},
    {"dsy",    O::Dsy,     0,  N,  Y,  1,  E::None,   Y,  N,  F::None,    N,  Y},
    {"texldd", O::TexLdd,  0,  N,  Y,  4,  E::None,   Y,  N,  F::None,    Y,  N},
    {"setp",   O::Setp,    0,  Y,  Y,  2,  E::None,   Y,  N,  F::None,    N,  N},
    {"texldl", O::TexLdl,  0,  N,  Y,  2,  E::None,   Y,  N,  F::None,    Y,  N},
    {"breakp", O::BreakP,  0,  N,  N,  1,  E::None,   Y,  N,  F::Break,   N,  N},
};

using R = RegType;
// Counts and read ports are the ps_3_0 register table's. Types with count 0 are not usable in
// ps_3_0 and get no asm name.
constexpr RegisterInfo kRegisters[kRegTypeCount] = {
//   type            prefix    numbered count ports dcl  writable
    {R::Temp,        "r",      Y,       32,   3,    N,   Y},
    {R::Input,       "v",      Y,       10,   1,    Y,   N},
    {R::Const,       "c",      Y,       224,  1,    N,   N},
    {R::Addr,        "",       Y,       0,    0,    N,   N},
    {R::RastOut,     "",       Y,       0,    0,    N,   N},
    {R::AttrOut,     "",       Y,       0,    0,    N,   N},
    {R::Output,      "",       Y,       0,    0,    N,   N},
    {R::ConstInt,    "i",      Y,       16,   1,    N,   N},
    {R::ColorOut,    "oC",     Y,       4,    0,    N,   Y},
    {R::DepthOut,    "oDepth", N,       1,    0,    N,   Y},
    {R::Sampler,     "s",      Y,       16,   1,    Y,   N},
    {R::Const2,      "",       Y,       0,    0,    N,   N},
    {R::Const3,      "",       Y,       0,    0,    N,   N},
    {R::Const4,      "",       Y,       0,    0,    N,   N},
    {R::ConstBool,   "b",      Y,       16,   1,    N,   N},
    {R::Loop,        "aL",     N,       1,    1,    N,   N},
    {R::TempFloat16, "",       Y,       0,    0,    N,   N},
    {R::Misc,        "vPos",   N,       2,    2,    Y,   N},
    {R::Label,       "l",      Y,       2048, 1,    N,   N},
    {R::Predicate,   "p",      Y,       1,    1,    N,   Y},
};
// clang-format on

constexpr std::string_view kMiscNames[] = {"vPos", "vFace"};
constexpr std::string_view kComparisons[] = {"", "gt", "eq", "ge", "lt", "ne", "le"};
constexpr std::string_view kUsages[kUsageCount] = {
    "position", "blendweight", "blendindices", "normal", "psize", "texcoord", "tangent",
    "binormal", "tessfactor",  "positiont",    "color",  "fog",   "depth",    "sample"};
constexpr std::string_view kTextureTypes[] = {"", "", "2d", "cube", "volume"};

constexpr bool registerTableInOrder() {
    for (unsigned i = 0; i < kRegTypeCount; ++i)
        if (static_cast<unsigned>(kRegisters[i].type) != i) return false;
    return true;
}
static_assert(registerTableInOrder(), "kRegisters must be indexed by RegType");

} // namespace

std::span<const OpcodeInfo> opcodeTable() {
    return kOpcodes;
}
std::span<const RegisterInfo> registerTable() {
    return kRegisters;
}

const OpcodeInfo* findOpcode(uint16_t opcode, uint8_t control) {
    for (const OpcodeInfo& row : kOpcodes) {
        if (static_cast<uint16_t>(row.opcode) != opcode) continue;
        if (row.comparison ? (control >= 1 && control <= 6) : control == row.control) return &row;
    }
    return nullptr;
}

bool knownOpcode(uint16_t opcode) {
    for (const OpcodeInfo& row : kOpcodes)
        if (static_cast<uint16_t>(row.opcode) == opcode) return true;
    return false;
}

const OpcodeInfo* findMnemonic(std::string_view mnemonic, bool comparison) {
    for (const OpcodeInfo& row : kOpcodes)
        if (row.mnemonic == mnemonic && row.comparison == comparison) return &row;
    return nullptr;
}

const RegisterInfo* registerInfo(unsigned type) {
    return type < kRegTypeCount ? &kRegisters[type] : nullptr;
}

std::string registerName(RegType type, uint32_t index) {
    if (type == RegType::Misc)
        return index < 2 ? std::string(kMiscNames[index]) : "misc" + std::to_string(index);
    const RegisterInfo* info = registerInfo(static_cast<unsigned>(type));
    if (!info || info->prefix.empty())
        return "reg" + std::to_string(static_cast<unsigned>(type)) + "_" + std::to_string(index);
    if (!info->numbered && index == 0) return std::string(info->prefix);
    return std::string(info->prefix) + std::to_string(index);
}

bool parseRegisterName(std::string_view text, RegType& type, uint32_t& index) {
    for (unsigned i = 0; i < 2; ++i) {
        if (text == kMiscNames[i]) {
            type = RegType::Misc;
            index = i;
            return true;
        }
    }
    size_t digits = text.size();
    while (digits > 0 && text[digits - 1] >= '0' && text[digits - 1] <= '9') --digits;
    const std::string_view prefix = text.substr(0, digits);
    const std::string_view number = text.substr(digits);
    for (const RegisterInfo& info : kRegisters) {
        if (info.type == RegType::Misc || info.prefix.empty() || info.prefix != prefix) continue;
        if (!info.numbered) {
            if (!number.empty()) return false;
            type = info.type;
            index = 0;
            return true;
        }
        if (number.empty() || number.size() > 5) return false;
        std::from_chars(number.data(), number.data() + number.size(), index);
        type = info.type;
        return true;
    }
    return false;
}

bool isPs30SourceModifier(unsigned mod) {
    return mod == 0 || mod == 1 || mod == 11 || mod == 12 || mod == 13;
}

std::string_view comparisonName(unsigned comparison) {
    return comparison < std::size(kComparisons) ? kComparisons[comparison] : "";
}
std::string_view usageName(unsigned usage) {
    return usage < kUsageCount ? kUsages[usage] : "";
}
std::string_view textureTypeName(unsigned textureType) {
    return textureType < std::size(kTextureTypes) ? kTextureTypes[textureType] : "";
}

} // namespace kestrin::shader
