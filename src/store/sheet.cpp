#include "store/sheet.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <limits>
#include <random>
#include <string>
#include <utility>

#include "base/out.h"
#include "config/language.h"
#include "config/main_config.h"
#include "config/projects.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace store {
namespace {

constexpr size_t kHeaderFields = 27;

// The bytes a stored text field may not hold, and what stands for them: "|" would shift
// the following fields, a line feed would end the line, a NUL byte would cut it.
char Substitute(char c, bool pipe_allowed) {
  if (c == '|' && !pipe_allowed) return '/';
  if (c == '\n' || c == '\0') return ' ';
  return c;
}

void AppendText(std::string& out, std::string_view value, size_t capacity,
                bool pipe_allowed = false) {
  if (value.size() > capacity - 1) value = value.substr(0, capacity - 1);
  for (char c : value) out += Substitute(c, pipe_allowed);
}

void AppendNumber(std::string& out, long value) {
  unsigned long magnitude =
      value < 0 ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
  if (value < 0) out += '-';
  size_t first = out.size();
  do {
    out += static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude);
  std::reverse(out.begin() + static_cast<long>(first), out.end());
}

// A small code is written as the letter 'a' + value. A value whose letter would break the
// line ("|", a line feed, a NUL byte) cannot be stored and is written as "_".
void AppendLetter(std::string& out, int value) {
  char c = static_cast<char>(unsigned{'a'} + static_cast<unsigned>(value));
  out += (c == '|' || c == '\n' || c == '\0') ? '_' : c;
}

// A field read from a line, cut to its capacity. Lines reach the parsers without NUL
// bytes (see WithoutNul).
void Assign(std::string& dst, std::string_view value, size_t capacity) {
  dst.assign(value.substr(0, capacity - 1));
}

// The line itself, or, when it holds NUL bytes, a copy in `scratch` with blanks for them:
// a field reads as it would be written.
std::string_view WithoutNul(std::string_view line, std::string& scratch) {
  if (line.empty() || !std::memchr(line.data(), 0, line.size())) return line;
  scratch.assign(line);
  for (char& c : scratch) {
    if (c == '\0') c = ' ';
  }
  return scratch;
}

// Hands the positions of the first `max` "|" of the line, in order, to `bar`; returns their
// count. Vector compares where the processor has them: the index walk parses every line.
template <typename Bar>
size_t ScanBars(std::string_view line, size_t max, Bar&& bar_at) {
  const char* p = line.data();
  size_t n = line.size();
  size_t count = 0;
  size_t i = 0;
#if defined(__SSE2__)
  // 64 bytes at a time: one bit mask from four compares of sixteen bytes.
  const __m128i bar = _mm_set1_epi8('|');
  auto block = [&](size_t at) {
    __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at));
    return static_cast<uint64_t>(
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, bar))));
  };
  for (; i + 64 <= n; i += 64) {
    uint64_t hits = block(i) | block(i + 16) << 16 | block(i + 32) << 32 | block(i + 48) << 48;
    for (; hits; hits &= hits - 1) {
      bar_at(count, i + static_cast<size_t>(std::countr_zero(hits)));
      if (++count == max) return count;
    }
  }
  // Then sixteen bytes at a time, the last load ending with the line (its bytes already
  // looked at left out).
  for (; i < n && n >= 16; i += 16) {
    const size_t at = std::min(i, n - 16);
    unsigned hits = static_cast<unsigned>(block(at)) >> (i - at);
    for (; hits; hits &= hits - 1) {
      bar_at(count, i + static_cast<size_t>(std::countr_zero(hits)));
      if (++count == max) return count;
    }
  }
#endif
  for (; i < n; ++i) {
    if (p[i] != '|') continue;
    bar_at(count, i);
    if (++count == max) break;
  }
  return count;
}

