// The history view over a large journal against `grep -c` of one day's date over the same
// file, in the same run: the day list (every line read) and the page of one day.
// Target at 1,000,000 lines: each at most 3x the grep.
//
//   history_bench [LINES]   (default 1000000)
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
#include "sheets/history.h"
#include "store/sheet.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds of the median of `runs` calls, after one warm-up call.
double TimeIt(int runs, const std::function<void()>& work) {
  work();
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    auto start = Clock::now();
    work();
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

constexpr const char* kMessages[] = {
    "Submitted by kolvar",
    "Observed by tessin",
    "Assigned to kolvar by tessin",
    "Open by kolvar",
    "Analysis <b>crash on save</b> by kolvar",
    "Corrected in version 1.2 by kolvar",
    "For verification by tessin",
    "Verified in version 1.3 by tessin",
    "Attachment trace.log by kolvar",
    "Rejected by tessin",
};

// A journal of `lines` lines, about a thousand a day, with one test result in fifty.
// Returns the day in the middle of it.
std::string WriteJournal(const std::string& path, int lines) {
  std::string text;
  text.reserve(static_cast<size_t>(lines) * 60);
  long t = 946681200;
  std::string middle;
  for (int i = 0; i < lines; ++i) {
    t += 60 + (static_cast<long>(i) * 7919) % 53;  // about 86 seconds a line
    std::string date = store::FormatDate(t);
    if (i == lines / 2) middle = date.substr(0, 10);
    if (i % 50 == 0)
      text += base::Sprintf("%s TEST/G/s/Book/test.M1.S%d.%03d Test passed by tessin (OK)\n", date,
                            i % 7, i % 1000);
    else
      text += base::Sprintf("%s TsG.%05d %s\n", date, 1 + i % 5000, kMessages[i % 10]);
  }
  base::WriteFileAtomic(path, text);
  return middle;
}

}  // namespace

int main(int argc, char** argv) {
  int lines = argc > 1 ? std::atoi(argv[1]) : 1000000;
  std::string root = (std::filesystem::temp_directory_path() / "quorb-hbench-XXXXXX").string();
  if (!mkdtemp(root.data())) return 1;
  std::filesystem::create_directories(root + "/config");
  std::filesystem::create_directories(root + "/data/tmp");
  std::filesystem::copy_file(std::string(QUORB_SOURCE_DIR) + "/share/config/langue.EN",
                             root + "/config/langue.EN");
  base::WriteFileAtomic(root + "/config/quorb.cfg", "DATADIR " + root + "/data/\nCONFIGDIR " +
                                                        root + "/config/\nLANGUAGE EN\n");
  base::WriteFileAtomic(root + "/config/project.cfg", "TEST:T:kolvar:tessin\n");
  base::WriteFileAtomic(root + "/config/phase.cfg", "Analysis:a\nTests:s\n");
  base::WriteFileAtomic(root + "/config/TEST_subproject.cfg", "GUI:G\n");
  setenv("PWD", root.c_str(), 1);
  setenv("TZ", "UTC", 1);
  setenv("SCRIPT_NAME", "/cgi-bin/quorb.cgi", 1);
  tzset();
  base::ResetRequestState();

  const std::string journal = root + "/data/history.dat";
  const std::string day = WriteJournal(journal, lines);
  long bytes = static_cast<long>(std::filesystem::file_size(journal));
  std::FILE* sink = std::fopen("/dev/null", "w");
  const int runs = 9;

  double days = TimeIt(runs, [&] { sheets::WriteHistoryDays(sink); });
  double page = TimeIt(runs, [&] { sheets::WriteHistoryDay(day, sink); });
  double grep = TimeIt(runs, [&] { bench::RunQuiet({"grep", "-c", day, journal}); });
  std::fclose(sink);

  // The page is complete: one row per line of the day, counted independently.
  size_t expected = 0, rows = 0;
  base::LineReader reader(journal);
  for (std::string line; reader.Next(line);) expected += line.starts_with(day);
  std::FILE* capture = std::tmpfile();
  sheets::WriteHistoryDay(day, capture);
  long size = std::ftell(capture);
  std::string html(static_cast<size_t>(size), '\0');
  std::rewind(capture);
  html.resize(std::fread(html.data(), 1, html.size(), capture));
  std::fclose(capture);
  for (size_t at = 0; (at = html.find("<TR><TD>", at)) != std::string::npos; ++at) ++rows;

  base::Printf(
      nullptr,
      "journal of %d lines (%ld bytes), day %s\n"
      "  day list        %8.2f ms   grep -c day %8.2f ms   ratio %.2fx\n"
      "  day page        %8.2f ms   grep -c day %8.2f ms   ratio %.2fx   (%d rows of %d)\n",
      lines, bytes, day, days, grep, days / grep, page, grep, page / grep, static_cast<int>(rows),
      static_cast<int>(expected));
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  return 0;
}
