// The sheet as HTML: the action bar, the header table per status, the entries and the log,
// on the page and in a mail file.
#include <gtest/gtest.h>

#include <cstdio>
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

void SetUpProject(const Installation& inst) {
  inst.InstallLanguageFiles();
  inst.WriteProjects("ABC:ABC:kolvar:tessin\n");
  inst.Write("config/phase.cfg", "Analysis:A\nTests:T\n");
  inst.Write("config/impacts.cfg", "Low\nHigh\n");
  inst.Write("config/ABC_subproject.cfg", "Gui:GUI\n");
}

// Sheet ABCTGUI.00012, status `status`, with one description entry.
store::FactSheet MakeSheet(int status) {
  store::FactSheet s;
  s.subCode = "GUI";
  s.number = 12;
  s.created = 946681200;
  s.submitter = "kolvar";
  s.sev = 2;
  s.project = "ABC";
  s.group = "Gui";
  s.phase = 1;
  s.prog = "prog";
  s.version = "1.0";
  s.title = "Crash on \"save\" <now>";
  s.exp = "1.1";
  s.status = status;
  s.postponed = 946767600;
  s.resp = "tessin";
  s.corrector = "corr";
  s.corrDate = 946854000;
  s.corrVers = "1.2";
  s.verifier = "veri";
  s.verDate = 946940400;
  s.verVers = "1.3";
  s.type = 1;
  s.impact = 1;
  s.mdapda = "CR-7";
  s.corrLoad = 4;
  s.Load = 2;
  s.log = "2000/01/01:00.00.00 Submitted by kolvar\n";
  store::AddEntry(s, "Description", "kolvar", 946681200, "Text.\n");
  return s;
}

std::string Button(const std::string& base, const std::string& action, const std::string& image,
                   const std::string& label, const std::string& qs = "") {
  return "<TD><A HREF=" + base + "/cgi-bin/quorb.cgi?CMD=" + action +
         "&Num=ABCTGUI.00012&QS=" + qs + "><IMG NAME=" + action + "ABCTGUI_00012 SRC=" + base +
         "/quorb/images//" + image + ".gif WIDTH=30 HEIGHT=20 ALT=\"" + label + "\" TITLE=\"" +
         label + "\" BORDER=0></A> </TD>\n";
}

std::string Bar(int anchor, const std::string& base, const std::string& qs = "") {
  char number[16];
  std::snprintf(number, sizeof number, "%05d", anchor);
  return std::string("<a name=") + number + ">\n" +
         "<TABLE BORDER=0 CELLSPACING=0 CELLPADDING=0 WIDTH=100%>\n<TR>\n" +
         Button(base, "Change_Header", "header", "Header change", qs) +
         Button(base, "Observed", "observe", "Observation", qs) +
         Button(base, "Analyse", "analyse", "Analysis", qs) +
         Button(base, "Attach", "attach", "Attachment", qs) +
         Button(base, "Copy", "copy", "Copy", qs) +
         Button(base, "Assign", "assign", "Assignment", qs) +
         Button(base, "Open", "open", "Opening", qs) +
         Button(base, "Not_a_Bug", "notabug", "Not a bug", qs) +
         Button(base, "Not_Reproducible", "notRep", "Not reproducible", qs) +
         Button(base, "Duplicate", "duplicate", "Duplicate", qs) +
         Button(base, "Postpone", "postpone", "Postponement", qs) +
         Button(base, "Corrected", "correct", "Correction", qs) +
         Button(base, "For_Verification", "forverif", "For verification", qs) +
         Button(base, "Verified", "verify", "Verification", qs) +
         Button(base, "Rejected", "reject", "Rejection", qs) +
         Button(base, "Abandoned", "abandon", "Abandonment", qs) +
         Button(base, "Print", "print", "Print", qs) + "</TR></TABLE>\n";
}

