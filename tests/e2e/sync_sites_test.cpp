// Two installations on one machine synchronised through real mail servers started here on
// loopback ports: aiosmtpd delivering into Maildirs, and Dovecot serving them over POP3.
// A sheet made on site A appears on B after B's home page; entries added on both sides
// merge; a lost message is asked for and arrives. The test fails when a server cannot start.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/ports.h"
#include "harness.h"

namespace {

namespace fs = std::filesystem;
using e2e::Installation;

// A child process for the life of the object.
class Child {
 public:
  Child(std::vector<std::string> args, std::vector<std::string> env, const fs::path& log) {
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool started() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
};

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The mail servers: one SMTP server delivering to ROOT/<user>, one POP3 server serving it.
class MailPeers {
 public:
  explicit MailPeers(const fs::path& root)
      : root_(root), smtp_(test_ports::FreePort()), pop3_(test_ports::FreePort()) {
    fs::create_directories(root / "mail");
    fs::create_directories(root / "run");
    // Dovecot's processes run under its own accounts when started as root.
    fs::permissions(root, fs::perms::all, fs::perm_options::add);
    fs::permissions(root / "mail", fs::perms::all);
    fs::permissions(root.parent_path(), fs::perms::others_exec, fs::perm_options::add);
    bool root_user = geteuid() == 0;
    const passwd* mail_user = root_user ? getpwnam("dovecot") : getpwuid(geteuid());
    const passwd* login_user = root_user ? getpwnam("dovenull") : mail_user;
    if (!mail_user || !login_user) return;
    std::string mail_name = mail_user->pw_name, login_name = login_user->pw_name;
    std::string uid = std::to_string(mail_user->pw_uid), gid = std::to_string(mail_user->pw_gid);
    std::ofstream(root / "dovecot.conf")
        << "base_dir = " << (root / "run").string()
        << "\nstate_dir = " << (root / "run" / "state").string()
        << "\nlog_path = " << (root / "dovecot.log").string()
        << "\nprotocols = pop3\nlisten = 127.0.0.1\nssl = no\ndisable_plaintext_auth = no\n"
        << "default_internal_user = " << mail_name << "\ndefault_login_user = " << login_name
        << "\nfirst_valid_uid = 1\nmail_location = maildir:" << (root / "mail").string()
        << "/%u\npassdb {\n  driver = static\n  args = password=secret-pop-pass\n}\n"
        << "userdb {\n  driver = static\n  args = uid=" << uid << " gid=" << gid
        << " home=" << (root / "mail").string() << "/%u\n}\n"
        << "service pop3-login {\n  chroot =\n  inet_listener pop3 {\n    address = 127.0.0.1\n"
        << "    port = " << pop3_ << "\n  }\n  inet_listener pop3s {\n    port = 0\n  }\n}\n"
        << "service anvil {\n  chroot =\n}\nservice imap-login {\n  chroot =\n}\n";
    fs::create_directories(root / "run" / "state");
    dovecot_ = std::make_unique<Child>(
        std::vector<std::string>{"/usr/sbin/dovecot", "-F", "-c", (root / "dovecot.conf").string()},
        std::vector<std::string>{"PATH=/usr/sbin:/usr/bin:/bin"}, root / "dovecot.out");
    std::string peers = std::string(QUORB_SOURCE_DIR) + "/tests/peers";
    smtpd_ = std::make_unique<Child>(
        std::vector<std::string>{"/usr/bin/python3", "-m", "aiosmtpd", "-n", "-l",
                                 "127.0.0.1:" + std::to_string(smtp_), "-c",
                                 "maildir_sink.Maildirs", (root / "mail").string()},
        std::vector<std::string>{"PYTHONPATH=" + peers, "PATH=/usr/bin:/bin"}, root / "smtpd.out");
  }
  // Whether both servers accept connections; the servers' own words otherwise.
  bool Ready(std::string* why) const {
    bool ok = dovecot_ && dovecot_->started() && smtpd_->started() &&
              test_ports::AcceptsWithin10s(smtp_) && test_ports::AcceptsWithin10s(pop3_);
    if (!ok)
      *why =
          Slurp(root_ / "dovecot.out") + Slurp(root_ / "dovecot.log") + Slurp(root_ / "smtpd.out");
    return ok;
  }
  std::string SiteConfig(const std::string& user) const {
    return "MAILSERV 127.0.0.1:" + std::to_string(smtp_) +
           "\nPOP3 127.0.0.1:" + std::to_string(pop3_) + "\nPOP3USER " + user +
           "\nPOP3PASS secret-pop-pass\n";
  }
  // The mail of `user`'s mailbox that carries message `number`; empty when none.
  fs::path FindMessage(const std::string& user, int number) const {
    char subject[64];
    std::snprintf(subject, sizeof subject, "Subject: Quorb-Synchro TEST s%05d\r\n", number);
    std::error_code ec;
    for (const char* sub : {"new", "cur"})
      for (const auto& e : fs::directory_iterator(root_ / "mail" / user / sub, ec))
        if (Slurp(e.path()).find(subject) != std::string::npos) return e.path();
    return {};
  }

