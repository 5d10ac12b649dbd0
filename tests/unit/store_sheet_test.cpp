#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "store/buf_file.h"
#include "store/sheet.h"
#include "unit_support.h"

namespace {

using store::BufFile;
using store::FactSheet;

const std::string kHeader =
    "GUI|12|c|946681200|kolvar|b|Project|Sub|prog|1.0|1.1|a|0|||0|||0||a|a|||0|1|Title\n";
const std::string kCreationLog = "1999/12/31:23.00.00 Creation\n";
const std::string kExample = kHeader +
                             "=!=!=!=!=!=!=!=!=!=!=!=\n"
                             "Description|946681200|kolvar|6\n"
                             "Text.\n"
                             "=-=-=-=-=-=-=-=-=-=-=-=\n" +
                             std::to_string(kCreationLog.size()) + "\n" + kCreationLog;

FactSheet Read(const std::string& bytes) {
  BufFile file;
  file.OpenMemory(bytes);
  return store::ReadSheetFrom(file);
}

// Reads, writes, reads and writes again: the two writes must agree.
std::string RoundTrip(const std::string& bytes) {
  FactSheet sheet = Read(bytes);
  std::string first = store::FormatSheet(sheet);
  FactSheet again = Read(first);
  EXPECT_EQ(store::FormatSheet(again), first);
  return first;
}

TEST(StoreSheet, ExampleSheetReadsAndWritesAsGiven) {
  FactSheet s = Read(kExample);
  EXPECT_EQ(s.subCode + "|" + s.submitter + "|" + s.project + "|" + s.group + "|" + s.prog + "|" +
                s.version + "|" + s.exp + "|" + s.title,
            "GUI|kolvar|Project|Sub|prog|1.0|1.1|Title");
  // Letters count from 'a'.
  EXPECT_EQ(std::vector<int>({s.number, s.phase, s.created, s.sev, s.status, s.corrLoad, s.Load}),
            std::vector<int>({12, 2, 946681200, 1, store::kNew, 0, 1}));
  ASSERT_EQ(s.entries.size(), 1u);
  const store::SheetEntry& e = s.entries[0];
  EXPECT_EQ(e.name + "|" + std::to_string(e.time) + "|" + e.who + "|" + e.text,
            "Description|946681200|kolvar|Text.\n");
  EXPECT_EQ(e.kind, store::kTextEntry);
  EXPECT_EQ(s.log, kCreationLog);
  EXPECT_EQ(store::FormatSheet(s), kExample);
  EXPECT_EQ(store::FormatHeader(s), kHeader);
}

TEST(StoreSheet, AttachmentEntriesAndSeveralEntriesRoundTrip) {
  std::string bytes = kHeader +
                      "=|=|=|=|=|=|=|=|=|=|=|=\nreport.txt|946681300|tessin|1|sitea.0a1b\n\n"
                      "=!=!=!=!=!=!=!=!=!=!=!=\nAnalysis|946681400||11\nline one\n\n\n"
                      "=-=-=-=-=-=-=-=-=-=-=-=\n0\n";
  FactSheet s = Read(bytes);
  ASSERT_EQ(s.entries.size(), 2u);
  EXPECT_EQ(s.entries[0].kind, store::kAttachmentEntry);
  EXPECT_EQ(s.entries[0].place + "|" + s.entries[0].text, "sitea.0a1b|\n");  // where it was made
  EXPECT_EQ(s.entries[1].who, "");  // an empty author keeps its body
  EXPECT_EQ(s.entries[1].text, "line one\n\n\n");
  EXPECT_EQ(RoundTrip(bytes), bytes);
  // A body without its final line feed gets one; long lines and NUL bytes survive.
  s = FactSheet{};
  store::AddEntry(s, "Description", "kolvar", 946681200, "Text.");
  bytes = store::FormatSheet(s);
  EXPECT_EQ(s.entries[0].text, "Text.\n");
  EXPECT_NE(bytes.find("Description|946681200|kolvar|6\nText.\n=-="), std::string::npos);
  EXPECT_EQ(RoundTrip(bytes), bytes);
  std::string text = std::string(3000, 'x') + "\n" + std::string("a\0b\n", 4);
  store::AddEntry(s, "D", "w", 1, text);
  bytes = store::FormatSheet(s);
  EXPECT_EQ(Read(bytes).entries[1].text, text);
  EXPECT_EQ(RoundTrip(bytes), bytes);
}

// An attachment entry keeps the size its file had when stored after its length, where a
// reader that knows no size stops; a text entry never carries one.
TEST(StoreSheet, AttachmentSizeFollowsTheLength) {
  struct Case {
    std::string line;
    long long bytes;
    std::string written;  // the line as written again
  };
  const std::vector<Case> cases = {
      {"a.txt|946681300|tessin|22|1043", 1043, "a.txt|946681300|tessin|22|1043"},
      {"a.txt|946681300|tessin|22", -1, "a.txt|946681300|tessin|22"},
      {"a.txt|946681300|tessin|22|x", -1, "a.txt|946681300|tessin|22"},
      {"a.txt|946681300|tessin|22|0", 0, "a.txt|946681300|tessin|22|0"},
  };
  for (const Case& c : cases) {
    const std::string bytes = kHeader + "=|=|=|=|=|=|=|=|=|=|=|=\n" + c.line +
                              "\nTRACE_TaG.00001/a.txt\n=-=-=-=-=-=-=-=-=-=-=-=\n0\n";
    FactSheet s = Read(bytes);
    ASSERT_EQ(s.entries.size(), 1u) << c.line;
    EXPECT_EQ(s.entries[0].bytes, c.bytes) << c.line;
    EXPECT_EQ(s.entries[0].text, "TRACE_TaG.00001/a.txt\n") << c.line;
    EXPECT_NE(RoundTrip(bytes).find(c.written + "\n"), std::string::npos) << c.line;
  }
  FactSheet text;
  store::AddEntry(text, "Description", "kolvar", 946681200, "Text.").bytes = 5;
  EXPECT_NE(store::FormatSheet(text).find("kolvar|6\nText."), std::string::npos);
}

// The title is the whole rest of the line; a "|" in other fields is written as "/", so
// nothing shifts.
TEST(StoreSheet, BarsInTheTitleAndInOtherFields) {
  FactSheet s;
  store::ParseHeader(kHeader.substr(0, kHeader.size() - 7) + "|a|b|c title", s);
  EXPECT_EQ(s.title, "a|b|c title");
  EXPECT_EQ(s.Load, 1);
  s.title = "A|B";
  EXPECT_EQ(Read(store::FormatHeader(s)).title, "A|B");
  s = Read(kExample);
  s.test = "T|12";
  s.prog = "a\nb";
  FactSheet back = Read(store::FormatHeader(s));
  EXPECT_EQ(fmt::format("{}|{}|{}|{}", back.test, back.prog, back.Load, back.title),
            "T/12|a b|1|Title");
  // Read from a hand-edited line, a "|" still shifts the following fields.
  FactSheet shifted;
  store::ParseHeader("GUI|12|c|946681200|kol|var|b|Project|Sub", shifted);
  EXPECT_EQ(shifted.project, "b");
  EXPECT_EQ(shifted.title, "Sub");
}

TEST(StoreSheet, TextFieldsAreCutToTheirCapacity) {
  FactSheet s;
  s.title = std::string(250, 't');
  s.project = std::string(45, 'p');
  s.subCode = "ABCDEFGHIJ";
  s.mdapda = std::string(120, 'm');
  store::AddEntry(s, std::string(210, 'n'), std::string(25, 'w'), 5, "x\n");
  FactSheet back = Read(store::FormatSheet(s));
  EXPECT_EQ(back.title + back.project + back.subCode + back.mdapda + back.entries[0].name +
                back.entries[0].who,
            std::string(199, 't') + std::string(39, 'p') + "ABCDEFG" + std::string(99, 'm') +
                std::string(199, 'n') + std::string(19, 'w'));
  // Parsing cuts as well.
  FactSheet parsed;
  store::ParseHeader(std::string(30, 's') + "|1|a|0|" + std::string(30, 'u'), parsed);
  EXPECT_EQ(parsed.subCode, std::string(7, 's'));
  EXPECT_EQ(parsed.title, std::string(30, 'u'));
}

TEST(StoreSheet, LetterFields) {
  FactSheet s;
  store::ParseHeader("x|1||0||", s);  // empty letters read as 0
  EXPECT_EQ(s.phase, 0);
  EXPECT_EQ(s.sev, 0);
  s.phase = 40;   // past 'z' the letters go on byte by byte
  s.impact = 27;  // the letter would be "|": cannot be stored
  std::string line = store::FormatHeader(s);
  FactSheet back = Read(line);
  EXPECT_EQ(fmt::format("{}|{}|{}", back.phase, back.impact, back.Load),
            fmt::format("40|{}|0", '_' - 'a'));
}

TEST(StoreSheet, SeparatorKindMatchesSeparatorsAndTheirTails) {
  // Lines by the kind they are; a whole separator is 23 characters, so 24 is none, nor is one
  // with a carriage return.
  const std::vector<std::vector<std::string>> by_kind = {
      {"=!=!=!=!=!=!=!=!=!=!=!=", "!=", "=!="},
      {"|=", "=|=|=|=|=|=|=|=|=|=|=|="},
      {"-=", "=-=-=-=-=-=-=-=-=-=-=-="},
      {"=", "", "=!", "!=!=!=!=!=!=!=!=!=!=!=!=", "=!=!=!=!=!=!=!=!=!=!=!=\r"}};
  for (int kind = 0; kind < 4; ++kind)
    for (const std::string& line : by_kind[kind])
      EXPECT_EQ(store::SeparatorKind(line), kind) << line;
}

// Entries and log read from a header and `tail`: each entry as "name:text|", then the log.
TEST(StoreSheet, BodiesAndLogAreBoundByTheirLengths) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "log:"},
      {"=-=-=-=-=-=-=-=-=-=-=-=\n", "log:"},
      // A line that would pass the length is dropped; a later one that fits is kept; the end
      // of file counts as an empty line.
      {"=!=!=!=!=!=!=!=!=!=!=!=\nD|1|w|7\nab\nlonger line\ncd\n", "D:ab\ncd\n\n|log:"},
      // End of file inside the header ends the entry.
      {"=!=!=!=!=!=!=!=!=!=!=!=\nD|1|w\n", "D:|log:"},
      // The log holds at most its length + 1 bytes.
      {"=-=-=-=-=-=-=-=-=-=-=-=\n6\nabcd\nfar too long\nx\n=!=\n", "log:abcd\nx\n"},
      // A separator's tail inside a body ends the entry and opens a new one, whose header
      // swallows the lines up to the end.
      {"=!=!=!=!=!=!=!=!=!=!=!=\nD|1|w|20\nfirst\n!=\nafter\n=-=-=-=-=-=-=-=-=-=-=-=\n0\n",
       "D:first\n|after=-=-=-=-=-=-=-=-=-=-=-=0:|log:"},
  };
  for (const auto& [tail, contents] : cases) {
    FactSheet s = Read(kHeader + tail);
    std::string got;
    for (const store::SheetEntry& e : s.entries) got += e.name + ":" + e.text + "|";
    EXPECT_EQ(got + "log:" + s.log, contents) << tail;
  }
  FactSheet bare = Read(kHeader);
  EXPECT_EQ(store::FormatSheet(bare), kHeader + "=-=-=-=-=-=-=-=-=-=-=-=\n0\n");
}

