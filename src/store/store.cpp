#include "store/store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <future>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "base/files.h"
#include "base/out.h"
#include "base/request_state.h"
#include "config/main_config.h"
#include "config/projects.h"
#include "store/commit.h"

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

// Whether this request found a stored change it could not finish (checked once).
struct PendingCheck {
  bool done = false;
  bool pending = false;
};
// Set while this process holds the store lock: reads then need no check.
bool lock_held = false;

// The store lock of the data directory; Held() tells whether it was taken. Whoever takes it
// first finishes what a dead process left.
class StoreLock {
 public:
  StoreLock() : lock_(DataPath(kLockName), kStoreLockWaitMs) {
    std::string why;
    ready_ = lock_.Held() && RecoverStore(&why);
    lock_held = lock_.Held();
    PendingCheck& check = base::Cache<PendingCheck>();
    check.done = true;
    check.pending = !ready_;
    // The administrator learns it from the web server's error log.
    if (!lock_.Held())
      std::fprintf(stderr, "quorb: the store lock %s cannot be taken: %s\n",
                   DataPath(kLockName).c_str(), std::strerror(errno));
    else if (!ready_)
      std::fprintf(stderr, "quorb: a stored change cannot be finished: %s\n", why.c_str());
  }
  ~StoreLock() { lock_held = false; }
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;
  // Held, and no change is left unfinished (a new one must not overwrite its intent).
  bool Held() const { return ready_; }

 private:
  base::FileLock lock_;
  bool ready_ = false;
};

// The journal lines of the sheet, stored under `name`.
std::string JournalLines(FactSheet& sheet, std::string_view name) {
  std::string lines;
  for (const JournalNote& note : sheet.journal)
    lines += base::Sprintf("%s %s %s\n", note.date, name, note.message);
  sheet.journal.clear();
  return lines;
}

