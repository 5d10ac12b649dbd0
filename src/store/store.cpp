#include "store/store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <future>
#include <map>
#include <utility>
#include <vector>

#include "base/files.h"
#include "base/out.h"
#include "base/request_state.h"
#include "config/main_config.h"
#include "config/projects.h"

namespace store {
namespace {

std::string DataPath(std::string_view name) {
  return base::JoinPath(config::GetDataDir(), name);
}

// The data directory, opened once for the request: sheets are opened relative to it, which
// spares the walk down its path for each of the thousands of sheets of a result page.
class DataDirectory {
 public:
  DataDirectory() = default;
  DataDirectory(const DataDirectory&) = delete;
  DataDirectory& operator=(const DataDirectory&) = delete;
  ~DataDirectory() { Close(); }

  // The directory's descriptor, or AT_FDCWD with the full path when it cannot be opened.
  std::pair<int, std::string> Locate(std::string_view name) {
    const std::string& dir = config::GetDataDir();
    if (fd_ < 0 || dir != path_) {
      Close();
      path_ = dir;
      fd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    if (fd_ < 0) return {AT_FDCWD, DataPath(name)};
    return {fd_, std::string(name)};
  }

 private:
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  std::string path_;
  int fd_ = -1;
};

// The whole content of a regular file, relative to `dir`; touches none of the request's
// caches, so it may run on a second thread.
std::optional<std::string> ReadRegularFile(int dir, const std::string& path) {
  int fd = ::openat(dir, path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::optional<std::string> bytes;
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    bytes.emplace(static_cast<size_t>(st.st_size) + 1, '\0');
    size_t got = 0;
    while (true) {
      ssize_t n = ::read(fd, bytes->data() + got, bytes->size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<size_t>(n);
      // A regular file gives less than was asked for only at its end.
      if (got < bytes->size()) break;
      bytes->resize(bytes->size() * 2);
    }
    bytes->resize(got);
  }
  ::close(fd);
  return bytes;
}

// The sheet a file's content holds.
FactSheet ParseSheet(std::string_view bytes) {
  BufFile file;
  file.OpenMemory(bytes);
  return ReadSheetFrom(file);
}

// The store lock of the data directory; Held() tells whether it was taken.
class StoreLock {
 public:
  StoreLock() : lock_(DataPath(kLockName)) {}
  bool Held() const { return lock_.Held(); }

 private:
  base::FileLock lock_;
};

// The index rewrite; the caller holds the store lock. The lines with the keys of `sheets`
// and with `drop_key` go; the lines of `sheets` are added at the end, in their order.
int RewriteIndexOf(const std::vector<const FactSheet*>& sheets, const std::string& drop_key) {
  std::vector<std::string> targets;
  for (const FactSheet* sheet : sheets) targets.push_back(GetIndexKey(*sheet));
  if (!drop_key.empty()) targets.push_back(drop_key);
  std::string index_path = DataPath(kIndexName);
  std::string temp_path = DataPath(kIndexTempName);
  BufFile out;
  if (!out.Open(temp_path, 'w', kIndexBufferSize)) return 0;
  bool ok = true;
  BufFile in;
  if (in.Open(index_path, 'r', kIndexBufferSize)) {
    std::string_view line;
    std::string key;
    while (ok && in.ReadLineView(line, /*keep_unfinished=*/true)) {
      if (line.empty()) continue;  // a stray empty line (hand edit) is dropped alone
      IndexKeyOfLine(line, key);
      if (std::find(targets.begin(), targets.end(), key) != targets.end()) continue;
      ok = out.Write(line) >= 0 && out.Write("\n") >= 0;
    }
    in.Close();
  }
  for (const FactSheet* sheet : sheets) ok = ok && out.Write(FormatHeader(*sheet)) >= 0;
  ok = out.Close() == 1 && ok;
  if (!ok) {
    base::RemoveFile(temp_path);
    return -1;
  }
  return base::ReplaceFile(temp_path, index_path) ? 1 : -1;
}

int RewriteIndex(const FactSheet* sheet, const std::string& drop_key) {
  std::vector<const FactSheet*> sheets;
  if (sheet) sheets.push_back(sheet);
  return RewriteIndexOf(sheets, drop_key);
}

std::string KeyOfHeader(std::string_view header) {
  if (!header.empty() && header.back() == '\n') header.remove_suffix(1);
  std::string key;
  IndexKeyOfLine(header, key);
  return key;
}

// Appends the line of a new sheet to the index in one write; the caller holds the lock.
bool AppendIndexLine(const FactSheet& sheet) {
  std::string line = FormatHeader(sheet);
  int fd = ::open(DataPath(kIndexName).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  return ::close(fd) == 0 && ok;
}

// Writes the sheet's bytes to a temporary file beside `path`; its name, or empty on failure.
std::string WriteTemp(FactSheet& sheet, const std::string& path) {
  std::string content = FormatSheet(sheet);
  std::string temp = base::TempNameFor(path);
  BufFile file;
  if (!file.Open(temp, 'w', kSheetBufferSize)) return {};
  bool ok = file.Write(content) >= 0;
  ok = file.Close() == 1 && ok;
  if (!ok) {
    base::RemoveFile(temp);
    return {};
  }
  return temp;
}

// The journal lines of the sheet, stored under `name`; the caller holds the lock.
bool FlushJournal(FactSheet& sheet, std::string_view name) {
  bool ok = true;
  for (const JournalNote& note : sheet.journal)
    ok = AppendJournal(base::Sprintf("%s %s %s\n", note.date, name, note.message)) && ok;
  sheet.journal.clear();
  return ok;
}

// The numbering hints (kNumbersName): prefix -> the lowest number that may be free.
using Hints = std::map<std::string, int, std::less<>>;

Hints ReadHints() {
  Hints hints;
  base::LineReader reader(DataPath(kNumbersName));
  std::string line;
  while (reader.Next(line)) {
    size_t blank = line.rfind(' ');
    if (blank == std::string::npos || blank == 0) continue;
    int n = LeadingNumber(std::string_view(line).substr(blank + 1));
    if (n >= 1) hints[line.substr(0, blank)] = n;
  }
  return hints;
}

// A lost hint file only costs the next creation a longer probe, so a failed write is let go.
void WriteHints(const Hints& hints) {
  std::string text;
  for (const auto& [prefix, n] : hints) text += base::Sprintf("%s %d\n", prefix, n);
  base::WriteFileAtomic(DataPath(kNumbersName), text);
}

// Writes the sheet under the first free number of `prefix` from `first` up and sets its
// number. The file is linked into place, which fails on an existing name, so no file is ever
// replaced. The caller holds the lock. False when no file could be placed.
bool PlaceUnderFreeNumber(FactSheet& sheet, std::string_view prefix, int first) {
  Hints hints = ReadHints();
  int number = first < 1 ? 1 : first;
  bool from_lowest = number == 1;
  auto hint = hints.find(prefix);
  if (from_lowest && hint != hints.end()) number = hint->second;
  for (;; ++number) {
    std::string name = config::GetSheetName(prefix, number);
    if (!IsSafeSheetName(name)) return false;
    std::string path = DataPath(name);
    if (base::FileExists(path)) continue;
    sheet.number = number;
    std::string temp = WriteTemp(sheet, path);
    if (temp.empty()) return false;
    bool placed = ::link(temp.c_str(), path.c_str()) == 0;
    int error = errno;
    base::RemoveFile(temp);
    if (placed) break;
    if (error != EEXIST) return false;
  }
  if (from_lowest) {
    hints[std::string(prefix)] = number + 1;
    WriteHints(hints);
  }
  return true;
}

// Lets the number of a removed sheet be taken again.
void ReleaseNumber(std::string_view prefix, int number) {
  Hints hints = ReadHints();
  auto hint = hints.find(prefix);
  if (hint == hints.end() || hint->second <= number) return;
  hint->second = number;
  WriteHints(hints);
}

// Replaces the sheet file `name`; the caller holds the lock.
bool ReplaceSheetFile(FactSheet& sheet, std::string_view name) {
  std::string path = DataPath(name);
  std::string temp = WriteTemp(sheet, path);
  if (temp.empty()) return false;
  if (base::ReplaceFile(temp, path)) return true;
  base::RemoveFile(temp);
  return false;
}

Stored WriteLocked(FactSheet& sheet, std::string_view name, const std::string& drop_key = {}) {
  if (!IsSafeSheetName(name)) return Stored::kRefused;
  if (!ReplaceSheetFile(sheet, name)) return Stored::kNoFile;
  if (RewriteIndex(&sheet, drop_key) != 1) return Stored::kNoIndex;
  return FlushJournal(sheet, name) ? Stored::kOk : Stored::kNoJournal;
}

// The log message, one line, cut so that the log line with its date and line feed fits
// in the log line size.
std::string FormatMessage(std::string_view format, size_t date_size, std::string_view a,
                          std::string_view b, std::string_view c) {
  std::string message = base::Sprintf(format.substr(0, kLogFormatLimit), a, b, c);
  size_t room = kLogLineSize - 1 - date_size - 2;  // the blank, the line feed
  if (message.size() > room) message.resize(room);
  for (char& ch : message) {
    if (ch == '\n') ch = ' ';
  }
  return message;
}

}  // namespace

bool IsSafeSheetName(std::string_view name) {
  return !name.empty() && name.find('/') == std::string_view::npos &&
         name.find("..") == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

bool IsSheetName(std::string_view name) {
  size_t dot = name.rfind('.');
  if (!IsSafeSheetName(name) || dot == std::string_view::npos || dot + 1 == name.size())
    return false;
  for (char c : name.substr(dot + 1))
    if (c < '0' || c > '9') return false;
  return true;
}

std::string GetSheetPrefixOf(const FactSheet& sheet) {
  return config::GetSheetPrefixOf(sheet.project, sheet.group, sheet.phase);
}

std::string GetSheetName(const FactSheet& sheet) {
  return config::GetSheetName(GetSheetPrefixOf(sheet), sheet.number);
}

std::optional<FactSheet> ReadSheet(std::string_view name) {
  if (!IsSheetName(name)) return std::nullopt;
  auto [dir, path] = base::Cache<DataDirectory>().Locate(name);
  std::optional<std::string> bytes = ReadRegularFile(dir, path);
  if (!bytes) return std::nullopt;
  return ParseSheet(*bytes);
}

bool SheetFileExists(std::string_view name) {
  if (!IsSafeSheetName(name)) return false;
  auto [dir, path] = base::Cache<DataDirectory>().Locate(name);
  struct stat st;
  return ::fstatat(dir, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

void ReadSheetsInOrder(const std::vector<std::string>& names,
                       const std::function<void(size_t, std::optional<FactSheet>&)>& use) {
  // Where each sheet lies is worked out here, with this thread's caches; the other thread
  // only reads files.
  std::vector<std::optional<std::pair<int, std::string>>> places;
  places.reserve(names.size());
  DataDirectory& data = base::Cache<DataDirectory>();
  for (const std::string& name : names)
    places.push_back(IsSheetName(name) ? std::optional(data.Locate(name)) : std::nullopt);

  // A batch ends at so many sheets or bytes, whichever comes first.
  constexpr size_t kBatchSheets = 256, kBatchBytes = size_t{4} << 20;
  using Batch = std::vector<std::optional<std::string>>;
  auto read = [&places](size_t from) {
    Batch batch;
    size_t bytes = 0;
    for (size_t i = from; i < places.size() && batch.size() < kBatchSheets && bytes < kBatchBytes;
         ++i) {
      batch.push_back(places[i] ? ReadRegularFile(places[i]->first, places[i]->second)
                                : std::nullopt);
      if (batch.back()) bytes += batch.back()->size();
    }
    return batch;
  };
  // Where no thread can be started, a batch is read when it is wanted.
  constexpr auto kPolicy = std::launch::async | std::launch::deferred;
  std::future<Batch> next = std::async(kPolicy, read, 0);
  for (size_t from = 0; from < names.size();) {
    Batch batch = next.get();
    const size_t first = from;
    from += batch.size();
    if (from < names.size()) next = std::async(kPolicy, read, from);
    for (size_t k = 0; k < batch.size(); ++k) {
      std::optional<FactSheet> sheet;
      if (batch[k]) sheet = ParseSheet(*batch[k]);
      use(first + k, sheet);
    }
  }
}

Stored CreateSheet(FactSheet& sheet, int first) {
  std::string prefix = GetSheetPrefixOf(sheet);
  if (first < 1) first = 1;
  if (!IsSafeSheetName(config::GetSheetName(prefix, first))) {
    sheet.number = first;  // the name it would have had, for the report
    return Stored::kRefused;
  }
  StoreLock lock;
  if (!lock.Held()) return Stored::kNoFile;
  if (!PlaceUnderFreeNumber(sheet, prefix, first)) return Stored::kNoFile;
  // A new number has no line in the index yet: one appended line, not a rewrite.
  if (!AppendIndexLine(sheet)) return Stored::kNoIndex;
  return FlushJournal(sheet, GetSheetName(sheet)) ? Stored::kOk : Stored::kNoJournal;
}

Stored UpdateSheet(std::string_view name, const std::function<bool(FactSheet&)>& change,
                   FactSheet* stored) {
  if (!IsSheetName(name)) return Stored::kMissing;
  StoreLock lock;
  if (!lock.Held()) return Stored::kNoFile;
  std::optional<FactSheet> sheet = ReadSheet(name);
  if (!sheet) return Stored::kMissing;
  if (!change(*sheet)) return Stored::kRefused;
  Stored result = WriteLocked(*sheet, name);
  if (stored) *stored = std::move(*sheet);
  return result;
}

std::vector<Stored> UpdateSheets(const std::vector<std::string>& names,
                                 const std::function<bool(FactSheet&)>& change,
                                 std::vector<FactSheet>* stored) {
  std::vector<Stored> results(names.size(), Stored::kMissing);
  std::vector<FactSheet> sheets(names.size());
  StoreLock lock;
  if (!lock.Held()) {
    std::fill(results.begin(), results.end(), Stored::kNoFile);
    return results;
  }
  std::vector<const FactSheet*> written;
  for (size_t i = 0; i < names.size(); ++i) {
    std::optional<FactSheet> sheet = IsSheetName(names[i]) ? ReadSheet(names[i]) : std::nullopt;
    if (!sheet) continue;
    sheets[i] = std::move(*sheet);
    if (!change(sheets[i])) {
      results[i] = Stored::kRefused;
    } else if (!ReplaceSheetFile(sheets[i], names[i])) {
      results[i] = Stored::kNoFile;
    } else {
      results[i] = Stored::kNoIndex;
      written.push_back(&sheets[i]);
    }
  }
  // One index rewrite for them all, then their journal lines.
  if (!written.empty() && RewriteIndexOf(written, {}) == 1) {
    for (size_t i = 0; i < names.size(); ++i) {
      if (results[i] != Stored::kNoIndex) continue;
      results[i] = FlushJournal(sheets[i], names[i]) ? Stored::kOk : Stored::kNoJournal;
    }
  }
  if (stored) *stored = std::move(sheets);
  return results;
}

Stored WriteSheet(FactSheet& sheet) {
  return WriteSheetAs(sheet, GetSheetName(sheet));
}

Stored WriteSheetAs(FactSheet& sheet, std::string_view name) {
  if (!IsSafeSheetName(name)) return Stored::kRefused;
  StoreLock lock;
  if (!lock.Held()) return Stored::kNoFile;
  return WriteLocked(sheet, name);
}

Stored ChangeSheetHeader(std::string_view name, const std::function<bool(FactSheet&)>& change,
                         FactSheet* stored) {
  return ChangeSheetHeaderFrom(name, 1, change, stored);
}

Stored ChangeSheetHeaderFrom(std::string_view name, int first,
                             const std::function<bool(FactSheet&)>& change, FactSheet* stored) {
  if (!IsSheetName(name)) return Stored::kMissing;
  StoreLock lock;
  if (!lock.Held()) return Stored::kNoFile;
  std::optional<FactSheet> sheet = ReadSheet(name);
  if (!sheet) return Stored::kMissing;
  const FactSheet old_header = *sheet;
  if (!change(*sheet)) return Stored::kRefused;
  const std::string old_key = GetIndexKey(old_header);
  Stored result;
  std::string prefix = GetSheetPrefixOf(*sheet);
  if (config::GetSheetName(prefix, sheet->number) == name) {
    result = WriteLocked(*sheet, name, old_key);
  } else if (!IsSafeSheetName(config::GetSheetName(prefix, 1))) {
    result = Stored::kRefused;
  } else if (!PlaceUnderFreeNumber(*sheet, prefix, first < 1 ? 1 : first)) {
    result = Stored::kNoFile;
  } else if (RewriteIndex(&*sheet, old_key) != 1) {
    result = Stored::kNoIndex;
  } else {
    bool journal = FlushJournal(*sheet, GetSheetName(*sheet));
    base::RemoveFile(DataPath(name));
    ReleaseNumber(GetSheetPrefixOf(old_header), old_header.number);
    result = journal ? Stored::kOk : Stored::kNoJournal;
  }
  if (stored) *stored = std::move(*sheet);
  return result;
}

int UpdateIndex(const FactSheet* sheet, std::string_view old_header) {
  StoreLock lock;
  if (!lock.Held()) return -1;
  return RewriteIndex(sheet, sheet ? std::string() : KeyOfHeader(old_header));
}

void LogAction(FactSheet& sheet, std::string_view format, std::string_view a, std::string_view b,
               std::string_view c) {
  LogActionAt(sheet, static_cast<long>(std::time(nullptr)), format, a, b, c);
}

void LogActionAt(FactSheet& sheet, long time, std::string_view format, std::string_view a,
                 std::string_view b, std::string_view c) {
  std::string date = FormatDate(time);
  std::string message = FormatMessage(format, date.size(), a, b, c);
  sheet.log += base::Sprintf("%s %s\n", date, message);
  sheet.journal.push_back({std::move(date), std::move(message)});
}

bool AppendJournal(std::string_view line) {
  int fd = ::open(DataPath(kJournalName).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  return ::close(fd) == 0 && ok;
}

}  // namespace store
