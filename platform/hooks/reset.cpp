#include "platform/hooks/hooks_internal.h"
#include "platform/test_hooks.h"

namespace kestrin::platform::hooks {

void reset() {
    detail::resetFaultPlan();
    detail::resetNothrowAllocation();
    detail::resetDeviceProfile();
    detail::resetRecords();
}

} // namespace kestrin::platform::hooks
