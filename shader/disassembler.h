// Token stream -> assembly text in the syntax the assembler reads, for diagnostics and tests.
#pragma once

#include "shader/bytecode.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrin::shader {

// One line per instruction; comment blocks become "//" lines, def immediates are printed
// with %.9g (exact for every finite float) followed by their bit patterns. If the stream does
// not decode, returns the decoder's error followed by a hex dump.
std::string disassemble(const uint32_t* tokens, size_t count);
std::string disassemble(const Program& program);

// A single instruction, without a trailing newline.
std::string formatInstruction(const Instruction& ins);

} // namespace kestrin::shader
