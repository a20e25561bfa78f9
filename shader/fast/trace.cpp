#include "shader/fast/trace.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <unordered_map>

#include "shader/texture_address.h"

namespace kestrin::shader::fast {

float foldSat(float v) {
    return std::isnan(v) ? 0.0f : std::min(std::max(v, 0.0f), 1.0f);
}

float foldFrc(float v) {
    return v - std::floor(v);
}

namespace {

constexpr size_t kMaxNodes = 1u << 18;  // values in one trace
constexpr size_t kMaxSteps = 1u << 22;  // instructions executed while unrolling
constexpr unsigned kMaxLoopNesting = 8; // as the interpreter

struct NodeKey {
    Op op;
    uint8_t stage, channel;
    uint32_t a, b, c;
    uint32_t kBits;
    int64_t fixed;
    bool operator==(const NodeKey&) const = default;
};

struct NodeKeyHash {
    size_t operator()(const NodeKey& k) const {
        uint64_t h =
            static_cast<uint64_t>(k.op) | uint64_t{k.stage} << 8 | uint64_t{k.channel} << 16;
        auto mix = [&](uint64_t v) { h = (h ^ v) * 0x9E3779B97F4A7C15ull; };
        mix(k.a);
        mix(k.b);
        mix(k.c);
        mix(k.kBits);
        mix(static_cast<uint64_t>(k.fixed));
        return static_cast<size_t>(h ^ (h >> 29));
    }
};

// floor(x) as a texel index, as the device's sampler computes it: NaN reads texel 0 and far-out
// values stop at +-2^30.
int64_t indexOf(float x) {
    constexpr float kLimit = 1073741824.0f;
    if (!(x == x)) return 0;
    return static_cast<int64_t>(std::floor(std::clamp(x, -kLimit, kLimit)));
}

// What a value can be, as far as the compiler can tell: within [lo, hi] (bounds in double;
// rounding to single precision never crosses zero), possibly NaN, possibly -0; nonzero values
// at least `tiny` in magnitude (0: no such bound); on the grid float(k) / float(grid) (0: not
// known to be).
struct Range {
    double lo = -std::numeric_limits<double>::infinity();
    double hi = std::numeric_limits<double>::infinity();
    bool nan = true;
    bool negZero = true;
    double tiny = 0.0;
    int32_t grid = 0;

