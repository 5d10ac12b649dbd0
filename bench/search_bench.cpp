// The search against grep and cat over the same files, in one run:
//   - a criteria search over an index of 100,000 lines (no full text) against `grep -c` of
//     the criterion over the index: at most 3x, peak memory at most 16 MB;
//   - a full-text search that opens 10,000 sheets against `grep -l` over the same files:
//     at most 2x;
//   - the result page of 10,000 sheets, written by the CGI, against `cat` of the same bytes:
//     at most 2x.
// The searches run in processes of their own, as grep and cat do, so that times include a
// process start and the peak memory is the search's alone.
//
//   search_bench [SHEETS [INDEX_LINES]]   (default 10000 100000)
//   search_bench --find ROOT QUERY        (the child: runs the search, prints the hits)
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "base/files.h"
#include "base/out.h"
#include "base/request_state.h"
#include "run_quiet.h"
#include "search/find.h"
#include "sheet_generator.h"
#include "store/sheet.h"
#include "web/request.h"

namespace {

using bench::RunResult;

// Runs a command with its output into `out` (a path) and waits for it.
RunResult Run(const std::vector<std::string>& args, const std::string& out) {
  return bench::RunTimed(args, {}, "/dev/null", out);
}

// The medians of `runs` runs after one warm-up run. The output goes to a file: grep stops
// at its first match when it writes to /dev/null.
RunResult Median(int runs, const std::vector<std::string>& args, const std::string& out) {
  Run(args, out);
  std::vector<double> wall, cpu;
  for (int i = 0; i < runs; ++i) {
    RunResult r = Run(args, out);
    wall.push_back(r.ms);
    cpu.push_back(r.cpu_ms);
  }
  std::sort(wall.begin(), wall.end());
  std::sort(cpu.begin(), cpu.end());
  return {wall[wall.size() / 2], cpu[cpu.size() / 2]};
}

std::string FirstLine(const std::string& text) {
  return text.substr(0, text.find('\n'));
}

// The child: the search of QUERY in the installation ROOT; prints the number of hits.
int FindChild(const char* root, const char* query) {
  setenv("PWD", root, 1);
  base::ResetRequestState();
  web::ParamList params = web::DecodeUrlEncoded(query);
  search::FoundList hits = search::FindSheets(params);
  // The peak of this process's own memory (getrusage would count the parent's before exec).
  std::string status = base::ReadFile("/proc/self/status").value_or("");
  size_t at = status.find("VmHWM:");
  std::string peak = at == std::string::npos ? "?" : FirstLine(status.substr(at + 6));
  base::Printf(nullptr, "%d hits, peak memory %s\n", static_cast<int>(hits.size()),
               peak.substr(peak.find_first_not_of(" \t")));
  std::fflush(stdout);
  return 0;
}

// An index of `lines` lines from the generated one: its lines again and again, each copy
// with other numbers, so every line names a sheet of its own.
void WriteBigIndex(const std::string& from, const std::string& to, int lines) {
  std::vector<std::string> source;
  base::LineReader reader(from);
  for (std::string line; reader.Next(line);) source.push_back(line);
  std::string text;
  store::FactSheet sheet;
  for (int i = 0; i < lines && !source.empty(); ++i) {
    store::ParseHeader(source[i % source.size()], sheet);
    sheet.number += 100000 * static_cast<int>(i / source.size());
    text += store::FormatHeader(sheet);
  }
  base::WriteFileAtomic(to, text);
}

std::string Slurp(const std::string& path) {
  return base::ReadFile(path).value_or("");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--find") return FindChild(argv[2], argv[3]);
  const int sheets = argc > 1 ? std::atoi(argv[1]) : 10000;
  const int lines = argc > 2 ? std::atoi(argv[2]) : 100000;
  const std::string self = std::filesystem::canonical("/proc/self/exe").string();

  std::string base_dir = (std::filesystem::temp_directory_path() / "quorb-sbench-XXXXXX").string();
  if (!mkdtemp(base_dir.data())) return 1;
  setenv("TZ", "UTC", 1);
  setenv("SCRIPT_NAME", "/cgi-bin/quorb.cgi", 1);
  setenv("REQUEST_METHOD", "GET", 1);

  // Store of `sheets` sheets (full text, result page), and one whose index has `lines` lines.
  const std::string small_root = base_dir + "/small";
  bench::GeneratedSet small = bench::GenerateSheets(small_root, sheets);
  const std::string big_root = base_dir + "/big";
  bench::GenerateSheets(big_root, 10);
  WriteBigIndex(small.data_dir + "index", big_root + "/data/index", lines);
  std::filesystem::create_directories(small.data_dir + "tmp");
  std::filesystem::copy_file(std::string(QUORB_SOURCE_DIR) + "/share/config/langue.EN",
                             small_root + "/config/langue.EN");
  const std::string statuses =
      "&statN=X&statS=X&statA=X&statO=X&statC=X&statV=X&statD=X&statB=X&statR=X&statP=X&statT=X";
  const int runs = 5;

  // 1. Criteria over the big index: one responsible, every status.
  const std::string big_index = big_root + "/data/index";
  const std::string hits_file = base_dir + "/hits.txt", grep_file = base_dir + "/grep.txt";
  const std::vector<std::string> criteria_cmd = {self, "--find", big_root,
                                                 "CMD=find&resp=user07" + statuses};
  const std::vector<std::string> grep_c_cmd = {"grep", "-c", "-F", "|user07|", big_index};
  RunResult criteria = Median(runs, criteria_cmd, hits_file);
  RunResult grep_c = Median(runs, grep_c_cmd, grep_file);
  std::string criteria_hits = FirstLine(Slurp(hits_file));
  std::string grep_count = FirstLine(Slurp(grep_file));

  // 2. Full text over every sheet of the small store.
  std::vector<std::string> grep_l_cmd = {"grep", "-l", "-F", "missing slow"};
  for (const auto& e : std::filesystem::directory_iterator(small.data_dir)) {
    std::string name = e.path().filename().string();
    if (e.is_regular_file() && name.find('.') != std::string::npos) grep_l_cmd.push_back(e.path());
  }
  const std::vector<std::string> text_cmd = {
      self, "--find", small_root, "CMD=find&resp=all" + statuses + "&intext=missing+slow"};
  RunResult full_text = Median(runs, text_cmd, hits_file);
  RunResult grep_l = Median(runs, grep_l_cmd, grep_file);
  std::string text_hits = FirstLine(Slurp(hits_file));
  size_t grep_l_files = 0;
  for (char c : Slurp(grep_file)) grep_l_files += c == '\n';

  // 3. The result page of every sheet of the small store, written by the CGI, then by cat.
  setenv("PWD", small_root.c_str(), 1);
  setenv("TEMP", (base_dir + "/small/data/tmp").c_str(), 1);
  setenv("QUERY_STRING", ("CMD=find&resp=all" + statuses).c_str(), 1);
  const std::string page = base_dir + "/page.html";
  RunResult cgi = Median(runs, {QUORB_CGI}, page);
  RunResult cat = Median(runs, {"cat", page}, base_dir + "/copy.html");
  long page_bytes = static_cast<long>(std::filesystem::file_size(page));

  // Wall times, then processor times (the fairer figure on a busy machine).
  auto line = [](const char* what, const RunResult& ours, const char* peer,
                 const RunResult& theirs) {
    base::Printf(nullptr,
                 "  %-34s wall %8.2f ms vs %-8s %8.2f ms = %5.2fx | cpu %8.2f ms vs %8.2f ms = "
                 "%5.2fx\n",
                 what, ours.ms, peer, theirs.ms, ours.ms / theirs.ms, ours.cpu_ms, theirs.cpu_ms,
                 ours.cpu_ms / std::max(theirs.cpu_ms, 0.001));
  };
  base::Printf(nullptr, "criteria over %d index lines: %s; grep -c counts %s lines\n", lines,
               criteria_hits, grep_count);
  line("criteria search (target 3x)", criteria, "grep -c", grep_c);
  base::Printf(nullptr, "full text over %d sheets: %s; grep -l lists %d files\n", sheets, text_hits,
               static_cast<int>(grep_l_files));
  line("full-text search (target 2x)", full_text, "grep -l", grep_l);
  base::Printf(nullptr, "result page of %d sheets: %ld bytes\n", sheets, page_bytes);
  line("result page (target 2x)", cgi, "cat", cat);
  std::error_code ec;
  if (!std::getenv("QUORB_KEEP_BENCH"))
    std::filesystem::remove_all(base_dir, ec);
  else
    base::Printf(nullptr, "kept %s\n", base_dir);
  return 0;
}
