// The integrity check of the store, run by an administrator from a shell.
#include "store/check.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <map>
#include <optional>
#include <set>

#include "base/files.h"
#include "base/out.h"
#include "base/text.h"
#include "config/main_config.h"
#include "config/projects.h"
#include "store/buf_file.h"
#include "store/commit.h"
#include "store/index.h"
#include "store/store.h"

namespace store {
namespace {

constexpr std::string_view kFolderPrefix = "TRACE_";

std::string DataPath(std::string_view name) {
  return base::JoinPath(config::GetDataDir(), name);
}

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(std::move(name));
    }
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool IsLeftover(std::string_view name) {
  return name == kIndexTempName || name.find(".tmp.") != std::string_view::npos;
}

struct Report {
  int problems = 0;
  void Problem(const std::string& text) {
    ++problems;
    base::Printf(nullptr, "%s\n", text);
  }
};

std::string Header(const FactSheet& sheet) {
  std::string line = FormatHeader(sheet);
  line.pop_back();
  return line;
}

// One pass: 0 sound, 1 not sound, 2 not checked, 3 repaired (to be checked again).
int CheckOnce(bool repair) {
  const std::string data = config::GetDataDir();
  if (!base::IsDirectory(data)) {
    base::Printf(nullptr, "no data directory %s\n", data);
    return 2;
  }
  base::FileLock lock(DataPath(kLockName), kStoreLockWaitMs);
  if (!lock.Held()) {
    base::Printf(nullptr, "the store lock %s cannot be taken\n", DataPath(kLockName));
    return 2;
  }
  Report report;
  std::string why;
  const bool pending = !RecoverStore(&why);
  if (pending)
    report.Problem(base::Sprintf("intent: a change left by a process cannot be finished: %s", why));

  // The files of the directory.
  std::map<std::string, FactSheet> sheets;
  std::vector<std::string> leftovers, orphans;
  for (const std::string& name : Names(data)) {
    const std::string path = DataPath(name);
    if (IsLeftover(name)) {
      leftovers.push_back(path);
    } else if (name.starts_with(kFolderPrefix) && base::IsDirectory(path)) {
      for (const std::string& inner : Names(path))
        if (IsLeftover(inner)) leftovers.push_back(base::JoinPath(path, inner));
    } else if (IsSheetName(name)) {
      if (std::optional<FactSheet> sheet = ReadSheet(name)) sheets.emplace(name, std::move(*sheet));
    }
  }
  for (const std::string& name : Names(data)) {
    if (name.starts_with(kFolderPrefix) && base::IsDirectory(DataPath(name)) &&
        !sheets.contains(name.substr(kFolderPrefix.size()))) {
      report.Problem(base::Sprintf("attachments: folder %s belongs to no sheet", name));
      orphans.push_back(name);
    }
  }
  // An entry names a file of its own sheet's folder: a link into another sheet's folder dies
  // when that sheet moves, and serves another file once a new sheet takes its old name.
  for (const auto& [name, sheet] : sheets) {
    for (const SheetEntry& entry : sheet.entries) {
      if (entry.kind != kAttachmentEntry) continue;
      const size_t at = entry.text.find(kFolderPrefix);
      if (at == std::string::npos) continue;
      const size_t from = at + kFolderPrefix.size();
      const std::string owner = entry.text.substr(from, entry.text.find('/', from) - from);
      if (owner != name)
        report.Problem(
            base::Sprintf("attachments: an entry of %s points into the folder of %s", name, owner));
    }
  }
  // The copy of the index in name order, which only the export reads; the repair below
  // removes a bad one, and the next export has it made again.
  std::string bad_copy;
  if (const std::string problem = CheckIndexCopy(leftovers, bad_copy); !problem.empty())
    report.Problem(problem);
  for (const std::string& path : DeadLeftovers()) leftovers.push_back(path);
  for (const std::string& path : leftovers) report.Problem(base::Sprintf("leftover: %s", path));

  // The index against the files: a key's last line is its live line, which must be its
  // sheet's header; the lines before it are dead, which is sound, but for lines within the
  // part the last rewrite compacted, where a key has one line only.
  std::vector<std::string> order;  // the names of the live lines, in index order
  bool index_cut = false;
  {
    std::optional<std::string> text = base::ReadFile(DataPath(kIndexName));
    std::string_view all = text ? std::string_view(*text) : std::string_view();
    index_cut = !all.empty() && all.back() != '\n';
    const long long compacted = CompactedIndexEnd();
    struct Line {
      std::string_view text;
      std::string name;
    };
    std::vector<Line> lines;
    std::map<std::string, size_t> last_of_key;
    std::string key;
    for (size_t at = 0; at < all.size();) {
      size_t lf = all.find('\n', at);
      std::string_view line = all.substr(at, lf == std::string_view::npos ? lf : lf - at);
      const bool in_compacted = static_cast<long long>(at) < compacted;
      at = lf == std::string_view::npos ? all.size() : lf + 1;
      if (line.empty()) {
        report.Problem("index: an empty line");
        continue;
      }
      FactSheet s;
      ParseHeader(line, s);
      IndexKeyOfLine(line, key);
      auto [it, first] = last_of_key.insert_or_assign(key, lines.size());
      if (!first && in_compacted)
        report.Problem(
            base::Sprintf("index: %s has two lines in the compacted part", GetSheetName(s)));
      lines.push_back({line, GetSheetName(s)});
    }
    std::vector<bool> live(lines.size(), false);
    for (const auto& [k, i] : last_of_key) live[i] = true;
    std::map<std::string, int> lines_of;
    for (size_t i = 0; i < lines.size(); ++i) {
      if (!live[i]) continue;
      const std::string& name = lines[i].name;
      order.push_back(name);
      if (++lines_of[name] == 2) report.Problem(base::Sprintf("index: %s has several lines", name));
      auto sheet = sheets.find(name);
      if (sheet == sheets.end())
        report.Problem(base::Sprintf("index: the line of %s names no sheet file", name));
      else if (Header(sheet->second) != lines[i].text)
        report.Problem(base::Sprintf("index: the line of %s differs from its sheet", name));
    }
    for (const auto& [name, sheet] : sheets)
      if (!lines_of.contains(name)) report.Problem(base::Sprintf("index: %s has no line", name));
  }
  if (index_cut) report.Problem("index: the last line has no line feed");

  // The journal: whole lines; lines naming sheets that are gone are told, not counted (a
  // renamed sheet's old lines keep its old name).
  long long journal_size = 0;
  {
    std::optional<std::string> text = base::ReadFile(DataPath(kJournalName));
    if (text && !text->empty() && text->back() != '\n')
      report.Problem("journal: the last line has no line feed");
    journal_size = text ? static_cast<long long>(text->size()) : 0;
    std::set<std::string> gone;
    std::string_view rest = text ? std::string_view(*text) : std::string_view();
    while (!rest.empty()) {
      size_t lf = rest.find('\n');
      std::string_view line = rest.substr(0, lf);
      rest.remove_prefix(lf == std::string_view::npos ? rest.size() : lf + 1);
      size_t blank = line.find(' ');
      if (blank == std::string_view::npos) continue;
      std::string_view name = line.substr(blank + 1);
      name = name.substr(0, name.find(' '));
      if (IsSheetName(name) && !sheets.contains(std::string(name))) gone.emplace(name);
    }
    for (const std::string& name : gone)
      base::Printf(nullptr, "note: the journal names %s, which is no longer a sheet\n", name);
  }

  // Attachment entries and their files.
  for (const auto& [name, sheet] : sheets) {
    for (const SheetEntry& entry : sheet.entries) {
      if (entry.kind != kAttachmentEntry) continue;
      std::string_view body = entry.text;
      while (!body.empty() && (body.back() == '\n' || body.back() == '\r')) body.remove_suffix(1);
      size_t at = body.find(kFolderPrefix);
      if (at == std::string_view::npos) continue;
      const std::string file(body.substr(at));
      struct stat st;
      if (::stat(DataPath(file).c_str(), &st) != 0)
        report.Problem(base::Sprintf("attachments: %s names the missing file %s", name, file));
      else if (entry.bytes >= 0 && static_cast<long long>(st.st_size) != entry.bytes)
        report.Problem(base::Sprintf("attachments: %s holds %d bytes, not the %d stored", file,
                                     static_cast<long long>(st.st_size), entry.bytes));
    }
  }

  // Forwards: each leads to a sheet, and each former name of a sheet that is no sheet's
  // has one. Repairs point a forward that leads nowhere at the sheet that says it had the
  // name, or retire the name (an empty forward: still taken, leading nowhere).
  std::map<std::string, std::string> forward_repairs;  // name -> content
  std::vector<std::string> forward_drops;
  {
    std::map<std::string, std::string> had;  // former name -> the sheet that had it
    for (const auto& [name, sheet] : sheets)
      for (const std::string& old : FormerNames(sheet))
        if (!sheets.contains(old)) had.emplace(old, name);
    auto resolve = [&](const std::string& from) -> std::optional<std::string> {
      std::set<std::string> seen;
      std::string at = from;
      while (!sheets.contains(at)) {
        if (!seen.insert(at).second) return std::nullopt;
        std::optional<std::string> next = ReadForward(at);
        if (!next || next->empty()) return std::nullopt;
        at = std::move(*next);
      }
      return at;
    };
    for (const std::string& name : Names(DataPath(kForwardFolder))) {
      std::optional<std::string> next = ReadForward(name);
      if (!next) continue;
      if (sheets.contains(name)) {
        report.Problem(base::Sprintf("forward: %s is a sheet and a forward", name));
        forward_drops.push_back(name);
      } else if (!next->empty() && !resolve(name)) {
        report.Problem(base::Sprintf("forward: %s leads to no sheet", name));
        auto owner = had.find(name);
        forward_repairs[name] = owner == had.end() ? std::string("\n") : owner->second + "\n";
      }
    }
    for (const auto& [old, name] : had) {
      if (!IsForwarded(old)) {
        report.Problem(base::Sprintf("forward: %s, a former name of %s, has none", old, name));
        forward_repairs[old] = name + "\n";
      }
    }
  }

  // The numbering hints, while trusted, never skip a free number (a forwarded one is taken).
  bool bad_hints = false;
  Hints hints = ReadHints();
  if (hints.trusted) {
    for (const auto& [prefix, next] : hints.next) {
      for (int n = 1; n < next; ++n) {
        const std::string name = config::GetSheetName(prefix, n);
        if (!SheetFileExists(name) && !IsForwarded(name)) {
          report.Problem(
              base::Sprintf("numbers: the hint for %s skips the free number %d", prefix, n));
          bad_hints = true;
          break;
        }
      }
    }
  }

  if (report.problems == 0) {
    base::Printf(nullptr, "sound: %d sheets\n", static_cast<long long>(sheets.size()));
    return 0;
  }
  if (!repair) return 1;
  // A repair is a change of its own: written over the pending one, it would lose it.
  if (pending) {
    base::Printf(nullptr, "repair: nothing repaired while that change waits to be finished\n");
    return 1;
  }

  // Repairs that lose nothing.
  for (const std::string& path : leftovers) ::unlink(path.c_str());
  if (!bad_copy.empty()) ::unlink(bad_copy.c_str());
  if (bad_hints) ::unlink(DataPath(kNumbersName).c_str());
  if (journal_size > 0) SizeEndingInLine(DataPath(kJournalName));
  Commit c;
  if (!orphans.empty()) base::MakeDirectory(DataPath(kLostName));
  for (const std::string& folder : orphans)
    c.MoveFolder(folder, base::Sprintf("%s/%s.%d", kLostName, folder,
                                       static_cast<long long>(std::time(nullptr))));
  // The index rebuilt from the sheets' headers, in its old order, new lines last.
  std::string index;
  std::set<std::string> written;
  for (const std::string& name : order) {
    auto sheet = sheets.find(name);
    if (sheet == sheets.end() || !written.insert(name).second) continue;
    index += FormatHeader(sheet->second);
  }
  for (const auto& [name, sheet] : sheets)
    if (written.insert(name).second) index += FormatHeader(sheet);
  c.Put(std::string(kIndexName), std::move(index));
  for (const std::string& name : forward_drops)
    c.Remove(base::Sprintf("%s/%s", kForwardFolder, name));
  if (!forward_repairs.empty()) base::MakeDirectory(DataPath(kForwardFolder));
  for (const auto& [name, content] : forward_repairs)
    c.Put(base::Sprintf("%s/%s", kForwardFolder, name), content);
  if (!RunCommit(c)) {
    base::Printf(nullptr, "repair: the index could not be rewritten\n");
    return 1;
  }
  base::Printf(nullptr, "repaired\n");
  return 3;
}

}  // namespace

int CheckStore(bool repair) {
  int result = CheckOnce(repair);
  return result == 3 ? CheckOnce(false) : result;
}

}  // namespace store
