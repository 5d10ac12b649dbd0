#include "base/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "base/out.h"

namespace base {

File OpenFile(const std::string& path, const char* mode) {
  return File(std::fopen(path.c_str(), mode));
}

std::optional<std::string> ReadFile(const std::string& path) {
  File f = OpenFile(path, "rb");
  if (!f) return std::nullopt;
  std::string content;
  char chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f.get())) > 0) content.append(chunk, n);
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
  if (std::rename(temp.c_str(), path.c_str()) == 0) return true;
  std::remove(temp.c_str());
  return false;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool WriteFileAtomic(const std::string& path, std::string_view content) {
  std::string temp = TempNameFor(path);
  {
    File f = OpenFile(temp, "wb");
    if (!f) return false;
    bool ok = std::fwrite(content.data(), 1, content.size(), f.get()) == content.size();
    ok = std::fflush(f.get()) == 0 && ok;
    if (!ok) {
      f.reset();
      std::remove(temp.c_str());
      return false;
    }
  }
  return ReplaceFile(temp, path);
}

bool WriteSecretFile(const std::string& path, std::string_view content, int* error) {
  const std::string temp = TempNameFor(path);
  ::unlink(temp.c_str());  // a leftover of a process with the same id
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  bool ok = fd >= 0 && WriteAll(fd, content) && ::fsync(fd) == 0;
  int saved = errno;
  if (fd >= 0 && ::close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (ok && std::rename(temp.c_str(), path.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    if (fd >= 0) ::unlink(temp.c_str());
    if (error) *error = saved;
  }
  return ok;
}

FileLock::FileLock(const std::string& lock_path) {
  fd_ = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) return;
  while (::flock(fd_, LOCK_EX) != 0) {
    if (errno != EINTR) {
      ::close(fd_);
      fd_ = -1;
      return;
    }
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

}  // namespace base
