// Making a chosen `new (std::nothrow)` fail. While armed, every nothrow allocation counts down;
// the one that reaches zero fails and disarms the countdown.
#include <atomic>

#include "platform/hooks/hooks_internal.h"
#include "platform/test_hooks.h"

namespace kestrin::platform::hooks {
namespace {

std::atomic<int> remaining{0}; // allocations until the failing one, that one included; 0: off

} // namespace

void failNothrowAllocation(int nth) {
    remaining.store(nth > 0 ? nth : 0);
}

bool nothrowAllocationFails() {
    int left = remaining.load();
    while (left > 0) {
        if (remaining.compare_exchange_weak(left, left - 1)) return left == 1;
    }
    return false;
}

namespace detail {

void resetNothrowAllocation() {
    remaining.store(0);
}

} // namespace detail
} // namespace kestrin::platform::hooks
