// The reading of the index: every key's last line, in one stream over the file.
#include "store/index.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "base/files.h"
#include "base/numbers.h"
#include "base/out.h"
#include "config/main_config.h"
#include "config/projects.h"
#include "store/buf_file.h"
#include "store/sheet.h"
#include "store/store.h"

namespace store {
namespace {

std::string IndexFilePath(std::string_view name) {
  return base::JoinPath(config::GetDataDir(), name);
}

uint64_t Fnv(std::string_view bytes) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ull;
  return h;
}

uint64_t KeyHashOfLine(std::string_view line, std::string& key) {
  IndexKeyOfLine(line, key);
  return Fnv(key);
}

// The number a line's key holds, as IndexKeyOfLine reads it; -1 when the quick reading could
// differ from it (a NUL byte in the field).
long long QuickNumber(std::string_view line) {
  // The number is the second field: with the usual one-letter code, from the third byte on.
  const size_t first = line.size() > 1 && line[0] != '|' && line[1] == '|' ? 1 : line.find('|');
  if (first == std::string_view::npos) return 0;
  size_t second = line.find('|', first + 1);
  if (second == std::string_view::npos) return 0;
  std::string_view field = line.substr(first + 1, second - first - 1);
  if (field.find('\0') != std::string_view::npos) return -1;
  return HeaderNumber(field);
}

// A sum of the bytes that end the compacted part, so that a record of another file that
// happens to get the same inode is not taken for this one's.
constexpr long long kCheckedBytes = 256;
std::string CheckOfEnd(int fd, long long size) {
  const long long from = std::max(0LL, size - kCheckedBytes);
  std::string bytes(static_cast<size_t>(size - from), '\0');
  if (!bytes.empty() &&
      ::pread(fd, bytes.data(), bytes.size(), from) != static_cast<ssize_t>(bytes.size()))
    return {};
  return std::to_string(Fnv(bytes));
}

// Where the compacted part of the open index `fd` ends: 0 when nothing is known of it. The
// record that says so goes to `record` (its text without the line feed).
long long CompactedEnd(int fd, const struct stat& st, std::string* record = nullptr) {
  std::optional<std::string> text = base::ReadFile(IndexFilePath(kIndexBaseName));
  if (!text) return 0;
  long long size = 0;
  unsigned long long inode = 0;
  char check[32] = {};
  if (std::sscanf(text->c_str(), "%lld %llu %31s", &size, &inode, check) != 3) return 0;
  if (size <= 0 || size > static_cast<long long>(st.st_size) ||
      inode != static_cast<unsigned long long>(st.st_ino) || CheckOfEnd(fd, size) != check)
    return 0;
  if (record) *record = text->substr(0, text->find('\n'));
  return size;
}

// Reads [from, to) of `fd` in blocks and hands each line with its offset to `line`, which
// returns false to stop. Bytes after the last line feed come as a line only with `unfinished`.
template <typename Use>
void StreamLines(int fd, long long from, long long to, bool unfinished, std::vector<char>& buffer,
                 Use&& line) {
  size_t held = 0;         // bytes in the buffer not handed out yet
  long long start = from;  // offset of the buffer's first byte
  long long at = from;     // next offset to read
  while (true) {
    if (held == buffer.size()) buffer.resize(buffer.size() * 2);  // a line longer than it
    ssize_t n = 0;
    if (at < to) {
      const size_t want =
          static_cast<size_t>(std::min(static_cast<long long>(buffer.size() - held), to - at));
      n = ::pread(fd, buffer.data() + held, want, at);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) n = 0;
    }
    const bool end = n == 0;
    at += n;
    held += static_cast<size_t>(n);
    size_t pos = 0;
    while (pos < held) {
      const char* lf = static_cast<const char*>(std::memchr(buffer.data() + pos, '\n', held - pos));
      if (!lf) break;
      const size_t length = static_cast<size_t>(lf - (buffer.data() + pos));
      if (length > 0 && !line(std::string_view(buffer.data() + pos, length), start + pos)) return;
      pos += length + 1;
    }
    if (end) {
      if (unfinished && pos < held)
        line(std::string_view(buffer.data() + pos, held - pos), start + pos);
      return;
    }
    std::memmove(buffer.data(), buffer.data() + pos, held - pos);
    held -= pos;
    start += static_cast<long long>(pos);
  }
}

}  // namespace

