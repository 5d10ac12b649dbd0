#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "base/request_state.h"
#include "store/store.h"

namespace {

namespace fs = std::filesystem;
using store::FactSheet;

// A data directory and a project configuration named by PWD, as the CGI finds them.
class StoreFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ = (fs::temp_directory_path() / "quorb_store_XXXXXX").string();
    root_ = mkdtemp(templ.data());
    fs::create_directories(root_ + "/config");
    fs::create_directories(root_ + "/data/tmp");
    Write("config/quorb.cfg",
          "DATADIR " + root_ + "/data/\nCONFIGDIR " + root_ + "/config/\nLANGUAGE EN\n");
    Write("config/project.cfg", "Project:ABC:kolvar:tessin:\nOther:XY:kolvar::\n");
    Write("config/phase.cfg", "Study:S\nTest:T\n");
    Write("config/Project_subproject.cfg", "Sub:GUI\nMore:GUI\nThird:TRD\n");
    old_pwd_ = getenv("PWD") ? getenv("PWD") : "";
    setenv("PWD", root_.c_str(), 1);
    const char* tz = getenv("TZ");
    old_tz_ = tz ? tz : "";
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    base::ResetRequestState();
  }
  void TearDown() override {
    setenv("PWD", old_pwd_.c_str(), 1);
    setenv("TZ", old_tz_.c_str(), 1);
    tzset();
    base::ResetRequestState();
    fs::remove_all(root_);
  }

  void Write(const std::string& rel, const std::string& text) {
    std::ofstream(root_ + "/" + rel, std::ios::binary) << text;
  }
  std::string Read(const std::string& rel) {
    std::ifstream f(root_ + "/" + rel, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  bool Exists(const std::string& rel) { return fs::exists(root_ + "/" + rel); }
  std::string DataFiles() {
    std::string names;
    for (const auto& e : fs::directory_iterator(root_ + "/data")) {
      if (e.is_regular_file()) names += e.path().filename().string() + " ";
    }
    return names;
  }

  static FactSheet NewSheet(const std::string& title, const std::string& group = "Sub") {
    FactSheet s;
    s.project = "Project";
    s.group = group;
    s.phase = 1;
    s.subCode = "GUI";
    s.created = 946681200;
    s.submitter = "kolvar";
    s.title = title;
    s.Load = 1;
    return s;
  }

  std::string root_, old_pwd_, old_tz_;
};

TEST_F(StoreFiles, WriteReadAndRewriteKeepOneIndexLineAtTheEnd) {
  FactSheet a = NewSheet("First");
  a.number = store::FirstFreeNumber("ABCTGUI");
  EXPECT_EQ(a.number, 1);
  EXPECT_EQ(store::GetSheetName(a), "ABCTGUI.00001");
  store::AddEntry(a, "Description", "kolvar", 946681200, "Text.");
  EXPECT_EQ(store::WriteSheet(a), 1);
  std::string line_a = store::FormatHeader(a);
  EXPECT_EQ(Read("data/index"), line_a);

  FactSheet b = NewSheet("Second");
  b.number = store::FirstFreeNumber("ABCTGUI");
  EXPECT_EQ(b.number, 2);
  store::WriteSheet(b);
  EXPECT_EQ(Read("data/index"), line_a + store::FormatHeader(b));

  auto again = store::ReadSheet("ABCTGUI.00001");
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(store::FormatSheet(*again), Read("data/ABCTGUI.00001"));
  again->status = store::kAssigned;
  store::WriteSheet(*again);
  EXPECT_EQ(Read("data/index"), store::FormatHeader(b) + store::FormatHeader(*again));
  // Nothing but the sheets, the index and the lock file is left behind.
  EXPECT_EQ(DataFiles().size(),
            std::string("ABCTGUI.00001 ABCTGUI.00002 index index.lock ").size());
  EXPECT_FALSE(Exists("data/index.tmp"));
}

TEST_F(StoreFiles, RenamingASheetDropsTheOldKey) {
  FactSheet s = NewSheet("Moved");
  s.number = store::FirstFreeNumber("ABCTGUI");
  store::WriteSheet(s);
  std::string old_header = store::FormatHeader(s);
  // A header change to another sub-project code: new name, new number, old line removed.
  s.group = "Third";
  s.subCode = "TRD";
  s.number = 1;
  store::NextFreeNumber(s);
  EXPECT_EQ(store::GetSheetName(s), "ABCTTRD.00001");
  store::WriteSheet(s);
  fs::remove(root_ + "/data/ABCTGUI.00001");
  EXPECT_EQ(store::UpdateIndex(nullptr, old_header), 1);
  EXPECT_EQ(Read("data/index"), store::FormatHeader(s));
  // The next new sheet of the old prefix takes 1 again.
  EXPECT_EQ(store::FirstFreeNumber("ABCTGUI"), 1);
}

TEST_F(StoreFiles, SameNameWithAnotherKeyLeavesTheOldLine) {
  FactSheet s = NewSheet("Same name");
  s.number = store::FirstFreeNumber("ABCTGUI");
  store::WriteSheet(s);
  std::string old_line = store::FormatHeader(s);
  s.group = "More";  // same code GUI: same sheet name, another key
  store::WriteSheet(s);
  EXPECT_EQ(Read("data/index"), old_line + store::FormatHeader(s));
}

TEST_F(StoreFiles, NumbersAreReservedAtOnce) {
  EXPECT_EQ(store::FirstFreeNumber("ABCTGUI"), 1);
  EXPECT_EQ(store::FirstFreeNumber("ABCTGUI"), 2);  // 1 is taken though not yet written
  EXPECT_TRUE(Exists("data/ABCTGUI.00001"));
  FactSheet copy = NewSheet("Copy");
  copy.number = 1;
  store::NextFreeNumber(copy);
  EXPECT_EQ(copy.number, 3);
}

TEST_F(StoreFiles, EmptyIndexLinesDoNotLoseTheLinesAfterThem) {
  FactSheet s = NewSheet("Edited");
  s.number = 4;
  Write("data/index",
        "X|1|a|0|u|a|P|G|p|1|1|a|0|||0|||0||a|a|||0|1|T\n\n\nY|2|a|0|u|a|P|G|p|1|1|a|0|||0|||0||a|"
        "a|||0|1|T");
  store::WriteSheet(s);
  EXPECT_EQ(Read("data/index"),
            "X|1|a|0|u|a|P|G|p|1|1|a|0|||0|||0||a|a|||0|1|T\n"
            "Y|2|a|0|u|a|P|G|p|1|1|a|0|||0|||0||a|a|||0|1|T\n" +
                store::FormatHeader(s));
}

TEST_F(StoreFiles, NamesLeavingTheDataDirectoryAreRefused) {
  Write("secret", "S|1|a|0|u|a|P|G|p|1|1|a|0|||0|||0||a|a|||0|1|T\n");
  EXPECT_FALSE(store::ReadSheet("../secret").has_value());
  EXPECT_FALSE(store::ReadSheet(root_ + "/secret").has_value());
  EXPECT_FALSE(store::ReadSheet("..").has_value());
  EXPECT_FALSE(store::ReadSheet("").has_value());
  EXPECT_FALSE(store::ReadSheet("tmp").has_value());  // a folder is no sheet
  EXPECT_FALSE(store::ReadSheet("ABCTGUI.00009").has_value());
  FactSheet s = NewSheet("Evil");
  EXPECT_EQ(store::WriteSheetAs(s, "../evil"), 0);
  EXPECT_FALSE(Exists("evil"));
  EXPECT_EQ(Read("data/index"), store::FormatHeader(s));  // the index is still updated
  EXPECT_EQ(store::FirstFreeNumber("../x"), 1);
  EXPECT_FALSE(Exists("x.00001"));
}

TEST_F(StoreFiles, LogActionWritesTheLogLineAndTheJournalLine) {
  FactSheet s = NewSheet("Logged");
  s.number = 12;
  store::LogActionAt(s, "ABCTGUI.00012", 946677900, "Created by %s");
  store::LogActionAt(s, "ABCTGUI.00012", 946681200, "%s assigned to %s", "kolvar", "tessin");
  EXPECT_EQ(s.log,
            "1999/12/31:23.05.00 Created by \n"
            "2000/01/01:00.00.00 kolvar assigned to tessin\n");
  EXPECT_EQ(Read("data/history.dat"),
            "1999/12/31:23.05.00 ABCTGUI.00012 Created by \n"
            "2000/01/01:00.00.00 ABCTGUI.00012 kolvar assigned to tessin\n");
  // The name comes from the configuration when not given.
  store::LogAction(s, "Edit %s", "x\ny");
  std::string journal = Read("data/history.dat");
  EXPECT_NE(journal.find(" ABCTGUI.00012 Edit x y\n"), std::string::npos);
}

TEST_F(StoreFiles, LogLinesAndFormatsAreCut) {
  FactSheet s;
  store::LogActionAt(s, "N.00001", 946681200, std::string(150, 'f'));
  EXPECT_EQ(s.log, "2000/01/01:00.00.00 " + std::string(100, 'f') + "\n");
  s.log.clear();
  store::LogActionAt(s, "N.00001", 946681200, "%s", std::string(600, 'a'));
  EXPECT_EQ(s.log.size(), 499u);
  EXPECT_EQ(s.log.back(), '\n');
  // A format asking for more than it gets is written as it stands, still one line.
  s.log.clear();
  store::LogActionAt(s, "N.00001", 946681200, "%d %s");
  EXPECT_EQ(s.log, "2000/01/01:00.00.00 %d %s\n");
}

TEST_F(StoreFiles, MissingDataDirectory) {
  fs::remove_all(root_ + "/data");
  FactSheet s = NewSheet("Nowhere");
  EXPECT_EQ(store::WriteSheet(s), 0);
  EXPECT_EQ(store::UpdateIndex(&s), 0);
  store::LogAction(s, "Lost");  // the journal line is lost, the log keeps it
  EXPECT_NE(s.log.find(" Lost\n"), std::string::npos);
}

}  // namespace
