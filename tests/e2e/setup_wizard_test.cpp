// The setup wizard of a fresh installation, end to end through the CGI, and the directory
// upgrade of the home road.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "harness.h"

namespace {

using namespace e2e;

std::string StepOne(const Installation& inst, const std::string& data) {
  return "CMD=setup&Edit=12&Wizzard=1&data=" + data + "&cfg=" + inst.ConfigDir() +
         "&img=/quorb/images/&prt=cat&mel=localhost&hst=localhost&lang=EN&PERSIST=0"
         "&pop=localhost&popU=%23&popP=&dom=example.org&www=www";
}

TEST(SetupWizard, FreshInstallationEndToEnd) {
  Installation inst;
  inst.InstallLanguageFiles();
  std::filesystem::remove(inst.Path("config/quorb.cfg"));
  std::filesystem::remove_all(inst.Path("data"));

  // A command runs against the missing configuration; only the home road shows the wizard.
  EXPECT_FALSE(Has(inst.Get("CMD=help").out, "Setup Wizard"));
  std::string home = inst.Get("").out;
  ASSERT_EQ(home.rfind(kHtmlHeader, 0), 0u) << home;
  EXPECT_EQ("", Missing(home, {"<BODY BGCOLOR=#C0C0C0>\n<Font size=7>QUORB Setup Wizard</font>\n",
                               "<INPUT TYPE=hidden NAME=Wizzard VALUE=1>\n",
                               "NAME=data ID=data SIZE=40 VALUE=\"" + inst.root() + "/data/\""}));

  // Step 1 with a data directory given without its trailing "/": nested folders are made.
  std::string data = inst.Path("data/deep");
  // Served behind https on a port of its own: the links of mails lead back there.
  std::string page =
      inst.Get(StepOne(inst, data), {{"HTTP_HOST", "bugs.example.org:8443"}, {"HTTPS", "on"}}).out;
  EXPECT_EQ("", Missing(page, {"<TR><TD> Creating Directory : " + data +
                                   "/ </TD>\n<TD><Font COLOR=#005800>OK</Font></TD></TR>\n",
                               "<TR><TD> Creating Default File : sendmail.cfg </TD>\n",
                               "Default Setup Completed"}));
  for (const char* dir : {"data/deep/Stats", "data/deep/Tests", "data/deep/tmp"})
    EXPECT_TRUE(std::filesystem::is_directory(inst.Path(dir))) << dir;
  std::string cfg = inst.Read("config/quorb.cfg");
  // The print command is never taken from a request: a fresh installation gets the default.
  EXPECT_EQ("", Missing(cfg, {"DATADIR " + data + "/\n", "POP3PASS *\nWWW www\nDEBUG NO\n",
                              "PRINT iconv -f ISO-8859-1 -t UTF-8 %s | lp -o cpi=12 -o lpi=7\n",
                              "BASEURL https://bugs.example.org:8443\n"}))
      << cfg;
  EXPECT_EQ(inst.Read("config/users.cfg"), "kolvar :kolvar@localhost\n");
  // The files that hold secrets are the owner's alone.
  for (const char* file : {"config/quorb.cfg", "config/users.cfg"})
    EXPECT_EQ(Mode(inst, file), 0600) << file;
  EXPECT_TRUE(
      inst.Read("config/sendmail.cfg")
          .starts_with("new M V\nChange_Header M\nObserved s\nAnalyse M a\nCopy\nAssign a\n"));

  // Run twice, every generic file is emptied and filled again.
  inst.WriteProjects("OLD:O:x:y\n");
  inst.Get(StepOne(inst, data));
  EXPECT_EQ(inst.Read("config/project.cfg"), "TEST:T:kolvar:tessin\n");

  // Step 3 gives the first project the templates and saves the project table.
  std::string table =
      "CMD=setup&Edit=12&Wizzard=3&text=xxx&LINES=2&V0_0=ALPHA&V1_0=A"
      "&V2_0=kolvar&V3_0=tessin";
  page = inst.Post(table).out;
  EXPECT_EQ(inst.Read("config/project.cfg"), "ALPHA:A:kolvar:tessin: \n");
  EXPECT_EQ(inst.Read("config/ALPHA_program.cfg"), "general\ninstall\nunknown\n");
  EXPECT_FALSE(inst.Exists("config/program.cfg"));
  EXPECT_TRUE(std::filesystem::is_directory(inst.Path("data/deep/Synchro/out/ALPHA")));
  EXPECT_EQ("", Missing(page, {"<P><H1><Font size=7>ALPHA subproject.cfg Setup</font></H1>\n<P>",
                               "<INPUT TYPE=hidden NAME=Wizzard VALUE=4>\n"}));
  // Run again once the templates are gone: the project keeps its own files.
  inst.Write("config/ALPHA_users.cfg", "kolvar:k@x:pw:YES\n");
  inst.Post(table);
  EXPECT_EQ(inst.Read("config/ALPHA_users.cfg"), "kolvar:k@x:pw:YES\n");
  // The partners' shared secret is asked for with the partners, so that what the next steps
  // send is signed.
  EXPECT_TRUE(Has(inst.Get("CMD=setup&Edit=12&Wizzard=2").out, "<INPUT TYPE=password NAME=secret"));
  inst.Post(table + "&V4_0=b%40example.org&secret=the-partners-secret");
  EXPECT_EQ(inst.Read("config/ALPHA_sync.key"), "the-partners-secret\n");
  EXPECT_EQ(Mode(inst, "config/ALPHA_sync.key"), 0600);
  inst.Post(table);

  // The last step saves the mail grid and leads home, where the menu now answers.
  page = inst.Post("CMD=setup&Edit=12&Wizzard=11&text=xxx&V0_0=on&V5_13=on").out;
  EXPECT_EQ(inst.Read("config/sendmail.cfg").substr(0, 22), "new M \nChange_Header \n");
  // Open to anyone, the site says so.
  EXPECT_EQ("", Missing(page, {"<inPUT TYPE=submit VALUE=Next>\n",
                               "anyone who can reach this site can change its configuration"}));
  home = inst.Get("").out;
  EXPECT_TRUE(Has(home, "CMD=setup\">")) << home;
  EXPECT_TRUE(std::filesystem::is_directory(inst.Path("data/deep/Synchro/in")));
}

// The language files come from the installation's share/config when the configuration
// folder lacks them; a program with no share folder beside it stops and says what to copy.
TEST(SetupWizard, LanguageFilesAreCopiedFromShareOrMissingBlocksCompletion) {
  Installation inst;
  std::filesystem::remove(inst.Path("config/quorb.cfg"));
  std::string page = inst.Get(StepOne(inst, inst.Path("data"))).out;
  EXPECT_TRUE(Has(page,
                  "<TR><TD> Copying Language File : langue.EN </TD>\n"
                  "<TD><Font COLOR=#005800>OK</Font></TD></TR>\n"))
      << page;
  EXPECT_TRUE(Has(page, "Default Setup Completed"));
  Installation shipped;
  shipped.InstallLanguageFiles();
  EXPECT_EQ(inst.Read("config/langue.FR"), shipped.Read("config/langue.FR"));

  std::filesystem::remove(inst.Path("config/quorb.cfg"));
  for (const char* code : {"EN", "FR"})
    std::filesystem::remove(inst.Path(std::string("config/langue.") + code));
  std::filesystem::create_directory(inst.Path("bin"));
  std::filesystem::copy_file(e2e::Cgi(), inst.Path("bin/quorb.cgi"));
  Request alone;
  alone.query = StepOne(inst, inst.Path("data"));
  alone.program = inst.Path("bin/quorb.cgi");
  page = inst.Run(alone).out;
  EXPECT_TRUE(Has(page,
                  "<P><Font COLOR=#990000>Language file missing.<BR>\n"
                  "<I>Copy 'langue.EN' to " +
                      inst.ConfigDir() + "</i>\n"));
  EXPECT_FALSE(Has(page, "Default Setup Completed"));
  EXPECT_FALSE(inst.Exists("config/quorb.cfg"));  // no main file without its language

  // A data folder that cannot be made: its row says why, and no main file is written.
  std::filesystem::remove(inst.Path("config/quorb.cfg"));
  inst.Write("blocker", "a file");
  page = inst.Get(StepOne(inst, inst.Path("blocker/data"))).out;
  EXPECT_EQ("", Missing(page, {"<TD><Font COLOR=#990000>NOK, Not a directory</Font></TD></TR>\n",
                               "Please remedy to the indicated problems and reload this page.\n"}))
      << page;
  EXPECT_FALSE(inst.Exists("config/quorb.cfg"));
}

}  // namespace
