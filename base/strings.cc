#include "base/strings.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "base/text_converter.h"
#include "win32/crt.h"
#include "win32/nls.h"

namespace Kx {
namespace {

// Encoding identifiers of the text converter.
constexpr int kUtf8Id = 6;
constexpr int kUcs2BeId = 8;
constexpr int kUcs2LeId = 9;
constexpr int kUtf32BeId = 11;
constexpr int kUtf32LeId = 12;

constexpr size_t kFirstFormatBuffer = 1024;
constexpr int kFormatRetries = 1024;

// The source encoding that WideToUtf8 reads from the first bytes of a UTF-16LE buffer.
int SourceEncodingOf(const unsigned char* b, size_t size) {
  if (size >= 4 && b[0] == 0xFF && b[1] == 0xFE && b[2] == 0 && b[3] == 0) return kUtf32LeId;
  if (size >= 2 && b[0] == 0xFF && b[1] == 0xFE) return kUcs2LeId;
  if (size >= 2 && b[0] == 0xFE && b[1] == 0xFF) return kUcs2BeId;
  if (size >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) return kUtf8Id;
  if (size >= 4 && b[0] == 0 && b[1] == 0 && b[2] == 0xFE && b[3] == 0xFF) return kUtf32BeId;
  return kUcs2LeId;
}

bool InSet(char16_t unit, const char16_t* set) {
  for (; *set; ++set)
    if (*set == unit) return true;
  return false;
}

bool IsUnicodePage(win32::UINT code_page) {
  if (code_page == win32::CP_ACP || code_page == win32::CP_THREAD_ACP)
    code_page = win32::GetACP();
  else if (code_page == win32::CP_OEMCP)
    code_page = win32::GetOEMCP();
  return code_page == win32::CP_UTF7 || code_page == win32::CP_UTF8;
}

}  // namespace

bool Utf8ToWide(const char* data, size_t size, std::u16string* out) {
  if (!data || size == 0 || !out || size > UINT32_MAX) return false;
  KxTextConverter converter;
  if (!converter.Open(kUcs2LeId, kUtf8Id)) return false;
  KxDynamicBuffer<char> buffer;
  if (converter.Convert(data, static_cast<uint32_t>(size), &buffer) != 0) return false;
  std::u16string text;
  const char* bytes = buffer.data();
  for (uint32_t i = 0; i + 1 < buffer.length(); i += 2) {
    const char16_t unit = static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                                (static_cast<unsigned char>(bytes[i + 1]) << 8));
    if (unit == 0) break;
    text.push_back(unit);
  }
  *out = std::move(text);
  return true;
}

bool WideToUtf8(const char16_t* data, size_t size, std::string* out) {
  if (!data || size == 0 || !out || size > UINT32_MAX / 2) return false;
  const auto* bytes = reinterpret_cast<const unsigned char*>(data);
  KxTextConverter converter;
  if (!converter.Open(kUtf8Id, SourceEncodingOf(bytes, size * 2))) return false;
  KxDynamicBuffer<char> buffer;
  if (converter.Convert(reinterpret_cast<const char*>(data), static_cast<uint32_t>(size * 2),
                        &buffer) != 0)
    return false;
  const char* text = buffer.data();
  size_t length = 0;
  while (length < buffer.length() && text[length]) ++length;
  out->assign(text ? text : "", length);
  return true;
}

std::u16string AnsiToWide(std::string_view text, win32::UINT code_page) {
  if (text.empty() || text.size() > static_cast<size_t>(INT_MAX)) return std::u16string();
  return AnsiToWide(text.data(), static_cast<int>(text.size()), code_page);
}

