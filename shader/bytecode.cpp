#include "shader/bytecode.h"

#include <cstdio>

namespace kestrin::shader {
namespace {

std::string hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

// Walks version, comments and instructions (by their length fields) to the end token.
// Calls onComment(dataOffset, dwords) for every comment; it returns true to stop the walk.
// Returns the token count including the end token, or 0 with `error` set.
template <class OnComment>
size_t walk(const uint32_t* tokens, size_t count, std::string& error, OnComment&& onComment) {
    if (!tokens || count == 0) {
        error = "empty token stream";
        return 0;
    }
    const uint32_t version = tokens[0];
    const uint32_t kind = version >> 16;
    if ((kind != 0xFFFF && kind != 0xFFFE) || ((version >> 8) & 0xFF) < 2) {
        error = "version token " + hex(version) + " is not a shader of model 2 or later";
        return 0;
    }
    size_t pos = 1;
    while (pos < count) {
        const uint32_t t = tokens[pos];
        if (t == token::kEnd) return pos + 1;
        if (t & token::kParamBit) {
            error = "token " + std::to_string(pos) + " (" + hex(t) + ") is not an instruction";
            return 0;
        }
        const bool isComment = (t & 0xFFFF) == token::kCommentOpcode;
        const size_t length = isComment ? (t >> 16) & token::kMaxCommentDwords : (t >> 24) & 0xF;
        if (length > count - pos - 1) {
            error = std::string(isComment ? "comment" : "instruction") + " at token " +
                    std::to_string(pos) + " claims " + std::to_string(length) +
                    " DWORDs but only " + std::to_string(count - pos - 1) + " remain";
            return 0;
        }
        if (isComment && onComment(pos + 1, length)) return pos + 1 + length;
        pos += 1 + length;
    }
    error = "no end token within " + std::to_string(count) + " DWORDs";
    return 0;
}

// Reads the parameter tokens of one instruction, never past its declared length.
class ParamReader {
  public:
    ParamReader(const uint32_t* tokens, size_t begin, size_t end, std::string& error)
        : tokens_(tokens), pos_(begin), end_(end), error_(error) {}

    bool done() const { return pos_ == end_; }
    size_t remaining() const { return end_ - pos_; }

    bool raw(uint32_t& out, const char* what) {
        if (pos_ >= end_) return fail(std::string("length field too small: no room for ") + what);
        out = tokens_[pos_++];
        return true;
    }

    bool usage(Instruction& ins) {
        uint32_t t;
        if (!raw(t, "the usage token")) return false;
        if (!(t & token::kParamBit) || (t & 0x07F0FFF0))
            return fail("malformed dcl usage token " + hex(t));
        ins.usage = t & 0xF;
        ins.usageIndex = (t >> 16) & 0xF;
        ins.textureType = (t >> 27) & 0xF;
        if (ins.usage >= kUsageCount) return fail("unknown dcl usage " + std::to_string(ins.usage));
        return true;
    }

    bool dst(DstParam& d) {
        uint32_t t;
        if (!raw(t, "the destination")) return false;
        if (!registerOf(t, d.type, d.index, "destination")) return false;
        if (t & token::kRelativeBit)
            return fail("relative addressing on a destination is not allowed in ps_3_0");
        if (t & 0xC000) return fail("reserved bits set in destination token " + hex(t));
        if ((t >> 24) & 0xF) return fail("shift scale (ps 1.x only) in destination " + hex(t));
        const uint32_t mods = (t >> 20) & 0xF;
        if (mods & ~7u) return fail("unknown result modifier in destination " + hex(t));
        d.mask = (t >> 16) & 0xF;
        d.saturate = mods & token::kSaturate;
        d.partialPrecision = mods & token::kPartialPrecision;
        d.centroid = mods & token::kCentroid;
        return true;
    }

