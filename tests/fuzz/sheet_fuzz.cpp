// Arbitrary bytes as a sheet file and as a header line. Reading never fails; what is read
// writes back into bytes that read and write again unchanged; the streamed file reads as
// the same bytes in memory; the index key of a line agrees with its parsed header.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/out.h"
#include "store/buf_file.h"
#include "store/sheet.h"

namespace {

store::FactSheet ReadMemory(std::string_view bytes) {
  store::BufFile file;
  file.OpenMemory(bytes);
  return store::ReadSheetFrom(file);
}

// The same bytes through a real descriptor with the smallest buffer, so refills and line
// compaction are exercised.
std::string ReadStreamed(std::string_view bytes) {
  int fd = memfd_create("sheet", 0);
  if (fd < 0) return {};
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  store::BufFile file;
  std::string text;
  if (file.Open(base::Sprintf("/proc/self/fd/%d", fd), 'r', 0)) {
    store::FactSheet sheet = store::ReadSheetFrom(file);
    text = store::FormatSheet(sheet);
  }
  close(fd);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);

  store::FactSheet sheet = ReadMemory(bytes);
  std::string first = store::FormatSheet(sheet);
  store::FactSheet again = ReadMemory(first);
  if (store::FormatSheet(again) != first) std::abort();
  if (size > 2 * store::kLinePieceLimit && ReadStreamed(bytes) != first) std::abort();

  std::string_view line = bytes.substr(0, bytes.find('\n'));
  store::FactSheet header;
  store::ParseHeader(line, header);
  std::string key;
  store::IndexKeyOfLine(line, key);
  if (key != store::GetIndexKey(header)) std::abort();
  std::string formatted = store::FormatHeader(header);
  store::FactSheet reparsed;
  store::ParseHeader(std::string_view(formatted).substr(0, formatted.size() - 1), reparsed);
  if (store::FormatHeader(reparsed) != formatted) std::abort();
  return 0;
}
