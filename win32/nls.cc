#include "win32/nls.h"

#include <errno.h>
#include <iconv.h>

#include <array>
#include <bit>
#include <climits>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "win32/machine.h"

namespace win32 {
namespace {

static_assert(std::endian::native == std::endian::little,
              "UTF-16LE buffers are read as native char16_t");

constexpr UINT kDefaultAnsiCodePage = 936;
constexpr char16_t kReplacement = 0xFFFD;
constexpr char16_t kQuestionMark = u'?';

enum class Kind { kUtf8, kUtf7, kSingleByte, kMultiByte };

struct CodePage {
  UINT number;
  Kind kind;
  const char* iconv_name;
};

constexpr CodePage kPages[] = {
    {65001, Kind::kUtf8, nullptr},        {65000, Kind::kUtf7, "UTF-7"},
    {932, Kind::kMultiByte, "CP932"},     {936, Kind::kMultiByte, "CP936"},
    {949, Kind::kMultiByte, "CP949"},     {950, Kind::kMultiByte, "CP950"},
    {54936, Kind::kMultiByte, "GB18030"}, {437, Kind::kSingleByte, "CP437"},
    {737, Kind::kSingleByte, "CP737"},    {775, Kind::kSingleByte, "CP775"},
    {850, Kind::kSingleByte, "CP850"},    {852, Kind::kSingleByte, "CP852"},
    {855, Kind::kSingleByte, "CP855"},    {857, Kind::kSingleByte, "CP857"},
    {858, Kind::kSingleByte, "CP858"},    {862, Kind::kSingleByte, "CP862"},
    {866, Kind::kSingleByte, "CP866"},    {874, Kind::kSingleByte, "CP874"},
    {1250, Kind::kSingleByte, "CP1250"},  {1251, Kind::kSingleByte, "CP1251"},
    {1252, Kind::kSingleByte, "CP1252"},  {1253, Kind::kSingleByte, "CP1253"},
    {1254, Kind::kSingleByte, "CP1254"},  {1255, Kind::kSingleByte, "CP1255"},
    {1256, Kind::kSingleByte, "CP1256"},  {1257, Kind::kSingleByte, "CP1257"},
    {1258, Kind::kSingleByte, "CP1258"},  {28591, Kind::kSingleByte, "ISO-8859-1"},
};
constexpr size_t kPageCount = sizeof(kPages) / sizeof(kPages[0]);

// The OEM page Windows installs beside each ANSI page.
struct OemPair {
  UINT ansi;
  UINT oem;
};
constexpr OemPair kOemPages[] = {
    {932, 932},  {936, 936},  {949, 949},   {950, 950},     {54936, 936}, {874, 874},
    {1250, 852}, {1251, 866}, {1252, 437},  {1253, 737},    {1254, 857},  {1255, 862},
    {1256, 720}, {1257, 775}, {1258, 1258}, {65001, 65001},
};

// Opening and closing descriptors loads and unloads glibc's converter modules; doing it
// under one lock keeps that loading visibly ordered between threads (ThreadSanitizer does
// not see the loader's own lock).
std::mutex& IconvOpenMutex() {
  static std::mutex* mutex = new std::mutex();
  return *mutex;
}

// An iconv descriptor that closes itself.
class Iconv {
 public:
  Iconv(const char* to, const char* from) {
    std::lock_guard<std::mutex> lock(IconvOpenMutex());
    cd_ = ::iconv_open(to, from);
  }
  ~Iconv() {
    if (!ok()) return;
    std::lock_guard<std::mutex> lock(IconvOpenMutex());
    ::iconv_close(cd_);
  }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }
  void Reset() { ::iconv(cd_, nullptr, nullptr, nullptr, nullptr); }

