// Campaigns run as the CGI (CMD=tests): a campaign over a small book created, its results
// saved and summarised, downloaded and printed; the refusals and the members-only changes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

#include "harness.h"

namespace {

using namespace e2e;

const std::string kBook = kSampleBook;
const std::string kPlace = "project=TEST&group=GUI&phase=0";

std::string Book(const Installation& inst, const std::string& query) {
  return inst.Post("CMD=book&" + kPlace + query).out;
}
std::string Tests(const Installation& inst, const std::string& query) {
  return inst.Get("CMD=tests&" + kPlace + query).out;
}

// Module M1: step S1 with tests 000 to 003, step S2 with 000 and 001.
void WriteSmallBook(const Installation& inst, const std::string& uid = "") {
  WriteSampleProject(inst);
  Book(inst, "&book=4&mod=M1&title=First+module" + uid);
  for (const auto& [step, tests] : {std::pair{"S1", 4}, std::pair{"S2", 2}}) {
    Book(inst, std::string("&book=6&mod=M1&title=Step&step=") + step + uid);
    for (int t = 0; t < tests; ++t)
      Book(inst, std::string("&book=8&mod=M1&title=Check+it&submitter=tessin&step=") + step + uid);
  }
}

std::string SaveResult(const Installation& inst, const std::string& at, const std::string& fields,
                       const std::string& extra = "") {
  return inst.Post("CMD=tests&" + kPlace + "&camp=2024-01-02&book=30&mod=M1" + at + fields + extra)
      .out;
}

// The seven numbers of a summary row in the cells of one colour and font.
std::string Numbers(const std::vector<std::string>& n, const std::string& colour,
                    const std::string& font) {
  const char* cells[] = {"TD WIDTH=60 ALIGN=CENTER ", "TD WIDTH=60 ALIGN=CENTER ",
                         "TD WIDTH=50 ALIGN=CENTER ", "TD WIDTH=30 ALIGN=CENTER ",
                         "TD WIDTH=60 ALIGN=RIGHT ",  "TD WIDTH=50 ALIGN=RIGHT ",
                         "TD WIDTH=50 ALIGN=RIGHT "};
  std::string out;
  for (size_t i = 0; i < 7; ++i)
    out += "<" + std::string(cells[i]) + "BGCOLOR=\"#" + colour + "\"><FONT COLOR=#" + font +
           " FACE=Helvetica>" + n[i] + "</TD>\n";
  return out.substr(0, out.size() - 1) + "</TR>\n";
}

// Testers who save verdicts on one test at the same moment each keep theirs in its history;
// of several making one module at once, one makes it, whole, and the others are told it
// exists.
TEST(CampaignPages, ConcurrentTestersLoseNothing) {
  Installation inst;
  WriteSmallBook(inst);
  Tests(inst, "&book=27&camp=2024/01/02");
  constexpr int kTesters = 8;
  std::vector<std::string> pages(kTesters);
  auto together = [&](const std::function<std::string(int)>& work) {
    std::vector<std::thread> threads;
    for (int i = 0; i < kTesters; ++i) threads.emplace_back([&, i] { pages[i] = work(i); });
    for (std::thread& t : threads) t.join();
  };
  together([&](int i) {
    return SaveResult(inst, "&step=S1&test=000",
                      "&version=1.0&res=1&submitter=tester" + std::to_string(i));
  });
  const std::string result = inst.Read(kBook + "test/C.2024-01-02/M1.S1.000");
  for (int i = 0; i < kTesters; ++i)
    EXPECT_TRUE(Has(result, "by tester" + std::to_string(i) + " (OK)")) << result;
  together([&](int i) { return Book(inst, "&book=4&mod=M9&title=T" + std::to_string(i)); });
  const int refused = static_cast<int>(std::count_if(pages.begin(), pages.end(), [](auto& page) {
    return Has(page, "The module M9 already exists.");
  }));
  EXPECT_EQ(refused, kTesters - 1);
  EXPECT_TRUE(inst.Read(kBook + "mod.M9").starts_with("T")) << inst.Read(kBook + "mod.M9");
}

TEST(CampaignPages, CampaignIsCreatedFilledSummarisedAndDownloaded) {
  Installation inst;
  WriteSmallBook(inst);
  std::string created = Tests(inst, "&book=27&camp=2024/01/02");
  EXPECT_TRUE(std::filesystem::is_directory(inst.Path(kBook + "test/C.2024-01-02")));
  EXPECT_TRUE(Has(created, "<OPTION SELECTED VALUE=\"2024%2d01%2d02\">"));
  Tests(inst, "&book=27&camp=2023.12.31.10.00.00");
  // Without a campaign the navigator takes the greatest name.
  EXPECT_TRUE(Has(Tests(inst, ""), "<OPTION SELECTED VALUE=\"2024%2d01%2d02\">2024-01-02\n"));
  EXPECT_TRUE(Has(Tests(inst, "&book=26"), "NAME=\"camp\" ID=camp VALUE=\"20"));

  const std::string refs = "&fft=TESTaG.00001%2C+TESTaG.00002";
  SaveResult(inst, "&step=S1&test=000", "&submitter=tessin&version=1.0&res=0");
  SaveResult(inst, "&step=S1&test=000", "&submitter=tessin&version=1.0&res=1&text=fine", refs);
  SaveResult(inst, "&step=S1&test=001", "&submitter=kolvar&version=1.1&res=0");
  EXPECT_TRUE(Has(SaveResult(inst, "&step=S1&test=002", "&submitter=kolvar&res=0"), "fill in the"));
  std::string step_page = SaveResult(inst, "&step=S1&test=002", "&submitter=kolvar&res=2");
  for (const char* test : {"000", "001"})
    SaveResult(inst, "&step=S2&test=" + std::string(test), "&submitter=kolvar&res=3");

  EXPECT_EQ("", Missing(inst.Read(kBook + "test/C.2024-01-02/M1.S1.000"),
                        {" Test Created by tessin (NOK)\n",
                         " Test Changed by tessin (OK)\nTESTaG.00002\nTESTaG.00001\n"}));
  const std::string journal = inst.Read("data/history.dat");
  EXPECT_EQ("", Missing(journal, {" TEST/G/a/Book/test.M1.S1.000 Test Changed by tessin (OK)\n",
                                  "test.M1.S1.002 Test Created by kolvar (NT)"}));
  EXPECT_FALSE(Has(journal, "test.M1.S1.002 Test Created by kolvar (NOK)"));

  // The step's results after a save: verdict links, sheets with their status, empty cells
  // (test 003 has no result).
  EXPECT_EQ("", Missing(step_page,
                        {"&camp=2024%2d01%2d02&test=000&book=29\"> \nOK</A></TD>\n"
                         "<TD ALIGN=CENTER>tessin</TD>\n",
                         "<A HREF=\"/cgi-bin/quorb.cgi?Num=TESTaG%2e00002\">TESTaG.00002</A>"
                         "<BR>\n<A HREF=\"/cgi-bin/quorb.cgi?Num=TESTaG%2e00001\">TESTaG.00001"
                         "</A>&nbsp;</TD>\n<TD ALIGN=CENTER>?<BR>\n?&nbsp;</TD></TR>\n",
                         "NT</A></TD>\n<TD ALIGN=CENTER>&nbsp;</TD>\n<TD ALIGN=CENTER>&nbsp;"}));

  EXPECT_EQ("", Missing(Tests(inst, "&camp=2024-01-02&book=28"),
                        {Numbers({"4", "4", "2", "1", "50%", "25%", "50%"}, "FFFFFF", "000000"),
                         Numbers({"2", "0", "0", "0", "0%", "0%", "0%"}, "FFFFFF", "000000"),
                         "<TR><TD WIDTH=50 ALIGN=LEFT BGCOLOR=\"#EFEFEF\"COLSPAN=2 ><FONT "
                         "COLOR=#007A00 FACE=Helvetica><B>Whole book</B></TD>\n" +
                             Numbers({"6", "4", "2", "1", "50%", "25%", "50%"}, "EFEFEF", "007A00"),
                         "&camp=2024%2d01%2d02&mod=M1&step=S2&test=+&book=18\"> \nS2</A>"}));

  // The download: one row per test, every row as many fields as the header.
  CgiResult download = inst.Get("CMD=tests&" + kPlace + "&camp=2024-01-02&book=31");
  const std::string head =
      "Content-type: text/tab-separated-values\nContent-Disposition: attachment; "
      "filename=\"2024-01-02.tsv\"\n" E2E_PROTECTIVE "\n";
  ASSERT_EQ(download.out.substr(0, head.size()), head);
  std::string body = download.out.substr(head.size());
  EXPECT_EQ(
      "", Missing(body, {"M1\tS1\t000\tOK\t", "\tTESTaG.00002 TESTaG.00001\nM1\tS1\t001\tNOK\t"}));
  EXPECT_EQ(Python(inst,
                   "import csv,sys; rows=list(csv.reader(open(sys.argv[1]), dialect='excel-tab'));"
                   " print(len(rows), set(len(r) for r in rows))",
                   body),
            "7 {6}\n");
  // A campaign that was never made has nothing to download.
  EXPECT_TRUE(
      inst.Get("CMD=tests&" + kPlace + "&camp=never&book=31").out.starts_with("Status: 404"));
}

TEST(CampaignPages, EmptyCampaignCountsZeroAndBadNamesAreRefused) {
  SampleInstallation inst;
  Tests(inst, "&book=27&camp=empty");
  std::string summary = Tests(inst, "&camp=empty&book=28");
  EXPECT_TRUE(Has(summary, Numbers({"0", "0", "0", "0", "0%", "0%", "0%"}, "EFEFEF", "007A00")));

  const std::string missing = "A required field is missing";
  for (const char* camp : {"..", "x:y", "a%5Cb", "x%0Ay", "%2E%2E%2F%2E%2E", "", "+lead"}) {
    EXPECT_TRUE(Has(Tests(inst, std::string("&book=27&camp=") + camp), missing)) << camp;
    EXPECT_TRUE(Has(Tests(inst, std::string("&book=28&camp=") + camp), missing)) << camp;
  }
  EXPECT_EQ(inst.List(kBook + "test"), std::vector<std::string>{"C.empty"});
}

TEST(CampaignPages, ListingsArePrintedInEightyColumnsAndTheirFilesRemoved) {
  Installation inst;
  WriteSmallBook(inst);
  InstallPrintStandIn(inst);
  Book(inst,
       "&book=14&mod=M1&step=S1&Num=1&title=Long&submitter=tessin&impact=a&ref=R-1"
       "&obj=" +
           std::string(100, 'o') + "&steps=one%0D%0Atwo%0D%0A&notes=%3Cb%3E");
  std::string page = Book(inst, "&mod=M1&step=S1&test=001&book=22");
  const std::string listing = inst.Read("copy.txt");
  ASSERT_FALSE(listing.empty());
  ASSERT_EQ(listing.back(), '\f');
  size_t lines = 0;
  for (size_t start = 0, lf; (lf = listing.find('\n', start)) != std::string::npos;
       start = lf + 1, ++lines)
    EXPECT_EQ(lf - start, 80u) << listing.substr(start, lf - start);
  EXPECT_EQ(lines, 28u);  // 5 head lines; 7 sections: label, text lines (2 for obj, steps), rule
  EXPECT_EQ("", Missing(listing, {"|001 Title : Long ", "|" + std::string(78, 'o') + "|\n|" +
                                                            std::string(22, 'o') + " "}));
  EXPECT_EQ("", Missing(page, {"<PRE>\n+----", "|&lt;b&gt; "}));  // the page copy is escaped
  // Nothing left but the trace log DEBUG keeps.
  EXPECT_EQ(inst.List("data/tmp"), std::vector<std::string>{"quorb.log"});

  // The step's report in a campaign: the table and a row per test.
  Tests(inst, "&book=27&camp=c1");
  // A test not run yet in the campaign proposes "not tested".
  EXPECT_TRUE(Has(Tests(inst, "&camp=c1&mod=M1&step=S1&test=001&book=29"),
                  "<OPTION SELECTED VALUE=2> NT\n"));
  inst.Post("CMD=tests&" + kPlace +
            "&camp=c1&book=30&mod=M1&step=S1&test=000&submitter=tessin&res=1&version=1.0");
  Tests(inst, "&camp=c1&mod=M1&step=S1&book=19");
  EXPECT_EQ("",
            Missing(inst.Read("copy.txt"),
                    {"\n  Step : S1 : Step \n  ===============================\n\n+---+----",
                     "|000|Check it" + std::string(33, ' ') + "|OK |tessin|",
                     "|001|Long" + std::string(37, ' ') + "|NT |      |     |            |  |\n"}));
}

// The verdicts of the whole book on one page: of one submit only the verdicts the tester
// changed are recorded, each as the result form records one and by the one logged in; a
// submit lacking the version of a verdict, or a stranger's, records nothing.
TEST(CampaignPages, VerdictsOfTheWholeBookAreSetInOneSubmit) {
  SampleInstallation inst("SECURITY YES\n");  // the tokens are sealed with the users' file
  const std::string member = "&Uid=" + EncodedToken(inst, "kolvar", "TEST");
  WriteSmallBook(inst, member);
  inst.Post("CMD=tests&" + kPlace + "&book=27&camp=run" + member);
  inst.Post("CMD=tests&" + kPlace + "&camp=run&book=30&mod=M1&step=S1&test=000&res=1" +
            "&version=1.0&submitter=kolvar" + member);
  const std::string form = Tests(inst, "&camp=run&book=32" + member);
  EXPECT_EQ("", Missing(form, {"<LABEL FOR=\"submitter\">", "<LABEL FOR=\"version\">",
                               "NAME=\"t0\" VALUE=\"M1.S1.000\">\n<INPUT TYPE=\"hidden\" "
                               "NAME=\"w0\" VALUE=\"1\">\n<SELECT NAME=\"v0\" "
                               "ARIA-LABEL=\"Verdict M1.S1.000\">\n<OPTION VALUE=0> NOK\n"
                               "<OPTION SELECTED VALUE=1> OK\n",
                               "NAME=\"t5\" VALUE=\"M1.S2.001\">\n<INPUT TYPE=\"hidden\" "
                               "NAME=\"w5\" VALUE=\"2\">"}))
      << form;
  EXPECT_TRUE(Has(Tests(inst, "&camp=run" + member), "&book=32\"> \n<IMG"));

  // Rows 0, 2 and 5 keep their verdict; 1, 3 and 4 change. The tester named is not the one
  // logged in. Refused: no token, a stranger's, no version, a test outside the book or absent.
  const std::string rows =
      "&t0=M1.S1.000&w0=1&v0=1&t1=M1.S1.001&w1=2&v1=0&t2=M1.S1.002&w2=2&v2=2"
      "&t3=M1.S1.003&w3=2&v3=1&t4=M1.S2.000&w4=2&v4=3&t5=M1.S2.001&w5=2&v5=2";
  const std::string submit = "CMD=tests&" + kPlace + "&camp=run&book=33&submitter=tessin" + rows;
  const std::string journal = inst.Read("data/history.dat");
  for (const std::string& refused :
       {submit + "&version=1.0",
        submit + "&version=1.0&Uid=" + EncodedToken(inst, "nobody", "TEST"), submit + member,
        submit + "&version=1.0&t6=..%2FM1.S1.000&w6=2&v6=1" + member,
        submit + "&version=1.0&t6=M1.S1.009&w6=2&v6=1" + member}) {
    inst.Post(refused);
    EXPECT_EQ(inst.Read("data/history.dat"), journal) << refused;
    EXPECT_EQ(inst.List(kBook + "test/C.run"), std::vector<std::string>{"M1.S1.000"}) << refused;
  }
  inst.Post(submit + "&version=1.0" + member);
  const std::string run = kBook + "test/C.run/";
  EXPECT_EQ(inst.List(kBook + "test/C.run"),
            (std::vector<std::string>{"M1.S1.000", "M1.S1.001", "M1.S1.003", "M1.S2.000"}));
  EXPECT_EQ(inst.Read(run + "M1.S1.001").substr(0, 7), "kolvar\n");
  EXPECT_EQ(
      "", Missing(inst.Read(run + "M1.S1.001"), {"\n1.0\n0\n", " Test Created by kolvar (NOK)\n"}));
  EXPECT_TRUE(Has(inst.Read(run + "M1.S1.003"), " Test Created by kolvar (OK)\n"));
  EXPECT_TRUE(Has(inst.Read(run + "M1.S2.000"), " Test Created by kolvar (NA)\n"));
  EXPECT_FALSE(Has(inst.Read(run + "M1.S1.000"), "Changed"));
  const std::string added = inst.Read("data/history.dat").substr(journal.size());
  EXPECT_EQ(std::count(added.begin(), added.end(), '\n'), 3) << added;
  EXPECT_EQ("", Missing(added, {" TEST/G/a/Book/test.M1.S1.001 Test Created by kolvar (NOK)\n",
                                "test.M1.S1.003 Test Created by kolvar (OK)\n",
                                "test.M1.S2.000 Test Created by kolvar (NA)\n"}));
}

}  // namespace
