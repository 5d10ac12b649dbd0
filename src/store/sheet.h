// The fact-sheet record and its text formats: the header line (also the index line), the
// entries with their separators, and the log block that ends every sheet file.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "base/numbers.h"
#include "store/buf_file.h"

namespace store {

// Capacities of the text fields, terminator included: a longer value is cut to the capacity
// minus one when a header is formatted or parsed.
inline constexpr size_t kSubCodeSize = 8;
inline constexpr size_t kLoginSize = 20;    // submitter, resp, corrector, verifier, entry who
inline constexpr size_t kNameSize = 40;     // project, group, prog
inline constexpr size_t kVersionSize = 30;  // version, exp, corrVers, verVers
inline constexpr size_t kTitleSize = 200;   // title, entry name
inline constexpr size_t kTestSize = 50;
inline constexpr size_t kMdapdaSize = 100;
// An entry header is collected up to this many bytes.
inline constexpr size_t kEntryHeaderLimit = 1024;

// Entry kinds.
inline constexpr int kTextEntry = 0;
inline constexpr int kAttachmentEntry = 1;

// One text or attachment entry. Its byte length (`len` of the file) is text.size().
struct SheetEntry {
  std::string name;  // heading: a label, an analysis title, an attached file's title
  int time = 0;      // seconds since 1970
  std::string who;   // the author's login
  std::string text;  // the body; ends with a line feed once written
  int kind = kTextEntry;
  // Where it was made, in a project with partner sites: "<site>.<random>", after `len` in
  // its header ("name|time|who|len|place"), which older readers pass over. Empty for an
  // entry made elsewhere.
  std::string place;
  // An attachment's size in bytes when it was stored, -1 when not known (older sheets). It
  // follows the length (and the place, when there is one) in the entry's line, "|<size>",
  // where older readers stop reading.
  long long bytes = -1;
};
// The longest place kept; a place holds letters, digits, ".", "_" and "-" only.
inline constexpr size_t kPlaceSize = 64;

// Status codes.
enum Status {
  kNew = 0,
  kObserved = 1,
  kAssigned = 2,
  kOpen = 3,
  kCorrected = 4,
  kVerified = 5,
  kDuplicate = 6,
  kNotABug = 7,
  kNotReproducible = 8,
  kPostponed = 9,
  kAbandoned = 10,
};
inline constexpr int kStatusCount = 11;
// The letter of each status, the suffix of the search form's check boxes.
inline constexpr std::string_view kStatusLetters = "NSAOCVDBRPT";
// The label of status `code` is this message plus the code; the code kStatusCount stands for
// the creation date.
inline constexpr int kStatusLabelBase = 200;
// The short code of each status, as lists and statistics show it.
inline constexpr std::string_view kStatusCodes[kStatusCount] = {"N", "Obs", "A",  "O", "C", "V",
                                                                "D", "NB",  "NR", "P", "Ab"};

// The label of status `code` (message kStatusLabelBase + code) for a code from 0 to
// kStatusCount; empty otherwise.
const std::string& GetStatusLabel(int code);
// The short code of status `code`; empty for any other number.
std::string_view GetStatusCode(int code);
// The open group: new, observed, assigned, open, postponed.
bool IsOpenStatus(int status);

// A line of the journal waiting for its sheet to be stored: the journal names the sheet by
// the name it is stored under.
struct JournalNote {
  std::string date;
  std::string message;
};

// One fact sheet. Times are seconds since 1970 (0: unset); the small codes sev, phase,
// status, type and impact are stored in files as the letter 'a' + value.
struct FactSheet {
  std::string subCode;
  int number = 0;
  int created = 0;
  std::string submitter;
  int sev = 0;
  std::string project;
  std::string group;
  int phase = 0;
  std::string prog;
  std::string version;
  std::string title;
  std::string exp;
  int status = kNew;
  int postponed = 0;
  std::string resp;
  std::string corrector;
  int corrDate = 0;
  std::string corrVers;
  std::string verifier;
  int verDate = 0;
  std::string verVers;
  std::string test;
  int type = 0;
  int impact = 0;
  std::string mdapda;
  int corrLoad = 0;
  int Load = 0;
  std::string log;  // one line per action, oldest first
  std::vector<SheetEntry> entries;
  // The actions logged since the sheet was read, for the journal once the sheet is stored.
  std::vector<JournalNote> journal;
};

// The header line with its line feed. Text fields are cut to their capacity; a "|" inside
// any field but the title is written as "/", and a line feed or NUL byte as a blank, so
// the line always reads back into the same fields.
std::string FormatHeader(const FactSheet& sheet);
// Fills the 27 header fields from a header line (without its line feed); fields the line
// does not reach are left empty or 0. The title is the rest of the line after the 26th "|".
void ParseHeader(std::string_view line, FactSheet& sheet);
// The 27 fields of a header line as ParseHeader reads them, without copying them: each a view
// into the line (or into the caller's scratch, for a line with NUL bytes), cut to its
// capacity; the fields the line does not reach are empty. For walks of the whole index.
enum HeaderFieldAt : size_t {
  kSubCodeAt,
  kNumberAt,
  kPhaseAt,
  kCreatedAt,
  kSubmitterAt,
  kSevAt,
  kProjectAt,
  kGroupAt,
  kProgAt,
  kVersionAt,
  kExpAt,
  kStatusAt,
  kPostponedAt,
  kRespAt,
  kCorrectorAt,
  kCorrDateAt,
  kCorrVersAt,
  kVerifierAt,
  kVerDateAt,
  kVerVersAt,
  kTypeAt,
  kImpactAt,
  kMdapdaAt,
  kTestAt,
  kCorrLoadAt,
  kLoadAt,
  kTitleAt,
  kHeaderFieldCount
};
// A number field (created, number, dates, loads) as the sheet holds it: LeadingNumber, with
// a quick way for the usual field of one to nine digits and nothing else.
inline int HeaderNumber(std::string_view text) {
  const size_t n = text.size();
  if (n - 1 < 9) {
    unsigned value = 0;
    size_t i = 0;
    for (; i < n; ++i) {
      const unsigned digit = static_cast<unsigned char>(text[i]) - unsigned{'0'};
      if (digit > 9) break;
      value = value * 10 + digit;
    }
    if (i == n) return static_cast<int>(value);
  }
  return base::LeadingNumber(text);
}
// A small code (sev, phase, status, type, impact): its letter less 'a'; an empty field (or one
// starting with a NUL byte, which no letter can be) reads as 0.
inline int HeaderCode(std::string_view field) {
  return field.empty() || field[0] == '\0' ? 0 : static_cast<unsigned char>(field[0]) - 'a';
}
struct HeaderView {
  std::string_view field[kHeaderFieldCount];
  bool controls = false;  // whether the fields read hold a byte below 0x20 (tab, NUL ...)
  std::string_view operator[](size_t at) const { return field[at]; }
  int Number(size_t at) const { return HeaderNumber(field[at]); }
  int Code(size_t at) const { return HeaderCode(field[at]); }
};
// Splits `line` (without its line feed) into `view`, its first `fields` fields only (the
// others are left as they were); `scratch` holds the line's copy when it has NUL bytes, and
// must outlive the view.
void SplitHeader(std::string_view line, HeaderView& view, std::string& scratch,
                 size_t fields = kHeaderFieldCount);

// Reads one line (ReadLinePiece); when it holds a character, clears the log and entries and
// parses it into `sheet`. Returns the line length, 0 or -1.
int ReadHeader(BufFile& file, FactSheet& sheet);

// The index key of a sheet: "%s,%s,%d,%d" of project, group, phase and number.
std::string GetIndexKey(const FactSheet& sheet);
// The index key of a header line (without its line feed), as ParseHeader would give it,
// into `key`; for walking the index without building sheets.
void IndexKeyOfLine(std::string_view line, std::string& key);

// 0, 1 or 2 when `line` is a text-entry, attachment or log separator, or a tail of one at
// least two characters long; 3 otherwise.
int SeparatorKind(std::string_view line);
inline constexpr std::string_view kTextSeparator = "=!=!=!=!=!=!=!=!=!=!=!=";
inline constexpr std::string_view kAttachmentSeparator = "=|=|=|=|=|=|=|=|=|=|=|=";
inline constexpr std::string_view kLogSeparator = "=-=-=-=-=-=-=-=-=-=-=-=";

// Reads a whole sheet file from `file` (header, entries, log block).
FactSheet ReadSheetFrom(BufFile& file);
// The bytes of a sheet file. A body without a final line feed gets one, in `sheet` too.
std::string FormatSheet(FactSheet& sheet);

// Appends a text entry with a copy of `text`; returns it. In a project with partner sites
// the entry gets a new place, so that no two entries are ever taken for one.
SheetEntry& AddEntry(FactSheet& sheet, std::string_view name, std::string_view who, int time,
                     std::string_view text);

// "%Y/%m/%d:%H.%M.%S" of `time` in local time, e.g. 1999/12/31:23.05.00.
std::string FormatDate(long time);
// FormatDate for many times: the local day of each time met is kept with its start, when
// the day has one offset from UTC at both ends, so that most times need no localtime_r
// (a day around a change of offset takes localtime_r for each time).
class DateFormatter {
 public:
  // The most bytes a date takes.
  static constexpr size_t kRoom = 48;
  // Writes FormatDate(time) at `out`, which has kRoom bytes; returns where it ends. A time of
  // one of the two days last written is written here, in a few moves (a list's times come in
  // runs: the creation times of sheets in order, their correction times, ...).
  char* Put(char* out, long time) {
    const Day* d = &last_[0];
    if (time < d->from || time >= d->to) {
      d = &last_[1];
      if (time < d->from || time >= d->to) return PutOfDay(out, time);
    }
    std::memcpy(out, d->text, sizeof d->text);
    out += d->size;
    // ":%02d.%02d.%02d" of the seconds into the day.
    const unsigned into = static_cast<unsigned>(time - d->from), hours = into / 3600,
                   minutes = (into - hours * 3600) / 60,
                   seconds = into - hours * 3600 - minutes * 60;
    out[0] = ':';
    std::memcpy(out + 1, kPairs + 2 * hours, 2);
    out[3] = '.';
    std::memcpy(out + 4, kPairs + 2 * minutes, 2);
    out[6] = '.';
    std::memcpy(out + 7, kPairs + 2 * seconds, 2);
    return out + 9;
  }
  // Appends FormatDate(time) to `out`.
  void Append(std::string& out, long time);

 private:
  struct Day {
    long from = 1, to = 0;  // [from, to): the times of this local day, one offset throughout
    char text[24] = {};     // "%Y/%m/%d"
    unsigned char size = 0;
  };
  static constexpr char kPairs[] =
      "00010203040506070809101112131415161718192021222324252627282930"
      "3132333435363738394041424344454647484950515253545556575859";
  char* PutOfDay(char* out, long time);
  void Used(const Day& day) {
    last_[1] = last_[0];
    last_[0] = day;
  }
  Day last_[2];  // the days of the last times written, when they were kept
  // Two days for each day since 1970 in UTC, modulo the table's size: a UTC day meets two
  // local days at most.
  static constexpr size_t kDays = 1024;
  std::vector<Day> days_ = std::vector<Day>(2 * kDays);
};
// The steps of one day from `from` (inclusive) to `to` (exclusive) whose local weekday is
// neither Saturday nor Sunday.
int CountWorkingDays(long from, long to);

// The leading decimal number of a field (white space, sign, digits; held at the 32-bit bounds).
using base::LeadingNumber;

}  // namespace store