    bool canBeZero() const { return lo <= 0.0 && hi >= 0.0; }
    bool canBeInfinite() const { return std::isinf(lo) || std::isinf(hi); }
    // Never NaN, never negative, never -0: min(max(x, 0), 1) is min(x, 1).
    bool plainNonNegative() const { return !nan && !negZero && lo >= 0.0; }
    // Always +0 or -0.
    bool zero() const { return !nan && lo == 0.0 && hi == 0.0; }
    bool finiteNumber() const { return !nan && !canBeInfinite(); }
    double magnitude() const { return std::max(std::fabs(lo), std::fabs(hi)); }
};

constexpr double kFloatMax = 3.4028234663852886e38;
constexpr double kShrink = 1.0 - 0x1p-22; // more than one rounding's relative error
constexpr double kSmallestNormal = 0x1p-126;

Range finite(double lo, double hi, bool nan, bool negZero, double tiny = 0.0) {
    Range r;
    r.lo = lo < -kFloatMax ? -std::numeric_limits<double>::infinity() : lo;
    r.hi = hi > kFloatMax ? std::numeric_limits<double>::infinity() : hi;
    r.nan = nan;
    r.negZero = negZero;
    r.tiny = tiny;
    return r;
}

// A bound on the smallest nonzero magnitude of a rounded result whose exact value, when
// nonzero, is at least `exact`: rounding may halve nothing below the normal range.
double roundedTiny(double exact) {
    return exact >= 2.0 * kSmallestNormal ? exact * kShrink : 0.0;
}

// x - y for x and y on the same grid (|values| <= 1 each): unequal values are at least 1 / grid
// apart before each was rounded (by at most 2^-25 each), so a nonzero difference is at least
// 1 / grid - 2^-24 before its own rounding.
double gridDifferenceTiny(const Range& a, const Range& b) {
    if (a.grid <= 0 || a.grid != b.grid || a.magnitude() > 1.0 || b.magnitude() > 1.0) return 0.0;
    return roundedTiny(1.0 / a.grid - 0x1p-24);
}

Range sum(const Range& a, const Range& b) {
    const bool opposite = (a.hi == std::numeric_limits<double>::infinity() &&
                           b.lo == -std::numeric_limits<double>::infinity()) ||
                          (a.lo == -std::numeric_limits<double>::infinity() &&
                           b.hi == std::numeric_limits<double>::infinity());
    Range r = finite(a.lo + b.lo, a.hi + b.hi, a.nan || b.nan || opposite, a.negZero && b.negZero);
    // Same signs: a nonzero sum is at least its larger part.
    if ((a.lo >= 0.0 && b.lo >= 0.0) || (a.hi <= 0.0 && b.hi <= 0.0))
        r.tiny = std::min(a.tiny, b.tiny) * kShrink;
    else
        r.tiny = gridDifferenceTiny(a, b);
    return r;
}

Range negated(const Range& a) {
    Range r = finite(-a.hi, -a.lo, a.nan, a.canBeZero(), a.tiny);
    r.grid = a.grid;
    return r;
}

Range product(const Range& a, const Range& b, bool square) {
    auto mul = [](double x, double y) { return x == 0.0 || y == 0.0 ? 0.0 : x * y; };
    const double p[4] = {mul(a.lo, b.lo), mul(a.lo, b.hi), mul(a.hi, b.lo), mul(a.hi, b.hi)};
    double lo = std::min({p[0], p[1], p[2], p[3]}), hi = std::max({p[0], p[1], p[2], p[3]});
    const bool zeroTimesInfinity =
        (a.canBeZero() && b.canBeInfinite()) || (b.canBeZero() && a.canBeInfinite());
    bool negZero =
        (a.lo < 0.0 || a.negZero || b.lo < 0.0 || b.negZero) && (a.canBeZero() || b.canBeZero());
    if (square) {
        lo = std::max(lo, 0.0);
        negZero = false;
    }
    // Underflow below the normal range could also give -0 from a negative product.
    if (lo < 0.0 && roundedTiny(a.tiny * b.tiny) == 0.0) negZero = true;
    return finite(lo, hi, a.nan || b.nan || zeroTimesInfinity, negZero,
                  roundedTiny(a.tiny * b.tiny));
}

// a / b for a divisor that is never negative, -0 or NaN (a zero divisor gives infinities).
Range quotient(const Range& a, const Range& b) {
    if (b.nan || b.negZero || b.lo < 0.0) return Range{};
    const double inf = std::numeric_limits<double>::infinity();
    auto div = [&](double x, double y) {
        if (y == 0.0) return x == 0.0 ? 0.0 : (x > 0.0 ? inf : -inf);
        return std::isinf(y) ? 0.0 : x / y;
    };
    const double q[4] = {div(a.lo, b.lo), div(a.lo, b.hi), div(a.hi, b.lo), div(a.hi, b.hi)};
    const bool nan =
        a.nan || (a.canBeZero() && b.canBeZero()) || (a.canBeInfinite() && b.canBeInfinite());
    Range r = finite(std::min({q[0], q[1], q[2], q[3]}), std::max({q[0], q[1], q[2], q[3]}), nan,
                     a.negZero || a.lo < 0.0);
    if (b.canBeZero() && !a.canBeZero()) { // x / 0 is an infinity of x's sign
        if (a.lo > 0.0) r.hi = inf;
        if (a.hi < 0.0) r.lo = -inf;
    }
    r.tiny = std::isinf(b.hi) ? 0.0 : roundedTiny(a.tiny / b.hi);
    return r;
}

Range squareRoot(const Range& a) {
    if (a.hi < 0.0) return finite(0.0, 0.0, true, false); // NaN only
    return finite(std::sqrt(std::max(a.lo, 0.0)), std::sqrt(a.hi), a.nan || a.lo < 0.0, a.negZero,
                  roundedTiny(std::sqrt(a.tiny)));
}

Range either(const Range& a, const Range& b) {
    Range r = finite(std::min(a.lo, b.lo), std::max(a.hi, b.hi), a.nan || b.nan,
                     a.negZero || b.negZero, std::min(a.tiny, b.tiny));
    r.grid = a.grid == b.grid ? a.grid : 0;
    return r;
}

// The range of x when it is known to be > 0 (or NaN, when it can be): nonzero values are at
// least its tiny bound.
Range assumedPositive(const Range& x) {
    Range r = x;
    r.lo = std::max(x.lo, x.tiny);
    r.negZero = false;
    return r;
}
// ... and when it is <= 0.
Range assumedNotPositive(const Range& x) {
    Range r = x;
    r.hi = std::min(x.hi, 0.0);
    r.nan = false;
    return r;
}
// ... >= 0 (-0 included), and < 0 or NaN.
Range assumedNotNegative(const Range& x) {
    Range r = x;
    r.lo = std::max(x.lo, 0.0);
    r.nan = false;
    return r;
}
Range assumedNegative(const Range& x) {
    Range r = x;
    r.hi = std::min(x.hi, -x.tiny);
    r.negZero = false;
    return r;
}
bool empty(const Range& r) {
    return !r.nan && r.lo > r.hi;
}

class Builder {
  public:
    Builder(const Program& code, const DrawSpecialisation& draw) : code_(code), draw_(draw) {}

