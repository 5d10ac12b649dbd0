// The creation form: its lists come from the project files, pre-set from the remembered
// user context, and only users with the creation right see it.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "harness.h"

namespace {

using e2e::Installation;

void SetUpProject(const Installation& inst) {
  e2e::WriteSampleProject(inst, "OTHER:O:kolvar:kolvar\n", "prog1\n");
}

TEST(CreateForm, ListsPresetFromTheUserContextOrTheProjectAsked) {
  Installation inst;
  SetUpProject(inst);
  inst.Write("config/userinfo.dat", "192.0.2.10:tessin:TEST:Core:0\n");
  auto r = inst.Get("CMD=create&QS=find%3D1%22");
  EXPECT_EQ(
      r.out,
      e2e::PageHead("New fact sheet") +
          "<TABLE WIDTH=100% BORDER=0><TR><TD ALIGN=RIGHT><A HREF=\"?\"><IMG "
          "SRC=\"/quorb/images//home.gif\" BORDER=0 VALIGN=CENTER ALT=\"QUORB\" "
          "TITLE=\"QUORB\"></A></TD></TR></TABLE>\n"
          "<H1>Create a new fact sheet</H1>\n"
          "<SCRIPT LANGUAGE=\"JavaScript\">\nfunction changePage(page,menu)\n{\n"
          "   var f = menu && menu.form;\n   if (f && f.CMD && f.project) {\n"
          "     f.CMD.value = \"create\";\n"
          "     f.project.value = menu.options[menu.selectedIndex].text.trim();\n"
          "     f.submit();\n     return;\n   }\n"
          "   document.location = page\n}\n</SCRIPT>\n"
          "<FORM METHOD=POST ACTION=\"/cgi-bin/quorb.cgi\">\n"
          "<INPUT TYPE=\"hidden\" NAME=CMD VALUE=\"new\">\n"
          "<INPUT TYPE=\"hidden\" NAME=QS VALUE=\"find=1&quot;\">\n"
          "<TABLE BORDER=0 WIDTH=100%>\n"
          "<TR><TD COLSPAN=6><B>Title</B> <INPUT NAME=title SIZE=73 VALUE=\"\"></TD></TR>\n"
          "<TR><TD><B>Project</B></TD>\n"
          "<TD><INPUT TYPE=\"hidden\" NAME=project VALUE=\"TEST\">\n"
          "<SELECT NAME=\"Deroulant\" onChange= "
          "\"changePage(this.options[this.selectedIndex].value,Deroulant)\" >\n"
          "<OPTION VALUE=\"/cgi-bin/quorb.cgi?CMD=create\">&nbsp\n"
          "<OPTION VALUE=\"/cgi-bin/quorb.cgi?CMD=create&project=OTHER\" > OTHER \n"
          "<OPTION VALUE=\"/cgi-bin/quorb.cgi?CMD=create&project=TEST\" SELECTED > TEST \n"
          "</SELECT></TD>\n"
          "<TD><B>Sub-project</B></TD>\n<TD><SELECT NAME=group>\n<OPTION VALUE=\"\">&nbsp\n"
          "\n<! proj:TEST, match:Core, files.name:" +
          inst.ConfigDir() +
          "/TEST_subproject.cfg>\n"
          "<OPTION> GUI<OPTION SELECTED> Core</SELECT></TD>\n"
          "<TD><B>Program</B></TD>\n<TD><SELECT NAME=prog>\n<OPTION SELECTED VALUE=\"\">&nbsp\n"
          "<OPTION> prog1\n</SELECT></TD>\n</TR>\n"
          "<TR><TD><B>Severity</B></TD>\n<TD><SELECT NAME=sev>\n<OPTION SELECTED VALUE=\"\">&nbsp\n"
          "<OPTION VALUE=1 > Critical\n<OPTION VALUE=2 > Major\n<OPTION VALUE=3 > Minor\n"
          "<OPTION VALUE=4 > Cosmetic\n</SELECT></TD>\n"
          "<TD><B>Impact</B></TD>\n<TD><SELECT NAME=impact>\n<OPTION SELECTED VALUE=\"\">&nbsp\n"
          "<OPTION VALUE=\"a\"> Low\n<OPTION VALUE=\"b\"> High\n</SELECT></TD>\n"
          "<TD><B>Phase</B></TD>\n<TD><SELECT NAME=phase>\n<OPTION VALUE=\"\">&nbsp\n"
          "<OPTION SELECTED VALUE=\"a\"> Analysis\n<OPTION VALUE=\"b\"> "
          "Tests\n</SELECT></TD>\n</TR>\n"
          "<TR><TD><B>Version</B></TD>\n<TD><SELECT NAME=version>\n<OPTION SELECTED "
          "VALUE=\"\">&nbsp\n"
          "<OPTION> 1.0\n<OPTION> 1.1\n</SELECT></TD>\n"
          "<TD><B>Planned version</B></TD>\n<TD><SELECT NAME=exp>\n<OPTION VALUE=\"\">&nbsp\n"
          "<OPTION> 2.0\n</SELECT></TD>\n"
          "<TD><B>Type</B></TD>\n<TD><SELECT NAME=type>\n<OPTION SELECTED VALUE=\"\">&nbsp\n"
          "<OPTION VALUE=1 > Defect\n<OPTION VALUE=2 > Enhancement\n</SELECT></TD>\n</TR>\n"
          "</TABLE>\n"
          "<TABLE BORDER=0 WIDTH=100%>\n<TR><TD><B>Submitted by</B></TD>\n"
          "<TD><SELECT NAME=submitter>\n<OPTION VALUE=\"\">&nbsp\n<OPTION> kolvar\n"
          "<OPTION SELECTED> tessin\n</SELECT></TD>\n"
          "<TD><B>Test reference</B></TD>\n<TD><INPUT NAME=test VALUE=\"\"></TD>\n"
          "<TD><INPUT TYPE=submit VALUE=\"Create\"> <INPUT TYPE=reset VALUE=\"Reset\"></TD></TR>\n"
          "<TR><TD><B>Change request</B></TD>\n<TD><INPUT NAME=mdapda SIZE=40 VALUE=\"\"></TD>\n"
          "<TD><B>Estimated load (days)</B></TD>\n"
          "<TD><INPUT NAME=Load SIZE=4 VALUE=\"1\"></TD><TD>&nbsp</TD></TR>\n"
          "<TR><TD COLSPAN=6><TEXTAREA NAME=text ROWS=15 COLS=80>Description :\n"
          "</TEXTAREA></TD></TR>\n</TABLE>\n</FORM>\n");
  // A project parameter wins over the remembered one.
  r = inst.Get("CMD=create&project=OTHER");
  EXPECT_TRUE(e2e::Has(r.out, "NAME=project VALUE=\"OTHER\">\n"));
  EXPECT_TRUE(
      e2e::Has(r.out,
               "<OPTION VALUE=\"/cgi-bin/quorb.cgi?CMD=create&project=OTHER\" SELECTED > "
               "OTHER \n<OPTION VALUE=\"/cgi-bin/quorb.cgi?CMD=create&project=TEST\" > TEST \n"));
  // Without a remembered project nor a parameter, the project is absent.
  std::filesystem::remove(inst.Path("config/userinfo.dat"));
  EXPECT_TRUE(e2e::Has(inst.Get("CMD=create").out, "NAME=project VALUE=\" \">\n"));
}

TEST(CreateForm, CreationRightGuardsTheForm) {
  Installation inst("SECURITY YES\n");
  SetUpProject(inst);
  // tessin lacks right 2: the page head, then only the error box.
  auto denied = inst.Get("CMD=create&Uid=" + e2e::EncodedToken(inst, "tessin", "TEST"));
  EXPECT_TRUE(denied.out.ends_with("<!Access denied for tessin in 2>\n" + e2e::kErrorBox +
                                   "You are not allowed to create fact sheets in this project.\n"
                                   "</TD></TR></TABLE>"))
      << denied.out;
  EXPECT_FALSE(e2e::Has(denied.out, "<FORM"));

  // kolvar has it; reloading for another project keeps the identity.
  const std::string kolvar = e2e::EncodedToken(inst, "kolvar", "TEST");
  auto granted = inst.Get("CMD=create&Uid=" + kolvar);
  EXPECT_TRUE(e2e::Has(granted.out, "<!Access granted for kolvar in 2>\n"));
  EXPECT_TRUE(e2e::Has(granted.out,
                       "<OPTION VALUE=\"/cgi-bin/quorb.cgi?CMD=create&project=OTHER"
                       "&Uid=" +
                           kolvar + "\" > OTHER \n"))
      << granted.out;
  EXPECT_TRUE(e2e::Has(granted.out, "</TEXTAREA></TD></TR>\n</TABLE>\n</FORM>\n"));
}

}  // namespace
