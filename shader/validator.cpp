#include "shader/validator.h"

#include <algorithm>
#include <array>
#include <bitset>
#include <cstdio>
#include <utility>

namespace kestrin::shader {
namespace {

std::string name(RegType type, uint32_t index) {
    return registerName(type, index);
}

std::string kindName(RegType type) {
    const RegisterInfo* info = registerInfo(unsigned(type));
    if (!info || info->prefix.empty()) return "type " + std::to_string(unsigned(type));
    return std::string(info->prefix) + (info->numbered ? "#" : "");
}

struct Block {
    Flow flow;       // Rep, Loop or If
    uint32_t opener; // instruction index
    bool sawElse;
    bool dynamic; // branches per pixel: if_comp, if p0
};

class Validator {
  public:
    Validator(const Program& p, std::span<const CtabEntry> constants, std::span<const int> lines)
        : program_(p), constants_(constants), lines_(lines) {}

    std::vector<Diagnostic> run() {
        if (program_.version != token::kPs30Version) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "version token 0x%08X is not ps_3_0", program_.version);
            out_.push_back({0, -1, buf});
        }
        for (current_ = 0; current_ < program_.instructions.size(); ++current_) {
            if (program_.instructions[current_].info)
                instruction(program_.instructions[current_]);
            else
                error("instruction was not decoded");
        }
        current_ = kNone;
        for (const Block& b : blocks_)
            report(b.opener, std::string(program_.instructions[b.opener].info->mnemonic) +
                                 " block is never closed");
        if (!colorWritten_) report(kNone, "oC0 is never written");
        checkConstantTable();
        return std::move(out_);
    }

  private:
    static constexpr uint32_t kNone = 0xFFFFFFFF;

    void report(uint32_t at, std::string message) {
        Diagnostic d;
        d.message = std::move(message);
        if (at != kNone) {
            d.instruction = int(at);
            d.line = at < lines_.size() ? lines_[at] : 0;
            if (const OpcodeInfo* info = program_.instructions[at].info)
                d.message = std::string(info->mnemonic) + ": " + d.message;
        }
        out_.push_back(std::move(d));
    }
    void error(std::string message) { report(current_, std::move(message)); }

    bool inRange(RegType type, uint32_t index) {
        const RegisterInfo* info = registerInfo(unsigned(type));
        if (!info || info->count == 0) {
            error("register type " + std::to_string(unsigned(type)) + " does not exist in ps_3_0");
            return false;
        }
        if (index >= info->count) {
            error(name(type, index) + " is out of range (" + kindName(type) + " has " +
                  std::to_string(info->count) + " registers)");
            return false;
        }
        return true;
    }

    void instruction(const Instruction& ins) {
        const OpcodeInfo& info = *ins.info;
        if (!info.ps30) error("not a ps_3_0 instruction");
        const bool setup = info.extra != Extra::None; // dcl, def, defi, defb
        if (setup && sawCode_)
            error("declarations and constant definitions must precede all other instructions");
        if (!setup) sawCode_ = true;
        if (ins.predicated) {
            inRange(ins.predicate.type, ins.predicate.index);
            if (ins.predicate.modifier != SrcMod::None && ins.predicate.modifier != SrcMod::Not)
                error("the predicate allows only the ! modifier");
        }
        if (info.extra == Extra::Usage) return declaration(ins);
        if (setup) return definition(ins);
        if (ins.hasDst) destination(ins);
        sources(ins);
        flow(ins);
        if (info.gradient && dynamicDepth() > 0)
            error(
                "needs derivatives, which are undefined inside dynamic flow control (use texldl)");
    }

