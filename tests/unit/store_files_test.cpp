#include <fmt/format.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "base/files.h"
#include "base/request_state.h"
#include "e2e/harness.h"
#include "search/results.h"
#include "store/check.h"
#include "store/commit.h"
#include "store/index.h"
#include "store/store.h"
#include "unit_support.h"

namespace {

namespace fs = std::filesystem;
using store::FactSheet;

// A data directory and a project configuration named by PWD, as the CGI finds them.
class StoreFiles : public unit_test::Installation {
 protected:
  void SetUp() override {
    Installation::SetUp();
    WriteProjects("Project:ABC:kolvar:tessin:\nOther:XY:kolvar::\n");
    Write("config/phase.cfg", "Study:S\nTest:T\n");
    Write("config/Project_subproject.cfg", "Sub:GUI\nMore:GUI\nThird:TRD\n");
  }

  bool Exists(const std::string& rel) { return fs::exists(root_ + "/" + rel); }
  std::string DataFiles() {
    std::string names;
    for (const auto& e : fs::directory_iterator(root_ + "/data")) {
      if (e.is_regular_file()) names += e.path().filename().string() + " ";
    }
    return names;
  }

  // The lines readers take from the index: each key's last.
  static std::string LiveIndex() {
    std::string lines;
    store::ForEachIndexLine([&lines](std::string_view line) {
      lines.append(line).push_back('\n');
      return true;
    });
    return lines;
  }

  static FactSheet NewSheet(const std::string& title, const std::string& group = "Sub") {
    FactSheet s;
    s.project = "Project", s.group = group, s.phase = 1, s.subCode = "GUI";
    s.created = 946681200, s.submitter = "kolvar", s.title = title, s.Load = 1;
    return s;
  }

