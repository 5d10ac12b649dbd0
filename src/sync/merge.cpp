// Merging a received sheet into the store, conflicts included. Every write goes through the
// store's locked calls, so the index and the journal stay consistent with the files.
//
// The merge is decided by the data of the two copies alone, so that every site ends with
// the same bytes whatever the order in which copies arrive:
// - log lines: the union of both logs (a line twice in one log stays twice), sorted by
//   their text, which starts with the date;
// - entries: the union, known by time, author, kind, heading and rank among equals, sorted
//   by that key; an entry in both copies takes the version of its latest change note;
// - header fields: each field takes the value of the copy that holds the latest change note
//   naming it (see NoteChanges); with no note, the copy whose latest log line is later.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <ctime>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <tuple>

#include "base/encode.h"
#include "base/files.h"
#include "base/names.h"
#include "base/numbers.h"
#include "base/out.h"
#include "base/text.h"
#include "config/main_config.h"
#include "store/buf_file.h"
#include "store/index.h"
#include "sync/sync.h"
#include "sync/sync_parts.h"

namespace synch {
namespace {

// Characters of a log line that hold its date and the blank after it.
constexpr size_t kLogDateWidth = 20;
constexpr std::string_view kOriginWord = "Origin: ";
constexpr std::string_view kChangedWord = "Changed on ";
constexpr std::string_view kRenumberedWord = "Renumbered from ";

// The header fields in the order of the header line.
constexpr std::array<std::string_view, 27> kFieldNames = {
    "subCode",   "number",   "phase",    "created",  "submitter", "sev",       "project",
    "group",     "prog",     "version",  "exp",      "status",    "postponed", "resp",
    "corrector", "corrDate", "corrVers", "verifier", "verDate",   "verVers",   "type",
    "impact",    "mdapda",   "test",     "corrLoad", "Load",      "title"};

std::vector<std::string> LogLines(std::string_view log) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < log.size()) {
    size_t end = log.find('\n', pos);
    end = end == std::string_view::npos ? log.size() : end + 1;
    std::string line(log.substr(pos, end - pos));
    if (line.back() != '\n') line += '\n';
    lines.push_back(std::move(line));
    pos = end;
  }
  return lines;
}

// The 27 fields of the header line; the title is the rest after the 26th "|".
std::vector<std::string> HeaderFields(const store::FactSheet& sheet) {
  std::string line = store::FormatHeader(sheet);
  line.pop_back();
  std::vector<std::string> fields;
  size_t start = 0;
  for (size_t k = 0; k + 1 < kFieldNames.size(); ++k) {
    size_t bar = line.find('|', start);
    if (bar == std::string::npos) bar = line.size();
    fields.push_back(line.substr(start, bar - start));
    start = std::min(bar + 1, line.size());
  }
  fields.push_back(line.substr(start));
  return fields;
}

// The key of an entry among the entries of its sheet: time, author, kind, heading, the
// place it was made and its rank among entries with the same five.
using EntryKey = std::tuple<int, std::string, int, std::string, std::string, int>;

std::vector<EntryKey> EntryKeys(const store::FactSheet& sheet) {
  std::map<std::tuple<int, std::string, int, std::string, std::string>, int> seen;
  std::vector<EntryKey> keys;
  for (const store::SheetEntry& e : sheet.entries) {
    int rank = seen[{e.time, e.who, e.kind, e.name, e.place}]++;
    keys.emplace_back(e.time, e.who, e.kind, e.name, e.place, rank);
  }
  return keys;
}

// The word that names an entry in a change note; the place follows the rank, for entries
// that have one.
std::string EntryToken(const EntryKey& k) {
  std::string who = std::get<1>(k), name = std::get<3>(k);
  for (std::string* s : {&who, &name})
    for (char& c : *s)
      if (base::IsBlank(c) || c == '\n' || c == '\r') c = '_';
  const std::string& place = std::get<4>(k);
  return base::Sprintf("entry:%d:%s:%d:%d%s:%s", std::get<0>(k), who, std::get<2>(k),
                       std::get<5>(k), place.empty() ? "" : "@" + place, name);
}

