// The small part of COM and WMI that the machine queries use: apartments, BSTR and
// VARIANT, and the WMI locator with its services, enumerators and objects.
//
// Interfaces are abstract classes with the COM contract: every pointer handed out carries
// one reference, released with Release; QueryInterface answers IID_IUnknown and the
// object's own interface. Objects may be used from any thread.
//
// Answers come from machine.json:
//   "wmi": {"Win32_VideoController": [{"Description": "..."}],
//           "Win32_NetworkAdapter": [{"Description": "..."}, ...],
//           "Win32_DiskDrive": [{"Model": "..."}],
//           "<any class>": [{"<property>": <string, number, bool or null>}, ...]}
// A class that is not listed keeps its default answer (a physical desktop: Intel graphics
// and network adapter, a Samsung disk, Win32_BIOS with the "bios_serial" fact); a listed
// class with an empty list has no instances; other classes are invalid. "wmi": false is a
// machine whose WMI service is disabled: ConnectServer fails.
#pragma once

#include "win32/shell.h"  // S_OK, S_FALSE, E_FAIL, E_INVALIDARG
#include "win32/types.h"

namespace win32 {

// HRESULTs.
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
constexpr HRESULT RPC_E_CHANGED_MODE = static_cast<HRESULT>(0x80010106);
constexpr HRESULT CO_E_NOTINITIALIZED = static_cast<HRESULT>(0x800401F0);
constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110);
constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154);
// HRESULT_FROM_WIN32(ERROR_SERVICE_DISABLED).
constexpr HRESULT HRESULT_SERVICE_DISABLED = static_cast<HRESULT>(0x80070422);

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }

struct GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using REFIID = const IID&;
using REFCLSID = const CLSID&;
bool IsEqualGUID(const GUID& a, const GUID& b);

extern const IID IID_IUnknown;
extern const CLSID CLSID_WbemLocator;
extern const IID IID_IWbemLocator;
extern const IID IID_IWbemServices;
extern const IID IID_IEnumWbemClassObject;
extern const IID IID_IWbemClassObject;

// Text and variants.

using OLECHAR = WCHAR;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
// A length-prefixed, NUL-terminated wide string from SysAllocString.
using BSTR = OLECHAR*;

BSTR SysAllocString(LPCOLESTR text);                       // null gives null
BSTR SysAllocStringLen(const OLECHAR* text, UINT length);  // null text: zero-filled
void SysFreeString(BSTR text);                             // null is allowed
UINT SysStringLen(BSTR text);                              // units, without the NUL; 0 for null

class IUnknown;

using VARTYPE = uint16_t;
using VARIANT_BOOL = int16_t;
constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;
constexpr VARTYPE VT_EMPTY = 0;
constexpr VARTYPE VT_NULL = 1;
constexpr VARTYPE VT_I4 = 3;
constexpr VARTYPE VT_R8 = 5;
constexpr VARTYPE VT_BSTR = 8;
constexpr VARTYPE VT_BOOL = 11;
constexpr VARTYPE VT_UNKNOWN = 13;

struct VARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    LONG lVal;
    double dblVal;
    VARIANT_BOOL boolVal;
    BSTR bstrVal;
    IUnknown* punkVal;
  };
};

void VariantInit(VARIANT* value);
// Frees the BSTR or releases the interface the variant holds, and empties it.
HRESULT VariantClear(VARIANT* value);

// COM.

class IUnknown {
 public:
  virtual HRESULT QueryInterface(REFIID iid, void** object) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  ~IUnknown() = default;  // objects go with their last Release
};

constexpr DWORD COINIT_MULTITHREADED = 0x0;
constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;

constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
constexpr DWORD CLSCTX_ALL = 0x17;

// Per thread: S_OK on the first call, S_FALSE on each further call with the same model,
// RPC_E_CHANGED_MODE (which needs no CoUninitialize) with another model.
HRESULT CoInitializeEx(LPVOID reserved, DWORD co_init);
void CoUninitialize();
// Only CLSID_WbemLocator is registered, as an in-process server. Needs COM initialised on
// the calling thread (CO_E_NOTINITIALIZED).
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid,
                         LPVOID* object);

constexpr DWORD RPC_C_AUTHN_NONE = 0;
constexpr DWORD RPC_C_AUTHN_WINNT = 10;
constexpr DWORD RPC_C_AUTHN_DEFAULT = 0xFFFFFFFF;
constexpr DWORD RPC_C_AUTHZ_NONE = 0;
constexpr DWORD RPC_C_AUTHN_LEVEL_DEFAULT = 0;
constexpr DWORD RPC_C_AUTHN_LEVEL_CALL = 3;
constexpr DWORD RPC_C_IMP_LEVEL_IDENTIFY = 2;
constexpr DWORD RPC_C_IMP_LEVEL_IMPERSONATE = 3;
constexpr DWORD EOAC_NONE = 0;

