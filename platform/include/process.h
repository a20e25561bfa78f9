// Native build: the runtime library's thread start and exit, as <process.h> declares them on
// Windows. Threads are native threads with Windows thread semantics; see <windows.h>.
#pragma once

#include <cstdint>

#include "kestrin_win_base.h"

extern "C" {

// Starts `start(arg)` on a new thread and returns its handle (a HANDLE as an integer), or 0 with
// errno set: EINVAL for a null start routine or an unsupported flag (only 0 is supported, not
// CREATE_SUSPENDED), EAGAIN when the thread cannot be created (or a test made creation fail).
// `security` is ignored; a stack size below the native default gets the default. The thread's
// id goes to *threadId. The thread's exit code is the routine's result or the code given to
// _endthreadex; its handle is signalled when it has ended.
uintptr_t __cdecl _beginthreadex(void* security, unsigned stackSize,
                                 unsigned(__stdcall* start)(void*), void* arg, unsigned initFlag,
                                 unsigned* threadId);

// Ends the calling thread with `exitCode`, at once, like ExitThread: the frames between here and
// the start routine are left without running their destructors.
[[noreturn]] void __cdecl _endthreadex(unsigned exitCode);

} // extern "C"