// An entry that a partner of an older version sent back has lost its place: in `lacking`,
// each entry without a place that `placed` does not hold is taken for the first entry of
// `placed` with a place and the same time, author, kind and heading that `lacking` does not
// hold either.
void FindLostPlaces(std::map<EntryKey, const store::SheetEntry*>& lacking,
                    const std::map<EntryKey, const store::SheetEntry*>& placed) {
  std::set<EntryKey> taken;
  for (auto it = lacking.begin(); it != lacking.end();) {
    const EntryKey& k = it->first;
    if (!std::get<4>(k).empty() || placed.contains(k)) {
      ++it;
      continue;
    }
    auto same = [&](const EntryKey& p) {
      return std::get<0>(p) == std::get<0>(k) && std::get<1>(p) == std::get<1>(k) &&
             std::get<2>(p) == std::get<2>(k) && std::get<3>(p) == std::get<3>(k) &&
             !std::get<4>(p).empty() && !lacking.contains(p) && !taken.contains(p);
    };
    auto found = std::find_if(placed.begin(), placed.end(), [&](auto& p) { return same(p.first); });
    if (found == placed.end()) {
      ++it;
      continue;
    }
    taken.insert(found->first);
    const store::SheetEntry* entry = it->second;
    it = lacking.erase(it);
    lacking.emplace(found->first, entry);
  }
}

// The words of a change note line, or nothing when the line is not one.
std::vector<std::string_view> NoteWords(std::string_view line) {
  if (line.size() <= kLogDateWidth) return {};
  std::string_view rest = line.substr(kLogDateWidth);
  if (!rest.starts_with(kChangedWord)) return {};
  size_t colon = rest.find(": ");
  if (colon == std::string_view::npos) return {};
  std::vector<std::string_view> words;
  base::AppendWords(rest.substr(colon + 2), words);
  return words;
}

// Per copy: for each changed word, the latest note line naming it.
struct Copy {
  const store::FactSheet* sheet;
  std::map<std::string, std::string, std::less<>> latest;  // word -> note line
  std::map<std::string, int, std::less<>> count;           // line -> occurrences
  std::string last_line;
};

Copy Describe(const store::FactSheet& sheet) {
  Copy c{&sheet, {}, {}, {}};
  for (const std::string& line : LogLines(sheet.log)) {
    ++c.count[line];
    if (line > c.last_line) c.last_line = line;
    for (std::string_view word : NoteWords(line)) {
      auto [it, added] = c.latest.try_emplace(std::string(word), line);
      if (!added && line > it->second) it->second = line;
    }
  }
  return c;
}

// Whether copy `a` holds the later change of `word` than copy `b`; `va` and `vb` are the
// values, the last tie-break.
bool Wins(const Copy& a, const Copy& b, std::string_view word, std::string_view va,
          std::string_view vb) {
  auto key = [&](const Copy& c, std::string_view v) {
    auto it = c.latest.find(word);
    std::string note = it == c.latest.end() ? std::string() : it->second;
    auto n = c.count.find(note);
    int count = n == c.count.end() ? 0 : n->second;
    return std::make_tuple(note, count, c.last_line, std::string(v));
  };
  return key(a, va) > key(b, vb);
}

// The sheet of the store, other than `other_than`, made at `created` in `project` that
// `same` accepts.
std::optional<std::string> FindSheet(std::string_view project, int created,
                                     const std::string& other_than,
                                     const std::function<bool(const store::FactSheet&)>& same) {
  std::optional<std::string> match;
  store::ForEachIndexLine([&](std::string_view line) {
    store::FactSheet s;
    store::ParseHeader(line, s);
    if (s.created != created || s.project != project) return true;
    std::string name = store::GetSheetName(s);
    if (name == other_than) return true;
    if (auto found = store::ReadSheet(name); found && same(*found)) match = std::move(name);
    return !match;
  });
  return match;
}

// A sheet elsewhere in the store that is the received one.
std::optional<std::string> FindSameSheet(const store::FactSheet& received,
                                         const std::string& identity,
                                         const std::string& other_than) {
  return FindSheet(received.project, received.created, other_than,
                   [&](const store::FactSheet& s) { return SheetIdentity(s) == identity; });
}

// Whether sheet `a` keeps a name both want: the older, then the smaller identity.
bool KeepsName(const store::FactSheet& a, const store::FactSheet& b) {
  return std::make_pair(a.created, SheetIdentity(a)) < std::make_pair(b.created, SheetIdentity(b));
}

