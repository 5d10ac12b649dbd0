#include "config/projects.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "base/request_state.h"
#include "config/labels.h"

namespace {

namespace fs = std::filesystem;

// A configuration folder in a temporary directory, named by PWD as the CGI would find it.
class ProjectFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ = (fs::temp_directory_path() / "quorb_projcfg_XXXXXX").string();
    root_ = mkdtemp(templ.data());
    fs::create_directories(root_ + "/config");
    Write("quorb.cfg", "CONFIGDIR " + root_ + "/config/\nLANGUAGE EN\n");
    Write("langue.EN",
          "200,New\n201,Observed\n210,Abandoned\n211,Created\n214,None\n215,Critical\n"
          "216,Major\n217,Minor\n218,Cosmetic\n220,None\n221,Defect\n222,Enhancement\n");
    old_pwd_ = getenv("PWD") ? getenv("PWD") : "";
    setenv("PWD", root_.c_str(), 1);
    base::ResetRequestState();
  }
  void TearDown() override {
    setenv("PWD", old_pwd_.c_str(), 1);
    base::ResetRequestState();
    fs::remove_all(root_);
  }

  void Write(const std::string& name, const std::string& text) {
    std::ofstream(root_ + "/config/" + name, std::ios::binary) << text;
  }
  std::string Dir() const { return root_ + "/config//"; }

  // What `call` writes into the page.
  template <typename F>
  std::string CapturePage(F call) {
    ::testing::internal::CaptureStdout();
    call();
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
  }

  std::string root_;
  std::string old_pwd_;
};

using Strings = std::vector<std::string>;

TEST_F(ProjectFiles, ProjectFieldsOfTheWizardsProjectLine) {
  Write("project.cfg", "TEST:T:kolvar:tessin\n");
  EXPECT_EQ(config::GetProjectCode("TEST"), "T");
  EXPECT_EQ(config::GetProjectVerifier("TEST"), "tessin");
  EXPECT_EQ(config::GetProjectSite("TEST"), "");
  // Matching is exact and case-sensitive.
  EXPECT_EQ(config::GetProjectCode("test"), "");
  EXPECT_EQ(config::GetProjectCode("TES"), "");
}

TEST_F(ProjectFiles, ManagerScanWritesOneCommentPerLineAndReportsAMissingFile) {
  Write("project.cfg", "A:a:ma\nB:b:mb:vb:site@x\nC:c:mc\n");
  std::string page = CapturePage([] { EXPECT_EQ(config::GetProjectManager("B"), "mb"); });
  EXPECT_EQ(page, "<! -B-A->\n<! -B-B->\n<! -b-\n-mb->\n");
  page = CapturePage([] { EXPECT_EQ(config::GetProjectManager("Z<"), ""); });
  EXPECT_EQ(page, "<! -Z&lt;-A->\n<! -Z&lt;-B->\n<! -Z&lt;-C->\n");
  EXPECT_EQ(config::GetProjectSite("B"), "site@x");

  fs::remove(root_ + "/config/project.cfg");
  base::ResetRequestState();
  page = CapturePage([] { EXPECT_EQ(config::GetProjectManager("B"), ""); });
  EXPECT_EQ(page, " unable to open " + Dir() + "project.cfg \n");
  // The other facts stay silent.
  page = CapturePage([] { EXPECT_EQ(config::GetProjectCode("B"), ""); });
  EXPECT_EQ(page, "");
}

TEST_F(ProjectFiles, ProjectListIsInReverseOrderAndFiltered) {
  Write("project.cfg", "# projects\nALPHA:A:m\n:X:m\nnocolon\nBETA:B\n\nGAMMA:G:m:v:s\n");
  EXPECT_EQ(config::ListProjects(""), (Strings{"GAMMA", "BETA", "ALPHA"}));
  EXPECT_EQ(config::ListProjects(" "), (Strings{"GAMMA", "BETA", "ALPHA"}));
  EXPECT_EQ(config::ListProjects("BETA"), (Strings{"BETA"}));
  EXPECT_EQ(config::ListProjects("DELTA"), Strings{});
  EXPECT_EQ(config::ListProjectFiles("", "version"),
            (Strings{Dir() + "GAMMA_version.cfg", Dir() + "BETA_version.cfg",
                     Dir() + "ALPHA_version.cfg"}));
  EXPECT_EQ(config::ListProjectFiles("ALPHA", "users"), (Strings{Dir() + "ALPHA_users.cfg"}));
}

