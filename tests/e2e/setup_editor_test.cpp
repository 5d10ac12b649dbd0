// The configuration editor (CMD=setup): forms, saves, refusals and rights, through the CGI.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "harness.h"

namespace {

using e2e::Installation;

using e2e::Has;

TEST(SetupEditor, MembersGridKeepsPasswordsOutOfPagesAndRightsAsTheyWere) {
  Installation inst;
  e2e::WriteSampleProject(inst);
  std::string form = inst.Get("CMD=setup&Edit=9").out;
  EXPECT_FALSE(Has(form, "secret"));
  EXPECT_TRUE(Has(form, "<TD><INPUT TYPE=Password SIZE=12 NAME=V2_0></TD>\n"));
  // tessin's blank right 2 stays unchecked; his first right is checked.
  EXPECT_TRUE(Has(form, "<TD ALIGN=CENTER><INPUT TYPE=Checkbox VALUE=\"YES\" NAME=V5_1></TD>\n"));
  EXPECT_TRUE(Has(form, "<TD ALIGN=CENTER><INPUT TYPE=Checkbox  CHECKED VALUE=\"YES\" NAME=V4_1>"));
  EXPECT_TRUE(Has(form, "<INPUT TYPE=hidden NAME=LINES VALUE=3>\n"));

  // Row 1 has no login and is dropped; an empty password keeps the stored one; a cell cannot
  // carry a field separator or a line of its own.
  std::string page =
      inst.Post(
              "CMD=setup&Edit=9&project=TEST&text=xxx&LINES=3&V0_0=kolvar&V1_0=k%40x&V2_0="
              "&V4_0=YES&V0_1=&V1_1=ghost%40x&V0_2=new&V1_2=n%40x%0Aroot:x&V2_2=pw&V5_2=YES")
          .out;
  EXPECT_EQ(inst.Read("config/TEST_users.cfg"),
            "kolvar:k@x:secret: :YES: : : : : \nnew:n@xrootx:pw: : :YES: : : : \n");
  EXPECT_FALSE(Has(page, "secret"));
}

TEST(SetupEditor, RefusedSavesChangeNothing) {
  Installation inst;
  e2e::WriteSampleProject(inst);
  struct Case {
    std::string body;
    std::string message;
    std::string untouched;
  };
  const Case cases[] = {
      {"Edit=4&project=NOPE&text=a%0Ab%0A", "There is no project NOPE in project.cfg.",
       "config/NOPE_program.cfg"},
      {"Edit=4&project=..%2Fdata%2Fx&text=a%0Ab%0A", "The project name ../data/x cannot",
       "data/x_program.cfg"},
      {"Edit=3&project=..%2Fx&text=xxx&LINES=1&V0_0=a&V1_0=b", "The project name ../x cannot",
       "x_subproject.cfg"},
      {"Edit=2&text=xxx&LINES=2&V0_0=GOOD&V0_1=..%2F..%2Fetc", "The project name ../../etc",
       "config/project.cfg"},
  };
  for (const Case& c : cases) {
    std::string before = inst.Read(c.untouched);
    std::string page = inst.Post("CMD=setup&" + c.body).out;
    EXPECT_TRUE(Has(page, c.message)) << c.body << page;
    EXPECT_EQ(inst.Read(c.untouched), before) << c.body;
  }
  EXPECT_FALSE(std::filesystem::exists(inst.Path("data/Synchro/in/GOOD")));

  // A save that fails names the error and leaves the old file in place.
  std::filesystem::remove(inst.Path("config/impacts.cfg"));
  std::filesystem::create_directory(inst.Path("config/impacts.cfg"));
  std::string page = inst.Post("CMD=setup&Edit=8&text=Low%0A").out;
  EXPECT_TRUE(Has(page, "<P><H1><Font size=7>Error 21</font></H1>\n<P>")) << page;
  EXPECT_TRUE(std::filesystem::is_directory(inst.Path("config/impacts.cfg")));
}

TEST(SetupEditor, ListSaveWritesTheProjectFileWithUnixLineEnds) {
  Installation inst;
  e2e::WriteSampleProject(inst);
  std::string form = inst.Get("CMD=setup&Edit=6").out;
  EXPECT_TRUE(Has(form,
                  "<INPUT TYPE=hidden NAME=project VALUE=TEST>\n"
                  "<TEXTAREA NAME=text ROWS=3 COLS=70>\n1.0\n1.1\n</TEXTAREA>\n"));
  std::string page = inst.Post("CMD=setup&Edit=6&project=TEST&text=2.0%0D%0A%3Cb%3E%0D%0A").out;
  EXPECT_EQ(inst.Read("config/TEST_version.cfg"), "2.0\n<b>\n");
  EXPECT_TRUE(Has(page, "<A HREF=\"?CMD=setup&Edit=6\">\n"));
  EXPECT_TRUE(Has(page, "<PRE>2.0\n&lt;b&gt;\n</PRE>\n"));
}

TEST(SetupEditor, MainFormMasksThePop3PasswordAndKeepsIt) {
  Installation inst("POP3PASS hidden-pw\nPERSIST 2\n");
  e2e::WriteSampleProject(inst);
  std::string form = inst.Get("CMD=setup&Edit=1").out;
  EXPECT_FALSE(Has(form, "hidden-pw"));
  EXPECT_TRUE(Has(form, "<INPUT TYPE=password NAME=popP SIZE=20 VALUE=\"\">"));
  EXPECT_TRUE(Has(form, "<OPTION VALUE=2 SELECTED>week\n"));
  EXPECT_TRUE(Has(form, "<OPTION SELECTED>EN\n"));

  // An empty password keeps the stored one; a line feed in a value cannot add a key.
  std::string page =
      inst.Post("CMD=setup&Edit=1&text=xxx&data=" + inst.DataDir() + "&cfg=" + inst.ConfigDir() +
                "&img=/quorb/images/&prt=cat%0ASECURITY+YES&popP=&lang=FR&sec=+&www=me")
          .out;
  std::string cfg = inst.Read("config/quorb.cfg");
  EXPECT_TRUE(Has(cfg, "PRINT catSECURITY YES\n")) << cfg;
  EXPECT_TRUE(Has(cfg, "POP3PASS hidden-pw\n"));
  EXPECT_TRUE(Has(cfg, "LANGUAGE FR\n"));
  EXPECT_FALSE(Has(page, "hidden-pw"));
  EXPECT_TRUE(Has(page, "POP3PASS *\n"));
}

// With security on, a member without the setup right changes nothing (the security tests
// check a member's save), and the menu carries the token on.
TEST(SetupEditor, WithSecurityEverySaveNeedsTheSetupRight) {
  Installation inst("SECURITY YES\n");
  e2e::WriteSampleProject(inst);
  const std::string kKolvarUid = e2e::EncodedToken(inst, "kolvar", "TEST");
  const std::string kTessinUid = e2e::EncodedToken(inst, "tessin", "TEST");
  const std::string save = "CMD=setup&Edit=8&text=Changed%0A";
  for (const std::string& uid : {std::string(), "&Uid=" + kTessinUid}) {
    std::string page = inst.Post(save + uid).out;
    EXPECT_TRUE(Has(page, "You are not allowed to change the configuration.")) << uid;
    EXPECT_EQ(inst.Read("config/impacts.cfg"), "Low\nHigh\n") << uid;
  }
  EXPECT_TRUE(Has(inst.Get("CMD=setup&Uid=" + kTessinUid).out, "not allowed to change"));
  EXPECT_TRUE(
      Has(inst.Get("CMD=setup&Edit=12&Wizzard=1&Uid=" + kTessinUid).out, "not allowed to change"));

  std::string menu = inst.Get("CMD=setup&Uid=" + kKolvarUid).out;
  EXPECT_TRUE(Has(menu, "<TR><TD ALIGN=CENTER><A HREF=\"/cgi-bin/quorb.cgi?CMD=setup&Uid=" +
                            kKolvarUid + "&Edit=10\">Send Mail</A></TD>\n"));
}

TEST(SetupEditor, MailGridShowsAndSavesEveryAction) {
  Installation inst;
  e2e::WriteSampleProject(inst);
  inst.Write("config/sendmail.cfg", "new M boss\nVerified c\nnew V\n");
  std::string form = inst.Get("CMD=setup&Edit=10").out;
  EXPECT_TRUE(Has(form,
                  "<TR><TD>new</TD>\n<TD ALIGN=CENTER><INPUT TYPE=CHECKBOX NAME=V0_0  "
                  "CHECKED ></TD>\n<TD ALIGN=CENTER><INPUT TYPE=CHECKBOX NAME=V1_0  "
                  "CHECKED ></TD>\n"));
  EXPECT_TRUE(Has(form, "<INPUT TYPE=CHECKBOX NAME=V4_13  CHECKED >"));
  inst.Post("CMD=setup&Edit=10&text=xxx&V0_0=on&V2_17=on");
  std::string saved = inst.Read("config/sendmail.cfg");
  EXPECT_TRUE(saved.starts_with("new M boss \nChange_Header \n")) << saved;
  EXPECT_TRUE(saved.ends_with("Edit \nAttach s \n"));
}

}  // namespace
