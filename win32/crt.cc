#include "win32/crt.h"

#include <locale.h>
#include <wctype.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <string>

#include "win32/unicode.h"

namespace win32 {
namespace {

locale_t UnicodeLocale() {
  static const locale_t locale = [] {
    locale_t l = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    return l ? l : ::newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(0));
  }();
  return locale;
}

// Output that keeps the first `capacity` units and counts all of them.
class Sink {
 public:
  Sink(char16_t* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {}

  void Put(char16_t unit) {
    if (size_ < capacity_) buffer_[size_] = unit;
    ++size_;
  }
  void Repeat(char16_t unit, size_t count) {
    for (size_t i = 0; i < count && size_ + i < capacity_; ++i) buffer_[size_ + i] = unit;
    size_ += count;
  }
  size_t size() const { return size_; }

 private:
  char16_t* buffer_;
  size_t capacity_;
  size_t size_ = 0;
};

enum class Length {
  kNone,
  kChar,
  kShort,
  kLong,
  kLongLong,
  kInt32,
  kPointer,
  kIntMax,
  kLongDouble
};

struct Conversion {
  bool minus = false;
  bool plus = false;
  bool space = false;
  bool zero = false;
  bool hash = false;
  size_t width = 0;
  int precision = -1;  // -1: none
  Length length = Length::kNone;
};

// Padding around a field of `size` units.
void PadBefore(Sink& sink, const Conversion& conv, size_t size, bool zero_allowed) {
  if (conv.minus || conv.width <= size) return;
  sink.Repeat(conv.zero && zero_allowed ? u'0' : u' ', conv.width - size);
}
void PadAfter(Sink& sink, const Conversion& conv, size_t size) {
  if (conv.minus && conv.width > size) sink.Repeat(u' ', conv.width - size);
}

template <typename Unit>
void PutText(Sink& sink, const Conversion& conv, const Unit* text) {
  static constexpr char kNull[] = "(null)";
  const bool is_null = text == nullptr;
  const size_t limit = conv.precision < 0 ? SIZE_MAX : static_cast<size_t>(conv.precision);
  size_t size = 0;
  if (is_null) {
    while (size < limit && kNull[size]) ++size;
  } else {
    while (size < limit && text[size]) ++size;
  }
  PadBefore(sink, conv, size, true);
  for (size_t i = 0; i < size; ++i) {
    if (is_null)
      sink.Put(static_cast<char16_t>(kNull[i]));
    else if constexpr (sizeof(Unit) == 1)
      sink.Put(static_cast<unsigned char>(text[i]));
    else
      sink.Put(text[i]);
  }
  PadAfter(sink, conv, size);
}

void PutCharacter(Sink& sink, const Conversion& conv, char16_t unit) {
  PadBefore(sink, conv, 1, true);
  sink.Put(unit);
  PadAfter(sink, conv, 1);
}

void PutInteger(Sink& sink, Conversion conv, uint64_t magnitude, bool negative, bool is_signed, int base,
                bool upper) {
  const char* digit_set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char digits[64];
  size_t count = 0;
  if (!(magnitude == 0 && conv.precision == 0)) {
    do {
      digits[count++] = digit_set[magnitude % static_cast<unsigned>(base)];
      magnitude /= static_cast<unsigned>(base);
    } while (magnitude);
  }
  const bool nonzero = count > 0 && !(count == 1 && digits[0] == '0');
  size_t zeros = conv.precision > 0 && static_cast<size_t>(conv.precision) > count
                     ? static_cast<size_t>(conv.precision) - count
                     : 0;
  if (base == 8 && conv.hash && zeros == 0 && (count == 0 || digits[count - 1] != '0')) zeros = 1;
  char prefix[2];
  size_t prefix_size = 0;
  if (is_signed && negative)
    prefix[prefix_size++] = '-';
  else if (is_signed && conv.plus)
    prefix[prefix_size++] = '+';
  else if (is_signed && conv.space)
    prefix[prefix_size++] = ' ';
  if (base == 16 && conv.hash && nonzero) {
    prefix[prefix_size++] = '0';
    prefix[prefix_size++] = upper ? 'X' : 'x';
  }
  const size_t size = prefix_size + zeros + count;
  // A precision turns off zero padding, as in every C runtime.
  const bool zero_pad = conv.zero && !conv.minus && conv.precision < 0;
  if (!zero_pad) PadBefore(sink, conv, size, false);
  for (size_t i = 0; i < prefix_size; ++i) sink.Put(static_cast<char16_t>(prefix[i]));
  if (zero_pad && conv.width > size) sink.Repeat(u'0', conv.width - size);
  sink.Repeat(u'0', zeros);
  while (count) sink.Put(static_cast<char16_t>(digits[--count]));
  PadAfter(sink, conv, size);
}

int64_t SignedArgument(Length length, va_list& args) {
  switch (length) {
    case Length::kChar:
      return static_cast<signed char>(va_arg(args, int));
    case Length::kShort:
      return static_cast<short>(va_arg(args, int));
    case Length::kLongLong:
      return va_arg(args, long long);
    case Length::kPointer:
      return va_arg(args, intptr_t);
    case Length::kIntMax:
      return va_arg(args, intmax_t);
    default:  // none, l, I32: 32 bits as on Windows
      return va_arg(args, int);
  }
}

uint64_t UnsignedArgument(Length length, va_list& args) {
  switch (length) {
    case Length::kChar:
      return static_cast<unsigned char>(va_arg(args, unsigned int));
    case Length::kShort:
      return static_cast<unsigned short>(va_arg(args, unsigned int));
    case Length::kLongLong:
      return va_arg(args, unsigned long long);
    case Length::kPointer:
      return va_arg(args, uintptr_t);
    case Length::kIntMax:
      return va_arg(args, uintmax_t);
    default:
      return va_arg(args, unsigned int);
  }
}

void PutFloat(Sink& sink, const Conversion& conv, char type, va_list& args) {
  std::string format = "%";
  if (conv.minus) format += '-';
  if (conv.plus) format += '+';
  if (conv.space) format += ' ';
  if (conv.zero) format += '0';
  if (conv.hash) format += '#';
  format += "*.*";
  if (conv.length == Length::kLongDouble) format += 'L';
  format += type;
  const int width =
      conv.width > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(conv.width);
  std::string text;
  if (conv.length == Length::kLongDouble) {
    const long double value = va_arg(args, long double);
    const int size = std::snprintf(nullptr, 0, format.c_str(), width, conv.precision, value);
    if (size > 0) {
      text.resize(static_cast<size_t>(size) + 1);
      std::snprintf(text.data(), text.size(), format.c_str(), width, conv.precision, value);
      text.resize(static_cast<size_t>(size));
    }
  } else {
    const double value = va_arg(args, double);
    const int size = std::snprintf(nullptr, 0, format.c_str(), width, conv.precision, value);
    if (size > 0) {
      text.resize(static_cast<size_t>(size) + 1);
      std::snprintf(text.data(), text.size(), format.c_str(), width, conv.precision, value);
      text.resize(static_cast<size_t>(size));
    }
  }
  for (char c : text) sink.Put(static_cast<unsigned char>(c));
}

size_t AddDigit(size_t value, char16_t digit) {
  const size_t d = static_cast<size_t>(digit - u'0');
  return value > (static_cast<size_t>(INT_MAX) - d) / 10 ? static_cast<size_t>(INT_MAX)
                                                         : value * 10 + d;
}

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// Formats into the sink; false on an invalid conversion.
bool Format(Sink& sink, const char16_t* p, va_list& args) {
  while (*p) {
    if (*p != u'%') {
      sink.Put(*p++);
      continue;
    }
    ++p;
    Conversion conv;
    for (;; ++p) {
      if (*p == u'-')
        conv.minus = true;
      else if (*p == u'+')
        conv.plus = true;
      else if (*p == u' ')
        conv.space = true;
      else if (*p == u'0')
        conv.zero = true;
      else if (*p == u'#')
        conv.hash = true;
      else
        break;
    }
    if (*p == u'*') {
      const int width = va_arg(args, int);
      if (width < 0) {
        conv.minus = true;
        conv.width = width == INT_MIN ? static_cast<size_t>(INT_MAX) : static_cast<size_t>(-width);
      } else {
        conv.width = static_cast<size_t>(width);
      }
      ++p;
    } else {
      while (IsDigit(*p)) conv.width = AddDigit(conv.width, *p++);
    }
    if (*p == u'.') {
      ++p;
      if (*p == u'*') {
        const int precision = va_arg(args, int);
        conv.precision = precision < 0 ? -1 : precision;
        ++p;
      } else {
        size_t precision = 0;
        while (IsDigit(*p)) precision = AddDigit(precision, *p++);
        conv.precision = static_cast<int>(precision);
      }
    }
    switch (*p) {
      case u'h':
        ++p;
        conv.length = Length::kShort;
        if (*p == u'h') {
          ++p;
          conv.length = Length::kChar;
        }
        break;
      case u'l':
        ++p;
        conv.length = Length::kLong;
        if (*p == u'l') {
          ++p;
          conv.length = Length::kLongLong;
        }
        break;
      case u'w':
        ++p;
        conv.length = Length::kLong;
        break;
      case u'I':
        ++p;
        if (p[0] == u'6' && p[1] == u'4') {
          p += 2;
          conv.length = Length::kLongLong;
        } else if (p[0] == u'3' && p[1] == u'2') {
          p += 2;
          conv.length = Length::kInt32;
        } else {
          conv.length = Length::kPointer;
        }
        break;
      case u'z':
      case u't':
        ++p;
        conv.length = Length::kPointer;
        break;
      case u'j':
        ++p;
        conv.length = Length::kIntMax;
        break;
      case u'L':
        ++p;
        conv.length = Length::kLongDouble;
        break;
      default:
        break;
    }
    const char16_t type = *p;
    if (type == 0) return false;  // the format ends inside a conversion
    ++p;
    const bool narrow_form = conv.length == Length::kShort;
    const bool wide_form = conv.length == Length::kLong;
    switch (type) {
      case u'%':
        sink.Put(u'%');
        break;
      case u's':
      case u'S':
        if (type == u's' ? narrow_form : !wide_form)
          PutText(sink, conv, va_arg(args, const char*));
        else
          PutText(sink, conv, va_arg(args, const char16_t*));
        break;
      case u'c':
      case u'C': {
        const int value = va_arg(args, int);
        const bool narrow = type == u'c' ? narrow_form : !wide_form;
        PutCharacter(sink, conv,
                     narrow ? static_cast<unsigned char>(value) : static_cast<char16_t>(value));
        break;
      }
      case u'd':
      case u'i': {
        const int64_t value = SignedArgument(conv.length, args);
        const uint64_t magnitude =
            value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
        PutInteger(sink, conv, magnitude, value < 0, true, 10, false);
        break;
      }
      case u'u':
        PutInteger(sink, conv, UnsignedArgument(conv.length, args), false, false, 10, false);
        break;
      case u'o':
        PutInteger(sink, conv, UnsignedArgument(conv.length, args), false, false, 8, false);
        break;
      case u'x':
      case u'X':
        PutInteger(sink, conv, UnsignedArgument(conv.length, args), false, false, 16, type == u'X');
        break;
      case u'p': {
        Conversion pointer;
        pointer.minus = conv.minus;
        pointer.width = conv.width;
        pointer.precision = static_cast<int>(2 * sizeof(void*));
        const auto value = reinterpret_cast<uintptr_t>(va_arg(args, void*));
        PutInteger(sink, pointer, value, false, false, 16, true);
        break;
      }
      case u'e':
      case u'E':
      case u'f':
      case u'F':
      case u'g':
      case u'G':
      case u'a':
      case u'A':
        PutFloat(sink, conv, static_cast<char>(type), args);
        break;
      default:  // %n and unknown conversions
        return false;
    }
  }
  return true;
}

}  // namespace

char16_t towupper(char16_t c) { return FoldUnit(c); }

char16_t towlower(char16_t c) {
  if (c < 0x80) return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
  if (c >= 0xD800 && c <= 0xDFFF) return c;
  const wint_t lower = ::towlower_l(c, UnicodeLocale());
  return lower <= 0xFFFF ? static_cast<char16_t>(lower) : c;
}

int vsnwprintf(char16_t* buffer, size_t count, const char16_t* format, va_list args) {
  if (!format || (!buffer && count > 0)) {
    if (buffer && count > 0) buffer[0] = 0;
    errno = EINVAL;
    return -1;
  }
  Sink sink(buffer, count > 0 ? count - 1 : 0);
  va_list copy;
  va_copy(copy, args);
  const bool valid = Format(sink, format, copy);
  va_end(copy);
  if (!valid) {
    if (count > 0) buffer[0] = 0;
    errno = EINVAL;
    return -1;
  }
  if (count == 0) return -1;
  if (sink.size() >= count || sink.size() > static_cast<size_t>(INT_MAX)) {
    buffer[count - 1] = 0;
    return -1;
  }
  buffer[sink.size()] = 0;
  return static_cast<int>(sink.size());
}

int snwprintf(char16_t* buffer, size_t count, const char16_t* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = vsnwprintf(buffer, count, format, args);
  va_end(args);
  return result;
}

}  // namespace win32