    void declaration(const Instruction& ins) {
        const DstParam& d = ins.dst;
        if (!inRange(d.type, d.index)) return;
        if (d.saturate) error("_sat is not allowed on a declaration");
        const bool sampler = d.type == RegType::Sampler;
        if (sampler) {
            if (textureTypeName(ins.textureType).empty())
                error("sampler " + name(d.type, d.index) +
                      " needs a texture type (dcl_2d, dcl_cube, dcl_volume)");
            if (d.mask != kFullMask || d.centroid || d.partialPrecision)
                error("a sampler declaration takes no mask or modifier");
        } else if (d.type == RegType::Input || d.type == RegType::Misc) {
            if (ins.textureType) error("only samplers have a texture type");
            if (d.mask == 0) error("empty write mask");
            if (d.type == RegType::Misc && d.index == 0 && d.mask != 1 && d.mask != 2 &&
                d.mask != 3)
                error("vPos must be declared with mask .x, .y or .xy");
        } else {
            error(name(d.type, d.index) + " cannot be declared (only v#, s#, vPos and vFace)");
            return;
        }
        // An input may carry several usages in disjoint components (v0.xy and v0.zw).
        uint8_t& declared = declared_[unsigned(d.type)][d.index];
        const uint8_t mask = sampler ? kFullMask : d.mask;
        if (declared & mask) error(name(d.type, d.index) + " is declared twice");
        declared |= mask;
    }

    void definition(const Instruction& ins) {
        const DstParam& d = ins.dst;
        const RegType want = ins.info->extra == Extra::Float4 ? RegType::Const
                             : ins.info->extra == Extra::Int4 ? RegType::ConstInt
                                                              : RegType::ConstBool;
        if (d.type != want) {
            error("defines " + kindName(want) + " registers, not " + name(d.type, d.index));
            return;
        }
        if (!inRange(d.type, d.index)) return;
        if (d.mask != kFullMask || d.saturate || d.partialPrecision || d.centroid)
            error("takes no write mask or modifier");
        if (defined_[unsigned(want)].test(d.index))
            error(name(d.type, d.index) + " is defined twice");
        defined_[unsigned(want)].set(d.index);
        defLine_[unsigned(want)][d.index] = current_;
        for (unsigned i = 0; i < ins.immediateCount; ++i) {
            if (token::isScannerHazard(ins.immediate[i])) {
                char buf[16];
                std::snprintf(buf, sizeof buf, "0x%08X", ins.immediate[i]);
                error(std::string("immediate ") + buf +
                      " looks like an end or comment token to D3DX's shader scanners; nudge it by "
                      "one ulp");
            }
        }
        if (want == RegType::ConstBool && ins.immediate[0] > 1)
            error("a boolean constant must be 0 or 1");
    }

    void destination(const Instruction& ins) {
        const OpcodeInfo& info = *ins.info;
        const DstParam& d = ins.dst;
        if (!inRange(d.type, d.index)) return;
        if (d.centroid) error("_centroid is only allowed on declarations");
        if (d.mask == 0) error("empty write mask");
        if (ins.opcode == Opcode::TexKill) {
            if (d.type != RegType::Temp && d.type != RegType::Input)
                error("operand must be a temporary or input register");
            if (d.type == RegType::Input) checkDeclared(d.type, d.index);
            return;
        }
        if (ins.opcode == Opcode::Setp) {
            if (d.type != RegType::Predicate) error("destination must be p0");
            return;
        }
        if (info.texture && d.type != RegType::Temp) {
            error("destination must be a temporary register (r#), not " + name(d.type, d.index));
            return;
        }
        const RegisterInfo* reg = registerInfo(unsigned(d.type));
        if (!reg->writable || d.type == RegType::Predicate) {
            error(name(d.type, d.index) + " cannot be written");
            return;
        }
        if (d.type == RegType::ColorOut || d.type == RegType::DepthOut) {
            if (dynamicDepth() > 0)
                error("output registers cannot be written inside dynamic flow control");
            if (ins.predicated) error("output registers cannot be written under predication");
            if (d.type == RegType::ColorOut && d.index == 0) colorWritten_ = true;
        }
    }

    void checkDeclared(RegType type, uint32_t index) {
        const RegisterInfo* reg = registerInfo(unsigned(type));
        if (reg && reg->needsDcl && index < reg->count && !declared_[unsigned(type)][index])
            error(name(type, index) + " is read but not declared");
    }

