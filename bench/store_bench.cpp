// The sheet store against the shell tools on the same files, in the same run:
//   - rewriting one sheet and its index (UpdateSheet) against `cp` of the index;
//   - one ReadHeader pass over the whole index against `wc -l` of it.
// Targets at N = 100,000: at most 3x the copy and at most 5x `wc -l`.
//
//   store_bench [N ...]             (default 1000 10000 100000)
//   store_bench --generate DIR N    fills DIR with N sheets and keeps it
//   store_bench --in DIR            measures an installation generated before
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "base/files.h"
#include "base/out.h"
#include "base/request_state.h"
#include "run_quiet.h"
#include "sheet_generator.h"
#include "store/store.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Milliseconds of each of `runs` calls, after one warm-up call.
double TimeIt(int runs, const std::function<void()>& work) {
  work();
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    auto start = Clock::now();
    work();
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  return Median(times);
}

void Measure(const std::string& root, const std::string& some_name, int count, double gen_s) {
  bench::GeneratedSet set{root, root + "/data/", some_name};
  setenv("PWD", root.c_str(), 1);
  base::ResetRequestState();

  std::string index = set.data_dir + "index";
  long index_bytes = static_cast<long>(std::filesystem::file_size(index));
  int runs = count >= 100000 ? 9 : 21;

  auto sheet = store::ReadSheet(set.some_name);
  if (!sheet) {
    base::Printf(stderr, "cannot read %s\n", set.some_name);
    return;
  }
  double rewrite = TimeIt(
      runs, [&] { store::UpdateSheet(set.some_name, [](store::FactSheet&) { return true; }); });
  double copy = TimeIt(runs, [&] { bench::RunQuiet({"cp", index, root + "/index.copy"}); });

  int lines = 0;
  double pass = TimeIt(runs, [&] {
    store::BufFile file;
    file.Open(index, 'r', store::kSheetBufferSize);
    store::FactSheet header;
    lines = 0;
    while (store::ReadHeader(file, header) >= 0) ++lines;
  });
  double wc = TimeIt(runs, [&] { bench::RunQuiet({"wc", "-l", index}); });

  base::Printf(
      nullptr,
      "N=%d (index %ld bytes, %d lines; generated in %.1f s)\n"
      "  UpdateSheet (sheet + index rewrite)%8.2f ms   cp of index %8.2f ms   ratio %.2fx\n"
      "  ReadHeader pass over index         %8.2f ms   wc -l        %8.2f ms   ratio %.2fx\n",
      count, index_bytes, lines, gen_s, rewrite, copy, rewrite / copy, pass, wc, pass / wc);
  std::fflush(stdout);
}

void GenerateAndMeasure(int count) {
  std::string root = (std::filesystem::temp_directory_path() / "quorb-bench-XXXXXX").string();
  if (!mkdtemp(root.data())) return;
  auto gen_start = Clock::now();
  bench::GeneratedSet set = bench::GenerateSheets(root, count);
  double gen_s = std::chrono::duration<double>(Clock::now() - gen_start).count();
  Measure(root, set.some_name, count, gen_s);
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--generate") {
    bench::GeneratedSet set = bench::GenerateSheets(argv[2], std::atoi(argv[3]));
    base::Printf(nullptr, "%s\n", set.some_name);
    return 0;
  }
  if (argc == 3 && std::string(argv[1]) == "--in") {
    // The middle sheet is the one named in the middle line of the index.
    std::string root = argv[2];
    std::string index = root + "/data/index";
    std::vector<std::string> lines;
    base::LineReader reader(index);
    for (std::string line; reader.Next(line);) lines.push_back(line);
    if (lines.empty()) return 1;
    store::FactSheet header;
    store::ParseHeader(lines[lines.size() / 2], header);
    setenv("PWD", root.c_str(), 1);
    base::ResetRequestState();
    Measure(root, store::GetSheetName(header), static_cast<int>(lines.size()), 0);
    return 0;
  }
  std::vector<int> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
  if (sizes.empty()) sizes = {1000, 10000, 100000};
  for (int n : sizes) GenerateAndMeasure(n);
  return 0;
}