 private:
  fs::path root_;
  int smtp_, pop3_;
  std::unique_ptr<Child> dovecot_, smtpd_;
};

void SetUpSite(Installation& site, const MailPeers& peers, const std::string& user,
               const std::string& partner) {
  site.WriteConfig(
      site.DefaultConfig(peers.SiteConfig(user) + "HOSTNAME " + user + "\nSYNCDELAY 0\n"));
  site.Write("config/TEST_sync.key", "secret-of-the-two-sites\n");
  e2e::WriteSampleProject(site);
  site.Write("config/project.cfg", "TEST:T:kolvar:tessin:" + partner + "@localhost\n");
  fs::create_directories(site.Path("data/Synchro/in/TEST"));
  fs::create_directories(site.Path("data/Synchro/out/TEST"));
}

// A message of site A: sent from out/TEST/, received by B into in/TEST/sitea/.
std::string MessagePath(const std::string& dir, int number, const std::string& extension) {
  char name[32];
  std::snprintf(name, sizeof name, "s%05d.", number);
  return "data/Synchro/" + dir + "/TEST/" + (dir == "in" ? "sitea/" : "") + name + extension;
}

int Sent(const Installation& site) {
  return std::atoi(site.Read("data/Synchro/out/TEST/sent.txt").c_str());
}

TEST(SyncSites, SheetsTravelMergeAndLostMessagesAreSentAgain) {
  Installation a, b;
  MailPeers peers(fs::path(a.root()) / "peers");
  std::string why;
  ASSERT_TRUE(peers.Ready(&why)) << "the mail servers did not start:\n" << why;
  SetUpSite(a, peers, "sitea", "siteb");
  SetUpSite(b, peers, "siteb", "sitea");

  // Made on A, it is on B once B's home page was shown, byte for byte; B acknowledges.
  a.Post(e2e::kNewSheet);
  ASSERT_TRUE(a.Exists("data/Synchro/out/TEST/s00001.txt"));
  auto home = b.Get("");
  EXPECT_EQ(home.out.find("secret-pop-pass"), std::string::npos);
  EXPECT_NE(home.out.find("<! synch :TsG.00001,1,sitea,>"), std::string::npos) << home.out;
  ASSERT_EQ(b.Read("data/TsG.00001"), a.Read("data/TsG.00001"));
  EXPECT_NE(b.Read("data/index").find("|A bug"), std::string::npos);
  EXPECT_TRUE(b.Exists(MessagePath("in", 1, "dat")));
  EXPECT_TRUE(peers.FindMessage("siteb", 1).empty());  // collected and deleted
  a.Get("");
  EXPECT_FALSE(a.Exists("data/Synchro/out/TEST/s00001.txt"));  // acknowledged

  // An analysis on each side: both sites end with both entries.
  a.Get("CMD=Analyse&Num=TsG.00001&User=kolvar&title=FromA&text=Seen+on+A");
  b.Get("CMD=Analyse&Num=TsG.00001&User=tessin&title=FromB&text=Seen+on+B");
  b.Get("");
  a.Get("");
  for (const Installation* site : {&a, &b}) {
    std::string sheet = site->Read("data/TsG.00001");
    EXPECT_NE(sheet.find("Seen on A"), std::string::npos) << sheet;
    EXPECT_NE(sheet.find("Seen on B"), std::string::npos) << sheet;
  }

  // A message from A that never reaches B: the next one makes B ask, A sends it again.
  a.Get("CMD=Analyse&Num=TsG.00001&User=kolvar&title=Lost&text=Lost+on+the+way");
  const int lost = Sent(a);
  fs::path mail = peers.FindMessage("siteb", lost);
  ASSERT_FALSE(mail.empty());
  fs::remove(mail);
  const std::string stored = a.Read(MessagePath("out", lost, "txt"));
  a.Get("CMD=Analyse&Num=TsG.00001&User=kolvar&title=Next&text=After+the+loss");
  b.Get("");  // applies the next message and asks for the lost one
  EXPECT_FALSE(b.Exists(MessagePath("in", lost, "dat")));
  a.Get("");  // answers the request under a new number
  const int again = Sent(a);
  EXPECT_GT(again, lost + 1);
  b.Get("");
  std::string arrived = b.Read(MessagePath("in", again, "dat"));
  EXPECT_NE(arrived.find(stored.substr(stored.find("filetype"))), std::string::npos) << arrived;
}

}  // namespace
