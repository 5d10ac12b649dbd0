// The daily statistics through the CGI: the refresh (groups, crossed fields, labels, once a
// day even for requests at once, postponed sheets woken) and the statistics pages.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>
#include <utime.h>

#include <chrono>
#include <ctime>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "store/store.h"

namespace {

using e2e::InProcess;
using e2e::Installation;

// A local time of the installation's time zone.
long Local(const Installation& inst, int y, int mo, int d, int h = 0) {
  InProcess req(inst);
  std::tm tm{};
  tm.tm_year = y - 1900, tm.tm_mon = mo - 1, tm.tm_mday = d, tm.tm_hour = h, tm.tm_isdst = -1;
  return static_cast<long>(std::mktime(&tm));
}

// 23:00 local time, `days_ago` days before today.
long Label(const Installation& inst, int days_ago) {
  InProcess req(inst);
  std::time_t t = std::time(nullptr) - days_ago * 86400L;
  std::tm tm = *std::localtime(&t);
  return Local(inst, tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, 23);
}

struct Sheet {
  std::string group = "GUI";
  int phase = 0, status = 0, sev = 1;
  long created = 0, corr = 0, ver = 0;
  std::string resp = "kolvar";
  int load = 0, corr_load = 0;
};

void WriteIndex(const Installation& inst, const std::vector<Sheet>& sheets) {
  std::string index;
  int number = 0;
  for (const Sheet& x : sheets) {
    store::FactSheet s;
    s.project = "TEST", s.number = ++number, s.group = x.group, s.phase = x.phase;
    s.status = x.status, s.sev = x.sev, s.resp = x.resp, s.title = "t";
    s.created = static_cast<int>(x.created), s.corrDate = static_cast<int>(x.corr);
    s.verDate = static_cast<int>(x.ver), s.prog = number % 2 ? "prog1" : "prog2";
    s.Load = x.load, s.corrLoad = x.corr_load;
    index += store::FormatHeader(s);
  }
  inst.Write("data/index", index);
}

void SetTime(const Installation& inst, const std::string& rel, long time) {
  utimbuf times{time, time};
  ASSERT_EQ(utime(inst.Path(rel).c_str(), &times), 0);
}

TEST(StatisticsRefresh, CountsEachSheetInTwoGroupsOncePerDay) {
  e2e::SampleInstallation inst;
  WriteIndex(inst, {{.phase = 1, .status = 6, .sev = 1, .load = 3},
                    {.phase = 1, .status = 7, .sev = 2, .corr_load = 2},
                    {.status = 0, .sev = 0},
                    {.group = "Web", .status = 3, .sev = 4}});  // not a sub-project of TEST
  inst.Get("CMD=help");
  const std::string today = std::to_string(Label(inst, 0));
  EXPECT_EQ(inst.List("data/Stats"),
            (std::vector<std::string>{"TEST.TOTAL", "TEST.aG", "TEST.a_", "TEST.sG"}));
  EXPECT_EQ(inst.Read("data/Stats/TEST.sG"),
            today + " 0 0 0 0 0 0 1 0 0 1 0 3 2 0 0 0 0 1 1 0 0\n");
  EXPECT_EQ(inst.Read("data/Stats/TEST.aG"),
            today + " 1 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n");
  EXPECT_EQ(inst.Read("data/Stats/TEST.a_"),
            today + " 0 0 0 1 0 0 0 0 0 0 0 0 0 0 0 0 1 0 0 0 0\n");
  const std::string total = today + " 1 0 0 1 0 0 1 0 0 1 0 3 2 0 0 0 1 1 1 0 0\n";
  EXPECT_EQ(inst.Read("data/Stats/TEST.TOTAL"), total);
  EXPECT_TRUE(std::regex_match(inst.Read("config/.stats"),
                               std::regex("[A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3][0-9] "
                                          "[0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}\n")));

  // Same day, home road included: nothing more. The stamp alone says so: a lock another
  // request holds is not waited for (the harness kills a request that waits).
  int lock = open(inst.Path("config/.stats.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_EQ(flock(lock, LOCK_EX), 0);
  EXPECT_EQ(inst.Get("CMD=help").exit_code, 0);
  EXPECT_EQ(inst.Get("").exit_code, 0);
  close(lock);
  EXPECT_EQ(inst.Read("data/Stats/TEST.TOTAL"), total);

  // After a stamp of three days ago the lines count today, and are labelled so; a stamp at
  // exactly today's midnight is not a run of today.
  SetTime(inst, "config/.stats", Label(inst, 3) - 13 * 3600);
  inst.Get("CMD=help");
  EXPECT_EQ(inst.Read("data/Stats/TEST.TOTAL"), total + total);
  SetTime(inst, "config/.stats", Label(inst, 0) - 23 * 3600);
  inst.Get("CMD=help");
  EXPECT_EQ(inst.Read("data/Stats/TEST.TOTAL"), total + total + total);
}

// A request that finds another one refreshing waits for it, then finds today's stamp.
TEST(StatisticsRefresh, ARequestWaitsForTheRefreshUnderWay) {
  e2e::SampleInstallation inst;
  WriteIndex(inst, {{}, {.status = 4}});
  int lock = open(inst.Path("config/.stats.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_EQ(flock(lock, LOCK_EX), 0);
  std::thread request([&inst] { inst.Get("CMD=help"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  inst.Write("config/.stats", "Mon Jan  1 00:00:00 2024\n");  // the other refresh's stamp
  close(lock);
  request.join();
  EXPECT_FALSE(inst.Exists("data/Stats/TEST.TOTAL"));
}

TEST(StatisticsRefresh, WithoutDataDirectoryNothingIsWritten) {
  Installation inst;
  inst.WriteConfig("CONFIGDIR " + inst.ConfigDir() + "\nLANGUAGE EN\n");
  inst.Get("CMD=help");
  EXPECT_FALSE(inst.Exists("config/.stats"));
}

TEST(StatisticsRefresh, PostponedSheetWakes) {
  e2e::SampleInstallation inst;
  std::string past, future;
  {
    InProcess req(inst);
    for (long when : {std::time(nullptr) - 60L, std::time(nullptr) + 86400L}) {
      store::FactSheet s;
      s.project = "TEST", s.group = "GUI", s.title = "later";
      s.status = store::kPostponed, s.postponed = static_cast<int>(when);
      ASSERT_EQ(store::CreateSheet(s), store::Stored::kOk);
      (past.empty() ? past : future) = store::GetSheetName(s);
    }
  }
  inst.Get("");
  InProcess req(inst);
  EXPECT_EQ(store::ReadSheet(past)->status, store::kNew);
  EXPECT_EQ(store::ReadSheet(future)->status, store::kPostponed);
  // Counted as they were: two postponed sheets in field 10.
  std::string total = inst.Read("data/Stats/TEST.TOTAL");
  EXPECT_EQ(total.substr(total.find(' ')), " 0 0 0 0 0 0 0 0 2 0 0 0 0 0 0 0 0 0 0 0 0\n");
}

std::string StatsPage(const Installation& inst, const std::string& query) {
  return inst.Get("CMD=statS&" + query).out;
}

using e2e::Has;

TEST(StatisticsPages, MenuNeedsTheRightAndHistoryShowsChangesInTheirColours) {
  e2e::SampleInstallation inst;
  inst.Write("data/Stats/TEST.TOTAL",
             "1700000000 2 0 0 0 1 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n"
             "1700086400 3 0 0 0 3 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n"
             "1700172800 1 0 0 0 3 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n");
  inst.Write("data/Stats/TEST.sG", "1700000000 2 0 0 0 1 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n");
  inst.Write("data/Stats/TEST.x_", "1700000000 2 0 0 0 1 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n");
  std::string page = StatsPage(inst, "statS=2&project=TEST&group=TOTAL");
  // The groups by their names; what no file names, as it is.
  EXPECT_TRUE(Has(page, "statS=2&project=TEST&group=sG\" > Tests GUI\n")) << page;
  EXPECT_TRUE(Has(page, "statS=2&project=TEST&group=x_\" > x _\n"));
  const std::string red = "<TD ALIGN=RIGHT><FONT SIZE=2 COLOR=#A00000>";
  const std::string green = "<TD ALIGN=RIGHT><FONT SIZE=2 COLOR=#00A000>";
  const std::string value = "<TD ALIGN=RIGHT><FONT SIZE=2 COLOR=#000000>";
  const std::string same = "<TD ALIGN=RIGHT><FONT SIZE=2 COLOR=#000000>=</TD>\n";
  // One row per line: the first shows every value as a rise; a rise of N is red, of C green.
  EXPECT_EQ(e2e::Count(page, "<TR><TD><FONT SIZE=2"), 3);
  EXPECT_TRUE(Has(page, "2023/11/14:23.13.20</FONT></TD>\n" + value + "2</FONT></TD>" + red +
                            "+2</TD>\n" + value + "0</FONT></TD>" + same));
  EXPECT_TRUE(Has(page, value + "1</FONT></TD>" + green + "+1</TD>\n"));   // C rises
  EXPECT_TRUE(Has(page, value + "1</FONT></TD>" + green + "-2</TD>\n"));   // N falls
  EXPECT_TRUE(Has(page, value + "3</FONT></TD>" + same));                  // C stays
  EXPECT_TRUE(Has(page, red + "+3</TD>\n" + green + "+2</TD>\n</TR>\n"));  // the two sums
  EXPECT_TRUE(Has(page, "<TR><TH WIDTH=100>Total</TH>\n<TD COLSPAN=2 ALIGN=CENTER>1</TD>\n"));
  EXPECT_TRUE(Has(page, "<TD COLSPAN=2 ALIGN=CENTER>4</TD></TR>\n</TABLE>\n"));
  EXPECT_TRUE(Has(page, "statS=2&project=TEST&group=TOTAL\" SELECTED> TOTAL\n"));
  // The menu needs the statistics right.
  inst.Write("config/TEST_users.cfg", "nostat:n@example.org:pw: :YES:YES:YES:YES: :YES:YES\n");
  const std::string uid = e2e::EncodedToken(inst, "nostat", "TEST");
  EXPECT_TRUE(
      Has(StatsPage(inst, "statS=0&Uid=" + uid), "You are not allowed to see the statistics."));
  std::string menu = StatsPage(inst, "statS=0");
  for (const char* entry : {"statS=1\" >Workload of the responsibles&nbsp;</A></TD></TD></TR>\n",
                            "statS=9\" >Active sheets by severity&nbsp;</A></TD></TD></TR>\n"})
    EXPECT_TRUE(Has(menu, std::string("<A HREF=\"/cgi-bin/quorb.cgi?CMD=statS&") + entry));
}

TEST(StatisticsPages, MonthlyTableAndDetail) {
  e2e::SampleInstallation inst;
  const long friday = Local(inst, 2024, 1, 5, 10), monday = Local(inst, 2024, 1, 8, 9);
  WriteIndex(inst, {{.status = 4, .created = friday, .corr = monday},
                    {.status = 5,
                     .created = Local(inst, 2023, 12, 15, 9),
                     .ver = Local(inst, 2024, 1, 3, 9)},  // no correction date
                    {.status = 7, .created = Local(inst, 2023, 12, 20)},
                    {.phase = 1, .status = 0, .created = Local(inst, 2023, 11, 2)}});
  std::string months = StatsPage(inst, "statS=4&project=TEST&group=aG");
  size_t december = months.find(
      "<TR><TD ALIGN=CENTER>12/2023</TD>\n<TD ALIGN=CENTER>2</TD>\n"
      "<TD ALIGN=CENTER>1</TD>\n<TD COLSPAN=2 ALIGN=CENTER>0</TD>\n");
  size_t january = months.find(
      "<TR><TD ALIGN=CENTER> 1/2024</TD>\n<TD ALIGN=CENTER>1</TD>\n"
      "<TD ALIGN=CENTER>0</TD>\n<TD ALIGN=CENTER>2</TD><TD ALIGN=CENTER>\n"
      "1 in 1 days<BR>\n1 in 13 days<BR>\n</TD><TD ALIGN=CENTER>1</TD>"
      "<TD ALIGN=CENTER>1 in 13 days<BR>\n</TD></TR>\n");
  ASSERT_NE(december, std::string::npos) << months;
  ASSERT_NE(january, std::string::npos) << months;
  EXPECT_LT(december, january);
  EXPECT_FALSE(Has(months, "11/2023"));  // phase s: not in the group aG

  std::string detail = StatsPage(inst, "statS=4&project=TEST&group=TOTAL&text=ON");
  EXPECT_TRUE(Has(detail,
                  "<A HREF=/cgi-bin/quorb.cgi?Num=TaG.00001>TaG.00001</A></TD>\n"
                  "<TD ALIGN=CENTER>Corrected</TD>\n<TD ALIGN=CENTER>Critical</TD>\n"
                  "<TD ALIGN=CENTER>2024/01/05</TD>\n<TD ALIGN=CENTER>1</TD>\n"
                  "<TD>&nbsp</TD></TR>\n"));
  EXPECT_TRUE(Has(detail, "<TD ALIGN=CENTER>13</TD>\n<TD ALIGN=CENTER>13</TD></TR>\n"));
  EXPECT_TRUE(Has(detail, "<TD ALIGN=CENTER>+"));  // the open sheet
  EXPECT_TRUE(Has(detail, "<OPTION  SELECTED  VALUE=\"/cgi-bin/quorb.cgi?CMD=statS&statS=4&"));
}

TEST(StatisticsPages, WorkloadAndPrograms) {
  e2e::SampleInstallation inst;
  WriteIndex(inst, {{.status = 2, .sev = 1},
                    {.status = 3, .sev = 1},
                    {.status = 1, .sev = 3},
                    {.status = 2, .sev = 0, .resp = "tessin"},
                    {.status = 4, .sev = 2}});
  std::string page = StatsPage(inst, "statS=1&project=TEST");
  EXPECT_TRUE(Has(page, "<TD WIDTH=28%></TD>\n<TD WIDTH=28%></TD>\n<TD WIDTH=28%></TD>\n</TR>"));
  EXPECT_TRUE(Has(page,
                  "resp=tessin&statA=X&statO=X&statS=X&sort=0\">tessin</A></TD>\n"
                  "<TD BGCOLOR=#CFCFCF>1</TD>\n</TR>\n"));
  EXPECT_TRUE(Has(page,
                  "kolvar</A></TD>\n<TD BGCOLOR=#CFCFCF>3</TD>\n"
                  "<TD BGCOLOR=#FF0000 COLSPAN=2>&nbsp;</TD>"
                  "<TD BGCOLOR=#FFFF33 COLSPAN=1>&nbsp;</TD></TR>\n"));
  std::string programs = StatsPage(inst, "statS=3&project=TEST&group=GUI");
  EXPECT_TRUE(Has(programs,
                  "<TR><TD>prog2</TD><TD ALIGN=CENTER>2</TD></TR>\n"
                  "<TR><TD>prog1</TD><TD ALIGN=CENTER>3</TD></TR>\n"
                  "<TR><TH>Total</TH><TH>5</TH></TR>\n"));
}

TEST(StatisticsPages, PlotPageEmbedsTheDataPageAndItsScript) {
  e2e::SampleInstallation inst;
  const std::string empty = StatsPage(inst, "statS=9&project=TEST");
  EXPECT_TRUE(Has(empty, "<H1>Active sheets by severity</H1>\n<FORM"));
  EXPECT_FALSE(Has(empty, "APPLET"));
  EXPECT_EQ(StatsPage(inst, "statS=10&project=TEST&group=TOTAL&Week=2"),
            "Status: 404 Not Found\nContent-type: text/plain\nContent-Length: 0\n" E2E_PROTECTIVE
            "\n");

  inst.Write("data/Stats/TEST.TOTAL", "1000 1 0 0 0 0 0 0 0 0 0 0 0 0 5 6 7 8 0 0 0 0\n");
  std::string page = StatsPage(inst, "statS=9&project=TEST&group=TOTAL&Week=3");
  // The plot (drawn by the script, see the browser tests) reads the data page of its week.
  EXPECT_TRUE(Has(page,
                  "value=\"http://localhost/cgi-bin/quorb.cgi?CMD=statS&statS=10&project="
                  "TEST&group=TOTAL&Week=3\">\n<param name=CUMUL value=\"TRUE\" >\n"));
  EXPECT_TRUE(Has(page, "<SCRIPT SRC=\"/quorb/java/StatPlot.js\"></SCRIPT>\n"));
  EXPECT_TRUE(Has(page, "<FONT COLOR=#FFFF33 SIZE=+2>--</FONT> : Minor "));
  EXPECT_TRUE(Has(page, "&Week=3\" SELECTED >3\n"));

  std::string data = StatsPage(inst, "statS=10&project=TEST&group=TOTAL");
  std::string lines;
  for (int i = 0; i < 15; ++i) lines += "5 6 7 8 \n";
  EXPECT_EQ(data, "Content-type: text/html\n" E2E_PROTECTIVE "\n" + lines);
}

}  // namespace
