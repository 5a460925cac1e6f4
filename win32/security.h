// Access tokens and security descriptors, as far as starting a program as another user
// needs them.
#pragma once

#include "win32/processes.h"
#include "win32/types.h"

namespace win32 {

constexpr DWORD TOKEN_ASSIGN_PRIMARY = 0x0001;
constexpr DWORD TOKEN_DUPLICATE = 0x0002;
constexpr DWORD TOKEN_IMPERSONATE = 0x0004;
constexpr DWORD TOKEN_QUERY = 0x0008;
constexpr DWORD TOKEN_ALL_ACCESS = 0xF01FF;

enum SECURITY_IMPERSONATION_LEVEL {
  SecurityAnonymous,
  SecurityIdentification,
  SecurityImpersonation,
  SecurityDelegation
};
enum TOKEN_TYPE { TokenPrimary = 1, TokenImpersonation };

constexpr DWORD LOGON_WITH_PROFILE = 0x1;
constexpr DWORD LOGON_NETCREDENTIALS_ONLY = 0x2;
constexpr DWORD SECURITY_DESCRIPTOR_REVISION = 1;
constexpr DWORD SECURITY_DESCRIPTOR_MIN_LENGTH = 40;
constexpr UINT GMEM_FIXED = 0x0;
constexpr UINT GMEM_ZEROINIT = 0x40;
constexpr UINT GPTR = GMEM_FIXED | GMEM_ZEROINIT;

using PSECURITY_DESCRIPTOR = void*;
struct ACL;

// Memory blocks of the global heap.
void* GlobalAlloc(UINT flags, SIZE_T bytes);
void* GlobalFree(void* block);

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision);
BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL present, ACL* dacl,
                               BOOL defaulted);

BOOL OpenProcessToken(HANDLE process, DWORD desired_access, HANDLE* token);
BOOL DuplicateTokenEx(HANDLE existing, DWORD desired_access, LPSECURITY_ATTRIBUTES attributes,
                      SECURITY_IMPERSONATION_LEVEL level, TOKEN_TYPE type, HANDLE* new_token);
// Starts a program as the token's user with the token's elevation. The command line is
// passed on unchanged: the program sees exactly it. Reached by the program through
// GetProcAddress of "advapi32.dll", so machine.json's missing_exports can take it away.
BOOL CreateProcessWithTokenW(HANDLE token, DWORD logon_flags, LPCWSTR application_name,
                             LPWSTR command_line, DWORD creation_flags, LPVOID environment,
                             LPCWSTR current_directory, LPSTARTUPINFOW startup_info,
                             LPPROCESS_INFORMATION process_information);

}  // namespace win32
