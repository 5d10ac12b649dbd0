// Every change of the store, killed or failed at each of its file-changing system calls in
// turn (the QUORB_FAULT hook): the next request works, `--check` then finds the store sound,
// and a page that answered says "stored" exactly when the change is there.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "harness.h"
#include "store/index.h"
#include "store/sheet.h"

namespace {

using e2e::Installation;

// The sheet as its file's header line holds it.
store::FactSheet Header(const Installation& inst, const std::string& name) {
  std::string text = inst.Read("data/" + name);
  store::FactSheet sheet;
  store::ParseHeader(text.substr(0, text.find('\n')), sheet);
  return sheet;
}

using Env = std::map<std::string, std::string>;
using Run = std::function<e2e::CgiResult(const Installation&, Env)>;

Run Get(const std::string& query) {
  return [query](const Installation& inst, Env env) { return inst.Get(query, env); };
}
Run Post(const std::string& body, const std::string& type = "application/x-www-form-urlencoded") {
  return [body, type](const Installation& inst, Env env) { return inst.Post(body, type, env); };
}
// An attachment to TsG.00001, posted as a browser posts it.
Run Attach(const std::string& title, const std::string& file) {
  const std::string boundary = "---------------------------7d0a1b2c3d4e5f";
  return Post(e2e::MultipartBody({{"CMD", "Attach"},
                                  {"Num", "TsG.00001"},
                                  {"QS", ""},
                                  {"title", title},
                                  {"User", "kolvar"},
                                  {"Attach", "bytes\n", file}},
                                 boundary),
              "multipart/form-data; boundary=" + boundary);
}

// `run` on an index whose dead lines (old copies of every line) have grown past what a change
// leaves be: the change compacts the index as well.
Run Compacting(Run run) {
  return [run](const Installation& inst, Env env) {
    const std::string index = inst.Read("data/index");
    std::string dead;
    while (static_cast<long long>(dead.size()) <= store::kIndexTailSlack) dead += index;
    inst.Write("data/index", dead + index);
    return run(inst, env);
  };
}

struct Operation {
  const char* name;
  Run run;
  std::function<bool(const Installation&)> stored;  // the change is in the store
};

const std::vector<Operation>& Operations() {
  using e2e::FormBody, e2e::With, e2e::HeaderForm;
  static const std::vector<Operation> ops = {
      {"create", Post(e2e::kNewSheet),
       [](const Installation& inst) { return inst.Exists("data/TsG.00002"); }},
      {"status action", Get("CMD=Observed&Num=TsG.00001&User=kolvar&submitter=tessin"),
       [](const Installation& inst) { return Header(inst, "TsG.00001").status == 1; }},
      {"entry edit", Get("CMD=Edit&Num=TsG.00001&Edit=0&User=kolvar&title=T&text=Changed"),
       [](const Installation& inst) { return e2e::Has(inst.Read("data/TsG.00001"), "Changed"); }},
      {"title change", Post(FormBody(With(HeaderForm("TsG.00001"), "title", "Renamed"))),
       [](const Installation& inst) { return Header(inst, "TsG.00001").title == "Renamed"; }},
      {"header change with rename", Post(FormBody(With(HeaderForm("TsG.00001"), "group", "Core"))),
       [](const Installation& inst) {
         return inst.Exists("data/TsC.00001") &&
                inst.Read("data/forward/TsG.00001") == "TsC.00001\n";
       }},
      // The copy takes the source's attachment along, hard-linked into its own folder.
      {"copy with attachments",
       Get("CMD=Copy&Num=TsG.00001&User=kolvar&project=TEST&group=GUI&prog=prog1&sev=2&phase=b"),
       [](const Installation& inst) {
         return inst.Exists("data/TsG.00002") &&
                inst.Read("data/TRACE_TsG.00002/first_a.txt") == "bytes\n";
       }},
      {"compacting status action",
       Compacting(Get("CMD=Observed&Num=TsG.00001&User=kolvar&submitter=tessin")),
       [](const Installation& inst) { return Header(inst, "TsG.00001").status == 1; }},
      {"attach", Attach("second", "b.txt"),
       [](const Installation& inst) { return inst.Exists("data/TRACE_TsG.00001/second_b.txt"); }},
  };
  return ops;
}

// A sample project with one sheet that has one attachment.
void Prepare(const Installation& inst) {
  e2e::WriteSampleProject(inst);
  ASSERT_FALSE(e2e::Has(inst.Post(e2e::kNewSheet).out, e2e::kErrorBox));
  ASSERT_FALSE(e2e::Has(Attach("first", "a.txt")(inst, {}).out, e2e::kErrorBox));
}

e2e::CgiResult Check(const Installation& inst, bool repair = false) {
  e2e::Request r;
  r.args = {"--check"};
  if (repair) r.args.push_back("--repair");
  r.env = {{"GATEWAY_INTERFACE", ""}};
  return inst.Run(r);
}

// Walks the positions of every operation for one kind of fault.
void WalkFaults(const std::string& what, const std::vector<std::string>& only = {}) {
  for (const Operation& op : Operations()) {
    if (!only.empty() && std::find(only.begin(), only.end(), op.name) == only.end()) continue;
    for (int n = 1;; ++n) {
      SCOPED_TRACE(std::string(op.name) + ", " + what + " at call " + std::to_string(n));
      Installation inst;
      Prepare(inst);
      if (testing::Test::HasFatalFailure()) return;
      e2e::CgiResult r = op.run(inst, {{"QUORB_FAULT", std::to_string(n) + ":" + what},
                                       {"QUORB_CUT_ROOT", inst.Path("data")},
                                       {"GATEWAY_INTERFACE", ""}});
      const bool died = what == "kill" || what == "cut" || what == "lose";
      const bool fired = e2e::Has(r.err, "quorb: fault");
      // The next request works (another prefix, so that it leaves the operation's sheets be)
      // and finishes what the faulty one committed.
      std::string next = e2e::kNewSheet;
      next.replace(next.find("phase=b"), 7, "phase=a");
      EXPECT_FALSE(e2e::Has(inst.Post(next).out, e2e::kErrorBox));
      if (!died || !fired) {
        // An answered page told the truth; one that could not show the stored change said it
        // will appear, and the error log says why it could not.
        EXPECT_EQ(r.exit_code, 0);
        const bool reported = !e2e::Has(r.out, e2e::kErrorBox);
        EXPECT_EQ(reported, op.stored(inst)) << r.out;
        if (e2e::Has(r.out, "will appear shortly")) {
          EXPECT_TRUE(e2e::Has(r.err, "quorb: a stored change")) << r.err;
        }
        // What finishing needs was written or reserved before the commit point: a full disk
        // refuses a change or lets it finish, it never leaves one waiting.
        if (what == "full") {
          EXPECT_FALSE(e2e::Has(r.err, "not finished yet")) << r.err;
        }
      }
      e2e::CgiResult check = Check(inst);
      EXPECT_EQ(check.exit_code, 0) << check.out;
      if (!fired) break;
      ASSERT_LT(n, 200);
    }
  }
}

TEST(StoreFaults, KilledAtEachCall) {
  WalkFaults("kill");
}

TEST(StoreFaults, FailingAtEachCall) {
  WalkFaults("eio");
}

// A power cut at each sync barrier: what was not synced is lost, or cut halfway, and so are
// the names not yet synced in their folders. The next request brings the store to before or
// after the change, whole, attachments included (the check compares their sizes).
TEST(StoreFaults, PowerCutAtEachSync) {
  WalkFaults("cut");
  WalkFaults("lose");
}

// A disk full from each call in turn on: every later call fails with ENOSPC, the page after
// the change included; nothing glues, and once there is room again the store takes changes.
TEST(StoreFaults, DiskFull) {
  WalkFaults("full");
}

// Every page that lists sheets, asked first after a change that was stored but left
// unfinished (its process killed after the commit point), shows the change: the result list,
// the sheets below it, the printed index, the export and the statistics are those of the
// same page asked once the change is finished; a list that cannot finish it says so.
TEST(StoreFaults, ListingsAfterAnUnfinishedChangeShowIt) {
  const std::string all = "CMD=find&resp=all&statN=X&statS=X&statA=X&statO=X&statC=X&statV=X";
  const std::vector<std::string> pages = {all + "&aff_list=AL",
                                          all,
                                          all + "&Print=yes",
                                          all + "&excel=X",
                                          "CMD=statS&statS=1&project=TEST&group=TOTAL",
                                          "CMD=statS&statS=4&project=TEST&group=TOTAL"};
  // A page without its diagnostic comments (they name temporary files).
  auto shown = [](const std::string& page) {
    std::string out;
    for (const std::string& line : e2e::Lines(e2e::WithoutFormGuards(page)))
      if (!line.starts_with("<!")) out += line + "\n";
    return out;
  };
  for (const Operation& op : Operations()) {
    // An entry's text or an attachment shows only in the sheet, which is read once finished.
    if (op.name == std::string("entry edit") || op.name == std::string("attach")) continue;
    for (int n = 1;; ++n) {
      Installation inst;
      Prepare(inst);
      if (testing::Test::HasFatalFailure()) return;
      const e2e::CgiResult r =
          op.run(inst, {{"QUORB_FAULT", std::to_string(n) + ":kill"}, {"GATEWAY_INTERFACE", ""}});
      if (!e2e::Has(r.err, "quorb: fault")) break;
      ASSERT_LT(n, 200);
      // Only a change stored and left waiting is of interest here.
      if (!inst.Read("data/commit.intent").starts_with("QUORB-COMMIT")) continue;
      const std::filesystem::path data = inst.Path("data"), kept = inst.Path("kept");
      std::filesystem::copy(data, kept, std::filesystem::copy_options::recursive);
      auto restore = [&] {
        std::filesystem::remove_all(data);
        std::filesystem::copy(kept, data, std::filesystem::copy_options::recursive);
      };
      for (const std::string& page : pages) {
        SCOPED_TRACE(std::string(op.name) + ", killed at call " + std::to_string(n) + ", " + page);
        restore();
        const std::string first = shown(inst.Get(page).out);
        inst.Get("Num=TsG.00001");  // shows a sheet: finishes the change
        EXPECT_EQ(first, shown(inst.Get(page).out));
      }
      // A list that cannot finish the change (a disk error) says it will appear.
      SCOPED_TRACE(std::string(op.name) + ", killed at call " + std::to_string(n));
      restore();
      const e2e::CgiResult failed =
          inst.Get(pages[0], {{"QUORB_FAULT", "1:eio"}, {"GATEWAY_INTERFACE", ""}});
      EXPECT_TRUE(e2e::Has(failed.out, "<P>A change stored a moment ago is not in this list yet"))
          << failed.out;
      EXPECT_TRUE(e2e::Has(failed.err, "quorb: a stored change")) << failed.err;
    }
  }
}

// The copy of the index in name order that an export has made after its page, killed,
// failed, cut by a power cut or refused room at each of its file-changing calls in turn: the
// exports after it (the first makes the copy again, the next reads it) write the same rows,
// and the store is sound.
TEST(StoreFaults, IndexCopyAtEachCall) {
  const std::string query = "CMD=find&excel=X&resp=all&statN=X&statS=X&statA=X&statO=X";
  // The maker holds the lock of the copy until it ends.
  auto wait_for_maker = [](const Installation& inst) {
    const int fd = ::open(inst.Path("data/index.byname/lock").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    for (int i = 0; i < 2000 && ::flock(fd, LOCK_EX | LOCK_NB) != 0; ++i) ::usleep(10000);
    ::close(fd);
  };
  for (const char* what : {"kill", "eio", "cut", "lose", "full"}) {
    for (int n = 1;; ++n) {
      SCOPED_TRACE(std::string(what) + " at call " + std::to_string(n));
      Installation inst;
      Prepare(inst);
      if (testing::Test::HasFatalFailure()) return;
      // A compacted index, and its rows as read without a copy.
      Compacting(Get("CMD=Observed&Num=TsG.00001&User=kolvar&submitter=tessin"))(inst, {});
      const std::string rows = inst.Get(query).out;
      ASSERT_TRUE(e2e::Has(rows, "TsG") || e2e::Has(rows, "00001")) << rows;
      Env env = {{"GATEWAY_INTERFACE", ""}, {"QUORB_INDEX_COPY_FROM", "1"}};
      Env faulty = env;
      faulty["QUORB_FAULT"] = std::to_string(n) + ":" + what;
      faulty["QUORB_CUT_ROOT"] = inst.Path("data");
      EXPECT_EQ(inst.Get(query, faulty).out, rows);
      wait_for_maker(inst);
      // A fault before the copy got its name leaves none (the last call, the folder's sync,
      // comes after it).
      const bool fired = !inst.Exists("data/index.byname/lines");
      for (int again = 0; again < 2; ++again) {
        EXPECT_EQ(inst.Get(query, env).out, rows);
        wait_for_maker(inst);
      }
      EXPECT_TRUE(inst.Exists("data/index.byname/lines"));
      EXPECT_EQ(Check(inst).exit_code, 0) << Check(inst).out;
      if (!fired) break;
      ASSERT_LT(n, 100);
    }
  }
}

TEST(StoreFaults, CheckFindsAndRepairs) {
  Installation inst;
  Prepare(inst);
  inst.Post(e2e::kNewSheet);
  ASSERT_EQ(Check(inst).exit_code, 0);
  // Damage of every kind the check knows.
  // Old lines left behind are sound; a key's last line must be its sheet's header.
  const std::string index = inst.Read("data/index");
  inst.Write("data/index", index.substr(0, index.find('\n') + 1) + index);
  ASSERT_EQ(Check(inst).exit_code, 0) << Check(inst).out;
  const std::string last = index.substr(index.rfind('\n', index.size() - 2) + 1);
  inst.Write("data/index", index + last.substr(0, last.size() - 1) + "X\ncut|line");
  inst.Write("data/TsG.00007.tmp.99999", "x");
  inst.Write("data/TRACE_TsG.00009/stray", "x");
  inst.Write("data/history.dat", inst.Read("data/history.dat") + "2026/01/01:00.00.00 cut");
  e2e::CgiResult found = Check(inst);
  EXPECT_EQ(found.exit_code, 1);
  for (const char* problem : {"index: the line of TsG.00002 differs from its sheet",
                              "names no sheet file", "index: the last line has no line feed",
                              "leftover: ", "folder TRACE_TsG.00009 belongs to no sheet",
                              "journal: the last line has no line feed"})
    EXPECT_TRUE(e2e::Has(found.out, problem)) << problem << "\n" << found.out;
  EXPECT_EQ(Check(inst, true).exit_code, 0);
  EXPECT_EQ(Check(inst).exit_code, 0);
  EXPECT_EQ(e2e::Lines(inst.Read("data/index")).size(), 2u);
  EXPECT_TRUE(inst.Exists("data/lost"));
  // A file removed by hand frees its number for the next sheet, which gets no old line.
  ASSERT_EQ(::unlink(inst.Path("data/TsG.00001").c_str()), 0);
  inst.Post(e2e::kNewSheet);
  EXPECT_TRUE(inst.Exists("data/TsG.00001"));
  EXPECT_FALSE(inst.Exists("data/TsG.00003"));
  EXPECT_FALSE(inst.Exists("data/TRACE_TsG.00001/first_a.txt"));  // the old folder went aside
  EXPECT_EQ(Check(inst).exit_code, 0) << Check(inst).out;
  // From the web, the argument is a query like any other.
  e2e::Request web;
  web.args = {"--check"};
  EXPECT_TRUE(e2e::Has(inst.Run(web).out, "Content-type"));
}

}  // namespace