// A header line longer than the limit is read as two lines; the rules of a line.
TEST(StoreSheet, LinePieces) {
  std::string line = "GUI|12|c|0|" + std::string(1100, 'x') + "\n";
  BufFile file;
  const std::string bytes = line + "next\n";  // read in place: must outlive the reads
  file.OpenMemory(bytes);
  std::string_view got;
  EXPECT_EQ(file.ReadLinePiece(got), 1022);
  EXPECT_EQ(got, line.substr(0, 1022));
  EXPECT_EQ(file.ReadLinePiece(got), static_cast<int>(line.size() - 1 - 1022));
  EXPECT_EQ(file.ReadLinePiece(got), 4);
  EXPECT_EQ(file.ReadLinePiece(got), -1);
  FactSheet s = Read(line + "=-=-=-=-=-=-=-=-=-=-=-=\n2\nx\n");
  EXPECT_EQ(s.title, std::string(199, 'x'));
  EXPECT_EQ(s.log, "x\n");

  std::string exact(1022, 'e');
  const std::string more =
      exact + "\n" + std::string("\0zz\n", 4) + std::string("ab\0c\n\nlast", 10);
  file.OpenMemory(more);
  EXPECT_EQ(file.ReadLinePiece(got), 1022);  // exactly the limit: one line, line feed taken
  EXPECT_EQ(file.ReadLinePiece(got), 0);     // begins with NUL
  EXPECT_EQ(file.ReadLinePiece(got), 2);     // taken up to its NUL
  EXPECT_EQ(got, "ab");
  EXPECT_EQ(file.ReadLinePiece(got), 0);   // empty
  EXPECT_EQ(file.ReadLinePiece(got), -1);  // no line feed after "last"
  EXPECT_EQ(got, "");
}

