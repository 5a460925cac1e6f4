#include "app/removal.h"

#include <gtest/gtest.h>

#include "win32/unicode.h"

namespace {

TEST(IsRemovableInstallRoot, NeedsAnAbsolutePathThatNamesTheProduct) {
  struct Case {
    std::u16string root;
    bool removable;
  };
  const Case cases[] = {
      {u"C:\\Program Files (x86)\\OrvaneRUZUrevivaer", true},
      {u"D:/Apps/OrvaneRUZUrevivaer/", true},
      {u"C:\\Program Files (x86)\\OrvaneRUZUrevivaerOld", true},  // the substring rule stays
      {u"", false},
      {u"C:\\", false},
      {u"C:\\Program Files (x86)\\Other", false},
      {u"C:\\Program Files (x86)\\orvaneruzurevivaer", false},  // case-sensitive
      {u"C:\\Users\\alice\\..\\OrvaneRUZUrevivaer\\..", false},
      {u"C:\\OrvaneRUZUrevivaer\\..\\..", false},
      {u"C:\\OrvaneRUZUrevivaer\\.", false},
      {u"OrvaneRUZUrevivaer", false},                  // relative
      {u"\\OrvaneRUZUrevivaer", false},                // no drive
      {u"\\\\server\\share\\OrvaneRUZUrevivaer", false},  // not below a drive root
      {u"C:OrvaneRUZUrevivaer", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Kx::IsRemovableInstallRoot(c.root), c.removable) << win32::ToUtf8(c.root);
}

}  // namespace
