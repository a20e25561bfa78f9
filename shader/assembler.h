// ps_3_0 assembly text -> token stream with a constant table.
//
// Syntax (one statement per line, comments start with // or ;):
//   ps_3_0                                 first statement
//   dcl_texcoord0 v0.xy    dcl_2d s0       declarations (usage + index, texture type, _centroid)
//   def c4, 0.36, 3, 1, 0                  float constants (decimal, correctly rounded)
//   defi i0, 7, 0, 0, 0    defb b0, true   integer and boolean constants
//   mad_sat r0.xy, -r1_abs.x, c2.yz, v0    mnemonic[_cmp][_sat][_pp] dst[.mask], sources
//   (!p0) mov r0, r1                       predication
//   mov r0, v[aL + 2]                      relative input addressing
// Swizzles of 1-4 components repeat their last one (.xy = .xyyy); masks list components in order.
#pragma once

#include "shader/ctab.h"
#include "shader/diagnostic.h"

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace kestrin::shader {

inline constexpr std::string_view kDefaultCreator = "Kestrin ps_3_0 assembler";

struct AssembleResult {
    std::vector<uint32_t> tokens;   // version, CTAB comment, instructions, end token
    std::vector<int> lines;         // source line of each instruction, in program order
    std::vector<Diagnostic> errors; // empty on success
    bool ok() const { return errors.empty(); }
};

// Assembles `text`, whose first line is line `firstLine` of the file it came from. The CTAB
// built from `constants` is placed right after the version token. Never throws.
AssembleResult assemble(std::string_view text, int firstLine, std::span<const CtabEntry> constants,
                        std::string_view creator = kDefaultCreator);

} // namespace kestrin::shader
