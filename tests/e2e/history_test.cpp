// The history view through the CGI: the frameset, the day list over runs of days, the day
// page with sheet and test links, keyword colouring, and journal values kept out of markup.
#include "sheets/history.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "harness.h"
#include "store/sheet.h"

namespace {

using e2e::InProcess;
using e2e::Installation;

const std::string kCgi = "/cgi-bin/quorb.cgi";
const std::string kBody = "<BODY BGCOLOR=#FFFFFF TEXT=#000000 >\n";

std::string DayLink(const std::string& day) {
  return "<A HREF=" + kCgi + "?CMD=history&text=" + day + " TARGET=HIST >\n" + day + "</A><BR>\n";
}

TEST(History, FramesetPointsItsFramesAtTodayAndTheDayList) {
  e2e::SampleInstallation inst;
  std::string today;
  {
    InProcess req(inst);
    today = store::FormatDate(static_cast<long>(std::time(nullptr))).substr(0, 10);
  }
  const std::string frames = inst.Get("CMD=history").out;
  for (const std::string& frame :
       {std::string("TOP name=TOP "), std::string("LEFT name=LEFT "), today + " name=HIST "})
    EXPECT_TRUE(e2e::Has(frames, "<FRAME SRC=" + kCgi + "?CMD=history&text=" + frame)) << frames;
  const std::string top = inst.Get("CMD=history&text=TOP").out;
  EXPECT_TRUE(top.starts_with(e2e::kHtmlHeader + kBody)) << top;
  EXPECT_TRUE(top.ends_with("<FONT SIZE=5>History of the actions</FONT>\n</B> <A HREF=\"" + kCgi +
                            "?CMD=history&text=PAGE\" TARGET=\"_top\">On one page</A>\n</BODY>\n"))
      << top;
  // Every frame is named for a screen reader.
  EXPECT_EQ(e2e::Count(frames, " TITLE=\""), 3) << frames;
}

// The history on one page: the day asked for (today by default), with the way home, and the
// days of the journal, each linking to its own page.
TEST(History, OnePageWithoutFrames) {
  e2e::SampleInstallation inst;
  inst.Write("data/history.dat",
             "1999/12/30:09.00.00 TsG.00001 Submitted by kolvar\n"
             "1999/12/31:09.00.00 TsG.00002 Submitted by kolvar\n");
  const std::string day = inst.Get("CMD=history&text=PAGE&day=1999/12/30").out;
  EXPECT_EQ("", e2e::Missing(
                    day, {e2e::PageHead("History of the actions"), "home.gif",
                          "<H1>Actions of 1999/12/30</H1>", "?Num=TsG.00001>",
                          "<A HREF=\"" + kCgi +
                              "?CMD=history&text=PAGE&day=1999/12/31\">1999/12/31</A>\n"
                              "<A HREF=\"" +
                              kCgi + "?CMD=history&text=PAGE&day=1999/12/30\">1999/12/30</A>\n"}));
  EXPECT_FALSE(e2e::Has(day, "?Num=TsG.00002>"));
  EXPECT_FALSE(e2e::Has(day, "FRAME"));
  EXPECT_TRUE(e2e::Has(inst.Get("CMD=history&text=PAGE").out, "<H1>Actions of 2"));
}

TEST(History, DaysAreListedNewestFirstOncePerRun) {
  e2e::SampleInstallation inst;
  // Without a journal the list is empty.
  EXPECT_EQ(inst.Get("CMD=history&text=LEFT").out, e2e::kHtmlHeader + kBody);
  // The clock was set back after 1999/12/31: 1999/12/30 has a second run. A line too short
  // to hold a day changes nothing.
  inst.Write("data/history.dat",
             "1999/12/30:09.00.00 TsG.00001 Submitted by kolvar\n"
             "1999/12/31:09.00.00 TsG.00002 Submitted by kolvar\n"
             "\n"
             "1999/12/31:10.00.00 TsG.00001 Verified by tessin\n"
             "1999/12/30:11.00.00 TsG.00003 Submitted by kolvar\n"
             "2000/01/01:00.00.01 TsG.00003 Open, no line feed");
  EXPECT_EQ(inst.Get("CMD=history&text=LEFT").out,
            e2e::kHtmlHeader + kBody + DayLink("2000/01/01") + DayLink("1999/12/30") +
                DayLink("1999/12/31") + DayLink("1999/12/30"));
}

TEST(History, DayPageLinksSheetsAndTestsAndEscapesJournalValues) {
  e2e::SampleInstallation inst;
  inst.Write("data/history.dat",
             "1999/12/30:09.00.00 TsG.00001 Submitted by kolvar\n"
             "1999/12/31:09.00.00 TsG.00002 Submitted by <b>kolvar</b>\n"
             "1999/12/31:09.30.00 TEST/G/s/Book/test.M1.S1.001 Test passed by tessin (OK)\n"
             "1999/12/31:10.00.00 x\"><i>&a=1 Corrected then Verified\n"
             "1999/12/31:11.00.00 TsG.00002 New copy of New\n");
  std::string page = inst.Get("CMD=history&text=1999/12/31").out;
  EXPECT_EQ(e2e::Count(page, "<TR><TD> "), 4) << page;  // the lines of that day only
  for (const std::string& part : std::vector<std::string>{
           "<H1>Actions of 1999/12/31</H1>\n<TABLE BORDER=0 CELLSPACING=0 CELLPADDING=0 >\n",
           "<TD> <B><FONT COLOR=RED>Submitted</Font></B> by &lt;b&gt;kolvar&lt;/b&gt;</TD><TR>\n",
           // A test of a test book: group by its code, phase by its letter.
           "<TD><A HREF=\"" + kCgi +
               "?CMD=book&project=TEST&group=GUI&phase=1&mod=M1&step=S1&test=001&book=21\"> \n"
               "TEST.G.s.M1.S1.001</A> </TD>\n",
           "<TD> Test passed by tessin <B><FONT COLOR=GREEN>(OK)</Font></B></TD><TR>\n",
           "<TD><A HREF=" + kCgi +
               "?Num=x%22%3E%3Ci%3E%26a%3D1>x&quot;&gt;&lt;i&gt;&a=1</A> </TD>\n",
           // The first word in table order is coloured, not the first in the text.
           "<TD> Corrected then <B><FONT COLOR=STEELBLUE>Verified</Font></B></TD><TR>\n",
           "<TD><A HREF=" + kCgi + "?Num=TsG.00002>TsG.00002</A> </TD>\n"})
    EXPECT_TRUE(e2e::Has(page, part)) << part << "\n" << page;
  // A day that is no day of the journal, and request text in the heading.
  EXPECT_TRUE(inst.Get("CMD=history&text=%3Cb%3E1999/12")
                  .out.ends_with("&lt;b&gt;1999/12</H1>\n<TABLE BORDER=0 CELLSPACING=0 "
                                 "CELLPADDING=0 >\n</TABLE>\n"));
}

TEST(History, KeywordsComeFromTheLanguageFile) {
  e2e::SampleInstallation inst;
  struct Case {
    std::string language;  // "" keeps the shipped file
    std::string text;
    std::string html;
  };
  const Case cases[] = {
      {"", "Attachment <x> New", "<B><FONT COLOR=BLACK>Attachment</Font></B> &lt;x&gt; New"},
      {"", "Test 1 (NOK)", "Test 1 <B><FONT COLOR=RED>(NOK)</Font></B>"},
      {"", "nothing here", "nothing here"},
      // Without the messages every word is empty: nothing is coloured.
      {"1,EN\n2,v4.6\n", "New (OK) Verified", "New (OK) Verified"},
      {"1,EN\n2,v4.6\n2600,Annex\n2602,Submitted\n", "Submitted", "Submitted"},
  };
  for (const Case& c : cases) {
    inst.InstallLanguageFiles();
    if (!c.language.empty()) inst.Write("config/langue.EN", c.language);
    InProcess req(inst);
    EXPECT_EQ(sheets::ColourKeywords(c.text), c.html) << c.text;
  }
}

}  // namespace
