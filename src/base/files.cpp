#include "base/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <map>
#include <thread>

#include "base/out.h"
#include "base/power_cut.h"

namespace base {
namespace {

struct Fault {
  long at = 0;  // the call that fails, 0 for none
  enum class What { kKill, kEio, kEnospc, kFull, kCut, kLose } what = What::kEio;
  long calls = 0;
  std::map<ino_t, long long> reserved;  // a full disk still takes writes into reserved room
};

Fault& Faults() {
  static Fault fault = [] {
    Fault f;
    const char* setting = TestSetting("QUORB_FAULT");
    if (!setting) return f;
    char* end = nullptr;
    f.at = std::strtol(setting, &end, 10);
    std::string_view what = end && *end == ':' ? std::string_view(end + 1) : "";
    if (what == "kill")
      f.what = Fault::What::kKill;
    else if (what == "enospc")
      f.what = Fault::What::kEnospc;
    else if (what == "full")
      f.what = Fault::What::kFull;
    else if (what == "cut")
      f.what = Fault::What::kCut;
    else if (what == "lose")
      f.what = Fault::What::kLose;
    return f;
  }();
  return fault;
}

// Counts one file-changing call; true when it is to fail (errno set). Kills the process
// when that is the fault asked for.
bool PowerCutMode() {
  Fault& f = Faults();
  return f.at > 0 && (f.what == Fault::What::kCut || f.what == Fault::What::kLose);
}

// A disk that fills at the chosen call: from it on, a write that needs new room fails with
// ENOSPC (one within the file's size or room reserved before does not); renames, links,
// removals and syncs need none.
bool InjectFull(int fd, off_t offset, size_t size) {
  Fault& f = Faults();
  ++f.calls;
  if (f.calls < f.at) return false;
  if (f.calls == f.at) {
    std::fprintf(stderr, "quorb: fault %ld\n", f.calls);
    std::fflush(stderr);
  }
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0) return false;
  if (offset < 0) offset = ::lseek(fd, 0, SEEK_CUR);
  auto room = f.reserved.find(st.st_ino);
  const long long end =
      std::max<long long>(st.st_size, room == f.reserved.end() ? 0 : room->second);
  if (offset >= 0 && offset + static_cast<long long>(size) <= end) return false;
  errno = ENOSPC;
  return true;
}

bool FullMode() {
  Fault& f = Faults();
  return f.at > 0 && f.what == Fault::What::kFull;
}

bool Inject(int fd = -1, off_t offset = -1, size_t size = 0) {
  Fault& f = Faults();
  if (f.at <= 0 || PowerCutMode()) return false;
  if (FullMode()) return InjectFull(fd, offset, size);
  ++f.calls;
  if (f.calls != f.at) return false;
  std::fprintf(stderr, "quorb: fault %ld\n", f.calls);
  std::fflush(stderr);
  if (f.what == Fault::What::kKill) ::kill(::getpid(), SIGKILL);
  errno = f.what == Fault::What::kEio ? EIO : ENOSPC;
  return true;
}

bool SyncOff() {
  static const bool off = TestSetting("QUORB_NOSYNC") != nullptr;
  return off;
}

// With QUORB_COUNT_SYNCS set, the number of syncs the process made is told on standard
// error when it ends (the benchmark's count per operation).
void CountSync() {
  static long syncs = -1;
  if (syncs < 0) {
    if (!TestSetting("QUORB_COUNT_SYNCS")) return;
    syncs = 0;
    std::atexit([] { std::fprintf(stderr, "quorb: syncs %ld\n", syncs); });
  }
  ++syncs;
}

// A sync barrier: in the power-cut modes the calls counted are these, and the chosen one
// leaves the files as a power cut at that moment could.
bool InjectSync() {
  if (!PowerCutMode()) return Inject();
  Fault& f = Faults();
  if (++f.calls != f.at) return false;
  std::fprintf(stderr, "quorb: fault %ld\n", f.calls);
  power_cut::Cut(f.what == Fault::What::kLose);
}

// In the power-cut modes, what a call is about to change is recorded first.
void BeforeWrite(int fd) {
  if (PowerCutMode()) power_cut::BeforeWrite(fd);
}
void BeforeNameChange(const char* path) {
  if (PowerCutMode()) power_cut::BeforeNameChange(path);
}

// A power cut is walked from the disk as it was when the process began: a folder or a link
// made before the first counted call is not taken for durable.
[[maybe_unused]] const bool kPowerCutFromStart = PowerCutMode() && power_cut::Active();

}  // namespace

const char* TestSetting(const char* name) {
  if (std::getenv("GATEWAY_INTERFACE")) return nullptr;
  return std::getenv(name);
}