// The keys of the lines after the compacted part, each with the offset of its last line,
// sorted by key: a line is live when no later line has its key, and every later line of a key
// lies there. `numbers` marks the numbers of those keys, a quick first test for the lines
// before.
struct IndexTail {
  std::vector<std::pair<uint64_t, long long>> last;
  std::vector<uint64_t> numbers;  // a bit per number, taken modulo its size
  static constexpr uint64_t kNumberBits = uint64_t{1} << 20;

  void Mark(long long number) {
    const uint64_t bit = static_cast<uint64_t>(number) & (kNumberBits - 1);
    numbers[bit / 64] |= uint64_t{1} << (bit % 64);
  }
  bool MayHold(long long number) const {
    if (number < 0) return true;
    const uint64_t bit = static_cast<uint64_t>(number) & (kNumberBits - 1);
    return numbers[bit / 64] >> (bit % 64) & 1;
  }
  // The offset of the key's last line, or -1 when it has none after the compacted part.
  long long LastOf(uint64_t hash) const {
    auto it = std::lower_bound(last.begin(), last.end(), std::pair<uint64_t, long long>(hash, -1));
    return it != last.end() && it->first == hash ? it->second : -1;
  }
};

namespace {

// The appended part of `fd` ([compacted, size)) read into a tail, through `buffer`.
IndexTail ReadTail(int fd, long long compacted, long long size, bool unfinished,
                   std::vector<char>& buffer) {
  IndexTail tail;
  std::string key;
  tail.numbers.assign(IndexTail::kNumberBits / 64, 0);
  StreamLines(fd, compacted, size, unfinished, buffer, [&](std::string_view line, long long at) {
    tail.last.emplace_back(KeyHashOfLine(line, key), at);
    tail.Mark(QuickNumber(line));
    return true;
  });
  // By key, the last line of each kept.
  std::stable_sort(tail.last.begin(), tail.last.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  size_t kept = 0;
  for (size_t i = 0; i < tail.last.size(); ++i) {
    if (kept > 0 && tail.last[kept - 1].first == tail.last[i].first)
      tail.last[kept - 1] = tail.last[i];
    else
      tail.last[kept++] = tail.last[i];
  }
  tail.last.resize(kept);
  return tail;
}

}  // namespace

IndexFile::IndexFile() {
  fd_ = ::open(IndexFilePath(kIndexName).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) return;
  struct stat st;
  if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd_);
    fd_ = -1;
    return;
  }
  ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
  size_ = static_cast<long long>(st.st_size);
  compacted_ = CompactedEnd(fd_, st, &base_record_);
}

IndexFile::~IndexFile() {
  if (fd_ >= 0) ::close(fd_);
}

namespace {

// The offset of the first line of `fd` (of `size` bytes) that begins at `at` or after it.
long long LineStartIn(int fd, long long size, long long at) {
  if (at <= 0) return 0;
  std::string block(64 << 10, '\0');
  for (long long pos = at - 1; pos < size;) {
    const ssize_t n = ::pread(
        fd, block.data(), static_cast<size_t>(std::min<long long>(block.size(), size - pos)), pos);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (const void* lf = std::memchr(block.data(), '\n', static_cast<size_t>(n)))
      return pos + (static_cast<const char*>(lf) - block.data()) + 1;
    pos += n;
  }
  return size;
}

// The line of `fd` (of `size` bytes) that begins at `at`, without its line feed.
std::string_view LineIn(int fd, long long size, long long at, std::string& scratch) {
  if (fd < 0 || at < 0 || at >= size) return {};
  size_t want = 512;
  while (true) {
    scratch.resize(
        static_cast<size_t>(std::min<long long>(static_cast<long long>(want), size - at)));
    ssize_t n = ::pread(fd, scratch.data(), scratch.size(), at);
    if (n <= 0) return {};
    std::string_view got(scratch.data(), static_cast<size_t>(n));
    size_t lf = got.find('\n');
    if (lf != std::string_view::npos) return got.substr(0, lf);
    if (static_cast<size_t>(n) < want) return got;  // the file's last bytes
    want *= 2;
  }
}

}  // namespace

long long IndexFile::LineStartFrom(long long at) const {
  return LineStartIn(fd_, size_, at);
}

