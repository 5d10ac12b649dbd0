// The statistics files: one line per group and per daily refresh, and what the pages make of
// them (the day-by-day windows of the data pages the plots read).
//
// A line holds 22 decimal numbers separated by single blanks:
//   label time, statuses 0 1 2 3 4 5 7 8 9 6 10 (codes 6 and 7 crossed), estimated load,
//   actual load, active sheets (status 0-3) of severity 1-4, other sheets of severity 1-4.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "store/sheet.h"

namespace stats {

using store::kStatusCount;
// The status codes in the order of a statistics line's fields.
inline constexpr std::array<int, kStatusCount> kStatusFileOrder = {0, 1, 2, 3, 4, 5,
                                                                   7, 8, 9, 6, 10};
inline constexpr int kSeverityCount = 5;

// The counters of one group while the refresh walks the index. Sums are kept wide and held
// at the 32-bit bounds when written.
struct GroupCounts {
  long label = 0;
  std::array<int64_t, kStatusCount> status{};    // by status code
  int64_t load = 0;                              // sum of `Load`
  int64_t corr_load = 0;                         // sum of `corrLoad`
  std::array<int64_t, kSeverityCount> active{};  // status 0-3, by severity
  std::array<int64_t, kSeverityCount> closed{};  // any other status, by severity
};

// Counts one sheet. A severity outside 0-4 counts in the statuses and loads only.
void AddSheet(GroupCounts& counts, int status, int sev, int load, int corr_load);

// The line of a group, with its line feed.
std::string FormatStatLine(const GroupCounts& counts);

// Fields 1 to 18 of a line, as the pages read them.
struct StatLine {
  long label = 0;
  std::array<int, kStatusCount> field{};  // file order: codes 0 1 2 3 4 5 7 8 9 6 10
  int load = 0;
  int corr_load = 0;
  std::array<int, 4> active{};  // severity 1 to 4

  int Active() const { return field[0] + field[1] + field[2] + field[3]; }
  int Closed() const;
  int Corrected() const { return field[4]; }
};

// Reads the leading fields of a line; those the line does not reach stay 0. False for a line
// that does not begin with a number (an empty line, a stray text), which the pages skip.
bool ParseStatLine(std::string_view line, StatLine& out);

// The lines of the data pages 6, 8 and 10, one per day of the window that starts `weeks`
// weeks before `now`: Add each statistics line in file order, then Finish. Text to send is
// appended to `out`.
class DataWindow {
 public:
  DataWindow(int page, long now, int weeks);
  void Add(const StatLine& line, std::string& out);
  void Finish(std::string& out);

 private:
  // Prints the state in force while the window day is before `until` (or not after it).
  void PrintWhileBefore(long until, bool inclusive, const StatLine& state, std::string& out);
  void PrintDay(const StatLine& state, std::string& out);

  int page_;
  long now_;
  long day_;
  bool first_ = true;
  bool printed_any_ = false;
  StatLine current_;  // the state in force (the last line read)
  StatLine printed_;  // page 6: the state the last printed change led to
};

}  // namespace stats
