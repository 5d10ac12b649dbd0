// The status actions end to end: each form as the browser gets it, each commit with what it
// stores, logs, remembers and mails.
#include <gtest/gtest.h>

#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "../unit/smtp_peer.h"
#include "harness.h"
#include "store/store.h"

namespace {

using e2e::InProcess;
using e2e::Installation;

const std::string kNewSheet =
    "CMD=new&title=A+bug&project=TEST&group=GUI&prog=prog1&sev=2&impact=b&phase=b&version=1.0"
    "&exp=2.0&type=1&submitter=kolvar&test=T1&Load=3&text=Desc";
// The client last acted as tessin in another project.
const std::string kOtherContext = "192.0.2.10:tessin:OTHER:Core:0\n";

// Two sheets, TsG.00001 and TsG.00002; the first in status `status`.
void MakeSheets(const Installation& inst, int status = store::kNew) {
  e2e::WriteSampleProject(inst);
  inst.Post(kNewSheet);
  inst.Post(kNewSheet);
  inst.Write("config/userinfo.dat", kOtherContext);
  InProcess req(inst);
  store::UpdateSheet("TsG.00001", [&](store::FactSheet& s) { return s.status = status, true; });
}

store::FactSheet Sheet(const Installation& inst) {
  InProcess req(inst);
  return store::ReadSheet("TsG.00001").value_or(store::FactSheet{});
}

[[maybe_unused]] std::string LastLine(const std::string& text) {
  size_t end = text.size() - (text.ends_with('\n') ? 1 : 0);
  size_t start = text.rfind('\n', end - 1);
  return text.substr(start == std::string::npos ? 0 : start + 1, end - start - 1);
}

std::string Select(const std::string& field, const std::string& selected, bool new_line = true) {
  std::string s = (new_line ? "\n<SELECT NAME=\"" : "<SELECT NAME=\"") + field +
                  "\">\n<OPTION >&nbsp\n";
  for (std::string login : {"kolvar", "tessin"})
    s += (login == selected ? "<OPTION SELECTED> " : "<OPTION> ") + login + "\n";
  return s + "</SELECT>\n";
}

const std::string kSubmit = "<inPUT TYPE=\"submit\" VALUE=\"OK\">\n";
const std::string kTable = "<TABLE BORDER=0 WIDTH=100%><TR><TD>";
const std::string kRow = "</TD></TR>\n<TR><TD>\n";
const std::string kDoneBy = "Done by: \n" + Select("User", "tessin", false) + kSubmit;
const std::string kDesignate = Select("submitter", "kolvar") + kDoneBy;
const std::string kError =
    "<Table WIDTH=400><TR><TD>\n<FONT COLOR=RED><H1>Error</H1></font>\n<P><HR><BR><BR>";

std::string Titled(const std::string& title, const std::string& lead) {
  return "<H1>" + title + "</H1>\n" + kTable + "\n<P>" + lead;
}

TEST(SheetActions, FormsAsTheirRowsSayAndNothingStored) {
  Installation inst;
  MakeSheets(inst);
  const std::string journal = inst.Read("data/history.dat");
  std::string tomorrow, load;
  {
    InProcess req(inst);
    std::time_t t = std::time(nullptr) + 86400;
    char text[16];
    std::strftime(text, sizeof text, "%d/%m/%Y", std::localtime(&t));
    tomorrow = text;
    load = std::to_string(store::CountWorkingDays(Sheet(inst).created, std::time(nullptr)));
  }
  const std::string user = Select("User", "tessin");
  struct Case {
    std::string cmd, method, body;
  };
  const std::vector<Case> cases = {
      {"Observed", "GET",
       Titled("Observation of the fact sheet TsG.00001", "Responsible for TsG.00001:") +
           kDesignate},
      {"Assign", "GET",
       "<H1>Assign the fact sheet TsG.00001</H1>\n" + kTable + "<P>\nAssign TsG.00001 to:" +
           kDesignate},
      {"Open", "GET",
       Titled("Open the fact sheet TsG.00001", "Responsible for the work on TsG.00001:") +
           kDesignate},
      {"Not_a_Bug", "GET",
       Titled("Close TsG.00001: not a bug", "Confirm that TsG.00001 does not describe a bug.") +
           user + kSubmit},
      {"Not_Reproducible", "GET",
       Titled("Fact sheet TsG.00001 not reproducible",
              "Confirm that the problem of TsG.00001 cannot be reproduced.") +
           user + kSubmit},
      {"Abandoned", "POST",
       Titled("Abandonment of the fact sheet TsG.00001",
              "The fact sheet TsG.00001 will be closed without correction. Abandoned by:") +
           user + kRow + "Reason : <BR>\n<TEXTAREA NAME=text ROWS=5 COLS=70>\n</TEXTAREA>\n" +
           kSubmit},
      {"Rejected", "POST",
       Titled("Rejection of the fact sheet TsG.00001",
              "The correction of TsG.00001 is rejected and the fact sheet becomes new again. "
              "Rejected by:") +
           user + kRow + "Reason : <BR>\n<TEXTAREA NAME=text ROWS=6 COLS=70>\n</TEXTAREA>\n" +
           kSubmit},
      {"Duplicate", "GET",
       Titled("Duplicate fact sheet TsG.00001", "TsG.00001 duplicates the fact sheet:") +
           "\n<INPUT SIZE=20 NAME=\"text\">\n " + kDoneBy},
      {"Postpone", "GET",
       Titled("Postpone the fact sheet TsG.00001", "Postpone TsG.00001 until (day/month/year):") +
           "\n<INPUT SIZE=20 NAME=\"text\" VALUE=" + tomorrow + ">\n " + kDoneBy},
      {"Analyse", "POST",
       "<H1>Analysis of TsG.00001 </H1>\n" + kTable +
           "\n<P>Title \n<INPUT SIZE=20 NAME=\"title\" VALUE=Analyse_1>\n" + kDoneBy + kRow +
           "<TEXTAREA NAME=text ROWS=15 COLS=70>\n</TEXTAREA>\n"},
      {"Corrected", "POST",
       "<H1>Correction of TsG.00001 </H1>\n" + kTable +
           "\n<P>TsG.00001 is corrected in the version:\n<SELECT NAME=\"version\">\n"
           "<OPTION >&nbsp\n<OPTION> 2.0\n</SELECT>\n" +
           kDoneBy + kRow + "<P>Correction load (days) : \n<INPUT SIZE=4 NAME=\"Load\" VALUE=" +
           load + ">\n" + kRow +
           "<TEXTAREA NAME=text ROWS=15 COLS=70>\nCause of the problem\n\n\nCorrection made:\n\n\n"
           "Modified files:\n</TEXTAREA>\n"},
      {"Verified", "POST",
       "<H1>Verification of TsG.00001 </H1>\n" + kTable +
           "\n<P>TsG.00001 is verified in the version:\n<SELECT NAME=\"version\">\n"
           "<OPTION SELECTED>&nbsp\n<OPTION SELECTED> 1.0\n<OPTION SELECTED> 1.1\n</SELECT>\n" +
           kDoneBy + kRow + "Test reference:<INPUT SIZE=20 NAME=\"test\" VALUE=T1>\n" +
           "<BR>Comment :<BR>\n<TEXTAREA NAME=text ROWS=15 COLS=70>\n</TEXTAREA>\n"},
  };
  for (const Case& c : cases) {
    // A `submitter` alone does not make a commit.
    auto r = inst.Get("CMD=" + c.cmd + "&Num=TsG.00001&QS=a%253Db&submitter=kolvar");
    const std::string form = "<FORM METHOD=" + c.method +
                             " ACTION=\"/cgi-bin/quorb.cgi\">\n<INPUT TYPE=\"hidden\" NAME=\"CMD\" "
                             "VALUE=\"" +
                             c.cmd +
                             "\">\n<INPUT TYPE=\"hidden\" NAME=\"Num\" VALUE=\"TsG.00001\">\n"
                             "<INPUT TYPE=\"hidden\" NAME=QS VALUE=\"a%3Db\">\n" +
                             c.body + "</TD></TR></TABLE>\n</FORM><HR>\n";
    EXPECT_NE(r.out.find(">\n" + form + "<TABLE BORDER=1 WIDTH=100%><TR><TD><B>TsG.00001</B>"),
              std::string::npos)
        << c.cmd << "\n"
        << r.out;
    EXPECT_TRUE(r.out.starts_with(std::string(e2e::kHtmlHeader) + "<HTML>\n<HEAD>\n<TITLE>" +
                                  c.cmd + "</TITLE>"));
  }
  // For verification only once corrected.
  auto refused = inst.Get("CMD=For_Verification&Num=TsG.00001");
  EXPECT_NE(refused.out.find("NAME=QS VALUE=\" \">\n" + kError +
                             "Only a corrected fact sheet can be sent for verification.\n"
                             "</TD></TR></TABLE></FORM><HR>\n"),
            std::string::npos)
      << refused.out;
  {
    InProcess req(inst);
    store::UpdateSheet("TsG.00001", [](store::FactSheet& s) { return s.status = 4, true; });
  }
  EXPECT_NE(inst.Get("CMD=For_Verification&Num=TsG.00001")
                .out.find(Titled("Verification request for TsG.00001",
                                 "Fact sheet TsG.00001 is corrected. Requested by:") +
                          Select("User", "kolvar") + "Verifier: \n" +
                          Select("submitter", "tessin", false) + kSubmit + "</TD></TR></TABLE>\n"),
            std::string::npos);
  EXPECT_EQ(inst.Read("config/userinfo.dat"), kOtherContext);
  EXPECT_EQ(inst.Read("data/history.dat"), journal);
  // Attach has no handler yet: the parameter dump answers it.
  EXPECT_NE(inst.Get("CMD=Attach&Num=TsG.00001").out.find("<PRE>"), std::string::npos);
}

}  // namespace
