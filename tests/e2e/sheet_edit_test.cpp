// Edit, Change_Header and Copy through the CGI: forms, commits, the files they leave, and
// the refusals (no such sheet, no such entry, missing user, rights).
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/out.h"
#include "harness.h"
#include "store/store.h"

namespace {

using e2e::Fields;
using e2e::FormBody;
using e2e::Has;
using e2e::HeaderForm;
using e2e::InProcess;
using e2e::Installation;
using e2e::Lines;
using e2e::With;

// TsG.<number> (TEST, GUI, Tests) with entries text, attachment, text, and load 3.
std::string MakeSheet(const Installation& inst, int number) {
  InProcess req(inst);
  store::FactSheet s;
  s.project = "TEST", s.group = "GUI", s.subCode = "G", s.phase = 1, s.prog = "prog1";
  s.sev = 2, s.impact = 1, s.version = "1.0", s.submitter = "kolvar", s.title = "Crash";
  s.Load = 3, s.created = 946681200;
  store::AddEntry(s, "Description", "kolvar", 946681200, "Text.\n");
  store::AddEntry(s, "File_1", "kolvar", 946681200, inst.DataDir() + "TRACE_TsG.00001/File_1_a.txt")
      .kind = store::kAttachmentEntry;
  store::AddEntry(s, "Analyse_2", "tessin", 946681200, "Second.\n");
  EXPECT_EQ(store::CreateSheet(s, number), store::Stored::kOk);
  return store::GetSheetName(s);
}

store::FactSheet Sheet(const Installation& inst, const std::string& name) {
  InProcess req(inst);
  return store::ReadSheet(name).value_or(store::FactSheet{});
}

TEST(SheetEdit, EntryFormAndCommitCountAttachments) {
  e2e::SampleInstallation inst;
  std::string name = MakeSheet(inst, 1);
  std::string form = inst.Get("CMD=Edit&Num=" + name + "&Edit=1").out;
  EXPECT_TRUE(Has(form,
                  "<INPUT TYPE=\"hidden\" NAME=\"Edit\" VALUE=\"1\">\n"
                  "<LABEL FOR=title>Title</LABEL> \n<INPUT SIZE=25 NAME=\"title\" ID=title "
                  "VALUE=\"File_1\">\n"));
  EXPECT_TRUE(Has(form, "<TEXTAREA NAME=text ROWS=15 COLS=70 ARIA-LABEL=\"File_1\" READONLY>\n"));
  EXPECT_FALSE(Has(form, "NAME=Uid"));

  // Entry 1 is the attachment: its title changes, its stored path stays, and so does its link.
  std::string page = inst.Post("CMD=Edit&Num=" + name + "&Edit=1&User=tessin&title=Run+%7C+log" +
                               "&text=..%2F..%2Fetc%2Fpasswd")
                         .out;
  store::FactSheet sheet = Sheet(inst, name);
  ASSERT_EQ(sheet.entries.size(), 3u);
  EXPECT_EQ(sheet.entries[1].name, "Run / log");
  EXPECT_EQ(sheet.entries[1].text, inst.DataDir() + "TRACE_TsG.00001/File_1_a.txt\n");
  EXPECT_TRUE(Has(page, "CMD=FILE&title=TRACE_TsG.00001/File_1_a.txt\">"));
  EXPECT_TRUE(Has(Lines(sheet.log).back(), " Entry Run / log edited by tessin"));
  // A text entry takes the new body.
  inst.Post("CMD=Edit&Num=" + name + "&Edit=2&User=tessin&title=Two&text=New%0D%0Abody");
  EXPECT_EQ(Sheet(inst, name).entries[2].text, "New\r\nbody\n");

  // Refusals change nothing.
  std::string before = inst.Read("data/" + name);
  EXPECT_TRUE(Has(inst.Post("CMD=Edit&Num=" + name + "&Edit=3&User=tessin&title=x").out,
                  "<Font color=red><H1>Error</H1><P>\nThe entry number 3 does not exist in this "
                  "fact sheet.<P></font>"));
  EXPECT_TRUE(Has(inst.Post("CMD=Edit&Num=" + name + "&Edit=0&User=&title=x").out,
                  "A required field is missing"));
  EXPECT_EQ(inst.Read("data/" + name), before);
}

TEST(SheetEdit, HeaderChangeKeepsNameAndLogsLoad) {
  e2e::SampleInstallation inst;
  std::string name = MakeSheet(inst, 1);
  std::string form = inst.Get("CMD=Change_Header&Num=" + name).out;
  EXPECT_TRUE(Has(form, "<OPTION SELECTED VALUE=\"prog1\"> prog1\n<OPTION VALUE=\"prog2\">"));
  EXPECT_TRUE(Has(form, "<INPUT NAME=Load ID=Load SIZE=4 VALUE=3 >"));

  struct Case {
    std::string load, title, log;
  };
  const std::vector<Case> cases = {{"3", "A+%7C+B", ""},
                                   {"5", "A", "Re-estimated by tessin to 5 days (+2)"},
                                   {"3", "A", "Re-estimated by tessin to 3 days (-2)"}};
  for (const Case& c : cases) {
    std::string page =
        inst.Post(FormBody(With(With(HeaderForm(name), "Load", c.load), "title", c.title))).out;
    EXPECT_TRUE(Has(page,
                    "<H1>Header changed for TsG.00001</H1></TD>\n<TD ALIGN=RIGHT Valign=TOP>"
                    "\n<A HREF=\"?find=1\">\n"));
    std::vector<std::string> log = Lines(Sheet(inst, name).log);
    if (c.log.empty()) {
      EXPECT_TRUE(Has(log.back(), " Header changed by tessin"));
      EXPECT_EQ(Sheet(inst, name).title, "A | B");  // a bar in the title is kept
    } else {
      EXPECT_TRUE(Has(log.back(), " " + c.log)) << log.back();
    }
  }
  // Each change appended the sheet's line; readers take the last.
  const std::vector<std::string> lines = Lines(inst.Read("data/index"));
  EXPECT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines.back() + "\n", store::FormatHeader(Sheet(inst, name)));
}

