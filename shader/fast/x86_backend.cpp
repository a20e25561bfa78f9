// x86-64 code for a trace: AVX2 (8 lanes, three-operand VEX forms) or SSE2 (4 lanes, the
// x86-64 baseline). The same operations in the same order for both, so both give the same bits.
//
// The trace is straight-line code, so registers are allocated in one pass: an operation's
// operands are brought into registers, those whose last use it is are released, the result
// takes a free register, and when none is free the value used furthest in the future is
// spilled to the stack (Belady's rule). Three vector registers stay out of allocation as
// scratch for the longer sequences (select, saturate, index checks).
//
// Registers 14 and 15 hold 0 and 1 for the whole block.
//
// Frame: rbx = constant pool (every constant replicated across 32 bytes), r12 = stage bases,
// r13 = input lane arrays, r14 = output lane arrays, r15 = byte offset of the block's first lane;
// the stack holds the texel offsets of the reads (one slot per distinct coordinate) and spills.
#include <xbyak/xbyak.h>
#include <xbyak/xbyak_util.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>

#include "shader/fast/backend.h"

namespace kestrin::shader::fast {
namespace {

using namespace Xbyak;
using namespace Xbyak::util;

constexpr int kAllocatable = 11; // vector registers 0-10; 11-13 are scratch
constexpr int kZero = 14;        // holds 0.0 in every lane
constexpr int kOne = 15;         // holds 1.0 in every lane
constexpr uint32_t kSignBits = 0x80000000u;
constexpr uint32_t kAbsBits = 0x7FFFFFFFu;
constexpr uint32_t kOneBits = 0x3F800000u;
constexpr uint32_t kTwo23Bits = 0x4B000000u;

struct PoolFree {
    void operator()(uint8_t* p) const { std::free(p); }
};

class Pool {
  public:
    // Index of the 32-byte entry holding `bits` in every lane.
    int replicated(uint32_t bits) {
        auto [it, inserted] = index_.try_emplace(bits, static_cast<int>(entries_.size()));
        if (inserted) {
            std::array<uint32_t, 8> e;
            e.fill(bits);
            entries_.push_back(e);
        }
        return it->second;
    }
    int iota() {
        if (iota_ < 0) {
            iota_ = static_cast<int>(entries_.size());
            entries_.push_back({0, 1, 2, 3, 4, 5, 6, 7});
        }
        return iota_;
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
    std::map<uint32_t, int> index_;
    std::vector<std::array<uint32_t, 8>> entries_;
    int iota_ = -1;
};

uint32_t bitsOf(float f) {
    uint32_t b;
    std::memcpy(&b, &f, 4);
    return b;
}

// The vector operands of a node.
unsigned operands(const Node& n, uint32_t out[3]) {
    switch (n.op) {
    case Op::Const:
    case Op::Input:
    case Op::Load:
    case Op::LoadFixed:
        return 0;
    case Op::XIndex:
    case Op::YIndex:
    case Op::Sqrt:
    case Op::Neg:
    case Op::Abs:
    case Op::Sat:
    case Op::Frc:
        out[0] = n.a;
        return 1;
    case Op::Sel:
    case Op::SelLe0:
        out[0] = n.a;
        out[1] = n.b;
        out[2] = n.c;
        return 3;
    default:
        out[0] = n.a;
        out[1] = n.b;
        return 2;
    }
}

class Generator {
  public:
    Generator(const Trace& trace, const DrawSpecialisation& draw, bool avx, Pool& pool,
              CodeGenerator& g, int spillSlots)
        : t_(trace), draw_(draw), avx_(avx), pool_(pool), g_(g), lanes_(avx ? 8 : 4),
          frameSpills_(spillSlots) {}

    // Returns the spill slots used.
    int run() {
        plan();
        prologue();
        for (size_t i = 0; i < t_.nodes.size(); ++i) {
            try {
                node(static_cast<uint32_t>(i));
            } catch (const std::exception& e) {
                throw std::runtime_error("operation " + std::to_string(int(t_.nodes[i].op)) + ": " +
                                         e.what());
            }
        }
        stores();
        g_.xor_(g_.eax, g_.eax);
        g_.L(done_);
        epilogue();
        g_.L(bail_);
        g_.mov(g_.eax, 1);
        g_.jmp(done_);
        return spills_;
    }

