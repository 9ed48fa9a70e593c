#include "text/local_codepage.h"

#include <gtest/gtest.h>

namespace corvane {
namespace {

// GBK, the code page of the "zh-CN" locale, whatever the platform's own.
class Utf8ToGbk : public ::testing::Test {
 protected:
  void SetUp() override { setLocalCodepage(LocalCodepage::kGbk); }
  void TearDown() override { setLocalCodepage(platformCodepage()); }
};

TEST_F(Utf8ToGbk, AsciiAndEmptyComeBackUnchanged) {
  EXPECT_EQ(utf8ToLocal("plain/path-1_2.txt"), "plain/path-1_2.txt");
  EXPECT_EQ(utf8ToLocal(""), "");
}

TEST_F(Utf8ToGbk, ChineseTakesTwoBytesPerCharacter) {
  // U+4E2D U+6587 in UTF-8 (3 bytes each) become D6D0 CEC4 in GBK.
  EXPECT_EQ(utf8ToLocal("\xE4\xB8\xAD\xE6\x96\x87.txt"), "\xD6\xD0\xCE\xC4.txt");
}

TEST_F(Utf8ToGbk, AnyUnrepresentableCharacterEmptiesTheWholeText) {
  EXPECT_EQ(utf8ToLocal("report \xF0\x9F\x98\x80.txt"), "");  // an emoji GBK lacks
  EXPECT_EQ(utf8ToLocal("\xE4\xB8\xAD\xF0\x9F\x98\x80"), "");
}

// In either code page: with "UTF-8" the validation alone refuses these,
// since no conversion follows that could.
TEST(Utf8ToLocal, InvalidUtf8GivesTheEmptyTextInEitherCodePage) {
  for (LocalCodepage codepage : {LocalCodepage::kGbk, LocalCodepage::kUtf8}) {
    setLocalCodepage(codepage);
    SCOPED_TRACE(codepage == LocalCodepage::kGbk ? "GBK" : "UTF-8");
    EXPECT_EQ(utf8ToLocal("abc\xFF"), "");
    EXPECT_EQ(utf8ToLocal("\xC0\xAF"), "");          // overlong "/"
    EXPECT_EQ(utf8ToLocal("\xE0\x80\xAF"), "");      // overlong "/" in three bytes
    EXPECT_EQ(utf8ToLocal("\xED\xA0\x80"), "");      // a surrogate
    EXPECT_EQ(utf8ToLocal("\xE4\xB8"), "");          // cut short
    EXPECT_EQ(utf8ToLocal("\xF4\x90\x80\x80"), "");  // above U+10FFFF
  }
  setLocalCodepage(platformCodepage());
}

// The offset is where the bad sequence starts, not the byte inside it that
// gives it away.
TEST(FirstInvalidUtf8, PointsAtTheStartOfTheFirstBadSequence) {
  EXPECT_EQ(firstInvalidUtf8("plain \xE4\xB8\xAD text"), std::string::npos);
  EXPECT_EQ(firstInvalidUtf8(""), std::string::npos);
  EXPECT_EQ(firstInvalidUtf8("ab\xD4\x5C"), 2u);             // GBK 診
  EXPECT_EQ(firstInvalidUtf8("\xE4\xB8\xAD\xE4\xB8"), 3u);   // cut short
  EXPECT_EQ(firstInvalidUtf8("a\xE0\x80\xAF"), 1u);          // overlong
  EXPECT_EQ(firstInvalidUtf8("ok\xED\xA0\x80"), 2u);         // a surrogate
  EXPECT_EQ(firstInvalidUtf8("\xFF\xFE{"), 0u);
}

TEST(Utf8ToLocal, Utf8CodepageKeepsValidTextUnchanged) {
  setLocalCodepage(LocalCodepage::kUtf8);
  EXPECT_EQ(utf8ToLocal("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");
  setLocalCodepage(platformCodepage());
}

}  // namespace
}  // namespace corvane
