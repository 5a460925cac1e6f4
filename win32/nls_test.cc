#include "win32/nls.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_machine.h"
#include "win32/unicode.h"

namespace win32 {
namespace {

// Converts with a size query first, as callers do; the last error is kept in *error.
std::u16string Decode(UINT cp, std::string_view bytes, DWORD flags = 0, DWORD* error = nullptr) {
  SetLastError(ERROR_SUCCESS);
  const int size = static_cast<int>(bytes.size());
  const int needed = MultiByteToWideChar(cp, flags, bytes.data(), size, nullptr, 0);
  if (error) *error = GetLastError();
  if (needed <= 0) return u"<fail>";
  std::u16string out(static_cast<size_t>(needed), u'\0');
  EXPECT_EQ(MultiByteToWideChar(cp, flags, bytes.data(), size, out.data(), needed), needed);
  return out;
}

std::string Encode(UINT cp, std::u16string_view text, DWORD flags = 0,
                   const char* default_char = nullptr, BOOL* used = nullptr,
                   DWORD* error = nullptr) {
  SetLastError(ERROR_SUCCESS);
  const int size = static_cast<int>(text.size());
  const int needed =
      WideCharToMultiByte(cp, flags, text.data(), size, nullptr, 0, default_char, used);
  if (error) *error = GetLastError();
  if (needed <= 0) return "<fail>";
  std::string out(static_cast<size_t>(needed), '\0');
  EXPECT_EQ(
      WideCharToMultiByte(cp, flags, text.data(), size, out.data(), needed, default_char, used),
      needed);
  return out;
}

std::string Hex(std::string_view bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

std::string Unhex(std::string_view hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  return out;
}

std::u16string Utf16FromLeBytes(std::string_view bytes) {
  std::u16string out;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2)
    out.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                        (static_cast<unsigned char>(bytes[i + 1]) << 8)));
  return out;
}

// Runs a Python script and returns its standard output lines; false without python3.
bool RunPython(const std::string& script, std::vector<std::string>* lines) {
  char path[] = "/tmp/kx_nls_test_XXXXXX";
  const int fd = ::mkstemp(path);
  if (fd < 0) return false;
  ::close(fd);
  std::ofstream(path) << script;
  FILE* pipe = ::popen((std::string("python3 -I -S ") + path + " 2>/dev/null").c_str(), "r");
  std::string output;
  if (pipe) {
    char chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof(chunk), pipe)) > 0) output.append(chunk, n);
  }
  const int status = pipe ? ::pclose(pipe) : -1;
  ::unlink(path);
  if (status != 0) return false;
  lines->clear();
  size_t start = 0;
  for (size_t nl; (nl = output.find('\n', start)) != std::string::npos; start = nl + 1)
    lines->push_back(output.substr(start, nl - start));
  return true;
}

TEST(MultiByteToWideChar, LengthsAndSizeQueries) {
  const char* text = "ab\xE4\xB8\xAD";                                  // "ab中"
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0), 4);  // with the NUL
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, 5, nullptr, 0), 3);
  char16_t buffer[8];
  std::fill(std::begin(buffer), std::end(buffer), u'#');
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, -1, buffer, 8), 4);
  EXPECT_EQ(std::u16string(buffer, 5), std::u16string(u"ab中\0#", 5));
  std::fill(std::begin(buffer), std::end(buffer), u'#');
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, 5, buffer, 8), 3);
  EXPECT_EQ(buffer[3], u'#');  // no terminator without -1

  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, -1, buffer, 3), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  // An exact fit is not "insufficient".
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, text, 5, buffer, 3), 3);
}

