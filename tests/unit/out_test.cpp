#include "base/out.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "unit_support.h"

namespace {

TEST(Sprintf, AppliesPrintfFormats) {
  EXPECT_EQ(base::Sprintf("%s.%05d", "TESTA_", 42), "TESTA_.00042");
  EXPECT_EQ(base::Sprintf("#*qs:<%d>\n", -61), "#*qs:<-61>\n");
  EXPECT_EQ(base::Sprintf("%c|%%|%ul", 'x', 7u), "x|%|7l");
  EXPECT_EQ(base::Sprintf("%-5s|", std::string("ab")), "ab   |");
}

TEST(Sprintf, MalformedFormatsComeBackAsTheyStand) {
  // A language message with more conversions than arguments, an unknown conversion, a
  // lone percent sign at the end, or a type that does not fit.
  EXPECT_EQ(base::Sprintf("Sheet %s of %s", "A"), "Sheet %s of %s");
  EXPECT_EQ(base::Sprintf("bad %y here", 1), "bad %y here");
  EXPECT_EQ(base::Sprintf("100%", 1), "100%");
  EXPECT_EQ(base::Sprintf("%d items", "text"), "%d items");
  EXPECT_EQ(base::Sprintf("no conversion"), "no conversion");
}

TEST(Sprintf, ExtraArgumentsAreIgnored) {
  EXPECT_EQ(base::Sprintf("plain", "x", 3), "plain");
}

TEST(Printf, WritesToAStream) {
  EXPECT_EQ(testing_support::CaptureStream([](std::FILE* f) {
              base::Printf(f, "<TITLE>%s</TITLE>\n", "x");
              base::Write(f, std::string("a\0b", 3));
            }),
            std::string("<TITLE>x</TITLE>\na\0b", 20));
}

}  // namespace
