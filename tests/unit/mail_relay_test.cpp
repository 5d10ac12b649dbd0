// A notification delivered to a real SMTP server (aiosmtpd, started on a free loopback port):
// the envelope, the subject and the HTML body arrive as sent.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "base/request_state.h"
#include "common/ports.h"
#include "sheets/notify.h"
#include "smtp_peer.h"
#include "store/sheet.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

bool CanRunAiosmtpd() {
  return std::system("/usr/bin/python3 -c 'import aiosmtpd' >/dev/null 2>&1") == 0;
}

// aiosmtpd with the saving handler of tests/peers, for the life of the object.
class RealRelay {
 public:
  explicit RealRelay(const fs::path& folder) {
    close(mail_test::Listen(&port_));  // a port nobody uses now
    fs::create_directories(folder);
    std::string listen = "127.0.0.1:" + std::to_string(port_);
    std::string peers = std::string(QUORB_SOURCE_DIR) + "/tests/peers";
    std::vector<std::string> args = {
        "/usr/bin/python3", "-m",           "aiosmtpd", "-n", "-l", listen, "-c",
        "smtp_sink.Sink",   folder.string()};
    std::vector<std::string> env = {"PYTHONPATH=" + peers, "PATH=/usr/bin:/bin"};
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
  }
  ~RealRelay() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  std::string server() const { return "127.0.0.1:" + std::to_string(port_); }
  // Waits until the server accepts connections.
  bool Ready() const { return pid_ > 0 && test_ports::AcceptsWithin10s(port_); }

 private:
  int port_ = 0;
  pid_t pid_ = -1;
};

std::string ReadWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(RealRelay, NotificationArrivesWithEnvelopeSubjectAndBody) {
  // The relay is part of the test: without it the test fails (scripts/install-deps.sh).
  ASSERT_TRUE(CanRunAiosmtpd()) << "python3 cannot import aiosmtpd";
  fs::path root = fs::temp_directory_path() / ("quorb-relay-" + std::to_string(getpid()));
  fs::create_directories(root / "config");
  fs::create_directories(root / "data" / "tmp");
  RealRelay relay(root / "inbox");
  ASSERT_TRUE(relay.Ready()) << "the SMTP server did not start on " << relay.server();

  auto write = [&](const std::string& rel, const std::string& text) {
    std::ofstream(root / rel, std::ios::binary) << text;
  };
  write("config/quorb.cfg", "DATADIR " + (root / "data").string() + "/\nCONFIGDIR " +
                                (root / "config").string() +
                                "/\nLANGUAGE EN\nWWW quorb\nDOMAIN corp.test\n"
                                "HOSTNAME tracker.corp.test\nMAILSERV " +
                                relay.server() + "\n");
  write("config/langue.EN", "1,EN\n145,Assignment\n200,New\n");
  write("config/project.cfg", "TEST:T:kolvar:verif\n");
  write("config/TEST_users.cfg",
        "kolvar:kolvar@corp.test:pw\nduval:duval@corp.test:pw\nsub:sub@corp.test:pw\n");
  write("config/sendmail.cfg", "Assign a s M\n");
  store::FactSheet sheet;
  sheet.project = "TEST";
  sheet.submitter = "sub";
  sheet.resp = "duval";
  sheet.title = "Crash";
  write("data/TS.00007", store::FormatSheet(sheet));
  setenv("PWD", root.c_str(), 1);
  base::ResetRequestState();

  // A body with lines that would end the data early or pass for commands.
  auto writer = [](base::Stream out, const store::FactSheet& s) {
    base::Printf(out, "<B>%s</B>\n.\n.quit\nRSET\n</TABLE><P>\n", s.title);
  };
  std::fflush(stdout);
  testing::internal::CaptureStdout();
  sheets::SendNotification("TS.00007", 5, "kolvar", writer);
  std::fflush(stdout);
  std::string page = testing::internal::GetCapturedStdout();

  fs::path mail = root / "inbox" / "mail1";
  for (int i = 0; i < 50 && !fs::exists(mail); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(ReadWhole(mail),
            "MAIL FROM: quorb@corp.test\n"
            "RCPT TO: sub@corp.test\n"
            "RCPT TO: duval@corp.test\n"
            "\n"
            "Content-Type: text/html; charset=us-ascii\r\n"
            "Subject: Bug TS.00007 Assignment by kolvar\r\n"
            "From: \"Bug Manager\" <quorb@tracker.corp.test>\r\n"
            " \r\n"
            "<HTML>\r\n"
            "<B>Crash</B>\r\n.\r\n.quit\r\nRSET\r\n</TABLE><P>\r\n\r\n")
      << page;
  // One message only: nothing after the lone "." was taken for a command.
  EXPECT_FALSE(fs::exists(root / "inbox" / "mail2"));
  EXPECT_NE(page.find("<! read : 35 250 [250 Message accepted for deliv]>\n"), std::string::npos)
      << page;
  fs::remove_all(root);
  base::ResetRequestState();
}

}  // namespace
