// The smallest CGI there is, linked like quorb.cgi: the floor the benchmarks compare with.
// For a POST it reads the body first, as any form handler must.
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main() {
  const char* method = std::getenv("REQUEST_METHOD");
  const char* length = std::getenv("CONTENT_LENGTH");
  if (method && std::strcmp(method, "POST") == 0 && length) {
    long left = std::strtol(length, nullptr, 10);
    char buf[4096];
    while (left > 0) {
      size_t n = std::fread(buf, 1, left < 4096 ? static_cast<size_t>(left) : sizeof buf, stdin);
      if (n == 0) break;
      left -= static_cast<long>(n);
    }
  }
  std::fputs("Content-type: text/html\n\nhello\n", stdout);
  return 0;
}