    TraceResult run() {
        TraceResult result;
        std::string& error = result.error;
        collectDefinitions();
        if (!linkBreaks(error)) return result;
        const uint32_t zero = constant(0.0f);
        for (auto& t : temps_) t.fill(zero);
        colour_.fill(zero);
        if (!execute(error)) return result;
        finish(result.trace);
        return result;
    }

  private:
    // ---- values -------------------------------------------------------------------------------

    uint32_t add(const Node& n) {
        uint32_t kBits = 0;
        std::memcpy(&kBits, &n.k, 4);
        const NodeKey key{n.op, n.stage, n.channel, n.a, n.b, n.c, kBits, n.fixedTexel};
        auto [it, inserted] = index_.try_emplace(key, static_cast<uint32_t>(nodes_.size()));
        if (inserted) {
            nodes_.push_back(n);
            ranges_.push_back(rangeOf(n));
        }
        return it->second;
    }
    uint32_t constant(float k) {
        Node n;
        n.op = Op::Const;
        n.k = k;
        return add(n);
    }
    Range rangeOf(const Node& n) const {
        return rangeWith(
            n, [&](uint32_t v) { return ranges_[v]; }, true);
    }

    // The range of node n from its operands' ranges R(v). A select's branches are ranged under
    // its condition (`conditional`): the branch a cmp discards can be NaN where the kept one is
    // not, as rsq(0) * 0 is where a weight of exactly 1 is chosen instead.
    template <class R> Range rangeWith(const Node& n, R&& rangeOfValue, bool conditional) const {
        switch (n.op) {
        case Op::Const: {
            if (std::isnan(n.k)) return Range{};
            const double k = n.k;
            return finite(k, k, false, n.k == 0.0f && std::signbit(n.k),
                          k == 0.0 ? std::numeric_limits<double>::infinity() : std::fabs(k));
        }
        case Op::Load:
        case Op::LoadFixed: {
            const StageLayout& s = draw_.stages[n.stage];
            Range r = finite(s.lowest, s.highest, s.exotic, s.exotic);
            if (s.grid > 0 && !s.exotic) {
                r.grid = s.grid;
                r.tiny = roundedTiny(1.0 / s.grid);
            }
            return r;
        }
        case Op::Add: {
            const Range a = rangeOfValue(n.a);
            if (n.a == n.b) { // x + x = 2x exactly
                Range r = sum(a, a);
                r.tiny = a.tiny * 2.0;
                return r;
            }
            return sum(a, rangeOfValue(n.b));
        }
        case Op::Sub: {
            if (n.a == n.b) { // x - x: +0, or NaN for infinities and NaN
                const Range a = rangeOfValue(n.a);
                return finite(0.0, 0.0, a.nan || a.canBeInfinite(), false,
                              std::numeric_limits<double>::infinity());
            }
            return sum(rangeOfValue(n.a), negated(rangeOfValue(n.b)));
        }
        case Op::Mul:
            return product(rangeOfValue(n.a), rangeOfValue(n.b), n.a == n.b);
        case Op::Div:
            return quotient(rangeOfValue(n.a), rangeOfValue(n.b));
        case Op::Sqrt:
            return squareRoot(rangeOfValue(n.a));
        case Op::Neg:
            return negated(rangeOfValue(n.a));
        case Op::Abs: {
            const Range a = rangeOfValue(n.a);
            const double lo = a.lo >= 0.0 ? a.lo : a.hi <= 0.0 ? -a.hi : 0.0;
            Range r = finite(lo, std::max(std::fabs(a.lo), std::fabs(a.hi)), a.nan, false, a.tiny);
            return r;
        }
        case Op::Min:
        case Op::MaxGe:
            return either(rangeOfValue(n.a), rangeOfValue(n.b));
        case Op::Sel:
        case Op::SelLe0: {
            if (!conditional) return either(rangeOfValue(n.b), rangeOfValue(n.c));
            const Range a = rangeOfValue(n.a);
            const bool le = n.op == Op::SelLe0;
            const Range whenB = le ? assumedNotPositive(a) : assumedNotNegative(a);
            const Range whenC = le ? assumedPositive(a) : assumedNegative(a);
            const bool bPossible = !empty(whenB), cPossible = !empty(whenC);
            if (!cPossible) return rangeUnder(n.b, n.a, whenB);
            if (!bPossible) return rangeUnder(n.c, n.a, whenC);
            return either(rangeUnder(n.b, n.a, whenB), rangeUnder(n.c, n.a, whenC));
        }
        case Op::Sat: {
            const Range a = rangeOfValue(n.a);
            return finite(0.0, 1.0, false, a.negZero, std::min(a.tiny, 1.0));
        }
        default:
            return Range{};
        }
    }