  private:
    // ---- registers ----------------------------------------------------------------------------

    Xmm V(int r) const { return avx_ ? Xmm(Ymm(r)) : Xmm(r); }
    Xmm S(int k) const { return V(kAllocatable + k); }

    Address constAt(int entry) const { return g_.ptr[g_.rbx + 32 * entry]; }
    Address constOf(uint32_t bits) { return constAt(pool_.replicated(bits)); }
    Address spillAt(int slot) const {
        return g_.ptr[g_.rsp + static_cast<int>(indexBytes_ + 32 * static_cast<size_t>(slot))];
    }
    Address indexAt(uint32_t v) const { return g_.qword[g_.rsp + 8 * indexSlot_[v]]; }

    void plan() {
        const size_t n = t_.nodes.size();
        uses_.assign(n + 1, {});
        reg_.assign(n, -1);
        slot_.assign(n, -1);
        usePtr_.assign(n, 0);
        indexSlot_.assign(n, -1);
        int indexSlots = 0;
        for (uint32_t i = 0; i < n; ++i) {
            const Node& node = t_.nodes[i];
            if (node.op == Op::XIndex || node.op == Op::YIndex) indexSlot_[i] = indexSlots++;
            uint32_t ops[3];
            const unsigned k = operands(node, ops);
            for (unsigned j = 0; j < k; ++j) {
                if (t_.nodes[ops[j]].op == Op::Const) continue;
                auto& u = uses_[ops[j]];
                if (u.empty() || u.back() != i) u.push_back(i);
            }
        }
        for (uint32_t v : t_.outputs)
            if (t_.nodes[v].op != Op::Const) {
                auto& u = uses_[v];
                if (u.empty() || u.back() != n) u.push_back(static_cast<uint32_t>(n));
            }
        indexBytes_ = (static_cast<size_t>(indexSlots) * 8 + 31) & ~size_t{31};
        owner_.fill(-1);
    }

    uint32_t nextUse(uint32_t v, uint32_t now) {
        auto& u = uses_[v];
        size_t& p = usePtr_[v];
        while (p < u.size() && u[p] <= now) ++p;
        return p < u.size() ? u[p] : 0xFFFFFFFFu;
    }

    int allocate(uint32_t now, unsigned pinned, int prefer = -1) {
        if (prefer >= 0 && owner_[prefer] < 0 && !((pinned >> prefer) & 1)) return prefer;
        for (int r = 0; r < kAllocatable; ++r)
            if (owner_[r] < 0 && !((pinned >> r) & 1)) return r;
        // Belady's choice, with inputs (reloaded from their lane arrays, nothing to store)
        // counted as further away than they are.
        int victim = -1;
        uint64_t furthest = 0;
        for (int r = 0; r < kAllocatable; ++r) {
            if ((pinned >> r) & 1) continue;
            const auto v = static_cast<uint32_t>(owner_[r]);
            uint64_t next = nextUse(v, now);
            if (t_.nodes[v].op == Op::Input) next += 64;
            if (victim < 0 || next > furthest) {
                victim = r;
                furthest = next;
            }
        }
        const auto v = static_cast<uint32_t>(owner_[victim]);
        if (slot_[v] < 0 && t_.nodes[v].op != Op::Input) {
            slot_[v] = spills_++;
            if (spills_ > frameSpills_) overflow_ = true;
            if (!overflow_) move(spillAt(slot_[v]), V(victim));
        }
        reg_[v] = -1;
        owner_[victim] = -1;
        return victim;
    }

    // ---- instruction helpers ------------------------------------------------------------------

