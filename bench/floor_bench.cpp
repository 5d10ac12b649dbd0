// Every page against the process floor, in one run: the median wall time of each page of
// quorb.cgi next to a hello-world CGI started the same way (the same launcher, the same
// environment a web server gives, pipes on standard input and output, the installation as
// working directory), on a store of N sheets whose main configuration names POP3 and SMTP
// servers on closed local ports.
//
//   hello       the hello-world CGI (GET)            the floor of every GET page
//   home        the home page, synchronisation pass included
//   home-nosync the home page with the synchronisation pass left nothing to do (a plain file
//               where the incoming folder was: no POP3 collection, no scan; the outgoing
//               folders are still cleaned)
//   Num=        the quick view of one sheet by name
//   find=       the quick access field
//   create      the creation form
//   action      a status-action form (Assign)
//   hello-body  the hello-world CGI reading the creation's body    the floor of the POST
//   new         a creation POST (durable commits)
//   new-nosync  the same with every fsync made a no-op (LD_PRELOAD), to tell the disk's part
//   api-sheet   the JSON interface's read of that sheet, with a key (API YES)
//   feed-304    a feed reader's poll of a project's feed with the journal unchanged (its tag)
//
// Targets: each GET page <= 1.5 x hello, the creation POST <= 2 x hello-body, the feed's poll
// <= 1.2 x hello.
//
//   floor_bench [N [runs]]                (default 10000 sheets, 41 runs; the store is made
//                                         once in floor-store-N beside the benchmark and
//                                         kept: remove it to start afresh)
//   floor_bench --dump DIR [N]            writes each page once into DIR (byte comparison)
//   QUORB_BENCH_CGI=path floor_bench ...  another build of quorb.cgi; "a=path,b=path": several,
//                                         every page of each in every round
#include <fcntl.h>
#include <openssl/sha.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "base/files.h"
#include "base/out.h"
#include "harness.h"
#include "run_quiet.h"
#include "sheet_generator.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Page {
  std::string label;
  std::string program;  // executable
  std::string method = "GET";
  std::string query;
  std::string body;
  std::string expect;            // text the answer must hold
  std::string preload;           // LD_PRELOAD for this page
  bool without_sync = false;     // run with the synchronisation folder moved away
  std::vector<std::string> env;  // more variables of the request ("HTTP_...=value")
  bool journal_tag = false;      // sends the journal's entity tag as If-None-Match
  std::vector<double> ms;
  std::vector<double> cpu_ms;  // user and system time of the process
};

// The environment a web server gives a CGI: no TZ, no locale, nothing of the shell's.
std::vector<std::string> CgiEnvironment(const std::string& root, const Page& page) {
  std::vector<std::string> env = {
      "PATH=/usr/bin:/bin",
      "PWD=" + root,
      "TEMP=" + root + "/temp",
      "GATEWAY_INTERFACE=CGI/1.1",
      "SERVER_SOFTWARE=lighttpd/1.4",
      "SERVER_NAME=localhost",
      "SERVER_ADDR=127.0.0.1",
      "SERVER_PORT=80",
      "SERVER_PROTOCOL=HTTP/1.1",
      "REQUEST_METHOD=" + page.method,
      "QUERY_STRING=" + page.query,
      "REQUEST_URI=/cgi-bin/quorb.cgi" + (page.query.empty() ? "" : "?" + page.query),
      "SCRIPT_NAME=/cgi-bin/quorb.cgi",
      "SCRIPT_FILENAME=" + root + "/quorb.cgi",
      "DOCUMENT_ROOT=" + root,
      "REMOTE_ADDR=192.0.2.10",
      "REMOTE_PORT=53124",
      "HTTP_HOST=localhost",
      "HTTP_USER_AGENT=Mozilla/5.0 (X11; Linux x86_64)",
      "HTTP_ACCEPT=text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8",
      "HTTP_ACCEPT_LANGUAGE=en-GB,en;q=0.5",
      "HTTP_ACCEPT_ENCODING=gzip, deflate",
      "HTTP_CONNECTION=keep-alive",
  };
  if (page.method == "POST") {
    env.push_back("CONTENT_LENGTH=" + std::to_string(page.body.size()));
    env.push_back("CONTENT_TYPE=application/x-www-form-urlencoded");
  }
  if (!page.preload.empty()) env.push_back("LD_PRELOAD=" + page.preload);
  env.insert(env.end(), page.env.begin(), page.env.end());
  return env;
}