    void sources(const Instruction& ins) {
        const OpcodeInfo& info = *ins.info;
        std::array<std::vector<uint32_t>, kRegTypeCount> distinct;
        auto note = [&](RegType t, uint32_t i) {
            auto& v = distinct[unsigned(t)];
            if (std::find(v.begin(), v.end(), i) == v.end()) v.push_back(i);
        };
        if (ins.predicated) note(ins.predicate.type, ins.predicate.index);
        for (unsigned k = 0; k < ins.sourceCount; ++k) {
            const SrcParam& s = ins.src[k];
            const std::string which = "source " + std::to_string(k + 1);
            if (!inRange(s.type, s.index)) continue;
            const RegisterInfo* reg = registerInfo(unsigned(s.type));
            if (reg->readPorts == 0) {
                error(name(s.type, s.index) + " cannot be read");
                continue;
            }
            note(s.type, s.index);
            checkDeclared(s.type, s.index);
            if (s.relative) {
                if (s.type != RegType::Input)
                    error("only input registers can be addressed relatively");
                if (!insideLoop()) error("aL is only defined inside loop ... endloop");
            }
            if (s.type == RegType::Loop && !insideLoop() && ins.opcode != Opcode::Loop)
                error("aL is only defined inside loop ... endloop");
            const bool logical = s.type == RegType::ConstBool || s.type == RegType::Predicate;
            const bool plain = logical || s.type == RegType::ConstInt ||
                               s.type == RegType::Sampler || s.type == RegType::Loop ||
                               s.type == RegType::Label;
            if (s.modifier == SrcMod::Not && !logical)
                error(which + ": '!' applies only to b# and p0");
            else if (s.modifier != SrcMod::None && s.modifier != SrcMod::Not && plain)
                error(which + ": " + name(s.type, s.index) + " takes no modifier");
            if (info.replicate && !isReplicateSwizzle(s.swizzle))
                error(which + " needs a replicate swizzle (.x, .y, .z or .w)");
            const bool samplerSlot = info.texture && k == 1;
            if (samplerSlot && s.type != RegType::Sampler)
                error("source 2 must be a sampler (s#)");
            else if (!samplerSlot && s.type == RegType::Sampler)
                error(which +
                      ": a sampler can only be the sampler operand of a texture instruction");
        }
        for (unsigned t = 0; t < kRegTypeCount; ++t) {
            const RegisterInfo* reg = registerInfo(t);
            const size_t n = distinct[t].size();
            if (n <= reg->readPorts) continue;
            std::string list;
            for (uint32_t i : distinct[t]) list += (list.empty() ? "" : ", ") + name(RegType(t), i);
            error("reads " + std::to_string(n) + " different " + kindName(RegType(t)) +
                  " registers (" + list + "); ps_3_0 allows " + std::to_string(reg->readPorts) +
                  " per instruction");
        }
    }

    void expectOperand(const Instruction& ins, unsigned k, RegType type) {
        if (k < ins.sourceCount && ins.src[k].type != type)
            error("operand " + std::to_string(k + 1) + " must be " + kindName(type) + ", not " +
                  name(ins.src[k].type, ins.src[k].index));
    }

    void flow(const Instruction& ins) {
        switch (ins.info->flow) {
        case Flow::Rep:
            expectOperand(ins, 0, RegType::ConstInt);
            open(Flow::Rep, false);
            break;
        case Flow::Loop:
            expectOperand(ins, 0, RegType::Loop);
            expectOperand(ins, 1, RegType::ConstInt);
            open(Flow::Loop, false);
            break;
        case Flow::If: {
            bool dynamic = true;
            if (!ins.info->comparison) {
                const RegType t = ins.src[0].type;
                if (t != RegType::ConstBool && t != RegType::Predicate)
                    error("operand must be b# or p0, not " + name(t, ins.src[0].index));
                dynamic = t == RegType::Predicate;
            }
            open(Flow::If, dynamic);
            break;
        }
        case Flow::Else:
            if (blocks_.empty() || blocks_.back().flow != Flow::If || blocks_.back().sawElse)
                error("else without a matching if");
            else
                blocks_.back().sawElse = true;
            break;
        case Flow::EndIf:
            close(Flow::If, "endif without a matching if");
            break;
        case Flow::EndRep:
            close(Flow::Rep, "endrep without a matching rep");
            break;
        case Flow::EndLoop:
            close(Flow::Loop, "endloop without a matching loop");
            break;
        case Flow::Break:
            if (std::none_of(blocks_.begin(), blocks_.end(),
                             [](const Block& b) { return b.flow != Flow::If; }))
                error("break outside rep or loop");
            if (ins.opcode == Opcode::BreakP) expectOperand(ins, 0, RegType::Predicate);
            break;
        default:
            break;
        }
    }

