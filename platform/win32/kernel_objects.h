// Kernel objects of the Win32 stand-in and the handle table that names them.
//
// A handle is a key into one process-wide table of shared objects. Values are never reused, so
// a handle closed earlier (or one never issued) is refused instead of reaching another object.
// A wait holds its own reference, so closing a handle while another thread waits on it cannot
// pull the object away under the wait. GetCurrentThread's pseudo-handle resolves to the calling
// thread's object.
#pragma once

#include <chrono>
#include <memory>
#include <optional>

#include "platform/entry_point.h"
#include "windows.h"

namespace kestrin::platform::win32 {

// When a wait gives up; none: never.
using Deadline = std::optional<std::chrono::steady_clock::time_point>;
Deadline deadlineAfter(DWORD milliseconds);

class KernelObject {
  public:
    virtual ~KernelObject() = default;
    // Blocks until the object is signalled (and consumes the signal where the object's kind
    // does) or the deadline passes; true when signalled.
    virtual bool waitUntil(const Deadline& deadline) = 0;
    // Threads blocked in a wait on this object now.
    virtual int waiters() const { return 0; }
};

// Adds `object` to the table under a fresh handle.
HANDLE insertHandle(std::shared_ptr<KernelObject> object);
// The object behind a live handle (or the calling thread for GetCurrentThread's pseudo-handle),
// or null.
std::shared_ptr<KernelObject> lookupHandle(HANDLE handle);
// Removes a live handle; false when it was not one.
bool removeHandle(HANDLE handle);

// The object behind `handle` if it is one of kind T, else null with ERROR_INVALID_HANDLE set.
template <class T> std::shared_ptr<T> lookupHandleAs(HANDLE handle) {
    auto object = std::dynamic_pointer_cast<T>(lookupHandle(handle));
    if (!object) SetLastError(ERROR_INVALID_HANDLE);
    return object;
}

// The Win32 error code a planned HRESULT stands for: the code of a FACILITY_WIN32 result,
// ERROR_GEN_FAILURE for any other.
DWORD errorFromResult(HRESULT result);

// The result policy of a Win32 function (platform/entry_point.h): one value means failure (a null
// handle, FALSE, WAIT_FAILED, 0) and the last error says why. A planned failure sets the last
// error from the planned result; an exception sets ERROR_NOT_ENOUGH_MEMORY (bad_alloc) or
// ERROR_GEN_FAILURE; a genuine failure is logged as HRESULT_FROM_WIN32 of the last error the call
// set.
template <class R> struct LastErrorValue {
    using Result = R;
    R failure;
    R planned(HRESULT hr) const noexcept {
        SetLastError(errorFromResult(hr));
        return failure;
    }
    R thrown(HRESULT hr) const noexcept {
        SetLastError(hr == E_OUTOFMEMORY ? ERROR_NOT_ENOUGH_MEMORY : ERROR_GEN_FAILURE);
        return failure;
    }
    bool failed(R r) const noexcept { return r == failure; }
    HRESULT logged(R) const noexcept {
        const DWORD error = GetLastError();
        return error == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(error);
    }
};

// For tests: threads blocked in a wait on the object behind `handle` (0 for a bad handle). Lets
// a test know that waiters are parked before it signals, instead of guessing with sleeps.
int waitingThreads(HANDLE handle);

} // namespace kestrin::platform::win32
