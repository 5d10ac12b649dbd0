// The reading of the index and the record of its compacted part; the design is written down
// atop store.h. Every reader of the index goes through ForEachIndexLine.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace store {

// "<size> <inode> <check>\n": the index file `inode` held no key twice in its first `size`
// bytes when it was written (a rewrite), and `check` sums the bytes just before that size.
inline constexpr std::string_view kIndexBaseName = "index.base";
// A change compacts the index once the lines appended since its last rewrite take more than
// an eighth of what that rewrite left, plus this many bytes (small indexes are rewritten
// seldom: a rewrite of them costs little, but every one costs a sync).
inline constexpr long long kIndexTailSlack = 64 << 10;

// The index opened once. ForEach streams its live lines as ForEachIndexLine does, each with
// its offset; LineAt reads one back by that offset from the same file, which later changes
// (appends, a compaction renaming a new file in) leave as it was.
struct IndexTail;
class IndexFile {
 public:
  IndexFile();
  ~IndexFile();
  IndexFile(const IndexFile&) = delete;
  IndexFile& operator=(const IndexFile&) = delete;

  bool IsOpen() const { return fd_ >= 0; }
  // The bytes read of it: its size when it was opened.
  long long Size() const { return size_; }
  // With `parts` above 1, only the lines that begin in the `part`-th of as many stretches of
  // about the same size (from 0); `each` returning false stops that part only. The parts can
  // be walked at once on as many threads.
  void ForEach(const std::function<bool(std::string_view line, long long at)>& each,
               bool unfinished = false, int part = 0, int parts = 1);
  // The line that begins at `at`, without its line feed; empty past the end.
  std::string_view LineAt(long long at, std::string& scratch) const;

  // Where its compacted part ends (0: nothing known of it), and the text of the record of
  // "index.base" that says so (no line feed).
  long long Compacted() const { return compacted_; }
  const std::string& BaseRecord() const { return base_record_; }
  // Every line of the compacted part alone (as it was written: no key twice), in parts as
  // ForEach takes them.
  void ForEachCompacted(const std::function<bool(std::string_view line, long long at)>& each,
                        int part = 0, int parts = 1);
  // Reads the keys of the lines appended since the compacted part, once, for the two calls
  // below (which may then run on several threads).
  void ReadAppended();
  // Whether a line of the compacted part is dead: its key has a line appended since.
  bool Superseded(std::string_view line) const;
  // The live lines appended since the compacted part, in their order, with their offsets.
  void ForEachAppended(const std::function<bool(std::string_view line, long long at)>& each) const;

 private:
  friend class IndexLineReader;
  // The offset of the first line that begins at `at` or after it; the size when none does.
  long long LineStartFrom(long long at) const;
  int fd_ = -1;
  long long size_ = 0;
  long long compacted_ = 0;
  std::string base_record_;
  std::unique_ptr<IndexTail> tail_;
};

// Reads lines of an IndexFile back by their offsets, as LineAt does, for a walk that meets
// most of them in a few runs forward through the file: through a few windows of the file,
// each refilled by one read, that grow while their run goes on with lines close together
// (to kLargest bytes) and start small where a line lies near none of them or the run's lines
// lie far apart. A view lasts until the next call, and the kReadable bytes after its end may
// be read (they are no part of it): a caller may copy its fields in moves of a fixed size.
class IndexLineReader {
 public:
  static constexpr size_t kReadable = 64;
  explicit IndexLineReader(const IndexFile& index) : index_(index) {}
  // `length`, when known (not 0), spares looking for the line's end where a window holds it.
  std::string_view LineAt(long long at, size_t length = 0);

 private:
  static constexpr size_t kWindows = 4, kSmallest = 512, kLargest = 128 << 10, kFar = 8 << 10;
  struct Window {
    long long from = 0;
    size_t size = 0;    // bytes read
    size_t room = 0;    // bytes the next read asks
    size_t served = 0;  // lines it gave since it was read
    unsigned long used = 0;
    std::vector<char> bytes;
  };
  const IndexFile& index_;
  Window windows_[kWindows];
  unsigned long clock_ = 0;
  std::string scratch_;
};