    void move(const Xmm& d, const Operand& s) {
        if (!s.isMEM() && s.getIdx() == d.getIdx()) return;
        if (avx_)
            g_.vmovaps(d, s);
        else
            g_.movaps(d, s);
    }
    void move(const Address& d, const Xmm& s) {
        if (avx_)
            g_.vmovaps(d, s);
        else
            g_.movaps(d, s);
    }

    // Register or pool operand of value v.
    Operand::Kind kindOf(uint32_t v) const {
        return t_.nodes[v].op == Op::Const ? Operand::MEM : Operand::XMM;
    }
    bool isConst(uint32_t v) const { return t_.nodes[v].op == Op::Const; }
    Address constOperand(uint32_t v) { return constOf(bitsOf(t_.nodes[v].k)); }

    // Calls f with v as an operand: its register, or its pool entry (never sliced to Operand).
    template <class F> void with(uint32_t v, F&& f) {
        if (const int r = fixedRegister(v); r >= 0) {
            const Xmm x = V(r);
            f(static_cast<const Operand&>(x));
        } else if (isConst(v)) {
            const Address m = constOperand(v);
            f(static_cast<const Operand&>(m));
        } else {
            const Xmm x = V(reg_[v]);
            f(static_cast<const Operand&>(x));
        }
    }

    // v in a register: its own, or `scratch` loaded from the pool.
    // The register that always holds constant v (0 or 1), or -1.
    int fixedRegister(uint32_t v) const {
        if (!isConst(v)) return -1;
        const uint32_t bits = bitsOf(t_.nodes[v].k);
        return bits == 0 ? kZero : bits == kOneBits ? kOne : -1;
    }

    Xmm inReg(uint32_t v, int scratch) {
        if (!isConst(v)) return V(reg_[v]);
        if (const int r = fixedRegister(v); r >= 0) return V(r);
        move(S(scratch), constOperand(v));
        return S(scratch);
    }

    void avxBinary(Op op, const Xmm& d, const Xmm& a, const Operand& b) {
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
        default: // Min
            g_.vminps(d, a, b);
            break;
        }
    }
    void sseBinary(Op op, const Xmm& d, const Operand& b) {
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
    }

    void binary(const Node& n, int d) {
        const bool commutative = n.op == Op::Add || n.op == Op::Mul;
        uint32_t a = n.a, b = n.b;
        if (commutative && isConst(a) && !isConst(b)) std::swap(a, b);
        if (avx_) {
            const Xmm A = inReg(a, 0);
            with(b, [&](const Operand& B) { avxBinary(n.op, V(d), A, B); });
            return;
        }
        const bool bInD = !isConst(b) && reg_[b] == d;
        const bool aInD = !isConst(a) && reg_[a] == d;
        if (bInD && !aInD) {
            if (commutative) {
                with(a, [&](const Operand& A) { sseBinary(n.op, V(d), A); });
                return;
            }
            with(a, [&](const Operand& A) { move(S(0), A); });
            sseBinary(n.op, S(0), V(reg_[b]));
            move(V(d), S(0));
            return;
        }
        with(a, [&](const Operand& A) { move(V(d), A); });
        with(b, [&](const Operand& B) { sseBinary(n.op, V(d), B); });
    }

    // d = mask ? x : y, with the mask in scratch 0 (SSE2: clobbered).
    void blend(const Xmm& d, uint32_t x, uint32_t y) {
        if (avx_) {
            const Xmm Y = inReg(y, 2);
            with(x, [&](const Operand& X) { g_.vblendvps(d, Y, X, S(0)); });
            return;
        }
        move(S(1), S(0));
        with(x, [&](const Operand& X) { g_.andps(S(1), X); });
        with(y, [&](const Operand& Y) { g_.andnps(S(0), Y); });
        g_.orps(S(0), S(1));
        move(d, S(0));
    }

    void maxGe(const Node& n, int d) {
        // a >= b ? a : b
        if (avx_) {
            const Xmm A = inReg(n.a, 1);
            with(n.b, [&](const Operand& B) { g_.vcmpps(S(0), A, B, 0x1D); }); // GE, ordered
        } else {
            with(n.b, [&](const Operand& B) { move(S(0), B); });
            with(n.a, [&](const Operand& A) { g_.cmpleps(S(0), A); }); // b <= a
        }
        blend(V(d), n.a, n.b);
    }

