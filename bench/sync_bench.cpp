// What durability costs each change: the syncs (fdatasync of a file, fsync of a folder) one
// request makes, and its time with and without them (QUORB_NOSYNC), on this disk, for the
// changes users make most: a new sheet, an entry edited, a file attached, a verdict saved.
//
//   sync_bench [runs]      (default 31 runs of each, median)
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "base/out.h"
#include "harness.h"

namespace {

using Clock = std::chrono::steady_clock;
using Env = std::map<std::string, std::string>;
const std::string kForm = "application/x-www-form-urlencoded";

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct Change {
  const char* name;
  std::function<e2e::CgiResult(const e2e::Installation&, int, Env)> run;
};

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 31;
  e2e::Installation inst;
  e2e::WriteSampleProject(inst);
  inst.Post(e2e::kNewSheet);
  const std::string book = "CMD=book&project=TEST&group=GUI&phase=0";
  inst.Post(book + "&book=4&mod=M1&title=Module");
  inst.Post(book + "&book=6&mod=M1&step=S1&title=Step");
  inst.Post(book + "&book=8&mod=M1&step=S1&title=Check&submitter=tessin");
  inst.Get("CMD=tests&project=TEST&group=GUI&phase=0&book=27&camp=c1");
  const std::string boundary = "---------------------------7d0a1b2c3d4e5f";
  const std::vector<Change> changes = {
      {"new sheet",
       [](const e2e::Installation& i, int, Env env) { return i.Post(e2e::kNewSheet, kForm, env); }},
      {"entry edited",
       [](const e2e::Installation& i, int n, Env env) {
         return i.Get(
             "CMD=Edit&Num=TsG.00001&Edit=0&User=kolvar&title=T&text=Text" + std::to_string(n),
             env);
       }},
      {"file attached",
       [&](const e2e::Installation& i, int n, Env env) {
         return i.Post(e2e::MultipartBody({{"CMD", "Attach"},
                                           {"Num", "TsG.00001"},
                                           {"QS", ""},
                                           {"title", "f" + std::to_string(n)},
                                           {"User", "kolvar"},
                                           {"Attach", std::string(4096, 'x'), "a.txt"}},
                                          boundary),
                       "multipart/form-data; boundary=" + boundary, env);
       }},
      {"verdict saved",
       [](const e2e::Installation& i, int n, Env env) {
         return i.Post(
             "CMD=tests&project=TEST&group=GUI&phase=0&camp=c1&book=30&mod=M1&step=S1"
             "&test=000&version=1.0&res=1&submitter=t" +
                 std::to_string(n),
             kForm, env);
       }},
  };
  base::Printf(nullptr, "median of %d runs each       syncs   with sync   without   cost\n", runs);
  int n = 0;
  for (const Change& change : changes) {
    e2e::CgiResult counted =
        change.run(inst, ++n, {{"GATEWAY_INTERFACE", ""}, {"QUORB_COUNT_SYNCS", "1"}});
    // The page a change leads to is a second process: its count is told too, and is zero.
    long syncs = 0;
    for (size_t at = 0; (at = counted.err.find("quorb: syncs ", at)) != std::string::npos; at += 13)
      syncs += std::atol(counted.err.c_str() + at + 13);
    std::vector<double> with, without;
    for (int r = 0; r < runs; ++r) {
      for (bool sync : {true, false}) {
        Env env = {{"GATEWAY_INTERFACE", ""}};
        if (!sync) env["QUORB_NOSYNC"] = "1";
        auto start = Clock::now();
        change.run(inst, ++n, env);
        (sync ? with : without)
            .push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
      }
    }
    const double a = Median(with), b = Median(without);
    base::Printf(nullptr, "  %-24s %6d   %7.2f ms %7.2f ms %6.2f ms\n", change.name,
                 static_cast<int>(syncs), a, b, a - b);
  }
  return 0;
}
