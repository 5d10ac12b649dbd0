// Printing a sheet through the CGI with a stand-in print command that records its arguments
// and copies the file it is given; the rows a status adds.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/encode.h"
#include "harness.h"
#include "store/store.h"

namespace {

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
    int status;
    std::string row;  // a row the status adds to the table (the layout: print_layout_test)
  };
  const Case cases[] = {
      {"", {}, "queued &lt;1&gt;\n", store::kNew, "|Title : Crash <now>   "},
      {" -o2 %s", {"-o2"}, "queued &lt;1&gt;\n", store::kPostponed, "\n|Postponed until : "},
      // needs the shell
      {" 'a b' %s | tr a-z A-Z",
       {"a b"},
       "QUEUED &lt;1&gt;\n",
       store::kVerified,
       "\n|Verified by  on "},
  };
  for (const Case& c : cases) {
    e2e::SampleInstallation inst;
    e2e::InstallPrintStandIn(inst, c.setting);
    store::FactSheet sheet = MakeSheet(c.status);
    store::AddEntry(sheet, "Trace", "kolvar", 946681300,
                    inst.DataDir() + "TRACE_TsG.00001/log.txt\n")
        .kind = store::kAttachmentEntry;
    inst.Write("data/TsG.00001", store::FormatSheet(sheet));
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
    EXPECT_TRUE(e2e::Has(copy, c.row)) << copy;
    // The attached file by its name in the data folder: no path of the server.
    EXPECT_TRUE(e2e::Has(copy, "\nTRACE_TsG.00001/log.txt\n")) << copy;
    EXPECT_FALSE(e2e::Has(copy, inst.root())) << copy;
    EXPECT_TRUE(e2e::Has(page, "<PRE>" + base::EscapeHtml(copy))) << page;
    EXPECT_TRUE(page.ends_with(c.output)) << page;
  }
}

}  // namespace
