// What the stand-in device reports: its profile and the scripted TestCooperativeLevel answers.
#include <deque>
#include <mutex>

#include "platform/hooks/hooks_internal.h"
#include "platform/test_hooks.h"

namespace kestrin::platform::hooks {
namespace {

struct DeviceState {
    std::mutex mutex;
    DeviceProfile profile;
    std::deque<HRESULT> cooperativeLevel;
};

DeviceState& state() {
    static DeviceState* instance = new DeviceState;
    return *instance;
}

} // namespace

void setDeviceProfile(const DeviceProfile& profile) {
    DeviceState& s = state();
    std::lock_guard lock(s.mutex);
    s.profile = profile;
}

DeviceProfile deviceProfile() {
    DeviceState& s = state();
    std::lock_guard lock(s.mutex);
    return s.profile;
}

void scriptCooperativeLevel(const std::vector<HRESULT>& answers) {
    DeviceState& s = state();
    std::lock_guard lock(s.mutex);
    s.cooperativeLevel.assign(answers.begin(), answers.end());
}

bool takeCooperativeLevelAnswer(HRESULT* answer) {
    DeviceState& s = state();
    std::lock_guard lock(s.mutex);
    if (s.cooperativeLevel.empty()) return false;
    if (answer) *answer = s.cooperativeLevel.front();
    s.cooperativeLevel.pop_front();
    return true;
}

namespace detail {

void resetDeviceProfile() {
    DeviceState& s = state();
    std::lock_guard lock(s.mutex);
    s.profile = DeviceProfile{};
    s.cooperativeLevel.clear();
}

} // namespace detail
} // namespace kestrin::platform::hooks