TEST(StoreSheet, IndexKeyOfLineAgreesWithParsing) {
  for (std::string line :
       {kHeader.substr(0, kHeader.size() - 1), std::string("GUI|7|d|0|x|a|P"),
        std::string("GUI|7|d|0|x|a|P|G"), std::string("no bars"), std::string("|||||||"),
        "A|-3|" + std::string(50, 'q') + "|0|x|a|" + std::string(60, 'p') + "|g|"}) {
    FactSheet s;
    store::ParseHeader(line, s);
    std::string key;
    store::IndexKeyOfLine(line, key);
    EXPECT_EQ(key, store::GetIndexKey(s)) << line;
  }
  FactSheet s = Read(kExample);
  EXPECT_EQ(store::GetIndexKey(s), "Project,Sub,2,12");
}

// The split reads 64 and 16 bytes at a time: lines of every length up to a few blocks, with
// bars and control bytes anywhere, must split as a byte-by-byte reading does.
TEST(StoreSheet, SplitHeaderAgreesWithAPlainSplitAtEveryLength) {
  std::mt19937 rnd(7);
  store::HeaderView view;
  std::string scratch;
  for (int round = 0; round < 3000; ++round) {
    // Fields of at most 7 bytes (no text field is cut to its capacity), some with controls.
    std::vector<std::string> pieces(1 + rnd() % 40);
    std::string line;
    for (std::string& piece : pieces) {
      piece.resize(rnd() % 8);
      for (char& c : piece)
        c = round % 4 == 3 && rnd() % 16 == 0 ? "\t\r"[rnd() % 3]
                                              : static_cast<char>('a' + rnd() % 26);
      line += (line.empty() && &piece == &pieces[0] ? "" : "|") + piece;
    }
    for (size_t fields : {size_t{1}, size_t{8}, size_t{13}, size_t{store::kHeaderFieldCount}}) {
      view = store::HeaderView{};
      store::SplitHeader(line, view, scratch, fields);
      // The bars read: as many as the fields asked, the title's own left in it.
      const size_t read = std::min({fields, size_t{store::kTitleAt}, pieces.size() - 1});
      // Control bytes count in the fields read only (the title's reach the line's end).
      size_t end = 0;
      for (size_t j = 0; j < read; ++j) end += pieces[j].size() + 1;
      if (fields == store::kHeaderFieldCount) end = line.size();
      const bool controls =
          line.substr(0, end).find_first_of(std::string("\t\r\0", 3)) != std::string::npos;
      ASSERT_EQ(view.controls, controls) << fields << " fields of " << line;
      for (size_t k = 0; k < fields; ++k) {
        std::string want;
        if (k < read) want = pieces[k];
        for (size_t j = read; k == store::kTitleAt && j < pieces.size(); ++j)
          want += (j > read ? "|" : "") + pieces[j];
        want = want.substr(0, store::kTitleSize - 1);
        std::replace(want.begin(), want.end(), '\0', ' ');
        ASSERT_EQ(view[k], want) << "field " << k << " of " << fields << ": " << line;
      }
    }
  }
}

