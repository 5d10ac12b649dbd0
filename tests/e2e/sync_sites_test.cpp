// Installations on one machine synchronised through real mail servers started here on
// loopback ports: Postfix delivering into Maildirs, and Dovecot serving them over POP3 (both
// need the superuser and the Debian packages). A sheet made on site A appears on B after B's
// home page; entries added on both sides merge; an attachment follows its sheet's move; a lost
// message is asked for and arrives; three sites end with the same sheets. The tests fail when
// a server cannot start.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/out.h"
#include "common/ports.h"
#include "harness.h"
#include "postfix_peer.h"

namespace {

namespace fs = std::filesystem;
using e2e::Installation;
using postfix_peer::Child;
using postfix_peer::ReadText;

// The mail servers: Postfix delivering each site's mail into a Maildir of its own, and Dovecot
// serving the Maildirs over POP3 under its own accounts.
class MailPeers {
 public:
  MailPeers(const fs::path& root, const std::vector<std::string>& users)
      : root_(root), pop3_(test_ports::FreePort()) {
    fs::create_directories(root / "run" / "state");
    fs::permissions(root, fs::perms::all, fs::perm_options::add);
    fs::permissions(root.parent_path(), fs::perms::others_exec, fs::perm_options::add);
    std::string boxes = "inline:{";
    for (const std::string& user : users) boxes += " " + user + "@corp.test=" + user + "/,";
    boxes.back() = '}';
    postfix_ = std::make_unique<postfix_peer::Postfix>(boxes);
    relay_ = geteuid() == 0 && postfix_->Start();
    const passwd* owner = getpwnam("postfix");  // the owner of the Maildirs it writes
    if (!relay_ || !owner) return;
    const std::string mail = postfix_->MailRoot().string();
    std::ofstream(root / "dovecot.conf")
        << "base_dir = " << (root / "run").string()
        << "\nstate_dir = " << (root / "run" / "state").string()
        << "\nlog_path = " << (root / "dovecot.log").string()
        << "\nprotocols = pop3\nlisten = 127.0.0.1\nssl = no\ndisable_plaintext_auth = no\n"
        << "default_internal_user = dovecot\ndefault_login_user = dovenull\n"
        << "first_valid_uid = 1\nmail_location = maildir:" << mail
        << "/%u\npassdb {\n  driver = static\n  args = password=secret-pop-pass\n}\n"
        << "userdb {\n  driver = static\n  args = uid=" << owner->pw_uid << " gid=" << owner->pw_gid
        << " home=" << mail << "/%u\n}\n"
        << "service pop3-login {\n  chroot =\n  inet_listener pop3 {\n    address = 127.0.0.1\n"
        << "    port = " << pop3_ << "\n  }\n  inet_listener pop3s {\n    port = 0\n  }\n}\n"
        << "service anvil {\n  chroot =\n}\nservice imap-login {\n  chroot =\n}\n";
    dovecot_ = std::make_unique<Child>(
        std::vector<std::string>{"/usr/sbin/dovecot", "-F", "-c", (root / "dovecot.conf").string()},
        root / "dovecot.out", std::vector<std::string>{"PATH=/usr/sbin:/usr/bin:/bin"});
  }
  // Whether both servers accept connections; the servers' own words otherwise.
  bool Ready(std::string* why) const {
    bool ok = relay_ && dovecot_ && dovecot_->started() && test_ports::AcceptsWithin10s(pop3_);
    if (!ok)
      *why = (geteuid() == 0 ? "" : "postfix start needs the superuser\n") +
             ReadText(root_ / "dovecot.out") + ReadText(root_ / "dovecot.log") + postfix_->Log();
    return ok;
  }
  std::string SiteConfig(const std::string& user) const {
    return "MAILSERV " + postfix_->Server() + "\nPOP3 127.0.0.1:" + std::to_string(pop3_) +
           "\nPOP3USER " + user + "\nPOP3PASS secret-pop-pass\nDOMAIN corp.test\n";
  }
  // Waits until Postfix has delivered what it took (it delivers after it answered).
  void Settle() const { postfix_->WaitIdle(); }
  // The mail of `user`'s mailbox that carries message `number`; empty when none.
  fs::path FindMessage(const std::string& user, int number) const {
    Settle();
    const std::string subject = "Subject: Quorb-Synchro TEST " + base::Sprintf("s%05d", number);
    std::error_code ec;
    for (const char* sub : {"new", "cur"})
      for (const auto& e : fs::directory_iterator(postfix_->MailRoot() / user / sub, ec)) {
        const std::string text = ReadText(e.path());
        if (e2e::Has(text, subject + "\r") || e2e::Has(text, subject + "\n")) return e.path();
      }
    return {};
  }

