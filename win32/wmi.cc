#include "win32/wmi.h"

#include <json/value.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "win32/machine.h"
#include "win32/unicode.h"

namespace win32 {

const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const CLSID CLSID_WbemLocator = {
    0x4590F811, 0x1D3A, 0x11D0, {0x89, 0x1F, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
const IID IID_IWbemLocator = {
    0xDC12A687, 0x737F, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
const IID IID_IWbemServices = {
    0x9556DC99, 0x828C, 0x11CF, {0xA3, 0x7E, 0x00, 0xAA, 0x00, 0x32, 0x40, 0xC7}};
const IID IID_IEnumWbemClassObject = {
    0x027947E1, 0xD731, 0x11CE, {0xA3, 0x57, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}};
const IID IID_IWbemClassObject = {
    0xDC12A681, 0x737F, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};

bool IsEqualGUID(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

// BSTR: a 32-bit byte count, then the units and a NUL; the pointer is to the units.

BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
  size_t bytes = sizeof(DWORD) + (static_cast<size_t>(length) + 1) * sizeof(OLECHAR);
  auto* block = static_cast<BYTE*>(std::malloc(bytes));
  if (!block) return nullptr;
  DWORD byte_count = length * static_cast<DWORD>(sizeof(OLECHAR));
  std::memcpy(block, &byte_count, sizeof byte_count);
  auto* units = reinterpret_cast<OLECHAR*>(block + sizeof(DWORD));
  if (text)
    std::memcpy(units, text, length * sizeof(OLECHAR));
  else
    std::memset(units, 0, length * sizeof(OLECHAR));
  units[length] = 0;
  return units;
}

BSTR SysAllocString(LPCOLESTR text) {
  if (!text) return nullptr;
  return SysAllocStringLen(text, static_cast<UINT>(WideLength(text)));
}

void SysFreeString(BSTR text) {
  if (text) std::free(reinterpret_cast<BYTE*>(text) - sizeof(DWORD));
}

UINT SysStringLen(BSTR text) {
  if (!text) return 0;
  DWORD byte_count;
  std::memcpy(&byte_count, reinterpret_cast<BYTE*>(text) - sizeof(DWORD), sizeof byte_count);
  return byte_count / sizeof(OLECHAR);
}

void VariantInit(VARIANT* value) {
  if (!value) return;
  std::memset(value, 0, sizeof *value);
  value->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANT* value) {
  if (!value) return E_INVALIDARG;
  if (value->vt == VT_BSTR)
    SysFreeString(value->bstrVal);
  else if (value->vt == VT_UNKNOWN && value->punkVal)
    value->punkVal->Release();
  VariantInit(value);
  return S_OK;
}

namespace {

// COM apartments, per thread.
struct ComThread {
  int count = 0;
  DWORD model = 0;
};
thread_local ComThread t_com;

std::atomic<ULONG> g_objects{0};

// Reference counting and QueryInterface for one interface.
template <typename Interface>
class ComObject : public Interface {
 public:
  explicit ComObject(const IID& iid) : iid_(iid) { ++g_objects; }
  virtual ~ComObject() { --g_objects; }
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, iid_)) {
      AddRef();
      *object = static_cast<Interface*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

 private:
  const IID& iid_;
  std::atomic<ULONG> refs_{1};
};

std::u16string Text(const OLECHAR* text) { return text ? std::u16string(text) : std::u16string(); }

Json::Value Instances(std::initializer_list<std::pair<const char*, const char*>> properties) {
  Json::Value object(Json::objectValue);
  for (const auto& [name, value] : properties) object[name] = value;
  Json::Value list(Json::arrayValue);
  list.append(object);
  return list;
}

// What a physical desktop answers.
Json::Value DefaultClasses(const Json::Value& config) {
  Json::Value classes(Json::objectValue);
  classes["Win32_VideoController"] = Instances(
      {{"Description", "Intel(R) UHD Graphics 630"}, {"Name", "Intel(R) UHD Graphics 630"}});
  classes["Win32_NetworkAdapter"] =
      Instances({{"Description", "Intel(R) Ethernet Connection (7) I219-V"},
                 {"Name", "Intel(R) Ethernet Connection (7) I219-V"}});
  classes["Win32_DiskDrive"] = Instances(
      {{"Model", "Samsung SSD 970 EVO Plus 1TB"}, {"Caption", "Samsung SSD 970 EVO Plus 1TB"}});
  std::string serial = config.get("bios_serial", "PF2XK3LM").asString();
  classes["Win32_BIOS"] = Instances({{"SerialNumber", serial.c_str()}, {"Manufacturer", "LENOVO"}});
  return classes;
}

// The instances of a listed class (case-insensitive name); false when it is not listed.
bool FindIn(const Json::Value& classes, const std::u16string& name, Json::Value* instances) {
  if (!classes.isObject()) return false;
  for (const std::string& member : classes.getMemberNames()) {
    if (!EqualsNoCase(FromUtf8(member), name)) continue;
    const Json::Value& list = classes[member];
    *instances = list.isArray() ? list : Json::Value(Json::arrayValue);
    return true;
  }
  return false;
}

// The machine's answer for a class, else the default one; false when the class does not exist.
bool FindClass(const std::u16string& name, Json::Value* instances) {
  Machine* m = CurrentMachine();
  Json::Value config = m ? m->Config() : Json::Value(Json::objectValue);
  return FindIn(config["wmi"], name, instances) || FindIn(DefaultClasses(config), name, instances);
}

class ClassObject : public ComObject<IWbemClassObject> {
 public:
  explicit ClassObject(Json::Value properties)
      : ComObject(IID_IWbemClassObject), properties_(std::move(properties)) {}

  HRESULT Get(LPCWSTR name, LONG, VARIANT* value, CIMTYPE* type, LONG* flavor) override {
    if (!name) return WBEM_E_INVALID_PARAMETER;
    if (!properties_.isObject()) return WBEM_E_NOT_FOUND;
    for (const std::string& member : properties_.getMemberNames()) {
      if (!EqualsNoCase(FromUtf8(member), name)) continue;
      const Json::Value& v = properties_[member];
      VARIANT out;
      VariantInit(&out);
      CIMTYPE cim = CIM_STRING;
      if (v.isNull()) {
        out.vt = VT_NULL;
      } else if (v.isBool()) {
        out.vt = VT_BOOL;
        out.boolVal = v.asBool() ? VARIANT_TRUE : VARIANT_FALSE;
        cim = CIM_BOOLEAN;
      } else if (v.isInt()) {
        out.vt = VT_I4;
        out.lVal = v.asInt();
        cim = CIM_SINT32;
      } else if (v.isInt64() || v.isUInt64()) {
        // JSON has no width: a negative value is taken as sint64, others as uint64.
        bool negative = v.isInt64() && v.asInt64() < 0;
        std::string digits = negative ? std::to_string(v.asInt64()) : std::to_string(v.asUInt64());
        std::u16string wide = FromUtf8(digits);
        out.vt = VT_BSTR;
        out.bstrVal = SysAllocString(wide.c_str());
        cim = negative ? CIM_SINT64 : CIM_UINT64;
        if (!out.bstrVal) return E_OUTOFMEMORY;
      } else if (v.isDouble()) {
        out.vt = VT_R8;
        out.dblVal = v.asDouble();
        cim = CIM_REAL64;
      } else if (v.isString()) {
        std::u16string wide = FromUtf8(v.asString());
        out.vt = VT_BSTR;
        out.bstrVal = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
        if (!out.bstrVal) return E_OUTOFMEMORY;
      } else {
        return WBEM_E_NOT_FOUND;  // arrays and objects are not properties of these classes
      }
      if (type) *type = cim;
      if (flavor) *flavor = WBEM_FLAVOR_ORIGIN_LOCAL;
      if (value)
        *value = out;
      else
        VariantClear(&out);
      return WBEM_S_NO_ERROR;
    }
    return WBEM_E_NOT_FOUND;
  }

 private:
  Json::Value properties_;
};

class Enumerator : public ComObject<IEnumWbemClassObject> {
 public:
  explicit Enumerator(Json::Value instances)
      : ComObject(IID_IEnumWbemClassObject), instances_(std::move(instances)) {}

  HRESULT Next(LONG, ULONG count, IWbemClassObject** objects, ULONG* returned) override {
    if (!objects || !returned) return WBEM_E_INVALID_PARAMETER;
    ULONG n = 0;
    for (; n < count; ++n) {
      Json::ArrayIndex index = next_.fetch_add(1);
      if (index >= instances_.size()) break;
      objects[n] = new ClassObject(instances_[index]);
    }
    *returned = n;
    return n == count ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
  }

 private:
  const Json::Value instances_;
  std::atomic<Json::ArrayIndex> next_{0};
};

// "SELECT * FROM <class>" into the class name.
bool ParseQuery(const std::u16string& query, std::u16string* class_name) {
  std::vector<std::u16string> words;
  size_t i = 0;
  while (i < query.size()) {
    while (i < query.size() &&
           (query[i] == u' ' || query[i] == u'\t' || query[i] == u'\r' || query[i] == u'\n'))
      ++i;
    size_t start = i;
    while (i < query.size() && query[i] != u' ' && query[i] != u'\t' && query[i] != u'\r' &&
           query[i] != u'\n')
      ++i;
    if (i > start) words.push_back(query.substr(start, i - start));
  }
  if (words.size() != 4 || !EqualsNoCase(words[0], u"SELECT") || words[1] != u"*" ||
      !EqualsNoCase(words[2], u"FROM"))
    return false;
  *class_name = words[3];
  return true;
}

class Services : public ComObject<IWbemServices> {
 public:
  Services() : ComObject(IID_IWbemServices) {}

  HRESULT ExecQuery(const BSTR language, const BSTR query, LONG, IWbemContext*,
                    IEnumWbemClassObject** result) override {
    if (!result) return WBEM_E_INVALID_PARAMETER;
    *result = nullptr;
    if (!language || !query) return WBEM_E_INVALID_PARAMETER;
    if (!EqualsNoCase(Text(language), u"WQL")) return WBEM_E_INVALID_QUERY_TYPE;
    std::u16string class_name;
    if (!ParseQuery(Text(query), &class_name)) return WBEM_E_INVALID_QUERY;
    Json::Value instances;
    if (!FindClass(class_name, &instances)) return WBEM_E_INVALID_CLASS;
    *result = new Enumerator(std::move(instances));
    return WBEM_S_NO_ERROR;
  }
};

class Locator : public ComObject<IWbemLocator> {
 public:
  Locator() : ComObject(IID_IWbemLocator) {}

  HRESULT ConnectServer(const BSTR network_resource, const BSTR user, const BSTR password,
                        const BSTR, LONG, const BSTR, IWbemContext*,
                        IWbemServices** services) override {
    if (!services) return WBEM_E_INVALID_PARAMETER;
    *services = nullptr;
    std::u16string name = Text(network_resource);
    if (name.rfind(u"\\\\.\\", 0) == 0) name = name.substr(4);
    if (!EqualsNoCase(name, u"ROOT\\CIMV2")) return WBEM_E_INVALID_NAMESPACE;
    if ((user && *user) || (password && *password)) return WBEM_E_LOCAL_CREDENTIALS;
    Machine* m = CurrentMachine();
    if (m) {
      Json::Value config = m->Config();
      if (config["wmi"].isBool() && !config["wmi"].asBool()) return HRESULT_SERVICE_DISABLED;
    }
    *services = new Services();
    return WBEM_S_NO_ERROR;
  }
};

}  // namespace

HRESULT CoInitializeEx(LPVOID, DWORD co_init) {
  DWORD model = co_init & COINIT_APARTMENTTHREADED;
  if (t_com.count > 0 && t_com.model != model) return RPC_E_CHANGED_MODE;
  t_com.model = model;
  return t_com.count++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize() {
  if (t_com.count > 0) --t_com.count;
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid,
                         LPVOID* object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (t_com.count == 0) return CO_E_NOTINITIALIZED;
  if (!IsEqualGUID(clsid, CLSID_WbemLocator) || !(context & CLSCTX_INPROC_SERVER))
    return REGDB_E_CLASSNOTREG;
  if (outer) return CLASS_E_NOAGGREGATION;
  auto* locator = new Locator();
  HRESULT hr = locator->QueryInterface(iid, object);
  locator->Release();
  return hr;
}

HRESULT CoSetProxyBlanket(IUnknown* proxy, DWORD, DWORD, OLECHAR*, DWORD, DWORD, LPVOID, DWORD) {
  return proxy ? S_OK : E_INVALIDARG;
}

ULONG WbemObjectCount() { return g_objects.load(); }

}  // namespace win32
