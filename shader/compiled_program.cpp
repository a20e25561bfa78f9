#include "shader/compiled_program.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "shader/fast/backend.h"
#include "shader/fast/trace.h"

namespace kestrin::shader {
namespace {

std::atomic<int> g_override{-1};

Engine fromEnvironment() {
    const char* env = std::getenv("KESTRIN_SHADER_ENGINE");
    const std::string_view name = env ? env : "";
    if (name == "interpreter") return Engine::Interpreter;
    if (name == "sse2") return Engine::Sse2;
    if (name == "avx2" && engineAvailable(Engine::Avx2)) return Engine::Avx2;
    return engineAvailable(Engine::Avx2) ? Engine::Avx2 : Engine::Sse2;
}

template <class T> void append(std::string& key, const T& value) {
    key.append(reinterpret_cast<const char*>(&value), sizeof value);
}

} // namespace

bool engineAvailable(Engine engine) {
    return engine != Engine::Avx2 || fast::cpuHasAvx2();
}

Engine defaultEngine() {
    const int forced = g_override.load(std::memory_order_relaxed);
    if (forced >= 0) return static_cast<Engine>(forced);
    static const Engine chosen = fromEnvironment();
    return chosen;
}

void setEngineOverride(Engine engine, bool reset) {
    g_override.store(reset || !engineAvailable(engine) ? -1 : static_cast<int>(engine),
                     std::memory_order_relaxed);
}

const char* engineName(Engine engine) {
    switch (engine) {
    case Engine::Interpreter:
        return "interpreter";
    case Engine::Sse2:
        return "sse2";
    default:
        return "avx2";
    }
}

std::string specialisationKey(const PixelProgram& program, const DrawSpecialisation& draw,
                              Engine engine) {
    std::string key;
    append(key, engine);
    const ShaderConstants& k = *draw.constants;
    uint32_t samplers = 0;
    for (const Instruction& ins : programCode(program).instructions) {
        for (unsigned s = 0; s < ins.sourceCount; ++s) {
            const SrcParam& p = ins.src[s];
            switch (p.type) {
            case RegType::Const:
                if (p.index < kFloatConstants) append(key, k.f[p.index]);
                break;
            case RegType::ConstInt:
                if (p.index < kIntConstants) append(key, k.i[p.index]);
                break;
            case RegType::ConstBool:
                if (p.index < kBoolConstants) append(key, k.b[p.index]);
                break;
            case RegType::Sampler:
                if (p.index < kSamplers) samplers |= 1u << p.index;
                break;
            default:
                break;
            }
        }
    }
    for (unsigned s = 0; s < kSamplers; ++s) {
        if (!((samplers >> s) & 1)) continue;
        const StageLayout& l = draw.stages[s];
        append(key, s);
        append(key, l.bound);
        append(key, l.point);
        append(key, l.width);
        append(key, l.height);
        append(key, l.pad);
        append(key, l.rowFloats);
        append(key, l.planeFloats);
        append(key, l.addressU);
        append(key, l.addressV);
        append(key, l.border);
        append(key, l.lowest);
        append(key, l.highest);
        append(key, l.exotic);
        append(key, l.grid);
    }
    return key;
}

CompileResult compileProgram(const PixelProgram& program, const DrawSpecialisation& draw,
                             Engine engine) {
    CompileResult result;
    try {
        if (engine == Engine::Interpreter || !engineAvailable(engine) || !draw.constants) {
            result.reason = "no compiled engine";
            return result;
        }
        fast::TraceResult trace = fast::buildTrace(program, programCode(program), draw);
        if (!trace.error.empty()) {
            result.reason = trace.error;
            return result;
        }
        return fast::compileTrace(trace.trace, draw, engine);
    } catch (const std::exception& e) {
        result.program.reset();
        result.reason = std::string("cannot compile: ") + e.what();
        return result;
    }
}

} // namespace kestrin::shader