// "index.byname/lines": the lines of the compacted part of the index that name a sheet, ordered
// by those names (bytes), the most recently written first where two are equal: a walk in
// that order (the export's) reads it once, where the index itself would be read once for
// every prefix of the names its lines interleave. It is a copy, made after a rewrite and
// outside the commit, that no change needs: its head ties it to the rewrite it copies (the
// record of "index.base") and lists the prefix it took for each project, group and phase met,
// and a copy whose head does not match the index and the configuration is not used:
//   <record of index.base>
//   <count of the lines below>
//   <project>|<group>|<phase>|<prefix>   (one a combination; the prefix empty: no sheet name)
//   <the lines, in name order>
// It lies in a folder of its own, with its lock and its temporary files: a name added to the
// data directory would tell the numbering that someone else changed the store.
inline constexpr std::string_view kIndexCopyFolder = "index.byname";

// The lock that one maker of the copy at a time holds, its folder made first when missing;
// the log of a maker that runs after the page (what it could not do).
std::string IndexCopyLockPath();
std::string IndexCopyLogPath();

struct CopyPrefix {
  std::string project, group;
  int phase = 0;
  std::string prefix;
};

// The copy of an opened index's compacted part, when one matches it.
class IndexCopy {
 public:
  IndexCopy() = default;
  ~IndexCopy();
  IndexCopy(const IndexCopy&) = delete;
  IndexCopy& operator=(const IndexCopy&) = delete;
  // False when there is no copy of `index`'s compacted part, or a prefix it was sorted with
  // is not the one the configuration now gives.
  bool Open(const IndexFile& index);
  int Fd() const { return fd_; }
  // Where its lines begin and end.
  long long Start() const { return start_; }
  long long Size() const { return size_; }
  const std::vector<CopyPrefix>& Prefixes() const { return prefixes_; }
  // The offset of the first line that begins at `at` or after it; Size() when none does.
  long long LineStartFrom(long long at) const;
  // The line that begins at `at`, without its line feed.
  std::string_view LineAt(long long at, std::string& scratch) const;
  // Reads `size` bytes from `at` into `bytes`; false when they cannot all be read.
  bool Read(char* bytes, size_t size, long long at) const;

 private:
  int fd_ = -1;
  long long start_ = 0, size_ = 0;
  std::vector<CopyPrefix> prefixes_;
};

// Writes the copy of `index`'s compacted part with the head for `prefixes`, under the lock of
// IndexCopyLockPath: `lines` hands its lines in order to `put` (which returns false on a
// write error), and returns false to give up. A temporary file is synced and renamed over the
// copy (what a maker that died left is removed first); false, with nothing left, on any
// failure.
bool WriteIndexCopy(
    const IndexFile& index, const std::vector<CopyPrefix>& prefixes,
    const std::function<bool(const std::function<bool(std::string_view line)>& put)>& lines);

// The integrity check of the copy, unless a maker is at work: the temporary files a maker
// that died left go to `leftovers`; a copy that matches the index but does not hold exactly
// the lines of its compacted part that name a sheet, in name order, is told (the text
// returned) and its path goes to `bad`.
std::string CheckIndexCopy(std::vector<std::string>& leftovers, std::string& bad);

// Streams the index once, in its order (least recently written first), and hands `each` every
// live line (the last line of its key) without its line feed; `each` returns false to stop.
// Empty lines are skipped; bytes after the last line feed are no line (a change may be
// appending them) unless `unfinished` is set (the writer, under the store lock). Only the
// index as it was when the call opened it is read. False when there is no index.
bool ForEachIndexLine(const std::function<bool(std::string_view line)>& each,
                      bool unfinished = false);

// Whether a change to an index of `size` bytes (ending in a line feed) compacts it.
bool IndexWantsCompaction(long long size);

// Where the part of the index that its last rewrite compacted ends (no key has two lines
// before it); 0 when nothing is known of it.
long long CompactedIndexEnd();

// The content of kIndexBaseName for the index as it is now, just after a rewrite left it
// compacted whole; empty when it cannot be read.
std::string IndexBaseText();

}  // namespace store