    // The range of v when `cond` is known to lie in `assumed`: v's cone above cond ranged again
    // (nodes created before cond cannot depend on it), within a budget of nodes.
    Range rangeUnder(uint32_t v, uint32_t cond, const Range& assumed) const {
        std::unordered_map<uint32_t, Range> memo;
        int budget = 256;
        std::function<Range(uint32_t)> r = [&](uint32_t x) -> Range {
            if (x == cond) return assumed;
            if (x < cond) return ranges_[x];
            if (auto it = memo.find(x); it != memo.end()) return it->second;
            if (--budget < 0) return ranges_[x]; // valid without the assumption
            const Range out = rangeWith(nodes_[x], r, false);
            memo.emplace(x, out);
            return out;
        };
        return r(v);
    }

    bool isConst(uint32_t v) const { return nodes_[v].op == Op::Const; }
    bool isOne(uint32_t v) const { return isConst(v) && nodes_[v].k == 1.0f; }
    float value(uint32_t v) const { return nodes_[v].k; }

    uint32_t op(Op o, uint32_t a, uint32_t b = 0, uint32_t c = 0) {
        const bool ca = isConst(a);
        switch (o) {
        case Op::Add:
            if (ca && isConst(b)) return constant(value(a) + value(b));
            // x + (+-0) is x unless x is -0 (a weight proven zero adds nothing)
            if (ranges_[a].zero() && !ranges_[b].negZero) return b;
            if (ranges_[b].zero() && !ranges_[a].negZero) return a;
            // x + -y is x - y (NaN aside, whose sign no consumer reads)
            if (nodes_[b].op == Op::Neg) return op(Op::Sub, a, nodes_[b].a);
            if (nodes_[a].op == Op::Neg) return op(Op::Sub, b, nodes_[a].a);
            break;
        case Op::Sub:
            if (ca && isConst(b)) return constant(value(a) - value(b));
            break;
        case Op::Mul:
            if (ca && isConst(b)) return constant(value(a) * value(b));
            // x * 1 is x (a NaN keeps being a NaN)
            if (isOne(a)) return b;
            if (isOne(b)) return a;
            break;
        case Op::Div:
            if (ca && isConst(b)) return constant(value(a) / value(b));
            break;
        case Op::Sqrt:
            if (ca) return constant(std::sqrt(value(a)));
            break;
        case Op::Neg:
            if (ca) return constant(-value(a));
            break;
        case Op::Abs:
            if (ca) return constant(std::fabs(value(a)));
            break;
        case Op::Min:
            if (ca && isConst(b)) return constant(value(a) < value(b) ? value(a) : value(b));
            break;
        case Op::MaxGe:
            if (ca && isConst(b)) return constant(value(a) >= value(b) ? value(a) : value(b));
            break;
        case Op::Sel:
            if (ca) return value(a) >= 0.0f ? b : c;
            if (nodes_[a].op == Op::Neg) return op(Op::SelLe0, nodes_[a].a, b, c);
            if (b == c) break; // the select still decides nothing, but keep it simple
            break;
        case Op::SelLe0:
            if (ca) return value(a) <= 0.0f ? b : c;
            break;
        case Op::Sat:
            if (ca) return constant(foldSat(value(a)));
            // never NaN, negative or -0: saturating is taking the smaller of it and 1
            if (ranges_[a].plainNonNegative()) return op(Op::Min, a, constant(1.0f));
            break;
        case Op::Frc:
            if (ca) return constant(foldFrc(value(a)));
            break;
        default:
            break;
        }
        Node n;
        n.op = o;
        n.a = a;
        n.b = b;
        n.c = c;
        // Proven to be +0 in every lane (0 * a finite weight, x - x of a finite x, ...).
        const Range r = rangeOf(n);
        if (r.zero() && !r.negZero) return constant(0.0f);
        return add(n);
    }