long DateOf(std::string_view line) {
  std::tm tm{};
  std::string date(line.substr(0, kLogDateWidth - 1));
  if (!strptime(date.c_str(), "%Y/%m/%d:%H.%M.%S", &tm)) return 0;
  tm.tm_isdst = -1;
  return static_cast<long>(std::mktime(&tm));
}

// This site's change note naming `words` (each after a blank). Its date is now, or a second
// past the latest note of the sheet naming one of them, so that it is the latest of each
// in this copy: the copy then holds what its latest notes say.
std::string NoteLine(const store::FactSheet& sheet, const std::string& words) {
  const Copy c = Describe(sheet);
  long when = static_cast<long>(std::time(nullptr));
  std::vector<std::string_view> list;
  base::AppendWords(words, list);
  for (std::string_view word : list)
    if (auto it = c.latest.find(word); it != c.latest.end())
      when = std::max(when, DateOf(it->second) + 1);
  return base::Sprintf("%s %s%s:%s\n", store::FormatDate(when), kChangedWord, HostToken(), words);
}

// Logs the renumbering of a sheet; the journal gets the line under the new name.
void NoteRenumbered(store::FactSheet& sheet, std::string_view old_name) {
  store::LogAction(sheet, std::string(kRenumberedWord) + "%s after a clash of names", old_name);
  sheet.log += NoteLine(sheet, " number");
}

// FNV-1a, a name for a shadow copy that stays the same from one build to the next.
std::string Fingerprint(std::string_view text) {
  unsigned long long h = 1469598103934665603ULL;
  for (unsigned char c : text) {
    h ^= c;
    h *= 1099511628211ULL;
  }
  return base::Sprintf("%016llx", h);
}

std::string ShadowPath(const store::FactSheet& sheet) {
  return base::Sprintf("%s/shadow/%s/%s", config::GetSynchroDir(), sheet.project,
                       Fingerprint(SheetIdentity(sheet)));
}

}  // namespace

std::string HostToken() {
  std::string host = config::GetConfig("HOSTNAME");
  for (char& c : host)
    if (base::IsBlank(c) || c == '\n' || c == '\r' || c == ':') c = '_';
  return host.empty() ? "localhost" : host;
}

void SaveShadow(const store::FactSheet& sheet) {
  if (!base::IsSafeName(sheet.project)) return;
  std::string path = ShadowPath(sheet);
  base::MakeDirectory(config::GetSynchroDir() + "shadow");
  base::MakeDirectory(path.substr(0, path.rfind('/')));
  store::FactSheet copy = sheet;
  base::WriteFileAtomic(path, store::FormatSheet(copy));
}

std::optional<store::FactSheet> ReadShadow(const store::FactSheet& sheet) {
  if (!base::IsSafeName(sheet.project)) return std::nullopt;
  store::BufFile file;
  if (!file.Open(ShadowPath(sheet), 'r', store::kSheetBufferSize)) return std::nullopt;
  return store::ReadSheetFrom(file);
}

void Canonicalise(store::FactSheet& sheet) {
  store::FactSheet c = MergeSheets(sheet, sheet);
  c.journal = std::move(sheet.journal);
  sheet = std::move(c);
}

std::string SheetIdentity(const store::FactSheet& sheet) {
  for (const std::string& line : LogLines(sheet.log)) {
    if (line.size() > kLogDateWidth &&
        std::string_view(line).substr(kLogDateWidth).starts_with(kOriginWord)) {
      std::string id = line.substr(kLogDateWidth + kOriginWord.size());
      id.pop_back();
      return id;
    }
  }
  // A sheet made before its project had partners (or by a partner of an older version):
  // its name when it was made, the one its first renumbering left, and its creation time.
  // Two sheets made in one second have two names.
  std::string first, name = store::GetSheetName(sheet);
  for (const std::string& line : LogLines(sheet.log)) {
    std::string_view text = std::string_view(line).substr(std::min(line.size(), kLogDateWidth));
    if (!text.starts_with(kRenumberedWord) || (!first.empty() && line >= first)) continue;
    first = line;
    size_t pos = kRenumberedWord.size();
    name = std::string(base::NextWord(text, pos));
  }
  return base::Sprintf("%s %d", name, sheet.created);
}

