// The test-book pages of a big book against a hello-world CGI, each run as a process the way
// the web server runs it, in the same run:
//   - the navigator opened on a test, and a step page (the step with its tests): each at most
//     3x the hello-world CGI;
//   - the whole-book view: its time to the first byte, its total time, its size and the
//     largest memory the process held, which stays far below the size of the page it streams.
//
//   testbook_bench [MODULES STEPS TESTS]   (default 50 20 20: 20,000 tests)
//
// The installation is made in the temporary folder (TMPDIR). Every request of the CGI also
// rewrites its request traces; on a disk that flushes rewritten files this alone can cost
// several times the hello-world CGI (the help page's line shows that floor), and
// TMPDIR=/dev/shm then measures the pages themselves.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/out.h"
#include "testbook/records.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct RunResult {
  double ms = 0;
  double first_byte_ms = 0;
  size_t bytes = 0;
  long max_rss_kb = 0;
};

void WriteText(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

std::string Filler(size_t size, unsigned seed) {
  static const std::string kWords[] = {"check ", "the ", "login ", "form ", "value ", "then\n",
                                       "press ", "OK ",  "and ",   "see ",  "result "};
  std::string out;
  while (out.size() < size) out += kWords[(seed = seed * 1103515245 + 12345) % 11];
  return out;
}

// An installation with one project TEST (sub-project GUI:G, phases Analysis:a and Tests:s) and
// a book of modules x steps x tests in its first phase. Returns the book directory.
fs::path LayOut(const fs::path& root, int modules, int steps, int tests) {
  fs::path config = root / "config";
  for (const char* dir : {"config", "temp", "data/tmp", "data/Tests"})
    fs::create_directories(root / dir);
  WriteText(config / "quorb.cfg", "DATADIR " + (root / "data/").string() + "\nCONFIGDIR " +
                                      config.string() + "/\nIMGDIR /quorb/images/\nLANGUAGE EN\n");
  fs::copy_file(fs::path(QUORB_SOURCE_DIR) / "share/config/langue.EN", config / "langue.EN");
  WriteText(config / "project.cfg", "TEST:T:kolvar:tessin\n");
  WriteText(config / "phase.cfg", "Analysis:a\nTests:s\n");
  WriteText(config / "impacts.cfg", "Low\nHigh\n");
  WriteText(config / "TEST_subproject.cfg", "GUI:G\nCore:C\n");
  WriteText(config / "TEST_users.cfg", "kolvar:k@example.org:secret: :YES:YES:YES:YES:YES:YES\n");

  fs::path book = root / "data/Tests/TEST/G/a/Book";
  fs::create_directories(book);
  unsigned seed = 7;
  for (int m = 0; m < modules; ++m) {
    std::string mod = base::Sprintf("M%02d", m);
    WriteText(book / ("mod." + mod), "Module " + mod + "\n" + Filler(300, ++seed) + "\n");
    for (int s = 0; s < steps; ++s) {
      std::string step = base::Sprintf("S%02d", s);
      WriteText(book / ("step." + mod + "." + step),
                "Step " + step + "\n" + Filler(200, ++seed) + "\n");
      for (int t = 0; t < tests; ++t) {
        testbook::TestRecord test;
        test.number = t;
        test.submitter = "kolvar";
        test.created = 946684800;
        test.project = "TEST";
        test.group = "GUI";
        test.mod = mod;
        test.step = step;
        test.title = "Test of " + Filler(40, ++seed);
        test.title.erase(std::remove(test.title.begin(), test.title.end(), '\n'), test.title.end());
        test.impact = t % 2;
        test.ref = "REQ-" + std::to_string(t);
        test.obj = Filler(120, ++seed);
        test.steps = Filler(400, ++seed);
        test.exp = Filler(150, ++seed);
        WriteText(book / base::Sprintf("test.%s.%s.%03d", mod, step, t),
                  testbook::FormatTest(test));
      }
    }
  }
  return book;
}

// Sets the directory's modification time `age` seconds back (0: now).
void AgeDirectory(const fs::path& dir, int age) {
  timespec times[2];
  clock_gettime(CLOCK_REALTIME, &times[0]);
  times[0].tv_sec -= age;
  times[1] = times[0];
  utimensat(AT_FDCWD, dir.c_str(), times, 0);
}

RunResult RunCgi(const std::string& program, const fs::path& root, const std::string& query) {
  std::vector<std::string> env = {
      "PATH=/usr/bin:/bin", "PWD=" + root.string(),  "TEMP=" + (root / "temp").string(),
      "REQUEST_METHOD=GET", "QUERY_STRING=" + query, "SCRIPT_NAME=/cgi-bin/quorb.cgi",
      "SERVER_PORT=80",     "REMOTE_ADDR=192.0.2.10"};
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string path = program;
  char* argv[] = {path.data(), nullptr};

  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  RunResult result;
  auto start = Clock::now();
  pid_t pid;
  if (posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, envp.data()) != 0) return {};
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  std::vector<char> buffer(1 << 16);
  ssize_t n;
  while ((n = read(out[0], buffer.data(), buffer.size())) > 0) {
    if (result.bytes == 0)
      result.first_byte_ms =
          std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    result.bytes += static_cast<size_t>(n);
  }
  close(out[0]);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  result.ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  result.max_rss_kb = usage.ru_maxrss;
  return result;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int modules = argc > 3 ? std::atoi(argv[1]) : 50;
  int steps = argc > 3 ? std::atoi(argv[2]) : 20;
  int tests = argc > 3 ? std::atoi(argv[3]) : 20;
  std::string pattern = (fs::temp_directory_path() / "quorb-bookbench-XXXXXX").string();
  if (!mkdtemp(pattern.data())) return 1;
  fs::path root = pattern;
  auto gen_start = Clock::now();
  fs::path book = LayOut(root, modules, steps, tests);
  double gen_s = std::chrono::duration<double>(Clock::now() - gen_start).count();
  // A book in use has not changed in the last seconds; its listing is then kept.
  AgeDirectory(book, 60);

  std::string mid_mod = base::Sprintf("M%02d", modules / 2);
  std::string mid_step = base::Sprintf("S%02d", steps / 2);
  std::string place =
      "CMD=book&project=TEST&group=GUI&phase=0&mod=" + mid_mod + "&step=" + mid_step;
  const std::string navigator = place + "&test=005";
  const std::string step_page = place + "&test=+&book=18";
  const std::string whole_book = "CMD=book&project=TEST&group=GUI&phase=0&book=24";

  RunCgi(QUORB_CGI, root, navigator);  // keeps the listing
  const int runs = 41;
  std::vector<double> hello, help, nav, step, nav_fresh;
  size_t nav_bytes = 0, step_bytes = 0;
  for (int i = 0; i < runs; ++i) {
    hello.push_back(RunCgi(HELLO_CGI, root, "").ms);
    help.push_back(RunCgi(QUORB_CGI, root, "CMD=help").ms);
    RunResult r = RunCgi(QUORB_CGI, root, navigator);
    nav.push_back(r.ms);
    nav_bytes = r.bytes;
    r = RunCgi(QUORB_CGI, root, step_page);
    step.push_back(r.ms);
    step_bytes = r.bytes;
  }
  // The same navigator right after a change of the book: the directory is listed again.
  for (int i = 0; i < 11; ++i) {
    AgeDirectory(book, 0);
    nav_fresh.push_back(RunCgi(QUORB_CGI, root, navigator).ms);
  }
  AgeDirectory(book, 60);
  RunCgi(QUORB_CGI, root, navigator);
  std::vector<RunResult> whole;
  for (int i = 0; i < 3; ++i) whole.push_back(RunCgi(QUORB_CGI, root, whole_book));
  std::sort(whole.begin(), whole.end(),
            [](const RunResult& a, const RunResult& b) { return a.ms < b.ms; });
  const RunResult& w = whole[1];

  double h = Median(hello);
  base::Printf(nullptr, "Book of %d x %d x %d = %d tests (generated in %.1f s)\n", modules, steps,
               tests, modules * steps * tests, gen_s);
  base::Printf(nullptr, "  hello-world CGI            %7.2f ms\n", h);
  base::Printf(nullptr, "  help page (the CGI's floor) %6.2f ms  ratio %.2fx\n", Median(help),
               Median(help) / h);
  base::Printf(nullptr,
               "  navigator on a test        %7.2f ms  %6zu bytes  ratio %.2fx (target <= 3x)\n",
               Median(nav), nav_bytes, Median(nav) / h);
  base::Printf(nullptr,
               "  step page (%2d tests)       %7.2f ms  %6zu bytes  ratio %.2fx (target <= 3x)\n",
               tests, Median(step), step_bytes, Median(step) / h);
  base::Printf(nullptr,
               "  navigator, book just changed %5.2f ms  ratio %.2fx (lists the directory)\n",
               Median(nav_fresh), Median(nav_fresh) / h);
  base::Printf(nullptr,
               "  whole book                 %7.1f ms  first byte after %.1f ms  %zu bytes  "
               "max RSS %ld KB\n",
               w.ms, w.first_byte_ms, w.bytes, w.max_rss_kb);
  std::fflush(stdout);
  std::error_code ec;
  fs::remove_all(root, ec);
  return 0;
}
