// The fast engine's code generator: a trace to native code for one engine.
#pragma once

#include "shader/fast/trace.h"

namespace kestrin::shader::fast {

bool cpuHasAvx2();

// Engine::Avx2 or Engine::Sse2.
CompileResult compileTrace(const Trace& trace, const DrawSpecialisation& draw, Engine engine);

} // namespace kestrin::shader::fast