 private:
  iconv_t cd_;
};

// A single-byte page as two tables, built once from iconv.
struct SingleByteTable {
  std::array<char16_t, 256> to_unicode{};
  std::array<bool, 256> defined{};
  std::vector<int16_t> from_unicode = std::vector<int16_t>(0x10000, -1);
};

struct PageState {
  std::once_flag once;
  bool available = false;
  std::unique_ptr<SingleByteTable> table;
};

std::unique_ptr<SingleByteTable> BuildSingleByteTable(const char* name) {
  Iconv cd("UTF-16LE", name);
  if (!cd.ok()) return nullptr;
  auto table = std::make_unique<SingleByteTable>();
  for (int b = 0; b < 256; ++b) {
    char in_byte = static_cast<char>(b);
    char16_t unit = 0;
    char* in = &in_byte;
    size_t in_left = 1;
    char* out = reinterpret_cast<char*>(&unit);
    size_t out_left = sizeof(unit);
    cd.Reset();
    if (::iconv(cd.get(), &in, &in_left, &out, &out_left) != static_cast<size_t>(-1) &&
        in_left == 0 && out_left == 0) {
      table->to_unicode[b] = unit;
      table->defined[b] = true;
    } else if (b >= 0x80 && b <= 0x9F) {
      table->to_unicode[b] = static_cast<char16_t>(b);
      table->defined[b] = true;
    }
  }
  // Walk down so that the lowest byte wins when two bytes share a character.
  for (int b = 255; b >= 0; --b)
    if (table->defined[b]) table->from_unicode[table->to_unicode[b]] = static_cast<int16_t>(b);
  return table;
}

PageState* StateOf(const CodePage& page) {
  static std::array<PageState, kPageCount> states;
  const size_t index = static_cast<size_t>(&page - kPages);
  PageState& state = states[index];
  std::call_once(state.once, [&page, &state] {
    switch (page.kind) {
      case Kind::kUtf8:
        state.available = true;
        break;
      case Kind::kUtf7:
      case Kind::kMultiByte: {
        Iconv decode("UTF-16LE", page.iconv_name);
        Iconv encode(page.iconv_name, "UTF-16LE");
        state.available = decode.ok() && encode.ok();
        break;
      }
      case Kind::kSingleByte:
        state.table = BuildSingleByteTable(page.iconv_name);
        state.available = state.table != nullptr;
        break;
    }
  });
  return &state;
}

UINT ResolveCodePage(UINT code_page) {
  switch (code_page) {
    case CP_ACP:
    case CP_THREAD_ACP:
      return GetACP();
    case CP_OEMCP:
      return GetOEMCP();
    default:
      return code_page;
  }
}

// The supported page of a code page number, null when there is none.
const CodePage* FindPage(UINT number) {
  for (const CodePage& page : kPages)
    if (page.number == number) return StateOf(page)->available ? &page : nullptr;
  return nullptr;
}

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// UTF-8 as Unicode defines it: an ill-formed sequence is replaced by one U+FFFD per
// maximal subpart.
bool DecodeUtf8(const unsigned char* s, size_t n, bool strict, std::u16string* out) {
  size_t i = 0;
  while (i < n) {
    const unsigned char b = s[i];
    if (b < 0x80) {
      out->push_back(b);
      ++i;
      continue;
    }
    int trail = 0;
    unsigned char low = 0x80, high = 0xBF;  // range of the first trail byte
    char32_t cp = 0;
    if (b >= 0xC2 && b <= 0xDF) {
      trail = 1;
      cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      trail = 2;
      cp = b & 0x0F;
      if (b == 0xE0) low = 0xA0;
      if (b == 0xED) high = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      trail = 3;
      cp = b & 0x07;
      if (b == 0xF0) low = 0x90;
      if (b == 0xF4) high = 0x8F;
    }
    size_t used = 1;
    bool ok = trail > 0;
    for (int k = 0; ok && k < trail; ++k) {
      if (i + used >= n) {
        ok = false;
        break;
      }
      const unsigned char c = s[i + used];
      const unsigned char lo = k == 0 ? low : 0x80;
      const unsigned char hi = k == 0 ? high : 0xBF;
      if (c < lo || c > hi) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (c & 0x3F);
      ++used;
    }
    if (!ok) {
      if (strict) return false;
      out->push_back(kReplacement);
      i += used;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out->push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out->push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out->push_back(static_cast<char16_t>(cp));
    }
    i += used;
  }
  return true;
}

void AppendUtf8(char32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool EncodeUtf8(const char16_t* units, size_t n, bool strict, std::string* out) {
  for (size_t i = 0; i < n; ++i) {
    const char16_t unit = units[i];
    if (IsHighSurrogate(unit) && i + 1 < n && IsLowSurrogate(units[i + 1])) {
      AppendUtf8(0x10000 + ((unit - 0xD800) << 10) + (units[i + 1] - 0xDC00), out);
      ++i;
    } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
      if (strict) return false;
      AppendUtf8(kReplacement, out);
    } else {
      AppendUtf8(unit, out);
    }
  }
  return true;
}

bool DecodeSingleByte(const SingleByteTable& table, const unsigned char* s, size_t n, bool strict,
                      std::u16string* out) {
  out->reserve(n);
  for (size_t i = 0; i < n; ++i) {
    if (table.defined[s[i]]) {
      out->push_back(table.to_unicode[s[i]]);
    } else {
      if (strict) return false;
      out->push_back(kQuestionMark);
    }
  }
  return true;
}

void EncodeSingleByte(const SingleByteTable& table, const char16_t* units, size_t n,
                      char default_char, BOOL* used_default, std::string* out) {
  out->reserve(n);
  for (size_t i = 0; i < n; ++i) {
    const int16_t byte = table.from_unicode[units[i]];
    if (byte >= 0) {
      out->push_back(static_cast<char>(byte));
      continue;
    }
    // A surrogate pair is one character and gets one default character.
    if (IsHighSurrogate(units[i]) && i + 1 < n && IsLowSurrogate(units[i + 1])) ++i;
    out->push_back(default_char);
    if (used_default) *used_default = TRUE;
  }
}

// Runs iconv over the whole input. on_error is called at an input position iconv cannot
// convert (an invalid or incomplete sequence, an unrepresentable character); it returns
// the number of input bytes to skip, or 0 to stop with failure.
template <typename Append, typename OnError>
bool RunIconv(Iconv& cd, const char* data, size_t n, Append append, OnError on_error) {
  char* in = const_cast<char*>(data);
  size_t in_left = n;
  char chunk[4096];
  while (in_left > 0) {
    char* out = chunk;
    size_t out_left = sizeof(chunk);
    const size_t result = ::iconv(cd.get(), &in, &in_left, &out, &out_left);
    const int error = errno;
    append(chunk, static_cast<size_t>(out - chunk));
    if (result != static_cast<size_t>(-1) || error == E2BIG) continue;
    if (error != EILSEQ && error != EINVAL) return false;
    const size_t skip = on_error(in, in_left);
    if (skip == 0 || skip > in_left) return false;
    in += skip;
    in_left -= skip;
    cd.Reset();
  }
  char* out = chunk;
  size_t out_left = sizeof(chunk);
  if (::iconv(cd.get(), nullptr, nullptr, &out, &out_left) == static_cast<size_t>(-1)) return false;
  append(chunk, static_cast<size_t>(out - chunk));
  return true;
}

enum class Outcome { kOk, kInvalid, kFailed };

Outcome DecodeIconv(const CodePage& page, const char* s, size_t n, bool strict,
                    char16_t replacement, std::u16string* out) {
  Iconv cd("UTF-16LE", page.iconv_name);
  if (!cd.ok()) return Outcome::kFailed;
  bool invalid = false;
  auto append = [out](const char* bytes, size_t size) {
    const size_t old = out->size();
    out->resize(old + size / 2);
    std::memcpy(out->data() + old, bytes, size / 2 * 2);
  };
  auto on_error = [&](const char*, size_t) -> size_t {
    if (strict) {
      invalid = true;
      return 0;
    }
    out->push_back(replacement);
    return 1;
  };
  if (RunIconv(cd, s, n, append, on_error)) return Outcome::kOk;
  return invalid ? Outcome::kInvalid : Outcome::kFailed;
}

Outcome EncodeIconv(const CodePage& page, const char16_t* units, size_t n, bool strict,
                    char default_char, BOOL* used_default, std::string* out) {
  Iconv cd(page.iconv_name, "UTF-16LE");
  if (!cd.ok()) return Outcome::kFailed;
  std::u16string cleaned;
  if (page.kind == Kind::kUtf7) {
    // UTF-7 takes no default character: an unpaired surrogate becomes U+FFFD instead.
    cleaned.assign(units, n);
    for (size_t i = 0; i < n; ++i) {
      if (IsHighSurrogate(cleaned[i]) && i + 1 < n && IsLowSurrogate(cleaned[i + 1]))
        ++i;
      else if (IsHighSurrogate(cleaned[i]) || IsLowSurrogate(cleaned[i]))
        cleaned[i] = kReplacement;
    }
    units = cleaned.data();
  }
  bool invalid = false;
  auto append = [out](const char* bytes, size_t size) { out->append(bytes, size); };
  auto on_error = [&](const char* at, size_t left) -> size_t {
    char16_t unit[2] = {0, 0};
    std::memcpy(unit, at, left >= 4 ? 4 : (left >= 2 ? 2 : 0));
    const bool pair = left >= 4 && IsHighSurrogate(unit[0]) && IsLowSurrogate(unit[1]);
    if (page.kind == Kind::kUtf7 ||
        (strict && !pair && (IsHighSurrogate(unit[0]) || IsLowSurrogate(unit[0])))) {
      invalid = strict;
      return 0;
    }
    out->push_back(default_char);
    if (used_default) *used_default = TRUE;
    return left < 2 ? left : (pair ? 4 : 2);
  };
  if (RunIconv(cd, reinterpret_cast<const char*>(units), n * 2, append, on_error))
    return Outcome::kOk;
  return invalid ? Outcome::kInvalid : Outcome::kFailed;
}

// Hands a converted text to the caller the way both functions do.
template <typename Unit>
int Deliver(const std::basic_string<Unit>& text, Unit* buffer, int size) {
  if (text.size() > static_cast<size_t>(INT_MAX)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  const int needed = static_cast<int>(text.size());
  if (size == 0) return needed;
  if (needed > size) {
    std::memcpy(buffer, text.data(), static_cast<size_t>(size) * sizeof(Unit));
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(buffer, text.data(), text.size() * sizeof(Unit));
  return needed;
}

bool FlagsFitDecode(const CodePage& page, DWORD flags) {
  constexpr DWORD kKnown = MB_PRECOMPOSED | MB_COMPOSITE | MB_USEGLYPHCHARS | MB_ERR_INVALID_CHARS;
  if (page.kind == Kind::kUtf7) return flags == 0;
  if (page.kind == Kind::kUtf8 || page.number == 54936) return (flags & ~MB_ERR_INVALID_CHARS) == 0;
  if (flags & ~kKnown) return false;
  return (flags & (MB_PRECOMPOSED | MB_COMPOSITE)) != (MB_PRECOMPOSED | MB_COMPOSITE);
}

bool FlagsFitEncode(const CodePage& page, DWORD flags) {
  constexpr DWORD kKnown =
      WC_DISCARDNS | WC_SEPCHARS | WC_DEFAULTCHAR | WC_COMPOSITECHECK | WC_NO_BEST_FIT_CHARS;
  if (page.kind == Kind::kUtf7) return flags == 0;
  if (page.kind == Kind::kUtf8 || page.number == 54936) return (flags & ~WC_ERR_INVALID_CHARS) == 0;
  return (flags & ~kKnown) == 0;
}

}  // namespace

UINT GetACP() {
  Machine* machine = CurrentMachine();
  if (!machine) return kDefaultAnsiCodePage;
  try {
    return machine->AnsiCodePage();
  } catch (const std::exception&) {
    return kDefaultAnsiCodePage;  // "ansi_code_page" is not a number
  }
}

UINT GetOEMCP() {
  const UINT ansi = GetACP();
  for (const OemPair& pair : kOemPages)
    if (pair.ansi == ansi) return pair.oem;
  return 437;
}

BOOL IsValidCodePage(UINT code_page) {
  if (code_page == CP_ACP || code_page == CP_OEMCP || code_page == CP_THREAD_ACP) return FALSE;
  return FindPage(code_page) ? TRUE : FALSE;
}

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar) {
  if (!lpMultiByteStr || cbMultiByte == 0 || cchWideChar < 0 ||
      (!lpWideCharStr && cchWideChar != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const struct CodePage* page = FindPage(ResolveCodePage(CodePage));
  if (!page) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (!FlagsFitDecode(*page, dwFlags)) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  const size_t size =
      cbMultiByte < 0 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
  const auto* bytes = reinterpret_cast<const unsigned char*>(lpMultiByteStr);
  const bool strict = (dwFlags & MB_ERR_INVALID_CHARS) != 0;
  std::u16string text;
  Outcome outcome = Outcome::kOk;
  switch (page->kind) {
    case Kind::kUtf8:
      outcome = DecodeUtf8(bytes, size, strict, &text) ? Outcome::kOk : Outcome::kInvalid;
      break;
    case Kind::kSingleByte:
      outcome = DecodeSingleByte(*StateOf(*page)->table, bytes, size, strict, &text)
                    ? Outcome::kOk
                    : Outcome::kInvalid;
      break;
    case Kind::kUtf7:
      outcome = DecodeIconv(*page, lpMultiByteStr, size, false, kReplacement, &text);
      break;
    case Kind::kMultiByte:
      outcome = DecodeIconv(*page, lpMultiByteStr, size, strict, kQuestionMark, &text);
      break;
  }
  if (outcome != Outcome::kOk) {
    SetLastError(outcome == Outcome::kInvalid ? ERROR_NO_UNICODE_TRANSLATION
                                              : ERROR_INVALID_PARAMETER);
    return 0;
  }
  return Deliver(text, lpWideCharStr, cchWideChar);
}

int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                        BOOL* lpUsedDefaultChar) {
  if (!lpWideCharStr || cchWideChar == 0 || cbMultiByte < 0 ||
      (!lpMultiByteStr && cbMultiByte != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const struct CodePage* page = FindPage(ResolveCodePage(CodePage));
  if (!page) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const bool unicode_page = page->kind == Kind::kUtf8 || page->kind == Kind::kUtf7;
  if (unicode_page && (lpDefaultChar || lpUsedDefaultChar)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (!FlagsFitEncode(*page, dwFlags)) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  if (lpUsedDefaultChar) *lpUsedDefaultChar = FALSE;
  size_t size = static_cast<size_t>(cchWideChar);
  if (cchWideChar < 0) {
    size = 0;
    while (lpWideCharStr[size]) ++size;
    ++size;
  }
  const bool strict = (dwFlags & WC_ERR_INVALID_CHARS) != 0;
  const char default_char = lpDefaultChar ? lpDefaultChar[0] : '?';
  std::string text;
  Outcome outcome = Outcome::kOk;
  switch (page->kind) {
    case Kind::kUtf8:
      outcome = EncodeUtf8(lpWideCharStr, size, strict, &text) ? Outcome::kOk : Outcome::kInvalid;
      break;
    case Kind::kSingleByte:
      EncodeSingleByte(*StateOf(*page)->table, lpWideCharStr, size, default_char, lpUsedDefaultChar,
                       &text);
      break;
    case Kind::kUtf7:
    case Kind::kMultiByte:
      outcome =
          EncodeIconv(*page, lpWideCharStr, size, strict, default_char, lpUsedDefaultChar, &text);
      break;
  }
  if (outcome != Outcome::kOk) {
    SetLastError(outcome == Outcome::kInvalid ? ERROR_NO_UNICODE_TRANSLATION
                                              : ERROR_INVALID_PARAMETER);
    return 0;
  }
  return Deliver(text, lpMultiByteStr, cbMultiByte);
}

}  // namespace win32
