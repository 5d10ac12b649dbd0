// Notification mails: the action table, the recipients that "sendmail.cfg" names, and the
// message that reaches a scripted relay through the spool.
#include "sheets/notify.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "base/request_state.h"
#include "mail/spool.h"
#include "smtp_peer.h"
#include "store/sheet.h"
#include "unit_support.h"

namespace {

namespace fs = std::filesystem;

const std::string kSite = "WWW \nDOMAIN corp.test\nHOSTNAME tracker.corp.test\nDEBUG YES\n";

class NotifyTest : public unit_test::Installation {
 protected:
  void SetUp() override {
    Installation::SetUp();
    MainConfig(kSite);
    Write("config/langue.EN", "1,EN\n145,Assignment\n200,New\n2024,Entry edit\n");
    WriteProjects("TEST:T:kolvar,tessin:verif\nOTHER:O:boss:\n");
    Write("config/TEST_users.cfg",
          "kolvar:kolvar@corp.test:pw:YES\n"
          "tessin:tessin@corp.test\r\n"
          "duval:duval@corp.test:pw\n"
          "verif:verif@corp.test:pw\n"
          "x:x@corp.test\n"
          "mute: :pw\n"
          "sub:sub@corp.test:pw\n"
          "abcdefghijklmnopqrs:long@corp.test\n");
    sheet_.project = "TEST", sheet_.submitter = "sub", sheet_.resp = "duval";
    sheet_.verifier = "verif";
  }
  // The recipients.
  std::string Collect(int code, std::optional<std::string_view> user) {
    std::string to;
    testing_support::CaptureStdout([&] { to = sheets::CollectRecipients(sheet_, code, user); });
    return to;
  }
  // Sends the notification for `name`, its comments kept out of the test's output.
  void Send(const std::string& name, int code, std::optional<std::string_view> user,
            const sheets::SheetWriter& writer) {
    testing_support::CaptureStdout([&] { sheets::SendNotification(name, code, user, writer); });
  }

  store::FactSheet sheet_;
};

// The names and labels in use are checked through the mails below; here codes outside the table.
TEST(ActionTable, CodesOutsideTheTable) {
  EXPECT_EQ(sheets::ActionName(18), "");
  EXPECT_EQ(sheets::ActionLabel(-1), 200);
}

TEST_F(NotifyTest, RecipientsOfTheKeyLines) {
  EXPECT_EQ(Collect(0, "duval"), "");  // no sendmail.cfg: nobody
  // The responsible person acts: only the project's managers, newest first.
  Write("config/sendmail.cfg", "# who gets what\nAssign a M\nnew s\n");
  EXPECT_EQ(Collect(5, "duval"), "tessin@corp.test,kolvar@corp.test");
  // Each role letter, and a one-character word that is none: a login.
  Write("config/sendmail.cfg", "Observed s\nObserved v V\nObserved x c q\n");
  sheet_.corrector = "tessin";
  EXPECT_EQ(Collect(2, std::nullopt), "tessin@corp.test,x@corp.test,verif@corp.test,sub@corp.test");
  // Every line of the key counts, and each login once.
  Write("config/sendmail.cfg",
        "Edit s kolvar\nnew kolvar\nEdit sub,duval\tkolvar  mute ghost\nEditor x\n");
  // ghost has no line and mute an empty address: neither adds an empty recipient.
  EXPECT_EQ(Collect(16, "duval"), "kolvar@corp.test,sub@corp.test");
  // Line breaks never reach an address: CR LF line ends in both files, and a login field holding a
  // carriage return.
  Write("config/sendmail.cfg", "Open tessin\r\nOpen a\r\n");
  sheet_.resp = "kol\rvar";
  EXPECT_EQ(Collect(6, std::nullopt), "kolvar@corp.test,tessin@corp.test");
  // Long fields are cut: a login is at most 19 characters, a word 51.
  Write("config/sendmail.cfg", "new abcdefghijklmnopqrstuvwxyz\n");
  EXPECT_EQ(Collect(0, std::nullopt), "long@corp.test");
}

// The mail waits in the spool until the page is out; the delivery pass takes it to the relay.
TEST_F(NotifyTest, MailIsQueuedThenCarriesTheSheetToEachRecipient) {
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
  Send("TS10.00042", 16, "kolvar", writer);
  std::string path = sheets::MessageFilePath(getpid());
  EXPECT_EQ(written_for, "Crash");
  EXPECT_FALSE(fs::exists(path));
  ASSERT_EQ(mail::ListSpool().size(), 1u);
  // Messages no envelope names (a crash between the two writes): an old one is cleared, a
  // fresh one may still get its envelope.
  Write("data/Mail/0000000001.1.1.msg", "old");
  Write("data/Mail/9999999999.1.1.msg", "fresh");
  const timespec old_times[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (root_ + "/data/Mail/0000000001.1.1.msg").c_str(), old_times, 0),
            0);
  testing_support::CaptureStdout([] { mail::DeliverSpool(false); });
  EXPECT_TRUE(mail::ListSpool().empty());
  EXPECT_FALSE(fs::exists(root_ + "/data/Mail/0000000001.1.1.msg"));
  EXPECT_TRUE(fs::exists(root_ + "/data/Mail/9999999999.1.1.msg"));
  std::string got = peer.Received();
  EXPECT_NE(got.find("\r\nMAIL FROM:<www@corp.test>\r\n"
                     "RCPT TO:<duval@corp.test>\r\nRCPT TO:<sub@corp.test>\r\nDATA\r\n"
                     "From: \"Bug Manager\" <www@tracker.corp.test>\r\n"
                     "To: duval@corp.test,\r\n sub@corp.test\r\n"
                     "Subject: Bug TS10.00042 Entry edit by kolvar\r\n"),
            std::string::npos)
      << got;
  EXPECT_NE(got.find("Content-Transfer-Encoding: 8bit\r\n\r\n<HTML>\r\n..hidden\r\n<P>\r\n"
                     "\r\n.\r\nQUIT\r\n"),
            std::string::npos)
      << got;
}

TEST_F(NotifyTest, MessageHeadPerActionAndAuthor) {
  Write("config/sendmail.cfg", "new M\nEdit M\nAssign M\n");
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
               // A line break in the author cannot add a header line.
               {5, "du\r\nBcc: x", "Subject: Bug T.00001 Assignment by duBcc: x\n"}};
  for (const Case& c : cases) {
    Send("T.00001", c.code, c.user, writer);
    EXPECT_EQ(head.substr(0, head.find("Date: ")),
              "From: \"Bug Manager\" <www@tracker.corp.test>\n"
              "To: tessin@corp.test,\n kolvar@corp.test\n" +
                  c.subject);
    EXPECT_TRUE(head.ends_with("charset=ISO-8859-1\nContent-Transfer-Encoding: 8bit\n\n<HTML>\n"))
        << head;
  }
  EXPECT_EQ(mail::ListSpool().size(), 3u);
}

TEST_F(NotifyTest, UnreadableSheetOrNobodyToMail) {
  Send("T.00404", 0, std::nullopt, nullptr);
  Write("data/T.00001", store::FormatSheet(sheet_));
  Send("T.00001", 0, std::nullopt, nullptr);
  // A data directory without its tmp folder: nothing done either.
  fs::remove_all(root_ + "/data/tmp");
  Send("T.00001", 0, std::nullopt, nullptr);
  EXPECT_FALSE(fs::exists(sheets::MessageFilePath(getpid())));
  EXPECT_TRUE(mail::ListSpool().empty());
}

}  // namespace
