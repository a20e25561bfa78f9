// ps_3_0 rules for a decoded program: declarations, register ranges and read ports, operand
// kinds and modifiers, structured flow control, outputs, and clashes between def and the
// constant table.
#pragma once

#include "shader/bytecode.h"
#include "shader/ctab.h"
#include "shader/diagnostic.h"

#include <span>
#include <vector>

namespace kestrin::shader {

inline constexpr unsigned kMaxLoopDepth = 4; // rep/loop nesting
inline constexpr unsigned kMaxIfDepth = 24;  // if nesting

// Returns every rule the program breaks (empty = valid). `constants` is the program's constant
// table; `lines` maps instruction index -> source line (the assembler's AssembleResult::lines)
// so messages can name lines; without it they name instruction indices.
std::vector<Diagnostic> validate(const Program& program, std::span<const CtabEntry> constants = {},
                                 std::span<const int> lines = {});

} // namespace kestrin::shader