  unit_test::ScopedEnv tz_{"TZ", "CET-1CEST,M3.5.0,M10.5.0/3"};
};

using store::Stored;

TEST_F(StoreFiles, CreateUpdateAndRewriteKeepOneIndexLineAtTheEnd) {
  FactSheet a = NewSheet("First");
  store::AddEntry(a, "Description", "kolvar", 946681200, "Text.");
  store::LogActionAt(a, 946681200, "Created by %s", "kolvar");
  ASSERT_EQ(store::CreateSheet(a), Stored::kOk);
  EXPECT_EQ(store::GetSheetName(a), "ABCTGUI.00001");
  std::string line_a = store::FormatHeader(a);
  EXPECT_EQ(Read("data/index"), line_a);
  EXPECT_EQ(Read("data/history.dat"), "2000/01/01:00.00.00 ABCTGUI.00001 Created by kolvar\n");

  FactSheet b = NewSheet("Second");
  ASSERT_EQ(store::CreateSheet(b), Stored::kOk);
  EXPECT_EQ(b.number, 2);
  EXPECT_EQ(Read("data/index"), line_a + store::FormatHeader(b));

  FactSheet stored;
  auto assign = [](FactSheet& s) {
    s.status = store::kAssigned;
    store::LogActionAt(s, 946681300, "Assigned");
    return true;
  };
  ASSERT_EQ(store::UpdateSheet("ABCTGUI.00001", assign, &stored), Stored::kOk);
  EXPECT_EQ(store::FormatSheet(stored), Read("data/ABCTGUI.00001"));
  // The new line is appended; the old one stays behind, dead.
  EXPECT_EQ(Read("data/index"), line_a + store::FormatHeader(b) + store::FormatHeader(stored));
  EXPECT_EQ(LiveIndex(), store::FormatHeader(b) + store::FormatHeader(stored));
  EXPECT_NE(Read("data/history.dat").find(" ABCTGUI.00001 Assigned\n"), std::string::npos);
  // A change that refuses, or a sheet that is not there, writes nothing.
  EXPECT_EQ(store::UpdateSheet("ABCTGUI.00002", [](FactSheet&) { return false; }),
            Stored::kRefused);
  EXPECT_EQ(store::UpdateSheet("ABCTGUI.00009", assign), Stored::kMissing);
  EXPECT_EQ(LiveIndex(), store::FormatHeader(b) + store::FormatHeader(stored));
  // Nothing but the sheets, the index, the journal, the numbering, the lock file and the
  // (empty) intent is left.
  EXPECT_EQ(DataFiles().size(), std::string("ABCTGUI.00001 ABCTGUI.00002 index history.dat "
                                            "numbers index.lock commit.intent index.base ")
                                    .size());
  EXPECT_FALSE(Read("data/commit.intent").starts_with("QUORB-COMMIT"));
}

TEST_F(StoreFiles, SeveralSheetsAreChangedUnderOneLock) {
  FactSheet a = NewSheet("A"), b = NewSheet("B"), c = NewSheet("C");
  for (FactSheet* s : {&a, &b, &c}) ASSERT_EQ(store::CreateSheet(*s), Stored::kOk);
  std::vector<FactSheet> stored;
  auto results = store::UpdateSheets(
      {"ABCTGUI.00003", "ABCTGUI.00009", "ABCTGUI.00001", "ABCTGUI.00002"},
      [](FactSheet& s) {
        if (s.title == "B") return false;
        store::LogActionAt(s, 946681200, "Woken");
        return (s.status = store::kNew + 1), true;
      },
      &stored);
  EXPECT_EQ(results,
            (std::vector<Stored>{Stored::kOk, Stored::kMissing, Stored::kOk, Stored::kRefused}));
  // The untouched sheet first, then the changed ones in the order asked.
  EXPECT_EQ(LiveIndex(), store::FormatHeader(b) + store::FormatHeader(stored[0]) +
                             store::FormatHeader(stored[2]));
  EXPECT_EQ(stored[0].status, 1);
  EXPECT_NE(Read("data/history.dat").find("ABCTGUI.00003 Woken\n"), std::string::npos);
  EXPECT_NE(Read("data/history.dat").find("ABCTGUI.00001 Woken\n"), std::string::npos);
}

TEST_F(StoreFiles, NumbersAreTheLowestFreeAndMovedNamesStayTaken) {
  FactSheet s = NewSheet("Moved");
  ASSERT_EQ(store::CreateSheet(s), Stored::kOk);
  // A header change to another sub-project code: new name from 1, old file and line gone.
  Write("data/ABCTTRD.00001", "taken by hand\n");
  auto move = [](FactSheet& m) {
    m.group = "Third";
    m.subCode = "TRD";
    return true;
  };
  ASSERT_EQ(store::ChangeSheetHeader("ABCTGUI.00001", move, &s), Stored::kOk);
  EXPECT_EQ(store::GetSheetName(s), "ABCTTRD.00002");
  EXPECT_FALSE(Exists("data/ABCTGUI.00001"));
  EXPECT_EQ(Read("data/index"), store::FormatHeader(s));
  // The old name leads to the new one and is never given again.
  EXPECT_EQ(Read("data/forward/ABCTGUI.00001"), "ABCTTRD.00002\n");
  EXPECT_EQ(store::ResolveName("ABCTGUI.00001"), "ABCTTRD.00002");
  EXPECT_EQ(store::FormerNames(s), std::vector<std::string>{"ABCTGUI.00001"});
  FactSheet next = NewSheet("Next");
  ASSERT_EQ(store::CreateSheet(next), Stored::kOk);
  EXPECT_EQ(next.number, 2);
  FactSheet copy = NewSheet("Copy");
  ASSERT_EQ(store::CreateSheet(copy, 1), Stored::kOk);
  EXPECT_EQ(copy.number, 3);
  FactSheet far = NewSheet("Far");
  ASSERT_EQ(store::CreateSheet(far, 7), Stored::kOk);
  EXPECT_EQ(far.number, 7);
  // A sheet moved to a prefix from number 4 up (as the synchronisation moves them) leaves
  // the numbers below free for the next new sheet of that prefix.
  auto study = [](FactSheet& m) { return (m.phase = 0), true; };
  ASSERT_EQ(store::ChangeSheetHeaderFrom("ABCTGUI.00007", 4, study, &far), Stored::kOk);
  EXPECT_EQ(store::GetSheetName(far), "ABCSGUI.00004");
  FactSheet first = NewSheet("First of its phase");
  first.phase = 0;
  ASSERT_EQ(store::CreateSheet(first), Stored::kOk);
  EXPECT_EQ(first.number, 1);
  // Without the numbering file the probe starts from 1 again.
  fs::remove(root_ + "/data/numbers");
  FactSheet again = NewSheet("Again");
  ASSERT_EQ(store::CreateSheet(again), Stored::kOk);
  EXPECT_EQ(again.number, 4);
  // Moved twice: the first name leads through the second to the third.
  auto back = [](FactSheet& m) { return (m.phase = 1), true; };
  ASSERT_EQ(store::ChangeSheetHeader("ABCSGUI.00004", back, &far), Stored::kOk);
  EXPECT_EQ(store::GetSheetName(far), "ABCTGUI.00005");
  EXPECT_EQ(store::ResolveName("ABCTGUI.00007"), "ABCTGUI.00005");
  EXPECT_EQ(store::ResolveName("ABCTGUI.00006"), std::nullopt);
}

// Empty index lines do not lose the lines after them; the same name with another key
// replaces the old line.
TEST_F(StoreFiles, IndexLinesOfOtherSheetsStayAndTheSheetsOwnIsReplaced) {
  FactSheet s = NewSheet("Edited");
  const std::string tail = "|a|0|u|a|P|G|p|1|1|a|0|||0|||0||a|a|||0|1|T";
  Write("data/index", "X|1" + tail + "\n\n\nY|2" + tail);
  ASSERT_EQ(store::CreateSheet(s, 4), Stored::kOk);
  EXPECT_EQ(Read("data/index"), "X|1" + tail + "\nY|2" + tail + "\n" + store::FormatHeader(s));
  // Same code GUI: same sheet name, another key.
  auto regroup = [](FactSheet& sheet) { return (sheet.group = "More"), true; };
  ASSERT_EQ(store::ChangeSheetHeader(store::GetSheetName(s), regroup, &s), Stored::kOk);
  EXPECT_EQ(Read("data/index"), "X|1" + tail + "\nY|2" + tail + "\n" + store::FormatHeader(s));
}

// Readers take each key's last line: after the part the last rewrite compacted, among every
// line when no record of it holds.
TEST_F(StoreFiles, ReadersTakeEachKeysLastLine) {
  auto line = [](int number, const std::string& title) {
    return "X|" + std::to_string(number) + "|a|0|u|a|P|G|p|1|1|a|0|||0|||0||a|a|||0|1|" + title +
           "\n";
  };
  const std::string head = line(1, "one") + line(2, "two") + line(3, "three");
  struct Case {
    const char* what;
    bool record;  // the compacted part is `head`
    std::string index, live;
  };
  const std::vector<Case> cases = {
      {"no record", false,
       line(1, "a") + "\n" + line(2, "b") + line(1, "c") + line(2, "d") + "X|3|cut",
       line(1, "c") + line(2, "d")},
      {"appended after the compacted part", true,
       head + line(2, "new") + line(4, "four") + line(2, "newer"),
       line(1, "one") + line(3, "three") + line(4, "four") + line(2, "newer")},
      {"the compacted part alone", true, head, head},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(root_ + "/data/index.base");
    Write("data/index", head);
    if (c.record) Write("data/index.base", store::IndexBaseText());
    Write("data/index", c.index);  // in place: the same file
    EXPECT_EQ(LiveIndex(), c.live);
  }
  // A record of another file is no record: another index put in its place is read whole.
  Write("data/index.new", line(1, "x") + line(1, "y"));
  fs::rename(root_ + "/data/index.new", root_ + "/data/index");
  EXPECT_EQ(LiveIndex(), line(1, "y"));
}

// Changes append; one that finds the dead lines grown past the slack rewrites the index with
// the live lines alone and records it compacted.
TEST_F(StoreFiles, AChangeCompactsTheIndexOnceDeadLinesHaveGrown) {
  FactSheet a = NewSheet("A"), b = NewSheet("B");
  for (FactSheet* s : {&a, &b}) ASSERT_EQ(store::CreateSheet(*s), Stored::kOk);
  const std::string line_a = store::FormatHeader(a);
  std::string dead;
  while (static_cast<long long>(dead.size()) <= store::kIndexTailSlack) dead += line_a;
  Write("data/index", dead + Read("data/index"));
  auto observe = [](FactSheet& s) { return (s.status = store::kObserved), true; };
  ASSERT_EQ(store::UpdateSheet("ABCTGUI.00002", observe, &b), Stored::kOk);
  EXPECT_EQ(Read("data/index"), line_a + store::FormatHeader(b));
  EXPECT_EQ(Read("data/index.base"), store::IndexBaseText());
  EXPECT_EQ(store::CompactedIndexEnd(), static_cast<long long>(Read("data/index").size()));
  ASSERT_EQ(store::UpdateSheet("ABCTGUI.00001", observe, &a), Stored::kOk);
  EXPECT_EQ(Read("data/index"), line_a + store::FormatHeader(b) + store::FormatHeader(a));
  EXPECT_EQ(LiveIndex(), store::FormatHeader(b) + store::FormatHeader(a));
  EXPECT_EQ(store::CheckStore(false), 0);
}

// The copy of the compacted index in name order that the export reads: the check finds it
// sound as made, and tells a copy whose lines are out of order or not the index's, and what a
// maker that died left; the repair removes them all.
TEST_F(StoreFiles, CheckTellsABadCopyOfTheIndexAndRepairRemovesIt) {
  FactSheet a = NewSheet("A"), b = NewSheet("B"), c = NewSheet("C");
  for (FactSheet* s : {&b, &a, &c}) ASSERT_EQ(store::CreateSheet(*s), Stored::kOk);
  Write("data/index.base", store::IndexBaseText());
  const std::string first = store::FormatHeader(b), second = store::FormatHeader(a),
                    third = store::FormatHeader(c), lines = "data/index.byname/lines";
  struct Case {
    const char* what;
    std::string file, content;  // the content after the copy's head
  };
  for (const Case& bad : {Case{"out of order", lines, second + first + third},
                          Case{"a line short", lines, first + second},
                          Case{"a line changed", lines, first + second + second},
                          Case{"left by a dead maker", lines + ".tmp.1", first}}) {
    SCOPED_TRACE(bad.what);
    // Made again each time: each repair rewrites the index, which the copy then no longer
    // matches.
    ASSERT_TRUE(search::MakeIndexCopy());
    const std::string made = Read(lines), head = made.substr(0, made.find(first));
    ASSERT_EQ(made, head + first + second + third);
    EXPECT_EQ(store::CheckStore(false), 0);
    Write(bad.file, head + bad.content);
    EXPECT_EQ(store::CheckStore(false), 1);
    EXPECT_EQ(store::CheckStore(true), 0);
    EXPECT_FALSE(Exists(bad.file));
  }
}

// Lines read back by their offsets are the lines, whatever the order: lines in a row, runs
// forward through the whole file side by side (windows that grow, lines across their ends), lines
// far apart, backwards, a line longer than any window and the last bytes without a line feed; and
// the bytes a view promises readable after it can be read.
TEST_F(StoreFiles, IndexLinesReadBackByTheirOffsets) {
  std::string text;
  std::vector<std::pair<long long, std::string>> lines;
  for (int i = 0; i < 20000; ++i) {
    // The first lines fill the smallest window exactly; one is longer than the largest.
    std::string line = i == 7001 ? std::string(700 << 10, 'L')
                                 : "X|" + std::to_string(i) + "|" + std::string(i % 150, 't');
    if (i < 16) line.resize(63, 't');
    lines.emplace_back(static_cast<long long>(text.size()), line);
    text += line + '\n';
  }
  lines.emplace_back(static_cast<long long>(text.size()), "X|cut");
  Write("data/index", text + "X|cut");
  std::vector<size_t> order;
  for (size_t i = 0; i < 16; ++i) order.push_back(i);
  for (size_t run = 0; run < 4; ++run)
    for (size_t i = run; i < lines.size(); i += 4) order.push_back(i);
  for (size_t i = lines.size(); i-- > 0;)
    if (i % 97 == 0 || i == 7001) order.push_back(i);
  store::IndexFile index;
  store::IndexLineReader reader(index);
  size_t wrong = 0, followed = 0;
  for (size_t i : order) {
    // The line's length given (as the export knows it), not given, or given wrong.
    const size_t size = lines[i].second.size();
    const std::string_view got = reader.LineAt(lines[i].first, i % 3 == 0   ? size
                                                               : i % 3 == 1 ? 0
                                                                            : size / 2 + 1);
    // Its line feed, then maybe the next lines, within the readable bytes (copied by the
    // C library, which a sanitizer build checks).
    const std::string after(got.data() + got.size(), store::IndexLineReader::kReadable);
    followed += i + 1 < lines.size() && after[0] == '\n';
    if (got != lines[i].second && wrong++ < 3) ADD_FAILURE() << "line " << i;
  }
  EXPECT_EQ(wrong, 0u);
  EXPECT_EQ(followed, order.size() - 1);  // all but the cut line
  EXPECT_EQ(reader.LineAt(static_cast<long long>(text.size()) + 5), "");
}

TEST_F(StoreFiles, NamesThatAreNoSheetFilesAreRefused) {
  const std::string line = "S|1|a|0|u|a|P|G|p|1|1|a|0|||0|||0||a|a|||0|1|T\n";
  for (const char* rel : {"secret", "data/history.dat", "data/index"}) Write(rel, line);
  fs::create_directories(root_ + "/data/X.00001");
  for (std::string name :
       std::vector<std::string>{"../secret", root_ + "/secret", "..", "", "tmp", "index",
                                "history.dat", "X.00001", "ABCTGUI.00009", "../data/index.1"})
    EXPECT_FALSE(store::ReadSheet(name).has_value()) << name;
  FactSheet s = NewSheet("Evil");
  // A project code holding "/" gives no file, no index line and no journal line.
  WriteProjects("Project:A/B:kolvar:tessin:\n");
  base::ResetRequestState();
  store::LogAction(s, "Created");
  EXPECT_EQ(store::CreateSheet(s), Stored::kRefused);
  EXPECT_EQ(Read("data/index"), line);
  EXPECT_EQ(Read("data/history.dat"), line);
}

// The reading of many sheets, done a batch ahead on another thread, gives each in its place
// exactly what ReadSheet gives, across batches cut by count and by size.
TEST_F(StoreFiles, ManySheetsReadInOrderAsOneByOne) {
  const std::string header = "ABC|1|a|0|u|a|Project|Sub|p|1|1|a|0|||0|||0||a|a|||0|1|";
  std::vector<std::string> names;
  for (int i = 1; i <= 600; ++i) {
    names.push_back(fmt::format("ABCTGUI.{:05d}", i));
    // One sheet is larger than a whole batch may be.
    std::string body = i == 300 ? std::string(5 << 20, 'x') + "\n" : "text\n";
    Write("data/" + names.back(), header + "Title " + std::to_string(i) +
                                      "\n=!=!=!=!=!=!=!=!=!=!=!=\nE|0|u|" +
                                      std::to_string(body.size()) + "\n" + body);
  }
  fs::create_directories(root_ + "/data/X.00001");
  names.insert(names.begin() + 255, {"../secret", "X.00001", "ABCTGUI.99999", "index"});
  size_t next = 0;
  store::ReadSheetsInOrder(names, [&](size_t i, std::optional<FactSheet>& sheet) {
    ASSERT_EQ(i, next++);
    std::optional<FactSheet> one = store::ReadSheet(names[i]);
    ASSERT_EQ(sheet.has_value(), one.has_value()) << names[i];
    if (!one) return;
    EXPECT_EQ(sheet->title, one->title);
    ASSERT_EQ(sheet->entries.size(), 1u) << names[i];
    EXPECT_EQ(sheet->entries[0].text, one->entries[0].text);
  });
  EXPECT_EQ(next, names.size());
}

TEST_F(StoreFiles, LogLinesWaitForTheStoringAndAreCut) {
  FactSheet s = NewSheet("Logged");
  store::LogActionAt(s, 946677900, "Created by %s");
  store::LogActionAt(s, 946681200, "%s assigned to %s", "kolvar", "tes\ntin");
  EXPECT_EQ(s.log,
            "1999/12/31:23.05.00 Created by \n"
            "2000/01/01:00.00.00 kolvar assigned to tes tin\n");
  EXPECT_FALSE(Exists("data/history.dat"));
  s.log.clear();
  store::LogActionAt(s, 946681200, std::string(150, 'f'));
  EXPECT_EQ(s.log, "2000/01/01:00.00.00 " + std::string(100, 'f') + "\n");
  s.log.clear();
  store::LogActionAt(s, 946681200, "%s", std::string(600, 'a'));
  EXPECT_EQ(s.log.size(), 499u);
  EXPECT_EQ(s.log.back(), '\n');
  // A format asking for more than it gets is written as it stands, still one line.
  s.log.clear();
  store::LogActionAt(s, 946681200, "%d %s");
  EXPECT_EQ(s.log, "2000/01/01:00.00.00 %d %s\n");
}

TEST_F(StoreFiles, AChangePastItsCommitIsFinishedByTheNextLockTaker) {
  FactSheet s = NewSheet("Nowhere");
  store::LogAction(s, "Lost");
  // The index cannot be replaced (a folder stands in its way): the change is committed, so
  // it is reported stored; the file is in place, the rest waits in the intent.
  fs::create_directories(root_ + "/data/index/x");
  EXPECT_EQ(store::CreateSheet(s), Stored::kOk);
  EXPECT_TRUE(Exists("data/ABCTGUI.00001"));
  EXPECT_EQ(Read("data/history.dat"), "");  // room reserved, nothing written
  EXPECT_TRUE(Read("data/commit.intent").starts_with("QUORB-COMMIT"));
  // An intent is written over the one before: what an older, longer one left after its end
  // line is no part of it.
  Write("data/commit.intent", Read("data/commit.intent") + "add 3\nxx\nend 42\n");
  // No new change goes over an unfinished one.
  FactSheet blocked = NewSheet("Blocked");
  EXPECT_EQ(store::CreateSheet(blocked), Stored::kNoFile);
  fs::remove_all(root_ + "/data/index");
  FactSheet other = NewSheet("Other");
  EXPECT_EQ(store::CreateSheet(other), Stored::kOk);
  EXPECT_EQ(other.number, 2);
  EXPECT_EQ(Read("data/index"), store::FormatHeader(s) + store::FormatHeader(other));
  EXPECT_FALSE(Read("data/commit.intent").starts_with("QUORB-COMMIT"));
  EXPECT_NE(Read("data/history.dat").find(" ABCTGUI.00001 Lost\n"), std::string::npos);
  fs::remove_all(root_ + "/data");
  EXPECT_EQ(store::CreateSheet(s), Stored::kNoFile);
}

// An intent cut short (a power cut while it was written) or garbled is no change: nothing of
// it is carried out, and it is marked done.
TEST_F(StoreFiles, AnIntentThatIsNotWholeIsNoChange) {
  const std::string head = "QUORB-COMMIT 1\npid 1\n7\nstep 1\n0\na 13\nABCTGUI.00001\nb 2\nx\n";
  for (const std::string& intent : {head.substr(0, 40), head + "add", head + "end 12\n"}) {
    Write("data/commit.intent", intent);
    EXPECT_TRUE(store::RecoverStore()) << intent;
    EXPECT_FALSE(Exists("data/ABCTGUI.00001")) << intent;
    EXPECT_FALSE(Read("data/commit.intent").starts_with("QUORB-COMMIT")) << intent;
  }
}

// A change that waits (its staged upload is not there yet) is never written over by a repair,
// which says why it waits; an attachment cut short is found by its recorded size.
TEST_F(StoreFiles, RepairKeepsAWaitingChangeAndCheckFindsShortAttachments) {
  FactSheet s = NewSheet("With a file");
  store::AddEntry(s, "a.txt", "kolvar", 946681200, "TRACE_ABCTGUI.00001/a.txt").kind =
      store::kAttachmentEntry;
  s.entries[0].bytes = 5;
  ASSERT_EQ(store::CreateSheet(s), Stored::kOk);
  Write("data/TRACE_ABCTGUI.00001/a.txt", "12345");
  EXPECT_EQ(store::CheckStore(false), 0);
  Write("data/TRACE_ABCTGUI.00001/a.txt", "12");
  testing::internal::CaptureStdout();
  EXPECT_EQ(store::CheckStore(true), 1);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("holds 2 bytes, not the 5 stored"),
            std::string::npos);
  Write("data/TRACE_ABCTGUI.00001/a.txt", "12345");

