// Anonymous pipes and reads and writes on handles that have a host descriptor (pipes, and
// files wherever a handle has one).
#pragma once

#include "win32/handles.h"
#include "win32/types.h"

namespace win32 {

struct OVERLAPPED;
using LPOVERLAPPED = OVERLAPPED*;

// Creates a pipe; both ends are closed with CloseHandle. size > 0 asks the host for that
// buffer size (best effort); 0 takes the default. The ends reach a child process only as
// its standard handles (STARTUPINFOW with STARTF_USESTDHANDLES): they are never inherited
// otherwise, whatever the security attributes say.
BOOL CreatePipe(HANDLE* read_pipe, HANDLE* write_pipe, LPSECURITY_ATTRIBUTES attributes,
                DWORD size);

// Blocks until data is there and returns what is available, up to bytes_to_read. A pipe
// whose write ends are all closed fails with ERROR_BROKEN_PIPE (and 0 bytes read); a file
// at its end succeeds with 0 bytes. Overlapped I/O is not supported (ERROR_INVALID_PARAMETER).
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytes_to_read, LPDWORD bytes_read,
              LPOVERLAPPED overlapped);
// Writes everything. A pipe without a reader fails with ERROR_NO_DATA, as Windows reports
// a closing pipe; the process is not signalled.
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytes_to_write, LPDWORD bytes_written,
               LPOVERLAPPED overlapped);

}  // namespace win32