// Stores the positions of the first `max` "|" of the line in `bars`; returns their count.
size_t FindBars(std::string_view line, size_t* bars, size_t max) {
  return ScanBars(line, max, [bars](size_t k, size_t at) { bars[k] = at; });
}

// The 26 fields before the title, in the order of the header line. Text fields are cut to
// their capacity; numbers are decimal; small codes are one letter.
enum class FieldKind { kText, kNumber, kLetter };
struct HeaderField {
  FieldKind kind;
  std::string FactSheet::*text;  // kText
  int FactSheet::*number;        // kNumber, kLetter
  size_t capacity;               // kText
};
constexpr HeaderField Text(std::string FactSheet::*field, size_t capacity) {
  return {FieldKind::kText, field, nullptr, capacity};
}
constexpr HeaderField Number(int FactSheet::*field) {
  return {FieldKind::kNumber, nullptr, field, 0};
}
constexpr HeaderField Letter(int FactSheet::*field) {
  return {FieldKind::kLetter, nullptr, field, 0};
}
const HeaderField kFields[kHeaderFields - 1] = {
    Text(&FactSheet::subCode, kSubCodeSize),
    Number(&FactSheet::number),
    Letter(&FactSheet::phase),
    Number(&FactSheet::created),
    Text(&FactSheet::submitter, kLoginSize),
    Letter(&FactSheet::sev),
    Text(&FactSheet::project, kNameSize),
    Text(&FactSheet::group, kNameSize),
    Text(&FactSheet::prog, kNameSize),
    Text(&FactSheet::version, kVersionSize),
    Text(&FactSheet::exp, kVersionSize),
    Letter(&FactSheet::status),
    Number(&FactSheet::postponed),
    Text(&FactSheet::resp, kLoginSize),
    Text(&FactSheet::corrector, kLoginSize),
    Number(&FactSheet::corrDate),
    Text(&FactSheet::corrVers, kVersionSize),
    Text(&FactSheet::verifier, kLoginSize),
    Number(&FactSheet::verDate),
    Text(&FactSheet::verVers, kVersionSize),
    Letter(&FactSheet::type),
    Letter(&FactSheet::impact),
    Text(&FactSheet::mdapda, kMdapdaSize),
    Text(&FactSheet::test, kTestSize),
    Number(&FactSheet::corrLoad),
    Number(&FactSheet::Load),
};

// Stores field `index` (0 for the first; 26 and beyond: the title) of a header line.
[[gnu::always_inline]] inline void StoreField(FactSheet& s, size_t index, std::string_view v) {
  if (index >= kHeaderFields - 1) return Assign(s.title, v, kTitleSize);
  const HeaderField& f = kFields[index];
  switch (f.kind) {
    case FieldKind::kText:
      return Assign(s.*f.text, v, f.capacity);
    case FieldKind::kNumber:
      s.*f.number = HeaderNumber(v);
      return;
    case FieldKind::kLetter:
      s.*f.number = HeaderCode(v);
      return;
  }
}

// ParseHeader of a line known to hold no NUL byte.
void ParseClean(std::string_view line, FactSheet& sheet);
// Returns how many bytes of the line the fields read lie in.
size_t SplitClean(std::string_view line, HeaderView& view, size_t fields = kHeaderFields);

// Reads one entry after its separator line into `entry`. Returns false at end of file,
// else leaves the separator line that ended the entry in `line`.
bool IsPlaceChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == '-';
}

// The place of an entry header: its leading place characters, at most kPlaceSize.
std::string PlaceOf(std::string_view text) {
  size_t n = 0;
  while (n < text.size() && n < kPlaceSize && IsPlaceChar(text[n])) ++n;
  return std::string(text.substr(0, n));
}

// This site's name and a random part.
std::string NewPlace() {
  std::string host = PlaceOf(config::GetConfig("HOSTNAME")).substr(0, kPlaceSize - 14);
  static unsigned counter = 0;
  std::random_device random;
  return base::Sprintf("%s.%08x%04x", host.empty() ? "localhost" : host, random(),
                       (static_cast<unsigned>(getpid()) + ++counter) & 0xffff);
}

