// The test-book pages (CMD=book) run as the CGI: a whole book written, edited, viewed and
// deleted through them, their refusals, the navigator's defaults and the guard of changes.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "harness.h"

namespace {

using e2e::Fields;
using e2e::Installation;

const std::string kBook = e2e::kSampleBook;
const std::string kPlace = "CMD=book&project=TEST&group=GUI&phase=0";

// A form post of `fields` (values already url-encoded) at the book's place.
std::string Post(const Installation& inst, const Fields& fields, const std::string& extra = "") {
  std::string body = kPlace + extra;
  for (const auto& [name, value] : fields) body += "&" + name + "=" + value;
  return inst.Post(body).out;
}

std::string Get(const Installation& inst, const std::string& query) {
  return inst.Get(kPlace + query).out;
}

using e2e::Count;

std::string ModuleId(int m) {
  return "M" + std::to_string(m);
}
std::string StepId(int s) {
  return "S" + std::to_string(s);
}

TEST(TestBookPages, BookIsWrittenEditedViewedAndDeletedThroughThePages) {
  e2e::SampleInstallation inst;
  for (int m = 1; m <= 3; ++m) {
    EXPECT_TRUE(e2e::Has(Post(inst, {{"book", "4"},
                                     {"mod", ModuleId(m)},
                                     {"title", "Module+" + ModuleId(m)},
                                     {"text", "About+it%0D%0A"}}),
                         "<H1>Module created</H1>"));
    for (int s = 1; s <= 3; ++s) {
      std::string step =
          Post(inst, {{"book", "6"}, {"mod", ModuleId(m)}, {"step", StepId(s)}, {"title", "Step"}});
      EXPECT_TRUE(e2e::Has(step, "phase=0&mod=" + ModuleId(m) + "&step=" + StepId(s) +
                                     "\"><IMG"));  // back to the navigator on the new step
      for (int t = 0; t < 5; ++t) {
        std::string page = Post(inst, {{"book", "8"},
                                       {"mod", ModuleId(m)},
                                       {"step", StepId(s)},
                                       {"title", "Check+%3Cit%3E"},
                                       {"submitter", "tessin"},
                                       {"impact", "b"},
                                       {"steps", "one%0D%0Atwo%0D%0A"}});
        ASSERT_TRUE(e2e::Has(page, "<B>00" + std::to_string(t) + "<B>")) << page;
      }
    }
  }
  EXPECT_EQ(inst.Read(kBook + "mod.M1"), "Module M1\nAbout it\n");
  const std::string test_file = kBook + "test.M2.S3.004";
  const std::string created = inst.Read(test_file);
  EXPECT_TRUE(e2e::Has(created, "Check <it>\n1\n \n0 0 0 8 one\r\ntwo0 0 0 "));

  // Edits: the module's title, and a test whose author changes but keeps number and time.
  Post(inst, {{"book", "10"}, {"mod", "M1"}, {"title", "Renamed"}, {"text", "About+it"}});
  EXPECT_EQ(inst.Read(kBook + "mod.M1"), "Renamed\nAbout it\n");
  std::string saved = Post(inst, {{"book", "14"},
                                  {"mod", "M2"},
                                  {"step", "S3"},
                                  {"Num", "4"},
                                  {"title", "Changed"},
                                  {"submitter", "kolvar"},
                                  {"impact", "a"}});
  EXPECT_TRUE(
      e2e::Has(saved, "&mod=M2&step=S3&test=004\"><IMG BORDER=0 SRC=/quorb/images//larrow.gif>"));
  const std::string edited = inst.Read(test_file);
  EXPECT_EQ(edited.substr(0, edited.find("TEST")), "4\nkolvar\n" + created.substr(9, 11));

  // Views: the navigator on a test, the test, a step, a module, the whole book.
  std::string nav = Get(inst, "&mod=M2&step=S3&test=004");
  EXPECT_TRUE(e2e::Has(nav, "<OPTION SELECTED Value=M2>M2"));
  EXPECT_TRUE(e2e::Has(nav, "<OPTION SELECTED Value=004>004"));
  EXPECT_TRUE(e2e::Has(nav,
                       "&mod=M2&step=S3&test=004&book=13\"> \n<IMG BORDER=0 SRC=/quorb/images//"
                       "editbt.gif ALT=\"Edit\" TITLE=\"Edit\"></A> \n"));
  EXPECT_TRUE(e2e::Has(Get(inst, "&mod=M2&step=S3&test=004&book=21"), "<B>Changed</B>"));
  EXPECT_EQ(Count(Get(inst, "&mod=M1&step=S2&book=18"), "<B>Check &lt;it&gt;</B>"), 5);
  EXPECT_EQ(Count(Get(inst, "&mod=M3&book=15"), "<DIR><I>Procedure:</I><BR>\none<BR>\ntwo"), 15);
  EXPECT_EQ(Count(Get(inst, "&book=24"), "<TD WIDTH=5><B>0"), 45);

  // Deletions refused while something hangs below, or a campaign holds a result.
  EXPECT_TRUE(e2e::Has(Get(inst, "&mod=M1&book=17"), "<B>M1</B> still contains steps."));
  EXPECT_TRUE(e2e::Has(Get(inst, "&mod=M1&step=S1&book=20"), "still contains tests."));
  inst.Write(kBook + "test/C.run1/M1.S1.000", "tessin\n0\n1.0\n1\n0 0 ");
  EXPECT_TRUE(e2e::Has(Get(inst, "&mod=M1&step=S1&test=000&book=23"), "<LI>run1</LI>"));
  EXPECT_TRUE(inst.Exists(kBook + "test.M1.S1.000"));
  std::remove(inst.Path(kBook + "test/C.run1/M1.S1.000").c_str());

  for (int m = 1; m <= 3; ++m) {
    for (int s = 1; s <= 3; ++s) {
      std::string at = "&mod=" + ModuleId(m) + "&step=" + StepId(s);
      for (int t = 0; t < 5; ++t) Get(inst, at + "&test=00" + std::to_string(t) + "&book=23");
      std::string nav_after = Get(inst, at + "&book=20");
      EXPECT_NE(nav_after.find("<OPTION SELECTED Value=" + ModuleId(m) + ">"), std::string::npos);
    }
    Get(inst, "&mod=" + ModuleId(m) + "&book=17");
  }
  EXPECT_EQ(inst.List(kBook), std::vector<std::string>{"test"});
  const std::string journal = inst.Read("data/history.dat");
  EXPECT_EQ(Count(journal, " TEST/G/a/Book/test.M"), 91);
  EXPECT_EQ(Count(journal, " Test Deleted by "), 45);
  EXPECT_TRUE(e2e::Has(journal, " TEST/G/a/Book/test.M2.S3.004 Test Changed by kolvar\n"));
}

TEST(TestBookPages, SavesThatCannotBeReadBackAreRefused) {
  e2e::SampleInstallation inst;
  Post(inst, {{"book", "4"}, {"mod", "A"}, {"title", "First"}});
  const std::string kMissing = "A required field is missing";
  struct Case {
    Fields fields;
    std::string extra;
    std::string message;
  } cases[] = {
      {{{"book", "4"}, {"mod", "a.b"}, {"title", "T"}}, "", kMissing},
      {{{"book", "4"}, {"mod", "..%2Fx"}, {"title", "T"}}, "", kMissing},
      {{{"book", "4"}, {"mod", "B"}, {"title", ""}}, "", kMissing},
      {{{"book", "6"}, {"mod", "A"}, {"step", "x%5Cy"}, {"title", "T"}}, "", kMissing},
      {{{"book", "6"}, {"mod", "A"}, {"step", "x%0Ay"}, {"title", "T"}}, "", kMissing},
      {{{"book", "4"}, {"mod", "C"}, {"title", "T"}}, "&project=..", kMissing},
      {{{"book", "4"}, {"mod", "C"}, {"title", "T"}}, "&phase=7", kMissing},
      {{{"book", "14"}, {"mod", "A"}, {"step", "S"}, {"title", "T"}}, "", kMissing},
      {{{"book", "4"}, {"mod", "A"}, {"title", "Second"}}, "", "The module A already exists."},
  };
  for (const Case& c : cases) {
    std::string page = Post(inst, c.fields, c.extra);
    EXPECT_TRUE(e2e::Has(page, c.message)) << c.fields[1].second << c.extra;
  }
  EXPECT_EQ(inst.List(kBook), std::vector<std::string>{"mod.A"});
  EXPECT_EQ(inst.Read(kBook + "mod.A"), "First\n\n");
  EXPECT_EQ(inst.List("data/Tests"), std::vector<std::string>{"TEST"});
}

TEST(TestBookPages, EmptyImpactIsStoredAsNoneAndShownEmpty) {
  e2e::SampleInstallation inst;
  Post(inst, {{"book", "6"}, {"mod", "A"}, {"step", "S"}, {"title", "T"}});
  std::string page =
      Post(inst, {{"book", "8"}, {"mod", "A"}, {"step", "S"}, {"title", "T"}, {"impact", "%A0"}});
  EXPECT_TRUE(e2e::Has(page, "Impact : \n<B></B>"));
  EXPECT_TRUE(e2e::Has(inst.Read(kBook + "test.A.S.000"), "\nT\n-1\n \n"));
  // The edit form then offers no impact as chosen, so saving it again keeps none.
  std::string form = Get(inst, "&mod=A&step=S&test=000&book=13");
  EXPECT_TRUE(
      e2e::Has(form, "<OPTION >&nbsp\n<OPTION VALUE=\"a\"> Low\n<OPTION VALUE=\"b\"> High\n"));
}

TEST(TestBookPages, NavigatorReadsBothPhaseFormsAndTheRememberedBook) {
  e2e::SampleInstallation inst;
  inst.Write("config/TEST_subproject.cfg", "GUI:G\nFront end:F\n");
  inst.Write("config/userinfo.dat", "192.0.2.10:tessin:TEST:Front end:1\n");
  inst.Write("data//Tests/TEST/F/s/Book/mod.A", "A\n");
  const std::string by_letter = inst.Get("CMD=book&project=TEST&group=Front+end&phase=b").out;
  const std::string by_index = inst.Get("CMD=book&project=TEST&group=Front+end&phase=1").out;
  const std::string remembered = inst.Get("CMD=book").out;
  for (const std::string& page : {by_letter, by_index, remembered}) {
    EXPECT_TRUE(e2e::Has(page, "<OPTION SELECTED VALUE=\"b\"> Tests"));
    EXPECT_TRUE(
        e2e::Has(page, "&project=TEST&group=Front+end&phase=1&mod=+&step=+&test=+&book=3\">"));
    EXPECT_TRUE(
        e2e::Has(page,
                 "<OPTION VALUE=\"/cgi-bin/quorb.cgi?CMD=book&project=TEST&group=Front+end\""
                 " SELECTED > Front end"));
  }
  EXPECT_TRUE(e2e::Has(remembered,
                       "<OPTION VALUE=\"/cgi-bin/quorb.cgi?CMD=book&book=0&project=TEST\" "
                       "SELECTED > TEST"));
}

// With security on (the security tests check who may change the book), the pages carry the
// token on in their links, and a deletion is a change too.
TEST(TestBookPages, WithSecurityLinksCarryTheTokenAndStrangersDeleteNothing) {
  e2e::SampleInstallation inst("SECURITY YES\n");
  const std::string member = "&Uid=" + e2e::EncodedToken(inst, "tessin", "TEST");
  const std::string stranger = "&Uid=" + e2e::EncodedToken(inst, "nobody", "TEST");
  EXPECT_TRUE(
      e2e::Has(Post(inst, {{"book", "4"}, {"mod", "A"}, {"title", "T"}}, member), "&mod=A&Uid="));
  EXPECT_TRUE(e2e::Has(Get(inst, stranger + "&mod=A&book=17"), "You are not allowed"));
  EXPECT_TRUE(inst.Exists(kBook + "mod.A"));
}

}  // namespace