void IndexFile::ForEach(const std::function<bool(std::string_view line, long long at)>& each,
                        bool unfinished, int part, int parts) {
  if (fd_ < 0) return;
  std::vector<char> buffer(kIndexBufferSize);
  std::string key;
  const IndexTail tail = ReadTail(fd_, compacted_, size_, unfinished, buffer);
  const bool any_tail = !tail.last.empty();
  const bool last = part + 1 >= parts;
  const long long from = LineStartFrom(size_ * part / parts),
                  to = last ? size_ : LineStartFrom(size_ * (part + 1) / parts);
  StreamLines(fd_, from, to, unfinished && last, buffer, [&](std::string_view line, long long at) {
    if (any_tail) {
      if (at >= compacted_) {
        if (tail.LastOf(KeyHashOfLine(line, key)) != at) return true;
      } else if (tail.MayHold(QuickNumber(line)) && tail.LastOf(KeyHashOfLine(line, key)) >= 0) {
        return true;
      }
    }
    return each(line, at);
  });
}

void IndexFile::ForEachCompacted(
    const std::function<bool(std::string_view line, long long at)>& each, int part, int parts) {
  if (fd_ < 0 || compacted_ <= 0) return;
  std::vector<char> buffer(kIndexBufferSize);
  const long long from = part == 0 ? 0 : LineStartFrom(compacted_ * part / parts),
                  to = part + 1 >= parts ? compacted_
                                         : LineStartFrom(compacted_ * (part + 1) / parts);
  StreamLines(fd_, from, std::min(to, compacted_), false, buffer, each);
}

void IndexFile::ReadAppended() {
  if (fd_ < 0 || tail_) return;
  std::vector<char> buffer(kIndexBufferSize);
  tail_ = std::make_unique<IndexTail>(ReadTail(fd_, compacted_, size_, false, buffer));
}

bool IndexFile::Superseded(std::string_view line) const {
  if (!tail_ || tail_->last.empty() || !tail_->MayHold(QuickNumber(line))) return false;
  std::string key;
  return tail_->LastOf(KeyHashOfLine(line, key)) >= 0;
}

void IndexFile::ForEachAppended(
    const std::function<bool(std::string_view line, long long at)>& each) const {
  if (fd_ < 0 || !tail_ || tail_->last.empty()) return;
  std::vector<char> buffer(kIndexBufferSize);
  std::string key;
  StreamLines(fd_, compacted_, size_, false, buffer, [&](std::string_view line, long long at) {
    return tail_->LastOf(KeyHashOfLine(line, key)) != at || each(line, at);
  });
}

std::string_view IndexFile::LineAt(long long at, std::string& scratch) const {
  return LineIn(fd_, size_, at, scratch);
}

