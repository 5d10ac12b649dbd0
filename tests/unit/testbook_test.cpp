// The test book: identifiers, text blocks and the test file's text, the printed fields, campaign
// names and typed sheet references; then its files in an installation: listings, numbering, reading
// rules of test and result files, and the kept listing of a big book.
#include <fcntl.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <regex>
#include <string>
#include <vector>

#include "base/names.h"
#include "base/request_state.h"
#include "e2e/harness.h"
#include "testbook/book_print.h"
#include "testbook/campaigns.h"
#include "testbook/listing.h"
#include "testbook/records.h"

namespace {

using testbook::PrintField;

// One rule for every name that becomes a file or folder name; an identifier also has no dot
// and at most 39 characters; a campaign name as typed has its slashes made hyphens, and is
// refused (empty) when it could leave the book or is longer than 80.
TEST(TestBookEncode, IdentifiersThatCannotBeFileNamesAreRefused) {
  struct Case {
    std::string id;
    bool identifier;
    bool name;
    std::string campaign;
  } cases[] = {
      {"LOG", true, true, "LOG"},
      {"v1.2", false, true, "v1.2"},
      {"..", false, false, ""},
      {".hidden", false, false, ""},
      {"a..b", false, true, "a..b"},
      {"a/b", false, false, "a-b"},
      {"run 1/a", false, false, "run 1-a"},
      {"../../x", false, false, ""},  // "..-..-x" once the slashes are hyphens
      {"a\\b", false, false, ""},
      {"x:y", false, false, ""},
      {"a\nb", false, false, ""},
      {"a\x7f", false, false, ""},
      {"", false, false, ""},
      {" LOG", false, false, ""},
      {std::string(39, 'x'), true, true, std::string(39, 'x')},
      {std::string(40, 'x'), false, true, std::string(40, 'x')},
      {std::string(81, 'x'), false, true, ""},
      {std::string(129, 'x'), false, false, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(testbook::IsSafeIdentifier(c.id), c.identifier) << c.id;
    EXPECT_EQ(base::IsSafeName(c.id), c.name) << c.id;
    EXPECT_EQ(testbook::IsSafeCampaignName(c.id), c.name) << c.id;
    EXPECT_EQ(testbook::CheckedCampaignName(c.id), c.campaign) << c.id;
  }
  EXPECT_EQ(testbook::CampaignName("2024/05/01 run"), "2024-05-01 run");
  // The default name is the date with dots.
  const std::string name = testbook::DefaultCampaignName(0);
  EXPECT_TRUE(std::regex_match(name, std::regex("\\d{4}(\\.\\d\\d){5}"))) << name;
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
  test.number = 7, test.submitter = "kolvar", test.created = 946684800, test.project = "TEST";
  test.group = "GUI", test.phase = 1, test.mod = "LOG", test.step = "S1";
  test.title = "Two\nlines";  // a line break never splits a field
  test.impact = -1;
  test.obj = "Objective";
  test.notes = "a\nb";
  EXPECT_EQ(testbook::FormatTest(test),
            "7\nkolvar\n946684800\nTEST\nGUI\n1\nLOG\nS1\nTwo lines\n-1\n \n"
            "9 Objective0 0 0 0 0 3 a\nb");
}

TEST(TestBookPrint, FieldsAreCutOrPaddedAndShowNoControlCharacters) {
  EXPECT_EQ(PrintField("abcdef", 4), "abcd|");
  EXPECT_EQ(PrintField("ab", 4), "ab  |");
  EXPECT_EQ(PrintField("a\tb\x7f", 5), "a b  |");
  EXPECT_EQ(PrintField("&nbsp;", 6), "      |");
  EXPECT_EQ(testbook::PrintLabelled("Tester", "kolvar", 16), "Tester : kolvar |");
}

TEST(TestBookCampaigns, ReferencesOfSevenCharactersOrMoreAreKeptLastFirst) {
  using Refs = std::vector<std::string>;
  EXPECT_EQ(testbook::ParseSheetReferences("TESTaG.00001, TESTaG.00002"),
            (Refs{"TESTaG.00002", "TESTaG.00001"}));
  EXPECT_EQ(testbook::ParseSheetReferences("12 34"), Refs{});
  EXPECT_EQ(testbook::ParseSheetReferences("abcdefg\r\nxy,\tabcdefgh "),
            (Refs{"abcdefgh", "abcdefg"}));
}

using e2e::InProcess;
using e2e::Installation;
using Keys = std::vector<std::string>;

const std::string kBook = e2e::kSampleBook;

// Runs `fn` with its page comments thrown away.
template <typename F>
auto Quiet(F fn) {
  decltype(fn()) result{};
  e2e::CaptureStdout([&] { result = fn(); });
  return result;
}

testbook::TestRecord TestAt(const std::string& mod, const std::string& step, int number = 0) {
  testbook::TestRecord test;
  test.project = "TEST", test.group = "GUI", test.phase = 0;
  test.mod = mod, test.step = step, test.number = number;
  return test;
}

Keys Items(const std::string& prefix, int phase = 0) {
  return Quiet([&] { return testbook::ListItems("TEST", "GUI", phase, prefix); });
}

TEST(TestBookFiles, ListingsSortByByteValueAndMatchWholeIdentifiers) {
  e2e::SampleInstallation inst;
  for (const char* name : {"mod.AB", "mod.A", "step.A.S2", "step.A.S10", "step.AB.X",
                           "test.A.S2.010", "test.A.S2.001", "test.A.S2.000", "test.AB.X.000"})
    inst.Write(kBook + name, "x\n");
  inst.Write(kBook + "test/C.2024.01.02/A.S2.000", "r");
  InProcess req(inst);
  EXPECT_EQ(Items("mod"), (Keys{"A", "AB"}));
  EXPECT_EQ(Items("step.A"), (Keys{"S10", "S2"}));  // byte order: "1" before "2"
  EXPECT_EQ(Items("test.A.S2"), (Keys{"000", "001", "010"}));
  EXPECT_EQ(Quiet([] { return testbook::ListItems("TEST", "GUI", 0, "C", "test"); }),
            (Keys{"2024.01.02"}));
  EXPECT_EQ(Items("mod", 1), Keys{});  // no book for the second phase
}

TEST(TestBookFiles, NewTestsTakeTheFirstFreeNumber) {
  e2e::SampleInstallation inst;
  InProcess req(inst);
  ASSERT_TRUE(testbook::MakeDirectories(inst.Path(kBook)));
  testbook::TestRecord test = TestAt("A", "S");
  test.title = "Made whole";
  for (int expected : {0, 1, 2}) EXPECT_EQ(testbook::CreateTest(test), expected);
  test.number = 1;
  testbook::RemoveTest(test);
  EXPECT_EQ(testbook::NextTestNumber(test), 1);
  EXPECT_EQ(testbook::CreateTest(test), 1);
  EXPECT_EQ(testbook::CreateTest(test), 3);
  EXPECT_EQ(inst.Read(kBook + "test.A.S.003"), testbook::FormatTest(test));
}

TEST(TestBookFiles, TestTakesItsLocationFromItsPath) {
  e2e::SampleInstallation inst;
  InProcess req(inst);
  testbook::TestRecord written = TestAt("OTHERMOD", "OTHERSTEP", 9);
  written.project = "OTHER", written.group = "Nowhere", written.phase = 1;
  written.submitter = "";  // empty lines keep the fields after them in place
  written.title = "";
  written.impact = 1, written.ref = "REQ-1", written.steps = "1. open\r\n2. close\n";
  inst.Write(kBook + "test.LOG.S1.004", testbook::FormatTest(written));
  inst.Write("data//Tests/TEST/Z/s/Book/test.LOG.S1.000", testbook::FormatTest(written));

  testbook::TestRecord read;
  ASSERT_TRUE(
      Quiet([&] { return testbook::ReadTest(inst.Path(kBook + "test.LOG.S1.004"), read); }));
  EXPECT_EQ(
      fmt::format("{}|{}|{}|{}|{}|{}|{}|{}|{}|{}", read.project, read.group, read.phase, read.mod,
                  read.step, read.number, read.title, read.impact, read.ref, read.steps),
      "TEST|GUI|0|LOG|S1|4||1|REQ-1|1. open\r\n2. close\n");

  testbook::TestRecord unknown;
  Quiet([&] {
    return testbook::ReadTest(inst.Path("data//Tests/TEST/Z/s/Book/test.LOG.S1.000"), unknown);
  });
  EXPECT_EQ(unknown.group, "_");  // no sub-project has the code Z
  EXPECT_EQ(unknown.phase, 1);

  testbook::TestRecord untouched = TestAt("M", "S", 5);
  Quiet([&] { return testbook::ReadTest(inst.Path(kBook + "test.M.S.005"), untouched); });
  EXPECT_EQ(untouched.number, 5);
}

TEST(TestBookFiles, MissingResultReadsAsNotTested) {
  e2e::SampleInstallation inst;
  InProcess req(inst);
  testbook::TestRecord test = TestAt("LOG", "S1", 3);
  testbook::ResultRecord result;
  EXPECT_FALSE(Quiet([&] { return testbook::ReadResult(test, "run/1", result); }));
  EXPECT_EQ(result.tester + result.date + result.version, "&nbsp;&nbsp;&nbsp;");
  EXPECT_EQ(result.code, 2);
  EXPECT_EQ(testbook::ResultCodeName(result.code), "NT");

  ASSERT_TRUE(testbook::MakeDirectories(
      testbook::CampaignDirectory(test.project, test.group, test.phase, "run/1")));
  testbook::ResultRecord saved;
  saved.tester = "tessin";
  saved.time = 946684800;  // 2000/01/01 01:00 in the test time zone
  saved.version = "1.0";
  saved.code = 1;
  saved.comment = "fine\n";
  saved.history = "created\n";
  saved.sheets = {"TaG.00002", "TaG.00001"};
  ASSERT_TRUE(testbook::WriteResult(test, "run/1", saved));
  EXPECT_TRUE(inst.Exists(kBook + "test/C.run-1/LOG.S1.003"));
  ASSERT_TRUE(Quiet([&] { return testbook::ReadResult(test, "run/1", result); }));
  EXPECT_EQ(result.date, "01/01");
  EXPECT_EQ(testbook::FormatResult(result), testbook::FormatResult(saved));
}

TEST(TestBookFiles, KeptListingServesUntilTheBookChanges) {
  e2e::SampleInstallation inst;
  inst.Write(kBook + "mod.A", "A\n");
  const std::string kept = "data//Tests/TEST/G/a/.Book.names";
  {
    InProcess req(inst);
    EXPECT_EQ(Items("mod"), Keys{"A"});
    EXPECT_FALSE(inst.Exists(kept)) << "a book changed just now is listed, not kept";
    timespec times[2];  // the book a minute old
    clock_gettime(CLOCK_REALTIME, &times[0]);
    times[0].tv_sec -= 60;
    times[1] = times[0];
    utimensat(AT_FDCWD, inst.Path(kBook).c_str(), times, 0);
    base::ResetRequestState();
    EXPECT_EQ(Items("mod"), Keys{"A"});
    ASSERT_TRUE(inst.Exists(kept));
  }
  // The kept names serve while the stamp holds (a changed copy of the same size shows it)...
  std::string text = inst.Read(kept);
  text.replace(text.find("mod.A"), 5, "mod.Z");
  inst.Write(kept, text);
  {
    InProcess req(inst);
    EXPECT_EQ(Items("mod"), Keys{"Z"});
  }
  // ...and a new entry in the book makes the next request list it again.
  inst.Write(kBook + "mod.B", "B\n");
  InProcess req(inst);
  EXPECT_EQ(Items("mod"), (Keys{"A", "B"}));
}

}  // namespace