bool ReadEntry(BufFile& file, SheetEntry& entry, std::string_view& line) {
  // The entry header: lines joined until two "|" are seen, at most 1024 bytes.
  std::string head;
  bool more = true;
  size_t pipes = 0;
  while (pipes < 2) {
    if (!file.ReadLineView(line)) {
      more = false;
      break;
    }
    size_t room = kEntryHeaderLimit - head.size();
    std::string_view add = line.substr(0, room);
    for (char c : add) pipes += c == '|';
    head.append(add);
  }
  // name|time|who|len
  std::string scratch;
  std::string_view rest = WithoutNul(head, scratch);
  size_t bar = rest.find('|');
  Assign(entry.name, rest.substr(0, bar), kTitleSize);
  long bound = 0;
  if (bar != std::string_view::npos) {
    rest.remove_prefix(bar + 1);
    entry.time = LeadingNumber(rest);
    bar = rest.find('|');
    if (bar != std::string_view::npos) {
      rest.remove_prefix(bar + 1);
      bar = rest.find('|');
      Assign(entry.who, rest.substr(0, bar), kLoginSize);
      if (bar != std::string_view::npos) {
        rest.remove_prefix(bar + 1);
        bound = LeadingNumber(rest);
        bar = rest.find('|');
        // What older readers pass over: the place it was made ("<site>.<random>", never
        // digits alone) and an attachment's size (digits), each after a "|"; anything else
        // there is dropped.
        for (int n = 0; n < 2 && bar != std::string_view::npos; ++n) {
          rest.remove_prefix(bar + 1);
          bar = rest.find('|');
          std::string_view field = rest.substr(0, bar);
          while (!field.empty() && (field.back() == '\n' || field.back() == '\r'))
            field.remove_suffix(1);
          long long bytes = 0;
          auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), bytes);
          if (!field.empty() && ec == std::errc() && end == field.data() + field.size())
            entry.bytes = bytes;
          else if (field.find('.') != std::string_view::npos && PlaceOf(field) == field)
            entry.place = field;
        }
      }
    }
  }
  // The body: lines up to the next separator, as long as they fit in the announced length.
  while (more) {
    if (!file.ReadLineView(line)) {
      more = false;
      // The end of the file counts as one more empty line.
      if (static_cast<long>(entry.text.size()) + 1 <= bound) entry.text += '\n';
      break;
    }
    if (SeparatorKind(line) != 3) break;
    if (static_cast<long>(entry.text.size() + line.size()) + 1 <= bound) {
      entry.text += line;
      entry.text += '\n';
    }
  }
  return more;
}

void ReadLog(BufFile& file, FactSheet& sheet) {
  std::string_view line;
  long long bound = file.ReadLineView(line) ? LeadingNumber(line) : 0;
  bound += 2;  // the log holds at most its announced length plus one byte
  sheet.log.clear();
  while (file.ReadLineView(line)) {
    if (static_cast<long long>(sheet.log.size() + line.size()) + 1 < bound) {
      sheet.log += line;
      sheet.log += '\n';
    }
  }
}

}  // namespace

const std::string& GetStatusLabel(int code) {
  static const std::string kEmpty;
  if (code < 0 || code > kStatusCount) return kEmpty;
  return config::Msg(kStatusLabelBase + code);
}

std::string_view GetStatusCode(int code) {
  return code < 0 || code >= kStatusCount ? std::string_view() : kStatusCodes[code];
}

bool IsOpenStatus(int status) {
  return (status >= kNew && status <= kOpen) || status == kPostponed;
}