TEST(SheetEdit, RenameMovesToFirstFreeNumberAndKeepsAttachments) {
  e2e::SampleInstallation inst;
  std::string name = MakeSheet(inst, 1);
  // Creations on the target prefix run while the sheet moves there.
  std::vector<std::thread> creators;
  for (int i = 0; i < 4; ++i)
    creators.emplace_back([&inst, i] {
      inst.Post(base::Sprintf(
          "CMD=new&title=New%d&project=TEST&group=Core&prog=prog1&sev=1&impact=a&phase=b&"
          "version=1.0&submitter=kolvar",
          i));
    });
  std::string page = inst.Post(FormBody(With(HeaderForm(name), "group", "Core"))).out;
  for (std::thread& t : creators) t.join();

  EXPECT_FALSE(inst.Exists("data/" + name));
  const std::vector<std::string> lines = Lines(inst.Read("data/index"));
  EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()).size(), 5u);  // five, each once
  EXPECT_EQ(lines.size(), 5u);
  std::string moved;
  for (int n = 1; n <= 5; ++n) {
    std::string file = base::Sprintf("TsC.%05d", n);
    store::FactSheet sheet = Sheet(inst, file);
    ASSERT_EQ(sheet.number, n) << file;
    if (sheet.title == "Crash") moved = file;
  }
  ASSERT_FALSE(moved.empty());
  EXPECT_FALSE(inst.Exists("data/TsC.00006"));
  // The page shows the sheet under its new name; the attachment moved with it.
  EXPECT_TRUE(Has(page, "CMD=Change_Header&Num=" + moved + "&QS=find%3D1>"));
  // Links name the file relative to the data folder.
  EXPECT_TRUE(Has(page, "CMD=FILE&title=TRACE_" + moved + "/File_1_a.txt\">"));
  EXPECT_TRUE(Has(inst.Read("data/history.dat"), " " + moved + " Header changed by tessin\n"));
}

TEST(SheetEdit, CopyNumbersFromSourceAndLogsBoth) {
  e2e::SampleInstallation inst;
  std::string name = MakeSheet(inst, 12);
  const std::string copy =
      "CMD=Copy&Num=TsG.00012&User=tessin&project=TEST&prog=prog2&sev=3&phase=b&group=";
  EXPECT_TRUE(Has(inst.Post(copy + "Core").out, "<H1>Copy made from TsG.00012</H1>"));
  inst.Post(copy + "GUI");
  EXPECT_EQ(Sheet(inst, "TsC.00012").prog, "prog2");
  EXPECT_EQ(Sheet(inst, "TsG.00013").entries.size(), 3u);
  EXPECT_TRUE(
      Has(Lines(Sheet(inst, "TsG.00013").log).back(), "New copy of TsG.00012 made by tessin"));
  std::vector<std::string> log = Lines(Sheet(inst, name).log);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_TRUE(Has(log[0], "Copied to TsC.00012 by tessin"));
  EXPECT_TRUE(Has(log[1], "Copied to TsG.00013 by tessin"));
  EXPECT_EQ(Lines(inst.Read("data/index")).size(), 3u);
  EXPECT_FALSE(inst.Exists("config/userinfo.dat"));  // no user context for a copy
}

// With security on, moving a sheet needs a member of both projects: OTHER has no users file.
TEST(SheetEdit, SecurityNeedsAMemberOfBothProjects) {
  Installation inst("SECURITY YES\n");
  e2e::WriteSampleProject(inst, "OTHER:O:kolvar:tessin\n");
  std::string name = MakeSheet(inst, 1);
  std::string before = inst.Read("data/" + name);
  const std::string kolvar = "&Uid=" + e2e::EncodedToken(inst, "kolvar", "TEST");
  EXPECT_TRUE(Has(inst.Post(FormBody(With(HeaderForm(name), "project", "OTHER")) + kolvar).out,
                  "You are not allowed to do this action on this project."));
  EXPECT_EQ(inst.Read("data/" + name), before);
  inst.Post(FormBody(With(HeaderForm(name), "title", "Mine")) + kolvar);
  EXPECT_EQ(Sheet(inst, name).title, "Mine");  // within TEST the same member may
}

}  // namespace
