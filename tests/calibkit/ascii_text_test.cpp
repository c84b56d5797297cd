// The library's text conversions: ASCII passes both ways, anything else becomes one '?'.
#include "ascii_text.h"

#include <gtest/gtest.h>

namespace {

TEST(AsciiText, AsciiPassesAndEveryOtherCharacterBecomesOneQuestionMark) {
  const struct {
    std::u16string wide;
    std::string narrow;
  } cases[] = {
      {u"", ""},
      {u"COM1:", "COM1:"},
      {u"/opt/caf\u00e9/calguard", "/opt/caf?/calguard"},
      {u"\u7aef\u672b", "??"},
      {u"\x7f", "\x7f"},
  };
  for (const auto &c : cases) EXPECT_EQ(Narrow(c.wide), c.narrow) << c.narrow;
  EXPECT_EQ(Widen("4242 of 5"), u"4242 of 5");
  // A byte beyond ASCII is not sign-extended into some other character.
  EXPECT_EQ(Widen("caf\xc3\xa9"), u"caf??");
}

}  // namespace
