#include "base/out.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "unit_support.h"

namespace {

TEST(Sprintf, AppliesPrintfFormatsAndReturnsMalformedOnesAsTheyStand) {
  const std::pair<std::string, std::string> cases[] = {
      {base::Sprintf("%s.%05d", "TESTA_", 42), "TESTA_.00042"},
      {base::Sprintf("#*qs:<%d>\n", -61), "#*qs:<-61>\n"},
      {base::Sprintf("%c|%%|%ul", 'x', 7u), "x|%|7l"},
      {base::Sprintf("%-5s|", std::string("ab")), "ab   |"},
      {base::Sprintf("plain", "x", 3), "plain"},  // extra arguments are ignored
      // A language message with more conversions than arguments, an unknown conversion, a
      // lone percent sign at the end, or a type that does not fit.
      {base::Sprintf("Sheet %s of %s", "A"), "Sheet %s of %s"},
      {base::Sprintf("bad %y here", 1), "bad %y here"},
      {base::Sprintf("100%", 1), "100%"},
      {base::Sprintf("%d items", "text"), "%d items"},
      {base::Sprintf("no conversion"), "no conversion"},
  };
  for (const auto& [got, expected] : cases) EXPECT_EQ(got, expected);
  EXPECT_EQ(testing_support::CaptureStream([](std::FILE* f) {
              base::Printf(f, "<TITLE>%s</TITLE>\n", "x");
              base::Write(f, std::string("a\0b", 3));
            }),
            std::string("<TITLE>x</TITLE>\na\0b", 20));
}

}  // namespace
