// Printing a sheet through the CGI with a stand-in print command that records its arguments
// and copies the file it is given; the table's rows by status; names that are no sheet.
#include "sheets/print.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "base/encode.h"
#include "harness.h"
#include "store/store.h"

namespace {

using e2e::InProcess;
using e2e::Installation;

store::FactSheet MakeSheet(int status) {
  store::FactSheet s;
  s.subCode = "G", s.number = 1, s.created = 946681200, s.submitter = "kolvar", s.project = "TEST";
  s.group = "GUI", s.phase = 1, s.title = "Crash <now>", s.status = status;
  s.log = "1999/12/31:23.00.00 Submitted by kolvar\n";
  store::AddEntry(s, "Description", "kolvar", 946681200, "Text & <more>.\n");
  return s;
}

TEST(PrintSheet, StandInReceivesTheFileWhosePageCopyIsEscaped) {
  struct Case {
    std::string setting;  // after the script's path
    std::vector<std::string> args_before_path;
    std::string output;
  };
  const Case cases[] = {
      {"", {}, "queued &lt;1&gt;\n"},
      {" -o2 %s", {"-o2"}, "queued &lt;1&gt;\n"},
      {" 'a b' %s | tr a-z A-Z", {"a b"}, "QUEUED &lt;1&gt;\n"},  // needs the shell
  };
  for (const Case& c : cases) {
    e2e::SampleInstallation inst;
    e2e::InstallPrintStandIn(inst, c.setting);
    {
      InProcess req(inst);
      store::FactSheet sheet = MakeSheet(store::kNew);
      ASSERT_EQ(store::CreateSheet(sheet), store::Stored::kOk);
    }
    std::string page = inst.Get("CMD=Print&Num=TsG.00001").out;

    std::vector<std::string> args = e2e::Lines(inst.Read("args.txt"));
    ASSERT_EQ(args.size(), c.args_before_path.size() + 1) << c.setting;
    const std::string path = args.back();
    args.pop_back();
    EXPECT_EQ(args, c.args_before_path);
    const std::string prefix = inst.DataDir() + "tmp/quorb.";
    EXPECT_EQ(path.substr(0, prefix.size()), prefix);
    EXPECT_TRUE(path.ends_with(".prt")) << path;
    EXPECT_FALSE(std::filesystem::exists(path));
    for (const std::string& name : inst.List("data/tmp")) EXPECT_FALSE(name.ends_with(".prt"));

    const std::string copy = inst.Read("copy.txt");
    EXPECT_TRUE(e2e::Has(copy, "|Title : Crash <now>"));
    EXPECT_TRUE(e2e::Has(page, "<PRE>" + base::EscapeHtml(copy))) << page;
    EXPECT_TRUE(page.ends_with(c.output)) << page;
  }
}

TEST(PrintSheet, RowsFollowTheStatusAndRulesSpanTheTable) {
  e2e::SampleInstallation inst;
  InProcess req(inst);
  struct Case {
    int status;
    std::vector<std::string> extra_rows;  // beginnings of the rows after row 4
  };
  const Case cases[] = {
      {store::kNew, {}},
      {store::kPostponed, {"|Postponed until : "}},
      {store::kCorrected, {"|Corrected by  on "}},
      {store::kVerified, {"|Corrected by  on ", "|Verified by  on "}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> lines = e2e::Lines(sheets::FormatPrintText(MakeSheet(c.status)));
    size_t rows = 5 + c.extra_rows.size();
    ASSERT_GE(lines.size(), 2 * rows + 5);
    // Every rule is "+", the four widths (78 together) of "-" each closed by "+"; the title
    // spans the row; the entry's rule is 80 characters.
    EXPECT_EQ(lines[0].size(), 83u);
    EXPECT_EQ(std::count(lines[0].begin(), lines[0].end(), '-'), 78);
    for (size_t i = 1; i <= rows; ++i) EXPECT_EQ(lines[2 * i], lines[0]) << c.status;
    EXPECT_EQ(lines[3], "|Title : Crash <now>" + std::string(78 - 19, ' ') + "   |");
    for (size_t i = 0; i < c.extra_rows.size(); ++i)
      EXPECT_TRUE(lines[11 + 2 * i].starts_with(c.extra_rows[i])) << lines[11 + 2 * i];
    EXPECT_EQ(lines[2 * rows + 1],
              "Description      " + store::FormatDate(946681200) + "     kolvar");
    EXPECT_EQ(lines[2 * rows + 4], "+" + std::string(78, '-') + "+");
  }
}

}  // namespace
