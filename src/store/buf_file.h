// The buffered file every sheet, index and index.tmp access goes through: a file descriptor
// with its own buffer, read line by line or written in large blocks.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace store {

// Buffer size for sheet files.
inline constexpr size_t kSheetBufferSize = 50000;
// Buffer size for streaming the index, which grows with the number of sheets.
inline constexpr size_t kIndexBufferSize = 1 << 20;
// A line read with ReadLinePiece is returned in pieces of at most this many characters.
inline constexpr size_t kLinePieceLimit = 1022;

class BufFile {
 public:
  BufFile() = default;
  ~BufFile();
  BufFile(const BufFile&) = delete;
  BufFile& operator=(const BufFile&) = delete;

  // Opens `path` for reading ('r') or for writing ('w', replacing any earlier content)
  // with a buffer of `size` bytes. True when the file is open; only a regular file opens
  // for reading.
  bool Open(const std::string& path, char mode, size_t size = kSheetBufferSize);
  // Reads from `bytes` as if they were a file's content (kept by the caller meanwhile).
  void OpenMemory(std::string_view bytes);
  bool IsOpen() const { return fd_ >= 0 || memory_; }

  // The next line without its line feed, at most 1022 characters (a longer line comes back
  // in pieces), taken up to its first NUL byte; the piece stays in the buffer, valid until
  // the next read. Returns the number of characters, or -1 at end of file, when `line` is
  // left empty. Characters after the last line feed of the file are never returned.
  int ReadLinePiece(std::string_view& line);
  // The next whole line without its line feed, every byte kept, whatever its length; the
  // line stays in the buffer, valid until the next read. False at end of file; with
  // `keep_unfinished`, characters after the last line feed come back as a last line.
  bool ReadLineView(std::string_view& line, bool keep_unfinished = false);

  // Appends bytes, flushing the buffer first when they would not fit; a write larger than
  // the buffer goes out whole. Returns the count, or -1 when a flush failed.
  long Write(std::string_view bytes);
  // Flushes (for writing) and closes. Returns 1, or -1 when the flush or the close failed.
  int Close();

 private:
  static constexpr size_t kNoLineEnd = static_cast<size_t>(-1);
  // The offset from begin_ of the next line feed, reading more as needed; kNoLineEnd when
  // the file ends first or at least `enough` bytes are buffered without one.
  size_t FindLineEnd(size_t enough);
  bool Flush();

  int fd_ = -1;
  bool memory_ = false;
  bool writing_ = false;
  bool eof_ = false;
  bool failed_ = false;
  // Bytes are read in or written out before they are looked at: the buffer is not cleared.
  std::unique_ptr<char[]> buffer_;
  size_t capacity_ = 0;
  const char* data_ = nullptr;  // the bytes read: the buffer, or the caller's memory
  size_t begin_ = 0;            // next unread byte
  size_t end_ = 0;              // end of the bytes read
};

}  // namespace store
