#include "stat/fingerprint.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

#include "base/strings.h"
#include "win32/errors.h"
#include "win32/handles.h"
#include "win32/io.h"
#include "win32/modules.h"
#include "win32/processes.h"
#include "win32/sysinfo.h"
#include "win32/toolhelp.h"
#include "win32/wmi.h"

namespace Kx {
namespace {

// A kernel handle that closes itself.
class ScopedHandle {
 public:
  ScopedHandle() = default;
  explicit ScopedHandle(win32::HANDLE handle) : handle_(handle) {}
  ~ScopedHandle() { Close(); }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  win32::HANDLE get() const { return handle_; }
  win32::HANDLE* receive() { return &handle_; }
  bool valid() const { return handle_ && handle_ != win32::INVALID_HANDLE_VALUE; }
  void Close() {
    if (valid()) win32::CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  win32::HANDLE handle_ = nullptr;
};

// A COM interface pointer that releases itself.
template <typename T>
class ScopedCom {
 public:
  ScopedCom() = default;
  ~ScopedCom() {
    if (p_) p_->Release();
  }
  ScopedCom(const ScopedCom&) = delete;
  ScopedCom& operator=(const ScopedCom&) = delete;
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T** receive() { return &p_; }
  void** receive_void() { return reinterpret_cast<void**>(&p_); }

 private:
  T* p_ = nullptr;
};

class ScopedBstr {
 public:
  explicit ScopedBstr(const char16_t* text) : text_(win32::SysAllocString(text)) {}
  ~ScopedBstr() { win32::SysFreeString(text_); }
  ScopedBstr(const ScopedBstr&) = delete;
  ScopedBstr& operator=(const ScopedBstr&) = delete;
  win32::BSTR get() const { return text_; }

