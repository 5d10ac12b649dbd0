// The option-list writers, run in this process against the configuration files of a test
// installation.
#include "config/options.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

#include "common/capture.h"
#include "config/projects.h"
#include "e2e/harness.h"

namespace {

class OptionLists : public ::testing::Test {
 protected:
  void SetUp() override { inst_.InstallLanguageFiles(); }

  void Config(const std::string& name, const std::string& text) {
    inst_.Write("config/" + name, text);
  }

  static std::string Capture(const std::function<void(base::Stream)>& write) {
    return testing_support::CaptureStream(write);
  }

  e2e::Installation inst_;
  e2e::InProcess request_{inst_};
};

TEST_F(OptionLists, FileOptionsSelectByPrefixAndAddNoLineEnd) {
  Config("TEST_version.cfg", "# versions\n1.1\n1.10\n2.0:old\n\n1.2");
  inst_.WriteProjects("TEST:T:kolvar:tessin\n");
  std::string path = inst_.ConfigDir() + "TEST_version.cfg";
  EXPECT_EQ(Capture([&](base::Stream s) { config::WriteFileOptions(s, path, "1.1"); }),
            "<OPTION SELECTED> 1.1\n<OPTION SELECTED> 1.10\n<OPTION> 2.0<OPTION> 1.2");
  // No selection is the one-blank text; the empty text selects everything.
  EXPECT_EQ(Capture([&](base::Stream s) { config::WriteFileOptions(s, path); }),
            "<OPTION> 1.1\n<OPTION> 1.10\n<OPTION> 2.0<OPTION> 1.2");
  EXPECT_EQ(
      Capture([&](base::Stream s) { config::WriteProjectFileOptions(s, "TEST", "version", ""); }),
      "<OPTION SELECTED> 1.1\n<OPTION SELECTED> 1.10\n<OPTION SELECTED> 2.0<OPTION SELECTED> "
      "1.2");
  EXPECT_EQ(Capture([&](base::Stream s) { config::WriteFileOptions(s, path + ".none", ""); }), "");
}

TEST_F(OptionLists, SubprojectOptionsOfTheProjectOrOfAll) {
  inst_.WriteProjects("TEST:T\nOTHER:O\n");
  Config("TEST_subproject.cfg", "phase 1:10\nGUI:G\n");
  Config("OTHER_subproject.cfg", "core:C\n");
  auto options = [](const char* project, const char* match) {
    std::string out =
        Capture([&](base::Stream s) { config::WriteSubprojectOptions(s, project, match); });
    return out.substr(out.find(">\n") + 2);  // after the comment naming the file
  };
  EXPECT_EQ(options("TEST", "GUI"), "<OPTION> phase 1<OPTION SELECTED> GUI");
  EXPECT_EQ(options(" ", " "), "<OPTION> core<OPTION> phase 1<OPTION> GUI");
  EXPECT_EQ(options("NONE", "<b>"), "");
  // The request's text in the comment stays text.
  EXPECT_FALSE(e2e::Has(
      Capture([](base::Stream s) { config::WriteSubprojectOptions(s, "NONE", "<b>"); }), "<b>"));
}

TEST_F(OptionLists, UserOptionsTakeTheLoginOfEachLine) {
  inst_.WriteProjects("A:a\nB:b\n");
  Config("A_users.cfg", "kolvar :kolvar@example.org:pw:YES\ntessin:t@x\n\n");
  Config("B_users.cfg", "bob\tx\r\nzed:z");
  EXPECT_EQ(Capture([](base::Stream s) { config::WriteUserOptions(s, "A", "tessin"); }),
            "<OPTION> kolvar\n<OPTION SELECTED> tessin\n");
  EXPECT_EQ(Capture([](base::Stream s) { config::WriteUserOptions(s, " "); }),
            "<OPTION> bob\n<OPTION> zed\n<OPTION> kolvar\n<OPTION> tessin\n");
  EXPECT_EQ(Capture([](base::Stream s) { config::WriteUserOptions(s, "C", ""); }), "");
}

TEST_F(OptionLists, DeadlinesLeaveOutDeliveredVersions) {
  inst_.WriteProjects("TEST:T\n");
  Config("TEST_version.cfg", "1.0\r\n2.0\r\n");
  // A comment line offers none of its words.
  Config("TEST_deadline.cfg", "# planned later\n2.0 3.0 #4.0\n#4.0 5.0\t6.0\n1.0");
  EXPECT_EQ(Capture([](base::Stream s) { config::WriteDeadlineOptions(s, "TEST"); }),
            "<OPTION> 3.0\n");
}

TEST_F(OptionLists, OptionTextsAreWrittenRawButNeverAsMarkup) {
  inst_.WriteProjects("a&b:A\nx<script>\"y:X\nlong" + std::string(5000, 'l') + "\r\n");
  std::string out = Capture(
      [](base::Stream s) { config::WriteFileOptions(s, config::GetProjectFilePath(), "a&b"); });
  EXPECT_EQ(out, "<OPTION SELECTED> a&b<OPTION> x&lt;script&gt;&quot;y<OPTION> long" +
                     std::string(5000, 'l') + "\r\n");
}

}  // namespace
