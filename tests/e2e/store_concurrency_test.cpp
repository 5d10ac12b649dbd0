// Sixteen processes create and rewrite sheets of one prefix at the same moment, as
// concurrent requests do, and all add entries to one shared sheet: no number is taken
// twice, no entry, index line or journal line is lost.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "base/out.h"
#include "harness.h"
#include "store/store.h"

namespace {

constexpr int kProcesses = 16;
constexpr int kSheetsEach = 6;

using e2e::Lines;

store::FactSheet NewSheet(const std::string& submitter, const std::string& title) {
  store::FactSheet s;
  s.project = "Project";
  s.group = "Sub";
  s.phase = 1;
  s.subCode = "GUI";
  s.submitter = submitter;
  s.title = title;
  store::AddEntry(s, "Description", s.submitter, 946681200, "Text.");
  store::LogAction(s, "Created by %s", s.submitter);
  return s;
}

// One request's worth of work, many times over: create a sheet, then change it, and add an
// entry to the shared sheet.
int Worker(int id) {
  for (int i = 0; i < kSheetsEach; ++i) {
    store::FactSheet s = NewSheet(base::Sprintf("user%d", id), base::Sprintf("p%d s%d", id, i));
    if (store::CreateSheet(s) != store::Stored::kOk) return 2;
    auto open = [&](store::FactSheet& again) {
      if (again.title != s.title) return false;
      again.status = store::kOpen;
      store::LogAction(again, "Opened by %s", s.submitter);
      return true;
    };
    if (store::UpdateSheet(store::GetSheetName(s), open) != store::Stored::kOk) return 3;
    auto comment = [&](store::FactSheet& shared) {
      store::AddEntry(shared, "Comment", s.submitter, 946681200, s.title);
      return true;
    };
    if (store::UpdateSheet("ABCTGUI.00001", comment) != store::Stored::kOk) return 4;
  }
  return 0;
}

TEST(StoreConcurrency, SixteenWritersLoseNothing) {
  e2e::Installation inst;
  inst.Write("config/project.cfg", "Project:ABC:kolvar:tessin:\n");
  inst.Write("config/phase.cfg", "Study:S\nTest:T\n");
  inst.Write("config/Project_subproject.cfg", "Sub:GUI\n");
  e2e::InProcess request(inst);
  store::FactSheet shared = NewSheet("kolvar", "shared");
  ASSERT_EQ(store::CreateSheet(shared), store::Stored::kOk);
  shared.status = store::kOpen;
  store::LogAction(shared, "Opened");
  ASSERT_EQ(store::WriteSheet(shared), store::Stored::kOk);

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

  const int total = kProcesses * kSheetsEach + 1;
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
    // Every comment on the shared sheet is kept.
    EXPECT_EQ(sheet->entries.size(), n == 1 ? static_cast<size_t>(total) : 1u) << name;
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
}

}  // namespace