TEST(MultiByteToWideChar, RejectsBadParameters) {
  char16_t buffer[4];
  struct Case {
    const char* name;
    UINT cp;
    const char* source;
    int source_size;
    char16_t* out;
    int out_size;
  };
  const Case cases[] = {
      {"null source", CP_UTF8, nullptr, 3, buffer, 4},
      {"zero source size", CP_UTF8, "abc", 0, buffer, 4},
      {"negative output size", CP_UTF8, "abc", 3, buffer, -1},
      {"null output with a size", CP_UTF8, "abc", 3, nullptr, 4},
      {"UTF-16LE is not a page here", 1200, "abc", 3, buffer, 4},
      {"UTF-16BE is not a page here", 1201, "abc", 3, buffer, 4},
      {"UTF-32", 65005, "abc", 3, buffer, 4},
      {"unknown page", 12345, "abc", 3, buffer, 4},
      {"CP_MACCP", CP_MACCP, "abc", 3, buffer, 4},
  };
  for (const Case& c : cases) {
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(MultiByteToWideChar(c.cp, 0, c.source, c.source_size, c.out, c.out_size), 0)
        << c.name;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << c.name;
  }
}

TEST(NlsFlags, RejectFlagsThePageDoesNotTake) {
  char16_t wide[8];
  char narrow[8];
  struct Case {
    const char* name;
    bool to_wide;
    UINT cp;
    DWORD flags;
    DWORD error;  // ERROR_SUCCESS: accepted
  };
  const Case cases[] = {
      {"UTF-8 takes MB_ERR_INVALID_CHARS", true, CP_UTF8, MB_ERR_INVALID_CHARS, ERROR_SUCCESS},
      {"UTF-8 refuses MB_PRECOMPOSED", true, CP_UTF8, MB_PRECOMPOSED, ERROR_INVALID_FLAGS},
      {"UTF-7 refuses every flag", true, CP_UTF7, MB_ERR_INVALID_CHARS, ERROR_INVALID_FLAGS},
      {"936 takes MB_PRECOMPOSED", true, 936, MB_PRECOMPOSED, ERROR_SUCCESS},
      {"936 refuses both composition flags", true, 936, MB_PRECOMPOSED | MB_COMPOSITE,
       ERROR_INVALID_FLAGS},
      {"936 refuses unknown bits", true, 936, 0x100, ERROR_INVALID_FLAGS},
      {"54936 refuses MB_PRECOMPOSED", true, 54936, MB_PRECOMPOSED, ERROR_INVALID_FLAGS},
      {"UTF-8 takes WC_ERR_INVALID_CHARS", false, CP_UTF8, WC_ERR_INVALID_CHARS, ERROR_SUCCESS},
      {"UTF-8 refuses WC_NO_BEST_FIT_CHARS", false, CP_UTF8, WC_NO_BEST_FIT_CHARS,
       ERROR_INVALID_FLAGS},
      {"1252 takes WC_NO_BEST_FIT_CHARS", false, 1252, WC_NO_BEST_FIT_CHARS, ERROR_SUCCESS},
      {"1252 refuses WC_ERR_INVALID_CHARS", false, 1252, WC_ERR_INVALID_CHARS, ERROR_INVALID_FLAGS},
      {"54936 takes WC_ERR_INVALID_CHARS", false, 54936, WC_ERR_INVALID_CHARS, ERROR_SUCCESS},
      {"UTF-7 refuses WC_ERR_INVALID_CHARS", false, CP_UTF7, WC_ERR_INVALID_CHARS,
       ERROR_INVALID_FLAGS},
  };
  for (const Case& c : cases) {
    SetLastError(ERROR_SUCCESS);
    const int result =
        c.to_wide ? MultiByteToWideChar(c.cp, c.flags, "abc", 3, wide, 8)
                  : WideCharToMultiByte(c.cp, c.flags, u"abc", 3, narrow, 8, nullptr, nullptr);
    EXPECT_EQ(result, c.error == ERROR_SUCCESS ? 3 : 0) << c.name;
    EXPECT_EQ(GetLastError(), c.error) << c.name;
  }
}

