// x86-64 code for a trace: AVX2 (8 lanes, three-operand VEX forms) or SSE2 (4 lanes, the
// x86-64 baseline). The same operations for both, so both give the same bits.
//
// Texture reads. A read's coordinates are checked per block (XIndex / YIndex nodes), but its
// address is not computed from them: the reads of one stage whose coordinates are one varying
// value plus constants (u + dx * pitch) form an index group, and the first of them in the trace,
// the anchor, fixes the group's texel index. Every other member is expected at the anchor's
// index plus round(dx * size) and is only checked to be there, so all reads of a stage are
// fused memory operands [pointer + constant] off one general register per (stage, x group,
// y group). Before any read, the anchor's index is checked against the padding for the whole
// group's span, so no read leaves the planes even in a block whose member checks fail (that
// block then returns false before it stores anything).
//
// Registers. All 16 vector registers are allocated over the scheduled order (see schedule.h):
// an operation's operands come into registers where its instruction form needs them, those
// used for the last time give their registers up (to the result where the form allows), and
// when none is free the value used furthest in the future leaves, preferring values that cost
// nothing to bring back: constants (pool), texels and inputs (their own memory) and values
// spilled before (a slot stays valid: values never change). Operands that a form can take from
// memory are read from there when they are not in a register (AVX: any; SSE2: aligned pool and
// spill slots only).
//
// Frame: r14 = KernelArgs, r15 = byte offset of the block's first lane, rbx = constant pool
// (every constant replicated across 32 bytes), rax and rcx = scratch, rdx, rsi, rdi and r8-r13 =
// read pointers (address groups, then input components); the stack holds each index group's
// anchor (its byte offset and its lane-0 index in every lane), pointers that found no register,
// and spill slots.
#include <xbyak/xbyak.h>
#include <xbyak/xbyak_util.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "shader/fast/backend.h"
#include "shader/fast/schedule.h"

namespace kestrin::shader::fast {
namespace {

using namespace Xbyak;
using namespace Xbyak::util;

constexpr int kVectors = 16;
// How much further away a value that can be re-created without a store (a constant, a texel
// load) counts when choosing which register to spill.
constexpr uint64_t kRematerialiseBonus = 24;
constexpr uint32_t kNever = 0xFFFFFFFFu;
constexpr uint32_t kSignBits = 0x80000000u;
constexpr uint32_t kAbsBits = 0x7FFFFFFFu;
constexpr uint32_t kOneBits = 0x3F800000u;
constexpr uint32_t kTwo23Bits = 0x4B000000u;
constexpr int64_t kMaxRelative = int64_t{1} << 20; // texels between a group member and its anchor

struct PoolFree {
    void operator()(uint8_t* p) const { std::free(p); }
};

class Pool {
  public:
    // Index of the 32-byte entry holding `bits` in every lane.
    int replicated(uint32_t bits) {
        std::array<uint32_t, 8> e;
        e.fill(bits);
        return entry(e);
    }
    int entry(const std::array<uint32_t, 8>& e) {
        auto [it, inserted] = index_.try_emplace(e, static_cast<int>(entries_.size()));
        if (inserted) entries_.push_back(e);
        return it->second;
    }
    std::unique_ptr<uint8_t, PoolFree> materialise() const {
        const size_t bytes = std::max<size_t>(32, entries_.size() * 32);
        auto* p = static_cast<uint8_t*>(std::aligned_alloc(32, bytes));
        if (!p) throw std::bad_alloc();
        std::memset(p, 0, bytes);
        for (size_t i = 0; i < entries_.size(); ++i)
            std::memcpy(p + 32 * i, entries_[i].data(), 32);
        return std::unique_ptr<uint8_t, PoolFree>(p);
    }
    size_t size() const { return entries_.size(); }