TEST_F(ProjectFiles, MissingFilesGiveEmptyListsAndFacts) {
  EXPECT_EQ(config::ListProjects(""), Strings{});
  EXPECT_EQ(config::GetProjectCode("TEST"), "");
  EXPECT_EQ(config::GetSubprojectCode("TEST", "x"), "_");
  EXPECT_EQ(config::GetSubprojectName("TEST", "10"), "_");
  EXPECT_EQ(config::CountPhases(), 0u);
  EXPECT_EQ(config::GetPhaseIndex('S'), 0);
  EXPECT_EQ(config::GetPhaseName(0), "");
  EXPECT_EQ(config::GetImpactName(0), "");
  EXPECT_EQ(config::GetSheetPrefix("TEST", "x", 0), "__");
}

TEST_F(ProjectFiles, SubprojectsAndSheetNames) {
  Write("project.cfg", "TEST:T:kolvar:tessin\nOTHER:O\n");
  Write("TEST_subproject.cfg", "phase 1:10\n#old:99\nGUI:GUI\nnocode:\n");
  Write("OTHER_subproject.cfg", "core:C\n");
  Write("phase.cfg", "specification:S\ndeveloppement:D\n");
  EXPECT_EQ(config::GetSubprojectCode("TEST", "phase 1"), "10");
  EXPECT_EQ(config::GetSubprojectCode("TEST", "nocode"), "_");
  EXPECT_EQ(config::GetSubprojectCode("TEST", "core"), "_");
  EXPECT_EQ(config::GetSubprojectCode("TEST", "#old"), "_");
  EXPECT_EQ(config::GetSubprojectName("TEST", "GUI"), "GUI");
  EXPECT_EQ(config::GetSubprojectName("TEST", "C"), "_");
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
  Write("phase.cfg",
        "# phases\nspecification:S\ndeveloppement:D\nintegration_usine:i\nintegration_site:t\n"
        "validation_usine:u\nvalidation_site:v\nrecette_usine:r\nrecette_site:s\nVABF:F\n"
        "VSR:f\ntest_unitaire:U\n");
  Write("impacts.cfg", "#impacts\nUsability\nFonctional  extra words\n\nRobustness\n");
  EXPECT_EQ(config::CountPhases(), 11u);
  EXPECT_EQ(config::GetPhaseLetter(0), 'S');
  EXPECT_EQ(config::GetPhaseLetter(10), 'U');
  EXPECT_EQ(config::GetPhaseIndex('i'), 2);
  EXPECT_EQ(config::GetPhaseIndex('f'), 9);
  EXPECT_EQ(config::GetPhaseIndex('Z'), 11);
  EXPECT_EQ(config::GetPhaseName(8), "VABF");
  EXPECT_EQ(config::GetPhaseName(11), "");
  EXPECT_EQ(config::GetPhaseName(-1), "");
  EXPECT_EQ(config::GetPhaseLetter(11), '_');
  EXPECT_EQ(config::GetImpactName(0), "Usability");
  EXPECT_EQ(config::GetImpactName(1), "Fonctional");
  EXPECT_EQ(config::GetImpactName(2), "Robustness");
  EXPECT_EQ(config::GetImpactName(3), "");
  EXPECT_EQ(config::GetImpactName(1000), "");
}

TEST_F(ProjectFiles, TablesAreReadOncePerRequestAndForgottenOnDemand) {
  Write("phase.cfg", "one:A\n");
  Write("project.cfg", "P:p\n");
  EXPECT_EQ(config::GetPhaseName(0), "one");
  EXPECT_EQ(config::GetProjectCode("P"), "p");
  Write("phase.cfg", "two:B\n");
  Write("project.cfg", "P:q\n");
  EXPECT_EQ(config::GetPhaseName(0), "one");
  EXPECT_EQ(config::GetProjectCode("P"), "p");
  config::ForgetProjectFiles();
  EXPECT_EQ(config::GetPhaseName(0), "two");
  EXPECT_EQ(config::GetProjectCode("P"), "q");
}

