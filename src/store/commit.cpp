#include "store/commit.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <set>
#include <vector>

#include "base/files.h"
#include "base/out.h"
#include "config/main_config.h"
#include "config/projects.h"
#include "store/buf_file.h"
#include "store/index.h"
#include "store/sheet.h"
#include "store/store.h"

namespace store {
namespace {

constexpr std::string_view kMagic = "QUORB-COMMIT 1\n";

std::string DataPath(std::string_view name) {
  return base::JoinPath(config::GetDataDir(), name);
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash + 1);
}

uint64_t Hash(std::string_view bytes) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ull;
  return h;
}

// The intent's records: "<tag> <length>\n<bytes>\n", closed by "end <hash>\n".
void Record(std::string& out, std::string_view tag, std::string_view value) {
  out += base::Sprintf("%s %d\n", tag, static_cast<long long>(value.size()));
  out += value;
  out += '\n';
}

std::string Serialise(const Commit& c) {
  std::string out(kMagic);
  Record(out, "pid", std::to_string(c.pid));
  for (const Commit::Step& step : c.steps) {
    Record(out, "step", std::to_string(static_cast<int>(step.kind)));
    Record(out, "a", step.a);
    Record(out, "b", step.b);
  }
  for (const std::string& line : c.index_add) Record(out, "add", line);
  for (const std::string& key : c.drop_keys) Record(out, "dropkey", key);
  for (const std::string& name : c.drop_names) Record(out, "dropname", name);
  Record(out, "append", c.append ? "1" : "0");
  Record(out, "isize", std::to_string(c.index_size));
  Record(out, "journal", c.journal);
  Record(out, "jsize", std::to_string(c.journal_size));
  out += base::Sprintf("end %s\n", std::to_string(Hash(out)));
  return out;
}

// A record's length; beyond any text when it is not a number.
size_t RecordSize(std::string_view digits) {
  size_t size = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), size);
  return error == std::errc() && end == digits.data() + digits.size() ? size : SIZE_MAX;
}

