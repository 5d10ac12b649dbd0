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
  EXPECT_TRUE(r.out.starts_with(e2e::PageHead("New fact sheet"))) << r.out;
  // The fields a browser posts, each list pre-set from the context (tessin, TEST, Core,
  // phase a) or left empty; QS kept out of markup; a change of project re-posts the form.
  for (const char* part :
       {"<INPUT TYPE=\"hidden\" NAME=CMD VALUE=\"new\">\n"
        "<INPUT TYPE=\"hidden\" NAME=QS VALUE=\"find=1&quot;\">\n",
        "f.CMD.value = \"create\";\n", "<TD><INPUT TYPE=\"hidden\" NAME=project VALUE=\"TEST\">\n",
        "<OPTION VALUE=\"/cgi-bin/quorb.cgi?CMD=create&project=TEST\" SELECTED > TEST \n",
        "<SELECT NAME=group ID=group>\n<OPTION VALUE=\"\">&nbsp\n",
        "<OPTION> GUI<OPTION SELECTED> Core</SELECT>",
        "<SELECT NAME=prog ID=prog>\n<OPTION SELECTED VALUE=\"\">&nbsp\n<OPTION> prog1\n</SELECT>",
        "<SELECT NAME=sev ID=sev>\n<OPTION SELECTED VALUE=\"\">&nbsp\n<OPTION VALUE=1 > Critical\n"
        "<OPTION VALUE=2 > Major\n<OPTION VALUE=3 > Minor\n<OPTION VALUE=4 > Cosmetic\n",
        "<SELECT NAME=impact ID=impact>\n<OPTION SELECTED VALUE=\"\">&nbsp\n<OPTION VALUE=\"a\"> "
        "Low\n",
        "<OPTION SELECTED VALUE=\"a\"> Analysis\n<OPTION VALUE=\"b\"> Tests\n</SELECT>",
        "<SELECT NAME=version ID=version>\n<OPTION SELECTED VALUE=\"\">&nbsp\n<OPTION> "
        "1.0\n<OPTION> 1.1\n",
        "<SELECT NAME=exp ID=exp>\n<OPTION VALUE=\"\">&nbsp\n<OPTION> 2.0\n</SELECT>",
        "<SELECT NAME=type ID=type>\n<OPTION SELECTED VALUE=\"\">&nbsp\n<OPTION VALUE=1 > Defect\n",
        "<OPTION VALUE=\"\">&nbsp\n<OPTION> kolvar\n<OPTION SELECTED> tessin\n</SELECT>",
        "<INPUT NAME=test ID=test VALUE=\"\">", "<INPUT NAME=mdapda ID=mdapda SIZE=40 VALUE=\"\">",
        "<INPUT NAME=Load ID=Load SIZE=4 VALUE=\"1\">",
        "<TEXTAREA NAME=text ROWS=15 COLS=80 ARIA-LABEL=\"Description\">Description "
        ":\n</TEXTAREA>"})
    EXPECT_TRUE(e2e::Has(r.out, part)) << part << "\n" << r.out;
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
  EXPECT_TRUE(denied.out.ends_with(e2e::kErrorBox +
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
  EXPECT_TRUE(
      e2e::Has(granted.out,
               "</TEXTAREA></TD></TR>\n<TR><TD COLSPAN=6><INPUT TYPE=submit VALUE=\"Create\"> "
               "<INPUT TYPE=reset VALUE=\"Reset\"></TD></TR>\n</TABLE>\n</FORM>\n"));
}

}  // namespace
