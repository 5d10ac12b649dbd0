// The upload and the download of a big attachment, each run as a CGI process the way the web
// server runs it, against `cp` of the same file, in the same run: each at most 2x the cp,
// and the process's largest memory far below the file (target <= 16 MB at 50 MB).
//
//   attach_bench [MEGABYTES]   (default 50)
//
// The installation is made in the temporary folder (TMPDIR) and removed at the end.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "base/out.h"
#include "run_quiet.h"

namespace {

namespace fs = std::filesystem;

const std::string kBoundary = "---------------------------5c1f0e3a9b";

void WriteText(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::string> CgiEnv(const fs::path& root, const std::string& method,
                                const std::string& query, size_t length) {
  return {"PATH=/usr/bin:/bin",
          "PWD=" + root.string(),
          "TEMP=" + (root / "temp").string(),
          "REQUEST_METHOD=" + method,
          "QUERY_STRING=" + query,
          "CONTENT_TYPE=multipart/form-data; boundary=" + kBoundary,
          "CONTENT_LENGTH=" + std::to_string(length),
          "SCRIPT_NAME=/cgi-bin/quorb.cgi",
          "SERVER_PORT=80",
          "REMOTE_ADDR=192.0.2.10"};
}

// The multipart body of an Attach commit of `file`, written beside it.
size_t WriteUploadBody(const fs::path& body, const fs::path& file, const std::string& title) {
  std::string head;
  auto field = [&](const std::string& name, const std::string& value) {
    head += "--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" +
            value + "\r\n";
  };
  field("CMD", "Attach");
  field("Num", "TsG.00001");
  field("title", title);
  field("User", "kolvar");
  head += "--" + kBoundary +
          "\r\nContent-Disposition: form-data; name=\"Attach\"; filename=\"big.bin\"\r\n"
          "Content-Type: application/octet-stream\r\n\r\n";
  std::ofstream out(body, std::ios::binary);
  out << head;
  std::ifstream in(file, std::ios::binary);
  out << in.rdbuf();
  out << "\r\n--" + kBoundary + "--\r\n";
  return static_cast<size_t>(out.tellp());
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 50;
  std::string pattern = (fs::temp_directory_path() / "quorb-attachbench-XXXXXX").string();
  if (!mkdtemp(pattern.data())) return 1;
  const fs::path root = pattern;
  const fs::path config = root / "config";
  for (const char* dir : {"config", "temp", "data/tmp", "work"}) fs::create_directories(root / dir);
  WriteText(config / "quorb.cfg", "DATADIR " + (root / "data/").string() + "\nCONFIGDIR " +
                                      config.string() + "/\nIMGDIR /quorb/images/\nLANGUAGE EN\n");
  fs::copy_file(fs::path(QUORB_SOURCE_DIR) / "share/config/langue.EN", config / "langue.EN");
  WriteText(config / "project.cfg", "TEST:T:kolvar:tessin\n");
  WriteText(config / "phase.cfg", "Analysis:a\nTests:s\n");
  WriteText(config / "TEST_subproject.cfg", "GUI:G\n");
  WriteText(config / "TEST_program.cfg", "p\n");
  WriteText(config / "TEST_version.cfg", "1.0\n");
  WriteText(config / "TEST_users.cfg", "kolvar:k@example.org:secret: :YES:YES:YES:YES:YES:YES\n");
  const fs::path work = root / "work";
  const std::string new_sheet =
      "CMD=new&title=Big&project=TEST&group=GUI&prog=p&sev=2&impact=b&phase=b&version=1.0"
      "&exp=2.0&type=1&submitter=kolvar&test=T1&Load=3&text=Desc";
  WriteText(work / "empty", "");
  bench::RunTimed({QUORB_CGI}, CgiEnv(root, "GET", new_sheet, 0), work / "empty", work / "page");

  // A file of random bytes: NUL bytes, CR LF pairs and partial delimiters all occur.
  const fs::path file = work / "big.bin";
  {
    std::mt19937_64 random(16);
    std::vector<uint64_t> block(1 << 17);
    std::ofstream out(file, std::ios::binary);
    for (size_t written = 0; written < megabytes << 20; written += block.size() * 8) {
      for (uint64_t& v : block) v = random();
      out.write(reinterpret_cast<const char*>(block.data()), block.size() * 8);
    }
  }
  const size_t size = fs::file_size(file);
  const int runs = 9;
  std::vector<double> cp, up, down, up_ratio, down_ratio, cp_cpu, up_cpu, down_cpu;
  long up_rss = 0, down_rss = 0;
  bool same = true;
  // The body is written once, and each command starts with nothing waiting to be written
  // back: else the one timed after more writing waits for the disk more.
  const std::string title = "File_0";
  const size_t length = WriteUploadBody(work / "body", file, title);
  for (int i = 0; i < runs; ++i) {
    ::sync();
    bench::RunResult c = bench::RunTimed({"cp", file.string(), (work / "copy").string()},
                                         {"PATH=/usr/bin:/bin"}, work / "empty", work / "out");
    cp.push_back(c.ms);
    cp_cpu.push_back(c.cpu_ms);
    fs::remove(work / "copy");
    ::sync();
    bench::RunResult u = bench::RunTimed({QUORB_CGI}, CgiEnv(root, "POST", "", length),
                                         work / "body", work / "page");
    up.push_back(u.ms);
    up_cpu.push_back(u.cpu_ms);
    up_rss = std::max(up_rss, u.max_rss_kb);
    const fs::path stored = root / "data/TRACE_TsG.00001" / (title + "_big.bin");
    ::sync();
    bench::RunResult d =
        bench::RunTimed({QUORB_CGI}, CgiEnv(root, "GET", "CMD=FILE&title=" + stored.string(), 0),
                        work / "empty", work / "download");
    down.push_back(d.ms);
    down_cpu.push_back(d.cpu_ms);
    down_rss = std::max(down_rss, d.max_rss_kb);
    same = same && u.ok && d.ok && fs::exists(stored) && fs::file_size(stored) == size &&
           fs::file_size(work / "download") > size;
    fs::remove(stored);
    fs::remove(work / "download");
    // Each against the cp just before it: the machine's load changes between runs.
    up_ratio.push_back(up.back() / cp.back());
    down_ratio.push_back(down.back() / cp.back());
  }
  base::Printf(nullptr,
               "Attachment of %zu MB (medians of %d runs; ratios to the cp of each run)%s\n",
               megabytes, runs, same ? "" : "  STORED OR SENT FILE WRONG");
  base::Printf(nullptr, "  cp of the file   %7.1f ms (CPU %5.1f ms)\n", Median(cp), Median(cp_cpu));
  base::Printf(nullptr,
               "  upload (CGI)     %7.1f ms (CPU %5.1f ms)  ratio %.2fx (target <= 2x)  peak RSS "
               "%ld KB\n",
               Median(up), Median(up_cpu), Median(up_ratio), up_rss);
  base::Printf(nullptr,
               "  download (CGI)   %7.1f ms (CPU %5.1f ms)  ratio %.2fx (target <= 2x)  peak RSS "
               "%ld KB\n",
               Median(down), Median(down_cpu), Median(down_ratio), down_rss);
  base::Printf(nullptr, "  (peak RSS target <= 16384 KB)\n");
  if (std::getenv("QUORB_KEEP_BENCH"))
    base::Printf(nullptr, "kept %s\n", root.string());
  else
    fs::remove_all(root);
  return same ? 0 : 1;
}
