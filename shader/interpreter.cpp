#include "shader/interpreter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "shader/validator.h"

namespace kestrin::shader {

struct PixelProgram {
    Program code;
    std::vector<uint32_t> match; // flow control: partner instruction (else/end, or opener)
    std::vector<InputDeclaration> inputs;
    uint32_t samplers = 0;
    uint32_t temps = 0;               // r0 .. r(temps - 1) are used
    std::vector<uint32_t> floatsRead; // c# read by some instruction
    std::array<bool, kFloatConstants> floatDefined{};
    std::array<std::array<float, 4>, kFloatConstants> floatDefs{};
    std::array<bool, kIntConstants> intDefined{};
    std::array<std::array<int32_t, 4>, kIntConstants> intDefs{};
    std::array<bool, kBoolConstants> boolDefined{};
    std::array<uint32_t, kBoolConstants> boolDefs{};
};

namespace {

constexpr unsigned kMaxLoopNesting = 8;
constexpr unsigned kTempRegisters = 32;

std::string refuse(size_t index, const Instruction& ins, const std::string& why) {
    return "instruction " + std::to_string(index) + " (" + std::string(ins.info->mnemonic) +
           "): " + why;
}

// What the interpreter runs. Everything else is refused when the program is loaded.
bool supported(Opcode op) {
    switch (op) {
    case Opcode::Nop:
    case Opcode::Mov:
    case Opcode::Add:
    case Opcode::Mad:
    case Opcode::Mul:
    case Opcode::Rcp:
    case Opcode::Rsq:
    case Opcode::Dp3:
    case Opcode::Dp4:
    case Opcode::Min:
    case Opcode::Max:
    case Opcode::Frc:
    case Opcode::Abs:
    case Opcode::Cmp:
    case Opcode::TexLd:
    case Opcode::TexLdl:
    case Opcode::Rep:
    case Opcode::EndRep:
    case Opcode::Loop:
    case Opcode::EndLoop:
    case Opcode::If:
    case Opcode::Else:
    case Opcode::EndIf:
    case Opcode::Break:
    case Opcode::Dcl:
    case Opcode::Def:
    case Opcode::DefI:
    case Opcode::DefB:
        return true;
    default:
        return false;
    }
}

bool isDeclarationOrDefinition(Opcode op) {
    return op == Opcode::Dcl || op == Opcode::Def || op == Opcode::DefI || op == Opcode::DefB;
}

// Checks one operand against what the interpreter can address; records what the program uses.
std::string analyseSource(PixelProgram& p, size_t index, const Instruction& ins, const SrcParam& s,
                          unsigned position) {
    if (s.relative) return refuse(index, ins, "relative addressing is not supported");
    const bool flow =
        ins.opcode == Opcode::Rep || ins.opcode == Opcode::Loop || ins.opcode == Opcode::If;
    switch (s.type) {
    case RegType::Temp:
        if (s.index >= kTempRegisters) return refuse(index, ins, "temporary register out of range");
        p.temps = std::max(p.temps, s.index + 1);
        return {};
    case RegType::Input:
        if (s.index >= kInputRegisters) return refuse(index, ins, "input register out of range");
        return {};
    case RegType::Const:
        if (s.index >= kFloatConstants) return refuse(index, ins, "constant register out of range");
        if (std::find(p.floatsRead.begin(), p.floatsRead.end(), s.index) == p.floatsRead.end())
            p.floatsRead.push_back(s.index);
        return {};
    case RegType::Sampler:
        if (!ins.info->texture || position != 1)
            return refuse(index, ins, "a sampler is only read as a texture instruction's operand");
        if (s.index >= kSamplers) return refuse(index, ins, "sampler out of range");
        p.samplers |= 1u << s.index;
        return {};
    case RegType::ConstInt:
        if (!flow || s.index >= kIntConstants)
            return refuse(index, ins, "integer constants only drive rep and loop");
        return {};
    case RegType::ConstBool:
        if (!flow || s.index >= kBoolConstants)
            return refuse(index, ins, "boolean constants only drive if");
        return {};
    case RegType::Loop:
        if (ins.opcode == Opcode::Loop) return {};
        return refuse(index, ins, "aL as an arithmetic operand is not supported");
    default:
        return refuse(index, ins,
                      "register " + registerName(s.type, s.index) +
                          " is not supported as a source");
    }
}

std::string analyse(PixelProgram& p) {
    const auto& code = p.code.instructions;
    p.match.assign(code.size(), kNoPartner);
    std::vector<uint32_t> open; // indices of rep/loop/if (and else) awaiting their end
    for (size_t i = 0; i < code.size(); ++i) {
        const Instruction& ins = code[i];
        if (!supported(ins.opcode)) return refuse(i, ins, "not supported by the interpreter");
        if (ins.predicated) return refuse(i, ins, "predication is not supported");
        if (ins.opcode == Opcode::TexLd && ins.control != 0)
            return refuse(i, ins, "projected or biased sampling is not supported");
        if (ins.opcode == Opcode::If && ins.src[0].type != RegType::ConstBool)
            return refuse(i, ins, "only if on a boolean constant (uniform) is supported");

        switch (ins.opcode) {
        case Opcode::Rep:
        case Opcode::Loop:
        case Opcode::If:
            open.push_back(static_cast<uint32_t>(i));
            if (open.size() > kMaxLoopNesting + kMaxIfDepth)
                return refuse(i, ins, "flow control nested too deeply");
            break;
        case Opcode::Else:
            if (open.empty() || code[open.back()].opcode != Opcode::If)
                return refuse(i, ins, "else without if");
            p.match[open.back()] = static_cast<uint32_t>(i);
            open.back() = static_cast<uint32_t>(i);
            break;
        case Opcode::EndRep:
        case Opcode::EndLoop:
        case Opcode::EndIf: {
            const Opcode want = ins.opcode == Opcode::EndRep    ? Opcode::Rep
                                : ins.opcode == Opcode::EndLoop ? Opcode::Loop
                                                                : Opcode::If;
            if (open.empty()) return refuse(i, ins, "end without its opener");
            const Opcode have = code[open.back()].opcode;
            if (!(have == want || (want == Opcode::If && have == Opcode::Else)))
                return refuse(i, ins, "end does not match its opener");
            p.match[open.back()] = static_cast<uint32_t>(i);
            p.match[i] = open.back();
            open.pop_back();
            break;
        }
        case Opcode::Break: {
            auto loop = std::find_if(open.rbegin(), open.rend(), [&](uint32_t k) {
                return code[k].opcode == Opcode::Rep || code[k].opcode == Opcode::Loop;
            });
            if (loop == open.rend()) return refuse(i, ins, "break outside a loop");
            p.match[i] = *loop; // resolved to the loop's end once that is known
            break;
        }
        default:
            break;
        }

        if (ins.opcode == Opcode::Dcl) {
            if (ins.dst.type == RegType::Input) {
                if (ins.dst.index >= kInputRegisters) return refuse(i, ins, "input out of range");
                p.inputs.push_back({ins.dst.index, ins.usage, ins.usageIndex, ins.dst.mask});
            } else if (ins.dst.type == RegType::Sampler) {
                if (ins.dst.index >= kSamplers) return refuse(i, ins, "sampler out of range");
                if (ins.textureType != static_cast<uint8_t>(TextureType::Tex2D))
                    return refuse(i, ins, "only 2D samplers are supported");
            } else {
                return refuse(i, ins, "only input and sampler declarations are supported");
            }
            continue;
        }
        if (ins.opcode == Opcode::Def || ins.opcode == Opcode::DefI || ins.opcode == Opcode::DefB) {
            const uint32_t r = ins.dst.index;
            if (ins.opcode == Opcode::Def) {
                if (r >= kFloatConstants) return refuse(i, ins, "constant out of range");
                p.floatDefined[r] = true;
                for (int c = 0; c < 4; ++c) std::memcpy(&p.floatDefs[r][c], &ins.immediate[c], 4);
            } else if (ins.opcode == Opcode::DefI) {
                if (r >= kIntConstants) return refuse(i, ins, "integer constant out of range");
                p.intDefined[r] = true;
                for (int c = 0; c < 4; ++c)
                    p.intDefs[r][c] = static_cast<int32_t>(ins.immediate[c]);
            } else {
                if (r >= kBoolConstants) return refuse(i, ins, "boolean constant out of range");
                p.boolDefined[r] = true;
                p.boolDefs[r] = ins.immediate[0];
            }
            continue;
        }
        if (ins.hasDst) {
            const DstParam& d = ins.dst;
            if (d.type == RegType::Temp) {
                if (d.index >= kTempRegisters) return refuse(i, ins, "temporary out of range");
                p.temps = std::max(p.temps, d.index + 1);
            } else if (!(d.type == RegType::ColorOut && d.index == 0)) {
                return refuse(i, ins, "only temporaries and oC0 can be written");
            }
        }
        for (unsigned k = 0; k < ins.sourceCount; ++k)
            if (std::string e = analyseSource(p, i, ins, ins.src[k], k); !e.empty()) return e;
    }
    if (!open.empty()) return refuse(open.back(), code[open.back()], "flow control left open");
    // A break leaves its loop: jump to the loop's end instruction.
    for (size_t i = 0; i < code.size(); ++i)
        if (code[i].opcode == Opcode::Break) p.match[i] = p.match[p.match[i]];
    return {};
}

} // namespace

ProgramLoad loadPixelProgram(const uint32_t* tokens, size_t count) {
    ProgramLoad result;
    DecodeResult decoded = decode(tokens, count);
    if (!decoded.ok()) {
        result.error = "cannot decode: " + decoded.error;
        return result;
    }
    if (decoded.program.version != token::kPs30Version) {
        result.error = "not a ps_3_0 program";
        return result;
    }
    const std::vector<Diagnostic> problems = validate(decoded.program);
    if (!problems.empty()) {
        result.error = "invalid program: " + problems.front().text();
        return result;
    }
    auto program = std::make_shared<PixelProgram>();
    program->code = std::move(decoded.program);
    if (std::string error = analyse(*program); !error.empty()) {
        result.error = error;
        return result;
    }
    result.program = std::move(program);
    return result;
}

const std::vector<InputDeclaration>& programInputs(const PixelProgram& program) {
    return program.inputs;
}
uint32_t programSamplers(const PixelProgram& program) {
    return program.samplers;
}
const Program& programCode(const PixelProgram& program) {
    return program.code;
}

// ---------------------------------------------------------------------------------------------

using Lane = std::array<float, kSpan>;

namespace {

struct Frame {
    uint32_t start;    // the rep/loop instruction
    int32_t remaining; // iterations still to run, this one included
    int32_t loopCounter;
    int32_t step;
};

float saturate(float v) {
    return std::isnan(v) ? 0.0f : std::min(std::max(v, 0.0f), 1.0f);
}

// An instruction with its operands resolved to lane arrays of the executor's register file, so
// running it looks nothing up.
struct Step {
    const Instruction* ins = nullptr;
    const float* src[3][4] = {}; // channel c of source k, after the swizzle
    SrcMod mod[3] = {SrcMod::None, SrcMod::None, SrcMod::None};
    float* dst[4] = {}; // destination channel, null where the mask leaves it
    // The result may be computed straight into the destination: no saturate, and no channel
    // reads a component of the destination that an earlier channel has already written.
    bool inPlace = false;
};

// Components of source `k` that channel `c` of the instruction reads.
unsigned componentsRead(const Instruction& ins, unsigned k, unsigned c) {
    const uint8_t sw = ins.src[k].swizzle;
    switch (ins.opcode) {
    case Opcode::Rcp:
    case Opcode::Rsq:
        return 1u << swizzleComponent(sw, 0);
    case Opcode::Dp3:
        return 1u << swizzleComponent(sw, 0) | 1u << swizzleComponent(sw, 1) |
               1u << swizzleComponent(sw, 2);
    case Opcode::Dp4:
        return 1u << swizzleComponent(sw, 0) | 1u << swizzleComponent(sw, 1) |
               1u << swizzleComponent(sw, 2) | 1u << swizzleComponent(sw, 3);
    default:
        return 1u << swizzleComponent(sw, c);
    }
}

bool safeInPlace(const Instruction& ins) {
    if (ins.dst.saturate || ins.info->texture) return false;
    if (ins.dst.type != RegType::Temp) return true; // oC0 is never a source
    unsigned written = 0;
    for (unsigned c = 0; c < 4; ++c) {
        if (!(ins.dst.mask & (1u << c))) continue;
        for (unsigned k = 0; k < std::min<unsigned>(ins.sourceCount, 3); ++k) {
            const SrcParam& src = ins.src[k];
            if (src.type != RegType::Temp || src.index != ins.dst.index ||
                src.modifier != SrcMod::None)
                continue;
            if (componentsRead(ins, k, c) & written) return false;
        }
        written |= 1u << c;
    }
    return true;
}

} // namespace

struct Executor::State {
    std::vector<Lane> temps;     // temps[4 * r + c]
    std::vector<Lane> constants; // broadcast c#, in the order of the program's floatsRead
    std::array<Lane, 4 * kInputRegisters> inputs{};
    std::array<Lane, 4> colour{};                  // oC0
    std::array<std::array<Lane, 4>, 3> modified{}; // sources with a modifier applied
    std::array<Lane, 4> result{};
    std::array<Lane, 4> texel{};
    Lane zero{};
    std::vector<Step> steps; // one per instruction
};

Executor::Executor(std::shared_ptr<const PixelProgram> program)
    : program_(std::move(program)), state_(std::make_unique<State>()) {
    State& s = *state_;
    const PixelProgram& p = *program_;
    s.temps.resize(4 * static_cast<size_t>(p.temps));
    s.constants.resize(4 * p.floatsRead.size());
    std::array<int, kFloatConstants> slot{};
    for (size_t k = 0; k < p.floatsRead.size(); ++k) slot[p.floatsRead[k]] = static_cast<int>(k);

    auto lanes = [&](RegType type, uint32_t index, unsigned component) -> const float* {
        switch (type) {
        case RegType::Temp:
            return s.temps[4 * index + component].data();
        case RegType::Input:
            return s.inputs[4 * index + component].data();
        case RegType::Const:
            return s.constants[4 * static_cast<size_t>(slot[index]) + component].data();
        default:
            return s.zero.data(); // operands that are not data (samplers, i#, b#, aL)
        }
    };
    s.steps.resize(p.code.instructions.size());
    for (size_t i = 0; i < p.code.instructions.size(); ++i) {
        const Instruction& ins = p.code.instructions[i];
        Step& step = s.steps[i];
        step.ins = &ins;
        if (isDeclarationOrDefinition(ins.opcode)) continue;
        for (unsigned k = 0; k < std::min<unsigned>(ins.sourceCount, 3); ++k) {
            const SrcParam& src = ins.src[k];
            step.mod[k] = src.modifier == SrcMod::Not ? SrcMod::None : src.modifier;
            for (unsigned c = 0; c < 4; ++c)
                step.src[k][c] = lanes(src.type, src.index, swizzleComponent(src.swizzle, c));
        }
        step.inPlace = ins.hasDst && safeInPlace(ins);
        if (ins.hasDst)
            for (unsigned c = 0; c < 4; ++c)
                if (ins.dst.mask & (1u << c))
                    step.dst[c] = ins.dst.type == RegType::ColorOut
                                      ? s.colour[c].data()
                                      : s.temps[4 * ins.dst.index + c].data();
    }
}

Executor::~Executor() = default;

void Executor::run(const ShaderConstants& constants, const SamplerCallback& sampler, size_t count,
                   const float* const inputs[kInputRegisters][4], float* const out[4]) {
    const PixelProgram& p = *program_;
    State& s = *state_;
    const size_t n = std::min(count, kSpan);

    for (size_t k = 0; k < p.floatsRead.size(); ++k) {
        const uint32_t r = p.floatsRead[k];
        const auto& v = p.floatDefined[r] ? p.floatDefs[r] : constants.f[r];
        for (int c = 0; c < 4; ++c) s.constants[4 * k + c].fill(v[c]);
    }
    for (const InputDeclaration& d : p.inputs)
        for (unsigned c = 0; c < 4; ++c) {
            const float* in = inputs ? inputs[d.reg][c] : nullptr;
            if (in)
                std::memcpy(s.inputs[4 * d.reg + c].data(), in, n * sizeof(float));
            else
                s.inputs[4 * d.reg + c].fill(0.0f);
        }
    for (Lane& lane : s.temps) lane.fill(0.0f);
    for (Lane& lane : s.colour) lane.fill(0.0f);

    const auto& code = p.code.instructions;
    Frame frames[kMaxLoopNesting];
    unsigned depth = 0;
    size_t pc = 0;
    while (pc < code.size()) {
        const Step& step = s.steps[pc];
        const Instruction& ins = *step.ins;
        const Opcode op = ins.opcode;
        switch (op) {
        case Opcode::Dcl:
        case Opcode::Def:
        case Opcode::DefI:
        case Opcode::DefB:
        case Opcode::Nop:
        case Opcode::EndIf:
            ++pc;
            continue;
        case Opcode::Rep:
        case Opcode::Loop: {
            const uint32_t r = ins.src[op == Opcode::Loop ? 1 : 0].index;
            const auto& iv = p.intDefined[r] ? p.intDefs[r] : constants.i[r];
            const int32_t iterations = std::clamp(iv[0], 0, 255);
            if (iterations == 0 || depth == kMaxLoopNesting) {
                pc = p.match[pc] + 1;
                continue;
            }
            frames[depth++] = {static_cast<uint32_t>(pc), iterations, iv[1], iv[2]};
            ++pc;
            continue;
        }
        case Opcode::EndRep:
        case Opcode::EndLoop: {
            Frame& f = frames[depth - 1];
            f.loopCounter += f.step;
            if (--f.remaining > 0) {
                pc = f.start + 1;
            } else {
                --depth;
                ++pc;
            }
            continue;
        }
        case Opcode::Break:
            --depth;
            pc = p.match[pc] + 1;
            continue;
        case Opcode::If: {
            const uint32_t r = ins.src[0].index;
            bool taken = (p.boolDefined[r] ? p.boolDefs[r] : constants.b[r]) != 0;
            if (ins.src[0].modifier == SrcMod::Not) taken = !taken;
            pc = taken ? pc + 1 : p.match[pc] + 1;
            continue;
        }
        case Opcode::Else:
            pc = p.match[pc] + 1;
            continue;
        default:
            break;
        }

        // Sources, with their modifiers applied into scratch lanes where they have one.
        const float* const* src[3] = {step.src[0], step.src[1], step.src[2]};
        const float* modifiedLanes[3][4];
        for (unsigned k = 0; k < 3; ++k) {
            if (step.mod[k] == SrcMod::None) continue;
            for (unsigned c = 0; c < 4; ++c) {
                float* __restrict m = s.modified[k][c].data();
                const float* from = step.src[k][c];
                switch (step.mod[k]) {
                case SrcMod::Neg:
                    for (size_t i = 0; i < n; ++i) m[i] = -from[i];
                    break;
                case SrcMod::Abs:
                    for (size_t i = 0; i < n; ++i) m[i] = std::fabs(from[i]);
                    break;
                default: // NegAbs
                    for (size_t i = 0; i < n; ++i) m[i] = -std::fabs(from[i]);
                    break;
                }
                modifiedLanes[k][c] = m;
            }
            src[k] = modifiedLanes[k];
        }
        const float* const* a = src[0];
        const float* const* b = src[1];
        const float* const* z3 = src[2];

        if (ins.info->texture) {
            // Point sampling of single-level textures: texld and texldl read the same texel.
            float* texel[4] = {s.texel[0].data(), s.texel[1].data(), s.texel[2].data(),
                               s.texel[3].data()};
            sampler.sample(ins.src[1].index, n, a[0], a[1], texel);
            for (unsigned c = 0; c < 4; ++c)
                if (step.dst[c])
                    std::memcpy(s.result[c].data(),
                                s.texel[swizzleComponent(ins.src[1].swizzle, c)].data(),
                                n * sizeof(float));
        } else {
            for (unsigned c = 0; c < 4; ++c) {
                if (!step.dst[c]) continue;
                float* r = step.inPlace ? step.dst[c] : s.result[c].data();
                const float* x = a[c];
                const float* y = b[c];
                const float* w = z3[c];
                switch (op) {
                case Opcode::Mov:
                    for (size_t i = 0; i < n; ++i) r[i] = x[i];
                    break;
                case Opcode::Add:
                    for (size_t i = 0; i < n; ++i) r[i] = x[i] + y[i];
                    break;
                case Opcode::Mul:
                    for (size_t i = 0; i < n; ++i) r[i] = x[i] * y[i];
                    break;
                case Opcode::Mad:
                    for (size_t i = 0; i < n; ++i) {
                        const float product = x[i] * y[i];
                        r[i] = product + w[i];
                    }
                    break;
                case Opcode::Min:
                    for (size_t i = 0; i < n; ++i) r[i] = x[i] < y[i] ? x[i] : y[i];
                    break;
                case Opcode::Max:
                    for (size_t i = 0; i < n; ++i) r[i] = x[i] >= y[i] ? x[i] : y[i];
                    break;
                case Opcode::Frc:
                    for (size_t i = 0; i < n; ++i) r[i] = x[i] - std::floor(x[i]);
                    break;
                case Opcode::Abs:
                    for (size_t i = 0; i < n; ++i) r[i] = std::fabs(x[i]);
                    break;
                case Opcode::Cmp:
                    for (size_t i = 0; i < n; ++i) r[i] = x[i] >= 0.0f ? y[i] : w[i];
                    break;
                case Opcode::Rcp: // scalar: the replicated component
                    for (size_t i = 0; i < n; ++i) r[i] = 1.0f / a[0][i];
                    break;
                case Opcode::Rsq:
                    for (size_t i = 0; i < n; ++i) r[i] = 1.0f / std::sqrt(a[0][i]);
                    break;
                case Opcode::Dp3:
                    for (size_t i = 0; i < n; ++i) {
                        const float xx = a[0][i] * b[0][i];
                        const float yy = a[1][i] * b[1][i];
                        const float zz = a[2][i] * b[2][i];
                        r[i] = (xx + yy) + zz;
                    }
                    break;
                case Opcode::Dp4:
                    for (size_t i = 0; i < n; ++i) {
                        const float xx = a[0][i] * b[0][i];
                        const float yy = a[1][i] * b[1][i];
                        const float zz = a[2][i] * b[2][i];
                        const float ww = a[3][i] * b[3][i];
                        r[i] = ((xx + yy) + zz) + ww;
                    }
                    break;
                default:
                    break;
                }
            }
        }
        // Otherwise results reach the destination only after every source was read.
        for (unsigned c = 0; c < 4 && !step.inPlace; ++c) {
            float* __restrict to = step.dst[c];
            if (!to) continue;
            const float* from = s.result[c].data();
            if (ins.dst.saturate)
                for (size_t i = 0; i < n; ++i) to[i] = saturate(from[i]);
            else
                std::memcpy(to, from, n * sizeof(float));
        }
        ++pc;
    }

    for (unsigned c = 0; c < 4; ++c)
        if (out[c]) std::memcpy(out[c], s.colour[c].data(), n * sizeof(float));
}

} // namespace kestrin::shader