  store::Commit waiting;
  waiting.MoveFile("tmp/stage.1.0", "TRACE_ABCTGUI.00001/b.txt");
  testing::internal::CaptureStderr();
  ASSERT_TRUE(store::RunCommit(waiting));  // past its commit point; the move waits
  EXPECT_NE(testing::internal::GetCapturedStderr().find("not finished yet"), std::string::npos);
  const std::string intent = Read("data/commit.intent");
  testing::internal::CaptureStdout();
  EXPECT_EQ(store::CheckStore(true), 1);
  const std::string said = testing::internal::GetCapturedStdout();
  EXPECT_NE(said.find("moving tmp/stage.1.0"), std::string::npos) << said;
  EXPECT_NE(said.find("nothing repaired"), std::string::npos) << said;
  EXPECT_EQ(Read("data/commit.intent"), intent);
  // Once its file is there, the next lock taker finishes it.
  Write("data/tmp/stage.1.0", "bytes");
  EXPECT_TRUE(store::RecoverStore());
  EXPECT_EQ(Read("data/TRACE_ABCTGUI.00001/b.txt"), "bytes");
}

// Files outside the store: many processes change one file through its folder's lock and each
// replace their own beside it; nothing is lost, nothing half-written or temporary is left, a
// secret is for its owner alone, and a lock held too long is a refusal, not a wait for ever.
TEST_F(StoreFiles, FilesOutsideTheStoreAreReplacedWholeUnderTheirLock) {
  constexpr int kProcesses = 12, kTimes = 8;
  const std::string dir = root_ + "/config";
  unit_test::RunProcesses(kProcesses, [&](int id) {
    for (int i = 0; i < kTimes; ++i) {
      auto add = [&](const std::optional<std::string>& old) -> std::optional<std::string> {
        return old.value_or("") + fmt::format("{} {}\n", id, i);
      };
      if (!base::UpdateFileContent(dir + "/shared.cfg", add)) return 1;
      const std::string own = fmt::format("{}/own{}.cfg", dir, id);
      if (!base::ReplaceFileContent(own, std::string(1000 * (i + 1), 'a' + id))) return 2;
    }
    return 0;
  });
  EXPECT_EQ(e2e::Lines(Read("config/shared.cfg")).size(), size_t{kProcesses * kTimes});
  for (int id = 0; id < kProcesses; ++id)
    EXPECT_EQ(Read(fmt::format("config/own{}.cfg", id)), std::string(1000 * kTimes, 'a' + id));
  for (const auto& e : fs::directory_iterator(dir))
    EXPECT_EQ(e.path().filename().string().find(".tmp."), std::string::npos) << e.path();

  struct Case {
    unsigned mode;
    fs::perms perms;
  };
  for (const Case& c : {Case{0600, fs::perms::owner_read | fs::perms::owner_write},
                        Case{0644, fs::perms::owner_read | fs::perms::owner_write |
                                       fs::perms::group_read | fs::perms::others_read}}) {
    ASSERT_TRUE(base::ReplaceFileContent(dir + "/mode.cfg", "x", {.mode = c.mode}));
    EXPECT_EQ(fs::status(dir + "/mode.cfg").permissions(), c.perms) << c.mode;
  }
  base::FolderLock held(dir);
  ASSERT_TRUE(held.Held());
  int error = 0;
  EXPECT_FALSE(base::ReplaceFileContent(dir + "/mode.cfg", "y", {.wait_ms = 50, .error = &error}));
  EXPECT_EQ(error, EWOULDBLOCK);
  EXPECT_EQ(Read("config/mode.cfg"), "x");
}