TEST(MultiByteToWideChar, Utf8IllFormedSequences) {
  // One U+FFFD per maximal subpart, as Unicode recommends; Python's decoder agrees below.
  struct Case {
    std::string bytes;
    std::u16string want;
  };
  const Case cases[] = {
      {"a\x80z", u"a\uFFFDz"},                            // lone trail byte
      {"\xC0\x80", u"\uFFFD\uFFFD"},                      // overlong lead
      {"\xE0\x80\x80", u"\uFFFD\uFFFD\uFFFD"},            // overlong three bytes
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},            // encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"\xE2\x82z", u"\uFFFDz"},                          // truncated, then ASCII
      {"\xF0\x9F\x98", u"\uFFFD"},                        // truncated at the end
      {"\xFF\xFE", u"\uFFFD\uFFFD"},
      {"\xF0\x9F\x98\x80", u"\U0001F600"},  // a valid pair for contrast
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Decode(CP_UTF8, c.bytes), c.want) << Hex(c.bytes);
    DWORD error = 0;
    const bool valid = c.want.find(u'\uFFFD') == std::u16string::npos;
    EXPECT_EQ(Decode(CP_UTF8, c.bytes, MB_ERR_INVALID_CHARS, &error), valid ? c.want : u"<fail>");
    EXPECT_EQ(error, valid ? ERROR_SUCCESS : ERROR_NO_UNICODE_TRANSLATION) << Hex(c.bytes);
  }

  std::string script = "cases = [";
  for (const Case& c : cases) script += "'" + Hex(c.bytes) + "',";
  script +=
      "]\nfor c in cases: print(bytes.fromhex(c).decode('utf-8', 'replace')"
      ".encode('utf-16-le').hex())\n";
  std::vector<std::string> lines;
  if (!RunPython(script, &lines)) GTEST_SKIP() << "python3 is not available";
  ASSERT_EQ(lines.size(), std::size(cases));
  for (size_t i = 0; i < lines.size(); ++i)
    EXPECT_EQ(Decode(CP_UTF8, cases[i].bytes), Utf16FromLeBytes(Unhex(lines[i])))
        << Hex(cases[i].bytes);
}

TEST(WideCharToMultiByte, Utf8) {
  EXPECT_EQ(Encode(CP_UTF8, u"OrvanePDF转换器"), "OrvanePDF\xE8\xBD\xAC\xE6\x8D\xA2\xE5\x99\xA8");
  EXPECT_EQ(Encode(CP_UTF8, u"\U0001F600"), "\xF0\x9F\x98\x80");
  const std::u16string lone = {u'a', 0xD800, u'b', 0xDC00};
  EXPECT_EQ(Encode(CP_UTF8, lone),
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD");
  DWORD error = 0;
  EXPECT_EQ(Encode(CP_UTF8, lone, WC_ERR_INVALID_CHARS, nullptr, nullptr, &error), "<fail>");
  EXPECT_EQ(error, ERROR_NO_UNICODE_TRANSLATION);

  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"ab", -1, nullptr, 0, nullptr, nullptr), 3);
  char out[4] = {'#', '#', '#', '#'};
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"ab", -1, out, 2, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"ab", -1, out, 3, nullptr, nullptr), 3);
  EXPECT_EQ(std::string(out, 4), std::string("ab\0#", 4));
}

TEST(WideCharToMultiByte, DefaultCharacterOnlyOutsideUtf7AndUtf8) {
  char out[16];
  BOOL used = 7;
  for (UINT cp : {CP_UTF7, CP_UTF8}) {
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(WideCharToMultiByte(cp, 0, u"a", 1, out, 16, "_", nullptr), 0) << cp;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << cp;
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(WideCharToMultiByte(cp, 0, u"a", 1, out, 16, nullptr, &used), 0) << cp;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << cp;
  }

  struct Case {
    UINT cp;
    std::u16string text;
    const char* default_char;
    std::string want;
    BOOL used;
  };
  const Case cases[] = {
      {936, u"转换器", "_", "\xD7\xAA\xBB\xBB\xC6\xF7", FALSE},
      {936, u"a\U0001F600b", "_", "a_b", TRUE},  // a pair is one character
      {936, u"Ā", nullptr, "?", TRUE},           // no best fit to 'A'
      {936, std::u16string{u'x', 0xDC00}, "_", "x_", TRUE},
      {54936, u"a\U0001F600b", "_",
       "a\x94\x39\xFC\x36"
       "b",
       FALSE},
      {1252, u"€Ÿé", "_", "\x80\x9F\xE9", FALSE},
      {1252, u"Āb", "_", "_b", TRUE},
      {1252, u"\u0081", "_", "\x81", FALSE},  // undefined bytes keep their C1 character
      {437, u"é╬", "_", "\x82\xCE", FALSE},
      {437, u"€", nullptr, "?", TRUE},
      {950, u"繁體中文", "_", "\xC1\x63\xC5\xE9\xA4\xA4\xA4\xE5", FALSE},
      {950, u"\U0001F600", "*", "*", TRUE},
  };
  for (const Case& c : cases) {
    used = 7;
    EXPECT_EQ(Encode(c.cp, c.text, 0, c.default_char, &used), c.want) << c.cp;
    EXPECT_EQ(used, c.used) << c.cp << " " << Hex(c.want);
    // Without the flag pointer the result is the same.
    EXPECT_EQ(Encode(c.cp, c.text, 0, c.default_char, nullptr), c.want) << c.cp;
  }
}