 private:
  win32::BSTR text_;
};

struct FreeDeleter {
  void operator()(void* block) const { std::free(block); }
};

using RtlGetNtVersionNumbersFn = void (*)(win32::DWORD*, win32::DWORD*, win32::DWORD*);
using GlobalMemoryStatusExFn = win32::BOOL (*)(win32::LPMEMORYSTATUSEX);
using GetNativeSystemInfoFn = void (*)(win32::LPSYSTEM_INFO);

// RtlGetNtVersionNumbers of ntdll.dll; false when the library or the function is missing.
bool NtVersionNumbers(win32::DWORD* major, win32::DWORD* minor, win32::DWORD* build) {
  win32::HMODULE ntdll = win32::LoadLibraryW(u"ntdll.dll");
  if (!ntdll) return false;
  auto fn = reinterpret_cast<RtlGetNtVersionNumbersFn>(
      win32::GetProcAddress(ntdll, "RtlGetNtVersionNumbers"));
  if (fn) fn(major, minor, build);
  win32::FreeLibrary(ntdll);
  return fn != nullptr;
}

// StrStrIW: whether needle occurs in text, comparing upper-cased units.
bool ContainsNoCase(std::u16string text, std::u16string needle) {
  ToUpper(&text);
  ToUpper(&needle);
  return text.find(needle) != std::u16string::npos;
}

constexpr const char16_t* kVirtualMachineTools[] = {
    u"VBoxTray.exe",        u"VBoxService.exe", u"VMwareUser.exe", u"VMwareTray.exe",
    u"VMUpgradeHelper.exe", u"vmtoolsd.exe",    u"vmacthlp.exe",
};

bool VirtualMachineToolRunning() {
  ScopedHandle snapshot(win32::CreateToolhelp32Snapshot(win32::TH32CS_SNAPPROCESS, 0));
  if (!snapshot.valid()) return false;
  win32::PROCESSENTRY32W entry;
  std::memset(&entry, 0, sizeof entry);
  entry.dwSize = sizeof entry;
  // The first entry is the idle pseudo-process.
  if (!win32::Process32FirstW(snapshot.get(), &entry)) return false;
  while (win32::Process32NextW(snapshot.get(), &entry)) {
    for (const char16_t* tool : kVirtualMachineTools)
      if (CompareNoCase(entry.szExeFile, tool) == 0) return true;
  }
  return false;
}

// One property, as text, of the first instance of a class.
std::u16string FirstInstanceText(win32::IWbemServices* services, const char16_t* class_name,
                                 const char16_t* property) {
  ScopedBstr language(u"WQL");
  ScopedBstr query((std::u16string(u"SELECT * FROM ") + class_name).c_str());
  if (!language.get() || !query.get()) return std::u16string();
  ScopedCom<win32::IEnumWbemClassObject> enumerator;
  if (win32::FAILED(
          services->ExecQuery(language.get(), query.get(),
                              win32::WBEM_FLAG_FORWARD_ONLY | win32::WBEM_FLAG_RETURN_IMMEDIATELY,
                              nullptr, enumerator.receive())) ||
      !enumerator.get())
    return std::u16string();
  ScopedCom<win32::IWbemClassObject> object;
  win32::ULONG returned = 0;
  enumerator->Next(win32::WBEM_INFINITE, 1, object.receive(), &returned);
  if (returned == 0 || !object.get()) return std::u16string();
  win32::VARIANT value;
  win32::VariantInit(&value);
  std::u16string text;
  if (win32::SUCCEEDED(object->Get(property, 0, &value, nullptr, nullptr)) &&
      value.vt == win32::VT_BSTR && value.bstrVal)
    text.assign(value.bstrVal, win32::SysStringLen(value.bstrVal));
  win32::VariantClear(&value);
  return text;
}

// Whether WMI describes VMware hardware; any failing step counts as not.
bool WmiNamesVmware() {
  struct ComApartment {
    win32::HRESULT hr = win32::CoInitializeEx(nullptr, win32::COINIT_MULTITHREADED);
    ~ComApartment() {
      if (win32::SUCCEEDED(hr)) win32::CoUninitialize();
    }
  } apartment;
  std::u16string video, network, disk;
  {
    ScopedCom<win32::IWbemLocator> locator;
    if (win32::FAILED(win32::CoCreateInstance(win32::CLSID_WbemLocator, nullptr,
                                              win32::CLSCTX_INPROC_SERVER, win32::IID_IWbemLocator,
                                              locator.receive_void())) ||
        !locator.get())
      return false;
    ScopedBstr name_space(u"ROOT\\CIMV2");
    ScopedCom<win32::IWbemServices> services;
    if (!name_space.get() ||
        win32::FAILED(locator->ConnectServer(name_space.get(), nullptr, nullptr, nullptr, 0,
                                             nullptr, nullptr, services.receive())) ||
        !services.get())
      return false;
    if (win32::FAILED(win32::CoSetProxyBlanket(
            services.get(), win32::RPC_C_AUTHN_WINNT, win32::RPC_C_AUTHZ_NONE, nullptr,
            win32::RPC_C_AUTHN_LEVEL_CALL, win32::RPC_C_IMP_LEVEL_IMPERSONATE, nullptr,
            win32::EOAC_NONE)))
      return false;
    video = FirstInstanceText(services.get(), u"Win32_VideoController", u"Description");
    network = FirstInstanceText(services.get(), u"Win32_NetworkAdapter", u"Description");
    disk = FirstInstanceText(services.get(), u"Win32_DiskDrive", u"Model");
  }  // the objects go before COM is uninitialised
  for (const std::u16string* text : {&video, &network, &disk})
    if (ContainsNoCase(*text, u"VMware")) return true;
  return false;
}

}  // namespace

int32_t GetProcessorCount() {
  win32::SYSTEM_INFO info;
  std::memset(&info, 0, sizeof info);
  win32::GetSystemInfo(&info);
  return static_cast<int32_t>(info.dwNumberOfProcessors);
}

uint64_t GetTotalMemory() {
  static_assert(sizeof(win32::MEMORYSTATUSEX) == 64 && sizeof(win32::MEMORYSTATUS) == 32);
  if (win32::HMODULE kernel = win32::GetModuleHandleW(u"kernel32.dll")) {
    auto fn = reinterpret_cast<GlobalMemoryStatusExFn>(
        win32::GetProcAddress(kernel, "GlobalMemoryStatusEx"));
    win32::MEMORYSTATUSEX status;
    std::memset(&status, 0, sizeof status);
    status.dwLength = sizeof status;
    if (fn && fn(&status)) return status.ullTotalPhys;
  }
  win32::MEMORYSTATUS status;
  std::memset(&status, 0, sizeof status);
  status.dwLength = sizeof status;
  win32::GlobalMemoryStatus(&status);
  return status.dwTotalPhys;
}

std::u16string GetAdapterAddressText() {
  win32::ULONG size = 144;
  std::unique_ptr<void, FreeDeleter> block(std::malloc(size));
  if (!block) return std::u16string();
  win32::ULONG rc =
      win32::GetAdaptersAddresses(win32::AF_UNSPEC_FAMILY, 0, nullptr,
                                  static_cast<win32::PIP_ADAPTER_ADDRESSES>(block.get()), &size);
  if (rc == win32::ERROR_BUFFER_OVERFLOW) {
    block.reset(std::malloc(size));
    if (!block) return std::u16string();
  }
  auto* list = static_cast<win32::PIP_ADAPTER_ADDRESSES>(block.get());
  if (win32::GetAdaptersAddresses(win32::AF_UNSPEC_FAMILY, 0, nullptr, list, &size) !=
      win32::ERROR_SUCCESS)
    return std::u16string();
  for (const win32::IP_ADAPTER_ADDRESSES* a = list; a; a = a->Next) {
    if (a->PhysicalAddressLength != 6) continue;
    const win32::BYTE* m = a->PhysicalAddress;
    std::u16string text;
    FormatString(&text, u"%02X-%02X-%02X-%02X-%02X-%02X", m[0], m[1], m[2], m[3], m[4], m[5]);
    return text;
  }
  return std::u16string();
}

std::u16string GetProcessorIdText() {
  std::u16string text;
#if defined(__x86_64__) || defined(__i386__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  __cpuid(0, eax, ebx, ecx, edx);
  FormatString(&text, u"%08X%08X%08X", ebx, ecx, edx);
#endif
  return text;
}

std::u16string GetBiosSerialText() {
  constexpr win32::DWORD kWaitMs = 1000;
  constexpr win32::DWORD kReadLimit = 2048;
  constexpr std::string_view kHeader = "SerialNumber";

  win32::SECURITY_ATTRIBUTES attributes = {sizeof attributes, nullptr, win32::TRUE};
  ScopedHandle read_end, write_end;
  if (!win32::CreatePipe(read_end.receive(), write_end.receive(), &attributes, 0))
    return std::u16string();

  win32::STARTUPINFOW startup;
  std::memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags |= win32::STARTF_USESTDHANDLES | win32::STARTF_USESHOWWINDOW;
  startup.wShowWindow = win32::SW_HIDE;
  startup.hStdOutput = write_end.get();
  startup.hStdError = write_end.get();
  win32::PROCESS_INFORMATION info;
  std::memset(&info, 0, sizeof info);
  std::u16string command_line = u"wmic bios get SerialNumber";
  if (!win32::CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, win32::TRUE, 0,
                             nullptr, nullptr, &startup, &info))
    return std::u16string();
  ScopedHandle process(info.hProcess), thread(info.hThread);
  win32::WaitForSingleObject(process.get(), kWaitMs);
  // Only the child holds the write end now, so the read ends when it exits.
  write_end.Close();