// Thirty-two processes create, rewrite, copy and move sheets at the same moment, as concurrent
// requests do, and all add entries to one shared sheet: no number is taken twice, no entry,
// index line or journal line is lost, no copy's note lands elsewhere.
TEST_F(StoreFiles, ThirtyTwoMixedWritersLoseNothing) {
  constexpr int kProcesses = 32, kSheetsEach = 3;
  auto sheet = [](const std::string& submitter, const std::string& title) {
    FactSheet s = NewSheet(title);
    s.submitter = submitter;
    store::AddEntry(s, "Description", submitter, 946681200, "Text.");
    store::LogAction(s, "Created by %s", submitter);
    return s;
  };
  FactSheet shared = sheet("kolvar", "shared");
  ASSERT_EQ(store::CreateSheet(shared), Stored::kOk);
  auto open = [](const std::string& title) {
    return [title](FactSheet& s) {
      s.status = store::kOpen;
      store::LogAction(s, "Opened");
      return s.title == title;
    };
  };
  ASSERT_EQ(store::UpdateSheet("ABCTGUI.00001", open("shared")), Stored::kOk);

  // One request's worth of work, many times over: create a sheet, then change it, add an entry
  // to the shared sheet, copy the sheet, and (every other process) move it to another prefix.
  unit_test::RunProcesses(kProcesses, [&](int id) {
    for (int i = 0; i < kSheetsEach; ++i) {
      FactSheet s = sheet(fmt::format("user{}", id), fmt::format("p{} s{}", id, i));
      if (store::CreateSheet(s) != Stored::kOk) return 2;
      const std::string name = store::GetSheetName(s);
      if (store::UpdateSheet(name, open(s.title)) != Stored::kOk) return 3;
      auto comment = [&](FactSheet& to) {
        return store::AddEntry(to, "Comment", s.submitter, 946681200, s.title), true;
      };
      if (store::UpdateSheet("ABCTGUI.00001", comment) != Stored::kOk) return 4;
      auto make = [&](const FactSheet& source, FactSheet& copy) {
        store::LogAction(copy, "Copy of %s", store::GetSheetName(source));
        return source.title == s.title;
      };
      auto note = [](FactSheet& source, std::string_view copy_name) {
        store::LogAction(source, "Copied to %s", copy_name);
      };
      if (store::CopySheet(name, make, note) != Stored::kOk) return 5;
      auto move = [&](FactSheet& again) {
        again.group = "Third";
        again.subCode = "TRD";
        return again.title == s.title;
      };
      if (id % 2 && store::ChangeSheetHeader(name, move) != Stored::kOk) return 6;
    }
    return 0;
  });

  // Every sheet once in the index, every file with its line: the store is sound.
  EXPECT_EQ(store::CheckStore(false), 0);
  std::vector<std::string> lines = e2e::Lines(LiveIndex());
  EXPECT_EQ(lines.size(), static_cast<size_t>(2 * kProcesses * kSheetsEach + 1));
  std::map<std::string, int> titles;
  std::map<std::string, std::string> title_of;
  for (const std::string& line : lines) {
    FactSheet header;
    store::ParseHeader(line, header);
    ++titles[header.title];
    title_of[store::GetSheetName(header)] = header.title;
  }
  for (const auto& [title, count] : titles) EXPECT_EQ(count, title == "shared" ? 1 : 2) << title;
  // Each note names the sheet's own copy (which carries its title).
  int notes = 0;
  for (const auto& [name, title] : title_of) {
    auto read = store::ReadSheet(name);
    ASSERT_TRUE(read.has_value()) << name;
    EXPECT_EQ(read->status, store::kOpen) << name;
    for (const std::string& line : e2e::Lines(read->log)) {
      size_t at = line.find("Copied to ");
      if (at == std::string::npos) continue;
      ++notes;
      EXPECT_EQ(title_of[line.substr(at + 10)], title) << name << ": " << line;
    }
  }
  EXPECT_EQ(notes, kProcesses * kSheetsEach);
  EXPECT_EQ(store::ReadSheet("ABCTGUI.00001")->entries.size(),
            static_cast<size_t>(kProcesses * kSheetsEach + 1));
  // Two journal lines per sheet created (created, opened), one per copy, one per note and
  // one per move.
  EXPECT_EQ(e2e::Lines(Read("data/history.dat")).size(),
            static_cast<size_t>(2 + 4 * kProcesses * kSheetsEach + kProcesses / 2 * kSheetsEach));
}

}  // namespace
