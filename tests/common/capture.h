// What a writer sends to a stream, for tests of page and file writers.
#pragma once

#include <cstdio>
#include <string>

namespace testing_support {

// Every byte of `f` from its start.
inline std::string ReadAll(std::FILE* f) {
  std::rewind(f);
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  return out;
}

// Runs `write` on a fresh temporary file and returns every byte it wrote.
template <typename F>
std::string CaptureStream(F&& write) {
  std::FILE* f = std::tmpfile();
  write(f);
  std::fflush(f);
  std::string out = ReadAll(f);
  std::fclose(f);
  return out;
}

}  // namespace testing_support