 private:
  fs::path root_;
  int pop3_;
  bool relay_ = false;
  std::unique_ptr<postfix_peer::Postfix> postfix_;
  std::unique_ptr<Child> dovecot_;
};

// Sites of project TEST, each the partner of all the others, and the servers between them.
struct Sites {
  explicit Sites(const std::vector<std::string>& names)
      : site(names.size()), peers(fs::path(site[0].root()) / "peers", names) {
    std::string why;
    ready = peers.Ready(&why);
    EXPECT_TRUE(ready) << "the mail servers did not start:\n" << why;
    for (size_t i = 0; ready && i < names.size(); ++i) {
      std::string partners;
      for (size_t j = 0; j < names.size(); ++j)
        if (j != i) partners += (partners.empty() ? "" : ",") + names[j] + "@corp.test";
      site[i].WriteConfig(site[i].DefaultConfig(peers.SiteConfig(names[i]) + "HOSTNAME " +
                                                names[i] + "\nSYNCDELAY 0\n"));
      site[i].Write("config/TEST_sync.key", "secret-of-the-partner-sites\n");
      e2e::WriteSampleProject(site[i]);
      site[i].WriteProjects("TEST:T:kolvar:tessin:" + partners + "\n");
      fs::create_directories(site[i].Path("data/Synchro/in/TEST"));
      fs::create_directories(site[i].Path("data/Synchro/out/TEST"));
    }
  }
  // A home page of site `i` once the relay delivered what was sent before.
  e2e::CgiResult Home(size_t i) {
    peers.Settle();
    return site[i].Get("");
  }
  std::vector<Installation> site;
  MailPeers peers;
  bool ready = false;
};

// A message of site A: sent from out/TEST/, received by B into in/TEST/sitea/.
std::string MessagePath(const std::string& dir, int number, const std::string& extension) {
  return "data/Synchro/" + dir + "/TEST/" + (dir == "in" ? "sitea/" : "") +
         base::Sprintf("s%05d", number) + "." + extension;
}

int Sent(const Installation& site) {
  return std::atoi(site.Read("data/Synchro/out/TEST/sent.txt").c_str());
}

TEST(SyncSites, SheetsTravelMergeAndLostMessagesAreSentAgain) {
  Sites sites({"sitea", "siteb"});
  ASSERT_TRUE(sites.ready);
  Installation &a = sites.site[0], &b = sites.site[1];

  // Made on A, it is on B once B's home page was shown, byte for byte; B acknowledges.
  a.Post(e2e::kNewSheet);
  ASSERT_TRUE(a.Exists("data/Synchro/out/TEST/s00001.txt"));
  auto home = sites.Home(1);
  EXPECT_FALSE(e2e::Has(home.out, "secret-pop-pass"));
  EXPECT_TRUE(e2e::Has(home.out, "<! synch :TsG.00001,1,sitea,>")) << home.out;
  ASSERT_EQ(b.Read("data/TsG.00001"), a.Read("data/TsG.00001"));
  EXPECT_TRUE(e2e::Has(b.Read("data/index"), "|A bug"));
  EXPECT_TRUE(b.Exists(MessagePath("in", 1, "dat")));
  EXPECT_TRUE(sites.peers.FindMessage("siteb", 1).empty());  // collected and deleted
  sites.Home(0);
  EXPECT_FALSE(a.Exists("data/Synchro/out/TEST/s00001.txt"));  // acknowledged

  // An analysis on each side: both sites end with both entries.
  a.Get("CMD=Analyse&Num=TsG.00001&User=kolvar&title=FromA&text=Seen+on+A");
  b.Get("CMD=Analyse&Num=TsG.00001&User=tessin&title=FromB&text=Seen+on+B");
  sites.Home(1);
  sites.Home(0);
  for (const Installation* site : {&a, &b})
    for (const char* text : {"Seen on A", "Seen on B"})
      EXPECT_TRUE(e2e::Has(site->Read("data/TsG.00001"), text)) << text;

  // A file attached on A arrives in the sheet's folder on B; when A moves the sheet to
  // another sub-project, B's copy moves with its folder.
  a.PostMultipart({{"CMD", "Attach"},
                   {"Num", "TsG.00001"},
                   {"title", "Log"},
                   {"User", "kolvar"},
                   {"Attach", "a log\n", "run.log"}});
  sites.Home(1);
  EXPECT_EQ(b.Read("data/TRACE_TsG.00001/Log_run.log"), "a log\n");
  a.Post(e2e::FormBody(e2e::With(e2e::HeaderForm("TsG.00001"), "group", "Core")));
  sites.Home(1);
  EXPECT_EQ(b.Read("data/TRACE_TsC.00001/Log_run.log"), "a log\n");
  EXPECT_FALSE(b.Exists("data/TRACE_TsG.00001"));
  ASSERT_EQ(b.Read("data/TsC.00001"), a.Read("data/TsC.00001"));

  // A message from A that never reaches B: the next one makes B ask, A sends it again.
  a.Get("CMD=Analyse&Num=TsC.00001&User=kolvar&title=Lost&text=Lost+on+the+way");
  const int lost = Sent(a);
  fs::path mail = sites.peers.FindMessage("siteb", lost);
  ASSERT_FALSE(mail.empty());
  fs::remove(mail);
  const std::string stored = a.Read(MessagePath("out", lost, "txt"));
  a.Get("CMD=Analyse&Num=TsC.00001&User=kolvar&title=Next&text=After+the+loss");
  sites.Home(1);  // applies the next message and asks for the lost one
  EXPECT_FALSE(b.Exists(MessagePath("in", lost, "dat")));
  sites.Home(0);  // answers the request under a new number
  const int again = Sent(a);
  EXPECT_GT(again, lost + 1);
  sites.Home(1);
  // Kept as signed: from the description line on, line ends as lines.
  std::string signed_part = stored.substr(stored.find("filetype"));
  std::erase(signed_part, '\r');
  EXPECT_EQ(b.Read(MessagePath("in", again, "dat")), signed_part);
}

// Three sites through the same servers: a sheet made on each; once the passes are quiet,
// all three hold the same three sheets.
TEST(SyncSites, ThreeSitesEndWithTheSameSheets) {
  Sites sites({"sitea", "siteb", "sitec"});
  ASSERT_TRUE(sites.ready);
  for (Installation& site : sites.site) site.Post(e2e::kNewSheet);
  // Quiet: a round of home pages in which no site numbered a message (acknowledgements
  // included).
  auto numbered = [&] {
    int n = 0;
    for (const Installation& site : sites.site) n += Sent(site);
    return n;
  };
  int before = -1;
  for (int round = 0; round < 10 && numbered() != before; ++round) {
    before = numbered();
    for (size_t i = 0; i < 3; ++i) sites.Home(i);
  }
  EXPECT_EQ(numbered(), before);
  auto sheets = [](const Installation& site) {
    std::map<std::string, std::string> held;
    for (const std::string& name : site.List("data"))
      if (name.starts_with("TsG.")) held[name] = site.Read("data/" + name);
    return held;
  };
  EXPECT_EQ(sheets(sites.site[0]).size(), 3u);
  for (const Installation& site : sites.site) EXPECT_EQ(sheets(site), sheets(sites.site[0]));
}

}  // namespace