  private:
    std::map<std::array<uint32_t, 8>, int> index_;
    std::vector<std::array<uint32_t, 8>> entries_;
};

uint32_t bitsOf(float f) {
    uint32_t b;
    std::memcpy(&b, &f, 4);
    return b;
}

// ---- texture read plan ----------------------------------------------------------------------

struct IndexGroup {
    bool x = true;
    uint8_t stage = 0;
    uint32_t anchor = 0; // node
    int64_t minRel = 0, maxRel = 0;
};

struct AddressGroup {
    uint8_t stage = 0;
    int xGroup = 0, yGroup = 0;
    int pointer = -1; // index into kPointers, or -1: kept on the stack
};

const Reg64 kPointers[] = {rdx, rsi, rdi, r8, r9, r10, r11, r12, r13};
constexpr int kPointerCount = 9;

struct Plan {
    std::vector<uint32_t> order;
    std::vector<int> indexGroup; // XIndex / YIndex node -> group
    std::vector<int64_t> indexRel;
    std::vector<int> loadGroup; // Load node -> address group
    std::vector<int32_t> loadDisp;
    std::vector<IndexGroup> groups;
    std::vector<AddressGroup> addresses;
    std::array<int, kInputRegisters * 4> inputPointer{}; // -1: read through rax
};

// The value an index coordinate varies by and the constant added to it.
void splitCoordinate(const Trace& t, uint32_t c, uint32_t* base, float* offset) {
    const Node& n = t.nodes[c];
    *base = c;
    *offset = 0.0f;
    auto isConst = [&](uint32_t v) { return t.nodes[v].op == Op::Const; };
    if (n.op == Op::Add && isConst(n.b) && !isConst(n.a)) {
        *base = n.a;
        *offset = t.nodes[n.b].k;
    } else if (n.op == Op::Add && isConst(n.a) && !isConst(n.b)) {
        *base = n.b;
        *offset = t.nodes[n.a].k;
    } else if (n.op == Op::Sub && isConst(n.b) && !isConst(n.a)) {
        *base = n.a;
        *offset = -t.nodes[n.b].k;
    }
}

bool planReads(const Trace& t, const DrawSpecialisation& draw, Plan& plan, std::string& error) {
    const size_t n = t.nodes.size();
    plan.indexGroup.assign(n, -1);
    plan.indexRel.assign(n, 0);
    plan.loadGroup.assign(n, -1);
    plan.loadDisp.assign(n, 0);
    std::map<std::tuple<bool, uint8_t, uint32_t>, int> groupOf;
    std::vector<int64_t> anchorExpected;
    for (uint32_t i = 0; i < n; ++i) {
        const Node& node = t.nodes[i];
        if (node.op != Op::XIndex && node.op != Op::YIndex) continue;
        const bool x = node.op == Op::XIndex;
        const StageLayout& s = draw.stages[node.stage];
        uint32_t base = node.a;
        float offset = 0.0f;
        splitCoordinate(t, node.a, &base, &offset);
        // pixel centres step by whole texels: u + k reads round(k * size) texels further on
        double expected = std::floor(static_cast<double>(offset) * (x ? s.width : s.height) + 0.5);
        if (!(std::fabs(expected) < static_cast<double>(kMaxRelative))) {
            base = node.a;
            expected = 0.0;
        }
        const auto key = std::make_tuple(x, node.stage, base);
        auto [it, inserted] = groupOf.try_emplace(key, static_cast<int>(plan.groups.size()));
        if (inserted) {
            IndexGroup g;
            g.x = x;
            g.stage = node.stage;
            g.anchor = i;
            plan.groups.push_back(g);
            anchorExpected.push_back(static_cast<int64_t>(expected));
        }
        IndexGroup& g = plan.groups[static_cast<size_t>(it->second)];
        const int64_t rel = static_cast<int64_t>(expected) - anchorExpected[it->second];
        if (std::llabs(rel) >= kMaxRelative) {
            error = "texture reads too far apart";
            return false;
        }
        plan.indexGroup[i] = it->second;
        plan.indexRel[i] = rel;
        g.minRel = std::min(g.minRel, rel);
        g.maxRel = std::max(g.maxRel, rel);
    }
    std::map<std::tuple<uint8_t, int, int>, int> addressOf;
    for (uint32_t i = 0; i < n; ++i) {
        const Node& node = t.nodes[i];
        if (node.op != Op::Load) continue;
        const int xg = plan.indexGroup[node.a], yg = plan.indexGroup[node.b];
        const auto key = std::make_tuple(node.stage, xg, yg);
        auto [it, inserted] = addressOf.try_emplace(key, static_cast<int>(plan.addresses.size()));
        if (inserted) plan.addresses.push_back({node.stage, xg, yg, -1});
        const StageLayout& s = draw.stages[node.stage];
        const int64_t disp = plan.indexRel[node.a] * 4 + plan.indexRel[node.b] * s.rowFloats * 4 +
                             s.planeFloats * 4 * node.channel;
        if (disp > 0x7FFFFFFF || disp < -0x7FFFFFFF) {
            error = "texture too large for compiled reads";
            return false;
        }
        plan.loadGroup[i] = it->second;
        plan.loadDisp[i] = static_cast<int32_t>(disp);
    }
    // Registers for pointers: address groups by number of reads, then inputs.
    std::vector<int> reads(plan.addresses.size(), 0);
    for (uint32_t i = 0; i < n; ++i)
        if (plan.loadGroup[i] >= 0) ++reads[static_cast<size_t>(plan.loadGroup[i])];
    std::vector<int> byReads(plan.addresses.size());
    for (size_t i = 0; i < byReads.size(); ++i) byReads[i] = static_cast<int>(i);
    std::stable_sort(byReads.begin(), byReads.end(),
                     [&](int a, int b) { return reads[size_t(a)] > reads[size_t(b)]; });
    int next = 0;
    for (int a : byReads)
        if (next < kPointerCount) plan.addresses[static_cast<size_t>(a)].pointer = next++;
    plan.inputPointer.fill(-1);
    for (uint32_t i = 0; i < n; ++i)
        if (t.nodes[i].op == Op::Input && next < kPointerCount &&
            plan.inputPointer[t.nodes[i].a] < 0)
            plan.inputPointer[t.nodes[i].a] = next++;
    return true;
}

// What each node needs emitted before it: its vector operands; for a read, the anchors of its
// groups (which form its pointer); for an index check, its coordinate and its group's anchor.
std::vector<std::vector<uint32_t>> dependences(const Trace& t, const Plan& plan) {
    std::vector<std::vector<uint32_t>> deps(t.nodes.size());
    for (uint32_t i = 0; i < t.nodes.size(); ++i) {
        const Node& n = t.nodes[i];
        auto& d = deps[i];
        auto add = [&](uint32_t v) {
            if (t.nodes[v].op != Op::Const && std::find(d.begin(), d.end(), v) == d.end())
                d.push_back(v);
        };
        auto anchorOf = [&](uint32_t index) {
            return plan.groups[static_cast<size_t>(plan.indexGroup[index])].anchor;
        };
        uint32_t ops[3];
        const unsigned k = nodeOperands(n, ops);
        for (unsigned j = 0; j < k; ++j) add(n.op == Op::Load ? anchorOf(ops[j]) : ops[j]);
        if ((n.op == Op::XIndex || n.op == Op::YIndex) && anchorOf(i) != i) add(anchorOf(i));
    }
    return deps;
}

// ---- code generation ------------------------------------------------------------------------

// Where an operand comes from: a register, or memory the instruction reads itself.
struct Src {
    int reg = -1;
    RegExp mem;
    bool isReg() const { return reg >= 0; }
};

// The instruction form of an operation: which operands it needs in registers, which it lets
// the result overwrite when they die at it, how many temporaries it uses.
struct Form {
    bool reg[3] = {false, false, false};
    bool alias[3] = {true, true, true};
    int temps = 0;
    bool commutative = false;
};

class Generator {
  public:
    Generator(const Trace& trace, const DrawSpecialisation& draw, const Plan& plan, bool avx,
              Pool& pool, CodeGenerator& g, int frameSlots)
        : t_(trace), draw_(draw), plan_(plan), avx_(avx), pool_(pool), g_(g), lanes_(avx ? 8 : 4),
          frameSlots_(frameSlots), vectors_(kVectors) {}

