#include <gtest/gtest.h>

#include "harness.h"

namespace {

using namespace e2e;

const std::string kTitleBlock =
    "<TABLE WIDTH=100% HEIGHT=40%>\n<TR><TD ALIGN=CENTER>\n"
    "<A HREF=\"http://www.quorb.org/\">\n"
    "<IMG src=/quorb/images//quorb.gif ALT=QUORB Border=0></A>\n"
    "</TD></TR>\n<TR><TD ALIGN=CENTER>\n"
    "<FONT SIZE=+2><B>QUORB, the fact sheet tracker</B></FONT>\n"
    "</TD></TR>\n<TR><TD ALIGN=CENTER>\n"
    "<FONT SIZE=-1><B> v4.6 EN</B></FONT>&nbsp; \n"
    "</TD></TR>\n</TABLE><BR>\n\n";

std::string Cell(const std::string& href, const std::string& image, const std::string& label,
                 bool quoted = false) {
  std::string alt = quoted ? "ALT=\"" + label + "\" WIDTH=64 HEIGHT=64" : "ALT=" + label;
  return "<TD ALIGN=CENTER WIDTH=20%>\n<A HREF=\"" + href + "\">\n<IMG src=/quorb/images//" +
         image + " BORDER=0 " + alt + "><BR>\n" + label + "</A></TD>\n";
}

// The menu of eight icons, each command link ending with `suffix`.
std::string Menu(const std::string& suffix) {
  const std::string cgi = "/cgi-bin/quorb.cgi?CMD=";
  return "<TABLE WIDTH=100% HEIGHT=50%>\n<TR>\n<TD>&nbsp</TD>\n" +
         Cell(cgi + "setup" + suffix, "setup.gif", "Setup") +
         Cell(cgi + "create" + suffix, "new.gif", "Create") +
         Cell(cgi + "search" + suffix, "list.gif", "Search") +
         Cell(cgi + "book" + suffix, "book.gif", "Test books", true) +
         "<TD>&nbsp</TD>\n</TR>\n<TR>\n<TD>&nbsp</TD>\n" +
         Cell(cgi + "history" + suffix, "history.gif", "History") +
         Cell(cgi + "statS" + suffix, "stats.gif", "Statistics") +
         Cell("/quorb/help/", "help.gif", "Help") +
         Cell(cgi + "tests" + suffix, "tests.gif", "Campaigns", true) +
         "<TD>&nbsp</TD>\n</TR>\n</TABLE>\n";
}

// What the background duties after the home page write.
const std::string kDuties = "<! Upgrade >\n";

// Without its language file the home page leaves its labels empty and says which file is
// missing; with it, security off, it shows the whole menu with bare links. The help page.
TEST(HomePage, SecurityOffShowsTheWholeMenuWithBareLinks) {
  Installation inst;  // DEBUG YES: the comments name the file for the administrator
  auto r = inst.Get("");
  EXPECT_TRUE(Has(r.out, "<FONT SIZE=-1><B> v4.6 </B></FONT>&nbsp; \n"));
  // Each lookup of the missing table names the file in a comment.
  EXPECT_TRUE(Has(r.out, "<P Align=Center><FONT COLOR=RED>Please update langage file "));
  EXPECT_TRUE(Has(r.out, ">\nlangue. in configuration directory.</P></FONT>\n"));
  EXPECT_TRUE(Has(r.out, "<IMG src=/quorb/images//setup.gif BORDER=0 ALT=><BR>\n</A></TD>\n"));

  inst.InstallLanguageFiles();
  r = inst.Get("");
  EXPECT_EQ(r.out, PageHead("QUORB") + kTitleBlock + Menu("") + "\n\n\n" + kDuties);
  // A Uid alone also takes the home road; with security off it is not carried in links.
  EXPECT_EQ(inst.Get("Uid=mqnxct%23VGUV%2312").out, r.out);

  EXPECT_TRUE(Has(inst.Get("CMD=help").out,
                  "The help pages are reached through the Help icon of the home page."));
}

TEST(HomePage, RightOneGuardsTheMenu) {
  Installation inst("SECURITY YES\n");
  inst.InstallLanguageFiles();
  inst.WriteProjects("TEST:T:kolvar:tessin\n");
  inst.Write("config/TEST_users.cfg",
             "kolvar:kolvar@example.org:secret: :YES:YES:YES:YES:YES:YES\n"
             "tessin:tessin@example.org:pass: : :YES:YES:YES:YES:YES\n");
  const std::string kolvar = EncodedToken(inst, "kolvar", "TEST");
  const std::string suffix = "&Uid=" + kolvar;

  auto granted = inst.Get("Uid=" + kolvar);
  // With security on the home page ends with the logout link.
  const std::string logout =
      "<P ALIGN=RIGHT><A HREF=\"/cgi-bin/quorb.cgi?Login=0\">Logout</A></P>\n";
  EXPECT_EQ("", Missing(granted.out, {"<!Access granted for kolvar in 1>\n" + Menu(suffix) + logout,
                                      "onLoad=\"CookieCheck()\">\n"}))
      << granted.out;

  // tessin has a blank in field 5: no menu, the error box 514.
  auto denied = inst.Get("Uid=" + EncodedToken(inst, "tessin", "TEST"));
  EXPECT_TRUE(Has(denied.out, "<!Access denied for tessin in 1>\n" + kErrorBox +
                                  "You are not allowed to use QUORB.\n</TD></TR></TABLE>" + logout))
      << denied.out;
}

}  // namespace
