// The status actions refusing what they must: names that are no sheet, duplicates of no
// sheet, dates that do not fit, missing fields, users without the right.
#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "base/out.h"
#include "harness.h"
#include "store/store.h"

namespace {

using e2e::InProcess;
using e2e::Installation;

const std::string kError = e2e::kErrorBox;

void MakeSheets(const Installation& inst) {
  e2e::WriteSampleProject(inst);
  inst.Post(e2e::kNewSheet);
  inst.Post(e2e::kNewSheet);
}

// Everything a refused commit must leave as it was.
std::string DataState(const Installation& inst) {
  std::string state;
  for (const std::string& name : inst.List("data")) state += name + ":" + inst.Read("data/" + name);
  return state + inst.Read("config/userinfo.dat");
}

// The forms and commits of the actions, the editors, the copy and the print.
TEST(SheetActionFaults, NameOfNoSheetGivesOnlyTheErrorBox) {
  Installation inst;
  MakeSheets(inst);
  e2e::InstallPrintStandIn(inst);
  inst.Write("data/TsG.00050/x", "a folder named like a sheet");
  inst.Write("data/TsG.00051", "");  // an empty file is no sheet to print
  const std::string before = DataState(inst);
  // The error, and the way home (printing writes only the error).
  const std::string error = kError + "Unable to read the fact sheet\n</TD></TR></TABLE>";
  const std::string home =
      "<TABLE WIDTH=100% BORDER=0><TR><TD ALIGN=RIGHT><A HREF=\"?\"><IMG "
      "SRC=\"/quorb/images//home.gif\" BORDER=0 VALIGN=CENTER ALT=\"QUORB\" "
      "TITLE=\"QUORB\"></A></TD></TR></TABLE>\n";
  for (std::string cmd :
       {"Open", "Open&User=kolvar&submitter=tessin", "Edit&Edit=0",
        "Edit&Edit=0&User=kolvar&title=x", "Copy&User=x", "Change_Header", "Print"}) {
    const std::string head = e2e::PageHead(cmd.substr(0, cmd.find('&')));
    const bool commit = cmd.find("User=") != std::string::npos && !cmd.starts_with("Edit") &&
                        !cmd.starts_with("Copy");
    const std::string page = cmd == "Print" ? head + error
                             : commit       ? head + error + home
                                            : head + home + error;
    // One name per way of being no sheet: none, no file, no dot, a short number, a folder,
    // a way out of the data folder.
    for (std::string num :
         {"", "&Num=TsG.00099", "&Num=index", "&Num=history.dat", "&Num=TsG.00050",
          "&Num=..%2Fdata%2FTsG.00001", "&Num=%2Fetc%2Fpasswd", "&Num="})
      EXPECT_EQ(inst.Get("CMD=" + cmd + num).out, page) << cmd << num;
  }
  EXPECT_EQ(inst.Get("CMD=Print&Num=TsG.00051").out, e2e::PageHead("Print") + error);
  EXPECT_EQ(DataState(inst), before);
  EXPECT_FALSE(inst.Exists("args.txt"));  // nothing was printed
}

// Duplicates of no sheet, dates that do not fit, missing fields and users without the right
// are refused and change nothing; the same actions done right are stored. (Commits at once
// on one sheet: every action commits through one UpdateSheet, the store concurrency test's.)
TEST(SheetActionFaults, RefusalsChangeNothing) {
  Installation inst;
  MakeSheets(inst);
  const std::string before = DataState(inst);
  const std::string missing = kError + "A required field is missing";
  const std::string denied = kError + "You are not allowed to do this action on this project.\n";
  const std::string date = kError + "The date is missing or invalid";
  std::vector<std::pair<std::string, std::string>> refused = {
      {"Observed&User=kolvar", missing},
      {"Observed&User=kolvar&submitter=+x", missing},
      {"Analyse&User=kolvar&title=&text=x", missing},
      {"Corrected&User=kolvar&text=x", missing},
      {"Verified&User=kolvar&version=1.0&test=&text=", missing},
      {"Not_a_Bug&User=", missing},
      {"Assign&User=tessin&submitter=kolvar", denied + "</TD></TR></TABLE><!tessin,kolvar>\n"},
      // A login is compared whole: a part of the manager's is not the manager.
      {"Assign&User=kol&submitter=kolvar", denied + "</TD></TR></TABLE><!kol,kolvar>\n"},
      {"Assign&User=&submitter=kolvar", denied},
      {"For_Verification&User=other&submitter=kolvar", denied},
      // The user is required too, with the message of the date.
      {"Postpone&User=&text=1%2F2%2F2030", date}};
  for (std::string text :
       {"1-2-2030", "1%2F1%2F2100", "1%2F1%2F99999999999", "1%2F1%2F1800", "1%2F%2F2030", ""})
    refused.emplace_back("Postpone&User=kolvar&text=" + text, date);
  for (const auto& [text, shown] : std::vector<std::pair<std::string, std::string>>{
           {"index", "index"},
           {"TsG.00099", "TsG.00099"},
           {"%3Cb%3E", "&lt;b&gt;"},
           {"..%2Fdata%2FTsG.00002", "../data/TsG.00002"}})
    refused.emplace_back("Duplicate&User=kolvar&text=" + text,
                         kError + "The fact sheet " + shown + " does not exist.</TD>");
  // A name left blank is asked for.
  for (std::string text : {"", "+", "+TsG.00002"})
    refused.emplace_back("Duplicate&User=kolvar&text=" + text,
                         kError + "Please type the name of the fact sheet this one duplicates.\n");
  for (const auto& [query, error] : refused)
    EXPECT_TRUE(e2e::Has(inst.Get("CMD=" + query + "&Num=TsG.00001").out, error)) << query;
  EXPECT_EQ(DataState(inst), before);
  // The manager assigns; the verifier may designate a verifier; a sheet duplicates another.
  inst.Get("CMD=Assign&Num=TsG.00001&User=kolvar&submitter=tessin");
  inst.Get("CMD=For_Verification&Num=TsG.00001&User=tessin&submitter=kolvar");
  inst.Get("CMD=Duplicate&Num=TsG.00001&User=kolvar&text=TsG.00002");
  std::string file = inst.Read("data/TsG.00001");
  for (const char* line :
       {" Assigned to tessin by kolvar\n", " Verifier kolvar designated by tessin\n",
        " Duplicate of TsG.00002, closed by kolvar\n"})
    EXPECT_TRUE(e2e::Has(file, line)) << file;
  // A day past the month's end runs on into the next; blanks before the numbers are read.
  for (const auto& [text, day] : std::vector<std::pair<std::string, std::string>>{
           {"31%2F02%2F2001", "3/3/2001"}, {"+1%2F+2%2F+2030", "1/2/2030"}}) {
    inst.Get("CMD=Postpone&Num=TsG.00002&User=kolvar&text=" + text);
    InProcess req(inst);
    auto sheet = store::ReadSheet("TsG.00002");
    std::time_t at = sheet->postponed;
    std::tm tm = *std::localtime(&at);
    EXPECT_EQ(base::Sprintf("%d/%d/%d", tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900), day);
    EXPECT_EQ(sheet->status, store::kPostponed);
  }
}

// A change stored but not finished (the index cannot be replaced): every page of a sheet
// says it will appear, never an error box nor the sheet as it was; once the index can be
// written again, the next page finishes the change and shows it. A change that only appends
// to the index finds it cannot before it is stored, and stores nothing.
TEST(SheetActionFaults, AStoredChangeNotFinishedYetIsAnnouncedThenShown) {
  Installation inst;
  MakeSheets(inst);
  ASSERT_EQ(::rename(inst.Path("data/index").c_str(), inst.Path("kept").c_str()), 0);
  inst.Write("data/index/stuck", "");
  const std::string before = inst.Read("data/TsG.00001");
  e2e::CgiResult refused = inst.Get("CMD=Observed&Num=TsG.00001&User=kolvar&submitter=tessin");
  EXPECT_TRUE(e2e::Has(refused.out, kError)) << refused.out;
  EXPECT_EQ(inst.Read("data/TsG.00001"), before);
  // Without its numbering hints a creation rewrites the index.
  ASSERT_EQ(::unlink(inst.Path("data/numbers").c_str()), 0);
  e2e::CgiResult stored = inst.Post(e2e::kNewSheet);
  EXPECT_TRUE(e2e::Has(stored.out, "<P>stored as TsG.00003, will appear shortly<P>\n"))
      << stored.out;
  EXPECT_TRUE(e2e::Has(stored.err, "quorb: a stored change")) << stored.err;
  const std::string notice = "<P>stored as TsG.00001, will appear shortly<P>\n";
  for (const std::string cmd : {"Observed", "Edit&Edit=0", "Change_Header"}) {
    const std::string page = inst.Get("CMD=" + cmd + "&Num=TsG.00001").out;
    EXPECT_TRUE(e2e::Has(page, notice)) << cmd << page;
    EXPECT_FALSE(e2e::Has(page, kError)) << cmd << page;
  }
  std::filesystem::remove_all(inst.Path("data/index"));
  ASSERT_EQ(::rename(inst.Path("kept").c_str(), inst.Path("data/index").c_str()), 0);
  const std::string page = inst.Get("CMD=Edit&Edit=0&Num=TsG.00001").out;
  EXPECT_FALSE(e2e::Has(page, notice)) << page;
  EXPECT_EQ(e2e::Lines(inst.Read("data/index")).size(), 3u) << inst.Read("data/index");
  EXPECT_TRUE(inst.Exists("data/TsG.00003"));
}

}  // namespace