    // Returns the spill slots used.
    int run() {
        prepare();
        prologue();
        for (now_ = 0; now_ < plan_.order.size(); ++now_) {
            const uint32_t i = plan_.order[now_];
            try {
                node(i);
            } catch (const std::exception& e) {
                throw std::runtime_error("operation " + std::to_string(int(t_.nodes[i].op)) + ": " +
                                         e.what());
            }
        }
        stores();
        g_.xor_(eax, eax);
        g_.L(done_);
        epilogue();
        g_.L(bail_);
        g_.mov(eax, 1);
        g_.jmp(done_);
        return slotsUsed_;
    }

    const void* poolAddress_ = nullptr;

  private:
    // ---- bookkeeping -------------------------------------------------------------------------

    Xmm V(int r) const { return avx_ ? Xmm(Ymm(r)) : Xmm(r); }
    bool isConst(uint32_t v) const { return t_.nodes[v].op == Op::Const; }
    RegExp constAt(int entry) const { return rbx + 32 * entry; }
    RegExp constOf(uint32_t bits) { return constAt(pool_.replicated(bits)); }
    RegExp spillAt(int slot) const {
        return rsp + static_cast<int>(spillBase_ + 32 * static_cast<size_t>(slot));
    }
    RegExp qwordAt(int slot) const { return rsp + 8 * slot; }
    RegExp broadcastAt(int group) const {
        return rsp + static_cast<int>(broadcastBase_ + 32 * static_cast<size_t>(group));
    }

    void prepare() {
        const size_t n = t_.nodes.size();
        uses_.assign(n, {});
        usePtr_.assign(n, 0);
        reg_.assign(n, -1);
        slot_.assign(n, -1);
        owner_.fill(-1);
        const auto end = static_cast<uint32_t>(plan_.order.size());
        for (uint32_t p = 0; p < end; ++p) {
            uint32_t ops[3];
            const unsigned k = operandsOf(t_.nodes[plan_.order[p]], ops);
            for (unsigned j = 0; j < k; ++j) {
                auto& u = uses_[ops[j]];
                if (u.empty() || u.back() != p) u.push_back(p);
            }
        }
        for (uint32_t v : t_.outputs)
            if (uses_[v].empty() || uses_[v].back() != end) uses_[v].push_back(end);
        // frame: qwords (group offsets, stacked pointers), group broadcasts, spills
        int qwords = 0;
        groupOffset_.assign(plan_.groups.size(), 0);
        for (size_t g = 0; g < plan_.groups.size(); ++g) groupOffset_[g] = qwords++;
        addressSlot_.assign(plan_.addresses.size(), -1);
        for (size_t a = 0; a < plan_.addresses.size(); ++a)
            if (plan_.addresses[a].pointer < 0) addressSlot_[a] = qwords++;
        broadcastBase_ = (static_cast<size_t>(qwords) * 8 + 31) & ~size_t{31};
        spillBase_ = broadcastBase_ + 32 * plan_.groups.size();
        anchored_.assign(plan_.groups.size(), false);
    }

    uint32_t nextUse(uint32_t v) {
        auto& u = uses_[v];
        size_t& p = usePtr_[v];
        while (p < u.size() && u[p] <= now_) ++p;
        return p < u.size() ? u[p] : kNever;
    }
    bool diesHere(uint32_t v) { return nextUse(v) == kNever; }

    // Costs nothing to bring back into a register.
    bool rematerialisable(uint32_t v) const {
        const Op op = t_.nodes[v].op;
        return op == Op::Const || op == Op::Input || op == Op::Load || slot_[v] >= 0;
    }

    // Memory an instruction can read v from directly, if any.
    bool memoryOf(uint32_t v, RegExp* out) const {
        const Node& n = t_.nodes[v];
        if (n.op == Op::Const) {
            *out = const_cast<Generator*>(this)->constOf(bitsOf(n.k));
            return true;
        }
        if (slot_[v] >= 0) {
            *out = spillAt(slot_[v]);
            return true;
        }
        if (!avx_) return false; // SSE2 memory operands must be aligned
        if (n.op == Op::Load) {
            const AddressGroup& a = plan_.addresses[static_cast<size_t>(plan_.loadGroup[v])];
            if (a.pointer < 0) return false;
            *out = kPointers[a.pointer] + plan_.loadDisp[v];
            return true;
        }
        if (n.op == Op::Input && plan_.inputPointer[n.a] >= 0) {
            *out = RegExp(kPointers[plan_.inputPointer[n.a]]);
            return true;
        }
        return false;
    }

    void moveIn(const Xmm& d, const RegExp& m, bool aligned) {
        if (avx_)
            aligned ? g_.vmovaps(d, g_.ptr[m]) : g_.vmovups(d, g_.ptr[m]);
        else
            aligned ? g_.movaps(d, g_.ptr[m]) : g_.movups(d, g_.ptr[m]);
    }
    void copy(const Xmm& d, const Xmm& s) {
        if (d.getIdx() == s.getIdx()) return;
        avx_ ? g_.vmovaps(d, s) : g_.movaps(d, s);
    }

