// The fault plan, the call log and the failed-call log: every stand-in entry point reports its
// calls here by name, learns whether this call is to fail, and reports the failures it returns.
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/hooks/hooks_internal.h"
#include "platform/test_hooks.h"

namespace kestrin::platform::hooks {
namespace {

struct PlannedFailure {
    std::string method;
    int call; // absolute call number, counted since the last reset
    HRESULT result;
    bool repeat; // this call and every later one
};

struct FaultPlan {
    std::mutex mutex;
    std::vector<PlannedFailure> failures;
    std::unordered_map<std::string, int> counts;
    std::vector<std::string> log;
    std::vector<FailedCall> failed;
    bool direct3DCreateFails = false;
    int failingEventCall = 0; // absolute call number of CreateEventW to fail; 0: none
    int failingThreadCall = 0;
};

// Never destroyed: stand-ins may still report calls from threads that outlive main().
FaultPlan& plan() {
    static FaultPlan* instance = new FaultPlan;
    return *instance;
}

// The absolute call number that is `nth` from now; 0 (none) for nth < 1. Caller holds the lock.
int callFromNow(FaultPlan& p, const std::string& method, int nth) {
    if (nth < 1) return 0;
    auto it = p.counts.find(method);
    return (it == p.counts.end() ? 0 : it->second) + nth;
}

} // namespace

void failCall(const std::string& method, int nth, HRESULT result, bool repeat) {
    FaultPlan& p = plan();
    std::lock_guard lock(p.mutex);
    const int call = callFromNow(p, method, nth);
    if (call > 0) p.failures.push_back({method, call, result, repeat});
}

bool shouldFail(std::string_view method, HRESULT* result) {
    try {
        FaultPlan& p = plan();
        const std::string name(method);
        std::lock_guard lock(p.mutex);
        const int call = ++p.counts[name];
        p.log.push_back(name);

        for (const PlannedFailure& failure : p.failures) {
            if (failure.method == name &&
                (call == failure.call || (failure.repeat && call > failure.call))) {
                if (result) *result = failure.result;
                return true;
            }
        }
        HRESULT planned = S_OK;
        if (name == "Direct3DCreate9" && p.direct3DCreateFails) {
            planned = E_FAIL;
        } else if (name == "CreateEventW" && call == p.failingEventCall) {
            planned = E_OUTOFMEMORY;
        } else if (name == "_beginthreadex" && call == p.failingThreadCall) {
            planned = E_OUTOFMEMORY;
        }
        if (planned == S_OK) return false;
        if (result) *result = planned;
        return true;
    } catch (...) {
        return false; // out of memory for the log: let the call go ahead
    }
}

int callCount(const std::string& method) {
    FaultPlan& p = plan();
    std::lock_guard lock(p.mutex);
    auto it = p.counts.find(method);
    return it == p.counts.end() ? 0 : it->second;
}

std::vector<std::string> callLog() {
    FaultPlan& p = plan();
    std::lock_guard lock(p.mutex);
    return p.log;
}

std::vector<FailedCall> failedCalls() {
    FaultPlan& p = plan();
    std::lock_guard lock(p.mutex);
    return p.failed;
}

void recordFailedCall(std::string_view scope, std::string_view function, HRESULT result,
                      bool planned) noexcept {
    try {
        FailedCall call;
        call.method.reserve(scope.size() + 2 + function.size());
        if (!scope.empty()) call.method.append(scope).append("::");
        call.method.append(function);
        call.result = result;
        call.planned = planned;
        FaultPlan& p = plan();
        std::lock_guard lock(p.mutex);
        p.failed.push_back(std::move(call));
    } catch (...) {
        // Out of memory for the log: the call's own result still reports the failure.
    }
}

void setDirect3DCreateFails(bool fails) {
    FaultPlan& p = plan();
    std::lock_guard lock(p.mutex);
    p.direct3DCreateFails = fails;
}

bool direct3DCreateFails() {
    FaultPlan& p = plan();
    std::lock_guard lock(p.mutex);
    return p.direct3DCreateFails;
}

void failEventCreation(int nth) {
    FaultPlan& p = plan();
    std::lock_guard lock(p.mutex);
    p.failingEventCall = callFromNow(p, "CreateEventW", nth);
}

void failThreadCreation(int nth) {
    FaultPlan& p = plan();
    std::lock_guard lock(p.mutex);
    p.failingThreadCall = callFromNow(p, "_beginthreadex", nth);
}

namespace detail {

void resetFaultPlan() {
    FaultPlan& p = plan();
    std::lock_guard lock(p.mutex);
    p.failures.clear();
    p.counts.clear();
    p.log.clear();
    p.failed.clear();
    p.direct3DCreateFails = false;
    p.failingEventCall = 0;
    p.failingThreadCall = 0;
}

} // namespace detail
} // namespace kestrin::platform::hooks
