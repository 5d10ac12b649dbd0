// Notification mails: the action table, the recipients that "sendmail.cfg" names, and the
// message that reaches a scripted relay and a real one.
#include "sheets/notify.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "base/request_state.h"
#include "common/ports.h"
#include "smtp_peer.h"
#include "store/sheet.h"
#include "unit_support.h"

namespace {

namespace fs = std::filesystem;

bool CanRunAiosmtpd() {
  return std::system("/usr/bin/python3 -c 'import aiosmtpd' >/dev/null 2>&1") == 0;
}

// aiosmtpd with the saving handler of tests/peers, for the life of the object.
class Aiosmtpd {
 public:
  explicit Aiosmtpd(const fs::path& folder) {
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
  ~Aiosmtpd() {
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

// The dialogue comments the tests read are written with DEBUG on.
const std::string kSite = "WWW \nDOMAIN corp.test\nHOSTNAME tracker.corp.test\nDEBUG YES\n";

class NotifyTest : public unit_test::Installation {
 protected:
  void SetUp() override {
    Installation::SetUp();
    MainConfig(kSite);
    Write("config/langue.EN", "1,EN\n145,Assignment\n200,New\n2024,Entry edit\n");
    Write("config/project.cfg", "TEST:T:kolvar,tessin:verif\nOTHER:O:boss:\n");
    Write("config/TEST_users.cfg",
          "kolvar:kolvar@corp.test:pw:YES\n"
          "tessin:tessin@corp.test\r\n"
          "duval:duval@corp.test:pw\n"
          "verif:verif@corp.test:pw\n"
          "x:x@corp.test\n"
          "mute: :pw\n"
          "sub:sub@corp.test:pw\n");
    sheet_.project = "TEST";
    sheet_.submitter = "sub";
    sheet_.resp = "duval";
    sheet_.verifier = "verif";
  }
  // The recipients and the comments written while collecting them.
  std::pair<std::string, std::string> Collect(int code, std::optional<std::string_view> user) {
    std::string to;
    std::string page =
        unit_test::Captured([&] { to = sheets::CollectRecipients(sheet_, code, user); });
    return {to, page};
  }
  // What sending the notification for `name` wrote into the page.
  std::string Send(const std::string& name, int code, std::optional<std::string_view> user,
                   const sheets::SheetWriter& writer) {
    return unit_test::Captured([&] { sheets::SendNotification(name, code, user, writer); });
  }

  store::FactSheet sheet_;
};

// The names and labels in use are checked through the mails below; here the table's ends.
TEST(ActionTable, LastCodeAndCodesOutsideTheTable) {
  EXPECT_EQ(sheets::ActionName(17), "Attach");
  EXPECT_EQ(sheets::ActionName(18), "");
  EXPECT_EQ(sheets::ActionLabel(17), 143);
  EXPECT_EQ(sheets::ActionLabel(18), 200);
  EXPECT_EQ(sheets::ActionLabel(-1), 200);
}

TEST_F(NotifyTest, MessageFileIsNamedAfterTheProcess) {
  EXPECT_EQ(sheets::MessageFilePath(1234), root_ + "/data//tmp/bugmail.1234l");
}

TEST_F(NotifyTest, NoSendmailFileMailsNobody) {
  EXPECT_EQ(Collect(0, "duval"), std::make_pair(std::string(), std::string()));
}

TEST_F(NotifyTest, RoleLettersAndTheActingUser) {
  // The responsible person acts: only the project's managers, newest first.
  Write("config/sendmail.cfg", "# who gets what\nAssign a M\nnew s\n");
  auto [to, page] = Collect(5, "duval");
  EXPECT_EQ(to, "tessin@corp.test,kolvar@corp.test");
  EXPECT_EQ(page,
            "<! Mail :duval:duval:0, >\n"
            "<! -TEST-TEST->\n<! -T-\n-kolvar,tessin->\n"
            "<! Mail :kolvar:duval:1, tessin>\n"
            "<! Mail :tessin:duval:1, >\n");
  // Each role letter, and a one-character word that is none: a login.
  Write("config/sendmail.cfg", "Observed s\nObserved v V\nObserved x c q\n");
  sheet_.corrector = "tessin";
  EXPECT_EQ(Collect(2, std::nullopt).first,
            "tessin@corp.test,x@corp.test,verif@corp.test,sub@corp.test");
}

TEST_F(NotifyTest, EveryLineOfTheKeyCountsAndEachLoginOnce) {
  Write("config/sendmail.cfg",
        "Edit s kolvar\nnew kolvar\nEdit sub,duval\tkolvar  mute ghost\nEditor x\n");
  auto [to, page] = Collect(16, "duval");
  // ghost has no line and mute an empty address: neither adds an empty recipient.
  EXPECT_EQ(to, "kolvar@corp.test,sub@corp.test");
  EXPECT_EQ(page,
            "<! Mail :sub:duval:1, >\n"
            "<! Mail :kolvar:duval:1, >\n"
            "<! Mail :sub:duval:0, duval>\n"
            "<! Mail :duval:duval:0, >\n"
            "<! Mail :kolvar:duval:0, >\n"
            "<! Mail :mute:duval:1, >\n"
            "<! Mail :ghost:duval:1, >\n");
}

TEST_F(NotifyTest, LineBreaksNeverReachAnAddress) {
  // CR LF line ends in both files, and a login field holding a carriage return.
  Write("config/sendmail.cfg", "Open tessin\r\nOpen a\r\n");
  sheet_.resp = "kol\rvar";
  EXPECT_EQ(Collect(6, std::nullopt).first, "kolvar@corp.test,tessin@corp.test");
}

TEST_F(NotifyTest, LongFieldsAreCut) {
  // A login is at most 19 characters, a word 51.
  Write("config/TEST_users.cfg", "abcdefghijklmnopqrs:long@corp.test\n");
  Write("config/sendmail.cfg", "new abcdefghijklmnopqrstuvwxyz\n");
  EXPECT_EQ(Collect(0, std::nullopt).first, "long@corp.test");
}

TEST_F(NotifyTest, MailCarriesTheSheetToEachRecipient) {
  mail_test::ScriptedPeer peer(mail_test::ScriptedPeer::Mode::kAnswer);
  MainConfig(kSite + "MAILSERV " + peer.server() + "\n");
  Write("config/sendmail.cfg", "Edit s a\n");
  store::FactSheet sheet = sheet_;
  sheet.number = 42;
  sheet.title = "Crash";
  Write("data/TS10.00042", store::FormatSheet(sheet));
  std::string written_for;
  auto writer = [&](base::Stream out, const store::FactSheet& s) {
    written_for = s.title;
    base::Write(out, ".hidden\n<P>\n");
  };
  std::string page = Send("TS10.00042", 16, "kolvar", writer);
  std::string path = sheets::MessageFilePath(getpid());
  EXPECT_EQ(written_for, "Crash");
  EXPECT_FALSE(fs::exists(path));
  EXPECT_NE(page.find("<! mail duval@corp.test,sub@corp.test - " + path +
                      " >\n<! sending through " + peer.server() + " >\n<! sock : "),
            std::string::npos)
      << page;
  std::string got = peer.Received();
  EXPECT_NE(got.find("\r\nMAIL FROM: www@corp.test\r\n"
                     "RCPT TO: <duval@corp.test>\r\nRCPT TO: <sub@corp.test>\r\nDATA\r\n"
                     "Content-Type: text/html; charset=us-ascii\r\n"
                     "Subject: Bug TS10.00042 Entry edit by kolvar\r\n"
                     "From: \"Bug Manager\" <www@tracker.corp.test>\r\n"
                     " \r\n<HTML>\r\n..hidden\r\n<P>\r\n\r\n.\r\nquit\r\n"),
            std::string::npos)
      << got;
}

TEST_F(NotifyTest, MessageHeadPerActionAndAuthor) {
  Write("data/T.00001", store::FormatSheet(sheet_));
  std::string path = sheets::MessageFilePath(getpid());
  std::string head;
  // The sheet writer is called with the head already in the file.
  auto writer = [&](base::Stream out, const store::FactSheet&) {
    std::fflush(out);
    head = unit_test::ReadFile(path);
  };
  struct Case {
    int code;
    std::optional<std::string_view> user;
    std::string subject;
  } cases[] = {{0, std::nullopt, "Subject: Bug T.00001 New\n"},
               {16, "duval", "Subject: Bug T.00001 Entry edit by duval\n"},
               {99, "duval", "Subject: Bug T.00001 New by duval\n"},
               // A line break in the author cannot add a header line.
               {5, "du\r\nBcc: x", "Subject: Bug T.00001 Assignment by duBcc: x\n"}};
  for (const Case& c : cases) {
    Send("T.00001", c.code, c.user, writer);
    EXPECT_EQ(head, "Content-Type: text/html; charset=us-ascii\n" + c.subject +
                        "From: \"Bug Manager\" <www@tracker.corp.test>\n \n<HTML>\n");
  }
}

TEST_F(NotifyTest, UnreadableSheetOrNobodyToMail) {
  std::string page = Send("T.00404", 0, std::nullopt, nullptr);
  Write("data/T.00001", store::FormatSheet(sheet_));
  page += Send("T.00001", 0, std::nullopt, nullptr);
  std::string path = sheets::MessageFilePath(getpid());
  EXPECT_FALSE(fs::exists(path));
  std::string opened = "<! Send Mail ";
  EXPECT_EQ(page.find(opened), 0u);
  EXPECT_NE(page.find(",errno:0, file:" + path + ">\n<! Send Mail "), std::string::npos) << page;
  EXPECT_NE(page.find(",errno:0, file:" + path + ">\n<! No mail to send, destination empty >\n"),
            std::string::npos)
      << page;
  // A data directory without its tmp folder: the failure is reported, nothing else done.
  fs::remove_all(root_ + "/data/tmp");
  EXPECT_EQ(Send("T.00001", 0, std::nullopt, nullptr),
            "<! Send Mail 0,errno:2, file:" + path + ">\n");
}

// A notification delivered to a real SMTP server (aiosmtpd, started on a free loopback port):
// the envelope, the subject and the HTML body arrive as sent.
using RealRelay = NotifyTest;

TEST_F(RealRelay, NotificationArrivesWithEnvelopeSubjectAndBody) {
  // The relay is part of the test: without it the test fails (scripts/install-deps.sh).
  ASSERT_TRUE(CanRunAiosmtpd()) << "python3 cannot import aiosmtpd";
  Aiosmtpd relay(root_ + "/inbox");
  ASSERT_TRUE(relay.Ready()) << "the SMTP server did not start on " << relay.server();

  MainConfig("DEBUG YES\nWWW quorb\nDOMAIN corp.test\nHOSTNAME tracker.corp.test\nMAILSERV " +
             relay.server() + "\n");
  Write("config/sendmail.cfg", "Assign a s\n");
  sheet_.title = "Crash";
  Write("data/TS.00007", store::FormatSheet(sheet_));

  // A body with lines that would end the data early or pass for commands.
  auto writer = [](base::Stream out, const store::FactSheet& s) {
    base::Printf(out, "<B>%s</B>\n.\n.quit\nRSET\n</TABLE><P>\n", s.title);
  };
  std::string page = Send("TS.00007", 5, "kolvar", writer);

  fs::path mail = root_ + "/inbox/mail1";
  for (int i = 0; i < 50 && !fs::exists(mail); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(unit_test::ReadFile(mail),
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
  EXPECT_FALSE(fs::exists(root_ + "/inbox/mail2"));
  EXPECT_NE(page.find("<! read : 35 250 [250 Message accepted for deliv]>\n"), std::string::npos)
      << page;
}

}  // namespace
