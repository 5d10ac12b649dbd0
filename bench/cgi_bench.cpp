// The cost of one click against the cost of starting any program, in the same run: the
// median wall time, over many runs, of
//   (a) a hello-world CGI linked like quorb.cgi,
//   (b) the home page of quorb.cgi (empty query),
//   (c) creating a sheet (POST CMD=new) in a store that holds N sheets already,
//   (d) the quick view of one sheet by name (Num=<name>) in that store's index,
//   (e) a status action (Observed) on one sheet of that store,
// each run as the web server runs it (environment, pipes, working directory); (c) and (e)
// also without syncing files and folders (QUORB_NOSYNC), on the same disk, to show what
// durability costs.
// Targets: b/a at most 1.6, c/a at most 4, d/a at most 2.
//
//   cgi_bench [N [runs]]      (default 100000 sheets, 101 runs)
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "base/files.h"
#include "base/out.h"
#include "harness.h"
#include "sheet_generator.h"

namespace {

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Milliseconds one request takes, output checked so a failing run is not timed as a fast one.
double TimeRequest(const e2e::Installation& inst, const e2e::Request& request,
                   const std::string& expected) {
  auto start = Clock::now();
  e2e::CgiResult r = inst.Run(request);
  double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  if (r.exit_code != 0 || r.out.find(expected) == std::string::npos) {
    base::Printf(stderr, "unexpected answer (exit %d):\n%s\n%s\n", r.exit_code, r.out, r.err);
    std::exit(1);
  }
  return ms;
}

// The creation form filled in for the sample project's TEST.
std::string CreationBody() {
  return "CMD=new&QS=&title=A+bug+in+the+menu&project=TEST&group=GUI&prog=prog1&sev=2"
         "&impact=Low&phase=a&version=1.0&exp=2.0&type=1&submitter=kolvar&test=T1&mdapda=CR"
         "&Load=3&text=Line+1%0D%0Aline+2";
}

}  // namespace

int main(int argc, char** argv) {
  int sheets = argc > 1 ? std::atoi(argv[1]) : 100000;
  int runs = argc > 2 ? std::atoi(argv[2]) : 101;

  // One installation: the generated store, then the harness's configuration and the sample
  // project beside the generated projects.
  e2e::Installation inst;
  auto gen_start = Clock::now();
  bench::GenerateSheets(inst.root(), sheets);
  double gen_s = std::chrono::duration<double>(Clock::now() - gen_start).count();
  std::string generated_projects = inst.Read("config/project.cfg");
  inst.WriteConfig(inst.DefaultConfig());
  e2e::WriteSampleProject(inst, generated_projects);

  e2e::Request hello;
  hello.program = QUORB_CGI_HELLO;
  e2e::Request home;
  e2e::Request create;
  create.method = "POST";
  create.body = CreationBody();
  create.content_type = "application/x-www-form-urlencoded";

  // The sheet viewed is the first of the sample project: its index line is the last.
  e2e::Request view;
  view.query = "Num=TaG.00001";
  const std::string shown = "<B>TaG.00001</B>";

  // Posted as its form posts it; a stored action answers with the way to its page.
  e2e::Request action;
  action.method = "POST";
  action.body = "CMD=Observed&Num=TaG.00001&User=kolvar&submitter=tessin";
  action.content_type = "application/x-www-form-urlencoded";
  const std::string observed = "Location: /cgi-bin/quorb.cgi?CMD=Observed&Num=TaG.00001&Done=1";
  auto without_sync = [](e2e::Request r) {
    r.env = {{"GATEWAY_INTERFACE", ""}, {"QUORB_NOSYNC", "1"}};
    return r;
  };
  const e2e::Request create_nosync = without_sync(create), action_nosync = without_sync(action);

  std::vector<double> a, b, c, d, c2, e, e2;
  TimeRequest(inst, hello, "hello");  // warm-up: the programs and files in the page cache
  TimeRequest(inst, home, "<TITLE>QUORB</TITLE>");
  TimeRequest(inst, create, "Status: 303 See Other");
  TimeRequest(inst, view, shown);
  // The floor and the home page interleaved, so a busy moment of the machine weighs on both
  // alike; the creations after them, since the disk writes each one leaves behind would
  // slow whatever runs next.
  for (int i = 0; i < runs; ++i) {
    a.push_back(TimeRequest(inst, hello, "hello"));
    b.push_back(TimeRequest(inst, home, "<TITLE>QUORB</TITLE>"));
    d.push_back(TimeRequest(inst, view, shown));
  }
  for (int i = 0; i < runs; ++i) {
    c.push_back(TimeRequest(inst, create, "Status: 303 See Other"));
    c2.push_back(TimeRequest(inst, create_nosync, "Status: 303 See Other"));
  }
  TimeRequest(inst, action, observed);
  for (int i = 0; i < runs; ++i) {
    e.push_back(TimeRequest(inst, action, observed));
    e2.push_back(TimeRequest(inst, action_nosync, observed));
  }
  double ma = Median(a), mb = Median(b), mc = Median(c), md = Median(d);
  double mc2 = Median(c2), me = Median(e), me2 = Median(e2);
  base::Printf(nullptr,
               "store of %d sheets (generated in %.1f s), median of %d runs each\n"
               "  (a) hello-world CGI       %7.2f ms\n"
               "  (b) home page             %7.2f ms   b/a %.2f (target <= 1.6)\n"
               "  (c) creation of a sheet   %7.2f ms   c/a %.2f (target <= 4)\n"
               "  (d) quick view by name    %7.2f ms   d/a %.2f (target <= 2)\n"
               "      creation without sync %7.2f ms   /a %.2f\n"
               "  (e) status action         %7.2f ms   e/a %.2f\n"
               "      action without sync   %7.2f ms   /a %.2f\n",
               sheets, gen_s, runs, ma, mb, mb / ma, mc, mc / ma, md, md / ma, mc2, mc2 / ma, me,
               me / ma, me2, me2 / ma);
  return 0;
}
