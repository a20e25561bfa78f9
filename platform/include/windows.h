// Native build: the Win32 subset the plug-in uses, with Windows names, signatures, constant
// values and semantics: events, waits, handles, critical sections, thread priorities,
// interlocked operations, Sleep, MessageBoxW, module resources and the last-error value.
//
// Kernel objects (events, threads) live behind handles that are never reused, so a closed or
// made-up handle is refused (FALSE / WAIT_FAILED, GetLastError() == ERROR_INVALID_HANDLE) and
// never crashes. Thread priorities are recorded per thread and read back, not applied.
// Every function that can fail asks the test hooks' fault plan under its own name
// ("CreateEventW", "WaitForSingleObject", "SetThreadPriority", "MessageBoxW",
// "FindResourceW", ...) after checking its arguments; a planned failure returns the function's
// failure value and sets the last error from the planned HRESULT.
#pragma once

#include "kestrin_win_base.h"
#include "kestrin_win_crt.h"
#include "unknwn.h"

// ---- Constants -------------------------------------------------------------------------------

#define INFINITE 0xFFFFFFFF
#define STATUS_WAIT_0 ((DWORD)0x00000000)
#define WAIT_OBJECT_0 ((STATUS_WAIT_0) + 0)
#define WAIT_ABANDONED ((DWORD)0x00000080)
#define WAIT_TIMEOUT 258
#define WAIT_FAILED ((DWORD)0xFFFFFFFF)
#define STILL_ACTIVE 259
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define CREATE_SUSPENDED 0x4
#define MAXLONG 0x7fffffff

#define THREAD_BASE_PRIORITY_LOWRT 15
#define THREAD_BASE_PRIORITY_MAX 2
#define THREAD_BASE_PRIORITY_MIN (-2)
#define THREAD_BASE_PRIORITY_IDLE (-15)
#define THREAD_PRIORITY_LOWEST THREAD_BASE_PRIORITY_MIN
#define THREAD_PRIORITY_BELOW_NORMAL (THREAD_PRIORITY_LOWEST + 1)
#define THREAD_PRIORITY_NORMAL 0
#define THREAD_PRIORITY_HIGHEST THREAD_BASE_PRIORITY_MAX
#define THREAD_PRIORITY_ABOVE_NORMAL (THREAD_PRIORITY_HIGHEST - 1)
#define THREAD_PRIORITY_TIME_CRITICAL THREAD_BASE_PRIORITY_LOWRT
#define THREAD_PRIORITY_IDLE THREAD_BASE_PRIORITY_IDLE
#define THREAD_PRIORITY_ERROR_RETURN (MAXLONG)

#define MB_OK 0x00000000
#define MB_OKCANCEL 0x00000001
#define MB_ABORTRETRYIGNORE 0x00000002
#define MB_YESNOCANCEL 0x00000003
#define MB_YESNO 0x00000004
#define MB_RETRYCANCEL 0x00000005
#define MB_CANCELTRYCONTINUE 0x00000006
#define MB_TYPEMASK 0x0000000F
#define MB_ICONHAND 0x00000010
#define MB_ICONQUESTION 0x00000020
#define MB_ICONEXCLAMATION 0x00000030
#define MB_ICONASTERISK 0x00000040
#define MB_ICONMASK 0x000000F0
#define MB_ICONERROR MB_ICONHAND
#define MB_ICONSTOP MB_ICONHAND
#define MB_ICONWARNING MB_ICONEXCLAMATION
#define MB_ICONINFORMATION MB_ICONASTERISK
#define MB_APPLMODAL 0x00000000
#define MB_SYSTEMMODAL 0x00001000
#define MB_TASKMODAL 0x00002000
#define MB_SETFOREGROUND 0x00010000
#define MB_TOPMOST 0x00040000

#define IDOK 1
#define IDCANCEL 2
#define IDABORT 3
#define IDRETRY 4
#define IDIGNORE 5
#define IDYES 6
#define IDNO 7

#define ERROR_SUCCESS 0
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_OUTOFMEMORY 14
#define ERROR_GEN_FAILURE 31
#define ERROR_INVALID_PARAMETER 87
#define ERROR_RESOURCE_DATA_NOT_FOUND 1812
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814
#define ERROR_RESOURCE_LANG_NOT_FOUND 1815

#define FACILITY_WIN32 7
#define HRESULT_CODE(hr) ((hr)&0xFFFF)
#define HRESULT_FACILITY(hr) (((hr) >> 16) & 0x1FFF)
#define HRESULT_FROM_WIN32(x)                                                                      \
    ((HRESULT)(x) <= 0 ? ((HRESULT)(x))                                                            \
                       : ((HRESULT)(((x)&0x0000FFFF) | (FACILITY_WIN32 << 16) | 0x80000000)))

#define LANG_NEUTRAL 0x00
#define LANG_ENGLISH 0x09
#define LANG_JAPANESE 0x11
#define SUBLANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define MAKELANGID(p, s) ((((WORD)(s)) << 10) | (WORD)(p))
#define PRIMARYLANGID(lgid) ((WORD)(lgid)&0x3ff)

#define LOWORD(l) ((WORD)(((DWORD_PTR)(l)) & 0xffff))
#define HIWORD(l) ((WORD)((((DWORD_PTR)(l)) >> 16) & 0xffff))
#define MAKELONG(a, b)                                                                             \
    ((LONG)(((WORD)(((DWORD_PTR)(a)) & 0xffff)) | ((DWORD)((WORD)(((DWORD_PTR)(b)) & 0xffff)))     \
                                                      << 16))

