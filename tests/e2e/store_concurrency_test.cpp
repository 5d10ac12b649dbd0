// Sixteen processes create and rewrite sheets of one prefix at the same moment, as
// concurrent requests do: no number is taken twice, no index line or journal line is lost.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base/out.h"
#include "base/request_state.h"
#include "harness.h"
#include "store/store.h"

namespace {

constexpr int kProcesses = 16;
constexpr int kSheetsEach = 6;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// One request's worth of work, many times over: create a sheet, then change it.
int Worker(int id) {
  for (int i = 0; i < kSheetsEach; ++i) {
    store::FactSheet s;
    s.project = "Project";
    s.group = "Sub";
    s.phase = 1;
    s.subCode = "GUI";
    s.submitter = base::Sprintf("user%d", id);
    s.title = base::Sprintf("p%d s%d", id, i);
    s.number = store::FirstFreeNumber("ABCTGUI");
    store::AddEntry(s, "Description", s.submitter, 946681200, "Text.");
    store::LogAction(s, "Created by %s", s.submitter);
    if (store::WriteSheet(s) != 1) return 2;
    auto again = store::ReadSheet(store::GetSheetName(s));
    if (!again || again->title != s.title) return 3;
    again->status = store::kOpen;
    store::LogAction(*again, "Opened by %s", s.submitter);
    if (store::WriteSheet(*again) != 1) return 4;
  }
  return 0;
}

TEST(StoreConcurrency, SixteenWritersLoseNothing) {
  e2e::Installation inst;
  inst.Write("config/project.cfg", "Project:ABC:kolvar:tessin:\n");
  inst.Write("config/phase.cfg", "Study:S\nTest:T\n");
  inst.Write("config/Project_subproject.cfg", "Sub:GUI\n");
  std::string old_pwd = getenv("PWD") ? getenv("PWD") : "";
  setenv("PWD", inst.root().c_str(), 1);
  base::ResetRequestState();

  std::vector<pid_t> children;
  for (int id = 0; id < kProcesses; ++id) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(Worker(id));
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "worker status " << status;
  }

  const int total = kProcesses * kSheetsEach;
  std::set<std::string> titles;
  std::map<std::string, int> index_lines;
  for (const std::string& line : Lines(inst.Read("data/index"))) ++index_lines[line];
  EXPECT_EQ(index_lines.size(), static_cast<size_t>(total));
  for (int n = 1; n <= total; ++n) {
    std::string name = base::Sprintf("ABCTGUI.%05d", n);
    auto sheet = store::ReadSheet(name);
    ASSERT_TRUE(sheet.has_value()) << name;
    EXPECT_EQ(sheet->number, n);
    EXPECT_EQ(sheet->status, store::kOpen);
    EXPECT_EQ(Lines(sheet->log).size(), 2u) << name;
    titles.insert(sheet->title);
    std::string header = store::FormatHeader(*sheet);
    header.pop_back();
    EXPECT_EQ(index_lines[header], 1) << name;
  }
  EXPECT_EQ(titles.size(), static_cast<size_t>(total));  // no sheet overwrote another
  EXPECT_FALSE(inst.Exists(base::Sprintf("data/ABCTGUI.%05d", total + 1)));

  std::map<std::string, int> journal;
  std::vector<std::string> lines = Lines(inst.Read("data/history.dat"));
  EXPECT_EQ(lines.size(), static_cast<size_t>(2 * total));
  for (const std::string& line : lines) {
    size_t blank = line.find(' ');
    ++journal[line.substr(blank + 1, line.find(' ', blank + 1) - blank - 1)];
  }
  for (int n = 1; n <= total; ++n) EXPECT_EQ(journal[base::Sprintf("ABCTGUI.%05d", n)], 2);
  for (const std::string& name : inst.List("data")) {
    EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
  }

  setenv("PWD", old_pwd.c_str(), 1);
  base::ResetRequestState();
}

}  // namespace
