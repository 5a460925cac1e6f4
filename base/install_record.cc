#include "base/install_record.h"

#include "base/path.h"
#include "base/registry.h"
#include "base/strings.h"

namespace Kx {
namespace {

constexpr char16_t kRecordFormat[] = u"%s%s";
constexpr char16_t kRecordBase[] = u"SoftWare\\ovapp\\";

std::u16string RecordKey(std::u16string_view product) {
  std::u16string key;
  std::u16string p(product);
  FormatString(&key, kRecordFormat, kRecordBase, p.c_str());
  return key;
}

std::u16string Value(std::u16string_view product, std::u16string_view name) {
  std::u16string text;
  ReadInstallValue(product, name, &text);
  return text;
}

}  // namespace

bool ReadInstallValue(std::u16string_view product, std::u16string_view name, std::u16string* text) {
  if (product.empty() || name.empty()) return false;
  return RegReadText(win32::HKEY_CURRENT_USER, RecordKey(product), name, text, kRegistryView32);
}

bool WriteInstallValue(std::u16string_view product, std::u16string_view name,
                       std::u16string_view text) {
  if (product.empty() || name.empty()) return false;
  return RegWriteText(win32::HKEY_CURRENT_USER, RecordKey(product), name, text, kRegistryView32);
}

std::u16string GetInstallPath(std::u16string_view product) { return Value(product, u"installpath"); }
std::u16string GetInstallRoot(std::u16string_view product) { return Value(product, u"installroot"); }
std::u16string GetInstallDate(std::u16string_view product) { return Value(product, u"installDate"); }
std::u16string GetInstallChannel(std::u16string_view product) { return Value(product, u"ch"); }
std::u16string GetInstallVersion(std::u16string_view product) { return Value(product, u"ver"); }
std::u16string GetInstallPid(std::u16string_view product) { return Value(product, u"pid"); }
std::u16string GetInstallPch(std::u16string_view product) { return Value(product, u"pch"); }
std::u16string GetInstallUpd(std::u16string_view product) { return Value(product, u"upd"); }

void GetSharedProductList(std::u16string_view product, std::vector<std::u16string>* list) {
  list->clear();
  std::u16string text = Value(product, u"sz");
  size_t start = 0;
  while (start < text.size()) {
    size_t comma = text.find(u',', start);
    if (comma == std::u16string::npos) {
      list->push_back(text.substr(start));
      break;
    }
    list->push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
}

bool RemoveSharedProduct(std::u16string_view product, std::u16string_view id) {
  if (id.empty()) return true;
  std::vector<std::u16string> list;
  GetSharedProductList(product, &list);
  auto it = list.begin();
  while (it != list.end() && *it != id) ++it;
  if (it == list.end()) return true;
  list.erase(it);
  std::u16string joined;
  for (const std::u16string& item : list) {
    if (!joined.empty()) joined += u',';
    joined += item;
  }
  WriteInstallValue(product, u"sz", joined);
  return true;
}

bool IsProductPresent(std::u16string_view id) {
  if (id.empty()) return false;
  std::u16string path = GetInstallPath(id);
  return !path.empty() && PathExists(path) && !IsPathEmpty(path);
}

bool DeleteInstallRecord(std::u16string_view product) {
  return RegDeleteTree(win32::HKEY_CURRENT_USER, RecordKey(product));
}

}  // namespace Kx
