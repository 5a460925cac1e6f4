#include "base/strings.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "base/text_converter.h"
#include "tests/support/test_machine.h"
#include "win32/unicode.h"

namespace Kx {
namespace {

std::string Utf8(std::u16string_view text) { return win32::ToUtf8(text); }

TEST(Utf8ToWide, Converts) {
  struct Case {
    std::string bytes;
    std::u16string want;
  };
  const Case cases[] = {
      {"OrvanePDF\xE8\xBD\xAC\xE6\x8D\xA2\xE5\x99\xA8", u"OrvanePDF转换器"},
      {"\xF0\x9F\x98\x80!", u"\U0001F600!"},
      {std::string("ab\0cd", 5), u"ab"},  // up to the embedded zero
      {std::string("\0x", 2), u""},
      {"a\xFFz", u"a\uFFFDz"},        // bad bytes are replaced, not refused
      {"\xEF\xBB\xBFx", u"\uFEFFx"},  // a byte-order mark is kept
  };
  for (const Case& c : cases) {
    std::u16string out = u"stale";
    EXPECT_TRUE(Utf8ToWide(c.bytes.data(), c.bytes.size(), &out)) << c.bytes;
    EXPECT_EQ(out, c.want) << c.bytes;
  }
}

TEST(Utf8ToWide, FailureLeavesTheOutput) {
  std::u16string out = u"sentinel";
  EXPECT_FALSE(Utf8ToWide(nullptr, 3, &out));
  EXPECT_FALSE(Utf8ToWide("abc", 0, &out));
  EXPECT_EQ(out, u"sentinel");
}

TEST(WideToUtf8, ChoosesTheSourceByItsFirstBytes) {
  struct Case {
    const char* name;
    std::u16string text;
    std::string want;
  };
  const Case cases[] = {
      {"plain", u"OrvanePDF转换器", "OrvanePDF\xE8\xBD\xAC\xE6\x8D\xA2\xE5\x99\xA8"},
      {"pair", u"\U0001F600", "\xF0\x9F\x98\x80"},
      {"mark kept", u"\uFEFFab",
       "\xEF\xBB\xBF"
       "ab"},
      {"FE FF reads as UCS-2-BE, units still little-endian", u"\uFFFEa",
       "\xEF\xBF\xBE"
       "a"},
      {"EF BB BF: copied as UTF-8", std::u16string{0xBBEF, 0x41BF}, "\xEF\xBB\xBF\x41"},
      {"up to the first zero", std::u16string(u"ab\0cd", 5), "ab"},
      {"lone surrogate", std::u16string{u'a', 0xD800}, "a\xEF\xBF\xBD"},
  };
  for (const Case& c : cases) {
    std::string out = "stale";
    EXPECT_TRUE(WideToUtf8(c.text.data(), c.text.size(), &out)) << c.name;
    EXPECT_EQ(out, c.want) << c.name;
  }
}

TEST(WideToUtf8, FailureLeavesTheOutput) {
  std::string out = "sentinel";
  EXPECT_FALSE(WideToUtf8(nullptr, 2, &out));
  EXPECT_FALSE(WideToUtf8(u"ab", 0, &out));
  // FF FE 00 00 names UTF-32-LE, which no converter opens.
  const std::u16string utf32_mark = {0xFEFF, 0x0000, u'a'};
  EXPECT_FALSE(WideToUtf8(utf32_mark.data(), utf32_mark.size(), &out));
  // 00 00 FE FF names UTF-32-BE.
  const std::u16string utf32_be_mark = {0x0000, 0xFFFE, u'a'};
  EXPECT_FALSE(WideToUtf8(utf32_be_mark.data(), utf32_be_mark.size(), &out));
  EXPECT_EQ(out, "sentinel");
  // A single U+FEFF is two bytes only: UCS-2-LE.
  const char16_t mark = 0xFEFF;
  EXPECT_TRUE(WideToUtf8(&mark, 1, &out));
  EXPECT_EQ(out, "\xEF\xBB\xBF");
}

TEST(AnsiToWide, UsesTheMachinesCodePage) {
  kxtest::TestMachine machine;
  ASSERT_TRUE(machine.ok());
  const std::string gbk = "OrvanePDF\xD7\xAA\xBB\xBB\xC6\xF7";
  EXPECT_EQ(AnsiToWide(gbk), u"OrvanePDF转换器");
  EXPECT_EQ(AnsiToWide(gbk.c_str(), -1), u"OrvanePDF转换器");  // up to the terminator
  EXPECT_EQ(AnsiToWide(gbk.c_str(), 9), u"OrvanePDF");
  EXPECT_EQ(AnsiToWide(std::string_view("a\0b", 3)), std::u16string(u"a\0b", 3));
  EXPECT_EQ(AnsiToWide(std::string_view("\xE9"), 1252), u"é");
  EXPECT_EQ(AnsiToWide(""), u"");
  EXPECT_EQ(AnsiToWide(nullptr, -1), u"");
  EXPECT_EQ(AnsiToWide(std::string_view("abc"), 1200), u"");  // UTF-16 is no ANSI page

  machine.SetFact("ansi_code_page", 1252);
  EXPECT_EQ(AnsiToWide("caf\xE9"), u"café");
}

TEST(WideToAnsi, UnrepresentableCharactersBecomeUnderscores) {
  kxtest::TestMachine machine;
  ASSERT_TRUE(machine.ok());
  EXPECT_EQ(WideToAnsi(u"OrvanePDF转换器"), "OrvanePDF\xD7\xAA\xBB\xBB\xC6\xF7");
  EXPECT_EQ(WideToAnsi(u"a\U0001F600Āb"), "a__b");
  EXPECT_EQ(WideToAnsi(u""), "");
  EXPECT_EQ(WideToAnsi(u"转", 65001), "\xE8\xBD\xAC");
  EXPECT_EQ(WideToAnsi(std::u16string{u'a', 0xD800}, 65001), "a\xEF\xBF\xBD");
  EXPECT_EQ(WideToAnsi(u"日本語", 65000), "+ZeVnLIqe-");
  EXPECT_EQ(WideToAnsi(u"abc", 1200), "");

  machine.SetFact("ansi_code_page", 1252);
  EXPECT_EQ(WideToAnsi(u"€é转"), "\x80\xE9_");
  // A machine whose ANSI page is UTF-8 converts without a default character.
  machine.SetFact("ansi_code_page", 65001);
  EXPECT_EQ(WideToAnsi(u"转"), "\xE8\xBD\xAC");
}

TEST(FormatString, BufferSizes) {
  // 1023 units fit the first buffer; 1024 need the 2048-unit retry; more need several.
  for (size_t length : {size_t{0}, size_t{1}, size_t{1023}, size_t{1024}, size_t{2047},
                        size_t{2048}, size_t{100000}}) {
    const std::u16string text(length, u'x');
    std::u16string out = u"old";
    FormatString(&out, u"%s", text.c_str());
    EXPECT_EQ(out, text) << length;
  }
}

TEST(FormatString, Behaviour) {
  std::u16string out = u"old";
  FormatString(&out, u"");
  EXPECT_EQ(out, u"old");  // an empty format keeps the content
  FormatString(&out, nullptr);
  EXPECT_EQ(out, u"old");

  FormatString(&out, u"发送请求失败，错误码：%d", 1);
  EXPECT_EQ(out, u"发送请求失败，错误码：1");
  FormatString(&out, u"%02X-%02X|%08X%08X%08X", 0xAB, 0x1, 0x756E6547u, 0x6C65746Eu, 0x49656E69u);
  EXPECT_EQ(out, u"AB-01|756E65476C65746E49656E69");
  FormatString(&out, u"%s(%s)", out.c_str(), u"x");  // the destination may be an argument
  EXPECT_EQ(out, u"AB-01|756E65476C65746E49656E69(x)");

  int count = 0;
  FormatString(&out, u"abc%n", &count);
  EXPECT_EQ(out, u"");  // an invalid conversion empties it
  out = u"old";
  const std::u16string long_text(5000, u'y');
  FormatString(&out, u"%s%n", long_text.c_str(), &count);
  EXPECT_EQ(out, u"");
}

TEST(Trim, RemovesRunsOfTheSet) {
  struct Case {
    std::u16string text;
    const char16_t* set;
    std::u16string left, right, both;
  };
  const Case cases[] = {
      {u" \r\t\nab c\n ", kWhiteSpaceSet, u"ab c\n ", u" \r\t\nab c", u"ab c"},
      {u" \t \n", kWhiteSpaceSet, u"", u"", u""},  // only set characters
      {u"\\\\C:\\a/", kSlashSet, u"C:\\a/", u"\\\\C:\\a", u"C:\\a"},
      {u"", kWhiteSpaceSet, u"", u"", u""},
      {u" a ", nullptr, u" a ", u" a ", u" a "},  // a null set changes nothing
      {u" a ", u"", u" a ", u" a ", u" a "},
  };
  for (const Case& c : cases) {
    std::u16string left = c.text, right = c.text, both = c.text;
    TrimLeft(&left, c.set);
    TrimRight(&right, c.set);
    Trim(&both, c.set);
    EXPECT_EQ(left, c.left) << Utf8(c.text);
    EXPECT_EQ(right, c.right) << Utf8(c.text);
    EXPECT_EQ(both, c.both) << Utf8(c.text);
  }
}

TEST(CollapseSpaces, KeepsTheFirstSpaceOfEachRun) {
  EXPECT_EQ(CollapseSpaces(u"  a   b  "), u"a b");
  EXPECT_EQ(CollapseSpaces(u"\ta \t  b\n"), u"a \t b");  // only U+0020 runs collapse
  EXPECT_EQ(CollapseSpaces(u"Intel(R)  Core(TM)   i7"), u"Intel(R) Core(TM) i7");
  EXPECT_EQ(CollapseSpaces(u"   "), u"");
  EXPECT_EQ(CollapseSpaces(u""), u"");
}

TEST(CaseConversion, InPlace) {
  std::u16string text = u"OrvanePDF转换器.EXE Éé ΣΩ";
  ToLower(&text);
  EXPECT_EQ(text, u"orvanepdf转换器.exe éé σω");
  ToUpper(&text);
  EXPECT_EQ(text, u"ORVANEPDF转换器.EXE ÉÉ ΣΩ");
}

TEST(CompareNoCase, Table) {
  struct Case {
    std::u16string a, b;
    int sign;
  };
  const Case cases[] = {
      {u"abc", u"ABC", 0},
      {u"ab", u"abc", -1},
      {u"abd", u"ABC", 1},
      {u"", u"", 0},
      {u"é", u"É", 0},
      {u"OrvaneRUZUrevivaer.exe", u"orvaneruzurevivaer.EXE", 0},
      {std::u16string(u"a\0b", 3), std::u16string(u"a\0c", 3), 0},  // stops at a terminator
      {u"[", u"a", 1},  // compared upper-cased: '[' (0x5B) is after 'A' (0x41)
  };
  auto sign = [](int v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); };
  for (const Case& c : cases) {
    EXPECT_EQ(sign(CompareNoCase(std::u16string_view(c.a), std::u16string_view(c.b))), c.sign)
        << Utf8(c.a) << " / " << Utf8(c.b);
    EXPECT_EQ(sign(CompareNoCase(c.a.c_str(), c.b.c_str())), c.sign) << Utf8(c.a);
  }
  // The value is the difference of the first differing upper-cased pair.
  EXPECT_EQ(CompareNoCase(u"ab", u"abc"), -static_cast<int>(u'C'));
  EXPECT_EQ(CompareNoCase(u"b", u"A"), 1);
  EXPECT_EQ(CompareNoCase(static_cast<const char16_t*>(nullptr), u""), 0);
  EXPECT_EQ(CompareNoCase(std::string_view("1a2B3c4D"), std::string_view("1A2b3C4d")), 0);
  EXPECT_LT(CompareNoCase(std::string_view("abc"), std::string_view("abcd")), 0);
}

TEST(ReplaceAll, Table) {
  struct Case {
    std::u16string text;
    const char16_t* pattern;
    const char16_t* replacement;
    std::u16string want;
  };
  const Case cases[] = {
      {u"%Y-%Y", u"%Y", u"2024", u"2024-2024"},
      {u"aaa", u"a", u"aa", u"aaaaaa"},  // inserted text is not rescanned
      {u"abab", u"ab", u"", u""},
      {u"abc", u"", u"x", u"abc"},
      {u"abc", nullptr, u"x", u"abc"},
      {u"abc", u"b", nullptr, u"abc"},
      {u"xyz", u"q", u"r", u"xyz"},
      {u"C:\\a\\\\b", u"\\\\", u"\\", u"C:\\a\\b"},
  };
  for (const Case& c : cases) {
    std::u16string text = c.text;
    ReplaceAll(&text, c.pattern, c.replacement);
    EXPECT_EQ(text, c.want) << Utf8(c.text);
  }
  std::u16string text = u"a-b";
  ReplaceAll(&text, std::u16string(u"-"), std::u16string(u"+-+"));
  EXPECT_EQ(text, u"a+-+b");
}

TEST(Substrings, LeftAndMid) {
  EXPECT_EQ(Left(u"abc", 2), u"ab");
  EXPECT_EQ(Left(u"abc", 10), u"abc");
  EXPECT_EQ(Left(u"abc", 0), u"");
  EXPECT_EQ(Left(u"abc", -1), u"");
  EXPECT_EQ(Mid(u"abc", 1, 10), u"bc");
  EXPECT_EQ(Mid(u"abc", 3, 1), u"");
  EXPECT_EQ(Mid(u"abc", 0, 2), u"ab");
  EXPECT_EQ(Mid(u"abc", -1, 2), u"");
  EXPECT_EQ(Mid(u"abc", 1, INT_MAX), u"bc");
  EXPECT_EQ(Mid(u"abc", 1, -1), u"");
}

TEST(Numbers, ToText) {
  EXPECT_EQ(IntToString(0), u"0");
  EXPECT_EQ(IntToString(-1), u"-1");
  EXPECT_EQ(IntToString(INT_MAX), u"2147483647");
  EXPECT_EQ(IntToString(INT_MIN), u"-2147483648");
  EXPECT_EQ(UIntToString(0), u"0");
  EXPECT_EQ(UIntToString(UINT_MAX), u"4294967295");
  EXPECT_EQ(UInt64ToString(1700000000), u"1700000000");
  EXPECT_EQ(UInt64ToString(UINT64_MAX), u"18446744073709551615");
  EXPECT_EQ(ToHex8(0), u"00000000");
  EXPECT_EQ(ToHex8(255), u"000000FF");
  EXPECT_EQ(ToHex8(0xDEADBEEF), u"DEADBEEF");
}

TEST(ParseUInt64, Table) {
  struct Case {
    const char16_t* text;
    uint64_t want;
    size_t end;
  };
  const Case cases[] = {
      {u"123abc", 123, 3},
      {u"-5", 0, 0},  // no sign
      {u" 5", 0, 0},  // no leading white space
      {u"", 0, 0},
      {u"007", 7, 3},
      {u"18446744073709551615", UINT64_MAX, 20},
      {u"18446744073709551617", 1, 20},  // wraps
      {u"１２", 0, 0},                   // ASCII digits only
  };
  for (const Case& c : cases) {
    const char16_t* end = nullptr;
    EXPECT_EQ(ParseUInt64(c.text, &end), c.want) << Utf8(c.text);
    EXPECT_EQ(end, c.text + c.end) << Utf8(c.text);
    EXPECT_EQ(ParseUInt64(c.text), c.want);
  }
  EXPECT_EQ(ParseUInt64(nullptr), 0u);
}

TEST(KxDynamicBuffer, GrowthRule) {
  struct Step {
    uint32_t reserve, capacity;
  };
  const Step steps[] = {
      {0, 0},   {1, 4},   {4, 4},   {5, 8},    {9, 12},      {13, 28},     {29, 44},
      {45, 60}, {61, 76}, {77, 95}, {96, 118}, {1000, 1000}, {1001, 1250},
  };
  KxDynamicBuffer<char> buffer;
  EXPECT_EQ(buffer.data(), nullptr);
  for (const Step& step : steps) {
    ASSERT_TRUE(buffer.Reserve(step.reserve));
    EXPECT_EQ(buffer.capacity(), step.capacity) << step.reserve;
  }
}

TEST(KxDynamicBuffer, GrowingKeepsTheContent) {
  KxDynamicBuffer<char> buffer;
  ASSERT_TRUE(buffer.Reserve(3));
  std::memcpy(buffer.data(), "abcd", 4);
  buffer.set_length(3);
  ASSERT_TRUE(buffer.Reserve(100));
  EXPECT_EQ(std::string(buffer.data(), 4), "abcd");
  EXPECT_EQ(buffer.length(), 3u);
  buffer.set_length(1000);
  EXPECT_EQ(buffer.length(), buffer.capacity());  // never above the capacity
}

TEST(KxDynamicBuffer, CopyAssignmentIsExact) {
  KxDynamicBuffer<char> source;
  ASSERT_TRUE(source.Reserve(70));  // from empty: exactly 70
  std::memcpy(source.data(), "hello", 5);
  source.set_length(5);
  KxDynamicBuffer<char> copy;
  ASSERT_TRUE(copy.Reserve(500));
  copy = source;
  EXPECT_EQ(copy.capacity(), source.capacity());
  EXPECT_EQ(copy.length(), 5u);
  EXPECT_NE(copy.data(), source.data());
  EXPECT_EQ(std::string(copy.data(), 5), "hello");
  const KxBuffer<char>& base = source;
  KxDynamicBuffer<char> from_base;
  from_base = base;
  EXPECT_EQ(from_base.capacity(), 70u);
  const KxDynamicBuffer<char>& same = copy;
  copy = same;  // self-assignment keeps the content
  EXPECT_EQ(std::string(copy.data(), 5), "hello");
  copy = KxDynamicBuffer<char>();
  EXPECT_EQ(copy.capacity(), 0u);
  EXPECT_EQ(copy.data(), nullptr);
}

TEST(KxTextConverter, OpensByIdentifierAndName) {
  kxtest::TestMachine machine;
  ASSERT_TRUE(machine.ok());
  struct Case {
    int target, source;
    bool opens;
    uint32_t code_pages;
  };
  const Case cases[] = {
      {9, 6, true, (65001u << 16) | 1200u},  // the pair of Utf8ToWide
      {6, 8, true, (1201u << 16) | 65001u}, {6, 3, true, (54936u << 16) | 65001u},
      {5, 4, true, (950u << 16) | 65000u},  {6, 1, true, (936u << 16) | 65001u},
      {6, 0, true, (936u << 16) | 65001u},  // unknown identifier: the ANSI code page
      {6, 12, false, 0xFFFFFFFFu},          // UTF-32 never opens
      {11, 6, false, 0xFFFFFFFFu},
  };
  for (const Case& c : cases) {
    KxTextConverter converter;
    errno = 0;
    EXPECT_EQ(converter.Open(c.target, c.source), c.opens) << c.target << " " << c.source;
    EXPECT_EQ(converter.is_open(), c.opens);
    EXPECT_EQ(converter.code_pages(), c.code_pages) << c.target << " " << c.source;
    if (!c.opens) {
      EXPECT_EQ(errno, EINVAL);
    }
  }
  KxTextConverter converter;
  EXPECT_FALSE(converter.OpenByName("utf-8", "UTF-8"));  // names are case-sensitive
  EXPECT_TRUE(converter.OpenByName("", "UCS-2-LE"));
  EXPECT_EQ(converter.code_pages(), (1200u << 16) | 936u);
  converter.Close();
  EXPECT_FALSE(converter.is_open());
  EXPECT_EQ(converter.code_pages(), 0xFFFFFFFFu);
}

TEST(KxTextConverter, Converts) {
  kxtest::TestMachine machine;
  ASSERT_TRUE(machine.ok());
  KxDynamicBuffer<char> out;
  KxTextConverter converter;

  // Unresolved: nothing to convert still succeeds, anything else fails with EBADF.
  ASSERT_TRUE(out.Reserve(10));
  EXPECT_EQ(converter.Convert("x", 0, &out), 0);
  EXPECT_EQ(out.capacity(), 0u);
  errno = 0;
  EXPECT_EQ(converter.Convert("x", 1, &out), -1);
  EXPECT_EQ(errno, EBADF);

  // Same page: the bytes and a zero.
  ASSERT_TRUE(converter.Open(6, 6));
  EXPECT_EQ(converter.Convert("ab\xFF", 3, &out), 0);
  EXPECT_EQ(std::string(out.data(), 4), std::string("ab\xFF\0", 4));
  EXPECT_EQ(out.length(), 3u);

  // UCS-2 LE <-> BE swaps every pair and adds two zeros.
  ASSERT_TRUE(converter.Open(8, 9));
  EXPECT_EQ(converter.Convert("a\0b\0", 4, &out), 0);
  EXPECT_EQ(std::string(out.data(), 6), std::string("\0a\0b\0\0", 6));
  EXPECT_EQ(out.length(), 4u);
  errno = 0;
  EXPECT_EQ(converter.Convert("a\0b", 3, &out), -1);
  EXPECT_EQ(errno, EILSEQ);

  // UTF-16 source with an odd byte count.
  ASSERT_TRUE(converter.Open(6, 9));
  errno = 0;
  EXPECT_EQ(converter.Convert("a\0b", 3, &out), -1);
  EXPECT_EQ(errno, EILSEQ);

  // Neither side UTF-16: through UTF-16 in two steps (GBK to UTF-8).
  ASSERT_TRUE(converter.Open(6, 1));
  EXPECT_EQ(converter.Convert("\xD7\xAA\xBB\xBB", 4, &out), 0);
  EXPECT_EQ(std::string(out.data(), out.length()), "\xE8\xBD\xAC\xE6\x8D\xA2");
  EXPECT_EQ(out.data()[out.length()], '\0');

  // UTF-8 to UCS-2-LE ends with a zero unit.
  ASSERT_TRUE(converter.Open(9, 6));
  EXPECT_EQ(converter.Convert("\xE4\xB8\xAD", 3, &out), 0);
  EXPECT_EQ(std::string(out.data(), 4), std::string("\x2D\x4E\0\0", 4));
  EXPECT_EQ(out.length(), 2u);
}

}  // namespace
}  // namespace Kx
