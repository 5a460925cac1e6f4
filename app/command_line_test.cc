#include "app/command_line.h"

#include <gtest/gtest.h>

#include "win32/unicode.h"

namespace {

TEST(ParseUninstallCommandLine, FindsSwitchesAnywhere) {
  struct Case {
    std::u16string text;
    int mode;
    std::u16string product;
  };
  const Case cases[] = {
      {u"", 0, u""},
      {u"--s", 1, u""},
      {u"--silent", 1, u""},  // a longer switch that begins with "--s"
      {u"--S", 0, u""},       // matching is case-sensitive
      {u"x--sy", 1, u""},
      {u"-pproduct=OrvaneOCR", 0, u"OrvaneOCR"},
      {u"--s -pproduct=OrvaneOCR -run_in_temp", 1, u"OrvaneOCR"},
      {u"-pproduct=a-b c", 0, u""},       // one letter, "-" and more: the letter goes too
      {u"-pproduct=ab-c", 0, u"a"},       // an id with "-" is cut one before it
      {u"-pproduct=-run_in_temp", 0, u"-run_in_temp"},  // a dash first: all the rest
      {u"-pproduct=", 0, u""},
      {u"-pproduct=id  ", 0, u"id  "},    // trailing blanks stay
      {u"-pproduct=a -pproduct=b", 0, u"a"},
  };
  for (const Case& c : cases) {
    Kx::UninstallCommandLine parsed = Kx::ParseUninstallCommandLine(c.text);
    EXPECT_EQ(parsed.mode, c.mode) << win32::ToUtf8(c.text);
    EXPECT_EQ(parsed.product, c.product) << win32::ToUtf8(c.text);
  }
}

}  // namespace
