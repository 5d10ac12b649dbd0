// The few header fields the statistics read from each index line, taken without building a
// sheet: the daily refresh walks every line of the index.
#pragma once

#include <string_view>

namespace stats {

struct IndexFields {
  std::string_view project;  // cut as the sheet's field is (39 characters)
  std::string_view group;
  std::string_view place;  // "project|group" as the line has them: one key for both
  int phase = 0;
  int sev = 0;
  int status = 0;
  int postponed = 0;
  int corr_load = 0;
  int load = 0;
};

// Reads the fields of the line that begins `text` (the rest of the index) as
// store::ParseHeader would, and sets `length` to the line's length without its line feed
// (npos when no line feed ends it). False for a line it leaves to ParseHeader: one with a
// NUL byte or fewer than 26 "|".
bool ScanIndexLine(std::string_view text, IndexFields& fields, size_t& length);

}  // namespace stats