    void select(const Node& n, int d) {
        const Xmm A = V(reg_[n.a]); // a constant condition was folded
        if (avx_) {
            g_.vcmpps(S(0), A, V(kZero), n.op == Op::Sel ? 0x1D : 0x12); // GE / LE, ordered
        } else if (n.op == Op::Sel) {
            move(S(0), V(kZero));
            g_.cmpleps(S(0), A); // 0 <= a
        } else {
            move(S(0), A);
            g_.cmpleps(S(0), V(kZero)); // a <= 0
        }
        blend(V(d), n.b, n.c);
    }

    void saturate(const Node& n, int d) {
        const Xmm A = V(reg_[n.a]);
        if (avx_) {
            g_.vmaxps(S(0), V(kZero), A);   // 0 > a ? 0 : a  (keeps -0, passes NaN)
            g_.vminps(S(0), V(kOne), S(0)); // 1 < t ? 1 : t
            g_.vcmpps(S(1), A, A, 7);       // ordered: not NaN
            g_.vandps(V(d), S(0), S(1));
            return;
        }
        move(S(0), V(kZero));
        g_.maxps(S(0), A);
        move(S(1), V(kOne));
        g_.minps(S(1), S(0));
        move(S(0), A);
        g_.cmpordps(S(0), A);
        g_.andps(S(0), S(1));
        move(V(d), S(0));
    }

    void fraction(const Node& n, int d) {
        const Xmm A = V(reg_[n.a]);
        if (avx_) {
            g_.vroundps(S(0), A, 1); // floor
            g_.vsubps(V(d), A, S(0));
            return;
        }
        // floor without SSE4.1: truncate, step down where that rounded up, keep the sign of -0;
        // from 2^23 on (and for infinities and NaN) a float is its own floor.
        move(S(0), A);
        g_.andps(S(0), constOf(kAbsBits));
        g_.cmpltps(S(0), constOf(kTwo23Bits));
        g_.cvttps2dq(S(1), A);
        g_.cvtdq2ps(S(1), S(1));
        move(S(2), A);
        g_.cmpltps(S(2), S(1));
        g_.andps(S(2), constOf(kOneBits));
        g_.subps(S(1), S(2));
        move(S(2), A);
        g_.andps(S(2), constOf(kSignBits));
        g_.orps(S(1), S(2));
        g_.andps(S(1), S(0));
        g_.andnps(S(0), A);
        g_.orps(S(0), S(1));
        move(S(1), A);
        g_.subps(S(1), S(0));
        move(V(d), S(1));
    }

    void simple(const Node& n, int d) {
        const Xmm A = V(reg_[n.a]);
        switch (n.op) {
        case Op::Sqrt:
            if (avx_)
                g_.vsqrtps(V(d), A);
            else
                g_.sqrtps(V(d), A);
            break;
        case Op::Neg:
            if (avx_) {
                g_.vxorps(V(d), A, constOf(kSignBits));
            } else {
                move(V(d), A);
                g_.xorps(V(d), constOf(kSignBits));
            }
            break;
        default: // Abs
            if (avx_) {
                g_.vandps(V(d), A, constOf(kAbsBits));
            } else {
                move(V(d), A);
                g_.andps(V(d), constOf(kAbsBits));
            }
            break;
        }
    }

    // Floor of value * size as lane indices in scratch 0 (int32; NaN and overflow give INT_MIN).
    void laneIndices(uint32_t v, float size) {
        if (avx_) {
            const Xmm A = inReg(v, 0); // a constant coordinate (the other one varies) too
            g_.vmulps(S(0), A, constOf(bitsOf(size)));
            g_.vroundps(S(0), S(0), 1);
            g_.vcvttps2dq(S(0), S(0));
            return;
        }
        with(v, [&](const Operand& A) { move(S(0), A); });
        g_.mulps(S(0), constOf(bitsOf(size)));
        g_.cvttps2dq(S(1), S(0));
        g_.cvtdq2ps(S(2), S(1));
        g_.cmpltps(S(0), S(2)); // x < trunc(x): one less
        g_.paddd(S(1), S(0));
        move(S(0), S(1));
    }

