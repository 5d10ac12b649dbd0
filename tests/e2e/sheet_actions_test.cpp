// The status actions end to end: each form as the browser gets it, each commit with what it
// stores, logs, remembers and mails.
#include <gtest/gtest.h>

#include <algorithm>
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

// The client last acted as tessin in another project.
const std::string kOtherContext = "192.0.2.10:tessin:OTHER:Core:0\n";

// Two sheets, TsG.00001 and TsG.00002; the first in status `status`.
void MakeSheets(const Installation& inst, int status = store::kNew) {
  e2e::WriteSampleProject(inst);
  inst.Post(e2e::kNewSheet);
  inst.Post(e2e::kNewSheet);
  inst.Write("config/userinfo.dat", kOtherContext);
  InProcess req(inst);
  // Created three days and an hour ago, so the working days a form counts do not depend on
  // the second the test and the program read the clock.
  store::UpdateSheet("TsG.00001", [&](store::FactSheet& s) {
    s.created -= 3 * 86400 + 3600;
    return s.status = status, true;
  });
}

store::FactSheet Sheet(const Installation& inst) {
  InProcess req(inst);
  return store::ReadSheet("TsG.00001").value_or(store::FactSheet{});
}

std::string Select(const std::string& field, const std::string& selected,
                   const std::string& label = "") {
  std::string s = "<SELECT NAME=\"" + field + "\" ID=" + field +
                  (label.empty() ? "" : " ARIA-LABEL=\"" + label + "\"") + ">\n<OPTION >&nbsp\n";
  for (std::string login : {"kolvar", "tessin"})
    s += (login == selected ? "<OPTION SELECTED> " : "<OPTION> ") + login + "\n";
  return s + "</SELECT>\n";
}

const std::string kSubmit = "<inPUT TYPE=\"submit\" VALUE=\"OK\">\n";
const std::string kDoneBy =
    "<LABEL FOR=User>Done by:</LABEL> \n" + Select("User", "tessin") + kSubmit;
const std::string kDesignate = Select("submitter", "kolvar", "Responsible") + kDoneBy;

