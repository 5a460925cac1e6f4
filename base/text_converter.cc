#include "base/text_converter.h"

#include <cerrno>
#include <climits>
#include <string>

#include "win32/nls.h"

namespace Kx {
namespace {

constexpr uint32_t kUnresolved = 0xFFFF;
constexpr uint32_t kUtf16Le = 1200;
constexpr uint32_t kUtf16Be = 1201;

struct Encoding {
  const char* name;
  uint32_t code_page;
};

constexpr Encoding kEncodings[] = {
    {"ANSI/OEM - Simplified Chinese (PRC, Singapore)", 936},
    {"Windows XP: GB18030 Simplified Chinese (4 Byte)", 54936},
    {"ANSI/OEM - Traditional Chinese", 950},
    {"UTF-7", 65000},
    {"UTF-8", 65001},
    {"UCS-2-LE", kUtf16Le},
    {"UCS-2-BE", kUtf16Be},
    {"UTF-32-LE", 65005},
    {"UTF-32-BE", 65006},
};

bool IsUtf16(uint32_t code_page) { return code_page == kUtf16Le || code_page == kUtf16Be; }

// Whether the system converts text of a code page: one test byte must come through.
bool SystemConverts(uint32_t code_page) {
  if (IsUtf16(code_page)) return true;
  char16_t unit = 0;
  return win32::MultiByteToWideChar(code_page, 0, "a", 1, &unit, 1) == 1;
}

// UTF-16 (read as little-endian units) to a code page, with a terminating zero byte.
int FromUtf16(const char* source, uint32_t size, uint32_t target, KxDynamicBuffer<char>* output) {
  if (size % 2 != 0) {
    errno = EILSEQ;
    return -1;
  }
  const uint32_t units = size / 2;
  std::u16string text(units, u'\0');
  std::memcpy(text.data(), source, size);
  const int needed = win32::WideCharToMultiByte(target, 0, text.data(), static_cast<int>(units),
                                                nullptr, 0, nullptr, nullptr);
  if (needed <= 0) {
    output->Free();
    return 0;
  }
  if (!output->Reserve(static_cast<uint32_t>(needed) + 1)) {
    errno = ENOMEM;
    return -1;
  }
  const int written = win32::WideCharToMultiByte(target, 0, text.data(), static_cast<int>(units),
                                                 output->data(), needed, nullptr, nullptr);
  if (written <= 0) {
    errno = EINVAL;
    return -1;
  }
  output->data()[written] = 0;
  output->set_length(static_cast<uint32_t>(written));
  return 0;
}

// A code page to UTF-16 (little-endian units), with a terminating zero unit.
int ToUtf16(const char* source, uint32_t size, uint32_t source_page,
            KxDynamicBuffer<char>* output) {
  const int needed =
      win32::MultiByteToWideChar(source_page, 0, source, static_cast<int>(size), nullptr, 0);
  if (needed <= 0) {
    output->Free();
    return 0;
  }
  const uint64_t bytes = (uint64_t{static_cast<uint32_t>(needed)} + 1) * 2;
  if (bytes > UINT32_MAX || !output->Reserve(static_cast<uint32_t>(bytes))) {
    errno = ENOMEM;
    return -1;
  }
  std::u16string text(static_cast<size_t>(needed), u'\0');
  const int written = win32::MultiByteToWideChar(source_page, 0, source, static_cast<int>(size),
                                                 text.data(), needed);
  if (written <= 0) {
    errno = EINVAL;
    return -1;
  }
  text.resize(static_cast<size_t>(written));
  text.push_back(u'\0');
  std::memcpy(output->data(), text.data(), text.size() * 2);
  output->set_length(static_cast<uint32_t>(written) * 2);
  return 0;
}

}  // namespace

const char* KxTextConverter::NameOf(int id) {
  switch (id) {
    case 1:
    case 2:
      return kEncodings[0].name;
    case 3:
      return kEncodings[1].name;
    case 4:
      return kEncodings[2].name;
    case 5:
      return kEncodings[3].name;
    case 6:
      return kEncodings[4].name;
    case 7:
    case 9:
    case 13:
    case 15:
      return kEncodings[5].name;
    case 8:
    case 14:
      return kEncodings[6].name;
    case 10:
    case 12:
    case 16:
    case 18:
      return kEncodings[7].name;
    case 11:
    case 17:
      return kEncodings[8].name;
    default:
      return "";
  }
}

bool KxTextConverter::CodePageOf(const char* name, uint32_t* code_page) {
  if (!name || !*name) {
    *code_page = win32::GetACP();
    return true;
  }
  for (const Encoding& encoding : kEncodings) {
    if (std::strcmp(encoding.name, name) == 0) {
      *code_page = encoding.code_page;
      return true;
    }
  }
  return false;
}

bool KxTextConverter::Open(int target_id, int source_id) {
  return OpenByName(NameOf(target_id), NameOf(source_id));
}

bool KxTextConverter::OpenByName(const char* target_name, const char* source_name) {
  Close();
  uint32_t target = kUnresolved;
  uint32_t source = kUnresolved;
  if (!CodePageOf(target_name, &target) || !CodePageOf(source_name, &source) ||
      !SystemConverts(target) || !SystemConverts(source) || target > 0xFFFF || source > 0xFFFF) {
    errno = EINVAL;
    return false;
  }
  code_pages_ = (source << 16) | target;
  open_ = true;
  return true;
}

int KxTextConverter::Convert(const char* source, uint32_t size, KxDynamicBuffer<char>* output) {
  if (!output) {
    errno = EINVAL;
    return -1;
  }
  if (!source || size == 0) {
    output->Free();
    return 0;
  }
  const uint32_t from = source_code_page();
  const uint32_t to = target_code_page();
  if (from == kUnresolved || to == kUnresolved) {
    errno = EBADF;
    return -1;
  }
  if (size > static_cast<uint32_t>(INT_MAX) - 2) {
    errno = EINVAL;
    return -1;
  }
  if (from == to) {
    if (!output->Reserve(size + 1)) {
      errno = ENOMEM;
      return -1;
    }
    std::memcpy(output->data(), source, size);
    output->data()[size] = 0;
    output->set_length(size);
    return 0;
  }
  if (IsUtf16(from) && IsUtf16(to)) {
    if (size % 2 != 0) {
      errno = EILSEQ;
      return -1;
    }
    if (!output->Reserve(size + 2)) {
      errno = ENOMEM;
      return -1;
    }
    char* out = output->data();
    for (uint32_t i = 0; i < size; i += 2) {
      out[i] = source[i + 1];
      out[i + 1] = source[i];
    }
    out[size] = 0;
    out[size + 1] = 0;
    output->set_length(size);
    return 0;
  }
  if (IsUtf16(from)) return FromUtf16(source, size, to, output);
  if (IsUtf16(to)) return ToUtf16(source, size, from, output);
  KxDynamicBuffer<char> wide;
  if (ToUtf16(source, size, from, &wide) != 0) return -1;
  if (wide.length() == 0) {
    output->Free();
    return 0;
  }
  return FromUtf16(wide.data(), wide.length(), to, output);
}

void KxTextConverter::Close() {
  open_ = false;
  code_pages_ = 0xFFFFFFFF;
}

}  // namespace Kx
