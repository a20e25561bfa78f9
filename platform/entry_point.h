// The one way into the stand-ins: every COM method and exported function of platform/d3d9,
// platform/d3dx9 and platform/win32 runs its body through enter(), which keeps one order:
//
//   1. the out-parameters are cleared (a caller never reads a stale value after a failure);
//   2. the body checks its arguments and returns its own refusal (D3DERR_INVALIDCALL, a null
//      handle, ...) directly;
//   3. the body hands over with call.proceed(work): the fault plan is asked, and a planned failure
//      ends the call with the planned result, the stand-in's state untouched;
//   4. otherwise the work runs and its result is the call's.
//
// A call that ends a state the caller opened (a scene, an effect or one of its passes, a lock, a
// handle) hands over with call.close(work) instead: the work runs even when the call is planned to
// fail, and then the planned result is reported. The real runtimes never leave such a state open
// behind a failed call, so a caller that ignores the result carries on normally and only its own
// check of that result can notice the failure.
//
// A body that never hands over is a call the fault plan does not know: it is neither counted nor
// logged, and cannot be made to fail.
//
// All of it runs inside one exception guard: std::bad_alloc becomes E_OUTOFMEMORY and anything
// else E_FAIL, each turned into the call's failure value by its result policy. Whatever way a call
// fails, the failure is recorded once, here, in hooks::failedCalls().
//
// Names: the fault plan and the logs know a method as "Interface::Method" and a function by its
// own name. A stand-in class states its interface once (kInterface); the method or function part
// is the caller's __func__, so no entry point spells its own name:
//
//     return enter({kInterface, __func__}, outputs(ppTexture), [&](auto& call) { ... });
//     return enter({.function = __func__}, LastErrorValue<HANDLE>{nullptr}, [&](auto& call) ...
#pragma once

#include <concepts>
#include <cstddef>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "kestrin_win_base.h"
#include "platform/test_hooks.h"

namespace kestrin::platform {

// An entry point's name in two parts: the interface (empty for a plain function) and __func__.
struct EntryName {
    std::string_view scope{};
    std::string_view function{};