// Each form: its method, its heading, and what it asks for (the user pre-set from the client's
// context, a designated user from the query, the defaults the action proposes).
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
  const std::string user = Select("User", "tessin") + kSubmit;
  const std::string reason = "</TD></TR>\n<TR><TD>\nReason : <BR>\n<TEXTAREA NAME=text ROWS=";
  const std::string entry = "<TEXTAREA NAME=text ROWS=15 COLS=70 ARIA-LABEL=\"Comment\">\n";
  const struct {
    std::string cmd, method, title, asks;
  } cases[] = {
      {"Observed", "GET", "Observation of the fact sheet",
       "Responsible for TsG.00001:</SPAN>\n" + kDesignate},
      {"Assign", "GET", "Assign the fact sheet", "Assign TsG.00001 to:</SPAN>\n" + kDesignate},
      {"Open", "GET", "Open the fact sheet", "work on TsG.00001:</SPAN>\n" + kDesignate},
      {"Not_a_Bug", "GET", "Close", "does not describe a bug.</SPAN>\n" + user},
      {"Not_Reproducible", "GET", "Fact sheet", "cannot be reproduced.</SPAN>\n" + user},
      {"Abandoned", "POST", "Abandonment of the fact sheet",
       "Abandoned by:</SPAN>\n" + Select("User", "tessin") + reason + "5 "},
      {"Rejected", "POST", "Rejection of the fact sheet",
       "Rejected by:</SPAN>\n" + Select("User", "tessin") + reason + "6 "},
      {"Duplicate", "GET", "Duplicate fact sheet",
       "duplicates the fact sheet:</SPAN>\n<INPUT SIZE=20 NAME=\"text\" ARIA-LABELLEDBY=lead>\n " +
           kDoneBy},
      {"Postpone", "GET", "Postpone the fact sheet",
       "(day/month/year):</SPAN>\n<INPUT SIZE=20 NAME=\"text\" ARIA-LABELLEDBY=lead VALUE=" +
           tomorrow + ">\n " + kDoneBy},
      {"Analyse", "POST", "Analysis of",
       "<INPUT SIZE=20 NAME=\"title\" ID=title VALUE=Analyse_1>\n" + kDoneBy +
           "</TD></TR>\n<TR><TD>\n" + entry},
      {"Corrected", "POST", "Correction of",
       "version:</SPAN>\n<SELECT NAME=\"version\" ARIA-LABEL=\"Version\">\n<OPTION "
       ">&nbsp\n<OPTION> 2.0\n</SELECT>\n" +
           kDoneBy +
           "</TD></TR>\n<TR><TD>\n<P><LABEL FOR=Load>Correction load (days)</LABEL> : \n<INPUT "
           "SIZE=4 NAME=\"Load\" ID=Load VALUE=" +
           load + ">\n</TD></TR>\n<TR><TD>\n" + entry +
           "Cause of the problem\n\n\nCorrection made:\n\n\nModified files:\n</TEXTAREA>\n"},
      {"Verified", "POST", "Verification of",
       "<OPTION SELECTED>&nbsp\n<OPTION SELECTED> 1.0\n<OPTION SELECTED> 1.1\n</SELECT>\n" +
           kDoneBy +
           "</TD></TR>\n<TR><TD>\n<LABEL FOR=test>Test reference:</LABEL><INPUT SIZE=20 "
           "NAME=\"test\" ID=test VALUE=T1>\n<BR>Comment :<BR>\n" +
           entry},
  };
  for (const auto& c : cases) {
    // A `submitter` alone does not make a commit.
    auto r = inst.Get("CMD=" + c.cmd + "&Num=TsG.00001&QS=a%253Db&submitter=kolvar");
    r.out = e2e::WithoutFormGuards(r.out);
    for (const std::string& part :
         {"<TITLE>" + c.cmd + "</TITLE>", "<H1>" + c.title + " TsG.00001", c.asks,
          "<FORM METHOD=" + c.method +
              " ACTION=\"/cgi-bin/quorb.cgi\">\n<INPUT TYPE=\"hidden\" "
              "NAME=\"CMD\" VALUE=\"" +
              c.cmd +
              "\">\n<INPUT TYPE=\"hidden\" NAME=\"Num\" "
              "VALUE=\"TsG.00001\">\n<INPUT TYPE=\"hidden\" NAME=QS VALUE=\"a%3Db\">\n<H1>",
          std::string("</TD></TR></TABLE>\n</FORM><HR>\n<TABLE BORDER=1 "
                      "WIDTH=100%><TR><TD><B>TsG.00001</B>")})
      EXPECT_TRUE(e2e::Has(r.out, part)) << c.cmd << ": " << part << "\n" << r.out;
  }
  // For verification only once corrected.
  auto refused = inst.Get("CMD=For_Verification&Num=TsG.00001");
  EXPECT_TRUE(e2e::Has(e2e::WithoutFormGuards(refused.out),
                       "NAME=QS VALUE=\" \">\n" + e2e::kErrorBox +
                           "Only a corrected fact sheet can be sent for verification.\n"
                           "</TD></TR></TABLE></FORM><HR>\n"))
      << refused.out;
  {
    InProcess req(inst);
    store::UpdateSheet("TsG.00001", [](store::FactSheet& s) { return s.status = 4, true; });
  }
  EXPECT_TRUE(e2e::Has(inst.Get("CMD=For_Verification&Num=TsG.00001").out,
                       "Requested by:</SPAN>\n" + Select("User", "kolvar") + "Verifier: \n" +
                           Select("submitter", "tessin", "Verifier") + kSubmit +
                           "</TD></TR></TABLE>\n"));
  EXPECT_EQ(inst.Read("config/userinfo.dat"), kOtherContext);
  EXPECT_EQ(inst.Read("data/history.dat"), journal);
}

struct CommitCase {
  std::string cmd, params, title, label;
  int status;
  std::string log, entry_name, entry_body;  // no entry name: no entry added
  bool project;                             // the whole context remembered, not the login only
  std::function<void(const store::FactSheet&)> fields;
};

