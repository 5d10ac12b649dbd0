// Installations on one machine synchronised through real mail servers started here on
// loopback ports: Postfix (aiosmtpd where Postfix cannot be started) delivering into
// Maildirs, and Dovecot serving them over POP3. A sheet made on site A appears on B after
// B's home page; entries added on both sides merge; an attachment follows its sheet's move;
// a lost message is asked for and arrives; three sites end with the same sheets. The tests
// fail when a server cannot start.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
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

// The mail servers: a relay delivering each site's mail into a Maildir of its own, and Dovecot
// serving the Maildirs over POP3. The relay is Postfix where the test can start it (as the
// superuser, with the package installed), else aiosmtpd.
class MailPeers {
 public:
  MailPeers(const fs::path& root, const std::vector<std::string>& users)
      : root_(root), pop3_(test_ports::FreePort()) {
    fs::create_directories(root / "run" / "state");
    // Dovecot's processes run under its own accounts when started as root.
    fs::permissions(root, fs::perms::all, fs::perm_options::add);
    fs::permissions(root.parent_path(), fs::perms::others_exec, fs::perm_options::add);
    const bool root_user = geteuid() == 0;
    const passwd* mail_user = nullptr;
    if (root_user && getpwnam("postfix")) {
      std::string boxes = "inline:{";
      for (const std::string& user : users) boxes += " " + user + "@corp.test=" + user + "/,";
      boxes.back() = '}';
      postfix_ = std::make_unique<postfix_peer::Postfix>(boxes);
      relay_ = postfix_->Start();
      server_ = postfix_->Server();
      mail_ = postfix_->MailRoot();
      domain_ = "corp.test";
      mail_user = getpwnam("postfix");  // the owner of the Maildirs it writes
    } else {
      const int smtp = test_ports::FreePort();
      server_ = "127.0.0.1:" + std::to_string(smtp);
      mail_ = root / "mail";
      fs::create_directories(mail_);
      fs::permissions(mail_, fs::perms::all);
      std::string peers = std::string(QUORB_SOURCE_DIR) + "/tests/peers";
      smtpd_ = std::make_unique<Child>(
          std::vector<std::string>{"/usr/bin/python3", "-m", "aiosmtpd", "-n", "-l", server_, "-c",
                                   "maildir_sink.Maildirs", mail_.string()},
          root / "smtpd.out",
          std::vector<std::string>{"PYTHONPATH=" + peers, "PATH=/usr/bin:/bin"});
      relay_ = smtpd_->started() && test_ports::AcceptsWithin10s(smtp);
      mail_user = root_user ? getpwnam("dovecot") : getpwuid(geteuid());
    }
    if (!mail_user) return;
    // Taken before the next look-up overwrites the entry.
    std::string uid = std::to_string(mail_user->pw_uid), gid = std::to_string(mail_user->pw_gid);
    std::string mail_name = root_user ? "dovecot" : mail_user->pw_name;
    const passwd* login_user = root_user ? getpwnam("dovenull") : getpwuid(geteuid());
    if (!login_user) return;
    std::string login_name = login_user->pw_name;
    std::ofstream(root / "dovecot.conf")
        << "base_dir = " << (root / "run").string()
        << "\nstate_dir = " << (root / "run" / "state").string()
        << "\nlog_path = " << (root / "dovecot.log").string()
        << "\nprotocols = pop3\nlisten = 127.0.0.1\nssl = no\ndisable_plaintext_auth = no\n"
        << "default_internal_user = " << mail_name << "\ndefault_login_user = " << login_name
        << "\nfirst_valid_uid = 1\nmail_location = maildir:" << mail_.string()
        << "/%u\npassdb {\n  driver = static\n  args = password=secret-pop-pass\n}\n"
        << "userdb {\n  driver = static\n  args = uid=" << uid << " gid=" << gid
        << " home=" << mail_.string() << "/%u\n}\n"
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
      *why = ReadText(root_ / "dovecot.out") + ReadText(root_ / "dovecot.log") +
             ReadText(root_ / "smtpd.out") + (postfix_ ? postfix_->Log() : std::string());
    return ok;
  }
  std::string Address(const std::string& user) const { return user + "@" + domain_; }
  std::string SiteConfig(const std::string& user) const {
    return "MAILSERV " + server_ + "\nPOP3 127.0.0.1:" + std::to_string(pop3_) + "\nPOP3USER " +
           user + "\nPOP3PASS secret-pop-pass\nDOMAIN " + domain_ + "\n";
  }
  // Waits until the relay has delivered what it took (Postfix delivers after it answered).
  void Settle() const {
    if (postfix_) postfix_->WaitIdle();
  }
  // The mail of `user`'s mailbox that carries message `number`; empty when none.
  fs::path FindMessage(const std::string& user, int number) const {
    Settle();
    const std::string subject = "Subject: Quorb-Synchro TEST " + base::Sprintf("s%05d", number);
    std::error_code ec;
    for (const char* sub : {"new", "cur"})
      for (const auto& e : fs::directory_iterator(mail_ / user / sub, ec)) {
        const std::string text = ReadText(e.path());
        if (e2e::Has(text, subject + "\r") || e2e::Has(text, subject + "\n")) return e.path();
      }
    return {};
  }