void KeepIdentity(store::FactSheet& sheet) {
  if (PartnersOf(sheet.project).empty()) return;
  for (const std::string& line : LogLines(sheet.log))
    if (line.size() > kLogDateWidth &&
        std::string_view(line).substr(kLogDateWidth).starts_with(kOriginWord))
      return;
  sheet.log += base::Sprintf("%s %s%s\n", store::FormatDate(std::time(nullptr)), kOriginWord,
                             SheetIdentity(sheet));
}

std::string OriginWord(const store::FactSheet& sheet) {
  return base::Sprintf("%d.%s", sheet.created, Fingerprint(SheetIdentity(sheet)));
}

std::optional<std::string> SheetOfOrigin(std::string_view project, std::string_view word,
                                         const std::string& hint) {
  const size_t dot = word.find('.');
  if (dot == std::string_view::npos) return std::nullopt;
  const std::string fingerprint(word.substr(dot + 1));
  auto same = [&](const store::FactSheet& s) {
    return s.project == project && Fingerprint(SheetIdentity(s)) == fingerprint;
  };
  if (std::optional<store::FactSheet> named = store::ReadSheet(hint); named && same(*named))
    return hint;
  // Moved here since: its old name leads to it.
  if (std::optional<std::string> now = store::ResolveName(hint); now && *now != hint)
    if (std::optional<store::FactSheet> moved = store::ReadSheet(*now); moved && same(*moved))
      return *now;
  return FindSheet(project, base::LeadingNumber(word.substr(0, dot)), hint, same);
}

void StampOrigin(store::FactSheet& sheet) {
  // A copy carries its source's log: the source's origin is not the copy's.
  std::string kept;
  for (const std::string& line : LogLines(sheet.log))
    if (line.size() <= kLogDateWidth ||
        !std::string_view(line).substr(kLogDateWidth).starts_with(kOriginWord))
      kept += line;
  sheet.log = std::move(kept);
  if (PartnersOf(sheet.project).empty()) return;
  std::random_device random;
  std::string line =
      base::Sprintf("%s %s%s %08x%04x\n", store::FormatDate(std::time(nullptr)), kOriginWord,
                    HostToken(), random(), static_cast<unsigned>(getpid()) & 0xffff);
  sheet.log += line;
}

std::string NoteChanges(const store::FactSheet& before, const store::FactSheet& now) {
  std::vector<std::string> a = HeaderFields(before), b = HeaderFields(now);
  std::string words;
  for (size_t k = 0; k < kFieldNames.size(); ++k)
    if (a[k] != b[k]) words += " " + std::string(kFieldNames[k]);
  std::vector<EntryKey> ka = EntryKeys(before), kb = EntryKeys(now);
  std::map<EntryKey, const store::SheetEntry*> old;
  for (size_t i = 0; i < ka.size(); ++i) old[ka[i]] = &before.entries[i];
  for (size_t i = 0; i < kb.size(); ++i) {
    auto it = old.find(kb[i]);
    if (it != old.end() && it->second->text != now.entries[i].text)
      words += " " + EntryToken(kb[i]);
  }
  if (words.empty()) return {};
  return NoteLine(now, words);
}

store::FactSheet MergeSheets(const store::FactSheet& local, const store::FactSheet& received) {
  const Copy a = Describe(local), b = Describe(received);

  // Header fields.
  std::vector<std::string> fa = HeaderFields(local), fb = HeaderFields(received);
  std::string line;
  for (size_t k = 0; k < kFieldNames.size(); ++k) {
    line += Wins(a, b, kFieldNames[k], fa[k], fb[k]) ? fa[k] : fb[k];
    if (k + 1 < kFieldNames.size()) line += '|';
  }
  store::FactSheet merged;
  store::ParseHeader(line, merged);

  // Entries.
  std::map<EntryKey, const store::SheetEntry*> from_a, from_b;
  std::vector<EntryKey> ka = EntryKeys(local), kb = EntryKeys(received);
  for (size_t i = 0; i < ka.size(); ++i) from_a[ka[i]] = &local.entries[i];
  for (size_t i = 0; i < kb.size(); ++i) from_b[kb[i]] = &received.entries[i];
  FindLostPlaces(from_a, from_b);
  FindLostPlaces(from_b, from_a);
  std::set<EntryKey> keys;
  for (const auto* from : {&from_a, &from_b})
    for (const auto& [k, e] : *from) keys.insert(k);
  for (const EntryKey& k : keys) {
    auto ia = from_a.find(k), ib = from_b.find(k);
    const store::SheetEntry* e = nullptr;
    if (ia == from_a.end()) {
      e = ib->second;
    } else if (ib == from_b.end()) {
      e = ia->second;
    } else {
      e = Wins(a, b, EntryToken(k), ia->second->text, ib->second->text) ? ia->second : ib->second;
    }
    merged.entries.push_back(*e);
    merged.entries.back().place = std::get<4>(k);
  }

  // Log lines: each as often as the log that holds it most often.
  std::map<std::string, int> lines;
  for (const auto* c : {&a, &b})
    for (const auto& [text, n] : c->count) lines[text] = std::max(lines[text], n);
  for (const auto& [text, n] : lines)
    for (int i = 0; i < n; ++i) merged.log += text;
  return merged;
}

