// The configuration editor (CMD=setup): forms, saves, refusals and rights, through the CGI.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "harness.h"
#include "users/passwords.h"

namespace {

using namespace e2e;

TEST(SetupEditor, MembersGridKeepsPasswordsOutOfPagesAndRightsAsTheyWere) {
  SampleInstallation inst;
  std::string form = inst.Get("CMD=setup&Edit=9").out;
  EXPECT_EQ("", Found(form, {"secret", "$pbkdf2"}));
  // tessin's blank right 2 stays unchecked; his first right is checked.
  EXPECT_EQ(
      "", Missing(form, {"<TD><INPUT TYPE=Password SIZE=12 NAME=V2_0 ARIA-LABEL=\"Password 1\">"
                         "</TD>\n",
                         "<TD ALIGN=CENTER><INPUT TYPE=Checkbox VALUE=\"YES\" NAME=V5_1 "
                         "ARIA-LABEL=\"Create 2\"></TD>\n",
                         "<TD ALIGN=CENTER><INPUT TYPE=Checkbox  CHECKED VALUE=\"YES\" NAME=V4_1 ",
                         "<INPUT TYPE=hidden NAME=LINES VALUE=3>\n"}));

  // Row 1 has no login and is dropped; an empty password keeps the stored one; a cell cannot
  // carry a field separator or a line of its own.
  std::string page =
      inst.Post(
              "CMD=setup&Edit=9&project=TEST&text=xxx&LINES=3&V0_0=kolvar&V1_0=k%40x&V2_0="
              "&V4_0=YES&V0_1=&V1_1=ghost%40x&V0_2=new&V1_2=n%40x%0Aroot:x&V2_2=pw&V5_2=YES")
          .out;
  // Every password is stored hashed, the one kept in clear as well as the one typed; the
  // file is for the owner alone.
  const std::vector<std::string> lines = Lines(inst.Read("config/TEST_users.cfg"));
  ASSERT_EQ(lines.size(), 4u);
  // When each line and password changed, for the partner sites.
  EXPECT_TRUE(lines[2].starts_with("#changed kolvar ") && lines[3].starts_with("#changed new "));
  const struct {
    std::string line, start, password, end;
  } rows[] = {{lines[0], "kolvar:k@x:", "secret", ": :YES: : : : : "},
              {lines[1], "new:n@xrootx:", "pw", ": : :YES: : : : "}};
  for (const auto& row : rows) {
    ASSERT_TRUE(row.line.starts_with(row.start + "$pbkdf2-sha256$")) << row.line;
    ASSERT_TRUE(row.line.ends_with(row.end)) << row.line;
    std::string hash =
        row.line.substr(row.start.size(), row.line.size() - row.start.size() - row.end.size());
    EXPECT_TRUE(users::VerifyPassword(hash, row.password)) << row.line;
    EXPECT_FALSE(Has(page, hash));
  }
  EXPECT_EQ("", Found(page, {"secret", "$pbkdf2"}));
  EXPECT_EQ(Mode(inst, "config/TEST_users.cfg"), 0600);
}

TEST(SetupEditor, RefusedSavesChangeNothing) {
  SampleInstallation inst;
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"Edit=4&project=NOPE&text=a%0Ab%0A", "There is no project NOPE in project.cfg.",
       "config/NOPE_program.cfg"},
      {"Edit=4&project=..%2Fdata%2Fx&text=a%0Ab%0A", "The name ../data/x cannot",
       "data/x_program.cfg"},
      {"Edit=3&project=..%2Fx&text=xxx&LINES=1&V0_0=a&V1_0=b", "The name ../x cannot",
       "x_subproject.cfg"},
      {"Edit=2&text=xxx&LINES=2&V0_0=GOOD&V0_1=..%2F..%2Fetc", "The name ../../etc",
       "config/project.cfg"},
      // ":" is refused as it was sent, not dropped into another name.
      {"Edit=2&text=xxx&LINES=2&V0_0=GOOD&V0_1=x:y", "The name x:y cannot", "config/project.cfg"},
      {"Edit=2&text=xxx&LINES=1&V0_0=GOOD&V1_0=%2E%2E", "The name .. cannot", "config/project.cfg"},
      // A row count below zero is no empty table.
      {"Edit=3&project=TEST&text=xxx&LINES=-1", "A required field is missing",
       "config/TEST_subproject.cfg"},
  };
  for (const auto& [body, message, untouched] : cases) {
    std::string before = inst.Read(untouched);
    std::string page = inst.Post("CMD=setup&" + body).out;
    EXPECT_TRUE(Has(page, message)) << body << page;
    EXPECT_EQ(inst.Read(untouched), before) << body;
  }
  EXPECT_EQ(inst.List("data/Synchro/in"), std::vector<std::string>{});  // no GOOD, no xy

  // A save that fails names the error and leaves the old file in place.
  std::filesystem::remove(inst.Path("config/impacts.cfg"));
  std::filesystem::create_directory(inst.Path("config/impacts.cfg"));
  std::string page = inst.Post("CMD=setup&Edit=8&text=Low%0A").out;
  EXPECT_TRUE(Has(page, "<P><H1><Font size=7>Error 21</font></H1>\n<P>")) << page;
  EXPECT_TRUE(std::filesystem::is_directory(inst.Path("config/impacts.cfg")));
}