std::u16string AnsiToWide(const char* data, int size, win32::UINT code_page) {
  if (!data || size == 0) return std::u16string();
  const int needed = win32::MultiByteToWideChar(code_page, 0, data, size, nullptr, 0);
  if (needed <= 0) return std::u16string();
  std::u16string text(static_cast<size_t>(needed), u'\0');
  const int written = win32::MultiByteToWideChar(code_page, 0, data, size, text.data(), needed);
  if (written <= 0 || written > needed) return std::u16string();
  text.resize(static_cast<size_t>(written));
  // With a negative size the terminator was converted too.
  if (size < 0 && !text.empty() && text.back() == u'\0') text.pop_back();
  return text;
}

std::string WideToAnsi(std::u16string_view text, win32::UINT code_page) {
  if (text.empty() || text.size() > static_cast<size_t>(INT_MAX)) return std::string();
  const int units = static_cast<int>(text.size());
  // UTF-7 and UTF-8 refuse a default character (and need none).
  const char* default_char = IsUnicodePage(code_page) ? nullptr : "_";
  const int needed = win32::WideCharToMultiByte(code_page, 0, text.data(), units, nullptr, 0,
                                                default_char, nullptr);
  if (needed <= 0) return std::string();
  std::string bytes(static_cast<size_t>(needed), '\0');
  const int written = win32::WideCharToMultiByte(code_page, 0, text.data(), units, bytes.data(),
                                                 needed, default_char, nullptr);
  if (written <= 0) return std::string();
  bytes.resize(static_cast<size_t>(written));
  return bytes;
}

void FormatString(std::u16string* destination, const char16_t* format, ...) {
  va_list args;
  va_start(args, format);
  FormatStringV(destination, format, args);
  va_end(args);
}

void FormatStringV(std::u16string* destination, const char16_t* format, va_list args) {
  if (!destination || !format || !*format) return;
  char16_t local[kFirstFormatBuffer];
  va_list copy;
  va_copy(copy, args);
  errno = 0;
  int written = win32::vsnwprintf(local, kFirstFormatBuffer, format, copy);
  va_end(copy);
  if (written >= 0) {
    destination->assign(local, static_cast<size_t>(written));
    return;
  }
  if (errno == EINVAL) {
    destination->clear();
    return;
  }
  // Double the buffer until the text fits; stop where the size could not be returned.
  size_t size = kFirstFormatBuffer;
  for (int attempt = 0; attempt < kFormatRetries && size <= static_cast<size_t>(INT_MAX) / 2;
       ++attempt) {
    size *= 2;
    std::unique_ptr<char16_t[]> buffer(new (std::nothrow) char16_t[size]);
    if (!buffer) break;
    va_copy(copy, args);
    errno = 0;
    written = win32::vsnwprintf(buffer.get(), size, format, copy);
    va_end(copy);
    if (written >= 0) {
      destination->assign(buffer.get(), static_cast<size_t>(written));
      return;
    }
    if (errno == EINVAL) break;
  }
  destination->clear();
}

void TrimLeft(std::u16string* text, const char16_t* set) {
  if (!text || !set || text->empty()) return;
  size_t start = 0;
  while (start < text->size() && InSet((*text)[start], set)) ++start;
  text->erase(0, start);
}

void TrimRight(std::u16string* text, const char16_t* set) {
  if (!text || !set || text->empty()) return;
  size_t end = text->size();
  while (end > 0 && InSet((*text)[end - 1], set)) --end;
  text->resize(end);
}

void Trim(std::u16string* text, const char16_t* set) {
  TrimRight(text, set);
  TrimLeft(text, set);
}

std::u16string CollapseSpaces(std::u16string_view text) {
  std::u16string result;
  result.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i)
    if (!(text[i] == u' ' && i > 0 && text[i - 1] == u' ')) result.push_back(text[i]);
  Trim(&result, kWhiteSpaceSet);
  return result;
}

void ToLower(std::u16string* text) {
  if (!text) return;
  for (char16_t& unit : *text) unit = win32::towlower(unit);
}

void ToUpper(std::u16string* text) {
  if (!text) return;
  for (char16_t& unit : *text) unit = win32::towupper(unit);
}