    // Brings v's value into register r.
    void load(uint32_t v, int r) {
        const Node& n = t_.nodes[v];
        const Xmm d = V(r);
        if (n.op == Op::Const) {
            if (bitsOf(n.k) == 0)
                avx_ ? g_.vxorps(d, d, d) : g_.xorps(d, d);
            else
                moveIn(d, constOf(bitsOf(n.k)), true);
        } else if (slot_[v] >= 0) {
            moveIn(d, spillAt(slot_[v]), true);
        } else if (n.op == Op::Load) {
            const auto group = static_cast<size_t>(plan_.loadGroup[v]);
            const AddressGroup& a = plan_.addresses[group];
            if (a.pointer >= 0) {
                moveIn(d, kPointers[a.pointer] + plan_.loadDisp[v], false);
            } else {
                g_.mov(rax, g_.qword[qwordAt(addressSlot_[group])]);
                moveIn(d, rax + plan_.loadDisp[v], false);
            }
        } else if (n.op == Op::Input) {
            if (plan_.inputPointer[n.a] >= 0) {
                moveIn(d, RegExp(kPointers[plan_.inputPointer[n.a]]), false);
            } else {
                g_.mov(rax, g_.qword[r14 + offsetof(KernelArgs, inputs)]);
                g_.mov(rax, g_.qword[rax + 8 * static_cast<int>(n.a)]);
                moveIn(d, rax + r15, false);
            }
        } else {
            throw std::logic_error("value lost");
        }
    }

    // A free register (not in `pinned`), evicting if needed.
    int allocate(unsigned pinned, int prefer = -1) {
        if (prefer >= 0 && owner_[prefer] < 0 && !((pinned >> prefer) & 1)) return prefer;
        for (int r = 0; r < vectors_; ++r)
            if (owner_[r] < 0 && !((pinned >> r) & 1)) return r;
        int victim = -1;
        uint64_t best = 0;
        for (int r = 0; r < vectors_; ++r) {
            if ((pinned >> r) & 1) continue;
            const auto v = static_cast<uint32_t>(owner_[r]);
            const uint32_t next = nextUse(v);
            uint64_t score = next == kNever ? ~uint64_t{0} : next - now_;
            if (rematerialisable(v)) score += kRematerialiseBonus; // nothing to store
            if (victim < 0 || score > best) {
                victim = r;
                best = score;
            }
        }
        if (victim < 0) throw std::logic_error("no register left");
        const auto v = static_cast<uint32_t>(owner_[victim]);
        if (!rematerialisable(v)) {
            slot_[v] = takeSlot();
            const Xmm s = V(victim);
            avx_ ? g_.vmovaps(g_.ptr[spillAt(slot_[v])], s)
                 : g_.movaps(g_.ptr[spillAt(slot_[v])], s);
        }
        reg_[v] = -1;
        owner_[victim] = -1;
        return victim;
    }

    int takeSlot() {
        int s;
        if (!freeSlots_.empty()) {
            s = freeSlots_.back();
            freeSlots_.pop_back();
        } else {
            s = slotsUsed_++;
        }
        if (slotsUsed_ > frameSlots_) overflow_ = true;
        return overflow_ ? 0 : s;
    }

    void bind(uint32_t v, int r) {
        reg_[v] = r;
        owner_[r] = static_cast<int>(v);
    }

    // v in a register, loading it when needed.
    int inRegister(uint32_t v, unsigned& pinned) {
        if (reg_[v] < 0) {
            const int r = allocate(pinned);
            load(v, r);
            bind(v, r);
        }
        pinned |= 1u << reg_[v];
        return reg_[v];
    }

    // Values whose last use is now leave their registers, and after the instruction their
    // spill slots.
    void leaveRegisters(const uint32_t* ops, unsigned k) {
        for (unsigned j = 0; j < k; ++j) {
            const uint32_t v = ops[j];
            if (!diesHere(v) || reg_[v] < 0) continue;
            if (owner_[reg_[v]] == static_cast<int>(v)) owner_[reg_[v]] = -1;
            reg_[v] = -1;
        }
    }
    void leaveSlots(const uint32_t* ops, unsigned k) {
        for (unsigned j = 0; j < k; ++j) {
            const uint32_t v = ops[j];
            if (!diesHere(v) || slot_[v] < 0) continue;
            freeSlots_.push_back(slot_[v]);
            slot_[v] = -2; // dead
        }
    }

    // ---- instruction forms -------------------------------------------------------------------

    Form formOf(Op op) const {
        Form f;
        switch (op) {
        case Op::Add:
        case Op::Mul:
        case Op::Sub:
        case Op::Div:
        case Op::Min:
            f.commutative = op == Op::Add || op == Op::Mul;
            f.reg[0] = avx_;
            f.alias[1] = avx_; // SSE2: d = A, then d op= B
            break;
        case Op::MaxGe:
            f.reg[0] = f.reg[1] = avx_;
            f.temps = avx_ ? 1 : 2;
            break;
        case Op::Sel:
        case Op::SelLe0:
            if (avx_) {
                f.reg[0] = f.reg[2] = true;
                f.alias[1] = f.alias[2] = false; // d holds the mask first
            } else {
                f.temps = 2;
            }
            break;
        case Op::Sat:
            f.reg[0] = avx_;
            f.temps = 2;
            break;
        case Op::Frc:
            f.reg[0] = avx_;
            f.temps = avx_ ? 1 : 3;
            break;
        case Op::Neg:
        case Op::Abs:
            f.reg[0] = avx_;
            break;
        case Op::LoadFixed:
            break;
        default: // Sqrt
            break;
        }
        return f;
    }

    // The vector values n reads (a read's operands are index checks, not values).
    static unsigned operandsOf(const Node& n, uint32_t out[3]) {
        return n.op == Op::Load ? 0 : nodeOperands(n, out);
    }

    // Operand j as a Src: its register, its memory, or loaded into a register.
    Src source(uint32_t v, bool needReg, unsigned& pinned) {
        Src s;
        if (reg_[v] >= 0) {
            s.reg = reg_[v];
            pinned |= 1u << s.reg;
            return s;
        }
        RegExp m;
        if (!needReg && memoryOf(v, &m)) {
            // Read straight from memory: measured faster than taking a free register for it.
            s.mem = m;
            return s;
        }
        s.reg = inRegister(v, pinned);
        return s;
    }