TEST(SetupEditor, ListSaveWritesTheProjectFileWithUnixLineEnds) {
  SampleInstallation inst;
  std::string form = inst.Get("CMD=setup&Edit=6").out;
  EXPECT_TRUE(Has(form,
                  "<INPUT TYPE=hidden NAME=project VALUE=TEST>\n"
                  "<TEXTAREA NAME=text ROWS=3 COLS=70 ARIA-LABEL=\"TEST version.cfg\">\n"
                  "1.0\n1.1\n</TEXTAREA>\n"));
  std::string page = inst.Post("CMD=setup&Edit=6&project=TEST&text=2.0%0D%0A%3Cb%3E%0D%0A").out;
  EXPECT_EQ(inst.Read("config/TEST_version.cfg"), "2.0\n<b>\n");
  EXPECT_TRUE(Has(page, "<A HREF=\"?CMD=setup&Edit=6\">\n"));
  EXPECT_TRUE(Has(page, "<PRE>2.0\n&lt;b&gt;\n</PRE>\n"));
}

TEST(SetupEditor, MainFormMasksThePop3PasswordAndKeepsIt) {
  SampleInstallation inst("POP3PASS hidden-pw\nPERSIST 2\nDEBUG NO\n");
  std::string form = inst.Get("CMD=setup&Edit=1").out;
  // The print command is shown, never a field: the shell runs it.
  EXPECT_EQ("", Found(form, {"hidden-pw", "NAME=prt"}));
  EXPECT_EQ("",
            Missing(form, {"<LABEL FOR=popP>Password</LABEL><INPUT TYPE=password NAME=popP ID=popP "
                           "SIZE=20 VALUE=\"\">",
                           "<INPUT TYPE=text NAME=dom ID=dom ARIA-LABEL=\"Domain of my address\" ",
                           "<OPTION VALUE=2 SELECTED>week\n", "<OPTION SELECTED>EN\n",
                           "<TT>cat</TT><BR><FONT SIZE=-1>Set on the server only: edit PRINT in "
                           "quorb.cfg there to change it.</FONT>",
                           "<INPUT TYPE=checkbox NAME=dbg ID=dbg VALUE=YES> "}));

  // An empty password keeps the stored one; a line feed in a value cannot add a key; PRINT
  // stays as the file has it; settings no form shows are kept.
  inst.WriteConfig(inst.DefaultConfig("POP3PASS hidden-pw\nMAXPARTS 20\nDEBUG NO\n"));
  std::string page =
      inst.Post("CMD=setup&Edit=1&text=xxx&data=" + inst.DataDir() + "&cfg=" + inst.ConfigDir() +
                "&img=/quorb/images/&prt=id%3Btrue&hst=a%0ASECURITY+YES&popP=&lang=FR&sec=+"
                "&www=me&dbg=YES")
          .out;
  std::string cfg = inst.Read("config/quorb.cfg");
  EXPECT_EQ("", Missing(cfg, {"PRINT cat\n", "HOSTNAME aSECURITY YES\n", "POP3PASS hidden-pw\n",
                              "LANGUAGE FR\n", "DEBUG YES\n", "MAXPARTS 20\n"}))
      << cfg;
  EXPECT_EQ(Mode(inst, "config/quorb.cfg"), 0600);
  EXPECT_FALSE(Has(page, "hidden-pw"));
  EXPECT_TRUE(Has(page, "POP3PASS *\n"));
}