std::string FormatHeader(const FactSheet& s) {
  std::string out;
  out.reserve(256);
  for (const HeaderField& f : kFields) {
    switch (f.kind) {
      case FieldKind::kText:
        AppendText(out, s.*f.text, f.capacity);
        break;
      case FieldKind::kNumber:
        AppendNumber(out, s.*f.number);
        break;
      case FieldKind::kLetter:
        AppendLetter(out, s.*f.number);
        break;
    }
    out += '|';
  }
  AppendText(out, s.title, kTitleSize, /*pipe_allowed=*/true);
  out += '\n';
  return out;
}

// Whether the line holds a byte below 0x20 (a NUL byte, a tab, a carriage return ...).
bool HasControl(std::string_view line) {
  const char* p = line.data();
  const size_t n = line.size();
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i top = _mm_set1_epi8(0x1f);
  auto low = [&](size_t at) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + at));
    return _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(chunk, top), chunk));
  };
  for (; i + 64 <= n; i += 64)
    if (low(i) | low(i + 16) | low(i + 32) | low(i + 48)) return true;
  for (; i + 16 <= n; i += 16)
    if (low(i)) return true;
  // The last bytes in one load that ends with the line.
  if (i < n && n >= 16) return low(n - 16) != 0;
#endif
  for (; i < n; ++i)
    if (static_cast<unsigned char>(p[i]) < 0x20) return true;
  return false;
}

void SplitHeader(std::string_view line, HeaderView& view, std::string& scratch, size_t fields) {
  // Only the bytes of the fields read are looked at for control bytes; blanks for NUL bytes
  // leave every bar where it was.
  const size_t read = SplitClean(line, view, fields);
  view.controls = HasControl(line.substr(0, read));
  if (view.controls && std::memchr(line.data(), '\0', read))
    SplitClean(WithoutNul(line, scratch), view, fields);
}

void ParseHeader(std::string_view line, FactSheet& sheet) {
  std::string scratch;
  ParseClean(WithoutNul(line, scratch), sheet);
}

namespace {

// SplitHeader of a line known to hold no NUL byte.
size_t SplitClean(std::string_view line, HeaderView& view, size_t fields) {
  // The longest each field is read: its capacity less one for a text, else the whole field.
  static constexpr auto kLongest = [] {
    std::array<size_t, kHeaderFields - 1> longest{};
    for (size_t k = 0; k < longest.size(); ++k)
      longest[k] = kFields[k].kind == FieldKind::kText ? kFields[k].capacity - 1 : ~size_t{0};
    return longest;
  }();
  const size_t before_title = std::min(fields, kHeaderFields - 1);
  const char* data = line.data();
  size_t start = 0;
  const size_t count = before_title
                           ? ScanBars(line, before_title,
                                      [&](size_t k, size_t at) {
                                        view.field[k] = std::string_view(
                                            data + start, std::min(at - start, kLongest[k]));
                                        start = at + 1;
                                      })
                           : 0;
  // Fields the line does not reach are empty; with 26 "|" every one is set.
  for (size_t k = count; k < before_title; ++k) view.field[k] = {};
  // The title: the rest of the line after the last "|" read, bars included.
  if (fields < kHeaderFields) return start;
  view.field[kTitleAt] = line.substr(start).substr(0, kTitleSize - 1);
  return line.size();
}

void ParseClean(std::string_view line, FactSheet& sheet) {
  HeaderView view;
  SplitClean(line, view);
  for (size_t k = 0; k < kHeaderFields; ++k) StoreField(sheet, k, view.field[k]);
}

}  // namespace

int ReadHeader(BufFile& file, FactSheet& sheet) {
  std::string_view line;
  int n = file.ReadLinePiece(line);
  if (n >= 1) {
    sheet.log.clear();
    sheet.entries.clear();
    ParseClean(line, sheet);
  }
  return n;
}

