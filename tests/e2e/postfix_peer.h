// A Postfix instance of a test's own, for the tests against a real relay: its own
// configuration, queue and log in a private folder, listening on a free loopback port,
// delivering every mail for corp.test into Maildirs and nothing anywhere else. Starting it
// needs the superuser and the Debian package (scripts/install-deps.sh). Also the child
// process the tests start their other servers (Dovecot, cupsd) as.
#pragma once

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/ports.h"

namespace postfix_peer {

namespace fs = std::filesystem;

inline std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A server run in the foreground for the life of the object, its output in `log`; `env`
// empty: the test's own environment.
class Child {
 public:
  Child(std::vector<std::string> args, const fs::path& log, std::vector<std::string> env = {}) {
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    for (auto& e : env) envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(),
                     env.empty() ? environ : envp.data()) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Child() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  bool started() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
};

// A Postfix instance: started and stopped with `postfix -c <its folder>`.
class Postfix {
 public:
  // `mailboxes`: where mail for corp.test goes, a Postfix table of mailbox paths below
  // MailRoot() ("inline:{ a@corp.test=a/ }" gives each address a Maildir of its own); by
  // default every mail goes to the one Maildir "inbox".
  explicit Postfix(const std::string& mailboxes = "static:inbox/") : port_(test_ports::FreePort()) {
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
        << "virtual_mailbox_maps = " << mailboxes << "\nvirtual_uid_maps = static:" << owner->pw_uid
        << "\nvirtual_gid_maps = static:" << owner->pw_gid << "\nvirtual_minimum_uid = 1\n"
        << "maillog_file = " << r << "/postfix.log\nmaillog_file_prefixes = " << r << "\n"
        << "alias_maps =\nalias_database =\nsmtputf8_enable = no\nbiff = no\n"
        << "default_transport = error:no mail leaves the test\n"
        << "relay_transport = error:no mail leaves the test\n";
    std::ofstream(root_ / "etc/master.cf")
        << "127.0.0.1:" << port_ << " inet n - n - - smtpd\n"
        << "pickup unix n - n 60 1 pickup\ncleanup unix n - n - 0 cleanup\n"
           "qmgr unix n - n 300 1 qmgr\nrewrite unix - - n - - trivial-rewrite\n"
           "bounce unix - - n - 0 bounce\ndefer unix - - n - 0 bounce\n"
           "trace unix - - n - 0 bounce\nverify unix - - n - 1 verify\n"
           "flush unix n - n 1000? 0 flush\nproxymap unix - - n - - proxymap\n"
           "smtp unix - - n - - smtp\nrelay unix - - n - - smtp\nerror unix - - n - - error\n"
           "retry unix - - n - - error\ndiscard unix - - n - - discard\n"
           "virtual unix - n n - - virtual\nanvil unix - - n - 1 anvil\n"
           "scache unix - - n - 1 scache\npostlog unix-dgram n - n - 1 postlogd\n"
           "showq unix n - n - - showq\n";
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
  // The folder of the Maildirs, owned by the postfix account.
  fs::path MailRoot() const { return root_ / "mail"; }
  std::string Log() const { return ReadText(root_ / "postfix.log"); }
  // Waits (twenty seconds at most) until the mail it took has left its queue: delivered,
  // bounced or deferred.
  void WaitIdle() const {
    for (int i = 0; i < 200; ++i) {
      bool busy = false;
      for (const char* queue : {"maildrop", "incoming", "active"}) {
        std::error_code ec;
        busy =
            busy || fs::directory_iterator(root_ / "queue" / queue, ec) != fs::directory_iterator();
      }
      if (!busy) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
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

}  // namespace postfix_peer
