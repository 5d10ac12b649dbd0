// The smallest CGI there is, linked like quorb.cgi: the floor that cgi_bench compares with.
#include <cstdio>

int main() {
  std::fputs("Content-type: text/html\n\nhello\n", stdout);
  return 0;
}
