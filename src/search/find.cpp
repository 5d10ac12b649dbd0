#include "search/find.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <numeric>
#include <optional>
#include <system_error>
#include <thread>

#include "base/files.h"
#include "base/request_state.h"
#include "config/main_config.h"
#include "search/access.h"
#include "store/index.h"
#include "store/store.h"

namespace search {
namespace {

// Sheet files are searched in blocks of this size; the end of a block is kept so that a
// match across two blocks is still seen.
constexpr size_t kBlockSize = 64 * 1024;

// A list criterion: the empty option of a list and a missing parameter choose nothing.
bool IsChosen(std::string_view value) {
  return !web::IsMissing(value);
}

bool Contains(std::string_view haystack, std::string_view needle) {
  return needle.empty() ||
         ::memmem(haystack.data(), haystack.size(), needle.data(), needle.size()) != nullptr;
}

// Reads one number of at most `width` characters (sign included) after optional white
// space, as "%<width>d" does; false when there is none.
bool ScanNumber(std::string_view text, size_t& pos, int width, int& value) {
  while (pos < text.size() && (text[pos] == ' ' || (text[pos] >= '\t' && text[pos] <= '\r'))) ++pos;
  size_t end = std::min(text.size(), pos + static_cast<size_t>(width));
  size_t at = pos;
  bool negative = false;
  if (at < end && (text[at] == '-' || text[at] == '+')) negative = text[at++] == '-';
  size_t digits = at;
  int number = 0;
  while (at < end && text[at] >= '0' && text[at] <= '9') number = number * 10 + (text[at++] - '0');
  if (at == digits) return false;
  value = negative ? -number : number;
  pos = at;
  return true;
}

}  // namespace

// A text criterion on a field of the sheet: equal, byte for byte.
struct FieldCriterion {
  size_t at;  // the field's place in the header
  std::string value;
};

// Everything a criteria search asks, read once from the request.
struct Criteria {
  int window = 0;  // 1 created, 2 corrDate, 3 verDate
  long from = 0, to = 0;
  std::vector<FieldCriterion> fields;  // in the order they are tested
  bool every_resp = false;
  std::string resp;
  std::optional<int> sev, phase, impact, type;  // the code asked; none for any
  std::string intitle;
  bool intitle_given = false;
  unsigned status_mask = 0;
  int ad_type = 0;
  std::string intext;
  // Texts every kept line holds: a line without one of them is passed over unparsed.
  std::vector<std::string> needles;
  size_t fields_read = 0;  // the fields of a line the criteria read: from the first on
};

namespace {

Criteria ReadCriteria(const web::ParamList& params) {
  Criteria c;
  c.window = web::GetParamInt(params, "ival");
  if (c.window < 1 || c.window > 3) c.window = 0;
  if (c.window) {
    c.from = ParseSearchDate(web::GetParam(params, "between"));
    c.to = ParseSearchDate(web::GetParam(params, "and"));
  }
  auto field = [&](std::string_view name, size_t at) {
    const std::string& value = web::GetParam(params, name);
    if (IsChosen(value)) c.fields.push_back({at, value});
  };
  auto code = [&](std::string_view name, char zero) {
    const std::string& value = web::GetParam(params, name);
    return IsChosen(value) ? std::optional<int>(static_cast<unsigned char>(value.front()) - zero)
                           : std::nullopt;
  };
  field("submitter", store::kSubmitterAt);
  c.sev = code("sev", '0');
  field("project", store::kProjectAt);
  field("group", store::kGroupAt);
  c.phase = code("phase", 'a');
  field("prog", store::kProgAt);
  field("version", store::kVersionAt);
  field("exp", store::kExpAt);
  // resp applies even when missing: a request that names no responsible finds nothing.
  c.resp = web::GetParam(params, "resp");
  c.every_resp = c.resp == "all";
  field("corrVers", store::kCorrVersAt);
  field("verifier", store::kVerifierAt);
  field("verVers", store::kVerVersAt);
  c.impact = code("impact", 'a');
  c.type = code("type", '0');
  std::string_view intitle = web::ValueOrEmpty(params, "intitle");
  c.intitle_given = !intitle.empty();
  c.intitle = intitle;
  for (int k = 0; k < store::kStatusCount; ++k)
    if (web::GetParam(params, StatusBoxName(k)).starts_with('X')) c.status_mask |= 1u << k;
  c.ad_type = web::GetParamInt(params, "adType");
  c.intext = web::ValueOrEmpty(params, "intext");

  // The fields the criteria and the rights read: the project and status at least.
  auto reads = [&c](size_t at) { c.fields_read = std::max(c.fields_read, at + 1); };
  reads(store::kStatusAt);
  if (c.window)
    reads(c.window == 1   ? store::kCreatedAt
          : c.window == 2 ? store::kCorrDateAt
                          : store::kVerDateAt);
  for (const FieldCriterion& f : c.fields) reads(f.at);
  if (!c.every_resp) reads(store::kRespAt);
  if (c.type) reads(store::kTypeAt);
  if (c.impact) reads(store::kImpactAt);
  if (c.ad_type == 1 || c.ad_type == 2) reads(store::kMdapdaAt);
  if (c.intitle_given) reads(store::kTitleAt);
  if (!c.intext.empty()) reads(store::kGroupAt);  // the sheet's name

  for (const FieldCriterion& f : c.fields) c.needles.push_back(f.value);
  if (!c.every_resp && !c.resp.empty()) c.needles.push_back(c.resp);
  if (!c.intitle.empty()) c.needles.push_back(c.intitle);
  return c;
}

int DateOf(const store::HeaderView& s, int window) {
  return s.Number(window == 1   ? store::kCreatedAt
                  : window == 2 ? store::kCorrDateAt
                                : store::kVerDateAt);
}

// Every criterion but the full text, in the order of the search form's reading.
bool MeetsCriteria(const store::HeaderView& s, const Criteria& c) {
  if (c.window) {
    long date = DateOf(s, c.window);
    if (date < c.from || date > c.to) return false;
  }
  for (const FieldCriterion& f : c.fields)
    if (s[f.at] != f.value) return false;
  if (!c.every_resp && s[store::kRespAt] != c.resp) return false;
  if (c.sev && s.Code(store::kSevAt) != *c.sev) return false;
  if (c.phase && s.Code(store::kPhaseAt) != *c.phase) return false;
  if (c.impact && s.Code(store::kImpactAt) != *c.impact) return false;
  if (c.type && s.Code(store::kTypeAt) != *c.type) return false;
  if (c.intitle_given && !Contains(s[store::kTitleAt], c.intitle)) return false;
  const int status = s.Code(store::kStatusAt);
  if (status < 0 || status >= store::kStatusCount || !(c.status_mask >> status & 1u)) return false;
  if (c.ad_type == 1 && s[store::kMdapdaAt].empty()) return false;
  if (c.ad_type == 2 && !s[store::kMdapdaAt].empty()) return false;
  return true;
}

const std::string& ShownVersion(const store::FactSheet& s, char choice) {
  static const std::string kNone;
  switch (choice) {
    case '1':
      return s.version;
    case '2':
      return s.exp;
    case '3':
      return s.corrVers;
    case '4':
      return s.verVers;
    default:
      return kNone;
  }
}

// The reusable block of the full-text search, kept for the request.
struct TextScratch {
  std::string block;
};

int CompareText(const std::string& a, const std::string& b) {
  int r = a.compare(b);
  return r < 0 ? -1 : r > 0;
}

int CompareInt(int a, int b) {
  return a < b ? -1 : a > b;
}

FoundSheet Found(std::string name, const store::FactSheet& sheet, char choice) {
  return {std::move(name), sheet.sev,
          sheet.status,    sheet.impact,
          sheet.mdapda,    ShownVersion(sheet, choice),
          sheet.resp,      sheet.title,
          nullptr,         {}};
}

// The quick view of one sheet by its name, the link of every mail and page, answered from the
// sheet's own file, whose first line is its index line, rather than from the whole index.
// Only where the index could give no other sheet: the text asked is one name of letters and
// digits, a dot and five digits or more, whose file holds the sheet of that name, and no shorter
// name it ends with (the same number under a shorter prefix) has a file. Nothing where this
// does not apply.
std::optional<FoundList> FindByOwnFile(const std::string& quick, SheetAccess& access, char choice) {
  const size_t dot = quick.find('.');
  // Numbers from 100000 up have six digits and more.
  if (dot == 0 || dot == std::string::npos || quick.size() - dot < 6 || !store::IsSheetName(quick))
    return std::nullopt;
  for (char c : quick.substr(0, dot))
    if (!std::isalnum(static_cast<unsigned char>(c))) return std::nullopt;
  for (size_t k = 1; k <= dot; ++k)
    if (store::SheetFileExists(std::string_view(quick).substr(k))) return std::nullopt;
  std::optional<store::FactSheet> sheet = store::ReadSheet(quick);
  if (!sheet || store::GetSheetName(*sheet) != quick) return std::nullopt;
  FoundList hits;
  if (access.MaySee(*sheet)) {
    hits.push_back(Found(quick, *sheet, choice));
    hits.back().sheet = std::make_shared<const store::FactSheet>(std::move(*sheet));
  }
  return hits;
}

}  // namespace

std::string StatusBoxName(int code) {
  return std::string("stat") + store::kStatusLetters[code];
}

bool IsGiven(std::string_view value) {
  return IsChosen(value);
}

long ParseSearchDate(std::string_view text) {
  if (text.size() < 17) return 0;
  int values[6] = {0, 0, 0, 0, 0, 0};
  constexpr int kWidths[6] = {2, 2, 4, 2, 2, 2};
  constexpr char kAfter[6] = {'/', '/', ':', '.', '.', '\0'};
  size_t pos = 0;
  for (int i = 0; i < 6; ++i) {
    if (!ScanNumber(text, pos, kWidths[i], values[i])) break;
    if (kAfter[i] == '\0') break;
    if (pos >= text.size() || text[pos] != kAfter[i]) break;
    ++pos;
  }
  std::tm tm{};
  tm.tm_mday = values[0];
  tm.tm_mon = values[1] - 1;
  tm.tm_year = values[2] - 1900;
  tm.tm_hour = values[3];
  tm.tm_min = values[4];
  tm.tm_sec = values[5];
  tm.tm_isdst = -1;
  return static_cast<long>(std::mktime(&tm));
}

bool SheetContains(std::string_view name, std::string_view text) {
  if (!store::IsSheetName(name) || text.find('\n') != std::string_view::npos) return false;
  if (text.empty()) return true;
  std::string path = base::JoinPath(config::GetDataDir(), name);
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::string& block = base::Cache<TextScratch>().block;
  size_t keep = text.size() - 1;  // the bytes of a match that may start before a block's end
  block.resize(std::max(kBlockSize, 2 * text.size()));
  size_t held = 0;
  bool found = false;
  while (!found) {
    ssize_t n = ::read(fd, block.data() + held, block.size() - held);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    held += static_cast<size_t>(n);
    found = Contains(std::string_view(block.data(), held), text);
    if (held > keep) {
      std::memmove(block.data(), block.data() + held - keep, keep);
      held = keep;
    }
  }
  ::close(fd);
  return found;
}

// Whether the text asked holds the name: a name the text holds followed by a digit is the
// beginning of a longer number (TaG.12500 in TaG.125000), not that name.
bool HoldsName(std::string_view text, std::string_view name) {
  for (size_t at = text.find(name); at != std::string_view::npos; at = text.find(name, at + 1)) {
    const size_t end = at + name.size();
    if (end == text.size() || text[end] < '0' || text[end] > '9') return true;
  }
  return false;
}

bool IsSearchByName(const web::ParamList& params) {
  return IsGiven(web::GetParam(params, "find")) || IsGiven(web::GetParam(params, "Num")) ||
         IsGiven(web::GetParam(params, "Numero"));
}

namespace {

// The test of index lines against a request, split into `view` as far as `fields` reach.
// Whether `line` meets every criterion and the rights; `view` then holds its first `fields`
// fields.
bool LineMeets(std::string_view line, const Criteria& criteria, SheetAccess& access, size_t fields,
               store::HeaderView& view, std::string& scratch) {
  for (const std::string& needle : criteria.needles)
    if (!Contains(line, needle)) return false;
  store::SplitHeader(line, view, scratch, fields);
  if (!MeetsCriteria(view, criteria)) return false;
  if (!criteria.intext.empty() && !SheetContains(store::GetSheetName(view), criteria.intext))
    return false;
  return access.MaySee(view[store::kProjectAt], view.Code(store::kStatusAt));
}

struct Matcher {
  const Criteria& criteria;
  SheetAccess& access;
  size_t fields;
  store::HeaderView view;
  std::string scratch;

