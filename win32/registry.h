// The registry: keys and values of the machine's registry.db, with views, the merged
// HKEY_CLASSES_ROOT and the access rules of a process (HKLM writes need elevation).
// Like Windows, these functions return the error code instead of setting the last error.
#pragma once

#include "win32/errors.h"
#include "win32/types.h"

namespace win32 {

inline const HKEY HKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000000));
inline const HKEY HKEY_CURRENT_USER = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000001));
inline const HKEY HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000002));
inline const HKEY HKEY_USERS = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000003));
using PHKEY = HKEY*;

constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_CREATE_LINK = 0x0020;
constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
constexpr REGSAM KEY_WOW64_32KEY = 0x0200;
constexpr REGSAM KEY_WOW64_RES = 0x0300;
constexpr REGSAM DELETE = 0x00010000;
constexpr REGSAM READ_CONTROL = 0x00020000;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_EXECUTE = 0x20019;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;
constexpr REGSAM MAXIMUM_ALLOWED = 0x02000000;

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_DWORD_BIG_ENDIAN = 5;
constexpr DWORD REG_LINK = 6;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_OPTION_VOLATILE = 1;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR sub_key, DWORD options, REGSAM desired, PHKEY result);
LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR sub_key, DWORD reserved, LPWSTR class_name,
                        DWORD options, REGSAM desired, LPSECURITY_ATTRIBUTES security,
                        PHKEY result, LPDWORD disposition);
LSTATUS RegCloseKey(HKEY key);
// Null data asks for the type and size; a buffer that is too small gives ERROR_MORE_DATA
// with the size needed. The data is returned exactly as it was written.
LSTATUS RegQueryValueExW(HKEY key, LPCWSTR value_name, LPDWORD reserved, LPDWORD type,
                         LPBYTE data, LPDWORD data_size);
LSTATUS RegSetValueExW(HKEY key, LPCWSTR value_name, DWORD reserved, DWORD type,
                       const BYTE* data, DWORD data_size);
LSTATUS RegDeleteValueW(HKEY key, LPCWSTR value_name);
// Deletes a key that has no subkeys.
LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR sub_key);
LSTATUS RegDeleteKeyExW(HKEY key, LPCWSTR sub_key, REGSAM desired, DWORD reserved);
// Deletes the subkey with everything below it; a null subkey empties the key itself.
LSTATUS RegDeleteTreeW(HKEY key, LPCWSTR sub_key);
// Subkeys in name order (case-insensitive), values in the order they were created.
LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD name_size, LPDWORD reserved,
                      LPWSTR class_name, LPDWORD class_size, FILETIME* last_write);
LSTATUS RegEnumValueW(HKEY key, DWORD index, LPWSTR value_name, LPDWORD value_name_size,
                      LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD data_size);
LSTATUS RegQueryInfoKeyW(HKEY key, LPWSTR class_name, LPDWORD class_size, LPDWORD reserved,
                         LPDWORD sub_keys, LPDWORD max_sub_key_len, LPDWORD max_class_len,
                         LPDWORD values, LPDWORD max_value_name_len, LPDWORD max_value_len,
                         LPDWORD security_descriptor, FILETIME* last_write);
// shlwapi's recursive delete of a subkey.
DWORD SHDeleteKeyW(HKEY key, LPCWSTR sub_key);

}  // namespace win32