// Written in place, not renamed, so that it leaves the directory's time as it stamps it. A
// hint lost or cut only costs the next creation a probe from 1. The text is written over the
// old one, which it always covers but when the hints shrink: a file cut to nothing and written
// again is flushed to the disk when it is closed, which cost every change a quarter of a
// millisecond.
void WriteHints(const Hints& hints) {
  std::string text;
  for (const auto& [prefix, n] : hints.next) text += base::Sprintf("%s %d\n", prefix, n);
  text += FolderStamp();
  int fd = ::open(DataPath(kNumbersName).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  struct stat st;
  const bool shrinks = ::fstat(fd, &st) != 0 || st.st_size > static_cast<off_t>(text.size());
  // A shorter text leaves no stale tail after its stamp.
  if (!shrinks || ::ftruncate(fd, 0) == 0) base::WriteAll(fd, text);
  ::close(fd);
}

// The lowest free number of `prefix` from `first` up (1: the lowest free number of all); 0
// when the names of that prefix are refused.
int PickNumber(const Hints& hints, std::string_view prefix, int first) {
  int number = first < 1 ? 1 : first;
  if (number == 1 && hints.trusted) {
    auto hint = hints.next.find(prefix);
    if (hint != hints.next.end()) number = hint->second;
  }
  for (;; ++number) {
    std::string name = config::GetSheetName(prefix, number);
    if (!IsSheetName(name)) return 0;
    if (!SheetFileExists(name) && !IsForwarded(name)) return number;
  }
}

std::string FolderOfSheet(std::string_view name) {
  return base::Sprintf("TRACE_%s", name);
}

std::string ForwardName(std::string_view name) {
  return base::Sprintf("%s/%s", kForwardFolder, name);
}

// Whether the forward of `old` leads to `name`, or to another sheet that had that name too
// (moves on two sites at once): that one keeps it. `self` is the name the sheet leaves in
// this change, if any (a forward leading there leads to the sheet as it was).
bool LeadsToHolder(std::string_view old, std::string_view name, std::string_view self) {
  std::optional<std::string> next = ReadForward(old);
  if (!next) return false;
  if (*next == name) return true;
  std::optional<std::string> at = ResolveName(old);
  if (!at || *at == self) return false;
  if (*at == name) return true;
  std::optional<FactSheet> holder = ReadSheet(*at);
  if (!holder) return false;
  const std::vector<std::string> had = FormerNames(*holder);
  return std::find(had.begin(), had.end(), old) != had.end();
}

// The forwards a change puts for `sheet`, stored under `name`: `left`, the name it leaves
// (when it leaves one that no other sheet takes), and each former name that is no sheet's
// lead straight to it (a forward that led elsewhere is put right: a name the sheet lost in a
// clash of names is no longer on its way). A sheet that left `left` says so in its log.
void PutForwards(Commit& c, FactSheet& sheet, std::string_view name, std::string_view left = {},
                 const std::set<std::string>* taken = nullptr, bool note = true,
                 std::string_view self = {}) {
  std::vector<std::string> former = FormerNames(sheet);
  if (!left.empty() && left != name &&
      std::find(former.begin(), former.end(), left) == former.end()) {
    if (note) LogAction(sheet, std::string(kFormerlyWord) + "%s", left);
    former.emplace_back(left);
  }
  for (const std::string& old : former) {
    if (old == name || (taken && taken->contains(old)) ||
        (old != left && (SheetFileExists(old) || LeadsToHolder(old, name, self))))
      continue;
    base::MakeDirectory(DataPath(kForwardFolder));
    c.Put(ForwardName(old), base::Sprintf("%s\n", name));
  }
}

// The log line of a former name: its message after the date and blank, or empty.
std::string_view FormerNameOf(std::string_view line) {
  const size_t blank = line.find(' ');
  if (blank == std::string_view::npos) return {};
  std::string_view message = line.substr(blank + 1);
  if (!message.starts_with(kFormerlyWord)) return {};
  message.remove_prefix(kFormerlyWord.size());
  // The name ends the line: a message that merely starts with the word (a title typed so)
  // names nothing.
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
    message.remove_suffix(1);
  return IsSheetName(message) && message.find(' ') == std::string_view::npos ? message
                                                                             : std::string_view();
}

// A copy is a new sheet: the names its source had are not its own.
void DropFormerNames(FactSheet& sheet) {
  std::string kept;
  std::string_view log = sheet.log;
  while (!log.empty()) {
    const size_t lf = log.find('\n');
    std::string_view line = log.substr(0, lf == std::string_view::npos ? log.size() : lf + 1);
    log.remove_prefix(line.size());
    if (FormerNameOf(line).empty()) kept += line;
  }
  sheet.log = std::move(kept);
}

// A folder left by a sheet that is gone is moved aside before a new sheet takes its name.
void SetAsideOldFolder(Commit& c, std::string_view name) {
  const std::string folder = FolderOfSheet(name);
  if (!base::IsDirectory(DataPath(folder))) return;
  base::MakeDirectory(DataPath(kLostName));
  c.MoveFolder(folder, base::Sprintf("%s/%s.%d", kLostName, folder,
                                     static_cast<long long>(std::time(nullptr))));
}

// The index and journal part of storing `sheet` under `name`.
void AddSheetLines(Commit& c, FactSheet& sheet, std::string_view name) {
  c.index_add.push_back(FormatHeader(sheet));
  c.drop_keys.push_back(GetIndexKey(sheet));
  c.drop_names.emplace_back(name);
  c.journal += JournalLines(sheet, name);
}

// The change open for uploads (AddUploadToChange), while a `change` callback runs.
Commit* open_change = nullptr;

struct OpenChange {
  explicit OpenChange(Commit& c) { open_change = &c; }
  ~OpenChange() { open_change = nullptr; }
};

// Staged uploads of a change that will not be made are discarded.
void DropStaged(const Commit& c) {
  for (const Commit::Step& step : c.steps)
    if (step.kind == Commit::Kind::kMoveFile) ::unlink(DataPath(step.a).c_str());
}

// Each attachment entry that names a file the change moves into place records the file's
// size, so that the check can tell a file cut short (a power cut, a disk error) from a whole
// one.
void NoteUploadSizes(const Commit& c, FactSheet& sheet) {
  for (const Commit::Step& step : c.steps) {
    if (step.kind != Commit::Kind::kMoveFile) continue;
    struct stat st;
    if (::stat(DataPath(step.a).c_str(), &st) != 0) continue;
    for (SheetEntry& entry : sheet.entries) {
      std::string_view body = entry.text;
      while (!body.empty() && (body.back() == '\n' || body.back() == '\r')) body.remove_suffix(1);
      if (entry.kind == kAttachmentEntry && entry.bytes < 0 && body.ends_with(step.b))
        entry.bytes = static_cast<long long>(st.st_size);
    }
  }
}

// After a change: the hints, restamped when they were trusted before.
void Restamp(Hints& hints) {
  if (hints.trusted) WriteHints(hints);
}

// The form value of the next storing call (UseFormValue), and what the last refused one was
// stored as.
std::string form_value;
std::string form_stored_as;

// Under the lock: takes the pending form value; true when it was stored before (the name it
// was stored as is then in form_stored_as).
bool FormValueUsed(std::string& value) {
  value = std::exchange(form_value, {});
  form_stored_as.clear();
  if (value.empty()) return false;
  std::string forms = ReadRegularFile(AT_FDCWD, DataPath(kFormsName)).value_or("");
  for (std::string_view rest = forms; !rest.empty();) {
    std::string_view line = rest.substr(0, rest.find('\n'));
    rest.remove_prefix(std::min(rest.size(), line.size() + 1));
    if (line.size() > value.size() && line.starts_with(value) && line[value.size()] == ' ') {
      form_stored_as = line.substr(value.size() + 1);
      return true;
    }
  }
  return false;
}

// Records the form value with the sheet it stored, as part of the change `c`.
void RecordFormValue(Commit& c, std::string_view value, std::string_view name) {
  if (value.empty()) return;
  std::string forms = ReadRegularFile(AT_FDCWD, DataPath(kFormsName)).value_or("");
  if (!forms.empty() && forms.back() != '\n') forms += '\n';
  forms += base::Sprintf("%s %s\n", value, name);
  size_t lines = static_cast<size_t>(std::count(forms.begin(), forms.end(), '\n'));
  for (size_t cut = 0; lines > kFormsKept; --lines) {
    cut = forms.find('\n') + 1;
    forms.erase(0, cut);
  }
  c.Put(std::string(kFormsName), std::move(forms));
}

// A copy owns its attachments: the files of the source's folder that its entries name are
// hard-linked into a staged folder, which becomes the copy's folder in the change, and the
// entries name that folder. The staged folder is named as a staged upload, so that what a
// dead process left is found as its leftover.
bool LinkAttachments(Commit& c, FactSheet& copy, std::string_view source,
                     std::string_view copy_name) {
  const std::string old_part = FolderOfSheet(source) + "/";
  std::string staged;
  for (const SheetEntry& entry : copy.entries) {
    if (entry.kind != kAttachmentEntry) continue;
    const size_t at = entry.text.find(old_part);
    if (at == std::string::npos) continue;
    std::string file = entry.text.substr(at + old_part.size());
    while (!file.empty() && (file.back() == '\n' || file.back() == '\r')) file.pop_back();
    if (file.empty() || file.find('/') != std::string::npos || file == "..") continue;
    if (staged.empty()) {
      base::MakeDirectory(DataPath("tmp"));
      staged = base::Sprintf("tmp/stage.%d.%s", static_cast<int>(::getpid()), copy_name);
      std::filesystem::remove_all(DataPath(staged));
      if (!base::MakeDirectory(DataPath(staged))) return false;
    }
    const std::string from = DataPath(old_part + file), to = DataPath(staged + "/" + file);
    if (base::SysLink(from.c_str(), to.c_str()) != 0 && errno != EEXIST) {
      // A file that is already gone stays a dead link, as in its source.
      if (errno == ENOENT) continue;
      std::filesystem::remove_all(DataPath(staged));
      return false;
    }
  }
  if (staged.empty()) return true;
  // The staged folder and its links last before an intent names them: a power cut after the
  // intent would otherwise leave a copy whose attachments are gone.
  if (!base::SyncFolder(DataPath(staged)) || !base::SyncFolder(DataPath("tmp"))) {
    std::filesystem::remove_all(DataPath(staged));
    return false;
  }
  c.MoveFolder(staged, FolderOfSheet(copy_name));
  MoveAttachmentEntries(copy, source, copy_name);
  return true;
}

// Staged folders of a change that was not made are removed.
void DropStagedFolders(const Commit& c) {
  for (const Commit::Step& step : c.steps)
    if (step.kind == Commit::Kind::kMoveFolder && step.a.starts_with("tmp/"))
      std::filesystem::remove_all(DataPath(step.a));
}

Stored Run(Commit& c, Hints& hints) {
  if (!RunCommit(c)) return Stored::kNoFile;
  Restamp(hints);
  return Stored::kOk;
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

void MoveAttachmentEntries(FactSheet& sheet, std::string_view from, std::string_view to) {
  if (from == to) return;
  const std::string old_part = FolderOfSheet(from) + "/", new_part = FolderOfSheet(to) + "/";
  for (SheetEntry& entry : sheet.entries) {
    if (entry.kind != kAttachmentEntry) continue;
    size_t at = entry.text.find(old_part);
    if (at != std::string::npos) entry.text.replace(at, old_part.size(), new_part);
  }
}

bool IsSafeSheetName(std::string_view name) {
  return !name.empty() && name.find('/') == std::string_view::npos &&
         name.find("..") == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

bool IsSheetName(std::string_view name) {
  size_t dot = name.find('.');
  if (!IsSafeSheetName(name) || dot == std::string_view::npos || dot == 0 ||
      name.size() - dot - 1 < 5)
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

std::string GetSheetName(const HeaderView& header) {
  return config::GetSheetName(
      config::GetSheetPrefixOf(header[kProjectAt], header[kGroupAt], header.Code(kPhaseAt)),
      header.Number(kNumberAt));
}

std::optional<std::string> ReadForward(std::string_view name) {
  if (!IsSheetName(name)) return std::nullopt;
  std::optional<std::string> text = base::ReadFile(DataPath(ForwardName(name)));
  if (!text) return std::nullopt;
  return text->substr(0, text->find_first_of("\r\n"));
}

bool IsForwarded(std::string_view name) {
  if (!IsSafeSheetName(name)) return false;
  auto [dir, path] = base::Cache<DataDirectory>().Locate(ForwardName(name));
  struct stat st;
  return ::fstatat(dir, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

std::optional<std::string> ResolveName(std::string_view name) {
  if (!IsSheetName(name)) return std::nullopt;
  ChangePending();  // a move stored but not finished is finished first
  // A chain longer than this has a loop in it (the check repairs it).
  constexpr int kLongestChain = 64;
  std::string at(name);
  for (int hop = 0; hop < kLongestChain; ++hop) {
    if (SheetFileExists(at)) {
      // A sheet is a file: an attachment folder's name leads nowhere.
      auto [dir, path] = base::Cache<DataDirectory>().Locate(at);
      struct stat st;
      if (::fstatat(dir, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
      return at;
    }
    std::optional<std::string> next = ReadForward(at);
    if (!next || !IsSheetName(*next)) return std::nullopt;
    at = std::move(*next);
  }
  return std::nullopt;
}

std::vector<std::string> FormerNames(const FactSheet& sheet) {
  std::vector<std::string> names;
  std::string_view log = sheet.log;
  while (!log.empty()) {
    const size_t lf = log.find('\n');
    std::string_view line = log.substr(0, lf);
    log.remove_prefix(lf == std::string_view::npos ? log.size() : lf + 1);
    std::string_view former = FormerNameOf(line);
    if (!former.empty() && std::find(names.begin(), names.end(), former) == names.end())
      names.emplace_back(former);
  }
  return names;
}

bool ChangePending() {
  PendingCheck& check = base::Cache<PendingCheck>();
  if (check.done || lock_held) return check.pending;
  check.done = true;
  // One open and read when nothing waits; else the lock, whose taker finishes it.
  if (IntentPending()) {
    StoreLock lock;
  }
  return check.pending;
}

std::optional<FactSheet> ReadSheet(std::string_view name) {
  if (!IsSheetName(name)) return std::nullopt;
  ChangePending();
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
  ChangePending();  // a change left unfinished is finished before any sheet is shown
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
  // The first batch is wanted at once: it is read here, and a thread reads each later one
  // while the one before is used. Where no thread can be started, a batch is read when it
  // is wanted.
  constexpr auto kPolicy = std::launch::async | std::launch::deferred;
  std::future<Batch> next = std::async(std::launch::deferred, read, 0);
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
  if (!IsSheetName(config::GetSheetName(prefix, first))) {
    sheet.number = first;  // the name it would have had, for the report
    return Stored::kRefused;
  }
  StoreLock lock;
  if (!lock.Held()) return Stored::kNoFile;
  std::string once;
  if (FormValueUsed(once)) return Stored::kRefused;
  Hints hints = ReadHints();
  int number = PickNumber(hints, prefix, first);
  if (number == 0) return Stored::kRefused;
  const std::string asked = GetSheetName(sheet);
  sheet.number = number;
  const std::string name = GetSheetName(sheet);
  // A sheet that comes with attachments (from a partner) and gets another name here: its
  // entries follow it, as on a rename.
  MoveAttachmentEntries(sheet, asked, name);
  Commit c;
  SetAsideOldFolder(c, name);
  c.Put(name, FormatSheet(sheet));
  // A new name has no line in the index while the directory is as the program left it: one
  // appended line, not a rewrite.
  c.append = hints.trusted;
  AddSheetLines(c, sheet, name);
  RecordFormValue(c, once, name);
  if (!RunCommit(c)) return Stored::kNoFile;
  if (first == 1) {
    if (!hints.trusted) hints.next.clear();
    hints.next[prefix] = number + 1;
    hints.trusted = true;
  }
  Restamp(hints);
  return Stored::kOk;
}

Stored UpdateSheet(std::string_view name, const std::function<bool(FactSheet&)>& change,
                   FactSheet* stored) {
  if (!IsSheetName(name)) return Stored::kMissing;
  StoreLock lock;
  if (!lock.Held()) return Stored::kNoFile;
  std::string once;
  if (FormValueUsed(once)) return Stored::kRefused;
  std::optional<FactSheet> sheet = ReadSheet(name);
  if (!sheet) return Stored::kMissing;
  const std::string old_key = GetIndexKey(*sheet);
  Hints hints = ReadHints();
  Commit c;
  bool changed;
  {
    OpenChange open(c);
    changed = change(*sheet);
  }
  if (!changed) {
    DropStaged(c);
    return Stored::kRefused;
  }
  NoteUploadSizes(c, *sheet);
  c.Put(std::string(name), FormatSheet(*sheet));
  AddSheetLines(c, *sheet, name);
  c.append = GetIndexKey(*sheet) == old_key;  // its new line replaces the old one
  RecordFormValue(c, once, name);
  Stored result = Run(c, hints);
  if (stored) *stored = std::move(*sheet);
  return result;
}

bool AddUploadToChange(const std::string& upload, std::string_view name) {
  if (!open_change) return false;
  std::string staged = StageUpload(upload);
  if (staged.empty()) return false;
  open_change->MoveFile(std::move(staged), std::string(name));
  return true;
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
  Hints hints = ReadHints();
  Commit c;
  c.append = true;
  for (size_t i = 0; i < names.size(); ++i) {
    std::optional<FactSheet> sheet = IsSheetName(names[i]) ? ReadSheet(names[i]) : std::nullopt;
    if (!sheet) continue;
    sheets[i] = std::move(*sheet);
    const std::string old_key = GetIndexKey(sheets[i]);
    if (!change(sheets[i])) {
      results[i] = Stored::kRefused;
      continue;
    }
    results[i] = Stored::kOk;
    c.Put(names[i], FormatSheet(sheets[i]));
    AddSheetLines(c, sheets[i], names[i]);
    if (GetIndexKey(sheets[i]) != old_key) c.append = false;
  }
  // One change for them all.
  if (!c.steps.empty() && Run(c, hints) != Stored::kOk) {
    for (Stored& r : results)
      if (r == Stored::kOk) r = Stored::kNoFile;
  }
  if (stored) *stored = std::move(sheets);
  return results;
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
  std::string once;
  if (FormValueUsed(once)) return Stored::kRefused;
  std::optional<FactSheet> sheet = ReadSheet(name);
  if (!sheet) return Stored::kMissing;
  const FactSheet old_header = *sheet;
  if (!change(*sheet)) return Stored::kRefused;
  Hints hints = ReadHints();
  Commit c;
  c.drop_keys.push_back(GetIndexKey(old_header));
  std::string prefix = GetSheetPrefixOf(*sheet);
  std::string new_name = config::GetSheetName(prefix, sheet->number);
  const bool moves = new_name != name;
  if (moves) {
    int number = PickNumber(hints, prefix, first < 1 ? 1 : first);
    if (number == 0) {
      if (stored) *stored = std::move(*sheet);
      return Stored::kRefused;
    }
    sheet->number = number;
    new_name = GetSheetName(*sheet);
    // The attachments go with the sheet: its folder, and its entries that name it.
    MoveAttachmentEntries(*sheet, name, new_name);
    SetAsideOldFolder(c, new_name);
    if (base::IsDirectory(DataPath(FolderOfSheet(name))))
      c.MoveFolder(FolderOfSheet(name), FolderOfSheet(new_name));
  }
  // The old name leads to the new one from now on, and stays taken.
  if (moves) PutForwards(c, *sheet, new_name, name, nullptr, true, name);
  c.Put(new_name, FormatSheet(*sheet));
  if (moves) {
    c.Remove(std::string(name));
    c.drop_names.emplace_back(name);
  }
  AddSheetLines(c, *sheet, new_name);
  // A sheet that keeps its name and its key only needs its new line; one that moves, or
  // whose key changes, has its old line taken out by a rewrite.
  c.append = !moves && GetIndexKey(*sheet) == c.drop_keys.front();
  RecordFormValue(c, once, new_name);
  Stored result = Stored::kNoFile;
  if (RunCommit(c)) {
    result = Stored::kOk;
    if (moves && hints.trusted) {
      // Known taken below it only when the number was looked for from 1, or from the hint.
      auto hint = hints.next.find(prefix);
      if (hint == hints.next.end() ? first <= 1 : hint->second == sheet->number)
        hints.next[prefix] = sheet->number + 1;
      // Its old number is forwarded: never free again.
    }
    Restamp(hints);
  }
  if (stored) *stored = std::move(*sheet);
  return result;
}

Stored CopySheet(std::string_view name,
                 const std::function<bool(const FactSheet&, FactSheet&)>& make,
                 const std::function<void(FactSheet&, std::string_view)>& note, FactSheet* copy_out,
                 FactSheet* source_out) {
  if (!IsSheetName(name)) return Stored::kMissing;
  StoreLock lock;
  if (!lock.Held()) return Stored::kNoFile;
  std::string once;
  if (FormValueUsed(once)) return Stored::kRefused;
  std::optional<FactSheet> source = ReadSheet(name);
  if (!source) return Stored::kMissing;
  const std::string source_key = GetIndexKey(*source);
  FactSheet copy = *source;
  copy.journal.clear();
  DropFormerNames(copy);
  if (!make(*source, copy)) return Stored::kRefused;
  Hints hints = ReadHints();
  const std::string prefix = GetSheetPrefixOf(copy);
  // From the source's number up: on another prefix the copy usually keeps the number.
  int number = PickNumber(hints, prefix, source->number);
  if (number == 0) return Stored::kRefused;
  copy.number = number;
  const std::string copy_name = GetSheetName(copy);
  note(*source, copy_name);
  Commit c;
  SetAsideOldFolder(c, copy_name);
  if (!LinkAttachments(c, copy, name, copy_name)) return Stored::kNoFile;
  c.Put(copy_name, FormatSheet(copy));
  c.Put(std::string(name), FormatSheet(*source));
  AddSheetLines(c, copy, copy_name);
  AddSheetLines(c, *source, name);
  // As for a new sheet: while the directory is as the program left it, no line has the
  // copy's name.
  c.append = hints.trusted && GetIndexKey(*source) == source_key;
  RecordFormValue(c, once, copy_name);
  Stored result = Run(c, hints);
  if (result != Stored::kOk) DropStagedFolders(c);
  if (copy_out) *copy_out = std::move(copy);
  if (source_out) *source_out = std::move(*source);
  return result;
}

Stored StoreReceivedFile(const std::function<std::optional<std::string>()>& locate,
                         std::string_view file, const std::string& source) {
  if (file.empty() || file.find('/') != std::string_view::npos ||
      file.find("..") != std::string_view::npos || file.find('\0') != std::string_view::npos)
    return Stored::kRefused;
  std::optional<std::string> bytes = base::ReadFile(source);
  if (!bytes) return Stored::kNoFile;
  StoreLock lock;
  if (!lock.Held()) return Stored::kNoFile;
  // Asked under the lock: no rename moves the folder meanwhile.
  std::optional<std::string> sheet = locate();
  if (!sheet) return Stored::kMissing;
  if (!IsSheetName(*sheet)) return Stored::kRefused;
  const std::string folder = FolderOfSheet(*sheet);
  if (!base::MakeDirectory(DataPath(folder))) return Stored::kNoFile;
  Hints hints = ReadHints();
  Commit c;
  c.Put(base::Sprintf("%s/%s", folder, file), std::move(*bytes));
  return Run(c, hints);
}

Stored PlaceSheets(const std::function<bool(std::vector<Placement>&)>& plan,
                   const std::function<void(FactSheet&, std::string_view)>& renumbered,
                   std::vector<Placement>* placed) {
  StoreLock lock;
  if (!lock.Held()) return Stored::kNoFile;
  std::vector<Placement> list;
  if (!plan(list) || list.empty()) return Stored::kRefused;
  Hints hints = ReadHints();
  std::set<std::string> vacated, claimed;
  for (const Placement& p : list)
    if (!p.from.empty()) vacated.insert(p.from);
  // A name is free for a sheet when it is its own, or no sheet's and never forwarded; one
  // another sheet of the change leaves is free only for the sheet that wants it by name (the
  // older of two sheets given one name keeps it). The name a partner gave a sheet is taken
  // over a forward here (a move the partner had not heard of): every site must give a sheet
  // the same name, and a forward never holds a name against a sheet.
  auto free_for = [&](const std::string& n, const Placement& p, bool wanted) {
    if (claimed.contains(n)) return false;
    if (n == p.from) return true;
    if (!wanted && IsForwarded(n)) return false;
    return !SheetFileExists(n) || (wanted && vacated.contains(n));
  };
  Commit c;
  std::vector<std::pair<std::string, std::string>> moves;  // folders
  for (Placement& p : list) {
    const std::string prefix = GetSheetPrefixOf(p.sheet);
    const std::string wanted = GetSheetName(p.sheet);
    if (!IsSheetName(wanted)) return Stored::kRefused;
    if (!p.keep || !free_for(wanted, p, true)) {
      int number = p.first < 1 ? 1 : p.first;
      if (number == 1 && hints.trusted)
        if (auto hint = hints.next.find(prefix); hint != hints.next.end()) number = hint->second;
      for (;; ++number) {
        const std::string n = config::GetSheetName(prefix, number);
        if (!IsSheetName(n)) return Stored::kRefused;
        if (free_for(n, p, false)) break;
      }
      p.sheet.number = number;
    }
    p.name = GetSheetName(p.sheet);
    claimed.insert(p.name);
    p.renumbered = p.name != wanted;
    if (p.renumbered) renumbered(p.sheet, wanted);
    MoveAttachmentEntries(p.sheet, wanted, p.name);
    if (!p.from.empty()) {
      MoveAttachmentEntries(p.sheet, p.from, p.name);
      if (std::optional<FactSheet> old = ReadSheet(p.from))
        c.drop_keys.push_back(GetIndexKey(*old));
      if (p.from != p.name && base::IsDirectory(DataPath(FolderOfSheet(p.from))))
        moves.emplace_back(FolderOfSheet(p.from), FolderOfSheet(p.name));
    }
  }
  // A folder left behind under a name taken now goes aside; then the folders move, each
  // after the one that leaves its target (through "tmp" where two would swap).
  for (const Placement& p : list)
    if (p.from != p.name && !vacated.contains(p.name)) SetAsideOldFolder(c, p.name);
  while (!moves.empty()) {
    auto next = std::find_if(moves.begin(), moves.end(), [&](const auto& m) {
      return std::none_of(moves.begin(), moves.end(),
                          [&](const auto& o) { return &o != &m && o.first == m.second; });
    });
    if (next == moves.end()) {
      base::MakeDirectory(DataPath("tmp"));
      const std::string aside =
          base::Sprintf("tmp/stage.%d.%s", static_cast<int>(::getpid()), moves.front().first);
      c.MoveFolder(moves.front().first, aside);
      moves.front().first = aside;
      continue;
    }
    c.MoveFolder(next->first, next->second);
    moves.erase(next);
  }
  for (Placement& p : list) {
    const bool leaves = !p.from.empty() && p.from != p.name && !claimed.contains(p.from);
    // Only a move made here is logged: one that follows a partner's carries its line, and
    // this site's copy must stay the partner's.
    PutForwards(c, p.sheet, p.name, leaves ? std::string_view(p.from) : std::string_view(),
                &claimed, p.renumbered, p.from);
    c.Put(p.name, FormatSheet(p.sheet));
    if (p.from != p.name && IsForwarded(p.name)) c.Remove(ForwardName(p.name));
    if (leaves) c.Remove(p.from);
    if (!p.from.empty() && p.from != p.name) c.drop_names.push_back(p.from);
    AddSheetLines(c, p.sheet, p.name);
  }
  // Every name it gives was taken or is taken now, and none is freed: the hints hold.
  Stored result = Run(c, hints);
  if (placed) *placed = std::move(list);
  return result;
}

void UseFormValue(std::string value) {
  form_value = std::move(value);
}

const std::string& FormStoredAs() {
  return form_stored_as;
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
  StoreLock lock;
  if (!lock.Held()) return false;
  Hints hints = ReadHints();
  Commit c;
  c.journal = line;
  if (c.journal.empty() || c.journal.back() != '\n') c.journal += '\n';
  return Run(c, hints) == Stored::kOk;
}

}  // namespace store