// Accepted for any object of this file; E_INVALIDARG for a null proxy.
HRESULT CoSetProxyBlanket(IUnknown* proxy, DWORD authn_service, DWORD authz_service,
                          OLECHAR* server_principal_name, DWORD authn_level, DWORD imp_level,
                          LPVOID auth_info, DWORD capabilities);

// WMI.

constexpr LONG WBEM_FLAG_RETURN_IMMEDIATELY = 0x10;
constexpr LONG WBEM_FLAG_FORWARD_ONLY = 0x20;
constexpr LONG WBEM_INFINITE = -1;

constexpr HRESULT WBEM_S_NO_ERROR = 0;
constexpr HRESULT WBEM_S_FALSE = 1;
constexpr HRESULT WBEM_E_FAILED = static_cast<HRESULT>(0x80041001);
constexpr HRESULT WBEM_E_NOT_FOUND = static_cast<HRESULT>(0x80041002);
constexpr HRESULT WBEM_E_INVALID_PARAMETER = static_cast<HRESULT>(0x80041008);
constexpr HRESULT WBEM_E_INVALID_NAMESPACE = static_cast<HRESULT>(0x8004100E);
constexpr HRESULT WBEM_E_INVALID_CLASS = static_cast<HRESULT>(0x80041010);
constexpr HRESULT WBEM_E_INVALID_QUERY = static_cast<HRESULT>(0x80041017);
constexpr HRESULT WBEM_E_INVALID_QUERY_TYPE = static_cast<HRESULT>(0x80041018);
constexpr HRESULT WBEM_E_LOCAL_CREDENTIALS = static_cast<HRESULT>(0x80041064);

using CIMTYPE = LONG;
constexpr CIMTYPE CIM_EMPTY = 0;
constexpr CIMTYPE CIM_SINT32 = 3;
constexpr CIMTYPE CIM_REAL64 = 5;
constexpr CIMTYPE CIM_STRING = 8;
constexpr CIMTYPE CIM_BOOLEAN = 11;
constexpr CIMTYPE CIM_SINT64 = 20;
constexpr CIMTYPE CIM_UINT64 = 21;

constexpr LONG WBEM_FLAVOR_ORIGIN_LOCAL = 0x0;

class IWbemContext;  // named contexts are not supported: pass null

class IWbemClassObject : public IUnknown {
 public:
  // One property, by case-insensitive name, into value (which the caller clears with
  // VariantClear): strings as VT_BSTR, 32-bit numbers as VT_I4, larger ones as decimal
  // VT_BSTR text (as WMI gives 64-bit values), booleans as VT_BOOL, null as VT_NULL.
  // WBEM_E_NOT_FOUND for a property the object does not have.
  virtual HRESULT Get(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE* type, LONG* flavor) = 0;

 protected:
  ~IWbemClassObject() = default;
};

class IEnumWbemClassObject : public IUnknown {
 public:
  // Up to count objects; WBEM_S_NO_ERROR when all count were returned, else WBEM_S_FALSE.
  virtual HRESULT Next(LONG timeout, ULONG count, IWbemClassObject** objects, ULONG* returned) = 0;

 protected:
  ~IEnumWbemClassObject() = default;
};

class IWbemServices : public IUnknown {
 public:
  // WQL "SELECT * FROM <class>" (keywords in any case, blanks between them).
  virtual HRESULT ExecQuery(const BSTR language, const BSTR query, LONG flags,
                            IWbemContext* context, IEnumWbemClassObject** result) = 0;

 protected:
  ~IWbemServices() = default;
};

class IWbemLocator : public IUnknown {
 public:
  // The local namespace "ROOT\CIMV2" (any case, optionally after "\\.\"). A user or
  // password fails with WBEM_E_LOCAL_CREDENTIALS, as for any local connection; locale,
  // authority and flags are accepted and ignored.
  virtual HRESULT ConnectServer(const BSTR network_resource, const BSTR user, const BSTR password,
                                const BSTR locale, LONG security_flags, const BSTR authority,
                                IWbemContext* context, IWbemServices** services) = 0;

 protected:
  ~IWbemLocator() = default;
};

// Live WMI objects of this process, to check that callers release what they get.
ULONG WbemObjectCount();

}  // namespace win32
