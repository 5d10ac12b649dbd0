// What a request costs on a store of N sheets (10,000, 100,000, 1,000,000), in one run against
// what costs nothing in it: the median wall time and the peak memory (ru_maxrss) of
//   hello         a hello-world CGI linked like quorb.cgi (GET), and reading a body (POST)
//   home          the home page
//   Num=          the quick view of one sheet by name
//   action        a status action (POST, durable), and the same without syncs (-nosync)
//   header        a header change that keeps the name (POST, durable)
//   new           a creation (POST, durable)
//   find          a criteria search over the whole index
//   export        the export of every sheet
//   stats         the home page that runs the daily statistics refresh (its stamp removed)
//   grep -c       grep -c of the search's words over the index
//   cat           cat of the index
// Targets at 1,000,000 sheets: action, header and new <= 4 x hello; home and Num= <= 1.5 x
// hello; find <= 3 x grep -c; export <= 3 x cat; stats <= 3 x grep -c; every peak <= 32 MB.
//
//   million_bench [N [runs]]   (default 10000 sheets, 21 runs; the store is made once in
//                              million-store-N beside the benchmark and kept: remove it to
//                              start afresh)
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
#include <random>
#include <string>
#include <vector>

#include "base/files.h"
#include "base/out.h"
#include "harness.h"
#include "run_quiet.h"
#include "store/sheet.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

struct Page {
  std::string label;
  std::vector<std::string> argv;  // the program and its arguments
  std::string method = "GET";
  std::string query;
  std::string body;
  std::string expect;       // text the first bytes of the answer hold
  std::string floor;        // the label this page is measured against
  std::string target;       // the ratio aimed at, for the report
  bool drop_stamp = false;  // the statistics stamp removed first: the refresh runs
  // Run once unmeasured just before each measured run: a page of a millisecond or so is
  // measured as a server that keeps serving it runs it, not after the caches were emptied by
  // the large pages of the round before (the first page of a round was a fifth slower).
  bool warm = false;
  std::vector<double> ms;
  long max_kb = 0;
};

std::vector<std::string> CgiEnvironment(const std::string& root, const Page& page) {
  std::vector<std::string> env = {"PATH=/usr/bin:/bin",         "PWD=" + root,
                                  "TEMP=" + root + "/temp",     "GATEWAY_INTERFACE=CGI/1.1",
                                  "SERVER_NAME=localhost",      "SERVER_PORT=80",
                                  "SERVER_PROTOCOL=HTTP/1.1",   "REQUEST_METHOD=" + page.method,
                                  "QUERY_STRING=" + page.query, "SCRIPT_NAME=/cgi-bin/quorb.cgi",
                                  "REMOTE_ADDR=192.0.2.10",     "HTTP_HOST=localhost"};
  // Without syncing files and folders: what the change costs beside the disk's waits.
  if (page.label.ends_with("-nosync")) {
    env.erase(env.begin() + 3);  // GATEWAY_INTERFACE: test settings are read only without it
    env.push_back("QUORB_NOSYNC=1");
  }
  if (page.method == "POST") {
    env.push_back("CONTENT_LENGTH=" + std::to_string(page.body.size()));
    env.push_back("CONTENT_TYPE=application/x-www-form-urlencoded");
  }
  return env;
}