// The header table of MakeSheet(status) up to its conditional rows.
std::string HeaderRows(const std::string& status_label) {
  return "<TABLE BORDER=1 WIDTH=100%><TR><TD><B>ABCTGUI.00012</B></TD>\n"
         "<TD>" +
         store::FormatDate(946681200) +
         "</TD>\n"
         "<TD>Status : <B>" +
         status_label +
         "</B></TD>\n"
         "<TD>Submitted by :<B> kolvar</B></TD>\n</TR>\n"
         "<TR><TD COLSPAN=4>Title : <B>Crash on &quot;save&quot; &lt;now&gt;</B></TD></TR>\n"
         "<TR><TD>Project : <B>ABC<B></TD>\n<TD>Sub-project : Gui</TD>\n"
         "<TD>Phase : Tests</TD>\n<TD>Program : prog</TD></TR>\n"
         "<TR><TD>Severity : <B>Major<B></TD>\n<TD>Version : 1.0</TD>\n"
         "<TD>Planned version : 1.1</TD>\n<TD>Impact : High</TD></TR>\n"
         "<TR><TD>Type : Defect</TD>\n<TD>Change request : CR-7</TD>\n"
         "<TD>Responsible : <B>tessin</B></TD>\n<TD>Load : 2</TD></TR>\n";
}

std::string Entries(const std::string& script) {
  return "<TABLE BORDER=1 WIDTH=100%>\n"
         "<TR><TD><B><A HREF=" +
         script +
         "?CMD=Edit&Num=ABCTGUI.00012&Edit=0>Description</A></B></TD>\n"
         "<TD>" +
         store::FormatDate(946681200) +
         "</TD>\n<TD>kolvar</TD></TR>\n"
         "<TR><TD COLSPAN=3>Text.<BR>\n</FONT></TD></TABLE>\n";
}

const std::string kLog =
    "<TABLE BORDER=1 WIDTH=100%>\n<TR><TD><PRE>2000/01/01:00.00.00 Submitted by kolvar\n"
    "</PRE></TD></TR>\n</TABLE><P>\n";

// The anchors count the bars of the page.
TEST(SheetDisplay, PageShowsBarAndBodyExactly) {
  Installation inst;
  SetUpProject(inst);
  InProcess req(inst);
  store::FactSheet sheet = MakeSheet(store::kNew);
  ASSERT_EQ(store::CreateSheet(sheet, sheet.number), store::Stored::kOk);
  std::string out = CaptureStdout([&] {
    sheets::WriteActionBar(nullptr, "ABCTGUI.00012", "a%3Db");
    sheets::WriteSheetBody(sheet, nullptr);
    for (int i = 0; i < 2; ++i) sheets::WriteActionBar(nullptr, "ABCTGUI.00012", "");
  });
  EXPECT_EQ(out, Bar(0, "", "a%3Db") + HeaderRows("New") + "</TABLE>\n" +
                     Entries("/cgi-bin/quorb.cgi") + kLog + Bar(1, "") + Bar(2, ""));
}

// What a mail file holds: bar and body, as a file stream gets them, with absolute links (the
// creation test sends one through a relay on another port, and checks that the page's
// links stay relative).
TEST(SheetDisplay, MailFileLinksAreAbsolute) {
  Installation inst;
  SetUpProject(inst);
  store::FactSheet sheet = MakeSheet(store::kNew);
  InProcess req(inst);
  EXPECT_EQ(testing_support::CaptureStream([&](std::FILE* f) {
              sheets::WriteActionBar(f, "ABCTGUI.00012", "");
              sheets::WriteSheetBody(sheet, f);
            }),
            Bar(0, "http://localhost") + HeaderRows("New") + "</TABLE>\n" +
                Entries("http://localhost/cgi-bin/quorb.cgi") + kLog);
}