// The commit an intent holds, or nothing when it is not whole: its records, one after the
// other, up to the "end" line whose sum covers them. The intent is written over the one
// before, so bytes of an older, longer one may follow that line.
std::optional<Commit> Parse(std::string_view text) {
  if (!text.starts_with(kMagic)) return std::nullopt;
  Commit c;
  size_t pos = kMagic.size();
  while (!text.substr(pos).starts_with("end ")) {
    size_t blank = text.find(' ', pos), lf = text.find('\n', pos);
    if (blank == std::string_view::npos || lf == std::string_view::npos || blank > lf)
      return std::nullopt;
    std::string_view tag = text.substr(pos, blank - pos);
    size_t size = RecordSize(text.substr(blank + 1, lf - blank - 1));
    if (size > text.size() || lf + 2 + size > text.size()) return std::nullopt;
    std::string value(text.substr(lf + 1, size));
    pos = lf + 1 + size + 1;
    if (tag == "pid") {
      c.pid = std::atoi(value.c_str());
    } else if (tag == "step") {
      c.steps.push_back({static_cast<Commit::Kind>(std::atoi(value.c_str())), {}, {}});
    } else if (tag == "a" && !c.steps.empty()) {
      c.steps.back().a = std::move(value);
    } else if (tag == "b" && !c.steps.empty()) {
      c.steps.back().b = std::move(value);
    } else if (tag == "add") {
      c.index_add.push_back(std::move(value));
    } else if (tag == "dropkey") {
      c.drop_keys.push_back(std::move(value));
    } else if (tag == "dropname") {
      c.drop_names.push_back(std::move(value));
    } else if (tag == "append") {
      c.append = value == "1";
    } else if (tag == "isize") {
      c.index_size = std::atoll(value.c_str());
    } else if (tag == "journal") {
      c.journal = std::move(value);
    } else if (tag == "jsize") {
      c.journal_size = std::atoll(value.c_str());
    }
  }
  const size_t lf = text.find('\n', pos);
  if (lf == std::string_view::npos ||
      text.substr(pos + 4, lf - pos - 4) != std::to_string(Hash(text.substr(0, pos))))
    return std::nullopt;
  return c;
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// A file that does not exist yet, made nameless in its folder, synced and linked in under
// its name: no temporary name comes into the folder and goes again (a folder of thousands of
// sheets pays for every name it adds and drops). False, with nothing left, when the system
// offers no nameless file or the name was taken meanwhile.
bool PutNewFile(const std::string& path, std::string_view content) {
  int fd = ::open(FolderOf(path).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok =
      base::WriteAll(fd, content) && base::SyncData(fd) && base::SysLinkOpen(fd, path.c_str()) == 0;
  ::close(fd);
  return ok;
}

// Writes `content` under `path`: a new file as above, else through a synced temporary file.
// The temporary name is the writer's, whoever finishes its change: a process that dies while
// finishing another's change leaves nothing the next one does not write over and rename.
bool PutFile(const std::string& path, std::string_view content, int writer) {
  if (writer == ::getpid() && !Exists(path) && PutNewFile(path, content)) return true;
  const std::string temp = base::Sprintf("%s.tmp.%d", path, writer);
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = base::WriteAll(fd, content) && base::SyncData(fd);
  ok = ::close(fd) == 0 && ok;
  if (ok) ok = base::SysRename(temp.c_str(), path.c_str()) == 0;
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

// Makes the folder that holds `path` when it is missing (a power cut can lose a folder made
// before the change was written down), and has its own folder synced with the others.
bool EnsureFolderOf(const std::string& path, std::set<std::string>& folders) {
  const std::string folder = base::FolderOf(path);
  if (base::IsDirectory(folder)) return true;
  folders.insert(FolderOf(folder));
  return base::MakeDirectory(folder);
}

// The index rewritten through "index.tmp", compacted: of each key only its last line is kept;
// lines with a dropped key or name go; the added lines come last.
bool WriteIndexTemp(const Commit& c, const std::string& temp_path) {
  std::set<std::string, std::less<>> keys(c.drop_keys.begin(), c.drop_keys.end());
  std::set<std::string, std::less<>> names(c.drop_names.begin(), c.drop_names.end());
  std::set<int> numbers;  // the numbers of the dropped names: only those lines need a name
  for (const std::string& name : names) {
    size_t dot = name.rfind('.');
    if (dot != std::string::npos) numbers.insert(LeadingNumber(name.substr(dot + 1)));
  }
  for (const std::string& line : c.index_add) {
    FactSheet s;
    ParseHeader(std::string_view(line).substr(0, line.size() - 1), s);
    keys.insert(GetIndexKey(s));
    names.insert(GetSheetName(s));
    numbers.insert(s.number);
  }
  BufFile out;
  if (!out.Open(temp_path, 'w', kIndexBufferSize)) return false;
  bool ok = true;
  std::string key;
  // A stray empty line (hand edit) is dropped alone; a last line cut short is kept.
  ForEachIndexLine(
      [&](std::string_view line) {
        IndexKeyOfLine(line, key);
        if (keys.contains(key)) return true;
        FactSheet s;
        size_t bar = line.find('|');
        if (bar != std::string_view::npos &&
            numbers.contains(LeadingNumber(line.substr(bar + 1, line.find('|', bar + 1))))) {
          ParseHeader(line, s);
          if (names.contains(GetSheetName(s))) return true;
        }
        ok = out.Write(line) >= 0 && out.Write("\n") >= 0;
        return ok;
      },
      /*unfinished=*/true);
  for (const std::string& line : c.index_add) ok = ok && out.Write(line) >= 0;
  ok = out.Close() == 1 && ok;
  if (ok) {
    int fd = ::open(temp_path.c_str(), O_RDONLY | O_CLOEXEC);
    ok = fd >= 0 && base::SyncData(fd);
    if (fd >= 0) ::close(fd);
  }
  if (!ok) ::unlink(temp_path.c_str());
  return ok;
}

// Its data synced already; the folder is synced with the others at the end.
bool PutIndexTemp(const std::string& temp_path) {
  return base::SysRename(temp_path.c_str(), DataPath(kIndexName).c_str()) == 0;
}

bool RewriteIndex(const Commit& c) {
  const std::string temp_path = DataPath(kIndexTempName);
  return WriteIndexTemp(c, temp_path) && PutIndexTemp(temp_path);
}

// The files a writer makes ready lie in "tmp", named after it, where they are removed with
// the other leftovers of dead processes when it dies before its commit point.
std::string ReadyName(int pid, size_t step) {
  return DataPath(base::Sprintf("tmp/put.%d.%d", pid, static_cast<long long>(step)));
}
std::string ReadyIndexName(int pid) {
  return DataPath(base::Sprintf("tmp/put.%d.index", pid));
}

bool RewritesIndex(const Commit& c) {
  return (!c.index_add.empty() || !c.drop_keys.empty() || !c.drop_names.empty()) &&
         !(c.append && c.index_size >= 0);
}

// What the writer makes ready before its commit point, so that finishing its change needs no
// new room on the disk: each file's content (a nameless file, or "<name>.tmp.<pid>"), synced;
// the new index in "index.tmp"; room for the appended lines. A full disk then refuses the
// change before it is stored, never blocks it after.
struct Ready {
  std::vector<int> files;   // per step: a nameless file with a put's content, or -1
  std::vector<char> temps;  // per step: "<name>.tmp.<pid>" holds a put's content
  bool index = false;
  Ready() = default;
  Ready(const Ready&) = delete;
  Ready& operator=(const Ready&) = delete;
  ~Ready() {
    for (int fd : files)
      if (fd >= 0) ::close(fd);
  }
};

void DropReady(const Commit& c, const Ready& r) {
  for (size_t i = 0; i < r.temps.size(); ++i)
    if (r.temps[i]) ::unlink(ReadyName(c.pid, i).c_str());
  if (r.index) ::unlink(ReadyIndexName(c.pid).c_str());
}

bool ReserveAppend(const std::string& path, long long at, size_t bytes) {
  if (bytes == 0) return true;
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = base::SysReserve(fd, at < 0 ? 0 : at, static_cast<long long>(bytes));
  ::close(fd);
  return ok;
}

bool MakeReady(const Commit& c, Ready& r) {
  r.files.assign(c.steps.size(), -1);
  r.temps.assign(c.steps.size(), 0);
  for (size_t i = 0; i < c.steps.size(); ++i) {
    const Commit::Step& step = c.steps[i];
    if (step.kind != Commit::Kind::kPut) continue;
    const std::string path = DataPath(step.a);
    if (!Exists(path)) {
      int fd = ::open(FolderOf(path).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
      if (fd >= 0) {
        r.files[i] = fd;
        if (!base::WriteAll(fd, step.b) || !base::SyncData(fd)) return false;
        continue;
      }
    }
    const std::string temp = ReadyName(c.pid, i);
    const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::open(temp.c_str(), flags, 0644);
    if (fd < 0 && errno == ENOENT && base::MakeDirectory(DataPath("tmp")))
      fd = ::open(temp.c_str(), flags, 0644);
    if (fd < 0) return false;
    r.temps[i] = 1;
    bool ok = base::WriteAll(fd, step.b) && base::SyncData(fd);
    if (::close(fd) != 0 || !ok) return false;
  }
  if (RewritesIndex(c)) {
    base::MakeDirectory(DataPath("tmp"));
    if (!WriteIndexTemp(c, ReadyIndexName(c.pid))) return false;
    r.index = true;
  } else if (!c.index_add.empty()) {
    size_t bytes = 0;
    for (const std::string& line : c.index_add) bytes += line.size();
    if (!ReserveAppend(DataPath(kIndexName), c.index_size, bytes)) return false;
  }
  return ReserveAppend(DataPath(kJournalName), c.journal_size, c.journal.size());
}

bool ApplyStep(const Commit::Step& step, int writer, std::set<std::string>& folders,
               int ready_file = -1, const std::string* ready_temp = nullptr) {
  switch (step.kind) {
    case Commit::Kind::kPut: {
      const std::string path = DataPath(step.a);
      folders.insert(FolderOf(path));
      // A folder made for the change (the forwards') that a power cut lost is made again.
      if (!EnsureFolderOf(path, folders)) return false;
      if (ready_file >= 0 && base::SysLinkOpen(ready_file, path.c_str()) == 0) return true;
      if (ready_temp && base::SysRename(ready_temp->c_str(), path.c_str()) == 0) return true;
      return PutFile(path, step.b, writer);
    }
    case Commit::Kind::kRemove:
      return base::SysUnlink(DataPath(step.a).c_str()) == 0 || errno == ENOENT;
    case Commit::Kind::kMoveFolder: {
      const std::string from = DataPath(step.a), to = DataPath(step.b);
      folders.insert(FolderOf(to));
      folders.insert(FolderOf(from));
      if (!Exists(from) || Exists(to)) return true;  // moved already
      return EnsureFolderOf(to, folders) && base::SysRename(from.c_str(), to.c_str()) == 0;
    }
    case Commit::Kind::kMoveFile: {
      const std::string from = DataPath(step.a), to = DataPath(step.b);
      folders.insert(FolderOf(to));
      folders.insert(FolderOf(from));
      // Moved already only when the target holds the file: a source gone without its target
      // is a loss, never a step done.
      if (!Exists(from)) return Exists(to);
      if (!EnsureFolderOf(to, folders)) return false;
      if (base::SysLink(from.c_str(), to.c_str()) != 0 && errno != EEXIST) return false;
      // The new name lasts before the old one goes.
      if (!base::SyncFolder(base::FolderOf(to))) return false;
      return base::SysUnlink(from.c_str()) == 0 || errno == ENOENT;
    }
  }
  return false;
}

// Carries the commit out; idempotent, so that it can be run again after a crash at any
// point of an earlier run.
bool Apply(const Commit& c, std::string* why = nullptr, const Ready* ready = nullptr) {
  auto failed = [why](std::string_view what, std::string_view name) {
    if (why) *why = base::Sprintf("%s %s: %s", what, name, std::strerror(errno));
    return false;
  };
  static constexpr std::string_view kWhat[] = {"writing", "removing", "moving", "moving"};
  std::set<std::string> folders{config::GetDataDir()};
  for (size_t i = 0; i < c.steps.size(); ++i) {
    const Commit::Step& step = c.steps[i];
    const std::string temp = ready && ready->temps[i] ? ReadyName(c.pid, i) : std::string();
    if (!ApplyStep(step, c.pid, folders, ready ? ready->files[i] : -1,
                   temp.empty() ? nullptr : &temp))
      return failed(kWhat[static_cast<int>(step.kind) & 3], step.a);
  }
  if (c.pid != ::getpid()) ::unlink(DataPath(kIndexTempName).c_str());
  if (!c.index_add.empty() || !c.drop_keys.empty() || !c.drop_names.empty()) {
    bool ok = c.append && c.index_size >= 0 ? AppendAt(DataPath(kIndexName), c.index_size,
                                                       [&] {
                                                         std::string all;
                                                         for (const std::string& line : c.index_add)
                                                           all += line;
                                                         return all;
                                                       }())
              : ready && ready->index && PutIndexTemp(ReadyIndexName(c.pid)) ? true
                                                                             : RewriteIndex(c);
    if (!ok) return failed("writing", kIndexName);
  }
  // A rewritten index is compacted whole: readers learn where from the record, which only
  // spares them work (without it they take the whole file for appended lines).
  const bool rewritten =
      RewritesIndex(c) || std::any_of(c.steps.begin(), c.steps.end(), [](const Commit::Step& s) {
        return s.kind == Commit::Kind::kPut && s.a == kIndexName;
      });
  if (rewritten) {
    // One that cannot be written leaves the old one, which names a file that is gone.
    const std::string base = IndexBaseText();
    if (!base.empty()) PutFile(DataPath(kIndexBaseName), base, c.pid);
  }
  if (!c.journal.empty() && !AppendAt(DataPath(kJournalName), c.journal_size, c.journal))
    return failed("appending to", kJournalName);
  for (const std::string& folder : folders)
    if (!base::SyncFolder(folder)) return failed("syncing", folder);
  return true;
}

// The intent file, opened once and kept: it is never removed, only marked done, so that its
// name need not be made durable for each change.
int OpenIntent(int flags) {
  return ::open(DataPath(kIntentName).c_str(), flags | O_CLOEXEC, 0644);
}

// An intent holds no change once its first byte no longer begins the magic line. Marked in
// place rather than cut: cutting a file frees its blocks (and discards them on the disk), on
// every change, and the next intent is written over this one anyway.
void MarkDone(int fd) {
  if (base::SysPwrite(fd, "-", 1, 0) != 1) {
    if (::ftruncate(fd, 0) != 0) {
    }
  }
}

void ClearIntent() {
  int fd = OpenIntent(O_WRONLY);
  if (fd < 0) return;
  MarkDone(fd);
  ::close(fd);
}

bool IsDeadProcess(int pid) {
  return pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH;
}

// The process number a leftover's name carries after `prefix`, or 0.
int PidAfter(std::string_view name, std::string_view prefix) {
  if (!name.starts_with(prefix)) return 0;
  return LeadingNumber(name.substr(prefix.size()));
}

}  // namespace

std::string FolderStamp() {
  struct stat st;
  if (::stat(config::GetDataDir().c_str(), &st) != 0) return {};
  return base::Sprintf("@ %d %d\n", static_cast<long long>(st.st_mtim.tv_sec),
                       static_cast<long long>(st.st_mtim.tv_nsec));
}

Hints ReadHints() {
  Hints hints;
  std::optional<std::string> text = base::ReadFile(DataPath(kNumbersName));
  if (!text) return hints;
  size_t stamp = text->rfind("@ ");
  if (stamp == std::string::npos || text->substr(stamp) != FolderStamp()) return hints;
  hints.trusted = true;
  std::string_view rest = std::string_view(*text).substr(0, stamp);
  while (!rest.empty()) {
    size_t lf = rest.find('\n');
    std::string_view line = rest.substr(0, lf);
    rest.remove_prefix(lf == std::string_view::npos ? rest.size() : lf + 1);
    size_t blank = line.rfind(' ');
    if (blank == std::string_view::npos || blank == 0) continue;
    int n = LeadingNumber(line.substr(blank + 1));
    if (n >= 1) hints.next[std::string(line.substr(0, blank))] = n;
  }
  return hints;
}

bool AppendAt(const std::string& path, long long at, std::string_view bytes) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  struct stat st;
  bool ok = ::fstat(fd, &st) == 0;
  if (ok && at < 0) at = st.st_size;
  if (ok && st.st_size >= at + static_cast<long long>(bytes.size())) {
    std::string there(bytes.size(), '\0');
    if (::pread(fd, there.data(), there.size(), at) == static_cast<ssize_t>(there.size()) &&
        there == bytes) {
      ::close(fd);
      return true;  // written before
    }
  }
  if (ok && st.st_size > at) ok = ::ftruncate(fd, at) == 0;
  size_t done = 0;
  while (ok && done < bytes.size()) {
    ssize_t n = base::SysPwrite(fd, bytes.data() + done, bytes.size() - done,
                                static_cast<off_t>(at + static_cast<long long>(done)));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      ok = false;
    else
      done += static_cast<size_t>(n);
  }
  ok = ok && base::SyncData(fd);
  ok = ::close(fd) == 0 && ok;
  return ok;
}

long long SizeEndingInLine(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? 0 : -1;
  struct stat st;
  long long size = ::fstat(fd, &st) == 0 ? st.st_size : -1;
  char last = '\n';
  if (size > 0 && ::pread(fd, &last, 1, size - 1) != 1) size = -1;
  if (size > 0 && last != '\n') {
    size = base::SysPwrite(fd, "\n", 1, size) == 1 && base::SyncData(fd) ? size + 1 : -1;
  }
  ::close(fd);
  return size;
}

bool RunCommit(Commit& c) {
  c.pid = static_cast<int>(::getpid());
  // Appends start on a line of their own, at a size the intent records.
  if (!c.journal.empty() && (c.journal_size = SizeEndingInLine(DataPath(kJournalName))) < 0)
    return false;
  if (c.append && (c.index_size = SizeEndingInLine(DataPath(kIndexName))) < 0) return false;
  // Once the lines appended since the last rewrite have grown enough, this change rewrites
  // the index instead, dropping the dead lines: so many appends pay for each rewrite that a
  // change costs the same on average whatever the size of the store.
  if (c.append && IndexWantsCompaction(c.index_size)) {
    c.append = false;
    c.index_size = -1;
  }
  Ready ready;
  if (!MakeReady(c, ready)) {
    DropReady(c, ready);
    for (const Commit::Step& step : c.steps)
      if (step.kind == Commit::Kind::kMoveFile) ::unlink(DataPath(step.a).c_str());
    return false;
  }
  const std::string intent = Serialise(c);
  int fd = OpenIntent(O_WRONLY);
  // The first intent of a data directory: its name is made to last with it.
  const bool first = fd < 0 && errno == ENOENT;
  if (first) fd = OpenIntent(O_WRONLY | O_CREAT);
  if (fd < 0) {
    DropReady(c, ready);
    return false;
  }
  bool durable = base::WriteAll(fd, intent);
  // What a far larger change left after it is cut away now and then, not at every change.
  struct stat st;
  constexpr off_t kKeptTail = 65536;
  const off_t size = static_cast<off_t>(intent.size());
  if (durable && ::fstat(fd, &st) == 0 && st.st_size > size + kKeptTail &&
      ::ftruncate(fd, size) != 0) {
  }
  durable = durable && base::SyncData(fd);
  if (durable && first) durable = base::SyncFolder(config::GetDataDir());
  if (!durable) {
    // Never whole on disk: cleared, so that nobody finishes it.
    if (::ftruncate(fd, 0) != 0) {
    }
    ::close(fd);
    DropReady(c, ready);
    for (const Commit::Step& step : c.steps)
      if (step.kind == Commit::Kind::kMoveFile) ::unlink(DataPath(step.a).c_str());
    return false;
  }
  // The commit point is passed: from here on the change is stored.
  std::string why;
  if (Apply(c, &why, &ready))
    MarkDone(fd);
  else
    std::fprintf(stderr, "quorb: a stored change is not finished yet: %s\n", why.c_str());
  ::close(fd);
  return true;
}

bool RecoverStore(std::string* why) {
  int fd = OpenIntent(O_RDONLY);
  bool clear = true;
  if (fd >= 0) {
    // A marked intent holds nothing, and only its first bytes are read: intents are written
    // over each other, so the file keeps the size of the largest change it ever held.
    std::string text(kMagic.size(), '\0');
    struct stat st;
    if (::pread(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size()) &&
        text == kMagic && ::fstat(fd, &st) == 0) {
      text.resize(static_cast<size_t>(st.st_size));
      ssize_t n = ::pread(fd, text.data(), text.size(), 0);
      text.resize(n > 0 ? static_cast<size_t>(n) : 0);
      // One never whole is marked too.
      std::optional<Commit> c = Parse(text);
      clear = !c || Apply(*c, why);
      if (clear) ClearIntent();
    }
    ::close(fd);
  }
  // What dead processes left in "tmp"; not while a change still waits for a staged upload.
  if (clear)
    for (const std::string& path : DeadLeftovers()) {
      // A staged copy's folder of attachments goes whole.
      std::error_code error;
      std::filesystem::remove_all(path, error);
    }
  return clear;
}

bool IntentPending() {
  int fd = OpenIntent(O_RDONLY);
  if (fd < 0) return false;
  std::string head(kMagic.size(), '\0');
  const bool pending =
      ::pread(fd, head.data(), head.size(), 0) == static_cast<ssize_t>(head.size()) &&
      head == kMagic;
  ::close(fd);
  return pending;
}

std::vector<std::string> DeadLeftovers() {
  std::vector<std::string> found;
  const std::string dir = DataPath("tmp");
  DIR* d = ::opendir(dir.c_str());
  if (!d) return found;
  while (dirent* e = ::readdir(d)) {
    std::string_view name = e->d_name;
    int pid = PidAfter(name, "data");
    if (!pid) pid = PidAfter(name, "stage.");
    if (!pid) pid = PidAfter(name, "put.");
    if (!pid) pid = PidAfter(name, "bugmail.");
    if (!pid) pid = PidAfter(name, "synch.");
    if (IsDeadProcess(pid)) found.push_back(base::JoinPath(dir, name));
  }
  ::closedir(d);
  return found;
}

std::string StageUpload(const std::string& upload) {
  static int count = 0;
  const std::string staged =
      base::Sprintf("tmp/stage.%d.%d", static_cast<int>(::getpid()), count++);
  // The bytes and the staged name last before an intent names them.
  int fd = ::open(upload.c_str(), O_RDONLY | O_CLOEXEC);
  bool ok = fd >= 0 && base::SyncData(fd);
  if (fd >= 0) ::close(fd);
  if (!ok || base::SysRename(upload.c_str(), DataPath(staged).c_str()) != 0) return {};
  if (!base::SyncFolder(DataPath("tmp"))) {
    ::unlink(DataPath(staged).c_str());
    return {};
  }
  return staged;
}

}  // namespace store