    void node(uint32_t i) {
        const Node& n = t_.nodes[i];
        switch (n.op) {
        case Op::Const:
        case Op::Input:
        case Op::Load:
            return; // read where used
        case Op::XIndex:
        case Op::YIndex:
            indexNode(i);
            return;
        default:
            break;
        }
        uint32_t ops[3];
        const unsigned k = operandsOf(n, ops);
        Form f = formOf(n.op);
        // A commutative operation takes the operand already in a register first.
        if (f.commutative && k == 2 && reg_[ops[0]] < 0 && reg_[ops[1]] >= 0)
            std::swap(ops[0], ops[1]);
        if (f.commutative && !avx_ && k == 2 && reg_[ops[1]] >= 0 && diesHere(ops[1]) &&
            !(reg_[ops[0]] >= 0 && diesHere(ops[0])))
            std::swap(ops[0], ops[1]); // SSE2: the result takes the dying register
        unsigned pinned = 0;
        for (unsigned j = 0; j < k; ++j)
            if (reg_[ops[j]] >= 0) pinned |= 1u << reg_[ops[j]];
        Src src[3];
        for (unsigned j = 0; j < k; ++j) src[j] = source(ops[j], f.reg[j], pinned);
        // SSE2 two-operand forms write d before reading B: a B in memory that is not aligned
        // was loaded above; d must differ from B's register unless B is A.
        int prefer = -1;
        unsigned keep = 0; // registers of dying operands the result must not take
        for (unsigned j = 0; j < k; ++j) {
            if (!src[j].isReg() || !diesHere(ops[j])) continue;
            bool sharedWithOther = false;
            for (unsigned m = 0; m < k; ++m)
                if (m != j && ops[m] == ops[j] && !f.alias[m]) sharedWithOther = true;
            if (f.alias[j] && !sharedWithOther) {
                if (prefer < 0) prefer = src[j].reg;
            } else {
                keep |= 1u << src[j].reg;
            }
        }
        leaveRegisters(ops, k);
        // Registers still owned stay pinned; those freed above are open to the result where the
        // form allows it. Temporaries avoid every source.
        const unsigned sourcesPinned = pinned;
        unsigned forResult = 0;
        for (int r = 0; r < vectors_; ++r)
            if (((sourcesPinned >> r) & 1) && (owner_[r] >= 0 || ((keep >> r) & 1)))
                forResult |= 1u << r;
        const int d = allocate(forResult, prefer);
        unsigned forTemps = sourcesPinned | (1u << d);
        int temps[3] = {-1, -1, -1};
        for (int j = 0; j < f.temps; ++j) {
            temps[j] = allocate(forTemps);
            forTemps |= 1u << temps[j];
        }
        emit(n, d, src, temps);
        leaveSlots(ops, k); // only now: an operand may have been read from its slot
        bind(i, d);
        if (uses_[i].empty()) { // nothing reads it (cannot happen in a trace; be safe)
            owner_[d] = -1;
            reg_[i] = -1;
        }
    }

    // ---- emission of one operation -----------------------------------------------------------

    // d = A op B.
    void binary(Op op, const Xmm& d, const Src& A, const Src& B) {
        if (avx_) {
            auto emitOp = [&](const Xmm& a, const Operand& b) {
                switch (op) {
                case Op::Add:
                    g_.vaddps(d, a, b);
                    break;
                case Op::Sub:
                    g_.vsubps(d, a, b);
                    break;
                case Op::Mul:
                    g_.vmulps(d, a, b);
                    break;
                case Op::Div:
                    g_.vdivps(d, a, b);
                    break;
                default:
                    g_.vminps(d, a, b);
                    break;
                }
            };
            if (B.isReg())
                emitOp(V(A.reg), V(B.reg));
            else
                emitOp(V(A.reg), g_.ptr[B.mem]);
            return;
        }
        auto emitOp = [&](const Operand& b) {
            switch (op) {
            case Op::Add:
                g_.addps(d, b);
                break;
            case Op::Sub:
                g_.subps(d, b);
                break;
            case Op::Mul:
                g_.mulps(d, b);
                break;
            case Op::Div:
                g_.divps(d, b);
                break;
            default:
                g_.minps(d, b);
                break;
            }
        };
        if (A.isReg())
            copy(d, V(A.reg));
        else
            moveIn(d, A.mem, true);
        if (B.isReg())
            emitOp(V(B.reg));
        else
            emitOp(g_.ptr[B.mem]);
    }

    template <class F> void withSrc(const Src& s, F&& f) {
        if (s.isReg()) {
            const Xmm x = V(s.reg);
            f(static_cast<const Operand&>(x));
        } else {
            const Address m = g_.ptr[s.mem];
            f(static_cast<const Operand&>(m));
        }
    }

    void toRegister(const Xmm& d, const Src& s) {
        if (s.isReg())
            copy(d, V(s.reg));
        else
            moveIn(d, s.mem, true);
    }

    // SSE2: d = mask ? X : Y with the mask in m; t is clobbered, m too.
    void sseBlend(const Xmm& d, const Xmm& m, const Xmm& t, const Src& X, const Src& Y) {
        copy(t, m);
        withSrc(X, [&](const Operand& x) { g_.andps(t, x); });
        withSrc(Y, [&](const Operand& y) { g_.andnps(m, y); });
        g_.orps(m, t);
        copy(d, m);
    }

