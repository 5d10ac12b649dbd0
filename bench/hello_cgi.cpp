// The smallest CGI answer, the yardstick of the page benchmarks: one process that writes a
// page header and a line.
#include <cstdio>

int main() {
  std::fputs("Content-type: text/html\n\n<HTML><BODY>Hello</BODY></HTML>\n", stdout);
  return 0;
}
