// The constant table (CTAB comment): which named parameter lives in which registers.
//
// Layout as the HLSL compiler writes it: 28-byte header, 20-byte entries sorted by name, per
// entry its NUL-terminated name padded to 4 bytes and a 16-byte type record, then the target
// profile string and the creator string, padded to whole DWORDs. All offsets are bytes from
// the start of the table, which is the DWORD after the 'CTAB' FOURCC.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrin::shader {

enum class RegisterSet : uint16_t { Bool = 0, Int4 = 1, Float4 = 2, Sampler = 3 };

enum class ParamClass : uint16_t {
    Scalar = 0,
    Vector = 1,
    MatrixRows = 2,
    MatrixColumns = 3, // register k holds column k
    Object = 4,
    Struct = 5,
};

enum class ParamType : uint16_t {
    Void = 0,
    Bool = 1,
    Int = 2,
    Float = 3,
    String = 4,
    Texture = 5,
    Texture1D = 6,
    Texture2D = 7,
    Texture3D = 8,
    TextureCube = 9,
    Sampler = 10,
    Sampler1D = 11,
    Sampler2D = 12,
    Sampler3D = 13,
    SamplerCube = 14,
};

struct CtabTypeInfo {
    ParamClass cls = ParamClass::Scalar;
    ParamType type = ParamType::Float;
    uint16_t rows = 1;
    uint16_t columns = 1;
    uint16_t elements = 1;
    bool operator==(const CtabTypeInfo&) const = default;
};

struct CtabEntry {
    std::string name;
    RegisterSet set = RegisterSet::Float4;
    uint16_t index = 0; // first register: c#, i#, b# or s#
    uint16_t count = 1; // registers used
    CtabTypeInfo type;
    bool operator==(const CtabEntry&) const = default;
};

// Entries for the parameter shapes the effect uses.
CtabEntry ctabScalar(std::string name, uint16_t reg);                   // float, value in .x
CtabEntry ctabVector(std::string name, uint16_t reg, uint16_t columns); // float2..float4
// Column-major matrix (the HLSL default): one register per column.
CtabEntry ctabMatrixColumns(std::string name, uint16_t reg, uint16_t rows, uint16_t columns);
CtabEntry ctabSampler2D(std::string name, uint16_t sampler);

struct ConstantTable {
    uint32_t version = 0;
    std::string target; // "ps_3_0"
    std::string creator;
    uint32_t flags = 0;
    std::vector<CtabEntry> entries; // in stored order
};

struct CtabWriteResult {
    std::vector<uint32_t> tokens; // comment token, 'CTAB', table DWORDs
    std::string error;
    bool ok() const { return error.empty(); }
};

// Builds the complete comment block (Flags 0, Reserved 0, no default values).
CtabWriteResult writeCtabComment(std::span<const CtabEntry> entries, std::string_view creator,
                                 uint32_t version = 0xFFFF0300);

struct CtabReadResult {
    ConstantTable table;
    std::string error;
    bool ok() const { return error.empty(); }
};

// Reads a CTAB from comment data (`dwords` DWORDs starting with the FOURCC). Every offset and
// count is checked against the comment length; never reads outside it, never throws.
CtabReadResult readCtab(const uint32_t* data, size_t dwords);
// Finds the CTAB comment in a shader token stream and reads it.
CtabReadResult readCtabFromShader(const uint32_t* tokens, size_t count);

// "ps_3_0" for 0xFFFF0300, "vs_2_0" for 0xFFFE0200.
std::string profileName(uint32_t version);

} // namespace kestrin::shader