// Starts the page's program as a web server does and collects its answer; the time is from
// the start to the end of the wait, with the whole answer read.
double Launch(const std::string& root, const Page& page, std::string& out, double& cpu_ms) {
  const bench::RunResult run =
      bench::RunCgi({page.program}, CgiEnvironment(root, page), root, page.body, out);
  if (run.status == -1) {
    base::Printf(stderr, "%s: cannot start %s\n", page.label, page.program);
    std::exit(2);
  }
  cpu_ms = run.cpu_ms;
  if (!run.ok || out.find(page.expect) == std::string::npos) {
    base::Printf(stderr, "%s: unexpected answer (status %d):\n%s\n", page.label, run.status, out);
    std::exit(1);
  }
  return run.ms;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// The creation form filled in for the sample project.
std::string CreationBody() {
  return "CMD=new&QS=&title=A+bug+in+the+menu&project=TEST&group=GUI&prog=prog1&sev=2"
         "&impact=Low&phase=a&version=1.0&exp=2.0&type=1&submitter=kolvar&test=T1&mdapda=CR"
         "&Load=3&text=Line+1%0D%0Aline+2";
}

// The benchmark's own folder, absolute: the pages run in the installation's folder, where a
// relative LD_PRELOAD names nothing and the loader silently goes without it.
std::string Here(const char* argv0) {
  return std::filesystem::absolute(argv0).parent_path().string();
}

}  // namespace

