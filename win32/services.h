// The service control manager over the registry: HKLM\SYSTEM\CurrentControlSet\Services.
// DeleteService marks a service; its key goes when the last handle of this process closes
// and its program no longer runs, or else at the next restart.
#pragma once

#include <string>
#include <vector>

#include "win32/types.h"

namespace win32 {

using SC_HANDLE = struct SC_HANDLE__*;

constexpr DWORD SC_MANAGER_CONNECT = 0x0001;
constexpr DWORD SC_MANAGER_CREATE_SERVICE = 0x0002;
constexpr DWORD SC_MANAGER_ENUMERATE_SERVICE = 0x0004;
constexpr DWORD SC_MANAGER_ALL_ACCESS = 0xF003F;
constexpr DWORD SERVICE_QUERY_STATUS = 0x0004;
constexpr DWORD SERVICE_STOP = 0x0020;
constexpr DWORD SERVICE_ALL_ACCESS = 0xF01FF;
constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x10;
constexpr DWORD SERVICE_AUTO_START = 0x2;
constexpr DWORD SERVICE_DEMAND_START = 0x3;
constexpr DWORD SERVICE_ERROR_NORMAL = 0x1;

SC_HANDLE OpenSCManagerW(LPCWSTR machine_name, LPCWSTR database_name, DWORD desired_access);
SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR service_name, DWORD desired_access);
SC_HANDLE CreateServiceW(SC_HANDLE manager, LPCWSTR service_name, LPCWSTR display_name,
                         DWORD desired_access, DWORD service_type, DWORD start_type,
                         DWORD error_control, LPCWSTR binary_path_name, LPCWSTR load_order_group,
                         LPDWORD tag_id, LPCWSTR dependencies, LPCWSTR service_start_name,
                         LPCWSTR password);
BOOL DeleteService(SC_HANDLE service);
BOOL CloseServiceHandle(SC_HANDLE handle);

// For the machine's restart and tools: services marked for deletion are removed when
// their program does not run.
struct ServiceRecord {
  std::u16string name;
  std::u16string display_name;
  std::u16string image_path;
  DWORD start_type = 0;
  bool marked_for_delete = false;
};
std::vector<ServiceRecord> ListServices();
void RemoveMarkedServices(bool at_restart);

}  // namespace win32