ssize_t SysWrite(int fd, const void* bytes, size_t size) {
  if (Inject(fd, -1, size)) return -1;
  BeforeWrite(fd);
  return ::write(fd, bytes, size);
}

ssize_t SysPwrite(int fd, const void* bytes, size_t size, off_t offset) {
  if (Inject(fd, offset, size)) return -1;
  BeforeWrite(fd);
  return ::pwrite(fd, bytes, size, offset);
}

int SysRename(const char* from, const char* to) {
  if (Inject()) return -1;
  BeforeNameChange(to);
  return std::rename(from, to);
}

int SysLink(const char* from, const char* to) {
  if (Inject()) return -1;
  return ::link(from, to);
}

int SysLinkOpen(int fd, const char* to) {
  if (Inject()) return -1;
  return ::linkat(AT_FDCWD, Sprintf("/proc/self/fd/%d", fd).c_str(), AT_FDCWD, to,
                  AT_SYMLINK_FOLLOW);
}

int SysUnlink(const char* path) {
  if (Inject()) return -1;
  BeforeNameChange(path);
  return ::unlink(path);
}

bool SysReserve(int fd, long long at, long long size) {
  // Reserving needs room as writing does: on a full disk it fails.
  if (Inject(fd, static_cast<off_t>(at), static_cast<size_t>(size))) return false;
  const bool done =
      ::fallocate(fd, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(at), static_cast<off_t>(size)) == 0;
  if (!done && errno != EOPNOTSUPP && errno != ENOSYS) return false;
  struct stat st;
  if (FullMode() && ::fstat(fd, &st) == 0) {
    long long& end = Faults().reserved[st.st_ino];
    end = std::max(end, at + size);
  }
  return true;
}

bool SyncData(int fd) {
  if (SyncOff()) return true;
  if (InjectSync()) return false;
  CountSync();
  if (::fdatasync(fd) != 0) return false;
  if (PowerCutMode()) power_cut::AfterDataSync(fd);
  return true;
}

bool SyncFolder(const std::string& path) {
  if (SyncOff()) return true;
  if (InjectSync()) return false;
  CountSync();
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fsync(fd) == 0;
  ::close(fd);
  if (ok && PowerCutMode()) power_cut::AfterFolderSync(path);
  return ok;
}

File OpenFile(const std::string& path, const char* mode) {
  return File(std::fopen(path.c_str(), mode));
}

std::optional<std::string> ReadFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string content;
  // Sized by the file, read in as few calls as it takes; a file that grows meanwhile is read
  // to its end all the same. A read error ends the content where it happened.
  struct stat st;
  size_t size = ::fstat(fd, &st) == 0 && st.st_size > 0 ? static_cast<size_t>(st.st_size) : 0;
  size_t have = 0;
  for (;;) {
    if (have == content.size()) content.resize(std::max<size_t>(have + 4096, size + 1));
    ssize_t n = ::read(fd, content.data() + have, content.size() - have);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    have += static_cast<size_t>(n);
  }
  ::close(fd);
  content.resize(have);
  return content;
}

LineReader::LineReader(const std::string& path) : file_(OpenFile(path, "rb")) {}
LineReader::LineReader(File file) : file_(std::move(file)) {}
LineReader::~LineReader() {
  std::free(buffer_);
}

bool LineReader::Next(std::string& line, bool* ended) {
  if (!file_) return false;
  ssize_t n = getline(&buffer_, &capacity_, file_.get());
  if (n < 0) return false;
  bool has_lf = n > 0 && buffer_[n - 1] == '\n';
  line.assign(buffer_, has_lf ? n - 1 : n);
  if (ended) *ended = has_lf;
  return true;
}

std::string TempNameFor(const std::string& path) {
  return Sprintf("%s.tmp.%d", path, static_cast<int>(getpid()));
}