// With security on, a member without the setup right gets neither the menu nor the wizard
// (the rights tests check the saves), and the menu carries the token on.
TEST(SetupEditor, WithSecurityTheMenuNeedsTheSetupRight) {
  SampleInstallation inst("SECURITY YES\n");
  const std::string kKolvarUid = EncodedToken(inst, "kolvar", "TEST");
  const std::string kTessinUid = EncodedToken(inst, "tessin", "TEST");
  EXPECT_TRUE(Has(inst.Get("CMD=setup&Uid=" + kTessinUid).out, "not allowed to change"));
  EXPECT_TRUE(
      Has(inst.Get("CMD=setup&Edit=12&Wizzard=1&Uid=" + kTessinUid).out, "not allowed to change"));

  std::string menu = inst.Get("CMD=setup&Uid=" + kKolvarUid).out;
  EXPECT_FALSE(Has(menu, "anyone who can reach")) << menu;  // a site with logins
  EXPECT_TRUE(Has(menu, "<TR><TD ALIGN=CENTER><A HREF=\"/cgi-bin/quorb.cgi?CMD=setup&Uid=" +
                            kKolvarUid + "&Edit=10\">Send Mail</A></TD>\n"));
}

TEST(SetupEditor, MailGridShowsAndSavesEveryAction) {
  SampleInstallation inst;
  inst.Write("config/sendmail.cfg", "new M boss\nVerified c\nnew V\n");
  std::string form = inst.Get("CMD=setup&Edit=10").out;
  EXPECT_TRUE(Has(form,
                  "<TR><TD>new</TD>\n<TD ALIGN=CENTER><INPUT TYPE=CHECKBOX NAME=V0_0 "
                  "ARIA-LABEL=\"Manager (M) new\"  CHECKED ></TD>\n<TD ALIGN=CENTER><INPUT "
                  "TYPE=CHECKBOX NAME=V1_0 ARIA-LABEL=\"Verifier (V) new\"  CHECKED ></TD>\n"));
  EXPECT_TRUE(Has(form, "NAME=V4_13 ARIA-LABEL=\"Corrector (c) Verified\"  CHECKED >"));
  inst.Post("CMD=setup&Edit=10&text=xxx&V0_0=on&V2_17=on");
  std::string saved = inst.Read("config/sendmail.cfg");
  EXPECT_TRUE(saved.starts_with("new M boss \nChange_Header \n")) << saved;
  EXPECT_TRUE(saved.ends_with("Edit \nAttach s \n"));
}

// The revision a setup page's first form carries.
std::string RevisionIn(const std::string& page) {
  const std::string field = "NAME=Rev VALUE=\"";
  const size_t at = page.find(field);
  if (at == std::string::npos) return "";
  const size_t from = at + field.size();
  return page.substr(from, page.find('"', from) - from);
}