TEST(MultiByteToWideChar, DoubleByteInvalidInput) {
  struct Case {
    UINT cp;
    std::string bytes;
    std::u16string lenient;  // without MB_ERR_INVALID_CHARS
  };
  const Case cases[] = {
      {936, "a\x81", u"a?"},  // lead byte at the end
      {936,
       "\xFF"
       "b",
       u"?b"},                     // no such byte
      {936, "\x80", u"€"},         // Windows' euro sign
      {54936, "\x81\x30", u"?0"},  // half of a four-byte sequence
      {950, "\xC1\x63", u"繁"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Decode(c.cp, c.bytes), c.lenient) << c.cp << " " << Hex(c.bytes);
    DWORD error = 0;
    const bool valid = c.lenient.find(u'?') == std::u16string::npos;
    EXPECT_EQ(Decode(c.cp, c.bytes, MB_ERR_INVALID_CHARS, &error), valid ? c.lenient : u"<fail>");
    EXPECT_EQ(error, valid ? ERROR_SUCCESS : ERROR_NO_UNICODE_TRANSLATION);
  }
}

TEST(Nls, Gb18030RoundTripsAgainstPython) {
  const std::u16string text = u"OrvanePDF转换器 €é\u00FF\u0452\uFFFD\U0001F600\U00010000";
  const std::string bytes = Encode(54936, text);
  EXPECT_EQ(Decode(54936, bytes), text);
  std::vector<std::string> lines;
  if (!RunPython("import sys\nt = bytes.fromhex('" + Hex(win32::ToUtf8(text)) +
                     "').decode('utf-8')\nprint(t.encode('gb18030').hex())\n",
                 &lines))
    GTEST_SKIP() << "python3 is not available";
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(Hex(bytes), lines[0]);
}

// Every character of a page, through both functions, against Python's codec.
void CheckPageAgainstPython(UINT cp, const std::string& python_table) {
  std::vector<std::string> lines;
  if (!RunPython(python_table + "print(data.hex())\n"
                                "print(text.encode('utf-16-le').hex())\n"
                                "print(encoded.hex())\n",
                 &lines))
    GTEST_SKIP() << "python3 is not available";
  ASSERT_EQ(lines.size(), 3u);
  const std::string bytes = Unhex(lines[0]);
  const std::u16string text = Utf16FromLeBytes(Unhex(lines[1]));
  const std::u16string decoded = Decode(cp, bytes, MB_ERR_INVALID_CHARS);
  ASSERT_EQ(decoded.size(), text.size()) << cp;
  size_t mismatches = 0;
  for (size_t i = 0; i < text.size() && mismatches < 5; ++i)
    if (decoded[i] != text[i]) {
      ++mismatches;
      ADD_FAILURE() << cp << ": unit " << i << " is " << std::hex << int(decoded[i])
                    << ", Python says " << int(text[i]);
    }
  EXPECT_EQ(Hex(Encode(cp, text, 0, "_")), lines[2]) << cp;
}

TEST(Nls, Cp936MatchesPythonGbk) {
  // Python's gbk codec lacks Windows' 0x80 (euro), tested separately.
  CheckPageAgainstPython(936,
                         "data = bytearray(range(0x80)); text = data.decode('ascii')\n"
                         "for a in range(0x81, 0xFF):\n"
                         "  for b in range(0x40, 0xFF):\n"
                         "    try: c = bytes([a, b]).decode('gbk')\n"
                         "    except UnicodeDecodeError: continue\n"
                         "    data += bytes([a, b]); text += c\n"
                         "data = bytes(data); encoded = text.encode('gbk')\n");
}