 private:
  fs::path root_, mail_;
  int pop3_;
  bool relay_ = false;
  std::string server_, domain_ = "localhost";
  std::unique_ptr<postfix_peer::Postfix> postfix_;
  std::unique_ptr<Child> dovecot_, smtpd_;
};

void SetUpSite(Installation& site, const MailPeers& peers, const std::string& user,
               const std::vector<std::string>& partners) {
  site.WriteConfig(
      site.DefaultConfig(peers.SiteConfig(user) + "HOSTNAME " + user + "\nSYNCDELAY 0\n"));
  site.Write("config/TEST_sync.key", "secret-of-the-partner-sites\n");
  e2e::WriteSampleProject(site);
  std::string addresses;
  for (const std::string& partner : partners)
    addresses += (addresses.empty() ? "" : ",") + peers.Address(partner);
  site.Write("config/project.cfg", "TEST:T:kolvar:tessin:" + addresses + "\n");
  fs::create_directories(site.Path("data/Synchro/in/TEST"));
  fs::create_directories(site.Path("data/Synchro/out/TEST"));
}

// A home page of the site once the relay delivered what was sent before.
e2e::CgiResult Home(const MailPeers& peers, const Installation& site) {
  peers.Settle();
  return site.Get("");
}

// A message of site A: sent from out/TEST/, received by B into in/TEST/sitea/.
std::string MessagePath(const std::string& dir, int number, const std::string& extension) {
  return "data/Synchro/" + dir + "/TEST/" + (dir == "in" ? "sitea/" : "") +
         base::Sprintf("s%05d", number) + "." + extension;
}

int Sent(const Installation& site) {
  return std::atoi(site.Read("data/Synchro/out/TEST/sent.txt").c_str());
}