// Two administrators save the same file from forms loaded before either saved, at the same
// moment: one save is stored, the other stores nothing and shows the file as it is now and
// its own form as typed, whose second submission is then stored. For every setup table.
TEST(SetupEditor, TwoAdministratorsLoseNothingOnAnyTable) {
  // The folders of the main file's form are those of every installation of the test.
  std::optional<SampleInstallation> inst(std::in_place);
  const std::string dirs = "&data=" + inst->DataDir() + "&cfg=" + inst->ConfigDir() +
                           "&img=/quorb/images/&lang=EN&sec=+&www=www&dom=localhost";
  struct Admin {
    std::string body;
    std::string stored;  // in the file once this admin's save is stored
    std::string typed;   // in the page that refused this admin's save ("" for a secret)
    std::string shown;   // in the page that refused the other admin's save
  };
  struct Case {
    int edit;
    std::string file;
    Admin alpha, beta;
  };
  auto list = [](int edit, const std::string& project, const std::string& name) -> Admin {
    return {"Edit=" + std::to_string(edit) + project + "&text=" + name + "%0A", name + "\n",
            "\n" + name + "\n</TEXTAREA>", "<PRE>" + name + "\n</PRE>"};
  };
  auto row = [](const std::string& body, const std::string& name, const std::string& stored) {
    return Admin{body, stored, "VALUE=\"" + name + "\"", "<TR><TD>\n" + name + "&nbsp;"};
  };
  const std::string test_row = "&V0_0=TEST&V1_0=T&V2_0=kolvar&V3_0=tessin&V0_1=";
  const std::string kolvar_row = "&V0_0=kolvar&V1_0=k%40x&V3_0=YES&V4_0=YES&V0_1=";
  auto secret = [](const std::string& value) {
    return Admin{"Edit=11&project=TEST&secret=" + value, value + "\n", "", ""};
  };
  const std::vector<Case> cases = {
      {1,
       "config/quorb.cfg",
       {"Edit=1&text=xxx&hst=alphahost" + dirs, "HOSTNAME alphahost\n",
        "NAME=hst ID=hst SIZE=40 VALUE=\"alphahost\"", "HOSTNAME alphahost\n"},
       {"Edit=1&text=xxx&hst=betahost" + dirs, "HOSTNAME betahost\n",
        "NAME=hst ID=hst SIZE=40 VALUE=\"betahost\"", "HOSTNAME betahost\n"}},
      {2, "config/project.cfg",
       row("Edit=2&text=xxx&LINES=2" + test_row + "ALPHA&V1_1=A", "ALPHA", "\nALPHA:A:"),
       row("Edit=2&text=xxx&LINES=2" + test_row + "BETA&V1_1=B", "BETA", "\nBETA:B:")},
      {3, "config/TEST_subproject.cfg",
       row("Edit=3&project=TEST&text=xxx&LINES=1&V0_0=Alpha&V1_0=L", "Alpha", "Alpha:L\n"),
       row("Edit=3&project=TEST&text=xxx&LINES=1&V0_0=Beta&V1_0=E", "Beta", "Beta:E\n")},
      {4, "config/TEST_program.cfg", list(4, "&project=TEST", "alpha-prog"),
       list(4, "&project=TEST", "beta-prog")},
      {5, "config/phase.cfg", row("Edit=5&text=xxx&LINES=1&V0_0=Alpha&V1_0=a", "Alpha", "Alpha:a"),
       row("Edit=5&text=xxx&LINES=1&V0_0=Beta&V1_0=s", "Beta", "Beta:s")},
      {6, "config/TEST_version.cfg", list(6, "&project=TEST", "3.0"),
       list(6, "&project=TEST", "4.0")},
      {7, "config/TEST_deadline.cfg", list(7, "&project=TEST", "2030"),
       list(7, "&project=TEST", "2040")},
      {8, "config/impacts.cfg", list(8, "", "Medium"), list(8, "", "Severe")},
      {9, "config/TEST_users.cfg",
       row("Edit=9&project=TEST&text=xxx&LINES=2" + kolvar_row + "alpha&V1_1=a%40x", "alpha",
           "\nalpha:a@x:"),
       row("Edit=9&project=TEST&text=xxx&LINES=2" + kolvar_row + "beta&V1_1=b%40x", "beta",
           "\nbeta:b@x:")},
      {10,
       "config/sendmail.cfg",
       {"Edit=10&text=xxx&V0_0=on", "new M \n", "NAME=V0_0 ARIA-LABEL=\"Manager (M) new\"  CHECKED",
        "<TR><TD>new</TD>\n<TD>&nbsp;X</TD>\n"},
       {"Edit=10&text=xxx&V2_17=on", "Attach s \n",
        "NAME=V2_17 ARIA-LABEL=\"Submitter (s) Attach\"  CHECKED",
        "<TR><TD>Attach</TD>\n<TD>&nbsp;</TD>\n<TD>&nbsp;</TD>\n<TD>&nbsp;X</TD>\n"}},
      {11, "config/TEST_sync.key", secret("alpha-secret-0123456789"),
       secret("beta-secret-0123456789")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("Edit=" + std::to_string(c.edit));
    // Each file in an installation of its own, where TEST is the one project.
    if (c.edit > 1) inst.emplace();
    if (c.edit == 10) inst->Write(c.file, "");
    const std::string form = inst->Get("CMD=setup&Edit=" + std::to_string(c.edit)).out;
    const std::string revision = RevisionIn(form);
    ASSERT_NE(revision, "") << form;
    const Admin* admins[] = {&c.alpha, &c.beta};
    std::string pages[2];
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i)
      threads.emplace_back([&, i] {
        pages[i] = inst->Post("CMD=setup&" + admins[i]->body + "&Rev=" + revision).out;
      });
    for (std::thread& t : threads) t.join();
    const int won = Has(pages[0], kErrorBox) ? 1 : 0;
    const Admin& winner = *admins[won];
    const Admin& loser = *admins[1 - won];
    const std::string& refused = pages[1 - won];
    ASSERT_FALSE(Has(pages[won], kErrorBox)) << pages[won];
    EXPECT_EQ("", Missing(refused,
                          {kErrorBox, "changed by someone else after", loser.typed, winner.shown}))
        << refused;
    EXPECT_FALSE(Has(refused, "secret-0123456789")) << refused;
    std::string stored = inst->Read(c.file);
    EXPECT_TRUE(Has(stored, winner.stored) && !Has(stored, loser.stored)) << stored;
    // The refused form, sent again, applies to the file as it is now.
    const std::string again = RevisionIn(refused);
    EXPECT_NE(again, revision);
    EXPECT_FALSE(Has(inst->Post("CMD=setup&" + loser.body + "&Rev=" + again).out, kErrorBox));
    stored = inst->Read(c.file);
    EXPECT_TRUE(Has(stored, loser.stored)) << stored;
  }
}

}  // namespace
