#include "store/store.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "base/files.h"
#include "base/out.h"
#include "config/main_config.h"
#include "config/projects.h"

namespace store {
namespace {

std::string DataPath(std::string_view name) {
  return base::JoinPath(config::GetDataDir(), name);
}

// Creates `path` exclusively. 1: created; 0: it exists already; -1: it cannot be created.
int CreateExclusive(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd >= 0) {
    ::close(fd);
    return 1;
  }
  return errno == EEXIST ? 0 : -1;
}

// Rewrites the index; the caller holds the store lock.
int RewriteIndex(const FactSheet* sheet, std::string_view old_header) {
  std::string target;
  if (sheet) {
    target = GetIndexKey(*sheet);
  } else {
    if (!old_header.empty() && old_header.back() == '\n') old_header.remove_suffix(1);
    IndexKeyOfLine(old_header, target);
  }
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
      if (key == target) continue;
      ok = out.Write(line) >= 0 && out.Write("\n") >= 0;
    }
    in.Close();
  }
  if (ok && sheet) ok = out.Write(FormatHeader(*sheet)) >= 0;
  ok = out.Close() == 1 && ok;
  if (!ok) {
    base::RemoveFile(temp_path);
    return -1;
  }
  return base::ReplaceFile(temp_path, index_path) ? 1 : -1;
}

// Takes the first number from `number` up whose sheet file under `prefix` does not exist,
// creating that file. The caller holds the store lock.
int ReserveNumber(std::string_view prefix, int number) {
  if (number < 1) number = 1;
  while (true) {
    std::string name = config::GetSheetName(prefix, number);
    if (!IsSafeSheetName(name)) return number;
    int created = CreateExclusive(DataPath(name));
    if (created != 0) return number;  // reserved, or nothing can be created there
    ++number;
  }
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

std::string GetSheetPrefixOf(const FactSheet& sheet) {
  return config::GetSheetPrefixOf(sheet.project, sheet.group, sheet.phase);
}

std::string GetSheetName(const FactSheet& sheet) {
  return config::GetSheetName(GetSheetPrefixOf(sheet), sheet.number);
}

std::optional<FactSheet> ReadSheet(std::string_view name) {
  if (!IsSafeSheetName(name)) return std::nullopt;
  BufFile file;
  if (!file.Open(DataPath(name), 'r', kSheetBufferSize)) return std::nullopt;
  return ReadSheetFrom(file);
}

int WriteSheet(FactSheet& sheet) {
  return WriteSheetAs(sheet, GetSheetName(sheet));
}

int WriteSheetAs(FactSheet& sheet, std::string_view name) {
  std::string content = FormatSheet(sheet);
  int result = 0;
  std::string path, temp;
  if (IsSafeSheetName(name)) {
    path = DataPath(name);
    temp = base::TempNameFor(path);
    BufFile file;
    if (file.Open(temp, 'w', kSheetBufferSize)) {
      bool ok = file.Write(content) >= 0;
      ok = file.Close() == 1 && ok;
      result = ok ? 1 : -1;
      if (!ok) base::RemoveFile(temp);
    }
  }
  base::FileLock lock(DataPath(kLockName));
  if (result == 1 && !base::ReplaceFile(temp, path)) result = -1;
  RewriteIndex(&sheet, {});
  return result;
}

int UpdateIndex(const FactSheet* sheet, std::string_view old_header) {
  base::FileLock lock(DataPath(kLockName));
  return RewriteIndex(sheet, old_header);
}

int FirstFreeNumber(std::string_view prefix) {
  base::FileLock lock(DataPath(kLockName));
  return ReserveNumber(prefix, 1);
}

void NextFreeNumber(FactSheet& sheet) {
  NextFreeNumberFor(sheet, GetSheetPrefixOf(sheet));
}

void NextFreeNumberFor(FactSheet& sheet, std::string_view prefix) {
  base::FileLock lock(DataPath(kLockName));
  sheet.number = ReserveNumber(prefix, sheet.number);
}

void LogAction(FactSheet& sheet, std::string_view format, std::string_view a, std::string_view b,
               std::string_view c) {
  LogActionAt(sheet, GetSheetName(sheet), static_cast<long>(std::time(nullptr)), format, a, b, c);
}

void LogActionAt(FactSheet& sheet, std::string_view name, long time, std::string_view format,
                 std::string_view a, std::string_view b, std::string_view c) {
  std::string date = FormatDate(time);
  std::string message = FormatMessage(format, date.size(), a, b, c);
  sheet.log += base::Sprintf("%s %s\n", date, message);
  // One write of the whole line, so lines of concurrent requests never interleave.
  std::string journal = base::Sprintf("%s %s %s\n", date, name, message);
  int fd = ::open(DataPath(kJournalName).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  ssize_t written = ::write(fd, journal.data(), journal.size());
  (void)written;  // a lost journal line is not reported; the sheet's log keeps it
  ::close(fd);
}

}  // namespace store
