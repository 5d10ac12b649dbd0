#include "stats/stat_line.h"

#include <algorithm>
#include <climits>

#include "base/out.h"
#include "base/text.h"

namespace stats {
namespace {

constexpr long kDay = 86400;
constexpr long kWeek = 7 * kDay;

int Held(int64_t value) {
  return static_cast<int>(std::clamp<int64_t>(value, INT_MIN, INT_MAX));
}

// A signed decimal number after optional blanks, as "%ld" reads it; false when there is none.
bool ReadNumber(std::string_view text, size_t& pos, long long& value) {
  while (pos < text.size() && base::IsBlank(text[pos])) ++pos;
  size_t at = pos;
  bool negative = false;
  if (at < text.size() && (text[at] == '-' || text[at] == '+')) negative = text[at++] == '-';
  size_t digits = at;
  long long magnitude = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at)
    magnitude = std::min(magnitude * 10 + (text[at] - '0'), static_cast<long long>(LONG_MAX));
  if (at == digits) return false;
  pos = at;
  value = negative ? -magnitude : magnitude;
  return true;
}

}  // namespace

void AddSheet(GroupCounts& counts, int status, int sev, int load, int corr_load) {
  counts.load += load;
  counts.corr_load += corr_load;
  if (status >= 0 && status < kStatusCount) ++counts.status[status];
  if (sev < 0 || sev >= kSeverityCount) return;
  if (status >= 0 && status <= 3)
    ++counts.active[sev];
  else
    ++counts.closed[sev];
}

std::string FormatStatLine(const GroupCounts& c) {
  auto s = [&c](int i) { return Held(c.status[kStatusFileOrder[i]]); };
  std::string line = base::Sprintf("%ld %d %d %d ", c.label, s(0), s(1), s(2));
  line += base::Sprintf("%d %d %d %d ", s(3), s(4), s(5), s(6));
  line += base::Sprintf("%d %d %d ", s(7), s(8), s(9));
  line += base::Sprintf("%d %d %d", s(10), Held(c.load), Held(c.corr_load));
  for (int sev = 1; sev <= 4; ++sev) line += base::Sprintf(" %d", Held(c.active[sev]));
  for (int sev = 1; sev <= 4; ++sev) line += base::Sprintf(" %d", Held(c.closed[sev]));
  line += '\n';
  return line;
}

int StatLine::Closed() const {
  int64_t sum = 0;
  for (int i = 4; i < kStatusCount; ++i) sum += field[i];
  return Held(sum);
}

bool ParseStatLine(std::string_view line, StatLine& out) {
  out = StatLine();
  size_t pos = 0;
  long long value = 0;
  if (!ReadNumber(line, pos, value)) return false;
  out.label = static_cast<long>(value);
  int* rest[17];
  for (int i = 0; i < kStatusCount; ++i) rest[i] = &out.field[i];
  rest[11] = &out.load;
  rest[12] = &out.corr_load;
  for (int i = 0; i < 4; ++i) rest[13 + i] = &out.active[i];
  for (int* field : rest) {
    if (!ReadNumber(line, pos, value)) break;
    *field = Held(value);
  }
  return true;
}

DataWindow::DataWindow(int page, long now, int weeks)
    : page_(page), now_(now), day_(now - weeks * kWeek) {}

void DataWindow::PrintDay(const StatLine& state, std::string& out) {
  if (page_ == 6) {
    long long active = static_cast<long long>(state.Active()) - printed_.Active();
    long long closed = static_cast<long long>(state.Closed()) - printed_.Closed();
    out += base::Sprintf("%lld 0 0 %lld\n", active, closed);
    printed_ = state;
  } else if (page_ == 8) {
    out += base::Sprintf("%d 0 0 %d\n", state.Active(), state.Corrected());
  } else {
    out += base::Sprintf("%d %d %d %d \n", state.active[0], state.active[1], state.active[2],
                         state.active[3]);
  }
  printed_any_ = true;
}

// Days never go past today: a line labelled in the future (a clock set back) cannot make
// the page run on.
void DataWindow::PrintWhileBefore(long until, bool inclusive, const StatLine& state,
                                  std::string& out) {
  while ((inclusive ? day_ <= until : day_ < until) && day_ <= now_) {
    PrintDay(state, out);
    day_ += kDay;
  }
}

void DataWindow::Add(const StatLine& line, std::string& out) {
  if (first_) {
    first_ = false;
    current_ = line;
    printed_ = line;
    return;
  }
  // The days before this line show the state in force until it: the previous line's (for
  // page 10, this line's own values).
  PrintWhileBefore(line.label, false, page_ == 10 ? line : current_, out);
  current_ = line;
  if (page_ == 6 && !printed_any_) printed_ = line;
}

void DataWindow::Finish(std::string& out) {
  PrintWhileBefore(now_, true, current_, out);
}

}  // namespace stats