TEST(StoreSheet, LeadingNumber) {
  EXPECT_EQ(unit_test::Each(store::LeadingNumber, {" 42abc", "-7", "+00000000000000012|", "x1",
                                                   "2147483648", "99999999999", "-99999999999"}),
            "42|-7|12|0|2147483647|2147483647|-2147483648|");
}

TEST(LocalTime, FormatDateAndWorkingDays) {
  unit_test::ScopedEnv tz("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
  EXPECT_EQ(store::FormatDate(946681200), "2000/01/01:00.00.00");
  EXPECT_EQ(store::FormatDate(946677900), "1999/12/31:23.05.00");
  // 2000/01/01 is a Saturday: Sat, Sun, Mon, Tue.
  EXPECT_EQ(store::CountWorkingDays(946681200, 946681200 + 4 * 86400), 2);
  EXPECT_EQ(store::CountWorkingDays(946681200, 946681200), 0);
  EXPECT_EQ(store::CountWorkingDays(946681200 + 2 * 86400, 946681200 + 2 * 86400 + 1), 1);
}

// The formatter that keeps each local day gives FormatDate's text for every time, in any
// order: at and around every change of offset (found by bisection), in zones with half-hour
// changes, odd historic offsets, leap seconds, and none.
TEST(LocalTime, DateFormatterGivesFormatDate) {
  for (const char* zone : {"CET-1CEST,M3.5.0,M10.5.0/3", "Europe/Paris", "America/New_York",
                           "Australia/Lord_Howe", "Asia/Kolkata", "right/Europe/London", "UTC"}) {
    unit_test::ScopedEnv tz("TZ", zone);
    auto offset = [](long t) {
      std::time_t tt = static_cast<std::time_t>(t);
      std::tm tm{};
      localtime_r(&tt, &tm);
      return tm.tm_gmtoff;
    };
    std::vector<long> times = {0,           -1,         1,         -2147483647L - 1, 2147483647L,
                               -1700000000, 86399,      86400,     915148799,        915148800,
                               915148823,   1483228826, 1483228827};
    for (long t = 946681200 - 400 * 86400L; t < 946681200 + 800 * 86400L; t += 3593) {
      times.push_back(t);
      if (offset(t) == offset(t - 3593)) continue;
      long lo = t - 3593, hi = t;  // the change lies in (lo, hi]
      while (hi - lo > 1) (offset((lo + hi) / 2) == offset(lo) ? lo : hi) = (lo + hi) / 2;
      times.insert(times.end(), {hi - 1, hi, hi + 1, hi + 86399, hi - 86400});
    }
    store::DateFormatter formatter;
    for (int round = 0; round < 2; ++round) {  // the second round from the kept days
      std::string got, want;
      for (long t : times) {
        formatter.Append(got, t);
        want += store::FormatDate(t) + ' ';
        got += ' ';
      }
      EXPECT_EQ(got, want) << zone;
    }
  }
}

}  // namespace
