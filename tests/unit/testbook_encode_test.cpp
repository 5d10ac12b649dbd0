// The test-book encoders and parsers that need no installation: link values, identifiers,
// text blocks and the test file's text.
#include <gtest/gtest.h>

#include <string>

#include "testbook/listing.h"
#include "testbook/records.h"

namespace {

TEST(TestBookEncode, LinkValuesKeepOnlyLettersAndDigits) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"Login 2", "Login+2"},
      {"R&D/x.y", "R%26D%2fx%2ey"},
      {"\xE9t\xE9", "%e9t%e9"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(testbook::EncodeLinkValue(c.in), c.out) << c.in;
}

TEST(TestBookEncode, IdentifiersThatCannotBeFileNamesAreRefused) {
  struct Case {
    std::string id;
    bool identifier;
    bool project;
  } cases[] = {
      {"LOG", true, true},
      {"Log in", true, true},
      {"v1.2", false, true},
      {"..", false, false},
      {".", false, false},
      {"a/b", false, false},
      {"a\\b", false, false},
      {"a\nb", false, false},
      {"a\x7f", false, false},
      {"", false, false},
      {" LOG", false, false},
      {std::string(39, 'x'), true, true},
      {std::string(40, 'x'), false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(testbook::IsSafeIdentifier(c.id), c.identifier) << c.id;
    EXPECT_EQ(testbook::IsSafeProjectName(c.id), c.project) << c.id;
  }
  EXPECT_EQ(testbook::CampaignName("2024/05/01 run"), "2024-05-01 run");
  EXPECT_TRUE(testbook::IsSafeCampaignName("2024.05.01.10.00.00"));
  EXPECT_FALSE(testbook::IsSafeCampaignName("a\\b"));
}

TEST(TestBookEncode, TextBlocksReadBackExactly) {
  std::string blocks;
  for (std::string_view text : {"", "one", "two\nlines\r\n", "12 digits"})
    testbook::AppendTextBlock(blocks, text);
  EXPECT_EQ(blocks, "0 3 one11 two\nlines\r\n9 12 digits");
  std::string_view in = blocks;
  for (std::string_view text : {"", "one", "two\nlines\r\n", "12 digits"})
    EXPECT_EQ(testbook::ReadTextBlock(in), text);
  EXPECT_TRUE(in.empty());

  // A length past the end takes what is there; no digits read as an empty text.
  std::string_view cut = "9 abc";
  EXPECT_EQ(testbook::ReadTextBlock(cut), "abc");
  std::string_view none = "x";
  EXPECT_EQ(testbook::ReadTextBlock(none), "");
  EXPECT_TRUE(none.empty());
}

TEST(TestBookEncode, TestFileHoldsOneFieldPerLineAndItsTextsAsBlocks) {
  testbook::TestRecord test;
  test.number = 7;
  test.submitter = "kolvar";
  test.created = 946684800;
  test.project = "TEST";
  test.group = "GUI";
  test.phase = 1;
  test.mod = "LOG";
  test.step = "S1";
  test.title = "Two\nlines";  // a line break never splits a field
  test.impact = -1;
  test.obj = "Objective";
  test.notes = "a\nb";
  EXPECT_EQ(testbook::FormatTest(test),
            "7\nkolvar\n946684800\nTEST\nGUI\n1\nLOG\nS1\nTwo lines\n-1\n \n"
            "9 Objective0 0 0 0 0 3 a\nb");
}

}  // namespace
