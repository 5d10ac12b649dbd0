// A sheet whose header change moved it to another name: every way in by its old name leads to
// it, its old name is never given again, and with security on the rights asked are those of
// the project it is in now.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "harness.h"

namespace {

using namespace e2e;

CgiResult GetUnfollowed(const Installation& inst, const std::string& query) {
  Request r;
  r.query = query;
  return inst.Run(r);
}

std::string RedirectTarget(const CgiResult& r) {
  const std::string start = "Status: 303 See Other\nLocation: ";
  if (!r.out.starts_with(start)) return "(no redirection)";
  return r.out.substr(start.size(), r.out.find('\n', start.size()) - start.size());
}

// TsG.00001, with one attachment, moved to the Core sub-project: TsC.00001.
void MoveFirstSheet(const Installation& inst, const std::string& to = "group=Core") {
  ASSERT_FALSE(Has(inst.Post(kNewSheet).out, kErrorBox));
  inst.PostMultipart({{"CMD", "Attach"},
                      {"Num", "TsG.00001"},
                      {"title", "first"},
                      {"User", "kolvar"},
                      {"Attach", "bytes\n", "a.txt"}});
  const std::string field = to.substr(0, to.find('=')), value = to.substr(to.find('=') + 1);
  ASSERT_FALSE(
      Has(inst.Post(FormBody(With(HeaderForm("TsG.00001"), field, value))).out, kErrorBox));
}

TEST(MovedSheet, EveryWayInByTheOldNameLeadsToTheSheet) {
  SampleInstallation inst;
  MoveFirstSheet(inst);
  ASSERT_TRUE(inst.Exists("data/TsC.00001"));
  ASSERT_FALSE(inst.Exists("data/TsG.00001"));

  // Pages that show: sent on to the same query with the current name.
  const std::pair<std::string, std::string> kReads[] = {
      {"Num=TsG.00001", "?Num=TsC.00001"},
      {"Numero=TsG.00001&x=1", "?Numero=TsC.00001&x=1"},
      {"find=TsG.00001", "?find=TsC.00001"},
      {"CMD=Print&Num=TsG.00001", "?CMD=Print&Num=TsC.00001"},
      {"CMD=FILE&title=TRACE_TsG.00001/first_a.txt",
       "?CMD=FILE&title=TRACE_TsC.00001%2Ffirst_a.txt"},
  };
  for (const auto& [query, to] : kReads) {
    const std::string location = RedirectTarget(GetUnfollowed(inst, query));
    EXPECT_TRUE(location.ends_with(to)) << query << " -> " << location;
  }
  // The download works where it was sent; a name that never was a sheet is not followed.
  EXPECT_TRUE(Has(inst.Get("CMD=FILE&title=TRACE_TsG.00001/first_a.txt").out, "\nbytes\n"));
  EXPECT_EQ(RedirectTarget(GetUnfollowed(inst, "Num=TsG.00009")), "(no redirection)");

  // Forms: the form of the sheet as it is called now, saying it moved.
  const std::string moved = "The fact sheet TsG.00001 has moved: this is the fact sheet TsC.00001.";
  for (const char* cmd : {"Observed", "Analyse", "Attach", "Edit", "Change_Header", "Copy"}) {
    const std::string page = inst.Get(std::string("CMD=") + cmd + "&Num=TsG.00001&Edit=0").out;
    EXPECT_EQ(Missing(page, {moved, "VALUE=\"TsC.00001\""}), "") << cmd << "\n" << page;
  }
  // A commit by the old name changes the sheet under its new one.
  inst.Get("CMD=Observed&Num=TsG.00001&User=kolvar&submitter=tessin");
  EXPECT_TRUE(Has(inst.Read("data/TsC.00001"), "Observed by kolvar") ||
              Has(inst.Read("data/TsC.00001"), "tessin"));
  EXPECT_FALSE(inst.Exists("data/TsG.00001"));

  // The sheet says what it was called; the day's history shows the old name's lines under it.
  EXPECT_TRUE(Has(inst.Get("Num=TsC.00001").out, "<B>TsC.00001</B> (formerly TsG.00001)</TD>"));
  const std::string journal = inst.Read("data/history.dat");
  const std::string day = journal.substr(0, 10);
  const std::string history = inst.Get("CMD=history&text=" + day).out;
  EXPECT_TRUE(Has(history, "Num=TsC.00001>TsC.00001</A> (formerly TsG.00001) </TD>")) << history;
  EXPECT_FALSE(Has(history, "Num=TsG.00001"));

  // A duplicate of the old name refers to the current one.
  inst.Post(kNewSheet);
  inst.Get("CMD=Duplicate&Num=TsG.00002&User=kolvar&text=TsG.00001");
  EXPECT_TRUE(Has(inst.Read("data/TsG.00002"), "TsC.00001")) << inst.Read("data/TsG.00002");

  // The old number is never given again: the next sheets of the prefix took 2 and 3.
  inst.Post(kNewSheet);
  EXPECT_TRUE(inst.Exists("data/TsG.00003"));
  EXPECT_FALSE(inst.Exists("data/TsG.00001"));
}

TEST(MovedSheet, TheCheckFindsForwardsThatLeadNowhereAndRepairsThem) {
  SampleInstallation inst;
  MoveFirstSheet(inst);
  auto check = [&inst](bool repair) {
    Request r;
    r.args = {"--check"};
    if (repair) r.args.push_back("--repair");
    r.env = {{"GATEWAY_INTERFACE", ""}};
    return inst.Run(r);
  };
  ASSERT_EQ(check(false).exit_code, 0) << check(false).out;
  // A former name without its forward, a loop, and a forward beside a sheet of its name.
  std::filesystem::remove(inst.Path("data/forward/TsG.00001"));
  inst.Write("data/forward/TsG.00007", "TsG.00008\n");
  inst.Write("data/forward/TsG.00008", "TsG.00007\n");
  inst.Write("data/forward/TsC.00001", "TsG.00008\n");
  const CgiResult found = check(false);
  EXPECT_EQ(found.exit_code, 1);
  EXPECT_EQ(Missing(found.out,
                    {"forward: TsG.00001, a former name of TsC.00001, has none",
                     "forward: TsG.00007 leads to no sheet", "forward: TsG.00008 leads to no sheet",
                     "forward: TsC.00001 is a sheet and a forward"}),
            "")
      << found.out;
  EXPECT_EQ(check(true).exit_code, 0);
  EXPECT_EQ(inst.Read("data/forward/TsG.00001"), "TsC.00001\n");
  EXPECT_EQ(inst.Read("data/forward/TsG.00007"), "\n");  // retired: taken, leading nowhere
  EXPECT_FALSE(inst.Exists("data/forward/TsC.00001"));
  EXPECT_TRUE(RedirectTarget(GetUnfollowed(inst, "Num=TsG.00001")).ends_with("?Num=TsC.00001"));
  // A copy is a new sheet: its source's old names are not its own.
  inst.Get("CMD=Copy&Num=TsC.00001&User=kolvar&project=TEST&group=GUI&prog=prog1&sev=2&phase=b");
  EXPECT_TRUE(inst.Exists("data/TsG.00002"));
  EXPECT_FALSE(Has(inst.Read("data/TsG.00002"), "Formerly"));
}

TEST(MovedSheet, TheGateAsksForTheRightsOfTheProjectTheSheetIsInNow) {
  Installation inst("SECURITY YES\n");
  WriteSampleProject(inst, "DEMO:D:kolvar:kolvar\n");
  inst.Write("config/TEST_users.cfg", inst.Read("config/TEST_users.cfg") +
                                          "m2:m2@example.org:m2pw:YES:YES:YES:YES: :YES:YES:YES\n");
  inst.Write("config/DEMO_users.cfg", "kolvar:kolvar@example.org:secret: :YES:YES:YES:YES\n");
  inst.Write("config/DEMO_subproject.cfg", "GUI:G\n");
  inst.Write("config/DEMO_program.cfg", "prog1\n");
  inst.Write("config/DEMO_version.cfg", "1.0\n");
  const std::string kolvar = "&Uid=" + EncodedToken(inst, "kolvar", "TEST");
  const std::string m2 = "&Uid=" + EncodedToken(inst, "m2", "TEST");
  ASSERT_FALSE(Has(inst.Post(std::string(kNewSheet) + kolvar).out, kErrorBox));
  inst.Post(FormBody(With(With(HeaderForm("TsG.00001"), "project", "DEMO"), "User", "kolvar")) +
            kolvar);
  ASSERT_TRUE(inst.Exists("data/DsG.00001"));
  // m2 may see and change TEST's sheets, not DEMO's: the old name gives no way round.
  const std::string refused = "You are not allowed to see this page.";
  EXPECT_TRUE(Has(inst.Get("CMD=Observed&Num=TsG.00001" + m2).out, refused));
  EXPECT_TRUE(Has(inst.Get("CMD=Observed&Num=TsG.00001&User=m2&submitter=m2" + m2).out, refused));
  // Nor does it tell the name the sheet has now.
  for (const std::string query : {"Num=TsG.00001", "find=TsG.00001", "CMD=Print&Num=TsG.00001",
                                  "CMD=FILE&title=TRACE_TsG.00001/a.txt"}) {
    const CgiResult r = GetUnfollowed(inst, query + m2);
    EXPECT_FALSE(Has(r.out, "DsG")) << query << "\n" << r.out;
    EXPECT_TRUE(Has(r.out, refused) || r.out.starts_with("Status: 404")) << query;
  }
  EXPECT_FALSE(Has(inst.Read("data/DsG.00001"), "Observed"));
  const std::string form = inst.Get("CMD=Observed&Num=TsG.00001" + kolvar).out;
  EXPECT_FALSE(Has(form, kErrorBox)) << form;
  EXPECT_TRUE(Has(form, "VALUE=\"DsG.00001\""));
  EXPECT_TRUE(RedirectTarget(GetUnfollowed(inst, "Num=TsG.00001" + kolvar))
                  .starts_with("/cgi-bin/quorb.cgi?Num=DsG.00001&Uid="));
}

}  // namespace