    // ---- program state ------------------------------------------------------------------------

    void collectDefinitions() {
        for (const Instruction& ins : code_.instructions) {
            const uint32_t r = ins.dst.index;
            if (ins.opcode == Opcode::Def && r < kFloatConstants) {
                floatDefined_[r] = true;
                for (int c = 0; c < 4; ++c) std::memcpy(&floatDefs_[r][c], &ins.immediate[c], 4);
            } else if (ins.opcode == Opcode::DefI && r < kIntConstants) {
                intDefined_[r] = true;
                for (int c = 0; c < 4; ++c) intDefs_[r][c] = static_cast<int32_t>(ins.immediate[c]);
            } else if (ins.opcode == Opcode::DefB && r < kBoolConstants) {
                boolDefined_[r] = true;
                boolDefs_[r] = ins.immediate[0];
            }
        }
    }

    // A break leaves its innermost rep or loop: the end instruction of that loop.
    bool linkBreaks(std::string& error) {
        breakTarget_.assign(code_.instructions.size(), kNoPartner);
        std::vector<uint32_t> loops;
        for (uint32_t i = 0; i < code_.instructions.size(); ++i) {
            const Opcode o = code_.instructions[i].opcode;
            if (o == Opcode::Rep || o == Opcode::Loop) loops.push_back(i);
            if ((o == Opcode::EndRep || o == Opcode::EndLoop) && !loops.empty()) loops.pop_back();
            if (o == Opcode::Break) {
                if (loops.empty()) {
                    error = "break outside a loop";
                    return false;
                }
                breakTarget_[i] = code_.instructions[loops.back()].partner;
            }
        }
        return true;
    }