    void emit(const Node& n, int dr, const Src* src, const int* temps) {
        const Xmm d = V(dr);
        const Src& A = src[0];
        switch (n.op) {
        case Op::Add:
        case Op::Sub:
        case Op::Mul:
        case Op::Div:
        case Op::Min:
            binary(n.op, d, A, src[1]);
            return;
        case Op::Sqrt:
            if (avx_)
                withSrc(A, [&](const Operand& a) { g_.vsqrtps(d, a); });
            else
                withSrc(A, [&](const Operand& a) { g_.sqrtps(d, a); });
            return;
        case Op::Neg:
        case Op::Abs: {
            const RegExp mask = constOf(n.op == Op::Neg ? kSignBits : kAbsBits);
            if (avx_) {
                n.op == Op::Neg ? g_.vxorps(d, V(A.reg), g_.ptr[mask])
                                : g_.vandps(d, V(A.reg), g_.ptr[mask]);
            } else {
                toRegister(d, A);
                n.op == Op::Neg ? g_.xorps(d, g_.ptr[mask]) : g_.andps(d, g_.ptr[mask]);
            }
            return;
        }
        case Op::MaxGe: { // a >= b ? a : b
            const Src& B = src[1];
            if (avx_) {
                const Xmm m = V(temps[0]);
                withSrc(B, [&](const Operand& b) { g_.vcmpps(m, V(A.reg), b, 0x1D); }); // GE
                g_.vblendvps(d, V(B.reg), V(A.reg), m);
                return;
            }
            const Xmm m = V(temps[0]), t = V(temps[1]);
            toRegister(m, B);
            withSrc(A, [&](const Operand& a) { g_.cmpleps(m, a); }); // b <= a
            sseBlend(d, m, t, A, B);
            return;
        }
        case Op::Sel:
        case Op::SelLe0: {
            const bool ge = n.op == Op::Sel;
            const Src& B = src[1];
            const Src& C = src[2];
            if (avx_) {
                g_.vcmpps(d, V(A.reg), g_.ptr[constOf(0)], ge ? 0x1D : 0x12); // GE / LE
                withSrc(B, [&](const Operand& b) { g_.vblendvps(d, V(C.reg), b, d); });
                return;
            }
            const Xmm m = V(temps[0]), t = V(temps[1]);
            if (ge) {
                g_.xorps(m, m);
                withSrc(A, [&](const Operand& a) { g_.cmpleps(m, a); }); // 0 <= a
            } else {
                toRegister(m, A);
                g_.cmpleps(m, g_.ptr[constOf(0)]); // a <= 0
            }
            sseBlend(d, m, t, B, C);
            return;
        }
        case Op::Sat: {
            // max(0, a) keeps -0 and passes NaN, min(., 1), then NaN lanes to 0
            const Xmm t = V(temps[0]), o = V(temps[1]);
            if (avx_) {
                g_.vxorps(t, t, t);
                g_.vmaxps(t, t, V(A.reg));
                g_.vminps(t, t, g_.ptr[constOf(kOneBits)]);
                g_.vcmpps(o, V(A.reg), V(A.reg), 7); // ordered
                g_.vandps(d, t, o);
                return;
            }
            g_.xorps(t, t);
            withSrc(A, [&](const Operand& a) { g_.maxps(t, a); });
            g_.minps(t, g_.ptr[constOf(kOneBits)]);
            toRegister(o, A);
            withSrc(A, [&](const Operand& a) { g_.cmpordps(o, a); });
            g_.andps(o, t);
            copy(d, o);
            return;
        }
        case Op::Frc:
            fraction(d, A, temps);
            return;
        case Op::LoadFixed: {
            const StageLayout& s = draw_.stages[n.stage];
            g_.mov(rax, g_.qword[r14 + offsetof(KernelArgs, stageBases)]);
            g_.mov(rax, g_.qword[rax + 8 * n.stage]);
            g_.mov(rcx, (n.fixedTexel + s.planeFloats * n.channel) * 4);
            if (avx_) {
                g_.vbroadcastss(d, g_.dword[rax + rcx]);
            } else {
                g_.movss(d, g_.dword[rax + rcx]);
                g_.shufps(d, d, 0);
            }
            return;
        }
        default:
            throw std::logic_error("operation not compiled");
        }
    }

    void fraction(const Xmm& d, const Src& A, const int* temps) {
        if (avx_) {
            const Xmm t = V(temps[0]);
            g_.vroundps(t, V(A.reg), 1); // floor
            g_.vsubps(d, V(A.reg), t);
            return;
        }
        // floor without SSE4.1: truncate, step down where that rounded up, keep the sign of -0;
        // from 2^23 on (and for infinities and NaN) a float is its own floor.
        const Xmm s0 = V(temps[0]), s1 = V(temps[1]), s2 = V(temps[2]);
        toRegister(s0, A);
        g_.andps(s0, g_.ptr[constOf(kAbsBits)]);
        g_.cmpltps(s0, g_.ptr[constOf(kTwo23Bits)]);
        withSrc(A, [&](const Operand& a) { g_.cvttps2dq(s1, a); });
        g_.cvtdq2ps(s1, s1);
        toRegister(s2, A);
        g_.cmpltps(s2, s1);
        g_.andps(s2, g_.ptr[constOf(kOneBits)]);
        g_.subps(s1, s2);
        toRegister(s2, A);
        g_.andps(s2, g_.ptr[constOf(kSignBits)]);
        g_.orps(s1, s2);
        g_.andps(s1, s0);
        withSrc(A, [&](const Operand& a) { g_.andnps(s0, a); });
        g_.orps(s0, s1);
        toRegister(s1, A);
        g_.subps(s1, s0);
        copy(d, s1);
    }

    // ---- texture read checks -----------------------------------------------------------------

    // floor(coordinate * size) as int32 lanes in t (NaN and overflow give INT_MIN).
    void laneIndices(const Xmm& t, const Src& A, float size, const int* temps) {
        const RegExp scale = constOf(bitsOf(size));
        if (avx_) {
            if (A.isReg())
                g_.vmulps(t, V(A.reg), g_.ptr[scale]);
            else {
                moveIn(t, A.mem, false);
                g_.vmulps(t, t, g_.ptr[scale]);
            }
            g_.vroundps(t, t, 1);
            g_.vcvttps2dq(t, t);
            return;
        }
        const Xmm s1 = V(temps[1]), s2 = V(temps[2]);
        toRegister(t, A);
        g_.mulps(t, g_.ptr[scale]);
        g_.cvttps2dq(s1, t);
        g_.cvtdq2ps(s2, s1);
        g_.cmpltps(t, s2); // x < trunc(x): one less
        g_.paddd(s1, t);
        copy(t, s1);
    }

