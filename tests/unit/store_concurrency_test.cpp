// Thirty-two processes create, rewrite, copy and rename sheets at the same moment, as
// concurrent requests do, and all add entries to one shared sheet: no number is taken
// twice, no entry, index line or journal line is lost, no copy's note lands elsewhere.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "base/out.h"
#include "e2e/harness.h"
#include "store/check.h"
#include "store/store.h"
#include "unit_support.h"

namespace {

constexpr int kProcesses = 32;
constexpr int kSheetsEach = 3;

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

// One request's worth of work, many times over: create a sheet, then change it, add an entry
// to the shared sheet, copy the sheet, and (every other process) move it to another prefix.
int Worker(int id) {
  for (int i = 0; i < kSheetsEach; ++i) {
    store::FactSheet s = NewSheet(base::Sprintf("user%d", id), base::Sprintf("p%d s%d", id, i));
    if (store::CreateSheet(s) != store::Stored::kOk) return 2;
    const std::string name = store::GetSheetName(s);
    auto open = [&](store::FactSheet& again) {
      if (again.title != s.title) return false;
      again.status = store::kOpen;
      store::LogAction(again, "Opened by %s", s.submitter);
      return true;
    };
    if (store::UpdateSheet(name, open) != store::Stored::kOk) return 3;
    auto comment = [&](store::FactSheet& shared) {
      store::AddEntry(shared, "Comment", s.submitter, 946681200, s.title);
      return true;
    };
    if (store::UpdateSheet("ABCTGUI.00001", comment) != store::Stored::kOk) return 4;
    auto make = [&](const store::FactSheet& source, store::FactSheet& copy) {
      store::LogAction(copy, "Copy of %s", store::GetSheetName(source));
      return source.title == s.title;
    };
    auto note = [](store::FactSheet& source, std::string_view copy_name) {
      store::LogAction(source, "Copied to %s", copy_name);
    };
    if (store::CopySheet(name, make, note) != store::Stored::kOk) return 5;
    if (id % 2) {
      auto move = [&](store::FactSheet& again) {
        again.group = "Core";
        again.subCode = "COR";
        return again.title == s.title;
      };
      if (store::ChangeSheetHeader(name, move) != store::Stored::kOk) return 6;
    }
  }
  return 0;
}

TEST(StoreConcurrency, ThirtyTwoMixedWritersLoseNothing) {
  e2e::Installation inst;
  inst.WriteProjects("Project:ABC:kolvar:tessin:\n");
  inst.Write("config/phase.cfg", "Study:S\nTest:T\n");
  inst.Write("config/Project_subproject.cfg", "Sub:GUI\nCore:COR\n");
  e2e::InProcess request(inst);
  store::FactSheet shared = NewSheet("kolvar", "shared");
  ASSERT_EQ(store::CreateSheet(shared), store::Stored::kOk);
  auto open = [](store::FactSheet& s) {
    s.status = store::kOpen;
    store::LogAction(s, "Opened");
    return true;
  };
  ASSERT_EQ(store::UpdateSheet(store::GetSheetName(shared), open), store::Stored::kOk);

  unit_test::RunProcesses(kProcesses, Worker);

  // Every sheet once in the index, every file with its line: the store is sound.
  EXPECT_EQ(store::CheckStore(false), 0);
  const int total = 2 * kProcesses * kSheetsEach + 1;
  std::vector<std::string> lines = Lines(inst.Read("data/index"));
  EXPECT_EQ(lines.size(), static_cast<size_t>(total));
  std::map<std::string, int> titles;
  std::map<std::string, std::string> title_of;
  for (const std::string& line : lines) {
    store::FactSheet header;
    store::ParseHeader(line, header);
    ++titles[header.title];
    title_of[store::GetSheetName(header)] = header.title;
  }
  for (const auto& [title, count] : titles) EXPECT_EQ(count, title == "shared" ? 1 : 2) << title;
  // Each note names the sheet's own copy (which carries its title).
  int notes = 0;
  for (const auto& [name, title] : title_of) {
    auto sheet = store::ReadSheet(name);
    ASSERT_TRUE(sheet.has_value()) << name;
    EXPECT_EQ(sheet->status, store::kOpen) << name;
    for (const std::string& line : Lines(sheet->log)) {
      size_t at = line.find("Copied to ");
      if (at == std::string::npos) continue;
      ++notes;
      EXPECT_EQ(title_of[line.substr(at + 10)], title) << name << ": " << line;
    }
  }
  EXPECT_EQ(notes, kProcesses * kSheetsEach);
  auto shared_sheet = store::ReadSheet("ABCTGUI.00001");
  ASSERT_TRUE(shared_sheet.has_value());
  EXPECT_EQ(shared_sheet->entries.size(), static_cast<size_t>(kProcesses * kSheetsEach + 1));
  // Two journal lines per sheet created (created, opened), one per copy and one per note.
  EXPECT_EQ(Lines(inst.Read("data/history.dat")).size(),
            static_cast<size_t>(2 + 4 * kProcesses * kSheetsEach));
}

}  // namespace