std::string_view IndexLineReader::LineAt(long long at, size_t known) {
  const int fd = index_.fd_;
  const long long size = index_.size_;
  if (fd < 0 || at < 0 || at >= size) return {};
  ++clock_;
  // A window that holds the line whole; else the one whose run reaches it (its line lies
  // within a window's length past the window's end); else the least recently used.
  Window* near = nullptr;
  Window* oldest = &windows_[0];
  for (Window& w : windows_) {
    if (at >= w.from && at < w.from + static_cast<long long>(w.size)) {
      const size_t start = static_cast<size_t>(at - w.from);
      const char* data = w.bytes.data() + start;
      if (known > 0 && start + known < w.size && data[known] == '\n') {
        w.used = clock_;
        ++w.served;
        return std::string_view(data, known);
      }
      if (const void* lf = std::memchr(data, '\n', w.size - start)) {
        w.used = clock_;
        ++w.served;
        return std::string_view(data, static_cast<size_t>(static_cast<const char*>(lf) - data));
      }
      if (w.from + static_cast<long long>(w.size) == size) {  // the file's last bytes
        w.used = clock_;
        return std::string_view(data, w.size - start);
      }
    }
    if (at >= w.from && at <= w.from + static_cast<long long>(w.size + w.room)) near = &w;
    if (w.used < oldest->used) oldest = &w;
  }
  // A run whose lines lie far apart (more than kFar bytes a line) reads them one by one: a
  // read costs less than copying that many bytes.
  Window& w = near ? *near : *oldest;
  const bool dense = near && w.served * kFar >= w.size;
  w.room = dense ? std::clamp(2 * w.room, kSmallest, kLargest) : kSmallest;
  w.served = 1;
  if (w.bytes.size() < w.room + kReadable) w.bytes.resize(w.room + kReadable);
  w.used = clock_;
  w.from = at;
  w.size = 0;
  const size_t want =
      static_cast<size_t>(std::min<long long>(static_cast<long long>(w.room), size - at));
  while (w.size < want) {
    const ssize_t n = ::pread(fd, w.bytes.data() + w.size, want - w.size, at + w.size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    w.size += static_cast<size_t>(n);
  }
  std::string_view got(w.bytes.data(), w.size);
  const size_t lf = got.find('\n');
  if (lf != std::string_view::npos) return got.substr(0, lf);
  if (w.size < want || at + static_cast<long long>(w.size) == size) return got;
  w.size = 0;  // a line longer than the window
  const size_t length = index_.LineAt(at, scratch_).size();
  if (scratch_.size() < length + kReadable) scratch_.resize(length + kReadable);
  return std::string_view(scratch_.data(), length);
}

namespace {

std::string CopyPath(std::string_view name) {
  return base::JoinPath(IndexFilePath(kIndexCopyFolder), name);
}

// The temporary files of makers in the copy's folder (a maker's own, while it writes).
std::vector<std::string> CopyTemporaries() {
  std::vector<std::string> found;
  if (DIR* d = ::opendir(CopyPath("").c_str())) {
    while (dirent* e = ::readdir(d))
      if (std::string_view(e->d_name).starts_with("lines.tmp."))
        found.push_back(CopyPath(e->d_name));
    ::closedir(d);
  }
  return found;
}

}  // namespace

std::string IndexCopyLockPath() {
  const std::string folder = IndexFilePath(kIndexCopyFolder);
  if (!base::IsDirectory(folder)) base::MakeDirectory(folder);
  return CopyPath("lock");
}

std::string IndexCopyLogPath() {
  return CopyPath("log");
}

IndexCopy::~IndexCopy() {
  if (fd_ >= 0) ::close(fd_);
}

bool IndexCopy::Open(const IndexFile& index) {
  if (index.Compacted() <= 0 || index.BaseRecord().empty()) return false;
  fd_ = ::open(CopyPath("lines").c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd_ < 0 || ::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  size_ = static_cast<long long>(st.st_size);
  // The head: read in growing pieces until its last line.
  std::string head;
  size_t lines = 0, wanted = 2, at = 0;
  for (size_t want = 4096; lines < wanted;) {
    if (at == head.size()) {
      const size_t had = head.size();
      head.resize(had + want);
      const ssize_t n = ::pread(fd_, head.data() + had, want, static_cast<off_t>(had));
      if (n <= 0) return false;
      head.resize(had + static_cast<size_t>(n));
      want *= 2;
    }
    const size_t lf = head.find('\n', at);
    if (lf == std::string::npos) {
      at = head.size();
      continue;
    }
    const std::string_view line(head.data() + at, lf - at);
    if (lines == 0 && line != index.BaseRecord()) return false;
    if (lines == 1) {
      const long long count = base::LeadingNumber(line);
      if (count < 0 || count > (1 << 20)) return false;
      wanted += static_cast<size_t>(count);
    }
    if (lines >= 2) {
      // project|group|phase|prefix: the project and group hold no bar (index fields).
      const size_t a = line.find('|'), b = line.find('|', a + 1), c = line.find('|', b + 1);
      if (c == std::string_view::npos) return false;
      CopyPrefix p{std::string(line.substr(0, a)), std::string(line.substr(a + 1, b - a - 1)),
                   static_cast<int>(base::LeadingNumber(line.substr(b + 1, c - b - 1))),
                   std::string(line.substr(c + 1))};
      if (config::GetSheetPrefixOf(p.project, p.group, p.phase) != p.prefix) return false;
      prefixes_.push_back(std::move(p));
    }
    ++lines;
    at = lf + 1;
  }
  start_ = static_cast<long long>(at);
  return true;
}

long long IndexCopy::LineStartFrom(long long at) const {
  return std::max(start_, LineStartIn(fd_, size_, at));
}

std::string_view IndexCopy::LineAt(long long at, std::string& scratch) const {
  return LineIn(fd_, size_, at, scratch);
}

bool IndexCopy::Read(char* bytes, size_t size, long long at) const {
  for (size_t done = 0; done < size;) {
    const ssize_t n = ::pread(fd_, bytes + done, size - done, at + static_cast<long long>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool WriteIndexCopy(
    const IndexFile& index, const std::vector<CopyPrefix>& prefixes,
    const std::function<bool(const std::function<bool(std::string_view line)>& put)>& lines) {
  if (index.Compacted() <= 0 || index.BaseRecord().empty()) return false;
  const std::string folder = IndexFilePath(kIndexCopyFolder);
  if (!base::IsDirectory(folder) && !base::MakeDirectory(folder)) return false;
  const std::string path = CopyPath("lines");
  // What a maker that died left: nobody else writes while the lock is held.
  for (const std::string& left : CopyTemporaries()) base::SysUnlink(left.c_str());
  const std::string temp = base::Sprintf("%s.tmp.%d", path, static_cast<int>(::getpid()));
  int fd =
      ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return false;
  std::string out = index.BaseRecord() + '\n' + std::to_string(prefixes.size()) + '\n';
  for (const CopyPrefix& p : prefixes)
    out += base::Sprintf("%s|%s|%d|%s\n", p.project, p.group, p.phase, p.prefix);
  constexpr size_t kWrite = 1 << 20;
  bool ok = lines([&](std::string_view line) {
    out.append(line) += '\n';
    if (out.size() < kWrite) return true;
    const bool written = base::WriteAll(fd, out);
    out.clear();
    return written;
  });
  ok = ok && base::WriteAll(fd, out);
  ::close(fd);
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  return base::ReplaceFile(temp, path);
}

std::string CheckIndexCopy(std::vector<std::string>& leftovers, std::string& bad) {
  if (!base::IsDirectory(IndexFilePath(kIndexCopyFolder))) return {};
  base::FileLock lock(CopyPath("lock"), 0);
  if (!lock.Held()) return {};
  for (std::string& left : CopyTemporaries()) leftovers.push_back(std::move(left));
  IndexFile index;
  IndexCopy copy;
  if (!copy.Open(index)) return {};
  // The lines compared as sets of their sums, and the copy's names in order.
  std::vector<uint64_t> wanted, held;
  FactSheet sheet;
  auto name_of = [&sheet](std::string_view line) {
    ParseHeader(line, sheet);
    std::string name = GetSheetName(sheet);
    return sheet.number >= 0 && IsSheetName(name) ? name : std::string();
  };
  index.ForEachCompacted([&](std::string_view line, long long) {
    if (!name_of(line).empty()) wanted.push_back(Fnv(line));
    return true;
  });
  std::vector<char> buffer(kIndexBufferSize);
  std::string last;
  bool ordered = true;
  StreamLines(copy.Fd(), copy.Start(), copy.Size(), false, buffer,
              [&](std::string_view line, long long) {
                std::string name = name_of(line);
                ordered = ordered && !name.empty() && name >= last;
                last = std::move(name);
                held.push_back(Fnv(line));
                return true;
              });
  std::sort(wanted.begin(), wanted.end());
  std::sort(held.begin(), held.end());
  if (ordered && wanted == held) return {};
  bad = CopyPath("lines");
  return ordered ? "index copy: its lines are not those of the compacted index"
                 : "index copy: its lines are not in name order";
}

bool ForEachIndexLine(const std::function<bool(std::string_view line)>& each, bool unfinished) {
  IndexFile index;
  if (!index.IsOpen()) return false;
  index.ForEach([&each](std::string_view line, long long) { return each(line); }, unfinished);
  return true;
}

long long CompactedIndexEnd() {
  int fd = ::open(IndexFilePath(kIndexName).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  struct stat st;
  long long compacted = 0;
  if (::fstat(fd, &st) == 0) compacted = CompactedEnd(fd, st);
  ::close(fd);
  return compacted;
}

bool IndexWantsCompaction(long long size) {
  const long long compacted = CompactedIndexEnd();
  return size - compacted > compacted / 8 + kIndexTailSlack;
}

std::string IndexBaseText() {
  int fd = ::open(IndexFilePath(kIndexName).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  struct stat st;
  std::string text;
  if (::fstat(fd, &st) == 0 && st.st_size > 0) {
    std::string check = CheckOfEnd(fd, st.st_size);
    if (!check.empty())
      text = base::Sprintf("%d %d %s\n", static_cast<long long>(st.st_size),
                           static_cast<long long>(st.st_ino), check);
  }
  ::close(fd);
  return text;
}

}  // namespace store
