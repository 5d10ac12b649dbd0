#include "store/buf_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/files.h"

namespace store {

BufFile::~BufFile() {
  Close();
}

bool BufFile::Open(const std::string& path, char mode, size_t size) {
  Close();
  writing_ = mode == 'w';
  int flags = writing_ ? (O_WRONLY | O_CREAT | O_TRUNC) : O_RDONLY;
  fd_ = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
  if (fd_ < 0) return false;
  struct stat st;
  if (!writing_ && (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode))) {
    ::close(fd_);
    fd_ = -1;
    return false;
  }
  // A file to read needs no more than its size and one byte, which tells its end at once.
  if (!writing_ && static_cast<size_t>(st.st_size) < size)
    size = static_cast<size_t>(st.st_size) + 1;
  capacity_ = std::max(size, 2 * kLinePieceLimit);
  buffer_ = std::make_unique_for_overwrite<char[]>(capacity_);
  data_ = buffer_.get();
  begin_ = end_ = 0;
  eof_ = failed_ = false;
  return true;
}

void BufFile::OpenMemory(std::string_view bytes) {
  Close();
  memory_ = true;
  writing_ = false;
  data_ = bytes.data();
  begin_ = 0;
  end_ = bytes.size();
  eof_ = true;
  failed_ = false;
}

size_t BufFile::FindLineEnd(size_t enough) {
  size_t scanned = begin_;
  while (true) {
    if (scanned < end_) {
      const void* lf = std::memchr(data_ + scanned, '\n', end_ - scanned);
      if (lf) return static_cast<const char*>(lf) - (data_ + begin_);
      scanned = end_;
    }
    if (eof_ || end_ - begin_ >= enough) return kNoLineEnd;
    // Keep the unread bytes, move them to the front and read more behind them.
    if (begin_ > 0) {
      std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
      scanned -= begin_;
      end_ -= begin_;
      begin_ = 0;
    }
    if (end_ == capacity_) {
      auto larger = std::make_unique_for_overwrite<char[]>(capacity_ * 2);
      std::memcpy(larger.get(), buffer_.get(), end_);
      buffer_ = std::move(larger);
      capacity_ *= 2;
      data_ = buffer_.get();
    }
    const size_t wanted = capacity_ - end_;
    ssize_t n = ::read(fd_, buffer_.get() + end_, wanted);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      eof_ = true;
    } else {
      end_ += static_cast<size_t>(n);
      // A regular file gives less than was asked for only at its end.
      if (static_cast<size_t>(n) < wanted) eof_ = true;
    }
  }
}

int BufFile::ReadLinePiece(std::string_view& line) {
  line = {};
  if (!IsOpen() || writing_) return -1;
  // One byte beyond the limit tells a line of exactly 1022 characters from a longer one.
  size_t lf = FindLineEnd(kLinePieceLimit + 1);
  size_t take, consume;
  if (lf != kNoLineEnd && lf <= kLinePieceLimit) {
    take = lf;
    consume = lf + 1;
  } else if (end_ - begin_ > kLinePieceLimit) {
    take = consume = kLinePieceLimit;
  } else {
    begin_ = end_;  // an unfinished last line is not returned
    return -1;
  }
  std::string_view piece(data_ + begin_, take);
  begin_ += consume;
  if (const void* nul = piece.empty() ? nullptr : std::memchr(piece.data(), 0, piece.size())) {
    piece = piece.substr(0, static_cast<const char*>(nul) - piece.data());
  }
  line = piece;
  return static_cast<int>(line.size());
}

bool BufFile::ReadLineView(std::string_view& line, bool keep_unfinished) {
  line = {};
  if (!IsOpen() || writing_) return false;
  size_t lf = FindLineEnd(kNoLineEnd);
  if (lf == kNoLineEnd) {
    bool rest = keep_unfinished && end_ > begin_;
    if (rest) line = std::string_view(data_ + begin_, end_ - begin_);
    begin_ = end_;
    return rest;
  }
  line = std::string_view(data_ + begin_, lf);
  begin_ += lf + 1;
  return true;
}

bool BufFile::Flush() {
  size_t done = 0;
  while (done < end_) {
    ssize_t n = base::SysWrite(fd_, buffer_.get() + done, end_ - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failed_ = true;
      end_ = 0;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  end_ = 0;
  return true;
}

long BufFile::Write(std::string_view bytes) {
  if (fd_ < 0 || !writing_) return -1;
  if (end_ + bytes.size() > capacity_) {
    if (!Flush()) return -1;
  }
  if (bytes.size() > capacity_) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = base::SysWrite(fd_, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        failed_ = true;
        return -1;
      }
      done += static_cast<size_t>(n);
    }
  } else {
    std::memcpy(buffer_.get() + end_, bytes.data(), bytes.size());
    end_ += bytes.size();
  }
  return static_cast<long>(bytes.size());
}

int BufFile::Close() {
  if (memory_) {
    memory_ = false;
    data_ = nullptr;
    begin_ = end_ = 0;
    return 1;
  }
  if (fd_ < 0) return 1;
  bool ok = true;
  if (writing_) ok = Flush() && !failed_;
  if (::close(fd_) != 0) ok = false;
  fd_ = -1;
  buffer_.reset();
  capacity_ = 0;
  data_ = nullptr;
  begin_ = end_ = 0;
  return ok ? 1 : -1;
}

}  // namespace store