    // Scratch 1 = lane 0 of scratch 0 in every lane; eax = lane 0.
    void broadcastLane0() {
        if (avx_) {
            g_.vmovd(g_.eax, Xmm(S(0).getIdx()));
            g_.vpbroadcastd(S(1), Xmm(S(0).getIdx()));
        } else {
            g_.movd(g_.eax, S(0));
            g_.pshufd(S(1), S(0), 0);
        }
    }

    void laneMaskAllOrBail() {
        if (avx_) {
            g_.vpcmpeqd(S(1), S(1), S(0));
            g_.vmovmskps(g_.ecx, S(1));
        } else {
            g_.pcmpeqd(S(1), S(0));
            g_.movmskps(g_.ecx, S(1));
        }
        g_.cmp(g_.ecx, (1 << lanes_) - 1);
        g_.jne(bail_, CodeGenerator::T_NEAR);
    }

    void xIndex(uint32_t i) {
        const Node& n = t_.nodes[i];
        const StageLayout& s = draw_.stages[n.stage];
        laneIndices(n.a, static_cast<float>(s.width));
        broadcastLane0();
        if (avx_)
            g_.vpaddd(S(1), S(1), constAt(pool_.iota()));
        else
            g_.paddd(S(1), constAt(pool_.iota()));
        laneMaskAllOrBail();
        // -pad <= x0 and x0 + lanes - 1 < width + pad
        g_.lea(g_.ecx, g_.ptr[g_.rax + s.pad]);
        g_.cmp(g_.ecx, s.width + 2 * s.pad - lanes_);
        g_.ja(bail_, CodeGenerator::T_NEAR);
        g_.movsxd(g_.rax, g_.eax);
        g_.shl(g_.rax, 2);
        g_.mov(indexAt(i), g_.rax);
    }

    void yIndex(uint32_t i) {
        const Node& n = t_.nodes[i];
        const StageLayout& s = draw_.stages[n.stage];
        laneIndices(n.a, static_cast<float>(s.height));
        broadcastLane0();
        laneMaskAllOrBail();
        g_.lea(g_.ecx, g_.ptr[g_.rax + s.pad]);
        g_.cmp(g_.ecx, s.height + 2 * s.pad - 1);
        g_.ja(bail_, CodeGenerator::T_NEAR);
        g_.movsxd(g_.rax, g_.eax);
        g_.imul(g_.rax, g_.rax, static_cast<int>(s.rowFloats * 4));
        g_.mov(indexAt(i), g_.rax);
    }

    // The channels of one read come one after the other: rax keeps their address.
    void load(const Node& n, int d) {
        const StageLayout& s = draw_.stages[n.stage];
        const uint64_t key = uint64_t{n.stage} << 56 | uint64_t{n.a} << 28 | n.b;
        if (!raxHolds_ || raxKey_ != key) {
            g_.mov(g_.rax, g_.qword[g_.r12 + 8 * n.stage]);
            g_.add(g_.rax, indexAt(n.a));
            g_.add(g_.rax, indexAt(n.b));
            raxHolds_ = true;
            raxKey_ = key;
        }
        const auto disp = static_cast<int>(s.planeFloats * 4 * n.channel);
        if (avx_)
            g_.vmovups(V(d), g_.ptr[g_.rax + disp]);
        else
            g_.movups(V(d), g_.ptr[g_.rax + disp]);
    }

    void loadFixed(const Node& n, int d) {
        const StageLayout& s = draw_.stages[n.stage];
        g_.mov(g_.rax, g_.qword[g_.r12 + 8 * n.stage]);
        g_.mov(g_.rcx, (n.fixedTexel + s.planeFloats * n.channel) * 4);
        if (avx_) {
            g_.vbroadcastss(V(d), g_.dword[g_.rax + g_.rcx]);
        } else {
            g_.movss(V(d), g_.dword[g_.rax + g_.rcx]);
            g_.shufps(V(d), V(d), 0);
        }
    }