    void bailUnlessAllLanes(const Xmm& m) {
        avx_ ? g_.vmovmskps(ecx, m) : g_.movmskps(ecx, m);
        g_.cmp(ecx, (1 << lanes_) - 1);
        g_.jne(bail_, CodeGenerator::T_NEAR);
    }

    void indexNode(uint32_t i) {
        const Node& n = t_.nodes[i];
        const int gi = plan_.indexGroup[i];
        const IndexGroup& grp = plan_.groups[static_cast<size_t>(gi)];
        const StageLayout& s = draw_.stages[n.stage];
        const bool x = n.op == Op::XIndex;
        const float size = static_cast<float>(x ? s.width : s.height);
        const bool anchor = grp.anchor == i;
        uint32_t ops[1] = {n.a};
        unsigned pinned = 0;
        const Src A = source(n.a, false, pinned);
        leaveRegisters(ops, 1);
        // temporaries avoid A's register (read after the first temporary is written)
        unsigned avoid = pinned;
        int temps[3] = {-1, -1, -1};
        for (int j = 0; j < (avx_ ? 2 : 3); ++j) {
            temps[j] = allocate(avoid);
            avoid |= 1u << temps[j];
        }
        const Xmm t0 = V(temps[0]), t1 = V(temps[1]);
        laneIndices(t0, A, size, temps);
        leaveSlots(ops, 1);
        const int64_t rel = plan_.indexRel[i];
        std::array<uint32_t, 8> expected{};
        for (int l = 0; l < 8; ++l)
            expected[static_cast<size_t>(l)] = static_cast<uint32_t>((x ? l : 0) + rel);
        const RegExp expect = constAt(pool_.entry(expected));
        if (!anchor) {
            // lanes - (iota + rel) must all be the anchor's lane-0 index
            if (avx_) {
                g_.vpsubd(t0, t0, g_.ptr[expect]);
                g_.vpcmpeqd(t0, t0, g_.ptr[broadcastAt(gi)]);
            } else {
                g_.psubd(t0, g_.ptr[expect]);
                g_.pcmpeqd(t0, g_.ptr[broadcastAt(gi)]);
            }
            bailUnlessAllLanes(t0);
            return;
        }
        if (avx_) {
            g_.vmovd(eax, Xmm(temps[0]));
            g_.vpbroadcastd(t1, Xmm(temps[0]));
            g_.vmovdqa(g_.ptr[broadcastAt(gi)], t1);
            g_.vpsubd(t0, t0, g_.ptr[expect]);
            g_.vpcmpeqd(t0, t0, t1);
        } else {
            g_.movd(eax, t0);
            g_.pshufd(t1, t0, 0);
            g_.movdqa(g_.ptr[broadcastAt(gi)], t1);
            g_.psubd(t0, g_.ptr[expect]);
            g_.pcmpeqd(t0, t1);
        }
        bailUnlessAllLanes(t0);
        // The whole group's span within the padding: -pad <= i0 + minRel and
        // i0 + maxRel (+ lanes - 1 across) < size + pad.
        const int64_t extent = static_cast<int64_t>(size) + 2 * s.pad - 1 -
                               (grp.maxRel - grp.minRel) - (x ? lanes_ - 1 : 0);
        if (extent < 0) {
            g_.jmp(bail_, CodeGenerator::T_NEAR);
        } else {
            g_.movsxd(rax, eax);
            g_.lea(rcx, g_.ptr[rax + static_cast<int>(s.pad + grp.minRel)]);
            g_.cmp(rcx, static_cast<int>(extent));
            g_.ja(bail_, CodeGenerator::T_NEAR);
        }
        if (x)
            g_.shl(rax, 2);
        else
            g_.imul(rax, rax, static_cast<int>(s.rowFloats * 4));
        g_.mov(g_.qword[qwordAt(groupOffset_[static_cast<size_t>(gi)])], rax);
        anchored_[static_cast<size_t>(gi)] = true;
        // Pointers whose two anchors are now known.
        for (size_t a = 0; a < plan_.addresses.size(); ++a) {
            const AddressGroup& ag = plan_.addresses[a];
            if ((ag.xGroup != gi && ag.yGroup != gi) ||
                !anchored_[static_cast<size_t>(ag.xGroup)] ||
                !anchored_[static_cast<size_t>(ag.yGroup)])
                continue;
            const Reg64 p = ag.pointer >= 0 ? kPointers[ag.pointer] : rax;
            g_.mov(p, g_.qword[r14 + offsetof(KernelArgs, stageBases)]);
            g_.mov(p, g_.qword[p + 8 * ag.stage]);
            g_.add(p, g_.qword[qwordAt(groupOffset_[static_cast<size_t>(ag.xGroup)])]);
            g_.add(p, g_.qword[qwordAt(groupOffset_[static_cast<size_t>(ag.yGroup)])]);
            if (ag.pointer < 0) g_.mov(g_.qword[qwordAt(addressSlot_[a])], p);
        }
        // the temporaries hold nothing
    }

    void stores() {
        // Only the outputs are left in registers; `now` is past every use, so keep them all.
        unsigned pinned = 0;
        for (uint32_t v : t_.outputs)
            if (reg_[v] >= 0) pinned |= 1u << reg_[v];
        for (int c = 0; c < 4; ++c) {
            const uint32_t v = t_.outputs[c];
            const int r = inRegister(v, pinned);
            g_.mov(rax, g_.qword[r14 + offsetof(KernelArgs, outputs)]);
            g_.mov(rax, g_.qword[rax + 8 * c]);
            avx_ ? g_.vmovups(g_.ptr[rax + r15], V(r)) : g_.movups(g_.ptr[rax + r15], V(r));
        }
    }