void IndexKeyOfLine(std::string_view line, std::string& key) {
  std::string scratch;
  line = WithoutNul(line, scratch);
  // Fields 2 (number), 3 (phase), 7 (project) and 8 (group), each ended by its "|".
  std::string_view fields[8];
  std::array<size_t, 8> bars;
  size_t found = FindBars(line, bars.data(), bars.size());
  for (size_t k = 0, start = 0; k < found; start = bars[k] + 1, ++k) {
    fields[k] = line.substr(start, bars[k] - start);
  }
  key.clear();
  if (found > 6) key.append(fields[6].substr(0, kNameSize - 1));
  key += ',';
  if (found > 7) key.append(fields[7].substr(0, kNameSize - 1));
  key += ',';
  AppendNumber(key, found > 2 ? HeaderCode(fields[2]) : 0);
  key += ',';
  AppendNumber(key, found > 1 ? LeadingNumber(fields[1]) : 0);
}

std::string GetIndexKey(const FactSheet& sheet) {
  // The key the sheet's own index line gives back once written.
  FactSheet stored;
  std::string line = FormatHeader(sheet);
  line.pop_back();
  ParseHeader(line, stored);
  return base::Sprintf("%s,%s,%d,%d", stored.project, stored.group, stored.phase, stored.number);
}

int SeparatorKind(std::string_view line) {
  constexpr std::string_view kSeparators[] = {kTextSeparator, kAttachmentSeparator, kLogSeparator};
  size_t n = line.size();
  for (int k = 0; k < 3; ++k) {
    std::string_view sep = kSeparators[k];
    if (n >= 2 && n <= sep.size() && sep.substr(sep.size() - n) == line) return k;
  }
  return 3;
}

FactSheet ReadSheetFrom(BufFile& file) {
  FactSheet sheet;
  ReadHeader(file, sheet);
  std::string_view line;
  bool more = file.ReadLineView(line);
  while (more) {
    int kind = SeparatorKind(line);
    if (kind == kTextEntry || kind == kAttachmentEntry) {
      SheetEntry& entry = sheet.entries.emplace_back();
      entry.kind = kind;
      more = ReadEntry(file, entry, line);
    } else if (kind == 2) {
      ReadLog(file, sheet);
      more = false;
    } else {
      more = file.ReadLineView(line);
    }
  }
  return sheet;
}

std::string FormatSheet(FactSheet& sheet) {
  std::string out = FormatHeader(sheet);
  for (SheetEntry& e : sheet.entries) {
    if (e.text.empty() || e.text.back() != '\n') e.text += '\n';
    out += e.kind == kTextEntry ? kTextSeparator : kAttachmentSeparator;
    out += '\n';
    AppendText(out, e.name, kTitleSize);
    out += '|';
    AppendNumber(out, e.time);
    out += '|';
    AppendText(out, e.who, kLoginSize);
    out += '|';
    AppendNumber(out, static_cast<long>(e.text.size()));
    if (!e.place.empty()) {
      out += '|';
      out += e.place;
    }
    if (e.kind == kAttachmentEntry && e.bytes >= 0) {
      out += '|';
      out += std::to_string(e.bytes);
    }
    out += '\n';
    out += e.text;
  }
  // The log is read back line by line: its last line needs its line feed.
  if (!sheet.log.empty() && sheet.log.back() != '\n') sheet.log += '\n';
  out += kLogSeparator;
  out += '\n';
  AppendNumber(out, static_cast<long>(sheet.log.size()));
  out += '\n';
  out += sheet.log;
  return out;
}

SheetEntry& AddEntry(FactSheet& sheet, std::string_view name, std::string_view who, int time,
                     std::string_view text) {
  SheetEntry& e = sheet.entries.emplace_back();
  e.name = name;
  e.who = who;
  e.time = time;
  e.text = text;
  e.kind = kTextEntry;
  const std::string sites = config::GetProjectSite(sheet.project);
  if (!sites.empty() && sites[0] != ' ') e.place = NewPlace();
  return e;
}

