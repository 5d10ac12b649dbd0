// Notification mails through a real Postfix: the test runs an instance of its own (its own
// configuration, queue and log in a private folder, listening on a free loopback port,
// delivering every mail for corp.test into one Maildir) and checks the spool: with the relay
// down the sheets are created and their mails kept, and once it is up a later request
// delivers each of them once, with the headers mail readers expect; a recipient the relay
// refuses is reported and kept in the spool entry.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/ports.h"
#include "harness.h"
#include "mail/spool.h"

namespace {

namespace fs = std::filesystem;
using e2e::Has;
using e2e::Installation;

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A Postfix instance: started and stopped with `postfix -c <its folder>`.
class Postfix {
 public:
  Postfix() : port_(test_ports::FreePort()) {
    std::string pattern = (fs::temp_directory_path() / "quorb-postfix-XXXXXX").string();
    root_ = ::mkdtemp(pattern.data()) ? pattern : "";
    const passwd* owner = ::getpwnam("postfix");
    if (root_.empty() || !owner) return;
    fs::permissions(root_, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    for (const char* dir : {"etc", "queue", "data", "mail"}) fs::create_directory(root_ / dir);
    for (const char* dir : {"data", "mail"})
      ::chown((root_ / dir).c_str(), owner->pw_uid, owner->pw_gid);
    const std::string r = root_.string();
    std::ofstream(root_ / "etc/main.cf")
        << "compatibility_level = 3.6\nqueue_directory = " << r << "/queue\ndata_directory = " << r
        << "/data\ncommand_directory = /usr/sbin\ndaemon_directory = /usr/lib/postfix/sbin\n"
        << "meta_directory = /etc/postfix\nshlib_directory = no\nmail_owner = postfix\n"
        << "setgid_group = postdrop\nmyhostname = relay.corp.test\nmydestination =\n"
        << "inet_interfaces = 127.0.0.1\ninet_protocols = ipv4\nmynetworks = 127.0.0.0/8\n"
        << "smtpd_relay_restrictions = reject_unauth_destination\n"
        << "virtual_mailbox_domains = corp.test\nvirtual_mailbox_base = " << r << "/mail\n"
        << "virtual_mailbox_maps = static:inbox/\nvirtual_uid_maps = static:" << owner->pw_uid
        << "\nvirtual_gid_maps = static:" << owner->pw_gid << "\nvirtual_minimum_uid = 1\n"
        << "maillog_file = " << r << "/postfix.log\nmaillog_file_prefixes = " << r << "\n"
        << "alias_maps =\nalias_database =\nsmtputf8_enable = no\nbiff = no\n"
        << "default_transport = error:no mail leaves the test\n"
        << "relay_transport = error:no mail leaves the test\n";
    std::ofstream master(root_ / "etc/master.cf");
    master << "127.0.0.1:" << port_ << " inet n - n - - smtpd\n";
    for (const char* service : {"pickup unix n - n 60 1 pickup",
                                "cleanup unix n - n - 0 cleanup",
                                "qmgr unix n - n 300 1 qmgr",
                                "rewrite unix - - n - - trivial-rewrite",
                                "bounce unix - - n - 0 bounce",
                                "defer unix - - n - 0 bounce",
                                "trace unix - - n - 0 bounce",
                                "verify unix - - n - 1 verify",
                                "flush unix n - n 1000? 0 flush",
                                "proxymap unix - - n - - proxymap",
                                "smtp unix - - n - - smtp",
                                "relay unix - - n - - smtp",
                                "error unix - - n - - error",
                                "retry unix - - n - - error",
                                "discard unix - - n - - discard",
                                "virtual unix - n n - - virtual",
                                "anvil unix - - n - 1 anvil",
                                "scache unix - - n - 1 scache",
                                "postlog unix-dgram n - n - 1 postlogd",
                                "showq unix n - n - - showq"})
      master << service << "\n";
  }
  ~Postfix() {
    Stop();
    std::error_code ignored;
    if (!root_.empty()) fs::remove_all(root_, ignored);
  }
  Postfix(const Postfix&) = delete;
  Postfix& operator=(const Postfix&) = delete;

  bool Start() {
    if (root_.empty()) return false;
    std::string command = "postfix -c " + (root_ / "etc").string() + " start >/dev/null 2>&1";
    started_ = std::system(command.c_str()) == 0;
    return started_ && test_ports::AcceptsWithin10s(port_);
  }
  void Stop() {
    if (!started_) return;
    std::string command = "postfix -c " + (root_ / "etc").string() + " stop >/dev/null 2>&1";
    std::system(command.c_str());
    started_ = false;
  }
  std::string Server() const { return "127.0.0.1:" + std::to_string(port_); }
  std::string Log() const { return ReadText(root_ / "postfix.log"); }
  // The mails delivered so far.
  std::vector<std::string> Mails() const {
    std::vector<std::string> mails;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(root_ / "mail/inbox/new", ec))
      mails.push_back(ReadText(e.path()));
    return mails;
  }