    std::array<uint32_t, 4> source(const Instruction& ins, unsigned k) {
        const SrcParam& s = ins.src[k];
        std::array<uint32_t, 4> base{};
        for (unsigned c = 0; c < 4; ++c) base[c] = component(s.type, s.index, c);
        std::array<uint32_t, 4> out{};
        for (unsigned c = 0; c < 4; ++c) {
            uint32_t v = base[swizzleComponent(s.swizzle, c)];
            switch (s.modifier) {
            case SrcMod::Neg:
                v = op(Op::Neg, v);
                break;
            case SrcMod::Abs:
                v = op(Op::Abs, v);
                break;
            case SrcMod::NegAbs:
                v = op(Op::Neg, op(Op::Abs, v));
                break;
            default:
                break;
            }
            out[c] = v;
        }
        return out;
    }

    uint32_t component(RegType type, uint32_t index, unsigned c) {
        switch (type) {
        case RegType::Temp:
            return index < temps_.size() ? temps_[index][c] : constant(0.0f);
        case RegType::Input: {
            Node n;
            n.op = Op::Input;
            n.a = 4 * index + c;
            return add(n);
        }
        case RegType::Const: {
            const auto& v = floatDefined_[index] ? floatDefs_[index] : draw_.constants->f[index];
            return constant(v[c]);
        }
        default:
            return constant(0.0f);
        }
    }

    // Point sampling of stage `stage` at (u, v): the four channels.
    std::array<uint32_t, 4> sample(unsigned stage, uint32_t u, uint32_t v, std::string& error) {
        const StageLayout& s = draw_.stages[stage];
        if (!s.bound) return {constant(0.0f), constant(0.0f), constant(0.0f), constant(1.0f)};
        if (!s.point) {
            error = "stage " + std::to_string(stage) + " filters linearly";
            return {};
        }
        std::array<uint32_t, 4> out{};
        if (isConst(u) && isConst(v)) {
            const int64_t x =
                addressTexel(indexOf(value(u) * static_cast<float>(s.width)), s.width, s.addressU);
            const int64_t y = addressTexel(indexOf(value(v) * static_cast<float>(s.height)),
                                           s.height, s.addressV);
            for (unsigned c = 0; c < 4; ++c) {
                if (x < 0 || y < 0) {
                    out[c] = constant(s.border[c]);
                    continue;
                }
                Node n;
                n.op = Op::LoadFixed;
                n.stage = static_cast<uint8_t>(stage);
                n.channel = static_cast<uint8_t>(c);
                n.fixedTexel = y * s.rowFloats + x;
                out[c] = add(n);
            }
            return out;
        }
        // floor((c + 0) * size) is floor(c * size), -0 and NaN alike: reads at u and at
        // 0 * pitch + u are the same read.
        auto plain = [&](uint32_t c) {
            const Node& cn = nodes_[c];
            auto isZero = [&](uint32_t k) { return isConst(k) && value(k) == 0.0f; };
            if (cn.op == Op::Add && isZero(cn.b)) return cn.a;
            if (cn.op == Op::Add && isZero(cn.a)) return cn.b;
            if (cn.op == Op::Sub && isZero(cn.b)) return cn.a;
            return c;
        };
        u = plain(u);
        v = plain(v);
        Node xi;
        xi.op = Op::XIndex;
        xi.stage = static_cast<uint8_t>(stage);
        xi.a = u;
        Node yi;
        yi.op = Op::YIndex;
        yi.stage = static_cast<uint8_t>(stage);
        yi.a = v;
        const uint32_t xv = add(xi), yv = add(yi);
        for (unsigned c = 0; c < 4; ++c) {
            Node n;
            n.op = Op::Load;
            n.stage = static_cast<uint8_t>(stage);
            n.channel = static_cast<uint8_t>(c);
            n.a = xv;
            n.b = yv;
            out[c] = add(n);
        }
        return out;
    }