TEST(SheetDisplay, ConditionalRowsFollowTheStatus) {
  Installation inst;
  SetUpProject(inst);
  InProcess req(inst);
  auto body = [](const store::FactSheet& s) {
    return CaptureStdout([&] { sheets::WriteSheetBody(s, nullptr); });
  };
  const std::string tail = Entries("/cgi-bin/quorb.cgi") + kLog;
  const std::string correction = "<TR><TD COLSPAN=3>Corrected by corr on " +
                                 store::FormatDate(946854000) +
                                 " in version 1.2</TD>\n<TD>Correction load : 4</TD></TR>\n";
  const std::string verification = "<TR><TD COLSPAN=4>Verified by veri on " +
                                   store::FormatDate(946940400) + " in version 1.3</TD></TR>\n";

  EXPECT_EQ(body(MakeSheet(store::kCorrected)),
            HeaderRows("Corrected") + correction + "</TABLE>\n" + tail);
  EXPECT_EQ(body(MakeSheet(store::kVerified)),
            HeaderRows("Verified") + correction + verification + "</TABLE>\n" + tail);
  EXPECT_EQ(body(MakeSheet(store::kPostponed)),
            HeaderRows("Postponed") + "<TR><TD COLSPAN=4>Postponed until : " +
                store::FormatDate(946767600) + "</TD></TR>\n</TABLE>\n" + tail);

  store::FactSheet tested = MakeSheet(store::kOpen);
  tested.test = "T<1>";
  EXPECT_EQ(body(tested), HeaderRows("Open") +
                              "<TD COLSPAN=4>Test reference: T&lt;1&gt;</TD></TR>\n" +
                              "</TABLE>\n" + tail);
}

TEST(SheetDisplay, EntriesCountAttachmentsAndLinkTheStoredFile) {
  Installation inst;
  SetUpProject(inst);
  InProcess req(inst);
  store::FactSheet sheet = MakeSheet(store::kNew);
  store::SheetEntry& file =
      store::AddEntry(sheet, "File_1", "tessin", 946681260,
                      inst.DataDir() + "/TRACE_ABCTGUI.00012/File_1_run log.txt\n");
  file.kind = store::kAttachmentEntry;
  store::AddEntry(sheet, "Analysis", "tessin", 946681320, "a <b>\n");
  sheet.log.clear();

  std::string out = CaptureStdout([&] { sheets::WriteSheetBody(sheet, nullptr); });
  // After the description (compared whole above), in the same table: the file, the analysis.
  EXPECT_TRUE(
      out.ends_with("<TR><TD COLSPAN=3>Text.<BR>\n</FONT></TD>"
                    "<TR><TD><B><A HREF=\"/cgi-bin/quorb.cgi?CMD=FILE&title="
                    "TRACE_ABCTGUI.00012/File_1_run%20log.txt\">File_1</A></B></TD>\n<TD>" +
                    store::FormatDate(946681260) +
                    "</TD>\n<TD>tessin</TD></TR>\n"
                    "<TR><TD><B><A HREF=/cgi-bin/quorb.cgi?CMD=Edit&Num=ABCTGUI.00012&Edit=2>"
                    "Analysis</A></B></TD>\n<TD>" +
                    store::FormatDate(946681320) +
                    "</TD>\n<TD>tessin</TD></TR>\n"
                    "<TR><TD COLSPAN=3>a&nbsp;&lt;b><BR>\n</FONT></TD></TABLE>\n"
                    "<TABLE BORDER=1 WIDTH=100%>\n<TR><TD><PRE></PRE></TD></TR>\n</TABLE><P>\n"))
      << out;
}

TEST(SheetDisplay, LogAndUserValuesNeverBecomeMarkup) {
  Installation inst;
  SetUpProject(inst);
  InProcess req(inst);
  store::FactSheet sheet = MakeSheet(store::kNew);
  sheet.log = "2000/01/01:00.00.00 Submitted by <script>\n";
  sheet.entries[0].name = "<i>x</i>";
  std::string out = CaptureStdout([&] { sheets::WriteSheetBody(sheet, nullptr); });
  EXPECT_NE(out.find("<PRE>2000/01/01:00.00.00 Submitted by &lt;script&gt;\n</PRE>"),
            std::string::npos);
  EXPECT_NE(out.find("Edit=0>&lt;i&gt;x&lt;/i&gt;</A>"), std::string::npos);
  EXPECT_EQ(out.find("<script>"), std::string::npos);
  EXPECT_EQ(out.find("<i>"), std::string::npos);

  // A query that is not encoded cannot end the unquoted link attribute.
  std::string bar = CaptureStdout([] { sheets::WriteActionBar(nullptr, "ABCTGUI.00012", "a b>"); });
  EXPECT_NE(bar.find("&QS=a%20b%3E>"), std::string::npos);
}

}  // namespace
