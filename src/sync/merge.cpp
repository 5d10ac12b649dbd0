// Merging a received sheet into the store, conflicts included. Every write goes through the
// store's locked calls, so the index and the journal stay consistent with the files.
#include <map>
#include <optional>

#include "base/files.h"
#include "base/out.h"
#include "config/main_config.h"
#include "store/buf_file.h"
#include "sync/sync.h"

namespace synch {
namespace {

// Characters of a log line that hold its date and the blank after it.
constexpr size_t kLogDateWidth = 20;
// How often a merge is tried again when another request changed the sheet meanwhile.
constexpr int kMergeAttempts = 3;

std::vector<std::string_view> LogLines(std::string_view log) {
  std::vector<std::string_view> lines;
  size_t pos = 0;
  while (pos < log.size()) {
    size_t end = log.find('\n', pos);
    end = end == std::string_view::npos ? log.size() : end + 1;
    lines.push_back(log.substr(pos, end - pos));
    pos = end;
  }
  return lines;
}

std::string MergeLogs(std::string_view local, std::string_view received) {
  std::vector<std::string_view> a = LogLines(local), b = LogLines(received);
  // Each distinct line appears as often as in the log that holds it most often.
  std::map<std::string_view, int> count_a, count_b, written;
  for (auto line : a) ++count_a[line];
  for (auto line : b) ++count_b[line];
  std::string merged;
  auto emit = [&](std::string_view line) {
    int allowed = std::max(count_a[line], count_b[line]);
    if (written[line]++ < allowed) merged += line;
  };
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (a[i] == b[j]) {
      emit(a[i++]);
      ++j;
    } else if (b[j].substr(0, kLogDateWidth) < a[i].substr(0, kLogDateWidth)) {
      emit(b[j++]);
    } else {
      emit(a[i++]);
    }
  }
  while (i < a.size()) emit(a[i++]);
  while (j < b.size()) emit(b[j++]);
  if (!merged.empty() && merged.back() != '\n') merged += '\n';
  return merged;
}

bool SameEntry(const store::SheetEntry& a, const store::SheetEntry& b) {
  return a.time == b.time && a.who == b.who;
}

// A sheet elsewhere in the store that is the received one: same prefix fields, same
// creation time, another name.
std::optional<std::string> FindSameSheet(const store::FactSheet& received,
                                         const std::string& other_than) {
  if (received.created == 0) return std::nullopt;
  store::BufFile index;
  if (!index.Open(base::JoinPath(config::GetDataDir(), store::kIndexName), 'r',
                  store::kIndexBufferSize))
    return std::nullopt;
  std::string_view line;
  while (index.ReadLineView(line, /*keep_unfinished=*/true)) {
    store::FactSheet s;
    store::ParseHeader(line, s);
    if (s.created != received.created || s.project != received.project ||
        s.group != received.group || s.phase != received.phase)
      continue;
    std::string name = store::GetSheetName(s);
    if (name == other_than) continue;
    if (auto found = store::ReadSheet(name); found && found->created == received.created)
      return name;
  }
  return std::nullopt;
}

// Merges into the sheet `name` when it is still the same sheet.
store::Stored MergeInto(const std::string& name, const store::FactSheet& received) {
  return store::UpdateSheet(name, [&](store::FactSheet& local) {
    if (local.created != received.created) return false;
    local = MergeSheets(local, received);
    return true;
  });
}

// Stores the received sheet under a free number from `first` up.
Merged CreateFrom(const store::FactSheet& received, int first) {
  store::FactSheet copy = received;
  copy.journal.clear();
  Merged result;
  result.stored = store::CreateSheet(copy, first);
  result.name = store::GetSheetName(copy);
  return result;
}

}  // namespace

store::FactSheet MergeSheets(const store::FactSheet& local, const store::FactSheet& received) {
  store::FactSheet merged = received;
  merged.number = local.number;
  merged.journal.clear();
  merged.entries.clear();
  const auto& a = local.entries;
  const auto& b = received.entries;
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (SameEntry(a[i], b[j])) {
      merged.entries.push_back(b[j++]);
      ++i;
    } else if (b[j].time < a[i].time) {
      merged.entries.push_back(b[j++]);
    } else {
      merged.entries.push_back(a[i++]);
    }
  }
  while (i < a.size()) merged.entries.push_back(a[i++]);
  while (j < b.size()) merged.entries.push_back(b[j++]);
  merged.log = MergeLogs(local.log, received.log);
  return merged;
}

Merged MergeReceivedSheet(const store::FactSheet& received) {
  const std::string name = store::GetSheetName(received);
  if (!store::IsSheetName(name)) return {};
  for (int attempt = 0; attempt < kMergeAttempts; ++attempt) {
    std::optional<store::FactSheet> local = store::ReadSheet(name);
    if (local && local->created == received.created) {
      store::Stored s = MergeInto(name, received);
      if (s != store::Stored::kRefused) return {s, name};
      continue;  // replaced by another sheet meanwhile
    }
    // The received sheet may already be here under another number, after a conflict.
    if (std::optional<std::string> other = FindSameSheet(received, name)) {
      store::Stored s = MergeInto(*other, received);
      if (s != store::Stored::kRefused) return {s, *other};
      continue;
    }
    if (!local) {
      Merged created = CreateFrom(received, received.number);
      if (created.stored == store::Stored::kOk && created.name != name)
        base::Page("<! %s taken meanwhile: stored as %s >\n", name, created.name);
      return created;
    }
    // Two different sheets under one name: the older keeps it.
    base::Page("<! conflict on %s >\n", name);
    if (local->created <= received.created) return CreateFrom(received, 1);
    const int local_created = local->created;
    store::FactSheet moved;
    store::Stored s = store::ChangeSheetHeader(
        name,
        [&](store::FactSheet& sheet) {
          if (sheet.created != local_created) return false;
          sheet.number = 0;  // another name: the store gives it the lowest free number
          return true;
        },
        &moved);
    if (s == store::Stored::kRefused || s == store::Stored::kMissing) continue;
    if (s != store::Stored::kOk) return {s, name};
    base::Page("<! local %s moved to %s >\n", name, store::GetSheetName(moved));
    return CreateFrom(received, received.number);
  }
  return {store::Stored::kNoFile, name};  // raced every time: tried again next pass
}

}  // namespace synch