#define ZeroMemory(dst, len) memset((dst), 0, (len))
#define FillMemory(dst, len, fill) memset((dst), (fill), (len))
#define CopyMemory(dst, src, len) memcpy((dst), (src), (len))
#define MoveMemory(dst, src, len) memmove((dst), (src), (len))
#define UNREFERENCED_PARAMETER(p) (void)(p)

// ---- Types -----------------------------------------------------------------------------------

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

// A critical section is a plain record the caller embeds and owns, as on Windows. The fields
// keep their Windows names; on the native build `DebugInfo` holds the lock's implementation,
// created by InitializeCriticalSection and freed by DeleteCriticalSection.
struct _RTL_CRITICAL_SECTION_DEBUG;
typedef struct _RTL_CRITICAL_SECTION_DEBUG* PRTL_CRITICAL_SECTION_DEBUG;
typedef struct _RTL_CRITICAL_SECTION {
    PRTL_CRITICAL_SECTION_DEBUG DebugInfo;
    LONG LockCount;
    LONG RecursionCount;
    HANDLE OwningThread;
    HANDLE LockSemaphore;
    ULONG_PTR SpinCount;
} RTL_CRITICAL_SECTION, *PRTL_CRITICAL_SECTION;
typedef RTL_CRITICAL_SECTION CRITICAL_SECTION;
typedef PRTL_CRITICAL_SECTION PCRITICAL_SECTION;
typedef PRTL_CRITICAL_SECTION LPCRITICAL_SECTION;

struct HRSRC__;
typedef HRSRC__* HRSRC;
typedef HANDLE HGLOBAL;

// ---- Functions -------------------------------------------------------------------------------

extern "C" {

// The calling thread's last-error value.
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD error);

// Events. `name` is ignored (every event is private); `attributes` likewise. Auto-reset: a set
// releases exactly one waiting thread, or, with nobody waiting, stays pending until the next
// wait consumes it; sets while pending add nothing. Manual-reset: stays set, releasing every
// wait, until ResetEvent.
HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                           LPCWSTR name);
BOOL WINAPI SetEvent(HANDLE event);
BOOL WINAPI ResetEvent(HANDLE event);

// Waits on an event or a thread (signalled once it has ended). WAIT_OBJECT_0, WAIT_TIMEOUT after
// `milliseconds` (INFINITE: no limit), or WAIT_FAILED for a handle that is not a live event or
// thread. A handle closed while a wait on it runs does not end the wait.
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
// Closes an event or thread handle; FALSE for anything else, including a handle closed before.
// Closing a thread's handle does not stop the thread.
BOOL WINAPI CloseHandle(HANDLE handle);

// Recursive, as on Windows: the owner may enter again and must leave as often.
void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section);
BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION section, DWORD spinCount);
void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section);
BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION section);
void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section);
void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section);

// Threads. GetCurrentThread returns the pseudo-handle that always means the calling thread.
HANDLE WINAPI GetCurrentThread(void);
DWORD WINAPI GetCurrentThreadId(void);
HANDLE WINAPI GetCurrentProcess(void);
// STILL_ACTIVE while the thread runs, then its exit code.
BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
// Recorded per thread, never applied to the native thread. A thread starts at
// THREAD_PRIORITY_NORMAL. Accepted values are those of a normal-priority process:
// THREAD_PRIORITY_LOWEST..THREAD_PRIORITY_HIGHEST, THREAD_PRIORITY_IDLE and
// THREAD_PRIORITY_TIME_CRITICAL; others give FALSE and ERROR_INVALID_PARAMETER.
int WINAPI GetThreadPriority(HANDLE thread);
BOOL WINAPI SetThreadPriority(HANDLE thread, int priority);

void WINAPI Sleep(DWORD milliseconds);

// Records the box in the test hooks' message-box log (text and caption as UTF-16), prints one
// line with the UTF-8 text to stderr and returns at once with the first button's id (IDOK for
// MB_OK) instead of waiting for a user.
int WINAPI MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);

// Module resources, looked up in the module's table of resources (see
// platform/module_resources.h). Names and types are integer resources (MAKEINTRESOURCEW) or
// "#123" strings. FindResourceW prefers a language-neutral entry, then takes the first of any
// language; FindResourceExW wants the exact language (LANG_NEUTRAL: as FindResourceW).
// LoadResource and LockResource give the resource's bytes; FreeResource does nothing.
HRSRC WINAPI FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type);
HRSRC WINAPI FindResourceExW(HMODULE module, LPCWSTR type, LPCWSTR name, WORD language);
HGLOBAL WINAPI LoadResource(HMODULE module, HRSRC resource);
DWORD WINAPI SizeofResource(HMODULE module, HRSRC resource);
LPVOID WINAPI LockResource(HGLOBAL data);
BOOL WINAPI FreeResource(HGLOBAL data);

} // extern "C"

// ---- Interlocked operations: sequentially consistent, as on Windows ---------------------------

inline LONG InterlockedExchange(LONG volatile* target, LONG value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
// Returns the value before the addition.
inline LONG InterlockedExchangeAdd(LONG volatile* addend, LONG value) {
    return __atomic_fetch_add(addend, value, __ATOMIC_SEQ_CST);
}
// Return the value after the step.
inline LONG InterlockedIncrement(LONG volatile* addend) {
    return __atomic_add_fetch(addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(LONG volatile* addend) {
    return __atomic_sub_fetch(addend, 1, __ATOMIC_SEQ_CST);
}
// Stores `exchange` when *destination equals `comparand`; returns the value found.
inline LONG InterlockedCompareExchange(LONG volatile* destination, LONG exchange, LONG comparand) {
    __atomic_compare_exchange_n(destination, &comparand, exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return comparand;
}
inline PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* destination, PVOID exchange,
                                               PVOID comparand) {
    __atomic_compare_exchange_n(destination, &comparand, exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return comparand;
}