Merged MergeReceivedSheet(const store::FactSheet& received) {
  Merged result;
  const std::string name = store::GetSheetName(received);
  if (!store::IsSheetName(name)) return result;
  const std::string identity = SheetIdentity(received);
  // Decided under the store lock and stored in one change: the received sheet where it
  // goes, and a local sheet it takes the name of.
  auto plan = [&](std::vector<store::Placement>& list) {
    std::optional<store::FactSheet> occupant = store::ReadSheet(name);
    // Where this sheet is now: under the received name, where that name's forwards lead, or
    // elsewhere after a renumbering.
    std::string here;
    if (occupant && SheetIdentity(*occupant) == identity) {
      here = name;
    } else if (std::optional<std::string> now = store::ResolveName(name); now && *now != name) {
      if (std::optional<store::FactSheet> s = store::ReadSheet(*now);
          s && SheetIdentity(*s) == identity)
        here = *now;
    }
    if (here.empty())
      if (std::optional<std::string> other = FindSameSheet(received, identity, name)) here = *other;

    if (!here.empty()) {
      std::optional<store::FactSheet> local = here == name ? occupant : store::ReadSheet(here);
      if (!local) return false;
      store::FactSheet merged = MergeSheets(*local, received);
      // The attachments the sender filed under its name for the sheet are in its folder here
      // (and move with it when the sheet moves on).
      store::MoveAttachmentEntries(merged, name, here);
      const std::string target = store::GetSheetName(merged);
      // Another name (a partner renamed it): another sheet holding that name keeps it when
      // it is the older one, else it moves on to a new number and says so.
      std::optional<store::FactSheet> holder =
          target == here ? std::nullopt : store::ReadSheet(target);
      if (holder && SheetIdentity(*holder) == identity) holder.reset();
      const bool yields = holder && KeepsName(*holder, merged);
      list.push_back({here, std::move(merged), !yields, 1, {}});
      if (holder && !yields) list.push_back({target, std::move(*holder), false, 1, {}});
      return true;
    }
    // Not here yet: it takes its own name when that is free or held by a younger sheet.
    store::FactSheet copy = received;
    copy.journal.clear();
    if (occupant) {
      base::Page("<! conflict on %s >\n", base::EscapeHtml(name));
      const bool yields = KeepsName(*occupant, received);
      list.push_back({{}, std::move(copy), !yields, yields ? 1 : received.number, {}});
      if (!yields) list.push_back({name, std::move(*occupant), false, 1, {}});
      return true;
    }
    list.push_back({{}, std::move(copy), true, received.number, {}});
    return true;
  };
  std::vector<store::Placement> placed;
  result.stored = store::PlaceSheets(
      plan, [](store::FactSheet& s, std::string_view old) { NoteRenumbered(s, old); }, &placed);
  result.name = name;
  if (placed.empty()) return result;
  result.name = placed.front().name;
  result.sheet = placed.front().sheet;
  if (result.stored != store::Stored::kOk) return result;
  // Sheets given a number other than the one their header asked for: the partners must
  // hear of it.
  for (const store::Placement& p : placed) {
    if (!p.from.empty() && p.from != p.name)
      base::Page("<! %s moved to %s >\n", base::EscapeHtml(p.from), base::EscapeHtml(p.name));
    if (p.renumbered) result.renumbered.push_back(p.name);
  }
  return result;
}

}  // namespace synch
