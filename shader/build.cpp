#include "shader/build.h"

#include "shader/bytecode.h"
#include "shader/validator.h"

#include <algorithm>

namespace kestrin::shader {

BuildResult buildProgram(std::string_view text, int firstLine, std::span<const CtabEntry> constants,
                         std::string_view creator) {
    BuildResult result;
    try {
        AssembleResult assembled = assemble(text, firstLine, constants, creator);
        if (!assembled.ok()) {
            result.errors = std::move(assembled.errors);
            return result;
        }
        const DecodeResult decoded = decode(assembled.tokens.data(), assembled.tokens.size());
        if (!decoded.ok()) {
            result.errors.push_back(
                {firstLine, -1, "assembled program does not decode: " + decoded.error});
            return result;
        }
        result.errors = validate(decoded.program, constants, assembled.lines);
        std::stable_sort(result.errors.begin(), result.errors.end(),
                         [](const Diagnostic& a, const Diagnostic& b) { return a.line < b.line; });
        result.lines = std::move(assembled.lines);
        if (result.ok()) result.tokens = std::move(assembled.tokens);
    } catch (const std::exception& e) {
        result = {};
        result.errors.push_back({firstLine, -1, std::string("build failure: ") + e.what()});
    }
    return result;
}

} // namespace kestrin::shader