  char buffer[kReadLimit + 1];
  std::memset(buffer, 0, sizeof buffer);
  win32::DWORD read = 0;
  if (!win32::ReadFile(read_end.get(), buffer, kReadLimit, &read, nullptr)) return std::u16string();
  std::string_view output(buffer, read);
  size_t header = output.find(kHeader);
  if (header == std::string_view::npos) return std::u16string();
  std::string serial;
  for (char c : output.substr(header + kHeader.size()))
    if (c != '\r' && c != '\n' && c != ' ') serial += c;
  return AnsiToWide(serial);
}

std::u16string GetOsName() {
  win32::DWORD major = 0, minor = 0, build = 0;
  if (!NtVersionNumbers(&major, &minor, &build)) return std::u16string();
  if (major == 10) return u"WIN10";
  if (major == 6) {
    switch (minor) {
      case 0:
        return u"WINVISTA";
      case 1:
        return u"WIN7";
      case 2:
        return u"WIN8";
      case 3:
        return u"WIN8.1";
      default:
        return u"WINUNKOWN";
    }
  }
  if (major == 5) {
    switch (minor) {
      case 0:
        return u"WIN2000";
      case 1:
        return u"WINXP";
      case 2:
        return u"WINXP64";
      default:
        return u"WINUNKOWN";
    }
  }
  return u"WINUNKOWN";
}

std::u16string GetOsVersionText() {
  win32::DWORD major = 0, minor = 0, build = 0;
  if (!NtVersionNumbers(&major, &minor, &build)) major = minor = build = 0;
  std::u16string text;
  FormatString(&text, u"%d.%d.%d", static_cast<int>(major), static_cast<int>(minor),
               static_cast<int>(build & 0xFFFF));
  return text;
}

int32_t Is64BitOs() {
  win32::SYSTEM_INFO info;
  std::memset(&info, 0, sizeof info);
  GetNativeSystemInfoFn fn = nullptr;
  if (win32::HMODULE kernel = win32::GetModuleHandleW(u"kernel32"))
    fn = reinterpret_cast<GetNativeSystemInfoFn>(
        win32::GetProcAddress(kernel, "GetNativeSystemInfo"));
  if (fn)
    fn(&info);
  else
    win32::GetSystemInfo(&info);
  return info.wProcessorArchitecture == win32::PROCESSOR_ARCHITECTURE_AMD64 ||
                 info.wProcessorArchitecture == win32::PROCESSOR_ARCHITECTURE_IA64
             ? 1
             : 0;
}

uint8_t IsVirtualMachine() {
  if (VirtualMachineToolRunning()) return 1;
  return WmiNamesVmware() ? 1 : 0;
}

std::u16string GetIeVersionText() { return std::u16string(); }

}  // namespace Kx