int main(int argc, char** argv) {
  std::string dump_dir;
  int arg = 1;
  if (argc > 2 && std::strcmp(argv[1], "--dump") == 0) {
    dump_dir = argv[2];
    arg = 3;
  }
  const int sheets = argc > arg ? std::atoi(argv[arg]) : 10000;
  const int runs = dump_dir.empty() ? (argc > arg + 1 ? std::atoi(argv[arg + 1]) : 41) : 1;
  const char* cgi_env = std::getenv("QUORB_BENCH_CGI");
  const std::string cgi_list = cgi_env ? cgi_env : QUORB_CGI;
  const std::string nosync = Here(argv[0]) + "/libbench_nosync.so";
  if (!std::filesystem::exists(nosync)) {
    base::Printf(stderr, "%s is missing\n", nosync);
    return 2;
  }

  // The generated store, then the configuration a site has: mail and POP3 servers (on closed
  // ports here), mails on creation, the sample project beside the generated ones. The timed
  // runs keep their store beside the benchmark and use it again: ext4 without a journal passes
  // over the inodes freed in the last minutes whenever it gives out one, so a store of ten
  // thousand files made and removed at every run slowed each creation of the next run by half.
  // A dump, which compares two builds, starts from a store of its own every time.
  e2e::Installation inst;
  const std::string store =
      dump_dir.empty() ? base::Sprintf("%s/floor-store-%d", Here(argv[0]), sheets) : inst.root();
  if (!std::filesystem::exists(store + "/some_name")) {
    std::filesystem::remove_all(store + "/data");
    bench::GeneratedSet set = bench::GenerateSheets(store, sheets);
    for (const char* dir : {"tmp", "Stats", "Synchro/in", "Synchro/out", "Tests"})
      std::filesystem::create_directories(store + "/data/" + dir);
    base::WriteFileAtomic(store + "/some_name", set.some_name);
  }
  const std::string data_dir = store + "/data/";
  for (const auto& entry : std::filesystem::directory_iterator(store + "/config"))
    if (store != inst.root() && entry.path().filename() != "quorb.cfg")
      std::filesystem::copy_file(entry.path(),
                                 inst.Path("config/" + entry.path().filename().string()),
                                 std::filesystem::copy_options::overwrite_existing);
  const std::string generated_projects = inst.Read("config/project.cfg");
  const std::string generated_phases = inst.Read("config/phase.cfg");
  // The tests' configuration turns the diagnostics on; a site runs without them.
  std::string config = inst.DefaultConfig("POP3 127.0.0.1:1\nPOP3USER quorb\nPOP3PASS x\n");
  config.replace(config.find("DEBUG YES"), 9, "DEBUG NO");
  config.replace(config.find(inst.DataDir()), inst.DataDir().size(), data_dir);
  inst.WriteConfig(config);
  e2e::WriteSampleProject(inst, generated_projects);
  inst.Write("config/phase.cfg", generated_phases);
  inst.Write("config/sendmail.cfg", "new M s\n");
  const std::string root = inst.root();
  const std::string name = *base::ReadFile(store + "/some_name");
  config += "API YES\n";
  inst.WriteConfig(config);
  // Keys of kolvar as the keys page stores them: their hashes only.
  const std::string api_key = "qka0000000a_" + std::string(32, 'a');
  const std::string feed_key = "qkf0000000f_" + std::string(32, 'f');
  std::string keys;
  for (const std::string& key : {api_key, feed_key}) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(key.data()), key.size(), digest);
    std::string hex;
    for (unsigned char byte : digest) hex += base::Sprintf("%02x", byte);
    keys += base::Sprintf("%s %c %s kolvar TEST %ld 0 bench\n", key.substr(3, 8), key[2], hex,
                          static_cast<long>(std::time(nullptr)));
  }
  inst.Write("config/apikeys.dat", keys);

  auto get = [&](std::string label, std::string program, std::string query, std::string expect) {
    Page page;
    page.label = std::move(label);
    page.program = std::move(program);
    page.query = std::move(query);
    page.expect = std::move(expect);
    return page;
  };
  auto post = [&](std::string label, std::string program, std::string expect) {
    Page page = get(std::move(label), std::move(program), "", std::move(expect));
    page.method = "POST";
    page.body = CreationBody();
    return page;
  };
  const std::string shown = "<B>" + name + "</B>";
  // The builds compared: this one, or those QUORB_BENCH_CGI names ("label=path,label=path"),
  // each page of each build in every round.
  std::vector<std::pair<std::string, std::string>> builds;
  for (std::string_view list = cgi_list; !list.empty();) {
    std::string_view item = list.substr(0, list.find(','));
    list.remove_prefix(std::min(list.size(), item.size() + 1));
    const size_t eq = item.find('=');
    builds.emplace_back(eq == std::string_view::npos ? "" : std::string(item.substr(0, eq)),
                        std::string(eq == std::string_view::npos ? item : item.substr(eq + 1)));
  }
  // Each program runs from a copy in the installation, as a site installs it: the file the
  // linker has just written sits in the page cache in small pieces, and a program started
  // from it took up to a tenth longer than the same program started from a copy.
  int copies = 0;
  auto installed = [&](const std::string& program) {
    const std::string copy = inst.Path(base::Sprintf("cgi-bin/%d.cgi", copies++));
    std::filesystem::create_directories(inst.Path("cgi-bin"));
    std::filesystem::copy_file(program, copy);
    return copy;
  };
  const std::string hello = installed(QUORB_CGI_HELLO);
  std::vector<Page> pages = {get("hello", hello, "", "hello"), post("hello-body", hello, "hello")};
  for (const auto& [build, program] : builds) {
    const std::string tag = build.empty() ? "" : build + " ";
    const std::string cgi = installed(program);
    pages.push_back(get(tag + "home", cgi, "", "<TITLE>QUORB</TITLE>"));
    pages.push_back(get(tag + "home-nosync", cgi, "", "<TITLE>QUORB</TITLE>"));
    pages.back().without_sync = true;
    pages.push_back(get(tag + "Num=", cgi, "Num=" + name, shown));
    pages.push_back(get(tag + "find=", cgi, "find=" + name, shown));
    pages.push_back(get(tag + "create", cgi, "CMD=create", "<FORM"));
    pages.push_back(get(tag + "action", cgi, "CMD=Assign&Num=" + name, shown));
    pages.push_back(post(tag + "new", cgi, "Status: 303 See Other"));
    pages.push_back(post(tag + "new-nosync", cgi, "Status: 303 See Other"));
    pages.back().preload = nosync;
    pages.push_back(get(tag + "api-sheet", cgi, "CMD=api&v=1&call=sheet&sheet=" + name,
                        "\"sheet\":\"" + name + "\""));
    pages.back().env = {"HTTP_AUTHORIZATION=Bearer " + api_key};
    pages.push_back(
        get(tag + "feed-304", cgi, "CMD=feed&project=TEST&key=" + feed_key, "304 Not Modified"));
    pages.back().journal_tag = true;
  }

  const std::string in_folder = data_dir + "Synchro/in";
  const std::string in_aside = data_dir + "Synchro/in.aside";
  std::string out;
  auto run = [&](Page& page) {
    // A plain file in the incoming folder's place: the directory upgrade cannot make the
    // folder again, and the pass, finding no folder, collects and scans nothing.
    if (page.without_sync) {
      std::rename(in_folder.c_str(), in_aside.c_str());
      base::WriteFileAtomic(in_folder, "");
    }
    if (page.journal_tag) {
      // The tag the feed gave at its last change: the journal's size and time.
      struct stat st {};
      stat((data_dir + "history.dat").c_str(), &st);
      page.env = {base::Sprintf("HTTP_IF_NONE_MATCH=\"%lld-%lld.%09ld\"",
                                static_cast<long long>(st.st_size),
                                static_cast<long long>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec)};
    }
    double cpu_ms = 0;
    double ms = Launch(root, page, out, cpu_ms);
    if (page.without_sync) {
      std::remove(in_folder.c_str());
      std::rename(in_aside.c_str(), in_folder.c_str());
    }
    page.ms.push_back(ms);
    page.cpu_ms.push_back(cpu_ms);
  };

  if (!dump_dir.empty()) {
    // One answer of each page, in the order of the table, for a comparison of two builds.
    std::filesystem::create_directories(dump_dir);
    for (Page& page : pages) {
      if (page.program == hello || !page.preload.empty()) continue;
      run(page);
      // The installation's folder differs from run to run.
      for (size_t at; (at = out.find(root)) != std::string::npos;)
        out.replace(at, root.size(), "ROOT");
      base::File f = base::OpenFile(dump_dir + "/" + page.label + ".html", "wb");
      if (f) std::fwrite(out.data(), 1, out.size(), f.get());
    }
    return 0;
  }

  for (Page& page : pages) run(page);  // warm-up: programs and files in the page cache
  for (Page& page : pages) page.ms.clear(), page.cpu_ms.clear();
  // Round after round, every page once, so a busy moment weighs on all of them alike.
  for (int i = 0; i < runs; ++i)
    for (Page& page : pages) run(page);

  auto median = [&](const std::string& label, std::vector<double> Page::*series) {
    for (const Page& p : pages)
      if (p.label == label) return Median(p.*series);
    return 0.0;
  };
  base::Printf(nullptr,
               "store of %d sheets, median of %d runs; wall time, and processor time (user and "
               "system) of the process\n",
               sheets, runs);
  for (const Page& p : pages) {
    const bool post = p.method == "POST";
    const std::string floor = post ? "hello-body" : "hello";
    const double wall = Median(p.ms), cpu = Median(p.cpu_ms);
    base::Printf(nullptr, "  %-12s %7.3f ms %5.2f x   cpu %6.3f ms %5.2f x %-10s%s\n", p.label,
                 wall, wall / median(floor, &Page::ms), cpu, cpu / median(floor, &Page::cpu_ms),
                 floor,
                 p.program == hello              ? ""
                 : post                          ? "  (target <= 2)"
                 : p.label.ends_with("feed-304") ? "  (target <= 1.2)"
                                                 : "  (target <= 1.5)");
  }
  for (const auto& [build, cgi] : builds) {
    const std::string tag = build.empty() ? "" : build + " ";
    base::Printf(nullptr, "  %ssyncs of a creation: %.3f ms wall\n", tag,
                 median(tag + "new", &Page::ms) - median(tag + "new-nosync", &Page::ms));
  }
  return 0;
}