    void open(Flow flow, bool dynamic) {
        unsigned loops = 0, ifs = 0;
        for (const Block& b : blocks_) (b.flow == Flow::If ? ifs : loops)++;
        if (flow != Flow::If && loops >= kMaxLoopDepth)
            error("rep/loop nested deeper than " + std::to_string(kMaxLoopDepth));
        if (flow == Flow::If && ifs >= kMaxIfDepth)
            error("if nested deeper than " + std::to_string(kMaxIfDepth));
        blocks_.push_back({flow, current_, false, dynamic});
    }

    void close(Flow flow, const char* message) {
        if (blocks_.empty() || blocks_.back().flow != flow) {
            error(message);
            return;
        }
        blocks_.pop_back();
    }

    unsigned dynamicDepth() const {
        return unsigned(std::count_if(blocks_.begin(), blocks_.end(),
                                      [](const Block& b) { return b.dynamic; }));
    }
    bool insideLoop() const {
        return std::any_of(blocks_.begin(), blocks_.end(),
                           [](const Block& b) { return b.flow == Flow::Loop; });
    }

    void checkConstantTable() {
        std::array<std::vector<std::pair<uint32_t, const CtabEntry*>>, 4> owner; // per set
        for (const CtabEntry& e : constants_) {
            const RegType type = e.set == RegisterSet::Float4 ? RegType::Const
                                 : e.set == RegisterSet::Int4 ? RegType::ConstInt
                                 : e.set == RegisterSet::Bool ? RegType::ConstBool
                                                              : RegType::Sampler;
            const RegisterInfo* reg = registerInfo(unsigned(type));
            const uint32_t end = uint32_t(e.index) + e.count;
            if (e.count == 0 || end > reg->count) {
                report(kNone, "constant table entry '" + e.name + "' covers " +
                                  name(type, e.index) + " to " + name(type, end - 1) + ", beyond " +
                                  name(type, reg->count - 1));
                continue;
            }
            for (uint32_t r = e.index; r < end; ++r) {
                auto& owners = owner[unsigned(e.set) & 3];
                for (const auto& [used, other] : owners)
                    if (used == r)
                        report(kNone, "constant table entries '" + other->name + "' and '" +
                                          e.name + "' both use " + name(type, r));
                owners.push_back({r, &e});
                if (type != RegType::Sampler && defined_[unsigned(type)].test(r))
                    report(defLine_[unsigned(type)][r], name(type, r) + " is also parameter '" +
                                                            e.name + "' of the constant table");
            }
        }
    }

    const Program& program_;
    std::span<const CtabEntry> constants_;
    std::span<const int> lines_;
    std::vector<Diagnostic> out_;
    uint32_t current_ = kNone;
    bool sawCode_ = false;
    bool colorWritten_ = false;
    std::vector<Block> blocks_;
    std::array<std::array<uint8_t, 256>, kRegTypeCount> declared_{}; // dcl'd component masks
    std::array<std::bitset<256>, kRegTypeCount> defined_{};          // def/defi/defb targets
    std::array<std::array<uint32_t, 256>, kRegTypeCount> defLine_{}; // instruction of each def
};

} // namespace

std::vector<Diagnostic> validate(const Program& program, std::span<const CtabEntry> constants,
                                 std::span<const int> lines) {
    try {
        return Validator(program, constants, lines).run();
    } catch (const std::exception& e) {
        return {{0, -1, std::string("validator failure: ") + e.what()}};
    }
}

} // namespace kestrin::shader
