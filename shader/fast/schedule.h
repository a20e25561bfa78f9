// The order in which the code generator emits a trace's operations: a list schedule over a
// model core (four issue slots per cycle, each operation's latency, one divider that square
// roots and divisions keep busy), looking at a window of the trace at a time. The program's
// long chains of dependent operations get interleaved, so a block of lanes keeps the units
// busy without the generated code's order depending on the CPU it runs on.
#pragma once

#include <cstdint>
#include <vector>

#include "shader/fast/trace.h"

namespace kestrin::shader::fast {

enum class ScheduleTarget : uint8_t { Avx2, Sse2 };

// Every node of `trace` but its constants, each after the nodes `deps` lists for it.
std::vector<uint32_t> scheduleTrace(const Trace& trace,
                                    const std::vector<std::vector<uint32_t>>& deps,
                                    ScheduleTarget target);

} // namespace kestrin::shader::fast
