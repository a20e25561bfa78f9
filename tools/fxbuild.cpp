// fxbuild: effect source -> compiled effect (fx_2_0), or a compiled effect's programs as text.
//
//   fxbuild INPUT.fx -o OUTPUT.fxo     compile; errors as file:line: message, exit 1
//   fxbuild --disasm FILE.fxo          print every pass's program
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <variant>
#include <vector>

#include "fx/reader.h"
#include "fx/states.h"
#include "fx/writer.h"
#include "shader/disassembler.h"
#include "tools/fx_source.h"

namespace {

bool readFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

int usage() {
    std::fprintf(stderr,
                 "usage: fxbuild INPUT.fx -o OUTPUT.fxo\n       fxbuild --disasm FILE.fxo\n");
    return 2;
}

int disassemble(const std::string& path) {
    std::string bytes;
    if (!readFile(path, bytes)) {
        std::fprintf(stderr, "fxbuild: cannot read %s\n", path.c_str());
        return 1;
    }
    const auto effect =
        kestrin::fx::readEffect(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    if (!effect) {
        std::fprintf(stderr, "fxbuild: %s: %s\n", path.c_str(), effect.error().c_str());
        return 1;
    }
    for (const auto& technique : effect.value().techniques) {
        for (const auto& pass : technique.passes) {
            for (const auto& state : pass.states) {
                const auto* code = std::get_if<kestrin::fx::ShaderCode>(&state.value);
                if (!code) continue;
                const auto* info = kestrin::fx::stateByIndex(state.operation);
                std::printf("// %s.%s %s (%zu bytes)\n", technique.name.c_str(), pass.name.c_str(),
                            info ? std::string(info->name).c_str() : "?", code->words.size() * 4);
                std::printf(
                    "%s\n",
                    kestrin::shader::disassemble(code->words.data(), code->words.size()).c_str());
            }
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::string input, output;
    bool disasm = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--disasm") == 0)
            disasm = true;
        else if (std::strcmp(argv[i], "-o") == 0 && i + 1 < argc)
            output = argv[++i];
        else if (argv[i][0] == '-' || !input.empty())
            return usage();
        else
            input = argv[i];
    }
    if (input.empty()) return usage();
    if (disasm) return disassemble(input);
    if (output.empty()) return usage();

    std::string text;
    if (!readFile(input, text)) {
        std::fprintf(stderr, "fxbuild: cannot read %s\n", input.c_str());
        return 1;
    }
    const auto compiled = kestrin::tools::compileEffectSource(text, input);
    if (!compiled.ok()) {
        for (const auto& e : compiled.errors) std::fprintf(stderr, "%s\n", e.c_str());
        return 1;
    }
    const auto binary = kestrin::fx::writeEffect(compiled.effect);
    if (!binary) {
        std::fprintf(stderr, "%s: %s\n", input.c_str(), binary.error().c_str());
        return 1;
    }
    std::ofstream out(output, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(binary.value().data()),
              static_cast<std::streamsize>(binary.value().size()));
    if (!out) {
        std::fprintf(stderr, "fxbuild: cannot write %s\n", output.c_str());
        return 1;
    }
    return 0;
}
