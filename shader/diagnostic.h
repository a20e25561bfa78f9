// One message from the assembler or the validator, tied to a source line where known.
#pragma once

#include <string>
#include <vector>

namespace kestrin::shader {

struct Diagnostic {
    int line = 0;         // source line (1-based); 0 when unknown
    int instruction = -1; // instruction index within the program; -1 when not about one
    std::string message;

    // "line 12: ...", else "instruction 3: ...", else the bare message.
    std::string text() const {
        if (line > 0) return "line " + std::to_string(line) + ": " + message;
        if (instruction >= 0) return "instruction " + std::to_string(instruction) + ": " + message;
        return message;
    }
};

inline std::string joinDiagnostics(const std::vector<Diagnostic>& list) {
    std::string out;
    for (const Diagnostic& d : list) out += d.text() + "\n";
    return out;
}

} // namespace kestrin::shader
