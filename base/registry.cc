#include "base/registry.h"

#include <cstring>
#include <vector>

#include "base/strings.h"

namespace Kx {
namespace {

constexpr win32::DWORD kMaxValueSize = 0xA00000;

win32::REGSAM ViewFlag(RegistryView view) {
  return view == kRegistryView32 ? win32::KEY_WOW64_32KEY : win32::KEY_WOW64_64KEY;
}

uint64_t LittleEndian(const unsigned char* data, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | data[i];
  return v;
}

}  // namespace

bool RegReadText(win32::HKEY root, std::u16string_view key_path, std::u16string_view value_name,
                 std::u16string* text, RegistryView view) {
  if (key_path.empty() || !text) return false;
  ScopedKey key;
  std::u16string path(key_path), name(value_name);
  if (win32::RegOpenKeyExW(root, path.c_str(), 0, win32::KEY_QUERY_VALUE | ViewFlag(view),
                           key.receive()) != win32::ERROR_SUCCESS)
    return false;
  win32::DWORD type = 0, size = 0;
  if (win32::RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, nullptr, &size) !=
          win32::ERROR_SUCCESS ||
      size > kMaxValueSize)
    return false;
  std::vector<unsigned char> buffer(size ? size : 1, 0);
  if (win32::RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, buffer.data(), &size) !=
      win32::ERROR_SUCCESS)
    return false;
  switch (type) {
    case win32::REG_SZ:
    case win32::REG_EXPAND_SZ: {
      std::u16string value;
      for (win32::DWORD i = 0; i + 1 < size; i += 2) {
        char16_t unit = static_cast<char16_t>(buffer[i] | (buffer[i + 1] << 8));
        if (unit == 0) break;
        value += unit;
      }
      *text = std::move(value);
      return true;
    }
    case win32::REG_DWORD:
      if (size < 4) return false;
      *text = UIntToString(static_cast<uint32_t>(LittleEndian(buffer.data(), 4)));
      return true;
    case win32::REG_QWORD:
      if (size < 8) return false;
      *text = UInt64ToString(LittleEndian(buffer.data(), 8));
      return true;
    default:
      return false;
  }
}

bool RegWriteText(win32::HKEY root, std::u16string_view key_path, std::u16string_view value_name,
                  std::u16string_view text, RegistryView view) {
  if (key_path.empty()) return false;
  ScopedKey key;
  std::u16string path(key_path), name(value_name);
  if (win32::RegCreateKeyExW(root, path.c_str(), 0, nullptr, win32::REG_OPTION_NON_VOLATILE,
                             win32::KEY_WRITE | ViewFlag(view), nullptr, key.receive(),
                             nullptr) != win32::ERROR_SUCCESS)
    return false;
  std::vector<unsigned char> data((text.size() + 1) * 2, 0);
  for (size_t i = 0; i < text.size(); ++i) {
    data[2 * i] = static_cast<unsigned char>(text[i] & 0xFF);
    data[2 * i + 1] = static_cast<unsigned char>(text[i] >> 8);
  }
  return win32::RegSetValueExW(key.get(), name.c_str(), 0, win32::REG_SZ, data.data(),
                               static_cast<win32::DWORD>(data.size())) == win32::ERROR_SUCCESS;
}

bool RegDeleteTree(win32::HKEY root, std::u16string_view key_path) {
  if (key_path.empty()) return false;
  std::u16string path(key_path);
  return win32::SHDeleteKeyW(root, path.c_str()) == win32::ERROR_SUCCESS;
}

}  // namespace Kx