    bool arithmetic(const Instruction& ins, std::string& error) {
        const unsigned n = std::min<unsigned>(ins.sourceCount, 3);
        std::array<std::array<uint32_t, 4>, 3> src{};
        for (unsigned k = 0; k < n; ++k) {
            if (ins.info->texture && k == 1) continue; // the sampler operand
            src[k] = source(ins, k);
        }
        const auto& a = src[0];
        const auto& b = src[1];
        const auto& w = src[2];
        std::array<uint32_t, 4> result{};
        const bool wanted[4] = {(ins.dst.mask & 1) != 0, (ins.dst.mask & 2) != 0,
                                (ins.dst.mask & 4) != 0, (ins.dst.mask & 8) != 0};
        if (ins.info->texture) {
            const auto texel = sample(ins.src[1].index, a[0], a[1], error);
            if (!error.empty()) return false;
            for (unsigned c = 0; c < 4; ++c)
                result[c] = texel[swizzleComponent(ins.src[1].swizzle, c)];
        } else {
            for (unsigned c = 0; c < 4; ++c) {
                if (!wanted[c]) continue;
                switch (ins.opcode) {
                case Opcode::Mov:
                    result[c] = a[c];
                    break;
                case Opcode::Add:
                    result[c] = op(Op::Add, a[c], b[c]);
                    break;
                case Opcode::Mul:
                    result[c] = op(Op::Mul, a[c], b[c]);
                    break;
                case Opcode::Mad:
                    result[c] = op(Op::Add, op(Op::Mul, a[c], b[c]), w[c]);
                    break;
                case Opcode::Min:
                    result[c] = op(Op::Min, a[c], b[c]);
                    break;
                case Opcode::Max:
                    result[c] = op(Op::MaxGe, a[c], b[c]);
                    break;
                case Opcode::Frc:
                    result[c] = op(Op::Frc, a[c]);
                    break;
                case Opcode::Abs:
                    result[c] = op(Op::Abs, a[c]);
                    break;
                case Opcode::Cmp:
                    result[c] = op(Op::Sel, a[c], b[c], w[c]);
                    break;
                case Opcode::Rcp:
                    result[c] = op(Op::Div, constant(1.0f), a[0]);
                    break;
                case Opcode::Rsq:
                    result[c] = op(Op::Div, constant(1.0f), op(Op::Sqrt, a[0]));
                    break;
                case Opcode::Dp3:
                case Opcode::Dp4: {
                    uint32_t sum = op(Op::Add, op(Op::Mul, a[0], b[0]), op(Op::Mul, a[1], b[1]));
                    sum = op(Op::Add, sum, op(Op::Mul, a[2], b[2]));
                    if (ins.opcode == Opcode::Dp4) sum = op(Op::Add, sum, op(Op::Mul, a[3], b[3]));
                    result[c] = sum;
                    break;
                }
                default:
                    error = "instruction " + std::string(ins.info->mnemonic) + " is not compiled";
                    return false;
                }
            }
        }
        for (unsigned c = 0; c < 4; ++c) {
            if (!wanted[c]) continue;
            uint32_t v = result[c];
            if (ins.dst.saturate) v = op(Op::Sat, v);
            if (ins.dst.type == RegType::ColorOut)
                colour_[c] = v;
            else if (ins.dst.index < temps_.size())
                temps_[ins.dst.index][c] = v;
        }
        return true;
    }