    void input(const Node& n, int d) {
        g_.mov(g_.rax, g_.qword[g_.r13 + 8 * static_cast<int>(n.a)]);
        if (avx_)
            g_.vmovups(V(d), g_.ptr[g_.rax + g_.r15]);
        else
            g_.movups(V(d), g_.ptr[g_.rax + g_.r15]);
    }

    void node(uint32_t i) {
        const Node& n = t_.nodes[i];
        if (n.op == Op::Const) return;
        if (n.op != Op::Load) raxHolds_ = false; // every other sequence may use rax
        uint32_t ops[3];
        const unsigned k = operands(n, ops);
        unsigned pinned = 0;
        for (unsigned j = 0; j < k; ++j) {
            const uint32_t v = ops[j];
            if (isConst(v)) continue;
            if (reg_[v] < 0) {
                const int r = allocate(i, pinned);
                if (t_.nodes[v].op == Op::Input)
                    input(t_.nodes[v], r);
                else
                    move(V(r), spillAt(slot_[v]));
                reg_[v] = r;
                owner_[r] = static_cast<int>(v);
            }
            pinned |= 1u << reg_[v];
        }
        if (n.op == Op::XIndex || n.op == Op::YIndex) {
            if (n.op == Op::XIndex)
                xIndex(i);
            else
                yIndex(i);
            release(ops, k, i);
            return;
        }
        // Operands used for the last time give their registers up before the result is placed;
        // every sequence below reads its operands before it writes the result.
        int prefer = -1;
        for (unsigned j = 0; j < k; ++j) {
            const uint32_t v = ops[j];
            if (isConst(v) || nextUse(v, i) != 0xFFFFFFFFu) continue;
            if (j == 0) prefer = reg_[v];
            pinned &= ~(1u << reg_[v]);
            owner_[reg_[v]] = -1;
        }
        const int d = allocate(i, pinned, prefer);
        switch (n.op) {
        case Op::Input:
            input(n, d);
            break;
        case Op::Load:
            load(n, d);
            break;
        case Op::LoadFixed:
            loadFixed(n, d);
            break;
        case Op::Add:
        case Op::Sub:
        case Op::Mul:
        case Op::Div:
        case Op::Min:
            binary(n, d);
            break;
        case Op::MaxGe:
            maxGe(n, d);
            break;
        case Op::Sel:
        case Op::SelLe0:
            select(n, d);
            break;
        case Op::Sat:
            saturate(n, d);
            break;
        case Op::Frc:
            fraction(n, d);
            break;
        default:
            simple(n, d);
            break;
        }
        for (unsigned j = 0; j < k; ++j) {
            const uint32_t v = ops[j];
            if (!isConst(v) && reg_[v] >= 0 && owner_[reg_[v]] != static_cast<int>(v)) reg_[v] = -1;
        }
        reg_[i] = d;
        owner_[d] = static_cast<int>(i);
    }

    void release(const uint32_t* ops, unsigned k, uint32_t now) {
        for (unsigned j = 0; j < k; ++j) {
            const uint32_t v = ops[j];
            if (isConst(v) || reg_[v] < 0 || nextUse(v, now) != 0xFFFFFFFFu) continue;
            owner_[reg_[v]] = -1;
            reg_[v] = -1;
        }
    }

    void stores() {
        raxHolds_ = false;
        for (int c = 0; c < 4; ++c) {
            const uint32_t v = t_.outputs[c];
            Xmm x = S(0);
            if (isConst(v)) {
                move(S(0), constOperand(v));
            } else if (reg_[v] >= 0) {
                x = V(reg_[v]);
            } else if (t_.nodes[v].op == Op::Input) {
                input(t_.nodes[v], kAllocatable);
            } else {
                move(S(0), spillAt(slot_[v]));
            }
            g_.mov(g_.rax, g_.qword[g_.r14 + 8 * c]);
            if (avx_)
                g_.vmovups(g_.ptr[g_.rax + g_.r15], x);
            else
                g_.movups(g_.ptr[g_.rax + g_.r15], x);
        }
    }