std::string FormatDate(long time) {
  std::time_t t = static_cast<std::time_t>(time);
  std::tm tm{};
  if (!localtime_r(&t, &tm)) return {};
  // "%d/%02d/%02d:%02d.%02d.%02d", put together by hand: a result page shows thousands.
  std::string out = std::to_string(tm.tm_year + 1900);
  out.reserve(out.size() + 15);
  for (auto [separator, value] :
       {std::pair{'/', tm.tm_mon + 1}, std::pair{'/', tm.tm_mday}, std::pair{':', tm.tm_hour},
        std::pair{'.', tm.tm_min}, std::pair{'.', tm.tm_sec}}) {
    out += separator;
    out += static_cast<char>('0' + value / 10);
    out += static_cast<char>('0' + value % 10);
  }
  return out;
}

namespace {

// The clock of FormatDate: ":%02d.%02d.%02d".
char* PutClock(char* out, long into) {
  const int values[3] = {static_cast<int>(into / 3600), static_cast<int>(into / 60 % 60),
                         static_cast<int>(into % 60)};
  for (int k = 0; k < 3; ++k) {
    *out++ = k == 0 ? ':' : '.';
    *out++ = static_cast<char>('0' + values[k] / 10);
    *out++ = static_cast<char>('0' + values[k] % 10);
  }
  return out;
}

// Whether `time` falls on the local day `day` at `into` seconds from its midnight, with the
// same offset from UTC.
bool FallsOn(long time, const std::tm& day, long into) {
  std::time_t t = static_cast<std::time_t>(time);
  std::tm tm{};
  return localtime_r(&t, &tm) && tm.tm_gmtoff == day.tm_gmtoff && tm.tm_year == day.tm_year &&
         tm.tm_mon == day.tm_mon && tm.tm_mday == day.tm_mday &&
         tm.tm_hour * 3600L + tm.tm_min * 60L + tm.tm_sec == into;
}

}  // namespace

char* DateFormatter::PutOfDay(char* out, long time) {
  const long day = time >= 0 ? time / 86400 : -((86399 - time) / 86400);
  Day* slot = &days_[2 * (static_cast<unsigned long>(day) % kDays)];
  for (int way = 0; way < 2; ++way) {
    const Day& d = slot[way];
    if (time < d.from || time >= d.to) continue;
    Used(d);
    std::memcpy(out, d.text, d.size);
    return PutClock(out + d.size, time - d.from);
  }
  std::time_t t = static_cast<std::time_t>(time);
  std::tm tm{};
  if (!localtime_r(&t, &tm)) return out;
  const std::string text = FormatDate(time);  // the date and its clock
  Day fresh;
  fresh.size = static_cast<unsigned char>(text.size() - 9);
  const long into = tm.tm_hour * 3600L + tm.tm_min * 60L + tm.tm_sec;
  // Kept only when the whole day reads as one offset: its first and last seconds fall on it.
  if (text.size() < sizeof fresh.text + 9 && into < 86400 && FallsOn(time - into, tm, 0) &&
      FallsOn(time - into + 86399, tm, 86399)) {
    fresh.from = time - into;
    fresh.to = fresh.from + 86400;
    text.copy(fresh.text, fresh.size);
    slot[1] = slot[0];
    slot[0] = fresh;
    Used(fresh);
  }
  return out + text.copy(out, kRoom);
}

void DateFormatter::Append(std::string& out, long time) {
  const size_t size = out.size();
  out.resize(size + kRoom);
  out.resize(static_cast<size_t>(Put(out.data() + size, time) - out.data()));
}

int CountWorkingDays(long from, long to) {
  int days = 0;
  for (long t = from; t < to; t += 86400) {
    std::time_t tt = static_cast<std::time_t>(t);
    std::tm tm{};
    if (!localtime_r(&tt, &tm)) continue;
    if (tm.tm_wday != 0 && tm.tm_wday != 6) ++days;
  }
  return days;
}

}  // namespace store
