// Threads: creation (suspended or not), resumption, identity and exit codes.
//
// Each thread is a std::thread of the host, detached at creation; its kernel object lives as
// long as a handle refers to it or the thread runs, so a thread whose handles are all closed
// runs to its end. A thread handle is signalled once the thread function has returned.
// Thread ids are the host's thread ids, unique on the machine while the thread lives.
// The stack size argument is ignored (the host default is used).
#pragma once

#include <cstdint>

#include "win32/processes.h"  // STILL_ACTIVE and CREATE_SUSPENDED, shared with processes
#include "win32/types.h"

namespace win32 {

constexpr DWORD STACK_SIZE_PARAM_IS_A_RESERVATION = 0x00010000;

using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID parameter);

// A thread created with CREATE_SUSPENDED waits before its first instruction until
// ResumeThread brings its suspend count to 0. One that is never resumed does not run: when
// its last handle is closed it ends without calling its function. A null start routine
// fails with ERROR_INVALID_PARAMETER.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stack_size,
                    LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD creation_flags,
                    LPDWORD thread_id);
// The runtime library's thread starter: the same thread, its handle as an integer; 0 with
// errno set (EINVAL, EAGAIN) on failure.
uintptr_t _beginthreadex(void* security, unsigned stack_size, unsigned (*start)(void*),
                         void* arglist, unsigned initflag, unsigned* thrdaddr);

// Decrements the suspend count; returns the count before, or (DWORD)-1 on failure.
DWORD ResumeThread(HANDLE thread);
DWORD GetCurrentThreadId();
// STILL_ACTIVE until the thread function has returned, then its result.
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exit_code);

}  // namespace win32