    void prologue() {
        g_.push(g_.rbp);
        g_.mov(g_.rbp, g_.rsp);
        g_.push(g_.rbx);
        g_.push(g_.r12);
        g_.push(g_.r13);
        g_.push(g_.r14);
        g_.push(g_.r15);
        g_.and_(g_.rsp, -32);
        const size_t frame = indexBytes_ + 32 * static_cast<size_t>(frameSpills_);
        if (frame) g_.sub(g_.rsp, static_cast<uint32_t>(frame));
        g_.mov(g_.rbx, reinterpret_cast<size_t>(poolAddress_));
        g_.mov(g_.r13, g_.qword[g_.rdi + offsetof(KernelArgs, inputs)]);
        g_.mov(g_.r14, g_.qword[g_.rdi + offsetof(KernelArgs, outputs)]);
        g_.mov(g_.r12, g_.qword[g_.rdi + offsetof(KernelArgs, stageBases)]);
        g_.mov(g_.r15, g_.qword[g_.rdi + offsetof(KernelArgs, lane)]);
        g_.shl(g_.r15, 2);
        if (avx_) {
            g_.vxorps(V(kZero), V(kZero), V(kZero));
            g_.vmovaps(V(kOne), constOf(kOneBits));
        } else {
            g_.xorps(V(kZero), V(kZero));
            g_.movaps(V(kOne), constOf(kOneBits));
        }
    }

    void epilogue() {
        g_.lea(g_.rsp, g_.ptr[g_.rbp - 40]);
        g_.pop(g_.r15);
        g_.pop(g_.r14);
        g_.pop(g_.r13);
        g_.pop(g_.r12);
        g_.pop(g_.rbx);
        g_.pop(g_.rbp);
        if (avx_) g_.vzeroupper();
        g_.ret();
    }

  public:
    const void* poolAddress_ = nullptr;
    bool overflow_ = false;

  private:
    const Trace& t_;
    const DrawSpecialisation& draw_;
    bool avx_;
    Pool& pool_;
    CodeGenerator& g_;
    int lanes_;
    int frameSpills_;
    int spills_ = 0;
    size_t indexBytes_ = 0;
    Label done_, bail_;
    bool raxHolds_ = false;
    uint64_t raxKey_ = 0;
    std::vector<std::vector<uint32_t>> uses_;
    std::vector<size_t> usePtr_;
    std::vector<int> reg_, slot_, indexSlot_;
    std::array<int, kAllocatable> owner_{};
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
    // First pass: how many spill slots; second: the code with its frame.
    Pool pool;
    int spills = 0;
    {
        CodeGenerator scratch(4096, AutoGrow);
        Generator gen(trace, draw, avx, pool, scratch, 1 << 20);
        spills = gen.run();
    }
    // The first pass met every constant, so the pool is complete before the code points at it.
    auto program = std::make_shared<X86Program>(engine, trace);
    program->pool = pool.materialise();
    const size_t entries = pool.size();
    program->code = std::make_unique<CodeGenerator>(4096, AutoGrow);
    Generator gen(trace, draw, avx, pool, *program->code, spills);
    gen.poolAddress_ = program->pool.get();
    gen.run();
    if (pool.size() != entries) {
        result.reason = "constant pool changed between passes";
        return result;
    }
    program->code->readyRE();
    if (const char* dump = std::getenv("KESTRIN_JIT_DUMP")) {
        if (FILE* f = std::fopen(dump, "wb")) {
            std::fwrite(program->code->getCode(), 1, program->code->getSize(), f);
            std::fclose(f);
        }
    }
    program->fn_ = program->code->getCode<int (*)(const KernelArgs*)>();
    result.program = std::move(program);
    return result;
}

} // namespace kestrin::shader::fast
