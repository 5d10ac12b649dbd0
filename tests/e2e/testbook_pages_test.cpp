// The test-book pages (CMD=book) run as the CGI: a whole book written, edited, viewed and
// deleted through them, their refusals, the navigator's defaults and the guard of changes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "harness.h"

namespace {

using namespace e2e;

const std::string kBook = kSampleBook;
const std::string kPlace = "CMD=book&project=TEST&group=GUI&phase=0";

// A form post of `fields` ("&name=value...", values url-encoded) at the book's place.
std::string Post(const Installation& inst, const std::string& fields) {
  return inst.Post(kPlace + fields).out;
}

std::string Get(const Installation& inst, const std::string& query) {
  return inst.Get(kPlace + query).out;
}

TEST(TestBookPages, BookIsWrittenEditedViewedAndDeletedThroughThePages) {
  SampleInstallation inst;
  for (const std::string m : {"M1", "M2", "M3"}) {
    EXPECT_TRUE(Has(Post(inst, "&book=4&mod=" + m + "&title=Module+" + m + "&text=About+it%0D%0A"),
                    "<H1>Module created</H1>"));
    for (const std::string s : {"S1", "S2", "S3"}) {
      // Back to the navigator on the new step.
      EXPECT_TRUE(Has(Post(inst, "&book=6&mod=" + m + "&step=" + s + "&title=Step"),
                      "phase=0&mod=" + m + "&step=" + s + "\"><IMG"));
      for (int t = 0; t < 5; ++t) {
        std::string page = Post(inst, "&book=8&mod=" + m + "&step=" + s +
                                          "&title=Check+%3Cit%3E&submitter=tessin&impact=b"
                                          "&steps=one%0D%0Atwo%0D%0A");
        ASSERT_TRUE(Has(page, "<B>00" + std::to_string(t) + "<B>")) << page;
      }
    }
  }
  EXPECT_EQ(inst.Read(kBook + "mod.M1"), "Module M1\nAbout it\n");
  const std::string test_file = kBook + "test.M2.S3.004";
  const std::string created = inst.Read(test_file);
  EXPECT_TRUE(Has(created, "Check <it>\n1\n \n0 0 0 8 one\r\ntwo0 0 0 "));

  // Edits: the module's title, and a test whose author changes but keeps number and time.
  Post(inst, "&book=10&mod=M1&title=Renamed&text=About+it");
  EXPECT_EQ(inst.Read(kBook + "mod.M1"), "Renamed\nAbout it\n");
  std::string saved =
      Post(inst, "&book=14&mod=M2&step=S3&Num=4&title=Changed&submitter=kolvar&impact=a");
  EXPECT_TRUE(
      Has(saved,
          "&mod=M2&step=S3&test=004\"><IMG BORDER=0 SRC=/quorb/images//larrow.gif ALT=\"Back\">"));
  const std::string edited = inst.Read(test_file);
  EXPECT_EQ(edited.substr(0, edited.find("TEST")), "4\nkolvar\n" + created.substr(9, 11));

  // Views: the navigator on a test, the test, a step, a module, the whole book.
  EXPECT_EQ("", Missing(Get(inst, "&mod=M2&step=S3&test=004"),
                        {"<OPTION SELECTED Value=M2>M2", "<OPTION SELECTED Value=004>004",
                         "&mod=M2&step=S3&test=004&book=13\"> \n<IMG BORDER=0 SRC=/quorb/images//"
                         "editbt.gif ALT=\"Edit\" TITLE=\"Edit\"></A> \n"}));
  EXPECT_TRUE(Has(Get(inst, "&mod=M2&step=S3&test=004&book=21"), "<B>Changed</B>"));
  EXPECT_EQ(Count(Get(inst, "&mod=M1&step=S2&book=18"), "<B>Check &lt;it&gt;</B>"), 5);
  EXPECT_EQ(Count(Get(inst, "&mod=M3&book=15"), "<DIR><I>Procedure:</I><BR>\none<BR>\ntwo"), 15);
  EXPECT_EQ(Count(Get(inst, "&book=24"), "<TD WIDTH=5><B>0"), 45);

  // Deletions refused while something hangs below, or a campaign holds a result.
  EXPECT_TRUE(Has(Get(inst, "&mod=M1&book=17"), "<B>M1</B> still contains steps."));
  EXPECT_TRUE(Has(Get(inst, "&mod=M1&step=S1&book=20"), "still contains tests."));
  inst.Write(kBook + "test/C.run1/M1.S1.000", "tessin\n0\n1.0\n1\n0 0 ");
  EXPECT_TRUE(Has(Get(inst, "&mod=M1&step=S1&test=000&book=23"), "<LI>run1</LI>"));
  EXPECT_TRUE(inst.Exists(kBook + "test.M1.S1.000"));
  std::remove(inst.Path(kBook + "test/C.run1/M1.S1.000").c_str());

  for (const std::string m : {"M1", "M2", "M3"}) {
    for (const std::string s : {"S1", "S2", "S3"}) {
      std::string at = "&mod=" + m + "&step=" + s;
      for (int t = 0; t < 5; ++t) Get(inst, at + "&test=00" + std::to_string(t) + "&book=23");
      EXPECT_TRUE(Has(Get(inst, at + "&book=20"), "<OPTION SELECTED Value=" + m + ">"));
    }
    Get(inst, "&mod=" + m + "&book=17");
  }
  EXPECT_EQ(inst.List(kBook), std::vector<std::string>{"test"});
  const std::string journal = inst.Read("data/history.dat");
  EXPECT_EQ(Count(journal, " TEST/G/a/Book/test.M"), 91);
  EXPECT_EQ(Count(journal, " Test Deleted by "), 45);
  EXPECT_TRUE(Has(journal, " TEST/G/a/Book/test.M2.S3.004 Test Changed by kolvar\n"));
}

TEST(TestBookPages, SavesThatCannotBeReadBackAreRefused) {
  SampleInstallation inst;
  Post(inst, "&book=4&mod=A&title=First");
  for (const std::string& fields :
       Words("&book=4&mod=a.b&title=T &book=4&mod=..%2Fx&title=T &book=4&mod=B&title= "
             "&book=6&mod=A&step=x%5Cy&title=T &book=6&mod=A&step=x%0Ay&title=T "
             "&book=4&mod=C&title=T&project=.. &book=4&mod=C&title=T&phase=7 "
             "&book=14&mod=A&step=S&title=T"))
    EXPECT_TRUE(Has(Post(inst, fields), "A required field is missing")) << fields;
  EXPECT_TRUE(Has(Post(inst, "&book=4&mod=A&title=Second"), "The module A already exists."));
  EXPECT_EQ(inst.List(kBook), std::vector<std::string>{"mod.A"});
  EXPECT_EQ(inst.Read(kBook + "mod.A"), "First\n\n");
  EXPECT_EQ(inst.List("data/Tests"), std::vector<std::string>{"TEST"});
}

TEST(TestBookPages, EmptyImpactIsStoredAsNoneAndShownEmpty) {
  SampleInstallation inst;
  Post(inst, "&book=6&mod=A&step=S&title=T");
  std::string page = Post(inst, "&book=8&mod=A&step=S&title=T&impact=%A0");
  EXPECT_TRUE(Has(page, "Impact : \n<B></B>"));
  EXPECT_TRUE(Has(inst.Read(kBook + "test.A.S.000"), "\nT\n-1\n \n"));
  // The edit form then offers no impact as chosen, so saving it again keeps none.
  std::string form = Get(inst, "&mod=A&step=S&test=000&book=13");
  EXPECT_TRUE(Has(form, "<OPTION >&nbsp\n<OPTION VALUE=\"a\"> Low\n<OPTION VALUE=\"b\"> High\n"));
}

TEST(TestBookPages, NavigatorReadsBothPhaseFormsAndTheRememberedBook) {
  SampleInstallation inst;
  inst.Write("config/TEST_subproject.cfg", "GUI:G\nFront end:F\n");
  inst.Write("config/userinfo.dat", "192.0.2.10:tessin:TEST:Front end:1\n");
  inst.Write("data//Tests/TEST/F/s/Book/mod.A", "A\n");
  const std::string by_letter = inst.Get("CMD=book&project=TEST&group=Front+end&phase=b").out;
  const std::string by_index = inst.Get("CMD=book&project=TEST&group=Front+end&phase=1").out;
  const std::string remembered = inst.Get("CMD=book").out;
  for (const std::string& page : {by_letter, by_index, remembered}) {
    EXPECT_EQ("",
              Missing(page, {"<OPTION SELECTED VALUE=\"b\"> Tests",
                             "&project=TEST&group=Front+end&phase=1&mod=+&step=+&test=+&book=3\">",
                             "<OPTION VALUE=\"/cgi-bin/quorb.cgi?CMD=book&project=TEST&group="
                             "Front+end\" SELECTED > Front end"}));
  }
  EXPECT_TRUE(Has(remembered,
                  "<OPTION VALUE=\"/cgi-bin/quorb.cgi?CMD=book&book=0&project=TEST\" "
                  "SELECTED > TEST"));
}

// A change goes only where the book has it: a sub-project of the project, a test that was
// created. Refused, it writes nothing.
TEST(TestBookPages, ChangesOutsideTheBookAreRefused) {
  SampleInstallation inst;
  Post(inst, "&book=4&mod=M1&title=Module&text=x");
  Post(inst, "&book=6&mod=M1&step=S1&title=Step");
  auto tree = [&] {
    std::vector<std::string> paths;
    for (const auto& e : std::filesystem::recursive_directory_iterator(inst.Path("data/Tests")))
      paths.push_back(e.path().string());
    std::sort(paths.begin(), paths.end());
    return paths;
  };
  const std::vector<std::string> before = tree();
  const std::pair<std::string, std::string> kCases[] = {
      {"CMD=book&project=TEST&group=nosuch&phase=0&book=4&mod=M9&title=x", "Sub-project nosuch"},
      {"CMD=book&project=TEST&group=..%2F..&phase=0&book=6&mod=M1&step=S9&title=x",
       "Sub-project ../.."},
      {kPlace + "&book=14&mod=M1&step=S1&Num=2147483647&title=x&submitter=kolvar",
       "The test 2147483647 does not exist"},
  };
  for (const auto& [body, error] : kCases) {
    const std::string page = inst.Post(body).out;
    EXPECT_TRUE(Has(page, error)) << body << page;
    EXPECT_EQ(tree(), before) << body;
  }
}

}  // namespace
