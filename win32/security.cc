#include "win32/security.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "win32/errors.h"
#include "win32/handles.h"
#include "win32/paths.h"
#include "win32/process_spawn.h"
#include "win32/process_table.h"
#include "win32/unicode.h"

namespace win32 {
namespace {

class TokenObject : public KernelObject {
 public:
  TokenObject(std::string user, bool elevated, DWORD access)
      : user(std::move(user)), elevated(elevated), access(access) {}
  std::string user;
  bool elevated;
  DWORD access;
};

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

}  // namespace

void* GlobalAlloc(UINT flags, SIZE_T bytes) {
  void* block = (flags & GMEM_ZEROINIT) ? std::calloc(1, bytes ? bytes : 1) : std::malloc(bytes ? bytes : 1);
  if (!block) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return block;
}

void* GlobalFree(void* block) {
  std::free(block);
  return nullptr;
}

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision) {
  if (!descriptor || revision != SECURITY_DESCRIPTOR_REVISION) return Fail(ERROR_INVALID_PARAMETER);
  std::memset(descriptor, 0, SECURITY_DESCRIPTOR_MIN_LENGTH);
  static_cast<unsigned char*>(descriptor)[0] = static_cast<unsigned char>(revision);
  return TRUE;
}

BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL present, ACL* dacl, BOOL) {
  if (!descriptor || static_cast<unsigned char*>(descriptor)[0] != SECURITY_DESCRIPTOR_REVISION)
    return Fail(ERROR_INVALID_PARAMETER);
  // Byte 2 holds the control flags; SE_DACL_PRESENT is 0x4. A null DACL grants everyone.
  unsigned char* control = static_cast<unsigned char*>(descriptor) + 2;
  *control = present ? (*control | 0x4) : (*control & ~0x4);
  (void)dacl;
  return TRUE;
}

BOOL OpenProcessToken(HANDLE process, DWORD desired_access, HANDLE* token) {
  if (!token) return Fail(ERROR_INVALID_PARAMETER);
  *token = nullptr;
  const ProcessSelf& self = CurrentProcess();
  if (process == PseudoCurrentProcess()) {
    *token = InsertHandle(std::make_shared<TokenObject>(self.user, self.elevated, desired_access));
    return TRUE;
  }
  DWORD id = GetProcessId(process);
  if (!id) return Fail(ERROR_INVALID_HANDLE);
  std::optional<proctable::Record> record = proctable::Get(id);
  if (!record || !proctable::IsLive(*record)) return Fail(ERROR_ACCESS_DENIED);
  bool other_user = !EqualsNoCase(FromUtf8(record->user), FromUtf8(self.user));
  if (!self.elevated && !self.offline && (record->elevated || other_user))
    return Fail(ERROR_ACCESS_DENIED);
  *token = InsertHandle(std::make_shared<TokenObject>(record->user, record->elevated, desired_access));
  return TRUE;
}

BOOL DuplicateTokenEx(HANDLE existing, DWORD desired_access, LPSECURITY_ATTRIBUTES,
                      SECURITY_IMPERSONATION_LEVEL, TOKEN_TYPE, HANDLE* new_token) {
  if (!new_token) return Fail(ERROR_INVALID_PARAMETER);
  *new_token = nullptr;
  auto token = LookupHandleAs<TokenObject>(existing);
  if (!token) return Fail(ERROR_INVALID_HANDLE);
  if (!(token->access & TOKEN_DUPLICATE) && token->access != TOKEN_ALL_ACCESS)
    return Fail(ERROR_ACCESS_DENIED);
  *new_token = InsertHandle(std::make_shared<TokenObject>(token->user, token->elevated, desired_access));
  return TRUE;
}

BOOL CreateProcessWithTokenW(HANDLE token_handle, DWORD, LPCWSTR application_name,
                             LPWSTR command_line, DWORD, LPVOID, LPCWSTR current_directory,
                             LPSTARTUPINFOW, LPPROCESS_INFORMATION process_information) {
  auto token = LookupHandleAs<TokenObject>(token_handle);
  if (!token) return Fail(ERROR_INVALID_HANDLE);
  const ProcessSelf& self = CurrentProcess();
  // Starting a process with another's token takes the impersonation privilege.
  if (!self.elevated && !self.offline) return Fail(ERROR_PRIVILEGE_NOT_HELD);
  SpawnRequest request;
  if (application_name) {
    DWORD error = ERROR_SUCCESS;
    if (!FullWindowsPath(application_name, &request.image, &error)) return Fail(error);
  } else if (!command_line || !ResolveCommandLineProgram(command_line, &request.image)) {
    return Fail(ERROR_FILE_NOT_FOUND);
  }
  request.command_line = command_line ? std::u16string(command_line) : std::u16string();
  if (current_directory) request.directory = current_directory;
  request.user = token->user;
  request.elevated = token->elevated;
  request.parent = self.id;
  if (!token->elevated && ImageRequiresAdmin(request.image)) return Fail(ERROR_ELEVATION_REQUIRED);
  return Spawn(request, process_information) ? TRUE : FALSE;
}

}  // namespace win32
