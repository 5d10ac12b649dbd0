// The synchronisation inside one installation: POP3 collection against a scripted server,
// numbering, the pass (gap check, acknowledgements, refusals), merging and conflicts, locks.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "../unit/smtp_peer.h"
#include "base/files.h"
#include "common/ports.h"
#include "harness.h"
#include "mail/pop3.h"
#include "store/store.h"
#include "sync/encoding.h"
#include "sync/sync.h"
#include "sync/sync_parts.h"

namespace {

using e2e::CaptureStdout;
using e2e::InProcess;
using e2e::Installation;

std::string SynchMailText(const std::string& name, const std::string& end) {
  return "From: a@b" + end + "Subject: Quorb-Synchro TEST " + name + end + end +
         "filetype: e 1 h " + name + end + ".. a stuffed line" + end;
}

// Only synchronisation mails are taken, whatever the line ends; a server silent in the
// middle of a mail: the collection gives up on its own and quits, and that mail is neither
// stored nor deleted.
TEST(SyncPop3, CollectsOnlyWholeSynchMailsWhateverTheLineEnds) {
  const struct {
    std::string end;
    int cut;
    std::string commands, names;
  } cases[] = {
      {"\r\n", 0, "TOP 3 1\nRETR 1\nDELE 1\nRETR 3\nDELE 3\n", "TEST s00001 TEST s00002 "},
      {"\r", 0, "TOP 3 1\nRETR 1\nDELE 1\nRETR 3\nDELE 3\n", "TEST s00001 TEST s00002 "},
      {"\r\n", 3, "TOP 3 1\nRETR 1\nDELE 1\nRETR 3\n", "TEST s00001 "},
  };
  for (const auto& c : cases) {
    const std::string e = c.end;
    const std::vector<std::string> mails = {SynchMailText("s00001", e),
                                            "Subject: Hello" + e + e + "hi" + e,
                                            SynchMailText("s00002", e)};
    // The replies to USER, PASS, LIST, the three TOPs, then RETR and DELE of 1 and 3, QUIT;
    // mail 3 is sent half when it is the one cut.
    std::string script = "+OK ready" + e + "+OK" + e + "+OK" + e + "+OK" + e;
    for (size_t i = 0; i < mails.size(); ++i)
      script += std::to_string(i + 1) + " " + std::to_string(mails[i].size()) + e;
    script += "." + e;
    for (const std::string& m : mails)
      script += "+OK" + e + m.substr(0, m.find(e + e)) + e + e + "." + e;
    for (int k : {1, 3})
      script += k == c.cut ? "+OK" + e + mails[2].substr(0, mails[2].size() / 2)
                           : "+OK" + e + mails[k - 1] + "." + e + "+OK" + e;
    mail_test::ScriptedPeer pop(c.cut ? script : script + "+OK bye" + e);
    Installation inst("POP3 " + pop.server() + "\nPOP3USER u\nPOP3PASS pop-secret-word\n");
    inst.Write("data/Synchro/in/TEST/.keep", "");
    InProcess req(inst);
    std::string names, stuffed;
    std::string page = CaptureStdout([&] {
      mail::PopCollect([&](const mail::SynchMailEntry& entry, std::string_view text) {
        names += entry.project + " " + entry.name + " ";
        stuffed = text;
        return mail::Keep::kDelete;
      });
    });
    EXPECT_FALSE(e2e::Has(page, "pop-secret-word"));
    std::string commands = pop.Received();
    std::erase(commands, '\r');
    EXPECT_EQ(commands,
              "USER u\nPASS pop-secret-word\nLIST\nTOP 1 1\nTOP 2 1\n" + c.commands + "QUIT\n");
    EXPECT_EQ(names, c.names);
    EXPECT_TRUE(e2e::Has(stuffed, e + ". a stuffed line" + e));
  }
}

// An installation whose project TEST has a partner; the relay is unreachable.
struct Site {
  Site() {
    e2e::WriteSampleProject(inst);  // with the language files: errors are language messages
    inst.Write("config/project.cfg", "TEST:T:kolvar:tessin:partner@example.org\nSOLO:S:a:b\n");
    inst.Write("data/Synchro/out/TEST/.keep", "");
    inst.Write("data/Synchro/in/TEST/.keep", "");
  }
  // Puts a received message of `kind` for the file `path` into in/TEST/ as `name`.
  void Receive(const std::string& name, const std::string& path, int kind) {
    InProcess req(inst);
    base::File out = base::OpenFile(inst.Path("data/Synchro/in/TEST/" + name), "wb");
    synch::EncodeSynchFile(out.get(), path, kind, "siteB");
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
  inst.Write("data/TEST_other.cfg", "x\n");
  site.Receive("s00001.txt", "s00007.txt", synch::kAcknowledgement);
  site.Receive("s00007.txt", inst.Path("data/TEST_other.cfg"), synch::kConfigFile);
  const std::string members = inst.Read("config/TEST_users.cfg");
  inst.Write("data/TEST_users.cfg", "newbie:n@x:H5:Y\n#changed newbie 7 7\n");
  site.Receive("s00008.txt", inst.Path("data/TEST_users.cfg"), synch::kConfigFile);
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
  EXPECT_FALSE(inst.Exists("config/TEST_other.cfg"));                     // not one it sends
  EXPECT_EQ(inst.Read("config/TEST_users.cfg"),
            members + "newbie:n@x:H5:Y\n#changed newbie 7 7\n");  // merged, not replaced
  EXPECT_FALSE(inst.Exists("x"));
  EXPECT_TRUE(e2e::Has(page, "not applied: .. is not an attachment folder"));
  // Every file got its ".dat" name; s00003 had no s00002 before it: one request, and the
  // acknowledgements of the applied files; the ".msg" file was not applied.
  EXPECT_EQ(inst.List("data/Synchro/in/TEST"),
            (std::vector<std::string>{".keep", "s00001.dat", "s00003.dat", "s00004.dat",
                                      "s00005.dat", "s00006.dat", "s00007.dat", "s00008.dat"}));
  std::string out = inst.Read("data/Synchro/out/TEST/s00002.txt");
  EXPECT_EQ(e2e::Missing(out, {"filetype: f ", " localhost s00002.txt\r\n"}), "") << out;
  EXPECT_EQ(inst.Read("data/Synchro/out/TEST/sent.txt"), "4");  // request, acknowledgements
  EXPECT_TRUE(e2e::Has(inst.Read("data/Synchro/out/TEST/s00003.txt"), " localhost s00004.txt\r\n"));
  EXPECT_EQ(inst.List("data/tmp"), std::vector<std::string>{});  // the work folder is gone
}

store::FactSheet Sheet(int created, std::vector<std::pair<int, std::string>> entries,
                       const std::string& log) {
  store::FactSheet s;
  s.project = "TEST", s.group = "GUI", s.phase = 1, s.number = 1, s.created = created;
  s.title = "t" + std::to_string(created);
  for (auto& [time, who] : entries) store::AddEntry(s, "e", who, time, who + "\n");
  s.log = log;
  return s;
}

TEST(SyncMerge, CopiesMergeTheSameWhicheverIsLocalAndTheLatestChangeOfAFieldWins) {
  store::FactSheet base = Sheet(100, {{100, "a"}}, "2026/01/01:10.00.00 Origin: x 1\n");
  // A assigns and edits the first entry; B changes the title. Each notes what it changed.
  store::FactSheet a = base, b = base;
  a.status = 2, a.resp = "tessin", a.entries[0].text = "edited on A\n";
  a.log += "2026/01/01:10.00.05 Changed on sitea: status resp entry:100:a:0:0:e\n";
  b.title = "new title", b.status = 1;
  b.log += "2026/01/01:10.00.03 Changed on siteb: title status\n";
  store::AddEntry(b, "e", "b", 150, "analysis\n");
  auto bytes = [](store::FactSheet s) { return store::FormatSheet(s); };
  store::FactSheet ab = synch::MergeSheets(a, b), ba = synch::MergeSheets(b, a);
  EXPECT_EQ(bytes(ab), bytes(ba));
  EXPECT_EQ(ab.title, "new title");  // only B changed it
  EXPECT_EQ(ab.status, 2);           // A's change is the later one
  EXPECT_EQ(ab.resp, "tessin");
  ASSERT_EQ(ab.entries.size(), 2u);
  EXPECT_EQ(ab.entries[0].text, "edited on A\n");
  EXPECT_EQ(ab.entries[1].text, "analysis\n");
  // Merging again changes nothing; the log holds both notes, so it says what both did.
  EXPECT_EQ(bytes(synch::MergeSheets(ab, b)), bytes(ab));
  EXPECT_TRUE(e2e::Has(ab.log, "Changed on siteb: title status"));
  EXPECT_TRUE(e2e::Has(ab.log, "Changed on sitea: status"));
}

TEST(SyncMerge, ConflictsKeepBothSheets) {
  // The name taken by a newer local sheet: the received (older) one takes the name, the
  // local one moves to a new number; a newer received sheet goes to a new number itself.
  Site site;
  InProcess req(site.inst);
  // Sheets made before their project had partners: known by creation time and first line.
  auto made = [](int created) {
    return "1999/01/01:00.00.00 Made " + std::to_string(created) + "\n";
  };
  store::FactSheet mine = Sheet(500, {{500, "a"}}, made(500));
  ASSERT_EQ(store::CreateSheet(mine), store::Stored::kOk);
  std::string page = CaptureStdout([&] {
    EXPECT_EQ(synch::MergeReceivedSheet(Sheet(300, {{300, "b"}}, made(300))).name, "TsG.00001");
    EXPECT_EQ(synch::MergeReceivedSheet(Sheet(900, {{900, "c"}}, made(900))).name, "TsG.00003");
    // Sent again, the moved sheet is found under its new number.
    EXPECT_EQ(synch::MergeReceivedSheet(Sheet(900, {{950, "c"}}, made(900))).name, "TsG.00003");
  });
  EXPECT_EQ(store::ReadSheet("TsG.00001")->created, 300);
  EXPECT_EQ(store::ReadSheet("TsG.00002")->created, 500) << page;
  EXPECT_EQ(store::ReadSheet("TsG.00003")->entries.size(), 2u);
  std::string index = site.inst.Read("data/index");
  for (const char* title : {"|t300\n", "|t500\n", "|t900\n"})
    EXPECT_TRUE(e2e::Has(index, title)) << index;
  // The journal follows each sheet that took a new number.
  std::string journal = site.inst.Read("data/history.dat");
  for (const char* moved : {" TsG.00002 Renumbered from TsG.00001 ", " TsG.00003 Renumbered from "})
    EXPECT_TRUE(e2e::Has(journal, moved)) << journal;
}

TEST(SyncMerge, TwoSheetsMadeInOneSecondStayTwo) {
  Installation other;
  e2e::WriteSampleProject(other);
  InProcess there(other);
  store::FactSheet one = Sheet(700, {{700, "a"}}, "2026/01/01:10.00.00 Origin: b 1\n");
  store::FactSheet two = Sheet(700, {{700, "a"}}, "2026/01/01:10.00.00 Origin: b 2\n");
  two.number = 2;
  CaptureStdout([&] {
    EXPECT_EQ(synch::MergeReceivedSheet(one).name, "TsG.00001");
    EXPECT_EQ(synch::MergeReceivedSheet(two).name, "TsG.00002");
  });
  EXPECT_TRUE(e2e::Has(other.Read("data/TsG.00002"), "Origin: b 2"));
  EXPECT_TRUE(e2e::Has(other.Read("data/TsG.00001"), "Origin: b 1"));
}

// The same login adds an analysis with the same heading in the same second on two sites:
// two entries, told apart by where they were made. A copy that a partner of an older version
// sent back without places is still the same entries.
TEST(SyncMerge, EntriesOfOneSecondOnTwoSitesStayTwo) {
  Site site;
  InProcess req(site.inst);
  store::FactSheet base = Sheet(100, {{100, "a"}}, "2026/01/01:10.00.00 Origin: x 1\n");
  store::FactSheet a = base, b = base;
  store::AddEntry(a, "Analyse_1", "kolvar", 200, "from A\n");
  store::AddEntry(b, "Analyse_1", "kolvar", 200, "from B\n");
  ASSERT_NE(a.entries[1].place, b.entries[1].place);
  auto bytes = [](store::FactSheet s) { return store::FormatSheet(s); };
  store::FactSheet ab = synch::MergeSheets(a, b);
  EXPECT_EQ(bytes(ab), bytes(synch::MergeSheets(b, a)));
  ASSERT_EQ(ab.entries.size(), 3u);
  EXPECT_EQ(ab.entries[1].text + ab.entries[2].text,
            a.entries[1].place < b.entries[1].place ? "from A\nfrom B\n" : "from B\nfrom A\n");
  store::FactSheet older = ab;
  for (store::SheetEntry& e : older.entries) e.place.clear();
  EXPECT_EQ(bytes(synch::MergeSheets(ab, older)), bytes(ab));
  EXPECT_EQ(bytes(synch::MergeSheets(older, ab)), bytes(ab));
}

// Sheets made before their project had partners carry no origin: two of one second and one
// log are still two, and each stays itself once it is given an origin and a new name.
TEST(SyncMerge, SheetsWithoutOriginAreKnownByTheirFirstNameAndTime) {
  Site site;
  InProcess req(site.inst);
  const std::string made = "2026/01/01:10.00.00 Created by kolvar\n";
  store::FactSheet one = Sheet(700, {{700, "a"}}, made), two = one;
  one.title = "One", two.title = "Two", two.number = 2;
  CaptureStdout([&] {
    EXPECT_EQ(synch::MergeReceivedSheet(one).name, "TsG.00001");
    EXPECT_EQ(synch::MergeReceivedSheet(two).name, "TsG.00002");
  });
  EXPECT_EQ(store::ReadSheet("TsG.00001")->title, "One");
  EXPECT_EQ(store::ReadSheet("TsG.00002")->title, "Two");

  store::FactSheet stamped = two;
  synch::KeepIdentity(stamped);
  EXPECT_TRUE(e2e::Has(stamped.log, " Origin: TsG.00002 700\n")) << stamped.log;
  stamped.number = 5;
  EXPECT_EQ(synch::SheetIdentity(stamped), synch::SheetIdentity(two));
  store::FactSheet renumbered = two;
  store::LogAction(renumbered, "Renumbered from TsG.00002 after a clash of names");
  renumbered.number = 7;
  EXPECT_EQ(synch::SheetIdentity(renumbered), synch::SheetIdentity(two));
}

// A process that holds the lock of `folder` until it is killed.
pid_t HoldLock(const std::string& folder) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  pid_t child = fork();
  if (child == 0) {
    synch::FolderLock held(folder, 0);
    char c = held.Held() ? 'y' : 'n';
    (void)!write(ready[1], &c, 1);
    pause();
    _exit(0);
  }
  char c = 0;
  bool held = read(ready[0], &c, 1) == 1 && c == 'y';
  close(ready[0]);
  close(ready[1]);
  return held ? child : -1;
}

void Kill(pid_t child) {
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
}

TEST(SyncLock, ALockOfADeadProcessIsFreeAndALiveOneIsWaitedForBoundedly) {
  Site site;
  Installation& inst = site.inst;
  std::string folder = inst.Path("data/Synchro/out/TEST");
  pid_t child = HoldLock(folder);
  ASSERT_GT(child, 0);
  EXPECT_FALSE(synch::FolderLock(folder, 300).Held());  // given up after its wait
  // A message sent while the numbering is held waits in the queue, whole.
  {
    InProcess req(inst);
    CaptureStdout(
        [&] { synch::SendSynchFile(inst.Path("config/phase.cfg"), "TEST", synch::kConfigFile); });
  }
  EXPECT_FALSE(inst.Exists("data/Synchro/out/TEST/sent.txt"));
  EXPECT_EQ(inst.List("data/Synchro/out/TEST/queue").size(), 1u);
  Kill(child);
  EXPECT_TRUE(synch::FolderLock(folder, 0).Held());
  // The owner died: the next pass numbers and sends it.
  site.Pass();
  EXPECT_EQ(inst.Read("data/Synchro/out/TEST/sent.txt"), "1");
  EXPECT_TRUE(e2e::Has(inst.Read("data/Synchro/out/TEST/s00001.txt"), "begin 0666 phase.cfg"));
  EXPECT_EQ(inst.List("data/Synchro/out/TEST/queue"), std::vector<std::string>{});
}

// A signed mail of `sender` as the POP3 collection hands it over: message `name` of TEST
// carrying an acknowledgement of `acked`, made at `time`.
std::string SignedMail(const Installation& inst, const std::string& name, const std::string& sender,
                       const std::string& acked, long time) {
  std::string body = "\r\nfiletype: e " + std::to_string(time) + " " + sender + " " + acked +
                     "\r\n\r\nbegin 0666 " + acked + "\r\n";
  InProcess req(inst);
  return "+OK\r\n" + synch::SynchMailHead(body, "TEST", std::atoi(name.c_str() + 1)) + body;
}

// A port in HOSTNAME stays out of a synchronisation mail's Message-ID, as out of addresses.
TEST(SyncTrust, MessageIdNamesTheHostWithoutItsPort) {
  Installation inst("HOSTNAME localhost:18300\n");
  InProcess req(inst);
  const std::string head = synch::SynchMailHead("\r\nbody\r\n", "TEST", 1);
  EXPECT_TRUE(e2e::Has(head, ".quorb@localhost>\n")) << head;
}

TEST(SyncTrust, OnlySignedFreshMailOfAPartnerIsTakenAndKnownBySenderAndNumber) {
  Site site;
  Installation& inst = site.inst;
  inst.Write("config/TEST_sync.key", "the-shared-secret \r\n");
  const long now = static_cast<long>(std::time(nullptr));
  std::string good = SignedMail(inst, "s00001", "siteb", "s00009.txt@localhost", now);
  std::string forged = good;
  forged.replace(forged.find("s00009"), 6, "s00008");
  std::string unsigned_mail = good;
  unsigned_mail.erase(unsigned_mail.find("X-Quorb-MAC"), 78);
  // A members file slipped into a genuinely signed mail, before its description or after
  // its end.
  const std::string members = "begin 0666 TEST_users.cfg\r\n#86)C\r\n`\r\nend\r\n";
  std::string before = good;
  before.insert(before.find("\r\nfiletype:"), "\r\nfiletype c 1 siteb \r\n" + members);
  struct Case {
    std::string name, project, text, error;
    mail::Keep keep = mail::Keep::kDelete;
  } cases[] = {
      {"s00001", "TEST", good, ""},
      {"s00001", "TEST", good, ""},  // the same again: nothing new
      {"s00002", "TEST", forged, "message s00002 refused: its MAC is wrong"},
      {"s00003", "TEST", unsigned_mail, "message s00003 refused: its MAC is missing"},
      {"s00007", "TEST", before, "message s00007 refused: its MAC is wrong"},
      {"s00008", "TEST", good + members, "message s00008 refused: its MAC is wrong"},
      {"s00004", "TEST", SignedMail(inst, "s00004", "siteb", "x", now - 40 * 86400),
       "older than the replay window"},
      {"s00005", "SOLO", good, "the project has no partner"},
      {"s00006", "NOPE", good, "project NOPE has no folder", mail::Keep::kLeave},
      // The same number from another sender is another message.
      {"s00001", "TEST", SignedMail(inst, "s00001", "sitec", "s00009.txt@sited", now), ""},
  };
  inst.Write("data/Synchro/in/SOLO/.keep", "");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name + " " + c.project);
    InProcess req(inst);
    mail::Keep keep = mail::Keep::kLeave;
    std::string page = CaptureStdout([&] {
      keep = synch::ReceiveMail({1, c.project, c.name, 0}, c.text);
    });
    EXPECT_EQ(keep, c.keep);
    EXPECT_TRUE(c.error.empty() ? !e2e::Has(page, "error") : e2e::Has(page, c.error)) << page;
  }
  EXPECT_EQ(inst.List("data/Synchro/in/TEST/siteb"), std::vector<std::string>{"s00001.txt"});
  EXPECT_EQ(inst.List("data/Synchro/in/TEST/sitec"), std::vector<std::string>{"s00001.txt"});
  // siteb acknowledges our s00009; sitec's acknowledgement is for sited's s00009.
  inst.Write("data/Synchro/out/TEST/s00009.txt", "x");
  inst.Write("config/quorb.cfg", inst.DefaultConfig("SYNCDELAY 0\n"));
  site.Pass();
  EXPECT_FALSE(inst.Exists("data/Synchro/out/TEST/s00009.txt"));
  inst.Write("data/Synchro/out/TEST/s00009.txt", "x");
  inst.Write("data/Synchro/in/TEST/sitec/s00002.txt",
             SignedMail(inst, "s00002", "sitec", "s00009.txt@sited", now));
  site.Pass();
  EXPECT_TRUE(inst.Exists("data/Synchro/out/TEST/s00009.txt"));
  // The errors are on the status page, in words.
  std::string page = inst.Get("CMD=setup&Edit=11").out;
  // The secret is set from the same page, readable by its owner only.
  inst.Post("CMD=setup&Edit=11&project=TEST&secret=another-secret-of-16");
  EXPECT_EQ(inst.Read("config/TEST_sync.key"), "another-secret-of-16\n");
  struct stat st;
  ASSERT_EQ(stat(inst.Path("config/TEST_sync.key").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  for (const char* words : {"its MAC is wrong", "its MAC is missing", "has no partner",
                            "has no folder for received messages", "partner@example.org",
                            "with their password hashes, are shared with its partners"})
    EXPECT_TRUE(e2e::Has(page, words)) << words << "\n" << page;
}

// The home page ends, whole, whatever holds the pass: a live process holding the incoming
// folder, a server that accepts and never speaks (each reply waited for 2 seconds, the
// dialogue 3). It collects at most once per SYNCDELAY.
TEST(SyncPass, CollectsAtMostOncePerDelayAndNothingHoldsThePage) {
  int port = 0;
  int listener = mail_test::Listen(&port);
  Installation inst("POP3 127.0.0.1:" + std::to_string(port) + "\nSYNCDELAY 600\n");
  inst.InstallLanguageFiles();
  auto whole = [](const e2e::CgiResult& r) {
    return r.exit_code == 0 && e2e::Has(r.out, "<! Upgrade >\n");
  };
  pid_t child = HoldLock(inst.Path("data/Synchro/in"));
  ASSERT_GT(child, 0);
  auto busy = inst.Get("");
  Kill(child);
  EXPECT_TRUE(whole(busy)) << busy.out << busy.err;
  EXPECT_TRUE(e2e::Has(busy.out, "<! synchronisation busy >")) << busy.out;
  auto first = inst.Get("");
  EXPECT_TRUE(whole(first)) << first.out << first.err;
  EXPECT_TRUE(e2e::Has(first.out, "<! popLogin>")) << first.out;
  EXPECT_TRUE(e2e::Has(first.err, "the POP3 server did not answer")) << first.err;
  // Within the delay the next home page does not even look.
  EXPECT_FALSE(e2e::Has(inst.Get("").out, "popLogin"));
  close(listener);
}

// What the status page says, in words, when the mailbox cannot be opened or the relay
// refuses a partner.
TEST(SyncStatus, SaysInWordsWhyMailIsNotCollectedOrNotDelivered) {
  mail_test::ScriptedPeer refusing(
      "+OK ready\r\n+OK\r\n-ERR [AUTH] Authentication failed.\r\n+OK bye\r\n");
  const int closed = test_ports::FreePort();
  const std::pair<std::string, std::string> pop3[] = {
      {refusing.server() + "\nPOP3USER u\nPOP3PASS wrong", "POP3 login refused: wrong password"},
      {"127.0.0.1:" + std::to_string(closed), "the POP3 server is not reachable"},
  };
  for (const auto& [config, words] : pop3) {
    Installation inst("POP3 " + config + "\nSYNCDELAY 0\n");
    inst.InstallLanguageFiles();
    inst.Get("");
    std::string page = inst.Get("CMD=setup&Edit=11").out;
    // The last pass, and an error.
    EXPECT_EQ(e2e::Missing(page, {": " + words, "<TD></TD><TD>" + words}), "") << page;
  }
  // The relay refuses the partner for good: the page names the message, the partner and
  // the relay's reply.
  mail_test::ScriptedPeer relay(mail_test::ScriptedPeer::Mode::kAnswer);
  Site site;
  site.inst.WriteConfig(site.inst.DefaultConfig("MAILSERV " + relay.server() + "\n"));
  site.inst.Write("config/project.cfg", "TEST:T:kolvar:tessin:nobody@example.org\n");
  site.inst.Post(e2e::kNewSheet);
  // No secret yet: the message waits here, and the page says why.
  std::string page = site.inst.Get("CMD=setup&Edit=11").out;
  EXPECT_TRUE(e2e::Has(page, "s00001.txt: not sent: waits for the shared secret")) << page;
  EXPECT_FALSE(e2e::Has(page, "NAME=resend"));
  EXPECT_EQ(site.inst.List("data/Mail"), std::vector<std::string>{});  // nor in the spool
  // The secret set, it leaves.
  site.inst.Post("CMD=setup&Edit=11&project=TEST&secret=a-secret-of-sixteen");
  relay.Received();
  page = site.inst.Get("CMD=setup&Edit=11").out;
  EXPECT_TRUE(e2e::Has(page, "s00001.txt: sent, not yet acknowledged by the partners (since "));
  EXPECT_TRUE(e2e::Has(page, "NAME=resend"));
  EXPECT_TRUE(
      e2e::Has(page,
               "<TR><TD>Not delivered</TD><TD>s00001: the relay refused nobody@example.org: "
               "RCPT TO nobody@example.org: 550 5.1.1 &lt;nobody&gt;: no such user<BR>"))
      << page;
  // Forgotten, it is gone for good.
  site.inst.Post("CMD=setup&Edit=11&project=TEST&message=s00001.txt&forget=Forget");
  EXPECT_FALSE(site.inst.Exists("data/Synchro/out/TEST/s00001.txt"));
}

}  // namespace
