// The sheet as HTML: the action bar, the header table per status, the entries and the log,
// on the page and in a mail file.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>

#include "common/capture.h"
#include "e2e/harness.h"
#include "sheets/display.h"
#include "store/sheet.h"
#include "store/store.h"

namespace {

using e2e::CaptureStdout;
using e2e::InProcess;
using e2e::Installation;

// Sheet ABCTGUI.00012, status `status`, with one description entry; the header as the index
// line gives it: phase b (Tests), severity c (Major), type and impact b.
store::FactSheet MakeSheet(int status) {
  store::FactSheet s;
  store::ParseHeader(
      "GUI|12|b|946681200|kolvar|c|ABC|Gui|prog|1.0|1.1|a|946767600|tessin|corr|946854000|1.2|"
      "veri|946940400|1.3|b|b|CR-7||4|2|Crash on \"save\" <now>",
      s);
  s.status = status;
  s.log = "2000/01/01:00.00.00 Submitted by kolvar\n";
  store::AddEntry(s, "Description", "kolvar", 946681200, "Text.\n");
  return s;
}

// The action bar of ABCTGUI.00012 with the anchor numbered `anchor`, its links under `base`.
std::string Bar(int anchor, const std::string& base, const std::string& qs = "") {
  std::string bar = fmt::format("<a name={:05d}>\n", anchor) +
                    "<TABLE BORDER=0 CELLSPACING=0 CELLPADDING=0 WIDTH=100%>\n<TR>\n";
  // Each button as "action image label".
  for (const char* button :
       {"Change_Header header Header change", "Observed observe Observation",
        "Analyse analyse Analysis", "Attach attach Attachment", "Copy copy Copy",
        "Assign assign Assignment", "Open open Opening", "Not_a_Bug notabug Not a bug",
        "Not_Reproducible notRep Not reproducible", "Duplicate duplicate Duplicate",
        "Postpone postpone Postponement", "Corrected correct Correction",
        "For_Verification forverif For verification", "Verified verify Verification",
        "Rejected reject Rejection", "Abandoned abandon Abandonment", "Print print Print"}) {
    std::istringstream in(button);
    std::string action, image, label;
    in >> action >> image >> std::ws;
    std::getline(in, label);
    bar += fmt::format(
        "<TD><A HREF={0}/cgi-bin/quorb.cgi?CMD={1}&Num=ABCTGUI.00012&QS={2}><IMG NAME={1}"
        "ABCTGUI_00012 SRC={0}/quorb/images//{3}.gif WIDTH=30 HEIGHT=20 ALT=\"{4}\" TITLE=\"{4}\" "
        "BORDER=0></A> </TD>\n",
        base, action, qs, image, label);
  }
  return bar + "</TR></TABLE>\n";
}

// The header table of MakeSheet(status) up to its conditional rows.
std::string HeaderRows(const std::string& status_label) {
  return fmt::format(
      "<TABLE BORDER=1 WIDTH=100%><TR><TD><B>ABCTGUI.00012</B></TD>\n<TD>{}</TD>\n"
      "<TD>Status : <B>{}</B></TD>\n<TD>Submitted by :<B> kolvar</B></TD>\n</TR>\n"
      "<TR><TD COLSPAN=4>Title : <B>Crash on &quot;save&quot; &lt;now&gt;</B></TD></TR>\n"
      "<TR><TD>Project : <B>ABC<B></TD>\n<TD>Sub-project : Gui</TD>\n"
      "<TD>Phase : Tests</TD>\n<TD>Program : prog</TD></TR>\n"
      "<TR><TD>Severity : <B>Major<B></TD>\n<TD>Version : 1.0</TD>\n"
      "<TD>Planned version : 1.1</TD>\n<TD>Impact : High</TD></TR>\n"
      "<TR><TD>Type : Defect</TD>\n<TD>Change request : CR-7</TD>\n"
      "<TD>Responsible : <B>tessin</B></TD>\n<TD>Load : 2</TD></TR>\n",
      store::FormatDate(946681200), status_label);
}

std::string Entries(const std::string& script) {
  return fmt::format(
      "<TABLE BORDER=1 WIDTH=100%>\n<TR><TD><B><A HREF={}?CMD=Edit&Num=ABCTGUI.00012&Edit=0>"
      "Description</A></B></TD>\n<TD>{}</TD>\n<TD>kolvar</TD></TR>\n"
      "<TR><TD COLSPAN=3>Text.<BR>\n</FONT></TD></TABLE>\n",
      script, store::FormatDate(946681200));
}

const std::string kLog =
    "<TABLE BORDER=1 WIDTH=100%>\n<TR><TD><PRE>2000/01/01:00.00.00 Submitted by kolvar\n"
    "</PRE></TD></TR>\n</TABLE><P>\n";

class SheetDisplay : public ::testing::Test {
 protected:
  void SetUp() override {
    inst.InstallLanguageFiles();
    inst.WriteProjects("ABC:ABC:kolvar:tessin\n");
    inst.Write("config/phase.cfg", "Analysis:A\nTests:T\n");
    inst.Write("config/impacts.cfg", "Low\nHigh\n");
    inst.Write("config/ABC_subproject.cfg", "Gui:GUI\n");
  }
  Installation inst;
  InProcess req{inst};
};

// The anchors count the bars of the request. A mail file, as a file stream gets it, has
// absolute links (the page's stay relative).
TEST_F(SheetDisplay, PageShowsBarAndBodyExactly) {
  store::FactSheet sheet = MakeSheet(store::kNew);
  ASSERT_EQ(store::CreateSheet(sheet, sheet.number), store::Stored::kOk);
  std::string out = CaptureStdout([&] {
    sheets::WriteActionBar(nullptr, "ABCTGUI.00012", "a%3Db");
    sheets::WriteSheetBody(sheet, nullptr);
    for (int i = 0; i < 2; ++i) sheets::WriteActionBar(nullptr, "ABCTGUI.00012", "");
  });
  EXPECT_EQ(out, Bar(0, "", "a%3Db") + HeaderRows("New") + "</TABLE>\n" +
                     Entries("/cgi-bin/quorb.cgi") + kLog + Bar(1, "") + Bar(2, ""));
  std::string mail = testing_support::CaptureStream([&](std::FILE* f) {
    sheets::WriteActionBar(f, "ABCTGUI.00012", "");
    sheets::WriteSheetBody(sheet, f);
  });
  EXPECT_TRUE(mail.starts_with(Bar(3, "http://localhost"))) << mail;
  EXPECT_TRUE(mail.ends_with(Entries("http://localhost/cgi-bin/quorb.cgi") + kLog)) << mail;
}

TEST_F(SheetDisplay, ConditionalRowsFollowTheStatus) {
  const std::string correction = "<TR><TD COLSPAN=3>Corrected by corr on " +
                                 store::FormatDate(946854000) +
                                 " in version 1.2</TD>\n<TD>Correction load : 4</TD></TR>\n";
  const std::string verification = "<TR><TD COLSPAN=4>Verified by veri on " +
                                   store::FormatDate(946940400) + " in version 1.3</TD></TR>\n";
  const struct {
    int status;
    std::string test, label, rows;
  } cases[] = {
      {store::kCorrected, "", "Corrected", correction},
      {store::kVerified, "", "Verified", correction + verification},
      {store::kPostponed, "", "Postponed",
       "<TR><TD COLSPAN=4>Postponed until : " + store::FormatDate(946767600) + "</TD></TR>\n"},
      {store::kOpen, "T<1>", "Open", "<TD COLSPAN=4>Test reference: T&lt;1&gt;</TD></TR>\n"},
  };
  for (const auto& c : cases) {
    store::FactSheet sheet = MakeSheet(c.status);
    sheet.test = c.test;
    EXPECT_EQ(CaptureStdout([&] { sheets::WriteSheetBody(sheet, nullptr); }),
              HeaderRows(c.label) + c.rows + "</TABLE>\n" + Entries("/cgi-bin/quorb.cgi") + kLog);
  }
}

// After the description (compared whole above), in the same table: the file and the analysis;
// the log, the entries' names and a query that is not encoded never become markup.
TEST_F(SheetDisplay, EntriesLinkTheStoredFileAndUserValuesNeverBecomeMarkup) {
  store::FactSheet sheet = MakeSheet(store::kNew);
  store::SheetEntry& file =
      store::AddEntry(sheet, "File_1", "tessin", 946681260,
                      inst.DataDir() + "/TRACE_ABCTGUI.00012/File_1_run log.txt\n");
  file.kind = store::kAttachmentEntry;
  store::AddEntry(sheet, "<i>x</i>", "tessin", 946681320, "a <b>\n");
  sheet.log = "2000/01/01:00.00.00 Submitted by <script>\n";
  std::string out = CaptureStdout([&] { sheets::WriteSheetBody(sheet, nullptr); });
  EXPECT_TRUE(
      out.ends_with("<TR><TD COLSPAN=3>Text.<BR>\n</FONT></TD>"
                    "<TR><TD><B><A HREF=\"/cgi-bin/quorb.cgi?CMD=FILE&title="
                    "TRACE_ABCTGUI.00012/File_1_run%20log.txt\">File_1</A></B></TD>\n<TD>" +
                    store::FormatDate(946681260) +
                    "</TD>\n<TD>tessin</TD></TR>\n"
                    "<TR><TD><B><A HREF=/cgi-bin/quorb.cgi?CMD=Edit&Num=ABCTGUI.00012&Edit=2>"
                    "&lt;i&gt;x&lt;/i&gt;</A></B></TD>\n<TD>" +
                    store::FormatDate(946681320) +
                    "</TD>\n<TD>tessin</TD></TR>\n"
                    "<TR><TD COLSPAN=3>a &lt;b><BR>\n</FONT></TD></TABLE>\n"
                    "<TABLE BORDER=1 WIDTH=100%>\n<TR><TD><PRE>2000/01/01:00.00.00 Submitted by "
                    "&lt;script&gt;\n</PRE></TD></TR>\n</TABLE><P>\n"))
      << out;
  std::string bar = CaptureStdout([] { sheets::WriteActionBar(nullptr, "ABCTGUI.00012", "a b>"); });
  EXPECT_NE(bar.find("&QS=a%20b%3E>"), std::string::npos);
}

// An entry wraps at single blanks and keeps its indentation and alignment; web addresses and
// sheet names become links, and nothing typed becomes markup or another kind of link.
TEST_F(SheetDisplay, EntryTextWrapsAndLinks) {
  const std::string sheet_link = "<A HREF=\"/cgi-bin/quorb.cgi?Num=";
  const struct {
    std::string text, html;
  } cases[] = {
      {"one two  three\n  four ", "one two&nbsp;&nbsp;three<BR>\n&nbsp;&nbsp;four&nbsp;"},
      {" x\r\ny", "&nbsp;x\r<BR>\ny"},
      {"see http://h.example/a?b=1&c=\"2\" now",
       "see <A HREF=\"http://h.example/a?b=1&amp;c=\">http://h.example/a?b=1&c=</A>&quot;2&quot; "
       "now"},
      {"(HTTPS://h.example/p_(1)), end.",
       "(<A HREF=\"HTTPS://h.example/p_(1)\">HTTPS://h.example/p_(1)</A>), end."},
      {"at https://h.example/x<script>.",
       "at <A HREF=\"https://h.example/x\">https://h.example/x</A>&lt;script>."},
      {"javascript:alert(1) http:// ftp://h.example xhttp://h.example",
       "javascript:alert(1) http:// ftp://h.example xhttp://h.example"},
      {"As TsG.00012, not v1.00012 nor TsG.0001 nor TsG.00012b:\nTaG.000123",
       "As " + sheet_link +
           "TsG.00012\">TsG.00012</A>, not v1.00012 nor TsG.0001 nor TsG.00012b:<BR>\n" +
           sheet_link + "TaG.000123\">TaG.000123</A>"},
  };
  for (const auto& c : cases) {
    store::FactSheet sheet = MakeSheet(store::kNew);
    sheet.entries.front().text = c.text;
    std::string out = CaptureStdout([&] { sheets::WriteSheetBody(sheet, nullptr); });
    size_t from = out.find("<TD COLSPAN=3>") + 14;
    EXPECT_EQ(out.substr(from, out.find("</FONT></TD>") - from), c.html) << c.text;
  }
}

}  // namespace
