// The parts of the test hooks, each of which forgets its state on hooks::reset().
#pragma once

namespace kestrin::platform::hooks::detail {

void resetFaultPlan();
void resetNothrowAllocation();
void resetDeviceProfile();
void resetRecords();

} // namespace kestrin::platform::hooks::detail