TEST(Nls, Cp1252MatchesPython) {
  // Windows keeps the five undefined bytes as the C1 controls of the same value.
  CheckPageAgainstPython(1252,
                         "data = bytes(range(256))\n"
                         "text = ''.join(chr(b) if b in (0x81, 0x8D, 0x8F, 0x90, 0x9D)\n"
                         "               else bytes([b]).decode('cp1252') for b in data)\n"
                         "encoded = data\n");
}

TEST(Nls, Cp437MatchesPython) {
  CheckPageAgainstPython(437,
                         "data = bytes(range(256)); text = data.decode('cp437')\n"
                         "encoded = text.encode('cp437')\n");
}

TEST(Nls, Utf7) {
  // RFC 2152 examples.
  EXPECT_EQ(Decode(CP_UTF7, "Hi Mom -+Jjo--!"), u"Hi Mom -☺-!");
  EXPECT_EQ(Decode(CP_UTF7, "+ZeVnLIqe-"), u"日本語");
  EXPECT_EQ(Decode(CP_UTF7, "A+ImIDkQ."), u"A≢Α.");
  EXPECT_EQ(Encode(CP_UTF7, u"日本語"), "+ZeVnLIqe-");
  const std::u16string text = u"Hi Mom -☺-! \U0001F600 a+b";
  EXPECT_EQ(Decode(CP_UTF7, Encode(CP_UTF7, text)), text);
  // Invalid input is replaced, never refused.
  EXPECT_EQ(Decode(CP_UTF7, "a\xE9z"), u"a\uFFFDz");
  // An unpaired surrogate is encoded as U+FFFD.
  EXPECT_EQ(Decode(CP_UTF7, Encode(CP_UTF7, std::u16string{u'a', 0xD800})), u"a\uFFFD");
}

TEST(IsValidCodePage, KnownPages) {
  for (UINT cp : {936u, 54936u, 950u, 65000u, 65001u, 1252u, 437u, 932u, 949u, 1251u})
    EXPECT_TRUE(IsValidCodePage(cp)) << cp;
  for (UINT cp : {CP_ACP, CP_OEMCP, CP_THREAD_ACP, 1200u, 1201u, 65005u, 65006u, 12345u})
    EXPECT_FALSE(IsValidCodePage(cp)) << cp;
}

TEST(GetACP, FollowsTheMachine) {
  kxtest::TestMachine machine;
  ASSERT_TRUE(machine.ok());
  EXPECT_EQ(GetACP(), 936u);
  EXPECT_EQ(GetOEMCP(), 936u);
  EXPECT_EQ(Decode(CP_ACP, "\xD7\xAA"), u"转");
  EXPECT_EQ(Encode(CP_THREAD_ACP, u"转"), "\xD7\xAA");

  machine.SetFact("ansi_code_page", 1252);
  EXPECT_EQ(GetACP(), 1252u);
  EXPECT_EQ(GetOEMCP(), 437u);
  EXPECT_EQ(Decode(CP_ACP, "\xE9"), u"é");
  EXPECT_EQ(Decode(CP_OEMCP, "\x82"), u"é");

  machine.SetFact("ansi_code_page", "not a number");
  EXPECT_EQ(GetACP(), 936u);

  machine.SetFact("ansi_code_page", 12345);  // a page this system cannot convert
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "a", 1, nullptr, 0), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(Nls, ConcurrentFirstUse) {
  // The page tables are built on first use; threads racing for them must agree.
  std::vector<std::thread> threads;
  std::vector<int> failures(8, 0);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < 50; ++i) {
        const UINT cp = (t + i) % 3 == 0 ? 1252 : ((t + i) % 3 == 1 ? 866 : 936);
        const std::u16string text = cp == 936 ? u"转换器" : (cp == 866 ? u"Привет" : u"café");
        if (Decode(cp, Encode(cp, text)) != text) ++failures[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < 8; ++t) EXPECT_EQ(failures[t], 0) << t;
}

}  // namespace
}  // namespace win32