    bool execute(std::string& error) {
        struct Frame {
            uint32_t start;
            int32_t remaining;
        };
        const auto& code = code_.instructions;
        Frame frames[kMaxLoopNesting];
        unsigned depth = 0;
        size_t pc = 0, steps = 0;
        while (pc < code.size()) {
            if (++steps > kMaxSteps || nodes_.size() > kMaxNodes) {
                error = "the unrolled program is too long to compile";
                return false;
            }
            const Instruction& ins = code[pc];
            switch (ins.opcode) {
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
                const uint32_t r = ins.src[ins.opcode == Opcode::Loop ? 1 : 0].index;
                if (r >= kIntConstants) {
                    error = "integer constant out of range";
                    return false;
                }
                const auto& iv = intDefined_[r] ? intDefs_[r] : draw_.constants->i[r];
                const int32_t iterations = std::clamp(iv[0], 0, 255);
                if (iterations == 0 || depth == kMaxLoopNesting) {
                    pc = ins.partner + 1;
                    continue;
                }
                frames[depth++] = {static_cast<uint32_t>(pc), iterations};
                ++pc;
                continue;
            }
            case Opcode::EndRep:
            case Opcode::EndLoop: {
                if (depth == 0) {
                    error = "loop end without a loop";
                    return false;
                }
                Frame& f = frames[depth - 1];
                if (--f.remaining > 0) {
                    pc = f.start + 1;
                } else {
                    --depth;
                    ++pc;
                }
                continue;
            }
            case Opcode::Break:
                if (depth == 0) {
                    error = "break outside a loop";
                    return false;
                }
                --depth;
                pc = breakTarget_[pc] + 1;
                continue;
            case Opcode::If: {
                const uint32_t r = ins.src[0].index;
                if (ins.src[0].type != RegType::ConstBool || r >= kBoolConstants) {
                    error = "only if on a boolean constant is compiled";
                    return false;
                }
                bool taken = (boolDefined_[r] ? boolDefs_[r] : draw_.constants->b[r]) != 0;
                if (ins.src[0].modifier == SrcMod::Not) taken = !taken;
                pc = taken ? pc + 1 : ins.partner + 1;
                continue;
            }
            case Opcode::Else:
                pc = ins.partner + 1;
                continue;
            default:
                break;
            }
            if (!arithmetic(ins, error)) return false;
            ++pc;
        }
        return true;
    }

    // Keeps the nodes that reach colour 0, renumbered in order.
    void finish(Trace& trace) {
        std::vector<uint8_t> live(nodes_.size(), 0);
        for (uint32_t v : colour_) live[v] = 1;
        for (size_t i = nodes_.size(); i-- > 0;) {
            if (!live[i]) continue;
            uint32_t ops[3];
            const unsigned k = nodeOperands(nodes_[i], ops);
            for (unsigned j = 0; j < k; ++j) live[ops[j]] = 1;
        }
        std::vector<uint32_t> renumber(nodes_.size(), 0);
        for (size_t i = 0; i < nodes_.size(); ++i) {
            if (!live[i]) continue;
            Node n = nodes_[i];
            n.a = renumber[n.a];
            n.b = renumber[n.b];
            n.c = renumber[n.c];
            if (n.op == Op::Input) {
                n.a = nodes_[i].a;
                trace.inputComponents[n.a / 4] |= static_cast<uint8_t>(1u << (n.a % 4));
            }
            if (n.op == Op::Load || n.op == Op::LoadFixed)
                trace.stageChannels[n.stage] |= static_cast<uint8_t>(1u << n.channel);
            if (n.op != Op::Const) ++trace.operations;
            renumber[i] = static_cast<uint32_t>(trace.nodes.size());
            trace.nodes.push_back(n);
        }
        for (unsigned c = 0; c < 4; ++c) trace.outputs[c] = renumber[colour_[c]];
    }

    const Program& code_;
    const DrawSpecialisation& draw_;
    std::vector<Node> nodes_;
    std::vector<Range> ranges_; // per node
    std::unordered_map<NodeKey, uint32_t, NodeKeyHash> index_;
    std::array<std::array<uint32_t, 4>, 32> temps_{};
    std::array<uint32_t, 4> colour_{};
    std::vector<uint32_t> breakTarget_;
    std::array<bool, kFloatConstants> floatDefined_{};
    std::array<std::array<float, 4>, kFloatConstants> floatDefs_{};
    std::array<bool, kIntConstants> intDefined_{};
    std::array<std::array<int32_t, 4>, kIntConstants> intDefs_{};
    std::array<bool, kBoolConstants> boolDefined_{};
    std::array<uint32_t, kBoolConstants> boolDefs_{};
};

} // namespace

TraceResult buildTrace(const PixelProgram&, const Program& code, const DrawSpecialisation& draw) {
    try {
        return Builder(code, draw).run();
    } catch (const std::exception& e) {
        TraceResult r;
        r.error = std::string("cannot compile: ") + e.what();
        return r;
    }
}

} // namespace kestrin::shader::fast
