#include "config/projects.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "base/request_state.h"
#include "unit_support.h"

namespace {

namespace fs = std::filesystem;
using unit_test::Each;

// A configuration folder in a temporary directory, named by PWD as the CGI would find it.
class ProjectFiles : public unit_test::Installation {
 protected:
  std::string Dir() const { return root_ + "/config//"; }
};

// Code, verifier and site of a project, as "code|verifier|site".
std::string Fields(const std::string& project) {
  return config::GetProjectCode(project) + "|" + config::GetProjectVerifier(project) + "|" +
         config::GetProjectSite(project);
}

using Strings = std::vector<std::string>;

// Without the project list, or any other file, lists and facts are empty.
TEST_F(ProjectFiles, ManagerAndSiteAndMissingFiles) {
  WriteProjects("A:a:ma\nB:b:mb:vb:site@x\nC:c:mc\n");
  testing_support::CaptureStdout([] {
    EXPECT_EQ(config::GetProjectManager("B"), "mb");
    EXPECT_EQ(config::GetProjectManager("Z<"), "");
  });
  EXPECT_EQ(config::GetProjectSite("B"), "site@x");

  fs::remove(root_ + "/config/project.cfg");
  base::ResetRequestState();
  std::string page =
      testing_support::CaptureStdout([] { EXPECT_EQ(config::GetProjectManager("B"), ""); });
  EXPECT_EQ(page, " unable to open " + Dir() + "project.cfg \n");
  // The other facts stay silent.
  page = testing_support::CaptureStdout([] { EXPECT_EQ(config::GetProjectCode("B"), ""); });
  EXPECT_EQ(page, "");
  EXPECT_EQ(config::ListProjects(""), Strings{});
  EXPECT_EQ(config::GetProjectCode("TEST") + "|" + config::GetSubprojectCode("TEST", "x") + "|" +
                config::GetSubprojectName("TEST", "10") + "|" + config::GetPhaseName(0) + "|" +
                config::GetImpactName(0) + "|" + config::GetSheetPrefix("TEST", "x", 0),
            "|_|_|||__");
  EXPECT_EQ(config::CountPhases(), 0u);
  EXPECT_EQ(config::GetPhaseIndex('S'), 0);
}

TEST_F(ProjectFiles, ProjectListIsInReverseOrderAndFiltered) {
  WriteProjects("# projects\nALPHA:A:m\n:X:m\nnocolon\nBETA:B\n\nGAMMA:G:m:v:s\n");
  EXPECT_EQ(config::ListProjects(""), (Strings{"GAMMA", "BETA", "ALPHA"}));
  EXPECT_EQ(config::ListProjects(" "), (Strings{"GAMMA", "BETA", "ALPHA"}));
  EXPECT_EQ(config::ListProjects("BETA"), (Strings{"BETA"}));
  EXPECT_EQ(config::ListProjects("DELTA"), Strings{});
  EXPECT_EQ(config::ListProjectFiles("", "version"),
            (Strings{Dir() + "GAMMA_version.cfg", Dir() + "BETA_version.cfg",
                     Dir() + "ALPHA_version.cfg"}));
  EXPECT_EQ(config::ListProjectFiles("ALPHA", "users"), (Strings{Dir() + "ALPHA_users.cfg"}));
}

TEST_F(ProjectFiles, SubprojectsAndSheetNames) {
  WriteProjects("TEST:T:kolvar:tessin\nOTHER:O\n");
  Write("config/TEST_subproject.cfg", "phase 1:10\n#old:99\nGUI:GUI\nnocode:\n");
  Write("config/OTHER_subproject.cfg", "core:C\n");
  Write("config/phase.cfg", "specification:S\ndeveloppement:D\n");
  auto code = [](const char* name) { return config::GetSubprojectCode("TEST", name); };
  EXPECT_EQ(Each(code, {"phase 1", "nocode", "core", "#old"}), "10|_|_|_|");
  EXPECT_EQ(config::GetSubprojectName("TEST", "GUI") + config::GetSubprojectName("TEST", "C"),
            "GUI_");
  EXPECT_EQ(config::ListSubprojects("TEST", " "), (Strings{"phase 1", "GUI", "nocode"}));
  EXPECT_EQ(config::ListSubprojects("", ""), (Strings{"core", "phase 1", "GUI", "nocode"}));
  EXPECT_EQ(config::ListSubprojects("TEST", "GUI"), (Strings{"GUI"}));
  // Asking twice gives the same list, not a longer one.
  EXPECT_EQ(config::ListSubprojects("TEST", "GUI"), (Strings{"GUI"}));

  EXPECT_EQ(config::GetSheetPrefix("TEST", "phase 1", 0), "TS10");
  EXPECT_EQ(config::GetSheetPrefixOf("TEST", "GUI", 1), "TDGUI");
  EXPECT_EQ(config::GetSheetName(config::GetSheetPrefix("TEST", "phase 1", 0), 42), "TS10.00042");
  EXPECT_EQ(config::GetSheetName("ABCTGUI", 123456), "ABCTGUI.123456");
  // An unknown project, sub-project or phase still forms a name.
  EXPECT_EQ(config::GetSheetPrefix("NONE", "GUI", 0), "S_");
  EXPECT_EQ(config::GetSheetPrefix("TEST", "GUI", 7), "T_GUI");
}

TEST_F(ProjectFiles, PhaseAndImpactTables) {
  Write("config/phase.cfg",
        "# phases\nspecification:S\ndeveloppement:D\nintegration_usine:i\nintegration_site:t\n"
        "validation_usine:u\nvalidation_site:v\nrecette_usine:r\nrecette_site:s\nVABF:F\n"
        "VSR:f\ntest_unitaire:U\n");
  Write("config/impacts.cfg", "#impacts\nUsability\nFonctional  extra words\n\nRobustness\n");
  EXPECT_EQ(config::CountPhases(), 11u);
  EXPECT_EQ(Each(config::GetPhaseLetter, {0, 10, 11}), "S|U|_|");
  EXPECT_EQ(Each(config::GetPhaseIndex, {'i', 'f', 'Z'}), "2|9|11|");
  EXPECT_EQ(Each(config::GetPhaseName, {8, 11, -1}), "VABF|||");
  EXPECT_EQ(Each(config::GetImpactName, {0, 1, 2, 3, 1000}), "Usability|Fonctional|Robustness|||");
}

TEST_F(ProjectFiles, TablesAreReadOncePerRequestAndForgottenOnDemand) {
  Write("config/phase.cfg", "one:A\n");
  WriteProjects("P:p\n");
  EXPECT_EQ(config::GetPhaseName(0), "one");
  EXPECT_EQ(config::GetProjectCode("P"), "p");
  Write("config/phase.cfg", "two:B\n");
  WriteProjects("P:q\n");
  EXPECT_EQ(config::GetPhaseName(0), "one");
  EXPECT_EQ(config::GetProjectCode("P"), "p");
  config::ForgetProjectFiles();
  EXPECT_EQ(config::GetPhaseName(0), "two");
  EXPECT_EQ(config::GetProjectCode("P"), "q");
}

// Matching is exact and case-sensitive.
TEST_F(ProjectFiles, BadInputNeitherCrashesNorSpillsIntoOtherFields) {
  std::string long_name(5000, 'x');
  WriteProjects("TEST:T:kolvar:tessin\nCRLF:C:mgr:ver:\r\n" + long_name +
                ":L:" + std::string(5000, 'm') +
                ":v\nmy proj:M:boss:check\nmy:Y:a b:c d:e f\nEMPTY::::\nLAST:Z:last");
  // A name with a blank is one name: its blank does not shift the fields. A blank ends a
  // field's value; the rest of that field goes nowhere else.
  const std::pair<std::string, std::string> cases[] = {
      {"TEST", "T|tessin|"}, {"test", "||"},      {"TES", "||"},
      {"CRLF", "C|ver|"},    {long_name, "L|v|"}, {"my proj", "M|check|"},
      {"my", "Y|c|e"},       {"EMPTY", "||"},     {"LAST", "Z||"}};
  for (const auto& [name, fields] : cases) EXPECT_EQ(Fields(name), fields) << name.substr(0, 9);
  EXPECT_EQ(config::ListProjects("").size(), 7u);
  EXPECT_EQ(config::ListProjects("")[0], "LAST");

  std::string phases;
  for (int i = 0; i < 60; ++i)
    phases += "phase" + std::to_string(i) + ":" + char('A' + i % 26) + "\r\n";
  Write("config/phase.cfg", phases);
  std::string impacts;
  for (int i = 0; i < 60; ++i) impacts += "impact" + std::to_string(i) + "\r\n";
  Write("config/impacts.cfg", impacts + std::string(5000, 'i'));
  EXPECT_EQ(config::CountPhases(), 50u);
  EXPECT_EQ(Each(config::GetPhaseName, {49, 50}), "phase49||");
  EXPECT_EQ(config::GetPhaseLetter(1), 'B');
  EXPECT_EQ(Each(config::GetImpactName, {0, 49, 50}), "impact0|impact49||");

  WriteProjects("TEST:T\r\n");
  Write("config/TEST_subproject.cfg", "GUI:G1\r\nlast:L");
  config::ForgetProjectFiles();
  EXPECT_EQ(config::GetSubprojectCode("TEST", "GUI"), "G1");
  EXPECT_EQ(config::GetSubprojectCode("TEST", "last"), "L");
  EXPECT_EQ(config::GetSubprojectName("TEST", "L"), "last");
}

}  // namespace
