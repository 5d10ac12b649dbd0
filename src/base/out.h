// Formatted output for pages, mail files and print files.
//
// Formats are printf-style and often come from the language files at run time, so a
// malformed one (an unknown conversion, a missing argument, a type that does not fit) must
// never crash or read past the arguments: such a format is written as it stands.
#pragma once

#include <fmt/printf.h>

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "base/request_state.h"

namespace base {

// Where output goes: an open file, or null for standard output (the page).
using Stream = std::FILE*;

std::string VSprintf(std::string_view format, fmt::printf_args args);

// Formats like sprintf; a format that cannot be applied comes back unchanged.
template <typename... Args>
std::string Sprintf(std::string_view format, const Args&... args) {
  return VSprintf(format, fmt::make_printf_args(args...));
}

// Standard output with a large buffer while it lives, so that a long page goes out in few
// writes. When it ends, what is buffered is written and standard output is left unbuffered.
class PageBuffer {
 public:
  PageBuffer();
  ~PageBuffer();
  PageBuffer(const PageBuffer&) = delete;
  PageBuffer& operator=(const PageBuffer&) = delete;

 private:
  // Left unfilled: only the pages the page's bytes reach are ever touched.
  std::unique_ptr<char[]> bytes_;
};

// Writes text as it is.
void Write(Stream stream, std::string_view text);

PageState& CurrentPage();

// A diagnostic comment for the page: written at once when the header is out, else held
// until the header is written.
void PageNote(std::string_view text);

template <typename... Args>
void Printf(Stream stream, std::string_view format, const Args&... args) {
  Write(stream, VSprintf(format, fmt::make_printf_args(args...)));
}

// The page: standard output.
template <typename... Args>
void Page(std::string_view format, const Args&... args) {
  Printf(nullptr, format, args...);
}

}  // namespace base
