// The synchronisation inside one installation: POP3 collection against a scripted server,
// numbering, the pass (gap check, acknowledgements, refusals), merging and conflicts, locks.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "../unit/smtp_peer.h"
#include "base/files.h"
#include "base/out.h"
#include "harness.h"
#include "mail/encoding.h"
#include "mail/pop3.h"
#include "store/store.h"
#include "sync/sync.h"

namespace {

using e2e::CaptureStdout;
using e2e::InProcess;
using e2e::Installation;

// A POP3 server for one connection. Lines end with `end`; the mail numbered `cut` is sent
// half, and after that the server says nothing more (it hangs up at QUIT).
class ScriptedPop3 {
 public:
  ScriptedPop3(std::vector<std::string> mails, std::string end, int cut = 0)
      : mails_(std::move(mails)), end_(std::move(end)), cut_(cut) {
    listener_ = mail_test::Listen(&port_);
    thread_ = std::thread([this] { Serve(); });
  }
  ~ScriptedPop3() {
    if (thread_.joinable()) thread_.join();
    close(listener_);
  }
  std::string server() const { return "127.0.0.1:" + std::to_string(port_); }
  std::string Commands() {
    if (thread_.joinable()) thread_.join();
    return commands_;
  }

 private:
  void Say(int c, const std::string& text) { mail_test::SendAll(c, text); }
  void Serve() {
    pollfd p{listener_, POLLIN, 0};
    if (poll(&p, 1, 20000) <= 0) return;
    int c = accept(listener_, nullptr, nullptr);
    Say(c, "+OK ready" + end_);
    std::string pending;
    bool silent = false;
    char buffer[512];
    for (;;) {
      pollfd q{c, POLLIN, 0};
      if (poll(&q, 1, 30000) <= 0) break;
      ssize_t n = recv(c, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      pending.append(buffer, static_cast<size_t>(n));
      size_t eol;
      while ((eol = pending.find("\r\n")) != std::string::npos) {
        std::string line = pending.substr(0, eol);
        pending.erase(0, eol + 2);
        commands_ += line + "\n";
        if (line == "QUIT") {
          if (!silent) Say(c, "+OK bye" + end_);
          close(c);
          return;
        }
        if (silent) continue;
        int k = std::atoi(line.c_str() + std::min(line.size(), line.find(' ') + 1));
        std::string mail = k >= 1 && k <= static_cast<int>(mails_.size()) ? mails_[k - 1] : "";
        if (line == "LIST") {
          std::string list = "+OK" + end_;
          for (size_t i = 0; i < mails_.size(); ++i)
            list += std::to_string(i + 1) + " " + std::to_string(mails_[i].size()) + end_;
          Say(c, list + "." + end_);
        } else if (line.starts_with("TOP")) {
          Say(c,
              "+OK" + end_ + mail.substr(0, mail.find(end_ + end_) + 2 * end_.size()) + "." + end_);
        } else if (line.starts_with("RETR") && k == cut_) {
          Say(c, "+OK" + end_ + mail.substr(0, mail.size() / 2));
          silent = true;
        } else if (line.starts_with("RETR")) {
          Say(c, "+OK" + end_ + mail + "." + end_);
        } else {
          Say(c, "+OK" + end_);
        }
      }
    }
    close(c);
  }

  std::vector<std::string> mails_;
  std::string end_;
  int cut_;
  int port_ = 0;
  int listener_ = -1;
  std::thread thread_;
  std::string commands_;
};

std::string SynchMailText(const std::string& name, const std::string& end) {
  return "From: a@b" + end + "Subject: Quorb-Synchro TEST " + name + end + end +
         "filetype: e 1 h " + name + end + ".. a stuffed line" + end;
}

TEST(SyncPop3, CollectsOnlySynchMailsWhateverTheLineEnds) {
  for (std::string end : {"\r\n", "\r"}) {
    ScriptedPop3 pop({SynchMailText("s00001", end), "Subject: Hello" + end + end + "hi" + end,
                      SynchMailText("s00002", end)},
                     end);
    Installation inst("POP3 " + pop.server() + "\nPOP3USER u\nPOP3PASS pop-secret-word\n");
    inst.Write("data/Synchro/in/TEST/.keep", "");
    InProcess req(inst);
    std::string page = CaptureStdout([&] { mail::PopCollect(inst.Path("data/Synchro/")); });
    EXPECT_EQ(page.find("pop-secret-word"), std::string::npos);
    EXPECT_EQ(pop.Commands(),
              "USER u\nPASS pop-secret-word\nLIST\nTOP 1 1\nTOP 2 1\nTOP 3 1\nRETR 1\nDELE 1\n"
              "RETR 3\nDELE 3\nQUIT\n");
    std::string stored = inst.Read("data/Synchro/in/TEST/s00002.txt");
    EXPECT_NE(stored.find(end + ". a stuffed line" + end), std::string::npos) << stored;
    EXPECT_TRUE(inst.Exists("data/Synchro/in/TEST/s00001.txt"));
  }
}

TEST(SyncPop3, AMailCutOffIsNeitherStoredNorDeleted) {
  ScriptedPop3 pop({SynchMailText("s00001", "\r\n"), SynchMailText("s00002", "\r\n")}, "\r\n", 2);
  Installation inst("POP3 " + pop.server() + "\nPOP3USER u\nPOP3PASS p\n");
  inst.Write("data/Synchro/in/TEST/.keep", "");
  InProcess req(inst);
  CaptureStdout([&] { mail::PopCollect(inst.Path("data/Synchro/")); });
  EXPECT_EQ(pop.Commands(),
            "USER u\nPASS p\nLIST\nTOP 1 1\nTOP 2 1\nRETR 1\nDELE 1\nRETR 2\nQUIT\n");
  EXPECT_EQ(inst.List("data/Synchro/in/TEST"), (std::vector<std::string>{".keep", "s00001.txt"}));
}

// An installation whose project TEST has a partner; the relay is unreachable.
struct Site {
  Site() {
    e2e::WriteSampleProject(inst);
    inst.Write("config/project.cfg", "TEST:T:kolvar:tessin:partner@example.org\nSOLO:S:a:b\n");
    inst.Write("data/Synchro/out/TEST/.keep", "");
    inst.Write("data/Synchro/in/TEST/.keep", "");
  }
  // Puts a received message of `kind` for the file `path` into in/TEST/ as `name`.
  void Receive(const std::string& name, const std::string& path, int kind) {
    InProcess req(inst);
    base::File out = base::OpenFile(inst.Path("data/Synchro/in/TEST/" + name), "wb");
    mail::EncodeSynchFile(out.get(), path, kind, "siteB");
  }
  std::string Pass() {
    InProcess req(inst);
    return CaptureStdout([] { synch::SynchPass(); });
  }
  Installation inst;
};

TEST(SyncPass, NumbersRequestsAcknowledgementsAndRefusals) {
  Site site;
  Installation& inst = site.inst;
  {
    InProcess req(inst);
    CaptureStdout([&] {
      synch::SendSynchFile(inst.Path("config/phase.cfg"), "SOLO", synch::kConfigFile);
      synch::SendSynchFile(inst.Path("config/phase.cfg"), "TEST", synch::kConfigFile);
    });
  }
  EXPECT_FALSE(inst.Exists("data/Synchro/out/SOLO/sent.txt"));  // no partner, no number
  EXPECT_EQ(inst.Read("data/Synchro/out/TEST/sent.txt"), "1");
  EXPECT_TRUE(inst.Exists("data/Synchro/out/TEST/s00001.txt"));

  inst.Write("data/Synchro/out/TEST/s00007.txt", "x");
  inst.Write("data/evil.cfg", "mine");
  inst.Write("data/TEST_version.cfg", "9.9\n");
  site.Receive("s00001.txt", "s00007.txt", synch::kAcknowledgement);
  site.Receive("s00003.txt", inst.Path("data/evil.cfg"), synch::kConfigFile);
  site.Receive("s00004.txt", inst.Path("data/TEST_version.cfg"), synch::kConfigFile);
  site.Receive("s00005.msg", "s00001.txt", synch::kRequest);
  {
    InProcess req(inst);
    // An attachment whose folder would lead out of the data directory.
    base::File out = base::OpenFile(inst.Path("data/Synchro/in/TEST/s00006.txt"), "wb");
    base::Write(out.get(), "\r\nfiletype: d 1 siteB ..\r\nbegin 0666 x\r\n!80``\r\n`\r\nend\r\n");
  }
  std::string page = site.Pass();

  EXPECT_FALSE(inst.Exists("data/Synchro/out/TEST/s00007.txt")) << page;  // acknowledged
  EXPECT_EQ(inst.Read("config/TEST_version.cfg"), "9.9\n");               // replaced
  EXPECT_FALSE(inst.Exists("config/evil.cfg"));                           // not a project file
  EXPECT_FALSE(inst.Exists("x"));
  EXPECT_NE(page.find("<! .. is not an attachment folder: refused >"), std::string::npos);
  // Every file got its ".dat" name; s00003 had no s00002 before it: one request, and the
  // acknowledgements of the applied files; the ".msg" file was not applied.
  EXPECT_EQ(inst.List("data/Synchro/in/TEST"),
            (std::vector<std::string>{".keep", "s00001.dat", "s00003.dat", "s00004.dat",
                                      "s00005.dat", "s00006.dat"}));
  std::string out = inst.Read("data/Synchro/out/TEST/s00002.txt");
  EXPECT_NE(out.find("filetype: f "), std::string::npos) << out;
  EXPECT_NE(out.find(" localhost s00002.txt\r\n"), std::string::npos) << out;
  EXPECT_EQ(inst.Read("data/Synchro/out/TEST/sent.txt"), "3");  // request, acknowledgement
  EXPECT_NE(inst.Read("data/Synchro/out/TEST/s00003.txt").find(" localhost s00004.txt\r\n"),
            std::string::npos);
  EXPECT_EQ(inst.List("data/tmp"), std::vector<std::string>{});  // the work folder is gone
}

store::FactSheet Sheet(int created, std::vector<std::pair<int, std::string>> entries,
                       const std::string& log) {
  store::FactSheet s;
  s.project = "TEST";
  s.group = "GUI";
  s.phase = 1;
  s.number = 1;
  s.created = created;
  s.title = "t" + std::to_string(created);
  for (auto& [time, who] : entries) store::AddEntry(s, "e", who, time, who + "\n");
  s.log = log;
  return s;
}

TEST(SyncMerge, EntriesMergeInTimeOrderAndConflictsKeepBothSheets) {
  store::FactSheet local = Sheet(100, {{100, "a"}, {200, "a"}}, "L1\nL2\n");
  store::FactSheet received = Sheet(100, {{100, "a"}, {150, "b"}}, "L1\nL3\n");
  received.entries[0].text = "edited\n";
  store::FactSheet merged = synch::MergeSheets(local, received);
  ASSERT_EQ(merged.entries.size(), 3u);
  EXPECT_EQ(merged.entries[0].text, "edited\n");  // the received version of the same entry
  EXPECT_EQ(merged.entries[1].who, "b");
  EXPECT_EQ(merged.entries[2].time, 200);
  EXPECT_EQ(merged.log, "L1\nL2\nL3\n");

  // The name taken by a newer local sheet: the received (older) one takes the name, the
  // local one moves to a new number; a newer received sheet goes to a new number itself.
  Site site;
  InProcess req(site.inst);
  store::FactSheet mine = Sheet(500, {{500, "a"}}, "");
  ASSERT_EQ(store::CreateSheet(mine), store::Stored::kOk);
  std::string page = CaptureStdout([&] {
    EXPECT_EQ(synch::MergeReceivedSheet(Sheet(300, {{300, "b"}}, "")).name, "TsG.00001");
    EXPECT_EQ(synch::MergeReceivedSheet(Sheet(900, {{900, "c"}}, "")).name, "TsG.00003");
    // Sent again, the moved sheet is found under its new number.
    EXPECT_EQ(synch::MergeReceivedSheet(Sheet(900, {{950, "c"}}, "")).name, "TsG.00003");
  });
  EXPECT_EQ(store::ReadSheet("TsG.00001")->created, 300);
  EXPECT_EQ(store::ReadSheet("TsG.00002")->created, 500) << page;
  EXPECT_EQ(store::ReadSheet("TsG.00003")->entries.size(), 2u);
  std::string index = site.inst.Read("data/index");
  for (const char* title : {"|t300\n", "|t500\n", "|t900\n"})
    EXPECT_NE(index.find(title), std::string::npos) << index;
}

TEST(SyncLock, StaleLocksGoAndLiveOnesAreWaitedForBoundedly) {
  Installation inst;
  std::string folder = inst.Path("data/Synchro/out/P");
  inst.Write("data/Synchro/out/P/lock1", " ");
  InProcess req(inst);
  // A live lock of another process: given up after the stale limit.
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(synch::LockDir(folder, 1));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  // Once it is older than the limit it is removed and the lock is ours.
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  EXPECT_TRUE(synch::LockDir(folder, 1));
  EXPECT_EQ(inst.List("data/Synchro/out/P"),
            std::vector<std::string>{"lock" + std::to_string(getpid())});
  synch::UnlockDir(folder);
  EXPECT_EQ(inst.List("data/Synchro/out/P"), std::vector<std::string>{});
}

}  // namespace
