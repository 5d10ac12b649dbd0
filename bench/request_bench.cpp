// Request decoding against reading the body, in the same run: a url-encoded body of N
// parameters (200,000 by default, about 2 MB) is read as the request reads its standard
// input (64 KiB pieces into one string) from a pipe that another thread fills, as the web
// server does, then decoded into the parameter list; a multipart body of N/10 fields is
// parsed the same way. Target: decoding at most 5x the read from the pipe. The read of the
// same bytes from a file already in the page cache is shown beside it. Times are the CPU
// time of the reading or decoding thread (page faults and system calls included), so other
// work on the machine does not weigh on one side more than on the other.
//
//   request_bench [N]
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "base/files.h"
#include "base/out.h"
#include "web/request.h"

namespace {

// This thread's CPU time in milliseconds.
double ThreadMs() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Milliseconds, the median of `runs` calls after one warm-up call.
double TimeIt(int runs, const std::function<void()>& work) {
  work();
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    double start = ThreadMs();
    work();
    times.push_back(ThreadMs() - start);
  }
  return Median(times);
}

// A form as browsers send it: short names, numbers, and now and then an encoded text.
std::string UrlEncodedBody(int count) {
  std::string body;
  for (int i = 0; i < count; ++i) {
    if (i) body += '&';
    if (i % 16 == 0)
      body += base::Sprintf("t%d=a+b%%2Cc", i % 10);
    else
      body += base::Sprintf("k%d=%d", i % 10, i);
  }
  return body;
}

std::string MultipartBody(int count, const std::string& boundary) {
  std::string body = boundary + "\r\n";
  for (int i = 0; i < count; ++i) {
    body += base::Sprintf("Content-Disposition: form-data; name=\"k%d\"\r\n\r\n%d\r\n%s\r\n",
                          i % 10, i, boundary);
  }
  return body;
}

// 64 KiB pieces into one string, as the request reads its standard input.
std::string ReadStream(std::FILE* in) {
  std::string body;
  char chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, in)) > 0) body.append(chunk, n);
  return body;
}

std::string ReadFromPipe(const std::string& body) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  std::thread writer([&] {
    for (size_t off = 0; off < body.size();) {
      ssize_t n = write(fds[1], body.data() + off, body.size() - off);
      if (n <= 0) break;
      off += static_cast<size_t>(n);
    }
    close(fds[1]);
  });
  std::FILE* in = fdopen(fds[0], "rb");
  std::string text = ReadStream(in);
  std::fclose(in);
  writer.join();
  return text;
}

void Measure(const std::string& name, const std::string& body,
             const std::function<size_t(const std::string&)>& decode) {
  std::string path = (std::filesystem::temp_directory_path() /
                      base::Sprintf("quorb-request-bench-%d", static_cast<int>(getpid())))
                         .string();
  base::WriteFileAtomic(path, body);
  std::string text;
  double piped = TimeIt(21, [&] { text = ReadFromPipe(body); });
  double cached = TimeIt(21, [&] {
    base::File f = base::OpenFile(path, "rb");
    text = ReadStream(f.get());
  });
  std::filesystem::remove(path);
  size_t nodes = 0;
  double parse = TimeIt(21, [&] { nodes = decode(text); });
  base::Printf(nullptr,
               "%-11s %7zu bytes %6zu nodes: decode %6.2f ms; read from a pipe %5.2f ms, "
               "ratio %.2fx; from a cached file %5.2f ms, ratio %.2fx\n",
               name, body.size(), nodes, parse, piped, parse / piped, cached, parse / cached);
}

}  // namespace

int main(int argc, char** argv) {
  int count = argc > 1 ? std::atoi(argv[1]) : 200000;
  // A fixed threshold keeps every large block freshly mapped, as in a new request process,
  // for the read and the decoding alike (the adaptive one would warm up one and not the other).
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  Measure("url-encoded", UrlEncodedBody(count),
          [](const std::string& text) { return web::DecodeUrlEncoded(text).size(); });
  const std::string boundary = "-----------------------------7d0a1b2c3d4e5f";
  std::string multipart = MultipartBody(count / 10, boundary);
  Measure("multipart", multipart, [&](const std::string& text) {
    size_t lf = text.find('\n') + 1;
    return web::ParseMultipart(std::string_view(text).substr(0, lf),
                               std::string_view(text).substr(lf))
        .list.size();
  });
  return 0;
}
