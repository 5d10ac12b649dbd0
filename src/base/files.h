// Files: whole reads, line streams, atomic replacement, locks, directories.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace base {

struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f) std::fclose(f);
  }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// fopen with RAII; mode as for fopen (always binary on this platform).
File OpenFile(const std::string& path, const char* mode);

// The whole file, or nothing when it cannot be read.
std::optional<std::string> ReadFile(const std::string& path);

// Reads a file line by line without holding it whole. A line keeps every byte but the
// terminating line feed; `ended` tells whether that line feed was there.
class LineReader {
 public:
  explicit LineReader(const std::string& path);
  explicit LineReader(File file);
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  bool IsOpen() const { return file_ != nullptr; }
  bool Next(std::string& line, bool* ended = nullptr);

 private:
  File file_;
  char* buffer_ = nullptr;  // owned by getline
  size_t capacity_ = 0;
};

// The one way a file outside the store is replaced. Under the lock of its folder (an
// exclusive flock on the folder itself, waited for at most `wait_ms`), `content` is written
// to "<path>.tmp.<pid>" (made afresh with `mode`, never through a symbolic link), its data
// synced, renamed over `path`, and the folder synced: after a crash or a power cut a reader
// finds the old file or the new one, whole, and a true return means the new one lasts.
// On failure `error` (when given) holds the system's error number (EWOULDBLOCK: the lock
// stayed taken) and the temporary file is gone.
inline constexpr int kFileLockWaitMs = 5000;
struct ReplaceHow {
  unsigned mode = 0644;  // 0600 for a file that holds a secret (passwords, keys)
  int wait_ms = kFileLockWaitMs;
  int* error = nullptr;
};
bool ReplaceFileContent(const std::string& path, std::string_view content, ReplaceHow how = {});

// Reads `path`, changes it and replaces it, all under its folder's lock, so that two
// writers each see the other's change. `change` gets the content (nothing when there is no
// file) and returns the new content, or nothing to leave the file as it is (then true).
bool UpdateFileContent(
    const std::string& path,
    const std::function<std::optional<std::string>(const std::optional<std::string>&)>& change,
    ReplaceHow how = {});

// Creates `path` empty when no file has that name, durably (folder synced), under the
// folder's lock. 1: created; 0: a file was there; -1: failure.
int CreateFileExclusive(const std::string& path, ReplaceHow how = {});

// The lock of a folder: an exclusive flock on the folder itself, so no lock file is left in
// it. Held() is false when it could not be had within `wait_ms`.
class FolderLock {
 public:
  explicit FolderLock(const std::string& folder, int wait_ms = kFileLockWaitMs);
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  bool Held() const { return held_; }

 private:
  int fd_ = -1;
  bool held_ = false;
};

// The folder part of `path` ("." when it has none).
std::string FolderOf(const std::string& path);

// ReplaceFileContent with the usual mode; kept for the many callers that need no more.
inline bool WriteFileAtomic(const std::string& path, std::string_view content) {
  return ReplaceFileContent(path, content);
}

// ReplaceFileContent for a file that holds a secret (mode 0600 from its first byte on).
inline bool WriteSecretFile(const std::string& path, std::string_view content,
                            int* error = nullptr) {
  return ReplaceFileContent(path, content, {.mode = 0600, .error = error});
}

// Writes all of `bytes` to the descriptor `fd`, as many calls as it takes; false on an error.
bool WriteAll(int fd, std::string_view bytes);

// A temporary name beside `path` that no other process uses.
std::string TempNameFor(const std::string& path);

// Replaces `path` by `temp` (already written and closed).
bool ReplaceFile(const std::string& temp, const std::string& path);

// An exclusive advisory lock (flock) on a lock file, held until destruction. A holder that
// dies loses it at once, so no lock outlives its process. With `wait_ms` at 0 or more the
// lock is given up (Held() false) when it is not free within that many milliseconds.
class FileLock {
 public:
  explicit FileLock(const std::string& lock_path, int wait_ms = -1);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  bool Held() const { return fd_ >= 0; }
  int fd() const { return fd_; }  // -1 when not held

 private:
  int fd_ = -1;
};

// Leaves the web server behind, in a process forked after the page: a session of its own (no
// signal sent to the request's group reaches it), standard input and output on /dev/null and
// every other descriptor closed but `keep`, so that no pipe of the server stays open. Standard
// error stays when it is a file (the server's error log: nobody waits on it); a pipe is
// replaced by `log` (appended to), or by /dev/null when `log` is empty.
void DetachFromServer(int keep, const std::string& log = {});

bool FileExists(const std::string& path);
bool IsDirectory(const std::string& path);
// Creates a directory; an existing one is fine.
bool MakeDirectory(const std::string& path);
bool RemoveFile(const std::string& path);
// Modification time in seconds since 1970, 0 when the file does not exist.
long FileTime(const std::string& path);

// The file-changing system calls of the store and of every atomic replacement go through
// these, so that a test can make the n-th of them fail or kill the process:
//   QUORB_FAULT="<n>:<what>"   what: kill, eio or enospc (the n-th call), full (the disk
//                              fills at the n-th call: from it on every write that needs new
//                              room fails with ENOSPC, one into a file's size or reserved
//                              room does not); calls counted from 1 over write, reserve,
//                              rename, link, unlink and sync alike
//   QUORB_FAULT="<n>:cut"      a power cut at the n-th sync (fdatasync of a file, fsync of a
//   QUORB_FAULT="<n>:lose"     folder, counted from 1): the data each file got since its last
//                              sync is cut halfway ("cut") or lost ("lose"), the names made,
//                              replaced or removed since their folder's last sync under the
//                              tree QUORB_CUT_ROOT are as they were, and the process dies
//   QUORB_NOSYNC=1             no file or folder is synced (the benchmark's "without sync")
//   QUORB_COUNT_SYNCS=1        "quorb: syncs <n>" on standard error when the process ends
// Both are read only when GATEWAY_INTERFACE is unset: a web server always sets it, so no
// request can ever reach them. A fault that fires says "quorb: fault <n>" on standard error.
ssize_t SysWrite(int fd, const void* bytes, size_t size);
ssize_t SysPwrite(int fd, const void* bytes, size_t size, off_t offset);
int SysRename(const char* from, const char* to);
int SysLink(const char* from, const char* to);
// Gives the nameless file open as `fd` (O_TMPFILE) the name `to`; counted as a link.
int SysLinkOpen(int fd, const char* to);
int SysUnlink(const char* path);
// Reserves room for `size` bytes at `at` in the open file `fd` without changing its size
// (fallocate), so that writing them later cannot meet a full disk; true when done or when
// the file system cannot reserve (nothing is promised then). Counted as a write.
bool SysReserve(int fd, long long at, long long size);
// fdatasync of an open file; true when done (or syncing is off).
bool SyncData(int fd);
// fsync of a folder, so that the names created, renamed or removed in it last; true when done.
bool SyncFolder(const std::string& path);
// The value of a test setting (see above), or null.
const char* TestSetting(const char* name);

// Appends `name` to `dir` with a slash between them (kept when `dir` already ends in one).
std::string JoinPath(std::string_view dir, std::string_view name);

}  // namespace base
