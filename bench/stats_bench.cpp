// The daily statistics refresh over a large index against `wc -l` of the index and of the
// sheets the refresh must open (the postponed sheets it wakes), in the same run.
// Target at 100,000 sheets: at most 3x the wc.
//
//   stats_bench [SHEETS] [WOKEN] [RUNS]   (defaults 100000, 3 and 7)
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "base/files.h"
#include "base/out.h"
#include "base/request_state.h"
#include "run_quiet.h"
#include "sheet_generator.h"
#include "stats/refresh.h"
#include "store/store.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// Milliseconds of the median of `runs` calls of `work`, each after `prepare` (not timed).
double TimeIt(int runs, const std::function<void()>& prepare, const std::function<void()>& work) {
  prepare();
  work();
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    prepare();
    auto start = Clock::now();
    work();
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

// Rewrites the index so that only the first `woken` postponed sheets are due; the others are
// postponed for a month. Returns the names of the due sheets.
std::vector<std::string> SetPostponements(const std::string& data_dir, int woken) {
  std::string index;
  std::vector<std::string> due;
  base::LineReader reader(data_dir + "index");
  long later = static_cast<long>(std::time(nullptr)) + 30 * 86400L;
  store::FactSheet s;
  for (std::string line; reader.Next(line);) {
    store::ParseHeader(line, s);
    if (s.status == store::kPostponed) {
      if (static_cast<int>(due.size()) < woken) {
        s.postponed = 1;
        due.push_back(store::GetSheetName(s));
      } else {
        s.postponed = static_cast<int>(later);
      }
    }
    index += store::FormatHeader(s);
  }
  base::WriteFileAtomic(data_dir + "index", index);
  return due;
}

struct Figures {
  double refresh = 0, wc = 0;
  int due = 0, awake = 0;
};

// Times the day's refresh with `woken` postponed sheets due, each run from the same index,
// against `wc -l` of the index and of the due sheets.
Figures Measure(const std::string& root, const std::string& data_dir, int woken, int runs) {
  std::vector<std::string> due = SetPostponements(data_dir, woken);
  // What every run starts from: the index and the due sheets as they are now, no stamp.
  const std::string saved = root + "/saved";
  fs::remove_all(saved);
  fs::create_directories(saved);
  fs::copy_file(data_dir + "index", saved + "/index");
  for (const std::string& name : due) fs::copy_file(data_dir + name, saved + "/" + name);
  auto restore = [&] {
    for (const std::string& name : due)
      fs::copy_file(saved + "/" + name, data_dir + name, fs::copy_options::overwrite_existing);
    fs::copy_file(saved + "/index", data_dir + "index", fs::copy_options::overwrite_existing);
    fs::remove(root + "/config/.stats");  // the statistics files stay, as on any day
    base::ResetRequestState();
  };
  Figures figures;
  figures.due = static_cast<int>(due.size());
  figures.refresh =
      TimeIt(runs, restore, [] { stats::RefreshStatistics(stats::RefreshOutput::kSilent); });
  std::vector<std::string> wc = {"wc", "-l", data_dir + "index"};
  for (const std::string& name : due) wc.push_back(data_dir + name);
  figures.wc = TimeIt(
      runs, [] {}, [&] { bench::RunQuiet(wc); });
  // The refresh did its work: the due sheets are woken.
  for (const std::string& name : due) {
    std::string text = base::ReadFile(data_dir + name).value_or("");
    store::FactSheet s;
    store::ParseHeader(text.substr(0, text.find('\n')), s);
    figures.awake += s.status == store::kNew;
  }
  restore();
  return figures;
}

}  // namespace

int main(int argc, char** argv) {
  int count = argc > 1 ? std::atoi(argv[1]) : 100000;
  int woken = argc > 2 ? std::atoi(argv[2]) : 3;
  int runs = argc > 3 ? std::atoi(argv[3]) : 7;
  std::string root = (fs::temp_directory_path() / "quorb-sbench-XXXXXX").string();
  if (!mkdtemp(root.data())) return 1;
  bench::GeneratedSet set = bench::GenerateSheets(root, count);
  setenv("PWD", root.c_str(), 1);
  setenv("TZ", "UTC", 1);
  tzset();
  base::ResetRequestState();

  Figures quiet = Measure(root, set.data_dir, 0, runs);
  Figures waking = Measure(root, set.data_dir, woken, runs);
  // The same day again: one look at the stamp.
  stats::RefreshStatistics(stats::RefreshOutput::kSilent);
  double again = TimeIt(
      runs, [] {}, [] { stats::RefreshStatistics(stats::RefreshOutput::kSilent); });

  size_t files = 0;
  for (const auto& entry : fs::directory_iterator(set.data_dir + "Stats"))
    files += !entry.is_directory();
  long bytes = static_cast<long>(fs::file_size(set.data_dir + "index"));
  base::Printf(nullptr,
               "index of %d sheets (%ld bytes), %d statistics files\n"
               "  daily refresh, none due   %8.2f ms   wc -l index        %8.2f ms   ratio %.2fx\n"
               "  daily refresh, %d woken    %8.2f ms   wc -l index+sheets %8.2f ms   ratio %.2fx"
               "   (%d of %d due woken; one index rewrite for them all)\n"
               "  same day again            %8.3f ms\n",
               count, bytes, static_cast<int>(files), quiet.refresh, quiet.wc,
               quiet.refresh / quiet.wc, woken, waking.refresh, waking.wc,
               waking.refresh / waking.wc, waking.awake, waking.due, again);
  std::error_code ec;
  fs::remove_all(root, ec);
  return 0;
}