    void prologue() {
        g_.push(rbp);
        g_.mov(rbp, rsp);
        g_.push(rbx);
        g_.push(r12);
        g_.push(r13);
        g_.push(r14);
        g_.push(r15);
        g_.and_(rsp, -32);
        const size_t frame = spillBase_ + 32 * static_cast<size_t>(frameSlots_);
        if (frame) g_.sub(rsp, static_cast<uint32_t>(frame));
        g_.mov(r14, rdi);
        g_.mov(rbx, reinterpret_cast<size_t>(poolAddress_));
        g_.mov(r15, g_.qword[r14 + offsetof(KernelArgs, lane)]);
        g_.shl(r15, 2);
        for (unsigned a = 0; a < plan_.inputPointer.size(); ++a) {
            const int p = plan_.inputPointer[a];
            if (p < 0) continue;
            g_.mov(kPointers[p], g_.qword[r14 + offsetof(KernelArgs, inputs)]);
            g_.mov(kPointers[p], g_.qword[kPointers[p] + 8 * static_cast<int>(a)]);
            g_.add(kPointers[p], r15);
        }
    }

    void epilogue() {
        g_.lea(rsp, g_.ptr[rbp - 40]);
        g_.pop(r15);
        g_.pop(r14);
        g_.pop(r13);
        g_.pop(r12);
        g_.pop(rbx);
        g_.pop(rbp);
        if (avx_) g_.vzeroupper();
        g_.ret();
    }

  public:
    bool overflow_ = false;

  private:
    const Trace& t_;
    const DrawSpecialisation& draw_;
    const Plan& plan_;
    bool avx_;
    Pool& pool_;
    CodeGenerator& g_;
    int lanes_;
    int frameSlots_;
    int vectors_;
    int slotsUsed_ = 0;
    std::vector<int> freeSlots_;
    size_t broadcastBase_ = 0, spillBase_ = 0;
    std::vector<int> groupOffset_, addressSlot_;
    std::vector<bool> anchored_;
    Label done_, bail_;
    uint32_t now_ = 0;
    std::vector<std::vector<uint32_t>> uses_;
    std::vector<size_t> usePtr_;
    std::vector<int> reg_, slot_;
    std::array<int, kVectors> owner_{};
};

class X86Program final : public CompiledProgram {
  public:
    X86Program(Engine engine, const Trace& trace)
        : engine_(engine), inputs_(trace.inputComponents), stages_(trace.stageChannels),
          operations_(trace.operations) {}

    Engine engine() const override { return engine_; }
    unsigned lanes() const override { return engine_ == Engine::Avx2 ? 8 : 4; }
    bool runBlock(const KernelArgs& args) const override { return fn_(&args) == 0; }
    uint8_t inputComponents(unsigned reg) const override {
        return reg < inputs_.size() ? inputs_[reg] : 0;
    }
    uint8_t stageChannels(unsigned stage) const override {
        return stage < stages_.size() ? stages_[stage] : 0;
    }
    size_t operationCount() const override { return operations_; }

    std::unique_ptr<CodeGenerator> code;
    std::unique_ptr<uint8_t, PoolFree> pool;
    int (*fn_)(const KernelArgs*) = nullptr;

  private:
    Engine engine_;
    std::array<uint8_t, kInputRegisters> inputs_;
    std::array<uint8_t, kSamplers> stages_;
    size_t operations_;
};

} // namespace

bool cpuHasAvx2() {
    static const bool has = [] {
        Cpu cpu;
        return cpu.has(Cpu::tAVX2) && cpu.has(Cpu::tAVX);
    }();
    return has;
}

CompileResult compileTrace(const Trace& trace, const DrawSpecialisation& draw, Engine engine) {
    CompileResult result;
    const bool avx = engine == Engine::Avx2;
    const int lanes = avx ? 8 : 4;
    for (const StageLayout& s : draw.stages) {
        if (!s.bound) continue;
        if (s.width + 2 * s.pad < lanes) {
            result.reason = "texture narrower than a block";
            return result;
        }
        if (s.planeFloats * 4 * 4 > 0x7FFFFFFF || s.rowFloats * 4 > 0x7FFFFFFF ||
            s.width + 2 * s.pad > 0x3FFFFFFF || s.height + 2 * s.pad > 0x3FFFFFFF) {
            result.reason = "texture too large for compiled reads";
            return result;
        }
    }
    Plan plan;
    if (!planReads(trace, draw, plan, result.reason)) return result;
    plan.order = scheduleTrace(trace, dependences(trace, plan),
                               avx ? ScheduleTarget::Avx2 : ScheduleTarget::Sse2);
    // First pass: how many spill slots; second: the code with its frame. Both make the same
    // decisions.
    Pool pool;
    int spills = 0;
    {
        CodeGenerator scratch(4096, AutoGrow);
        Generator gen(trace, draw, plan, avx, pool, scratch, 1 << 20);
        spills = gen.run();
    }
    // The first pass met every constant, so the pool is complete before the code points at it.
    auto program = std::make_shared<X86Program>(engine, trace);
    program->pool = pool.materialise();
    const size_t entries = pool.size();
    program->code = std::make_unique<CodeGenerator>(4096, AutoGrow);
    Generator gen(trace, draw, plan, avx, pool, *program->code, spills);
    gen.poolAddress_ = program->pool.get();
    gen.run();
    if (pool.size() != entries || gen.overflow_) {
        result.reason = "code generation differed between passes";
        return result;
    }
    program->code->readyRE();
    if (const char* dump = std::getenv("KESTRIN_JIT_DUMP")) {
        // For diagnostics: the last program compiled for each engine, as raw code.
        const std::string path = std::string(dump) + (avx ? ".avx2" : ".sse2");
        if (FILE* f = std::fopen(path.c_str(), "wb")) {
            std::fwrite(program->code->getCode(), 1, program->code->getSize(), f);
            std::fclose(f);
        }
    }
    program->fn_ = program->code->getCode<int (*)(const KernelArgs*)>();
    result.program = std::move(program);
    return result;
}

} // namespace kestrin::shader::fast