TEST(SheetActions, CommitsStoreLogRememberAndMail) {
  auto resp = [](const store::FactSheet& s) { EXPECT_EQ(s.resp, "tessin"); };
  const std::vector<CommitCase> cases = {
      {"Observed", "submitter=tessin", "Observation of the fact sheet TsG.00001", "Observation", 1,
       "Observed, responsible tessin, by kolvar", "", "", false, resp},
      {"Analyse", "title=Analyse_1&text=Looked", "Analysis of TsG.00001", "Analysis", 5,
       "Analysis Analyse_1 added by kolvar", "Analyse_1", "Looked\n", true, nullptr},
      {"Assign", "submitter=tessin", "Fact sheet TsG.00001 assigned", "Assignment", 2,
       "Assigned to tessin by kolvar", "", "", false, resp},
      {"Open", "submitter=tessin", "Fact sheet TsG.00001 opened", "Opening", 3,
       "Opened, responsible tessin, by kolvar", "", "", false, resp},
      {"Not_a_Bug", "", "Fact sheet TsG.00001 closed: not a bug", "Not a bug", 7,
       "NOT_A_BUG, closed by kolvar", "", "", false, nullptr},
      {"Not_Reproducible", "", "Fact sheet TsG.00001 not reproducible", "Not reproducible", 8,
       "Not reproducible, closed by kolvar", "", "", false, nullptr},
      {"Duplicate", "text=TsG.00002", "Fact sheet TsG.00001 closed as a duplicate of TsG.00002",
       "Duplicate", 6, "Duplicate of TsG.00002, closed by kolvar", "", "", false, nullptr},
      {"Postpone", "text=1%2F2%2F2030", "Fact sheet TsG.00001 postponed until 1/2/2030",
       "Postponement", 9, "Postponed until 1/2/2030 by kolvar", "", "", false,
       [](const store::FactSheet& s) {
         std::time_t at = s.postponed, now = std::time(nullptr);
         std::tm date = *std::localtime(&at), today = *std::localtime(&now);
         EXPECT_EQ(date.tm_mday * 10000 + date.tm_mon * 100 + date.tm_year, 10000 + 100 + 130);
         // The time of day stays (a day apart when the test crosses midnight).
         int d = std::abs(date.tm_hour * 3600 + date.tm_min * 60 + date.tm_sec -
                          today.tm_hour * 3600 - today.tm_min * 60 - today.tm_sec);
         EXPECT_LE(std::min(d, 86400 - d), 120);
       }},
      {"Corrected", "version=2.0&Load=4&text=Fixed", "Correction of TsG.00001", "Correction", 4,
       "Corrected by kolvar in version 2.0", "Correction", "Fixed\n", true,
       [](const store::FactSheet& s) {
         EXPECT_EQ(s.corrVers + "/" + std::to_string(s.corrLoad), "2.0/4");
         EXPECT_EQ(s.corrDate, s.entries.back().time);
       }},
      {"For_Verification", "submitter=tessin", "Verifier designated for TsG.00001",
       "For verification", 5, "Verifier tessin designated by kolvar", "", "", false,
       [](const store::FactSheet& s) { EXPECT_EQ(s.verifier, "tessin"); }},
      {"Verified", "version=1.1&test=T9&text=", "Verification of TsG.00001", "Verification", 5,
       "Verified by kolvar in version 1.1", "Verification", "T9\n", true,
       [](const store::FactSheet& s) {
         EXPECT_EQ(s.verVers, "1.1");
         EXPECT_EQ(s.verDate, s.entries.back().time);
       }},
      {"Rejected", "text=No", "Rejection of the fact sheet TsG.00001", "Rejection", 0,
       "Rejected by kolvar", "Reason for rejection", "No\n", false, nullptr},
      {"Abandoned", "text=Old", "Abandonment of the fact sheet TsG.00001", "Abandonment", 10,
       "Abandoned by kolvar", "Reason for abandonment", "Old\n", false, nullptr},
  };
  for (const CommitCase& c : cases) {
    SCOPED_TRACE(c.cmd);
    mail_test::ScriptedPeer relay(mail_test::ScriptedPeer::Mode::kAnswer);
    Installation inst("MAILSERV " + relay.server() + "\n");
    MakeSheets(inst, store::kVerified);
    inst.Write("config/sendmail.cfg", c.cmd + " tessin kolvar\n");
    const store::FactSheet before = Sheet(inst);
    auto r = inst.Get("CMD=" + c.cmd + "&Num=TsG.00001&QS=a%253Db&User=kolvar&" + c.params);
    const std::string sent = relay.Received();

    // The heading and the way back to the query (the bar's layout: the display tests).
    EXPECT_TRUE(e2e::Has(r.out, "<H1>" + c.title +
                                    "</H1></TD>\n<TD ALIGN=RIGHT Valign=TOP>\n"
                                    "<A HREF=\"?a%3Db\">\n"))
        << r.out;
    // The page the commit leads to: the bar and the sheet as stored.
    EXPECT_TRUE(e2e::Has(r.out, c.log + "\n</PRE></TD></TR>\n</TABLE><P>\n"));
    EXPECT_TRUE(e2e::Has(r.out, "?CMD=Observed&Num=TsG.00001&QS=a%253Db>"));
    const store::FactSheet s = Sheet(inst);
    EXPECT_EQ(s.status, c.status);
    if (c.fields) {
      InProcess req(inst);  // the installation's time zone
      c.fields(s);
    }
    const std::string log = e2e::Lines(s.log).back();
    EXPECT_EQ(log.substr(20), c.log);
    EXPECT_EQ(e2e::Lines(inst.Read("data/history.dat")).back(),
              log.substr(0, 20) + "TsG.00001 " + c.log);
    EXPECT_EQ(s.entries.size(), before.entries.size() + (c.entry_name.empty() ? 0 : 1));
    if (!c.entry_name.empty()) {
      EXPECT_EQ(s.entries.back().name + "|" + s.entries.back().who + "|" + s.entries.back().text,
                c.entry_name + "|kolvar|" + c.entry_body);
    }
    EXPECT_EQ(inst.Read("config/userinfo.dat"),
              c.project ? "192.0.2.10:kolvar:TEST:GUI:1\n" : "192.0.2.10:kolvar:OTHER:Core:0\n");
    EXPECT_TRUE(e2e::Has(sent, "\r\nRCPT TO:<tessin@example.org>\r\n")) << sent;
    EXPECT_FALSE(e2e::Has(sent, "kolvar@"));
    EXPECT_TRUE(e2e::Has(sent, "Subject: Bug TsG.00001 " + c.label + " by kolvar\r\n"));
  }
}

}  // namespace