TEST_F(ProjectFiles, BadInputNeitherCrashesNorSpillsIntoOtherFields) {
  std::string long_name(5000, 'x');
  Write("project.cfg", "CRLF:C:mgr:ver:\r\n" + long_name + ":L:" + std::string(5000, 'm') +
                           ":v\nmy proj:M:boss:check\nmy:Y:a b:c d:e f\nEMPTY::::\nLAST:Z:last");
  EXPECT_EQ(config::GetProjectCode("CRLF"), "C");
  EXPECT_EQ(config::GetProjectVerifier("CRLF"), "ver");
  EXPECT_EQ(config::GetProjectSite("CRLF"), "");
  EXPECT_EQ(config::GetProjectCode(long_name), "L");
  EXPECT_EQ(config::GetProjectVerifier(long_name), "v");
  // A name with a blank is one name; its blank does not shift the fields.
  EXPECT_EQ(config::GetProjectCode("my proj"), "M");
  EXPECT_EQ(config::GetProjectVerifier("my proj"), "check");
  // A blank ends a field's value; the rest of that field goes nowhere else.
  EXPECT_EQ(config::GetProjectVerifier("my"), "c");
  EXPECT_EQ(config::GetProjectSite("my"), "e");
  EXPECT_EQ(config::GetProjectCode("EMPTY"), "");
  EXPECT_EQ(config::GetProjectSite("EMPTY"), "");
  EXPECT_EQ(config::GetProjectVerifier("LAST"), "");
  EXPECT_EQ(config::GetProjectCode("LAST"), "Z");
  EXPECT_EQ(config::ListProjects("").size(), 6u);
  EXPECT_EQ(config::ListProjects("")[0], "LAST");

  std::string phases;
  for (int i = 0; i < 60; ++i)
    phases += "phase" + std::to_string(i) + ":" + char('A' + i % 26) + "\r\n";
  Write("phase.cfg", phases);
  std::string impacts;
  for (int i = 0; i < 60; ++i) impacts += "impact" + std::to_string(i) + "\r\n";
  Write("impacts.cfg", impacts + std::string(5000, 'i'));
  EXPECT_EQ(config::CountPhases(), 50u);
  EXPECT_EQ(config::GetPhaseName(49), "phase49");
  EXPECT_EQ(config::GetPhaseName(50), "");
  EXPECT_EQ(config::GetPhaseLetter(1), 'B');
  EXPECT_EQ(config::GetImpactName(0), "impact0");
  EXPECT_EQ(config::GetImpactName(49), "impact49");
  EXPECT_EQ(config::GetImpactName(50), "");

  Write("project.cfg", "TEST:T\r\n");
  Write("TEST_subproject.cfg", "GUI:G1\r\nlast:L");
  config::ForgetProjectFiles();
  EXPECT_EQ(config::GetSubprojectCode("TEST", "GUI"), "G1");
  EXPECT_EQ(config::GetSubprojectCode("TEST", "last"), "L");
  EXPECT_EQ(config::GetSubprojectName("TEST", "L"), "last");
}

TEST_F(ProjectFiles, LabelsAndStatusCodes) {
  EXPECT_EQ(config::GetStatusLabel(0), "New");
  EXPECT_EQ(config::GetStatusLabel(11), "Created");
  EXPECT_EQ(config::GetStatusLabel(12), "");
  EXPECT_EQ(config::GetStatusLabel(-1), "");
  EXPECT_EQ(config::GetSeverityLabel(1), "Critical");
  EXPECT_EQ(config::GetSeverityLabel(5), "");
  EXPECT_EQ(config::GetTypeLabel(2), "Enhancement");
  EXPECT_EQ(config::GetTypeLabel(3), "");
  std::string codes;
  for (int i = 0; i <= 13; ++i) codes += std::string(config::GetStatusCode(i)) + ",";
  EXPECT_EQ(codes, "N,Obs,A,O,C,V,D,NB,NR,P,Ab,,,,");
  EXPECT_EQ(config::GetStatusCode(-1), "");
}

}  // namespace