TEST(SyncSites, SheetsTravelMergeAndLostMessagesAreSentAgain) {
  Installation a, b;
  MailPeers peers(fs::path(a.root()) / "peers", {"sitea", "siteb"});
  std::string why;
  ASSERT_TRUE(peers.Ready(&why)) << "the mail servers did not start:\n" << why;
  SetUpSite(a, peers, "sitea", {"siteb"});
  SetUpSite(b, peers, "siteb", {"sitea"});

  // Made on A, it is on B once B's home page was shown, byte for byte; B acknowledges.
  a.Post(e2e::kNewSheet);
  ASSERT_TRUE(a.Exists("data/Synchro/out/TEST/s00001.txt"));
  auto home = Home(peers, b);
  EXPECT_FALSE(e2e::Has(home.out, "secret-pop-pass"));
  EXPECT_TRUE(e2e::Has(home.out, "<! synch :TsG.00001,1,sitea,>")) << home.out;
  ASSERT_EQ(b.Read("data/TsG.00001"), a.Read("data/TsG.00001"));
  EXPECT_TRUE(e2e::Has(b.Read("data/index"), "|A bug"));
  EXPECT_TRUE(b.Exists(MessagePath("in", 1, "dat")));
  EXPECT_TRUE(peers.FindMessage("siteb", 1).empty());  // collected and deleted
  Home(peers, a);
  EXPECT_FALSE(a.Exists("data/Synchro/out/TEST/s00001.txt"));  // acknowledged

  // An analysis on each side: both sites end with both entries.
  a.Get("CMD=Analyse&Num=TsG.00001&User=kolvar&title=FromA&text=Seen+on+A");
  b.Get("CMD=Analyse&Num=TsG.00001&User=tessin&title=FromB&text=Seen+on+B");
  Home(peers, b);
  Home(peers, a);
  for (const Installation* site : {&a, &b}) {
    std::string sheet = site->Read("data/TsG.00001");
    EXPECT_TRUE(e2e::Has(sheet, "Seen on A")) << sheet;
    EXPECT_TRUE(e2e::Has(sheet, "Seen on B")) << sheet;
  }

  // A file attached on A arrives in the sheet's folder on B; when A moves the sheet to
  // another sub-project, B's copy moves with its folder.
  a.PostMultipart({{"CMD", "Attach"},
                   {"Num", "TsG.00001"},
                   {"title", "Log"},
                   {"User", "kolvar"},
                   {"Attach", "a log\n", "run.log"}});
  Home(peers, b);
  EXPECT_EQ(b.Read("data/TRACE_TsG.00001/Log_run.log"), "a log\n");
  a.Post(
      "CMD=Change_Header&Num=TsG.00001&User=kolvar&title=Moved&project=TEST&group=Core"
      "&prog=prog1&sev=2&impact=b&phase=b&version=1.0&submitter=kolvar");
  Home(peers, b);
  EXPECT_EQ(b.Read("data/TRACE_TsC.00001/Log_run.log"), "a log\n");
  EXPECT_FALSE(b.Exists("data/TRACE_TsG.00001"));
  ASSERT_EQ(b.Read("data/TsC.00001"), a.Read("data/TsC.00001"));

  // A message from A that never reaches B: the next one makes B ask, A sends it again.
  a.Get("CMD=Analyse&Num=TsC.00001&User=kolvar&title=Lost&text=Lost+on+the+way");
  const int lost = Sent(a);
  fs::path mail = peers.FindMessage("siteb", lost);
  ASSERT_FALSE(mail.empty());
  fs::remove(mail);
  const std::string stored = a.Read(MessagePath("out", lost, "txt"));
  a.Get("CMD=Analyse&Num=TsC.00001&User=kolvar&title=Next&text=After+the+loss");
  Home(peers, b);  // applies the next message and asks for the lost one
  EXPECT_FALSE(b.Exists(MessagePath("in", lost, "dat")));
  Home(peers, a);  // answers the request under a new number
  const int again = Sent(a);
  EXPECT_GT(again, lost + 1);
  Home(peers, b);
  std::string arrived = b.Read(MessagePath("in", again, "dat"));
  EXPECT_TRUE(e2e::Has(arrived, stored.substr(stored.find("filetype")))) << arrived;
}

// Three sites through the same servers: a sheet made on each; once the passes are quiet,
// all three hold the same three sheets.
TEST(SyncSites, ThreeSitesEndWithTheSameSheets) {
  const std::vector<std::string> names = {"sitea", "siteb", "sitec"};
  Installation sites[3];
  MailPeers peers(fs::path(sites[0].root()) / "peers", names);
  std::string why;
  ASSERT_TRUE(peers.Ready(&why)) << "the mail servers did not start:\n" << why;
  for (size_t i = 0; i < 3; ++i) {
    std::vector<std::string> partners;
    for (size_t j = 0; j < 3; ++j)
      if (j != i) partners.push_back(names[j]);
    SetUpSite(sites[i], peers, names[i], partners);
    sites[i].Post(std::string(e2e::kNewSheet) + "+on+" + names[i]);
  }
  // Quiet: a round of home pages in which no site numbered a message (acknowledgements
  // included).
  auto numbered = [&] {
    int n = 0;
    for (const Installation& site : sites) n += Sent(site);
    return n;
  };
  int before = -1;
  for (int round = 0; round < 10 && numbered() != before; ++round) {
    before = numbered();
    for (const Installation& site : sites) Home(peers, site);
  }
  EXPECT_EQ(numbered(), before);
  auto sheets = [](const Installation& site) {
    std::map<std::string, std::string> held;
    for (const std::string& name : site.List("data"))
      if (name.starts_with("TsG.")) held[name] = site.Read("data/" + name);
    return held;
  };
  EXPECT_EQ(sheets(sites[0]).size(), 3u);
  for (const Installation& site : sites) EXPECT_EQ(sheets(site), sheets(sites[0]));
}

}  // namespace