    bool src(SrcParam& s) {
        uint32_t t;
        if (!raw(t, "a source")) return false;
        if (!registerOf(t, s.type, s.index, "source")) return false;
        if (t & 0xC000) return fail("reserved bits set in source token " + hex(t));
        const uint32_t mod = (t >> 24) & 0xF;
        if (!isPs30SourceModifier(mod))
            return fail("source modifier " + std::to_string(mod) + " is not allowed in ps_3_0");
        s.swizzle = (t >> 16) & 0xFF;
        s.modifier = SrcMod(mod);
        s.relative = t & token::kRelativeBit;
        if (!s.relative) return true;
        uint32_t a;
        if (!raw(a, "the relative-address token")) return false;
        if (!registerOf(a, s.relativeType, s.relativeIndex, "relative address")) return false;
        if (s.relativeType != RegType::Loop || (a & (token::kRelativeBit | 0x0F00C000)))
            return fail("relative address token " + hex(a) + " is not a plain aL");
        s.relativeComponent = (a >> 16) & 3;
        return true;
    }

  private:
    bool registerOf(uint32_t t, RegType& type, uint32_t& index, const char* what) {
        if (!(t & token::kParamBit))
            return fail(std::string(what) + " token " + hex(t) + " lacks bit 31");
        type = token::regType(t);
        index = token::regIndex(t);
        const RegisterInfo* info = registerInfo(unsigned(type));
        if (!info || info->count == 0)
            return fail(std::string(what) + " register type " + std::to_string(unsigned(type)) +
                        " is not available in ps_3_0");
        return true;
    }
    bool fail(std::string message) {
        error_ = std::move(message);
        return false;
    }