int CompareNoCase(const char16_t* a, const char16_t* b) {
  if (!a) a = u"";
  if (!b) b = u"";
  for (size_t i = 0;; ++i) {
    const int ua = win32::towupper(a[i]);
    const int ub = win32::towupper(b[i]);
    if (ua != ub) return ua - ub;
    if (a[i] == 0) return 0;
  }
}

int CompareNoCase(std::u16string_view a, std::u16string_view b) {
  const size_t longer = a.size() > b.size() ? a.size() : b.size();
  for (size_t i = 0; i < longer; ++i) {
    const char16_t ca = i < a.size() ? a[i] : u'\0';
    const char16_t cb = i < b.size() ? b[i] : u'\0';
    const int ua = win32::towupper(ca);
    const int ub = win32::towupper(cb);
    if (ua != ub) return ua - ub;
    if (ca == 0) return 0;
  }
  return 0;
}

int CompareNoCase(std::string_view a, std::string_view b) {
  auto upper = [](unsigned char c) { return c >= 'a' && c <= 'z' ? c - 32 : c; };
  const size_t longer = a.size() > b.size() ? a.size() : b.size();
  for (size_t i = 0; i < longer; ++i) {
    const unsigned char ca = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
    const unsigned char cb = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
    const int ua = upper(ca);
    const int ub = upper(cb);
    if (ua != ub) return ua - ub;
    if (ca == 0) return 0;
  }
  return 0;
}

void ReplaceAll(std::u16string* text, const char16_t* pattern, const char16_t* replacement) {
  if (!pattern || !replacement) return;
  ReplaceAll(text, std::u16string_view(pattern), std::u16string_view(replacement));
}

void ReplaceAll(std::u16string* text, std::u16string_view pattern,
                std::u16string_view replacement) {
  if (!text || pattern.empty()) return;
  std::u16string result;
  size_t from = 0;
  for (size_t at = text->find(pattern); at != std::u16string::npos;
       at = text->find(pattern, from)) {
    result.append(*text, from, at - from);
    result.append(replacement);
    from = at + pattern.size();
  }
  if (from == 0) return;
  result.append(*text, from, std::u16string::npos);
  *text = std::move(result);
}

std::u16string Left(std::u16string_view text, int n) {
  if (n <= 0) return std::u16string();
  return std::u16string(text.substr(0, static_cast<size_t>(n)));
}

std::u16string Mid(std::u16string_view text, int start, int count) {
  if (start < 0 || static_cast<size_t>(start) >= text.size() || count <= 0) return std::u16string();
  return std::u16string(text.substr(static_cast<size_t>(start), static_cast<size_t>(count)));
}

std::u16string UInt64ToString(uint64_t value) {
  char16_t digits[20];
  size_t count = 0;
  do {
    digits[count++] = static_cast<char16_t>(u'0' + value % 10);
    value /= 10;
  } while (value);
  std::u16string text;
  while (count) text.push_back(digits[--count]);
  return text;
}

std::u16string UIntToString(uint32_t value) { return UInt64ToString(value); }

std::u16string IntToString(int32_t value) {
  if (value >= 0) return UInt64ToString(static_cast<uint64_t>(value));
  return u"-" + UInt64ToString(0 - static_cast<uint64_t>(static_cast<int64_t>(value)));
}

std::u16string ToHex8(uint32_t value) {
  static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
  std::u16string text(8, u'0');
  for (int i = 7; i >= 0; --i, value >>= 4) text[static_cast<size_t>(i)] = kDigits[value & 0xF];
  return text;
}

uint64_t ParseUInt64(const char16_t* text, const char16_t** end) {
  uint64_t value = 0;
  const char16_t* p = text;
  if (p) {
    for (; *p >= u'0' && *p <= u'9'; ++p) value = value * 10 + static_cast<uint64_t>(*p - u'0');
  }
  if (end) *end = p;
  return value;
}

}  // namespace Kx
