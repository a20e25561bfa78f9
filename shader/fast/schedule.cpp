#include "shader/fast/schedule.h"

#include <algorithm>

namespace kestrin::shader::fast {
namespace {

struct Cost {
    int latency = 3; // cycles until the result can be used
    int slots = 1;   // issue slots taken
    int divider = 0; // cycles the (unpipelined) divider stays busy
};

Cost costOf(Op op) {
    switch (op) {
    case Op::Input:
    case Op::Load:
        return {0, 0, 0};
    case Op::Neg:
    case Op::Abs:
    case Op::Min:
        return {1, 1, 0};
    case Op::MaxGe:
    case Op::Sel:
    case Op::SelLe0:
        return {2, 2, 0};
    case Op::Sat:
        return {4, 4, 0};
    case Op::Frc:
        return {6, 2, 0};
    case Op::Sqrt:
        return {15, 1, 5};
    case Op::Div:
        return {11, 1, 3};
    case Op::XIndex:
    case Op::YIndex:
        return {12, 5, 0};
    case Op::LoadFixed:
        return {7, 1, 0};
    default:
        return {3, 1, 0};
    }
}

// Operations looked at per cycle, in trace order: about what an out-of-order core holds in
// flight, so the list scheduler does not hoist work far ahead of where registers can keep it.
constexpr size_t kWindow = 96;
// Operations issued per cycle.
constexpr int kIssue = 4;

} // namespace

std::vector<uint32_t>
scheduleTrace(const Trace& trace, const std::vector<std::vector<uint32_t>>& deps, ScheduleTarget) {
    const size_t n = trace.nodes.size();
    std::vector<uint32_t> seq;
    for (uint32_t i = 0; i < n; ++i)
        if (trace.nodes[i].op != Op::Const) seq.push_back(i);
    std::vector<int64_t> doneAt(n, -1); // -1: not issued
    std::vector<uint32_t> order;
    order.reserve(seq.size());
    std::vector<uint8_t> issued(seq.size(), 0);
    size_t head = 0;
    int64_t dividerFree = 0;
    std::vector<size_t> candidates;
    for (int64_t cycle = 0; head < seq.size(); ++cycle) {
        int slots = kIssue;
        size_t seen = 0;
        candidates.clear();
        for (size_t k = head; k < seq.size() && seen < kWindow; ++k) {
            if (issued[k]) continue;
            ++seen;
            candidates.push_back(k);
        }
        for (size_t k : candidates) {
            const uint32_t v = seq[k];
            bool ready = true;
            for (uint32_t d : deps[v]) {
                if (doneAt[d] < 0 || doneAt[d] > cycle) {
                    ready = false;
                    break;
                }
            }
            if (!ready) continue;
            const Cost c = costOf(trace.nodes[v].op);
            if (c.slots > slots && slots < kIssue) continue; // a wide one goes first in a cycle
            if (c.divider && dividerFree > cycle) continue;
            slots = std::max(0, slots - c.slots);
            if (c.divider) dividerFree = cycle + c.divider;
            doneAt[v] = cycle + c.latency;
            issued[k] = 1;
            order.push_back(v);
            if (slots == 0) break;
        }
        while (head < seq.size() && issued[head]) ++head;
    }
    return order;
}

} // namespace kestrin::shader::fast
