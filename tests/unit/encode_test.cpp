#include "base/encode.h"

#include <gtest/gtest.h>

namespace {

TEST(UrlDecode, PlusPercentAndNonBreakingSpace) {
  EXPECT_EQ(base::UrlDecode("a+b%2Bc%A0d"), "a b+c d");
  EXPECT_EQ(base::UrlDecode("%41%62%2f%2F"), "Ab//");
  EXPECT_EQ(base::UrlDecode("%00x"), std::string("\0x", 2));
  EXPECT_EQ(base::UrlDecode("\xA0"), "\xA0");  // only a decoded 0xA0 becomes a blank
}

TEST(UrlDecode, PercentWithoutTwoHexDigitsIsKeptAndDecodingGoesOn) {
  const std::pair<const char*, const char*> cases[] = {
      {"100%+sure+%zz", "100% sure %zz"},
      {"50%", "50%"},
      {"%4", "%4"},
      {"%zzA", "%zzA"},
      {"%4zB", "%4zB"},
      {"%", "%"},
      {"%%41", "%A"},
      {"%4%41", "%4A"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(base::UrlDecode(in), out) << in;
}

TEST(EscapeHtml, OnlyTheThreeDangerousCharacters) {
  EXPECT_EQ(base::EscapeHtml("R&D <b>\"x\"</b> a\\b"), "R&D &lt;b&gt;&quot;x&quot;&lt;/b&gt; a\\b");
  EXPECT_EQ(base::EscapeHtml("plain value 12"), "plain value 12");
  EXPECT_EQ(base::EscapeScript("a\\b\"<"), "a\\\\b&quot;&lt;");
}

}  // namespace
