// The files of a test book in an installation: listings, numbering, reading rules of test and
// result files, and the kept listing of a big book.
#include <fcntl.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <string>
#include <vector>

#include "base/request_state.h"
#include "e2e/harness.h"
#include "testbook/listing.h"
#include "testbook/records.h"

namespace {

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
  test.project = "TEST";
  test.group = "GUI";
  test.phase = 0;
  test.mod = mod;
  test.step = step;
  test.number = number;
  return test;
}

Keys Items(const std::string& prefix, int phase = 0) {
  return Quiet([&] { return testbook::ListItems("TEST", "GUI", phase, prefix); });
}

void SetDirectoryAge(const std::string& path, int seconds) {
  timespec times[2];
  clock_gettime(CLOCK_REALTIME, &times[0]);
  times[0].tv_sec -= seconds;
  times[1] = times[0];
  utimensat(AT_FDCWD, path.c_str(), times, 0);
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
  for (int expected : {0, 1, 2}) EXPECT_EQ(testbook::ReserveTestNumber(test), expected);
  test.number = 1;
  testbook::RemoveTest(test);
  EXPECT_EQ(testbook::NextTestNumber(test), 1);
  EXPECT_EQ(testbook::ReserveTestNumber(test), 1);
  EXPECT_EQ(testbook::ReserveTestNumber(test), 3);
}

TEST(TestBookFiles, TestTakesItsLocationFromItsPath) {
  e2e::SampleInstallation inst;
  InProcess req(inst);
  testbook::TestRecord written = TestAt("OTHERMOD", "OTHERSTEP", 9);
  written.project = "OTHER";
  written.group = "Nowhere";
  written.phase = 1;
  written.submitter = "";  // empty lines keep the fields after them in place
  written.title = "";
  written.impact = 1;
  written.ref = "REQ-1";
  written.steps = "1. open\r\n2. close\n";
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
    SetDirectoryAge(inst.Path(kBook), 60);
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
