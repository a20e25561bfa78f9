// The fast engine's intermediate form: one draw's program as a straight-line trace of SSA
// operations on per-lane values, after static flow control, constant folding and value numbering.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "shader/compiled_program.h"

namespace kestrin::shader::fast {

enum class Op : uint8_t {
    Const, // k: the same value in every lane
    Input, // v<reg>.component: a = 4 * reg + component
    Add,
    Sub,
    Mul,
    Div,
    Sqrt,
    Neg,
    Abs,
    Min,    // a < b ? a : b
    MaxGe,  // a >= b ? a : b
    Sel,    // a >= 0 ? b : c
    SelLe0, // a <= 0 ? b : c  (cmp of a negated source)
    Sat,    // NaN -> 0, then clamp to [0, 1]; -0 stays -0
    Frc,    // a - floor(a)
    // Texture reads. XIndex/YIndex check a coordinate and keep a byte offset (no vector value);
    // Load reads channel `channel` at XIndex a + YIndex b of stage `stage`.
    XIndex, // a = u: column index floor(u * width), lanes must step by one texel
    YIndex, // a = v: row index floor(v * height), lanes must agree
    Load,
    LoadFixed, // every lane reads texel `fixedTexel` (constant coordinates): broadcast
};

struct Node {
    Op op = Op::Const;
    uint8_t stage = 0;
    uint8_t channel = 0;
    uint32_t a = 0, b = 0, c = 0;
    float k = 0.0f;
    int64_t fixedTexel = 0; // LoadFixed: float offset from texel (0, 0) of plane 0
};

struct Trace {
    std::vector<Node> nodes;
    std::array<uint32_t, 4> outputs{}; // colour 0, per component
    std::array<uint8_t, kInputRegisters> inputComponents{};
    std::array<uint8_t, kSamplers> stageChannels{}; // plane channels the loads read
    size_t operations = 0;                          // live non-constant nodes
};

struct TraceResult {
    Trace trace;
    std::string error; // empty on success
};

// Builds the trace of `program` for a draw. Nodes come in dependence order; only nodes that
// reach an output are kept.
TraceResult buildTrace(const PixelProgram& program, const Program& code,
                       const DrawSpecialisation& draw);

// The nodes `n` reads, in operand order (a read: its XIndex and YIndex nodes); returns how many.
inline unsigned nodeOperands(const Node& n, uint32_t out[3]) {
    switch (n.op) {
    case Op::Const:
    case Op::Input:
    case Op::LoadFixed:
        return 0;
    case Op::XIndex:
    case Op::YIndex:
    case Op::Sqrt:
    case Op::Neg:
    case Op::Abs:
    case Op::Sat:
    case Op::Frc:
        out[0] = n.a;
        return 1;
    case Op::Sel:
    case Op::SelLe0:
        out[0] = n.a;
        out[1] = n.b;
        out[2] = n.c;
        return 3;
    default: // two-operand arithmetic, Load
        out[0] = n.a;
        out[1] = n.b;
        return 2;
    }
}

// The interpreter's scalar arithmetic, used to fold constants (one definition for both).
float foldSat(float v);
float foldFrc(float v);

} // namespace kestrin::shader::fast
