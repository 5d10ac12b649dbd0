// What a writer sends to a stream or to the page, for tests of page and file writers.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <string>

namespace testing_support {

// Every byte of `f` from its start.
inline std::string ReadAll(std::FILE* f) {
  std::rewind(f);
  std::string out;
  for (int c; (c = std::getc(f)) != EOF;) out += static_cast<char>(c);
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

// What `write` sends to standard output (the page), written through the file descriptor.
template <typename F>
std::string CaptureStdout(F&& write) {
  return CaptureStream([&](std::FILE* tmp) {
    std::fflush(stdout);
    int saved = dup(1);
    dup2(fileno(tmp), 1);
    write();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
  });
}

}  // namespace testing_support
