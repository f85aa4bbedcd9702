// The text helpers both libraries share (util/vutext.h): case-folding, decimal digits and string
// copies, checked directly; the case-blind names, the port parsers and the link records rest on
// them.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "basetest.h"
#include "vorutil.h"
#include "vutext.h"

namespace {

using UtilText = vortest::BaseTest;

TEST_F(UtilText, AsciiLowerFoldsTheCapitalsAndNothingElse) {
  const char* upper = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  const char* lower = "abcdefghijklmnopqrstuvwxyz";
  for (int i = 0; i < 26; ++i) {
    EXPECT_EQ(vor::AsciiLower(static_cast<unsigned char>(upper[i])),
              static_cast<unsigned char>(lower[i]));
  }
  for (int c = 0; c < 256; ++c) {
    bool capital = c != 0 && std::strchr(upper, c) != nullptr;
    if (capital) continue;
    EXPECT_EQ(vor::AsciiLower(static_cast<unsigned char>(c)), c) << "byte " << c;
  }
}

TEST_F(UtilText, AllDigitsAcceptsOnlyDecimalDigits) {
  EXPECT_TRUE(vor::AllDigits("0123456789"));
  EXPECT_TRUE(vor::AllDigits(""));  // the TCP parser reads "" as port 0
  // The neighbours of '0' and '9', and digits with anything around them.
  for (const char* text : {"/", ":", "12a", "a12", " 1", "1 ", "1.5", "-1", "+1", "\xd9"}) {
    EXPECT_FALSE(vor::AllDigits(text)) << text;
  }
}

TEST_F(UtilText, DecimalValueIsHeldAtInt32MaxAndKeepsLeadingZeros) {
  EXPECT_EQ(vor::DecimalValue("0"), 0);
  EXPECT_EQ(vor::DecimalValue("007"), 7);
  EXPECT_EQ(vor::DecimalValue("65535"), 65535);
  EXPECT_EQ(vor::DecimalValue("65536"), 65536);
  EXPECT_EQ(vor::DecimalValue("000000000000000000000000000000080"), 80);
  EXPECT_EQ(vor::DecimalValue("2147483646"), INT32_MAX - 1);
  EXPECT_EQ(vor::DecimalValue("2147483647"), INT32_MAX);
  EXPECT_EQ(vor::DecimalValue("2147483648"), INT32_MAX);
  EXPECT_EQ(vor::DecimalValue("4294967376"), INT32_MAX);  // 2^32 + 80 must not wrap to 80
  EXPECT_EQ(vor::DecimalValue("99999999999999999999999999999999"), INT32_MAX);
}

TEST_F(UtilText, StrCopyMakesOneTrackedBlockWithTheWholeText) {
  int32_t before = VorMemBlockCount();
  int32_t bad_before = VorMemBadFreeCount();
  const char text[] = "node-\xc3\xa9.example";
  char* copy = vor::StrCopy(text, "(copy)", "test-util-text", __LINE__);
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy, text);
  EXPECT_STREQ(copy, text);
  EXPECT_EQ(VorMemBlockCount(), before + 1);
  char* empty = vor::StrCopy("", "(copy)", "test-util-text", __LINE__);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty[0], '\0');
  EXPECT_EQ(VorMemBlockCount(), before + 2);
  VorFreeCheck(empty, "copy", "test-util-text", __LINE__);
  VorFreeCheck(copy, "copy", "test-util-text", __LINE__);
  EXPECT_EQ(VorMemBadFreeCount(), bad_before);
}

}  // namespace
