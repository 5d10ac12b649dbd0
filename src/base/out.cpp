#include "base/out.h"

#include <exception>

namespace base {

std::string VSprintf(std::string_view format, fmt::printf_args args) {
  try {
    return fmt::vsprintf(fmt::string_view(format.data(), format.size()), args);
  } catch (const std::exception&) {
    return std::string(format);
  }
}

void Write(Stream stream, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stream ? stream : stdout);
}

}  // namespace base
