// Text -> validated ps_3_0 tokens in one call: assemble, decode the result, check the rules.
#pragma once

#include "shader/assembler.h"

namespace kestrin::shader {

struct BuildResult {
    std::vector<uint32_t> tokens;   // empty unless the program is valid
    std::vector<int> lines;         // source line of each instruction
    std::vector<Diagnostic> errors; // assembler errors, else validator findings, in line order
    bool ok() const { return errors.empty(); }
};

BuildResult buildProgram(std::string_view text, int firstLine, std::span<const CtabEntry> constants,
                         std::string_view creator = kDefaultCreator);

} // namespace kestrin::shader