    const uint32_t* tokens_;
    size_t pos_, end_;
    std::string& error_;
};

// Fills Instruction::partner for well-nested rep/loop/if blocks; leaves the rest unmatched.
void linkFlow(std::vector<Instruction>& code) {
    struct Open {
        uint32_t opener;  // rep, loop or if
        uint32_t current; // the opener, or the else of an if
    };
    std::vector<Open> open;
    for (uint32_t i = 0; i < code.size(); ++i) {
        const Flow flow = code[i].info->flow;
        if (flow == Flow::Rep || flow == Flow::Loop || flow == Flow::If) {
            open.push_back({i, i});
            continue;
        }
        if (open.empty()) continue;
        Open& top = open.back();
        const Flow opener = code[top.opener].info->flow;
        if (flow == Flow::Else && opener == Flow::If && top.current == top.opener) {
            code[top.opener].partner = i;
            top.current = i;
        } else if ((flow == Flow::EndIf && opener == Flow::If) ||
                   (flow == Flow::EndRep && opener == Flow::Rep) ||
                   (flow == Flow::EndLoop && opener == Flow::Loop)) {
            code[top.current].partner = i;
            code[i].partner = top.opener;
            open.pop_back();
        }
    }
}

} // namespace

DecodeResult decode(const uint32_t* tokens, size_t count) {
    DecodeResult result;
    Program& prog = result.program;
    std::string& error = result.error;
    try {
        if (!tokens || count == 0) {
            error = "empty token stream";
            return result;
        }
        prog.version = tokens[0];
        if (prog.version != token::kPs30Version) {
            error = "version token " + hex(prog.version) + " is not ps_3_0 (0xFFFF0300)";
            return result;
        }
        size_t pos = 1;
        for (;;) {
            if (pos >= count) {
                error = "no end token within " + std::to_string(count) + " DWORDs";
                return result;
            }
            const uint32_t t = tokens[pos];
            const size_t left = count - pos - 1;
            if (t == token::kEnd) {
                prog.tokenCount = uint32_t(pos + 1);
                break;
            }
            const std::string where = "token " + std::to_string(pos) + ": ";
            if ((t & 0xFFFF) == token::kCommentOpcode) {
                const size_t n = (t >> 16) & token::kMaxCommentDwords;
                if (t & token::kParamBit) {
                    error = where + "malformed comment token " + hex(t);
                    return result;
                }
                if (n > left) {
                    error = where + "comment claims " + std::to_string(n) + " DWORDs but only " +
                            std::to_string(left) + " remain";
                    return result;
                }
                prog.comments.push_back({n ? tokens[pos + 1] : 0, uint32_t(pos + 1), uint32_t(n),
                                         uint32_t(prog.instructions.size())});
                pos += 1 + n;
                continue;
            }
            if (t & 0xE0000000) {
                error = where + "instruction token " + hex(t) +
                        ((t & token::kParamBit) ? " is a parameter token"
                                                : " has reserved or co-issue bits set");
                return result;
            }
            Instruction ins;
            const uint16_t opcode = t & 0xFFFF;
            ins.control = (t >> 16) & 0xFF;
            ins.predicated = (t >> 28) & 1;
            ins.tokenOffset = uint32_t(pos);
            ins.info = findOpcode(opcode, ins.control);
            if (!ins.info) {
                error =
                    where + (knownOpcode(opcode) ? "control bits " + std::to_string(ins.control) +
                                                       " are not valid for opcode " + hex(opcode)
                                                 : "unknown opcode " + hex(opcode));
                return result;
            }
            const OpcodeInfo& info = *ins.info;
            const std::string name = where + std::string(info.mnemonic) + ": ";
            if (!info.ps30) {
                error = name + "not a ps_3_0 instruction";
                return result;
            }
            const size_t length = (t >> 24) & 0xF;
            if (length > left) {
                error = name + "length " + std::to_string(length) + " runs past the end (" +
                        std::to_string(left) + " DWORDs left)";
                return result;
            }
            ins.opcode = info.opcode;
            std::string paramError;
            ParamReader r(tokens, pos + 1, pos + 1 + length, paramError);
            bool ok = true;
            if (info.extra == Extra::Usage) ok = r.usage(ins);
            ins.hasDst = info.dst;
            if (ok && info.dst) ok = r.dst(ins.dst);
            if (ok && ins.predicated) ok = r.src(ins.predicate);
            ins.sourceCount = info.sources;
            for (unsigned i = 0; ok && i < info.sources; ++i) ok = r.src(ins.src[i]);
            ins.immediateCount = info.extra == Extra::Float4 || info.extra == Extra::Int4 ? 4
                                 : info.extra == Extra::Bool                              ? 1
                                                                                          : 0;
            for (unsigned i = 0; ok && i < ins.immediateCount; ++i)
                ok = r.raw(ins.immediate[i], "an immediate value");
            if (ok && !r.done()) {
                ok = false;
                paramError = "length field " + std::to_string(length) + " leaves " +
                             std::to_string(r.remaining()) + " DWORDs unread";
            }
            if (!ok) {
                error = name + paramError;
                return result;
            }
            if (ins.predicated && ins.predicate.type != RegType::Predicate) {
                error = name + "predicate operand is not p0";
                return result;
            }
            prog.instructions.push_back(ins);
            pos += 1 + length;
        }
        linkFlow(prog.instructions);
    } catch (const std::exception& e) {
        error = std::string("decoder failure: ") + e.what();
    }
    return result;
}

size_t shaderByteSize(const uint32_t* tokens, size_t count, std::string* error) {
    try {
        std::string local;
        const size_t n = walk(tokens, count, local, [](size_t, size_t) { return false; });
        if (error) *error = local;
        return n * sizeof(uint32_t);
    } catch (const std::exception&) {
        return 0; // only an allocation failure while formatting a message can get here
    }
}

bool findComment(const uint32_t* tokens, size_t count, uint32_t fourcc, Comment& out) {
    bool found = false;
    try {
        std::string error;
        walk(tokens, count, error, [&](size_t offset, size_t dwords) {
            if (dwords == 0 || tokens[offset] != fourcc) return false;
            out = {fourcc, uint32_t(offset), uint32_t(dwords), 0};
            found = true;
            return true;
        });
    } catch (const std::exception&) {
        // Allocation failure while formatting a message; `found` says what was seen.
    }
    return found;
}

} // namespace kestrin::shader