 private:
  int port_;
  fs::path root_;
  bool started_ = false;
};

std::string HeaderValue(const std::string& mail, const std::string& name) {
  size_t at = mail.find("\n" + name + ": ");
  if (at == std::string::npos) return {};
  at += name.size() + 3;
  return mail.substr(at, mail.find('\n', at) - at);
}

TEST(PostfixRelay, MailsKeptWhileTheRelayIsDownArriveOnceWithTheirHeaders) {
  ASSERT_EQ(::geteuid(), 0u) << "postfix start needs the superuser";
  ASSERT_TRUE(::getpwnam("postfix")) << "Postfix is not installed (scripts/install-deps.sh)";
  Postfix relay;

  Installation inst("MAILSERV " + relay.Server() +
                    "\nHOSTNAME tracker.corp.test\nDOMAIN corp.test\nWWW quorb\n");
  e2e::WriteSampleProject(inst);
  inst.Write("config/TEST_users.cfg",
             "kolvar:kolvar@corp.test:secret: :YES:YES:YES:YES:YES:YES\n"
             "tessin:tessin@corp.test:pass: :YES: :YES:YES:YES:YES\n"
             "outsider:outsider@elsewhere.test:pw\n");
  inst.Write("config/sendmail.cfg", "new M V outsider\n");

  // The relay is down: each creation answers, its mail waits in the spool with the reason
  // (told to the server's log: the page shown is the one the creation leads to).
  for (int i = 0; i < 3; ++i) {
    e2e::CgiResult r = inst.Post(e2e::kNewSheet);
    EXPECT_TRUE(Has(r.out, "<H1>TsG.0000")) << r.out;
    EXPECT_TRUE(Has(r.err, "quorb: mail ")) << r.err;
  }
  {
    e2e::InProcess req(inst);
    std::vector<mail::SpoolEntry> spool = mail::ListSpool();
    ASSERT_EQ(spool.size(), 3u);
    for (const mail::SpoolEntry& e : spool) {
      EXPECT_FALSE(e.refused);
      EXPECT_GE(e.attempts, 1);
      EXPECT_EQ(e.recipients, "outsider@elsewhere.test,tessin@corp.test");
      EXPECT_EQ(e.last_error, "cannot reach the mail server " + relay.Server());
    }
  }

  // The relay is back; a minute after the last attempt any request delivers the spool.
  ASSERT_TRUE(relay.Start()) << relay.Log();
  const std::string stamp = inst.Path("data/Mail/pending");
  inst.Get("CMD=help");  // within the minute: nothing is tried
  EXPECT_TRUE(relay.Mails().empty());
  utimbuf old{std::time(nullptr) - 120, std::time(nullptr) - 120};
  ASSERT_EQ(::utime(stamp.c_str(), &old), 0);
  e2e::CgiResult home = inst.Get("");
  EXPECT_TRUE(Has(home.err, "RCPT TO outsider@elsewhere.test: 554 5.7.1")) << home.err;

  std::vector<std::string> mails;
  for (int i = 0; i < 200 && mails.size() < 3; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    mails = relay.Mails();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  mails = relay.Mails();
  ASSERT_EQ(mails.size(), 3u) << relay.Log();
  std::set<std::string> subjects, ids;
  for (const std::string& mail : mails) {
    subjects.insert(HeaderValue(mail, "Subject"));
    ids.insert(HeaderValue(mail, "Message-ID"));
    EXPECT_EQ(HeaderValue(mail, "From"), "\"Bug Manager\" <quorb@tracker.corp.test>");
    EXPECT_TRUE(Has(mail, "\nTo: outsider@elsewhere.test,\n tessin@corp.test\n")) << mail;
    EXPECT_FALSE(HeaderValue(mail, "Date").empty());
    EXPECT_EQ(HeaderValue(mail, "MIME-Version"), "1.0");
    EXPECT_EQ(HeaderValue(mail, "Content-Type"), "text/html; charset=ISO-8859-1");
    EXPECT_TRUE(Has(mail, "\n\n<HTML>\n")) << mail;
  }
  EXPECT_EQ(subjects,
            (std::set<std::string>{"Bug TsG.00001 New by kolvar", "Bug TsG.00002 New by kolvar",
                                   "Bug TsG.00003 New by kolvar"}));
  EXPECT_EQ(ids.size(), 3u);

  // Nothing is left to try: the refused recipient stays on record, the retry stamp is gone.
  e2e::InProcess req(inst);
  std::vector<mail::SpoolEntry> spool = mail::ListSpool();
  ASSERT_EQ(spool.size(), 3u);
  for (const mail::SpoolEntry& e : spool) {
    EXPECT_TRUE(e.refused);
    EXPECT_EQ(e.recipients, "outsider@elsewhere.test");
    EXPECT_TRUE(e.last_error.starts_with("RCPT TO outsider@elsewhere.test: 554 5.7.1"))
        << e.last_error;
  }
  EXPECT_FALSE(fs::exists(stamp));
}

}  // namespace
