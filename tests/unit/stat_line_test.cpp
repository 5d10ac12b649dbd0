// The statistics line: its 22 fields with statuses 6 and 7 crossed, read back by the pages,
// and the day windows of the data pages.
#include "stats/stat_line.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <string>

#include "stats/index_fields.h"
#include "store/sheet.h"

namespace {

using stats::DataWindow;
using stats::GroupCounts;
using stats::StatLine;

TEST(StatLine, CodesSixAndSevenAreCrossedAndSeverityZeroIsNotWritten) {
  GroupCounts c;
  c.label = 1700000000;
  stats::AddSheet(c, 6, 1, 3, 0);  // duplicate: field 11
  stats::AddSheet(c, 7, 2, 0, 2);  // not a bug: field 8
  stats::AddSheet(c, 7, 2, 0, 0);
  stats::AddSheet(c, 2, 0, 1, 0);  // active, severity 0: counted, not written
  stats::AddSheet(c, 3, 4, 0, 0);
  stats::AddSheet(c, 12, 9, 5, 0);  // no such status or severity: only the loads count
  EXPECT_EQ(stats::FormatStatLine(c), "1700000000 0 0 1 1 0 0 2 0 0 1 0 9 2 0 0 0 1 1 2 0 0\n");

  StatLine line;
  ASSERT_TRUE(stats::ParseStatLine("1700000000 0 0 1 1 0 0 2 0 0 1 0 9 2 0 0 0 1 1 2 0 0", line));
  // Label, fields of codes 7 and 6, active, closed, load, active of severity 4.
  EXPECT_EQ(fmt::format("{} {} {} {} {} {} {}", line.label, line.field[6], line.field[9],
                        line.Active(), line.Closed(), line.load, line.active[3]),
            "1700000000 2 1 2 3 9 1");
  EXPECT_FALSE(stats::ParseStatLine("", line));
  EXPECT_TRUE(stats::ParseStatLine("5 1 2", line));  // a short line: the rest reads 0
  EXPECT_EQ(line.field[1], 2);
  EXPECT_EQ(line.load, 0);
}

StatLine Line(long label, int n, int c, int sev1) {
  StatLine line;
  line.label = label;
  line.field[0] = n;  // active
  line.field[4] = c;  // corrected, closed
  line.active[0] = sev1;
  return line;
}

// Two weeks before `now`: 15 days (14 and today). Lines at day offsets from the window start.
std::string Window(int page, std::initializer_list<StatLine> lines) {
  const long now = 1700000000;
  DataWindow window(page, now, 2);
  std::string out;
  for (const StatLine& line : lines) window.Add(line, out);
  window.Finish(out);
  return out;
}

std::string Repeat(const std::string& line, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += line;
  return out;
}

TEST(DataWindow, PrintsOneLinePerDayOfTheWindow) {
  const long start = 1700000000 - 14 * 86400;
  const long old = start - 5 * 86400;
  struct Case {
    int page;
    std::initializer_list<StatLine> lines;
    std::string expected;
  };
  const Case cases[] = {
      // No line newer than the window start: 15 lines of the last state.
      {8, {Line(old, 4, 1, 0)}, Repeat("4 0 0 1\n", 15)},
      {10, {Line(old, 4, 1, 2)}, Repeat("2 0 0 0 \n", 15)},
      {6, {Line(old, 4, 1, 0), Line(old + 86400, 6, 3, 0)}, Repeat("0 0 0 0\n", 15)},
      // A line on day 3: page 8 shows the state before it on days 0-2, page 10 its own.
      {8,
       {Line(old, 4, 1, 0), Line(start + 2 * 86400 + 10, 7, 2, 0)},
       Repeat("4 0 0 1\n", 3) + Repeat("7 0 0 2\n", 12)},
      {10,
       {Line(old, 4, 1, 1), Line(start + 2 * 86400 + 10, 7, 2, 3)},
       Repeat("3 0 0 0 \n", 3) + Repeat("3 0 0 0 \n", 12)},
      // Page 6: the change shows once, on the first day after the line, then 0 0.
      {6,
       {Line(old, 4, 1, 0), Line(start + 2 * 86400 + 10, 7, 2, 0)},
       Repeat("0 0 0 0\n", 3) + "3 0 0 1\n" + Repeat("0 0 0 0\n", 11)},
      // An empty file: zeros.
      {8, {}, Repeat("0 0 0 0\n", 15)},
  };
  for (const Case& c : cases) EXPECT_EQ(Window(c.page, c.lines), c.expected) << c.page;
}

// The refresh's own reading of an index line gives the fields the store's parser gives, or
// leaves the line to it.
TEST(IndexFields, AgreeWithTheStoreParser) {
  store::FactSheet s;
  s.project = std::string(45, 'P');  // cut to 39
  s.group = "GUI", s.phase = 3, s.sev = 2, s.status = 9, s.postponed = 1700000000, s.corrLoad = -4;
  s.Load = 1234567890;  // ten digits: the slow way
  s.title = "a title | with bars";
  std::string line = store::FormatHeader(s);
  line.pop_back();
  const std::string cases[] = {
      line,
      "x|1|b|0|sub|c|TEST|Core|p|v|e|j| +12|r|c|0|v|v|0|v|b|a|m|t|7x|08|title",
      "x|1||0|sub||TEST||p|v|e||-3|r|c|0|v|v|0|v|b|a|m|t||2147483648|",
  };
  size_t length;
  for (const std::string& text : cases) {
    stats::IndexFields f;
    ASSERT_TRUE(stats::ScanIndexLine(text, f, length)) << text;
    store::FactSheet expected;
    store::ParseHeader(text, expected);
    constexpr const char* format = "{}|{}|{}|{}|{}|{}|{}|{}";
    EXPECT_EQ(fmt::format(format, f.project, f.group, f.phase, f.sev, f.status, f.postponed,
                          f.corr_load, f.load),
              fmt::format(format, expected.project, expected.group, expected.phase, expected.sev,
                          expected.status, expected.postponed, expected.corrLoad, expected.Load));
    EXPECT_EQ(f.place, text.substr(text.find(f.project), f.place.size()));
  }
  stats::IndexFields f;
  EXPECT_FALSE(stats::ScanIndexLine("a|b|c", f, length));  // short: the store's reading
  EXPECT_FALSE(
      stats::ScanIndexLine(std::string("x|1|b|0|s|c|TE\0ST|", 18) + line.substr(20), f, length));
}

}  // namespace