bool ReplaceFile(const std::string& temp, const std::string& path) {
  // The bytes first, then the name, then the folders that hold the names: a power cut never
  // leaves `path` naming a file whose data was not written yet.
  int fd = ::open(temp.c_str(), O_RDONLY | O_CLOEXEC);
  bool ok = fd >= 0 && SyncData(fd);
  if (fd >= 0) ::close(fd);
  ok = ok && SysRename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  const std::string from = FolderOf(temp), to = FolderOf(path);
  return SyncFolder(to) && (from == to || SyncFolder(from));
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = SysWrite(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

namespace {

// Waits for an exclusive flock on `fd`, at most `wait_ms` (none: without limit).
bool TakeFlock(int fd, int wait_ms) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(wait_ms);
  const int how = wait_ms < 0 ? LOCK_EX : LOCK_EX | LOCK_NB;
  while (::flock(fd, how) != 0) {
    const bool busy = errno == EWOULDBLOCK && wait_ms >= 0 && Clock::now() < deadline;
    if (errno != EINTR && !busy) return false;
    // flock has no time-out of its own: a bounded wait looks again shortly.
    if (busy) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// ReplaceFileContent with the folder's lock already held.
bool ReplaceLocked(const std::string& path, std::string_view content, const ReplaceHow& how) {
  const std::string temp = TempNameFor(path);
  ::unlink(temp.c_str());  // a leftover of a process with the same id
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  static_cast<mode_t>(how.mode));
  bool ok = fd >= 0 && WriteAll(fd, content) && SyncData(fd);
  int saved = errno;
  if (fd >= 0 && ::close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (ok && SysRename(temp.c_str(), path.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    if (fd >= 0) ::unlink(temp.c_str());
  } else if (!SyncFolder(FolderOf(path))) {
    ok = false;  // in place, but not known to last
    saved = errno;
  }
  if (!ok && how.error) *how.error = saved;
  return ok;
}

bool LockFailed(const ReplaceHow& how) {
  if (how.error) *how.error = errno == 0 ? EWOULDBLOCK : errno;
  return false;
}

}  // namespace

FolderLock::FolderLock(const std::string& folder, int wait_ms) {
  fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  held_ = fd_ >= 0 && TakeFlock(fd_, wait_ms);
  if (!held_ && fd_ >= 0 && errno == 0) errno = EWOULDBLOCK;
}

FolderLock::~FolderLock() {
  if (fd_ >= 0) ::close(fd_);
}

bool ReplaceFileContent(const std::string& path, std::string_view content, ReplaceHow how) {
  errno = 0;
  FolderLock lock(FolderOf(path), how.wait_ms);
  if (!lock.Held()) return LockFailed(how);
  return ReplaceLocked(path, content, how);
}

bool UpdateFileContent(
    const std::string& path,
    const std::function<std::optional<std::string>(const std::optional<std::string>&)>& change,
    ReplaceHow how) {
  errno = 0;
  FolderLock lock(FolderOf(path), how.wait_ms);
  if (!lock.Held()) return LockFailed(how);
  std::optional<std::string> next = change(ReadFile(path));
  return !next || ReplaceLocked(path, *next, how);
}

int CreateFileExclusive(const std::string& path, ReplaceHow how) {
  errno = 0;
  const std::string folder = FolderOf(path);
  FolderLock lock(folder, how.wait_ms);
  if (!lock.Held()) {
    LockFailed(how);
    return -1;
  }
  if (FileExists(path)) return 0;
  // Made whole under its own name (the file is empty), so no reader sees a half of it.
  return ReplaceLocked(path, "", how) ? 1 : -1;
}

FileLock::FileLock(const std::string& lock_path, int wait_ms) {
  fd_ = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) return;
  if (!TakeFlock(fd_, wait_ms)) {
    ::close(fd_);
    fd_ = -1;
  }
}

FileLock::~FileLock() {
  if (fd_ >= 0) ::close(fd_);  // closing releases the lock
}

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool MakeDirectory(const std::string& path) {
  return ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

bool RemoveFile(const std::string& path) {
  if (Inject()) return false;
  BeforeNameChange(path.c_str());
  return std::remove(path.c_str()) == 0;
}

long FileTime(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return 0;
  return static_cast<long>(st.st_mtime);
}

std::string JoinPath(std::string_view dir, std::string_view name) {
  std::string out(dir);
  if (out.empty() || out.back() != '/') out += '/';
  out += name;
  return out;
}

void DetachFromServer(int keep, const std::string& log) {
  ::setsid();
  if (keep >= 0 && keep <= 2) keep = ::fcntl(keep, F_DUPFD, 3);  // the copy holds a lock too
  struct stat st;
  const bool error_file = ::fstat(STDERR_FILENO, &st) == 0 && S_ISREG(st.st_mode);
  int null = ::open("/dev/null", O_RDWR);
  for (int fd = 0; fd <= 1 && null >= 0; ++fd) {
    if (fd != null) ::dup2(null, fd);
  }
  if (null > 2) ::close(null);
  if (!error_file) {
    int to = log.empty() ? -1 : ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (to < 0) to = ::open("/dev/null", O_WRONLY);
    if (to >= 0 && to != STDERR_FILENO) {
      ::dup2(to, STDERR_FILENO);
      ::close(to);
    }
  }
  const unsigned top = ~0U;
  if (keep > 3) ::close_range(3, static_cast<unsigned>(keep) - 1, 0);
  ::close_range(keep >= 3 ? static_cast<unsigned>(keep) + 1 : 3, top, 0);
}

}  // namespace base
