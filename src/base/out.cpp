#include "base/out.h"

#include <exception>

#include "base/request_state.h"

namespace base {

std::string VSprintf(std::string_view format, fmt::printf_args args) {
  try {
    return fmt::vsprintf(fmt::string_view(format.data(), format.size()), args);
  } catch (const std::exception&) {
    return std::string(format);
  }
}

namespace {
constexpr size_t kPageBufferSize = 1 << 16;
}  // namespace

PageBuffer::PageBuffer() : bytes_(std::make_unique_for_overwrite<char[]>(kPageBufferSize)) {
  std::fflush(stdout);
  std::setvbuf(stdout, bytes_.get(), _IOFBF, kPageBufferSize);
}

PageBuffer::~PageBuffer() {
  // Flushes, and lets go of the buffer before it is freed.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
}

void Write(Stream stream, std::string_view text) {
  if (text.empty()) return;  // an empty view may have no data at all
  if (!stream) {
    PageState& page = CurrentPage();
    page.bytes += text.size();
    if (page.capture) {
      page.capture->append(text);
      return;
    }
    stream = stdout;
  }
  std::fwrite(text.data(), 1, text.size(), stream);
}

PageState& CurrentPage() {
  return CurrentRequest().page;
}

void PageNote(std::string_view text) {
  PageState& page = CurrentPage();
  if (page.header_written)
    Write(nullptr, text);
  else
    page.held.append(text);
}

}  // namespace base
