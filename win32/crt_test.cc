#include "win32/crt.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <string>

#include "win32/unicode.h"

namespace win32 {
namespace {

template <typename... Args>
std::u16string Format(const char16_t* format, Args... args) {
  char16_t buffer[512];
  const int n = snwprintf(buffer, 512, format, args...);
  if (n < 0) return u"<-1>";
  return std::u16string(buffer, static_cast<size_t>(n));
}

std::u16string Widen(const char* text) {
  std::u16string out;
  for (; *text; ++text) out.push_back(static_cast<unsigned char>(*text));
  return out;
}

// Integer conversions mean the same in every C runtime: check them against the host's.
TEST(Vsnwprintf, IntegersMatchTheHostPrintf) {
#define KX_CASE(format, value) \
  { format, u"" format, value }
  struct Case {
    const char* narrow;
    const char16_t* wide;
    int value;
  };
  const Case cases[] = {
      KX_CASE("%d", 0),      KX_CASE("%d", INT_MIN),      KX_CASE("%i", 42),
      KX_CASE("[%5d]", 42),  KX_CASE("[%-5d]", 42),       KX_CASE("[%05d]", -42),
      KX_CASE("%+d", 5),     KX_CASE("% d", 5),           KX_CASE("%+ d", 5),
      KX_CASE("%.3d", 7),    KX_CASE("[%.0d]", 0),        KX_CASE("[%08.3d]", 5),
      KX_CASE("[%-08d]", 5), KX_CASE("%x", 255),          KX_CASE("%X", -1),
      KX_CASE("%#x", 255),   KX_CASE("%#X", 0),           KX_CASE("%#o", 8),
      KX_CASE("%#o", 0),     KX_CASE("[%#.0o]", 0),       KX_CASE("%o", 511),
      KX_CASE("%u", -1),     KX_CASE("[%#10x]", 4660),    KX_CASE("[%#010x]", 4660),
      KX_CASE("%02X", 10),   KX_CASE("%08X", 0x1234abcd), KX_CASE("%hd", 70000),
      KX_CASE("%hu", -1),    KX_CASE("%hhx", 0x1ff),      KX_CASE("a%%b%d", 1),
  };
#undef KX_CASE
  for (const Case& c : cases) {
    char expected[128];
    std::snprintf(expected, sizeof(expected), c.narrow, c.value);
    EXPECT_EQ(Format(c.wide, c.value), Widen(expected)) << c.narrow;
  }
}

TEST(Vsnwprintf, WindowsLengthModifiersAndWidthArguments) {
  EXPECT_EQ(Format(u"%ld|%lu|%lx", -1, 4294967295u, 0xABCDu), u"-1|4294967295|abcd");  // 32-bit
  EXPECT_EQ(Format(u"%I64d|%lld", INT64_MIN, 1LL << 40), u"-9223372036854775808|1099511627776");
  EXPECT_EQ(Format(u"%I64u|%llX", UINT64_MAX, 0xFEDCBA9876543210ull),
            u"18446744073709551615|FEDCBA9876543210");
  EXPECT_EQ(Format(u"%I32d|%zu|%Iu", -7, size_t{1} << 40, size_t{3}), u"-7|1099511627776|3");
  EXPECT_EQ(Format(u"[%*d]", 4, 7), u"[   7]");
  EXPECT_EQ(Format(u"[%*d]", -4, 7), u"[7   ]");  // a negative width means left-justify
  EXPECT_EQ(Format(u"[%.*d]", 3, 7), u"[007]");
  EXPECT_EQ(Format(u"[%.*d]", -1, 7), u"[7]");  // a negative precision is none
  EXPECT_EQ(Format(u"%d-%p-%p", 12, reinterpret_cast<void*>(0xAB), nullptr),
            sizeof(void*) == 8 ? u"12-00000000000000AB-0000000000000000" : u"12-000000AB-00000000");
}

TEST(Vsnwprintf, StringsAndCharacters) {
  const char16_t* null_wide = nullptr;
  const char* null_narrow = nullptr;
  struct Case {
    std::u16string got, want;
  };
  const Case cases[] = {
      {Format(u"%s", u"转换器"), u"转换器"},
      {Format(u"%ls|%ws", u"a", u"b"), u"a|b"},
      {Format(u"%S|%hs", "narrow", "h"), u"narrow|h"},
      {Format(u"%S", "\xE9"), u"\u00E9"},  // bytes become units of the same value
      {Format(u"%s|%S", null_wide, null_narrow), u"(null)|(null)"},
      {Format(u"[%.2s]", null_wide), u"[(n]"},
      {Format(u"[%6s][%-6s]", u"ab", u"cd"), u"[    ab][cd    ]"},
      {Format(u"[%06s]", u"ab"), u"[0000ab]"},  // the Windows CRT pads strings with zeros
      {Format(u"[%.3s]", u"abcdef"), u"[abc]"},
      {Format(u"%c%c", u'中', u'x'), u"中x"},
      {Format(u"%C|%hc|%lc", 'a', 'b', u'文'), u"a|b|文"},
      {Format(u"[%3c]", u'z'), u"[  z]"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.got, c.want) << win32::ToUtf8(c.want);
}

TEST(Vsnwprintf, FloatingPoint) {
  EXPECT_EQ(Format(u"%f|%.2f|%8.3f|%-8.1f|", 3.14159, 2.5, -1.0, 0.25),
            u"3.141590|2.50|  -1.000|0.2     |");
  EXPECT_EQ(Format(u"%e|%G|%g", 12345.678, 0.00001234, 100000.0), u"1.234568e+04|1.234E-05|100000");
  EXPECT_EQ(Format(u"%+.0f|%#.0f|%05.1f", 2.0, 3.0, 1.5), u"+2|3.|001.5");
  EXPECT_EQ(Format(u"%Lf", 1.5L), u"1.500000");
}

TEST(Vsnwprintf, FitsOnlyWithRoomForTheTerminator) {
  char16_t buffer[6];
  std::fill(std::begin(buffer), std::end(buffer), u'#');
  EXPECT_EQ(snwprintf(buffer, 6, u"%s", u"abcde"), 5);
  EXPECT_EQ(std::u16string(buffer, 6), std::u16string(u"abcde\0", 6));

  std::fill(std::begin(buffer), std::end(buffer), u'#');
  errno = 0;
  EXPECT_EQ(snwprintf(buffer, 6, u"%s", u"abcdef"), -1);
  EXPECT_EQ(errno, 0);  // too small is not an error of the arguments
  EXPECT_EQ(std::u16string(buffer, 6), std::u16string(u"abcde\0", 6));

  std::fill(std::begin(buffer), std::end(buffer), u'#');
  EXPECT_EQ(snwprintf(buffer, 0, u"x"), -1);
  EXPECT_EQ(buffer[0], u'#');
  EXPECT_EQ(snwprintf(buffer, 1, u""), 0);
  EXPECT_EQ(buffer[0], u'\0');
}

TEST(Vsnwprintf, InvalidConversionsSetEinval) {
  int count = 0;
  const char16_t* formats[] = {u"%n", u"abc%", u"%y", u"%5", u"%ll", u"%Z"};
  for (const char16_t* format : formats) {
    char16_t buffer[16] = {u'#'};
    errno = 0;
    EXPECT_EQ(snwprintf(buffer, 16, format, &count), -1) << win32::ToUtf8(format);
    EXPECT_EQ(errno, EINVAL) << win32::ToUtf8(format);
    EXPECT_EQ(buffer[0], u'\0');
  }
  // An invalid conversion beyond the end of the room is still found.
  char16_t small[2];
  errno = 0;
  EXPECT_EQ(snwprintf(small, 2, u"abcdef%n", &count), -1);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(snwprintf(nullptr, 4, u"x"), -1);
  EXPECT_EQ(errno, EINVAL);
  char16_t buffer[4];
  errno = 0;
  EXPECT_EQ(snwprintf(buffer, 4, nullptr), -1);
  EXPECT_EQ(errno, EINVAL);
}

TEST(CaseMapping, OneToOnePerUnit) {
  struct Case {
    char16_t unit, upper, lower;
  };
  const Case cases[] = {
      {u'a', u'A', u'a'},    {u'Z', u'Z', u'z'},       {u'1', u'1', u'1'},
      {u'é', u'É', u'é'},    {u'É', u'É', u'é'},       {u'ß', u'ß', u'ß'},  // no 1:1 upper
      {u'ÿ', u'Ÿ', u'ÿ'},    {u'ω', u'Ω', u'ω'},       {u'Я', u'Я', u'я'},
      {u'中', u'中', u'中'}, {0xD83D, 0xD83D, 0xD83D}, {u'ａ', u'Ａ', u'ａ'},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(towupper(c.unit), c.upper) << std::hex << int(c.unit);
    EXPECT_EQ(towlower(c.unit), c.lower) << std::hex << int(c.unit);
  }
  for (char32_t u = 0; u <= 0xFFFF; ++u)
    ASSERT_EQ(towupper(static_cast<char16_t>(u)), FoldUnit(static_cast<char16_t>(u))) << int(u);
}

}  // namespace
}  // namespace win32