// Runs the page's program as a web server does, reads its whole answer (keeping its first
// bytes to check) and returns the wall time; the child's peak memory goes to `kb`.
double Launch(const std::string& root, const Page& page, long& kb) {
  std::string head;
  const bench::RunResult run =
      bench::RunCgi(page.argv, CgiEnvironment(root, page), root, page.body, head, 65536);
  if (run.status == -1) {
    base::Printf(stderr, "%s: cannot start %s\n", page.label, page.argv[0]);
    std::exit(2);
  }
  kb = run.max_rss_kb;
  if (!WIFEXITED(run.status) || head.find(page.expect) == std::string::npos) {
    base::Printf(stderr, "%s: unexpected answer (status %d):\n%s\n", page.label, run.status,
                 head.substr(0, 2000));
    std::exit(1);
  }
  return run.ms;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Writes `count` sheets of the sample project straight into `data` (no CGI): a header, one
// entry and a short log each, with their index, least recently written first.
// `name` is left new, so that a status action applies to it at every run. `only_that_one`:
// nothing but that sheet is written again as it was made (its file overwritten in place, so
// that the folder does not change, and its header appended to the index as a change would):
// every run of the benchmark then acts on a sheet of the same size, whatever the actions of
// the runs before it added to its log.
void Generate(const std::string& data, int count, const std::string& name_left_new,
              bool only_that_one = false) {
  static const char* const kWords[] = {"crash",  "window", "save",   "print",  "menu",  "dialog",
                                       "label",  "server", "report", "export", "field", "value",
                                       "button", "list",   "sort",   "date",   "wrong", "slow"};
  static const char* const kLogins[] = {"kolvar", "tessin", "user01", "user02", "user03"};
  std::mt19937 rnd(1);
  auto pick = [&rnd](int n) { return static_cast<int>(rnd() % static_cast<unsigned>(n)); };
  int next[4] = {1, 1, 1, 1};
  base::File index = base::OpenFile(data + "index", only_that_one ? "ab" : "wb");
  for (int i = 0; i < count; ++i) {
    const int place = pick(4);  // phase a or s, group GUI or Core
    store::FactSheet s;
    s.project = "TEST";
    s.group = place & 1 ? "Core" : "GUI";
    s.subCode = place & 1 ? "C" : "G";
    s.phase = place >> 1;
    s.number = next[place]++;
    s.created = 946681200 + i * 60;
    s.submitter = kLogins[pick(5)];
    s.sev = 1 + pick(4);
    s.prog = "prog1";
    s.version = "1.0";
    s.exp = "2.0";
    for (int w = 4 + pick(8); w-- > 0;)
      s.title += std::string(s.title.empty() ? "" : " ") + kWords[pick(18)];
    s.status = pick(store::kStatusCount);
    const std::string name =
        base::Sprintf("T%c%s.%05d", place >> 1 ? 's' : 'a', s.subCode, s.number);
    // Postponed until long after the run: the refresh counts them and wakes none.
    if (s.status == store::kPostponed) s.postponed = 2000000000;
    s.resp = kLogins[pick(5)];
    s.type = 1;
    s.Load = 1 + pick(20);
    if (only_that_one && name != name_left_new) continue;
    store::AddEntry(s, "Description", s.submitter, s.created, "It fails when the menu opens.\n");
    s.log = store::FormatDate(s.created) + " Created by " + s.submitter + "\n";
    if (name == name_left_new) s.status = store::kNew;
    const std::string text = store::FormatSheet(s);
    int fd = ::open((data + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || !base::WriteAll(fd, text)) std::exit(2);
    ::close(fd);
    const std::string line = store::FormatHeader(s);
    std::fwrite(line.data(), 1, line.size(), index.get());
    if (only_that_one) break;
  }
}

std::string Here(const char* argv0) {
  return fs::absolute(argv0).parent_path().string();
}

}  // namespace

int main(int argc, char** argv) {
  const int sheets = argc > 1 ? std::atoi(argv[1]) : 10000;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 21;

  e2e::Installation inst;
  e2e::WriteSampleProject(inst);
  ::setenv("PWD", inst.root().c_str(), 1);  // the generator's sheets read its configuration
  const std::string store = base::Sprintf("%s/million-store-%d", Here(argv[0]), sheets);
  // The sheet acted on lies early in the index.
  const std::string name = base::Sprintf("TaG.%05d", std::max(1, sheets / 8));
  const std::string data = store + "/data/";
  double gen_s = 0;
  if (!fs::exists(store + "/made")) {
    fs::remove_all(store);
    for (const char* dir : {"tmp", "Stats", "Synchro/in", "Synchro/out", "Tests"})
      fs::create_directories(data + dir);
    const auto start = Clock::now();
    Generate(data, sheets, name);
    gen_s = std::chrono::duration<double>(Clock::now() - start).count();
    base::WriteFileAtomic(store + "/made", "");
  } else {
    Generate(data, sheets, name, /*only_that_one=*/true);
  }
  std::string config = inst.DefaultConfig();
  config.replace(config.find("DEBUG YES"), 9, "DEBUG NO");
  config.replace(config.find(inst.DataDir()), inst.DataDir().size(), data);
  inst.WriteConfig(config);
  const std::string root = inst.root();
  const std::string cgi = inst.Path("cgi-bin/quorb.cgi"), hello = inst.Path("cgi-bin/hello.cgi");
  fs::create_directories(inst.Path("cgi-bin"));
  fs::copy_file(QUORB_CGI, cgi, fs::copy_options::overwrite_existing);
  fs::copy_file(QUORB_CGI_HELLO, hello, fs::copy_options::overwrite_existing);

  const std::string statuses =
      "&statN=X&statS=X&statA=X&statO=X&statC=X&statV=X&statD=X&statB=X&statR=X&statP=X&statT=X";
  auto page = [](std::string label, std::vector<std::string> argv, std::string query,
                 std::string expect, std::string floor, std::string target) {
    Page p;
    p.label = std::move(label);
    p.argv = std::move(argv);
    p.query = std::move(query);
    p.expect = std::move(expect);
    p.floor = std::move(floor);
    p.target = std::move(target);
    return p;
  };
  auto post = [&](Page p, std::string body) {
    p.method = "POST";
    p.body = std::move(body);
    return p;
  };
  std::vector<Page> pages = {
      page("hello", {hello}, "", "hello", "", ""),
      post(page("hello-body", {hello}, "", "hello", "", ""), e2e::kNewSheet),
      page("grep -c", {"/bin/grep", "-c", "crash window", data + "index"}, "", "", "", ""),
      page("cat", {"/bin/cat", data + "index"}, "", "", "", ""),
      page("home", {cgi}, "", "<TITLE>QUORB</TITLE>", "hello", "1.5"),
      page("Num=", {cgi}, "Num=" + name, "<B>" + name + "</B>", "hello", "1.5"),
      post(page("action", {cgi}, "", "Done=1", "hello-body", "4"),
           "CMD=Observed&Num=" + name + "&User=kolvar&submitter=tessin"),
      post(page("action-nosync", {cgi}, "", "Done=1", "hello-body", ""),
           "CMD=Observed&Num=" + name + "&User=kolvar&submitter=tessin"),
      page("header", {cgi}, "", "Done=" + name, "hello-body", "4"),
      post(page("new", {cgi}, "", "Status: 303 See Other", "hello-body", "4"), e2e::kNewSheet),
      page("find", {cgi}, "CMD=find&resp=all&intitle=crash+window" + statuses, "QUORB", "grep -c",
           "3"),
      page("export", {cgi}, "CMD=find&excel=X&resp=all" + statuses, "bugs.dat", "cat", "3"),
      page("stats", {cgi}, "", "<TITLE>QUORB</TITLE>", "grep -c", "3"),
  };
  pages.back().drop_stamp = true;
  for (Page& p : pages) p.warm = p.floor.starts_with("hello") || p.label.starts_with("hello");
  int header_round = 0;
  // Each header change gives the sheet a title of its own, so that every run changes it.
  auto next_title = [&](Page& p) {
    if (p.label == "header")
      p = post(p, e2e::FormBody(e2e::With(e2e::With(e2e::HeaderForm(name), "phase", "a"), "title",
                                          base::Sprintf("Crash %d", header_round++))));
  };
  auto run = [&](Page& p) {
    if (p.drop_stamp) fs::remove(inst.Path("config/.stats"));
    long kb = 0;
    if (p.warm) {
      next_title(p);
      Launch(root, p, kb);
    }
    next_title(p);
    p.ms.push_back(Launch(root, p, kb));
    p.max_kb = std::max(p.max_kb, kb);
  };
  // Warm-up: programs and files in the page cache; the first change compacts an index the
  // generator wrote without its record.
  for (Page& p : pages) run(p);
  for (Page& p : pages) p.ms.clear(), p.max_kb = 0;
  for (int i = 0; i < runs; ++i)
    for (Page& p : pages) run(p);

  struct stat st {};
  ::stat((data + "index").c_str(), &st);
  base::Printf(nullptr,
               "store of %d sheets%s, index of %.1f MB (%.0f bytes a sheet), median of %d runs\n",
               sheets, gen_s > 0 ? base::Sprintf(" (generated in %.1f s)", gen_s) : std::string(),
               st.st_size / 1e6, static_cast<double>(st.st_size) / sheets, runs);
  auto median_of = [&](const std::string& label) {
    for (const Page& p : pages)
      if (p.label == label) return Median(p.ms);
    return 0.0;
  };
  for (const Page& p : pages) {
    const double ms = Median(p.ms);
    std::string ratio;
    if (!p.floor.empty())
      ratio = base::Sprintf("%5.2f x %-10s%s", ms / median_of(p.floor), p.floor,
                            p.target.empty() ? std::string() : " (target <= " + p.target + ")");
    base::Printf(nullptr, "  %-13s %9.2f ms  peak %6.1f MB  %s\n", p.label, ms, p.max_kb / 1024.0,
                 ratio);
  }
  return 0;
}