  bool Meets(std::string_view line) {
    return LineMeets(line, criteria, access, fields, view, scratch);
  }
};

}  // namespace

struct LineRules::Held {
  Criteria criteria;
  SheetAccess access;
};

LineRules::LineRules(const web::ParamList& params, size_t fields)
    : held_(std::make_unique<Held>(Held{ReadCriteria(params), SheetAccess(params, true)})) {
  held_->access.Settle();
  fields_ = std::max(fields, held_->criteria.fields_read);
}

LineRules::~LineRules() = default;

bool LineRules::Usable() const {
  return held_->criteria.intext.empty();
}

bool LineRules::Meets(std::string_view line, store::HeaderView& view, std::string& scratch) const {
  return LineMeets(line, held_->criteria, held_->access, fields_, view, scratch);
}

void ForEachMatch(
    const web::ParamList& params, store::IndexFile& index,
    const std::function<void(const store::HeaderView&, std::string_view line, long long at)>& each,
    size_t fields, bool rights_read) {
  const bool exporting = web::GetParam(params, "excel").starts_with('X');
  const Criteria criteria = ReadCriteria(params);
  SheetAccess access(params, exporting || rights_read);
  Matcher matcher{criteria, access, std::max(fields, criteria.fields_read), {}, {}};
  index.ForEach([&](std::string_view line, long long at) {
    if (matcher.Meets(line)) each(matcher.view, line, at);
    return true;
  });
}

bool ForEachMatchInTwo(const web::ParamList& params, store::IndexFile& index,
                       const std::function<void(int part, const store::HeaderView&,
                                                std::string_view line, long long at)>& each,
                       size_t fields) {
  const Criteria criteria = ReadCriteria(params);
  // The full text is searched through the request's caches, which one thread at a time uses.
  if (!criteria.intext.empty()) return false;
  SheetAccess access(params, /*quiet=*/true);
  access.Settle();
  fields = std::max(fields, criteria.fields_read);
  Matcher matchers[2] = {{criteria, access, fields, {}, {}}, {criteria, access, fields, {}, {}}};
  auto walk = [&](int part) {
    index.ForEach(
        [&](std::string_view line, long long at) {
          if (matchers[part].Meets(line)) each(part, matchers[part].view, line, at);
          return true;
        },
        false, part, 2);
  };
  std::thread helper;
  try {
    helper = std::thread(walk, 1);
  } catch (const std::system_error&) {  // no thread to be had: this one walks both parts
    walk(0);
    walk(1);
    return true;
  }
  walk(0);
  helper.join();
  return true;
}

FoundSheet FoundOfLine(std::string_view line, char choice, store::FactSheet& sheet) {
  store::ParseHeader(line, sheet);
  return Found(store::GetSheetName(sheet), sheet, choice);
}

size_t ShownVersionAt(char choice) {
  switch (choice) {
    case '1':
      return store::kVersionAt;
    case '2':
      return store::kExpAt;
    case '3':
      return store::kCorrVersAt;
    case '4':
      return store::kVerVersAt;
    default:
      return store::kHeaderFieldCount;
  }
}

FoundList FindSheets(const web::ParamList& params, bool rights_read) {
  const bool exporting = web::GetParam(params, "excel").starts_with('X');
  FoundList hits;
  const std::string& version_choice = web::GetParam(params, "aff_versSel");
  const char choice = version_choice.empty() ? '\0' : version_choice.front();
  if (!IsSearchByName(params)) {
    store::IndexFile index;
    store::FactSheet sheet;
    ForEachMatch(
        params, index,
        [&](const store::HeaderView&, std::string_view line, long long) {
          hits.push_back(FoundOfLine(line, choice, sheet));
          if (exporting) hits.back().line = line;
        },
        0, rights_read);
    std::reverse(hits.begin(), hits.end());  // the most recently written sheet first
    return hits;
  }
  // Quick access: a sheet is kept when its name occurs in the text asked.
  std::string quick;
  if (IsGiven(web::GetParam(params, "find")))
    quick = web::GetParam(params, "find");
  else if (IsGiven(web::GetParam(params, "Num")))
    quick = web::GetParam(params, "Num");
  else
    quick = web::GetParam(params, "Numero");
  SheetAccess access(params, exporting);
  if (std::optional<FoundList> own = FindByOwnFile(quick, access, choice)) return *own;
  // Only a name that is no sheet's own file needs the index.
  store::IndexFile index;
  store::FactSheet sheet;
  index.ForEach([&](std::string_view line, long long) {
    store::ParseHeader(line, sheet);
    std::string name = store::GetSheetName(sheet);
    if (!HoldsName(quick, name) || !access.MaySee(sheet)) return true;
    hits.push_back(Found(std::move(name), sheet, choice));
    if (exporting) hits.back().line = line;
    return true;
  });
  std::reverse(hits.begin(), hits.end());  // the most recently written sheet first
  return hits;
}

int CompareByName(const FoundSheet& a, const FoundSheet& b) {
  return CompareText(a.name, b.name);
}

int CompareByStatus(const FoundSheet& a, const FoundSheet& b) {
  if (int r = CompareInt(a.status, b.status)) return r;
  if (int r = CompareInt(a.sev, b.sev)) return r;
  return CompareByName(a, b);
}

int CompareByResp(const FoundSheet& a, const FoundSheet& b) {
  if (int r = CompareText(a.resp, b.resp)) return r;
  return CompareByName(a, b);
}

int CompareByImpact(const FoundSheet& a, const FoundSheet& b) {
  if (int r = CompareInt(a.impact, b.impact)) return r;
  if (int r = CompareInt(a.sev, b.sev)) return r;
  return CompareByName(a, b);
}

int CompareByTitle(const FoundSheet& a, const FoundSheet& b) {
  return CompareText(a.title, b.title);
}

Compare CompareFor(std::string_view sort) {
  switch (sort.empty() ? '\0' : sort.front()) {
    case '0':
      return CompareByStatus;
    case '2':
      return CompareByResp;
    case '3':
      return CompareByImpact;
    case '4':
      return CompareByTitle;
    default:
      return CompareByName;
  }
}

void SortFound(FoundList& hits, Compare compare) {
  // The order is found on positions, and each hit is moved once: moving hits, with their
  // strings, at every step of the sort costs more than the comparisons.
  std::vector<size_t> order(hits.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&hits, compare](size_t a, size_t b) { return compare(hits[a], hits[b]) < 0; });
  FoundList sorted;
  sorted.reserve(hits.size());
  for (size_t i : order) sorted.push_back(std::move(hits[i]));
  hits = std::move(sorted);
}

}  // namespace search