    // "IDirect3DDevice9::CreateTexture", or "CreateEventW" for a plain function.
    std::string full() const {
        if (scope.empty()) return std::string(function);
        std::string name;
        name.reserve(scope.size() + 2 + function.size());
        name.append(scope).append("::").append(function);
        return name;
    }
};

// ---- Result policies: what a call returns when it fails ----------------------------------------
//
// A policy has Result (the call's return type) and, all noexcept:
//   planned(hr)  the value a planned failure returns (and what else it reports, e.g. last error);
//   thrown(hr)   the same for an exception (hr: E_OUTOFMEMORY for bad_alloc, else E_FAIL);
//   failed(r)    whether a result the body returned is a failure;
//   logged(r)    the HRESULT the failure log shows for such a genuine failure.

// Methods and functions that return an HRESULT: every result is itself.
struct ResultCode {
    using Result = HRESULT;
    HRESULT planned(HRESULT hr) const noexcept { return hr; }
    HRESULT thrown(HRESULT hr) const noexcept { return hr; }
    bool failed(HRESULT r) const noexcept { return FAILED(r); }
    HRESULT logged(HRESULT r) const noexcept { return r; }
};

// Calls that return something else, with one value that means failure (a null handle or pointer,
// FALSE, 0). A genuine failure is logged as E_FAIL.
template <class R> struct FailureValue {
    using Result = R;
    R failure;
    R planned(HRESULT) const noexcept { return failure; }
    R thrown(HRESULT) const noexcept { return failure; }
    bool failed(R r) const noexcept { return r == failure; }
    HRESULT logged(R) const noexcept { return E_FAIL; }
};

// Calls whose every value is a valid answer (a size, a priority): `fallback` stands in for one
// after a planned failure or an exception, and nothing they return is logged as a failure.
template <class R> struct AnyValue {
    using Result = R;
    R fallback;
    R planned(HRESULT) const noexcept { return fallback; }
    R thrown(HRESULT) const noexcept { return fallback; }
    bool failed(R) const noexcept { return false; }
    HRESULT logged(R) const noexcept { return S_OK; }
};

template <class P>
concept ResultPolicy = requires(const P& p, typename P::Result r, HRESULT hr) {
    { p.planned(hr) } -> std::same_as<typename P::Result>;
    { p.thrown(hr) } -> std::same_as<typename P::Result>;
    { p.failed(r) } -> std::same_as<bool>;
    { p.logged(r) } -> std::same_as<HRESULT>;
};

// ---- Out-parameters ----------------------------------------------------------------------------

// An out-buffer given as a pointer and a size (ID3DXEffect::GetValue): cleared to zero bytes.
struct OutBytes {
    void* data;
    size_t size;
};

// The out-parameters an entry point clears first: pointers to objects (set to a value-initialised
// object: null, zero, an all-zero record) and OutBytes. Null pointers are skipped.
template <class... Outs> struct Outputs { std::tuple<Outs...> values; };

template <class... Outs> Outputs<Outs...> outputs(Outs... values) {
    return {{values...}};
}

namespace detail {

template <class T> void clearOut(T* out) noexcept {
    static_assert(std::is_nothrow_default_constructible_v<T> &&
                  std::is_nothrow_assignable_v<T&, T>);
    if (out) *out = T{};
}

inline void clearOut(OutBytes out) noexcept {
    if (out.data) std::memset(out.data, 0, out.size);
}

} // namespace detail

// ---- The call --------------------------------------------------------------------------------

// What the body of an entry point hands over to: the fault plan, then the work.
template <ResultPolicy Policy> class EntryCall {
  public:
    using Result = typename Policy::Result;

    EntryCall(const EntryName& name, const Policy& policy) : name_(name), policy_(policy) {}
    EntryCall(const EntryCall&) = delete;
    EntryCall& operator=(const EntryCall&) = delete;

    // Asks the fault plan; a planned failure returns the planned value and changes nothing,
    // otherwise `work` runs and its result is returned.
    template <class Work> Result proceed(Work&& work) {
        if (askPlan()) return policy_.planned(plannedResult_);
        return std::forward<Work>(work)();
    }

    // For a call that ends a state: asks the fault plan, runs `work` either way (the state ends as
    // the real runtime ends it), then returns the planned value if the call was planned to fail,
    // else the work's result.
    template <class Work> Result close(Work&& work) {
        const bool planned = askPlan();
        Result result = std::forward<Work>(work)();
        return planned ? policy_.planned(plannedResult_) : result;
    }

    bool planned() const { return planned_; }
    HRESULT plannedResult() const { return plannedResult_; }

  private:
    bool askPlan() {
        HRESULT hr = S_OK;
        planned_ = hooks::shouldFail(name_.full(), &hr);
        plannedResult_ = hr;
        return planned_;
    }

    const EntryName& name_;
    const Policy& policy_;
    bool planned_ = false;
    HRESULT plannedResult_ = S_OK;
};

// ---- The entry -------------------------------------------------------------------------------

// Runs `body(call)` in the order and under the guard described at the top of this file, and
// records the call in hooks::failedCalls() if it fails.
template <ResultPolicy Policy, class... Outs, class Body>
typename Policy::Result enter(const EntryName& name, const Policy& policy, Outputs<Outs...> outs,
                              Body&& body) noexcept {
    std::apply([](auto... out) { (detail::clearOut(out), ...); }, outs.values);
    EntryCall<Policy> call(name, policy);
    typename Policy::Result result{};
    HRESULT thrown = S_OK;
    try {
        result = std::forward<Body>(body)(call);
    } catch (const std::bad_alloc&) {
        thrown = E_OUTOFMEMORY;
    } catch (...) {
        thrown = E_FAIL;
    }
    if (FAILED(thrown)) {
        result = policy.thrown(thrown);
        hooks::recordFailedCall(name.scope, name.function, thrown, false);
    } else if (call.planned()) {
        hooks::recordFailedCall(name.scope, name.function, call.plannedResult(), true);
    } else if (policy.failed(result)) {
        hooks::recordFailedCall(name.scope, name.function, policy.logged(result), false);
    }
    return result;
}

template <ResultPolicy Policy, class Body>
typename Policy::Result enter(const EntryName& name, const Policy& policy, Body&& body) noexcept {
    return enter(name, policy, Outputs<>{}, std::forward<Body>(body));
}

template <class... Outs, class Body>
HRESULT enter(const EntryName& name, Outputs<Outs...> outs, Body&& body) noexcept {
    return enter(name, ResultCode{}, outs, std::forward<Body>(body));
}

template <class Body> HRESULT enter(const EntryName& name, Body&& body) noexcept {
    return enter(name, ResultCode{}, Outputs<>{}, std::forward<Body>(body));
}

} // namespace kestrin::platform
