// The SMTP client against a scripted peer on the loopback interface: the exact dialogue,
// the transparency of the data, and the bounded waits.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "mail/net.h"
#include "mail/smtp.h"
#include "smtp_peer.h"
#include "unit_support.h"

namespace {

using mail_test::Listen;
using mail_test::ScriptedPeer;
using mail_test::SendAll;

std::string LocalHost() {
  char name[256] = {};
  gethostname(name, sizeof name - 1);
  return std::string(name).substr(0, 50);
}

class SmtpTest : public unit_test::Installation {
 protected:
  void SetUp() override {
    Installation::SetUp();
    MainConfig("WWW \nDOMAIN example.org\nDEBUG YES\n");  // the dialogue comments too
  }
  std::string WriteMessage(const std::string& text) {
    Write("bugmail", text);
    return root_ + "/bugmail";
  }
};

TEST_F(SmtpTest, DialogueIsExactAndTheDataIsTransparent) {
  ScriptedPeer peer(ScriptedPeer::Mode::kAnswer);
  // Lines that would end the data early or smuggle commands, a stray carriage return, and
  // a last line without its line feed.
  std::string path =
      WriteMessage("Subject: Bug T.00001\n \n<HTML>\n.\nMAIL FROM: evil@x\n..two\nA\r\nB\rC\nlast");
  mail::SmtpResult result;
  testing_support::CaptureStdout([&] {
    result = mail::SmtpSend(peer.server(), "www@example.org",
                            "kolvar@a.org,tessin@b.org\r\n,,x@c.org\n", path);
  });
  EXPECT_TRUE(result.connected && result.sent && !result.refused);
  EXPECT_EQ(result.error, "");
  std::string host = LocalHost();
  EXPECT_EQ(peer.Received(),
            "HELO " + host +
                "\r\n"
                "MAIL FROM:<www@example.org>\r\n"
                "RCPT TO:<kolvar@a.org>\r\n"
                "RCPT TO:<tessin@b.org>\r\n"
                "RCPT TO:<x@c.org>\r\n"
                "DATA\r\n"
                "Subject: Bug T.00001\r\n \r\n<HTML>\r\n..\r\nMAIL FROM: evil@x\r\n...two\r\n"
                "A\r\nBC\r\nlast\r\n"
                "\r\n.\r\n"
                "QUIT\r\n");
}

// Every reply is checked: a recipient refused for good is left out and named, one refused for
// now is kept for the next attempt, and a mail nobody accepts sends no data.
TEST_F(SmtpTest, RefusalsAreReportedNotTakenForSuccess) {
  const std::string nobody = "RCPT TO nobody@b.c: 550 5.1.1 <nobody>: no such user";
  const std::string later = "RCPT TO later@b.c: 451 4.3.0 try again later";
  const std::string both = nobody + "; " + later;
  struct Case {
    std::string recipients;
    bool sent, refused;
    std::string error;
    std::vector<std::string> refused_rcpt, deferred_rcpt;
  } cases[] = {
      {"a@b.c,nobody@b.c,later@b.c", true, false, both, {"nobody@b.c"}, {"later@b.c"}},
      {"nobody@b.c", false, true, nobody, {"nobody@b.c"}, {}},
      {"later@b.c", false, false, later, {}, {"later@b.c"}},
  };
  for (const Case& c : cases) {
    ScriptedPeer peer(ScriptedPeer::Mode::kAnswer);
    std::string path = WriteMessage("<HTML>\n");
    mail::SmtpResult r;
    testing_support::CaptureStdout(
        [&] { r = mail::SmtpSend(peer.server(), "w@x.y", c.recipients, path); });
    EXPECT_TRUE(r.connected);
    EXPECT_EQ(r.sent, c.sent) << c.recipients;
    EXPECT_EQ(r.refused, c.refused) << c.recipients;
    EXPECT_EQ(r.error, c.error);
    EXPECT_EQ(r.refused_rcpt, c.refused_rcpt);
    EXPECT_EQ(r.deferred_rcpt, c.deferred_rcpt);
    EXPECT_EQ(peer.Received().find("DATA") != std::string::npos, c.sent) << c.recipients;
  }
}

// The header block: every field a mail reader expects, Latin-1 declared and encoded.
TEST(MailHeader, FieldsReadersExpect) {
  unit_test::ScopedEnv tz("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
  mail::MailHeader h;
  h.from = "\"Bug Manager\" <www@host.test>";
  h.to = "a@b.c,d@e.f";
  h.subject =
      "Bug T.00001 Cr\xe9\xe9"
      "e by du\r\nBcc: x";
  h.domain = "host.test";
  std::string head = mail::FormatMailHeader(h, 1796617517);
  std::string id = "Message-ID: <1796617517." + std::to_string(getpid()) + ".";
  EXPECT_EQ(head.substr(0, head.find("Message-ID")),
            "From: \"Bug Manager\" <www@host.test>\nTo: a@b.c,\n d@e.f\n"
            "Subject: =?ISO-8859-1?Q?Bug_T.00001_Cr=E9=E9e_by_duBcc:_x?=\n"
            "Date: Mon, 07 Dec 2026 05:25:17 +0100\n");
  EXPECT_EQ(head.substr(head.find("Message-ID")).substr(0, id.size()), id);
  EXPECT_TRUE(
      head.ends_with(".quorb@host.test>\nMIME-Version: 1.0\n"
                     "Content-Type: text/html; charset=ISO-8859-1\n"
                     "Content-Transfer-Encoding: 8bit\n\n"))
      << head;
  h.to.clear();
  EXPECT_NE(mail::FormatMailHeader(h, 0).find("\nTo: undisclosed-recipients:;\n"),
            std::string::npos);
  // Two mails of one process never share an identifier.
  EXPECT_NE(mail::FormatMailHeader(h, 0), mail::FormatMailHeader(h, 0));
}

TEST_F(SmtpTest, SilentRelayEndsWithinTheWait) {
  for (auto mode : {ScriptedPeer::Mode::kSilent, ScriptedPeer::Mode::kGreetThenSilent}) {
    ScriptedPeer peer(mode);
    std::string path = WriteMessage("<HTML>\n");
    auto start = std::chrono::steady_clock::now();
    mail::SmtpResult r;
    testing_support::CaptureStdout(
        [&] { r = mail::SmtpSend(peer.server(), "www@example.org", "a@b.c", path); });
    auto took = std::chrono::steady_clock::now() - start;
    // One wait of two seconds, as for the connection: not one per command, never a long one.
    EXPECT_LT(took, std::chrono::seconds(5));
    const bool greets = mode == ScriptedPeer::Mode::kGreetThenSilent;
    EXPECT_EQ(peer.Received(), greets ? "HELO " + LocalHost() + "\r\n" : "");
    EXPECT_EQ(r.connected, greets);
    EXPECT_FALSE(r.sent);
  }
}

TEST_F(SmtpTest, RefusedAndUnknownRelays) {
  int port = 0;
  close(Listen(&port));  // nobody listens there any more
  std::string path = WriteMessage("<HTML>\n");
  for (const std::string& server : {"127.0.0.1:" + std::to_string(port), std::string(":25")}) {
    mail::SmtpResult r;
    testing_support::CaptureStdout(
        [&] { r = mail::SmtpSend(server, "www@example.org", "a@b.c", path); });
    EXPECT_FALSE(r.connected || r.sent) << server;
    EXPECT_NE(r.error, "") << server;
  }
  testing_support::CaptureStdout([] { EXPECT_LT(mail::NetConnect("127.0.0.1:http", "25"), 0); });
}

TEST_F(SmtpTest, ReadReportsTheReplyAndItsCode) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  SendAll(fds[1], "550 <no\tsuch> user {x}\r\n");
  std::string text;
  std::string page = testing_support::CaptureStdout([&] { mail::NetReadReply(fds[0], 1, &text); });
  EXPECT_EQ(page, "<! read : 24 550 [550 <no.such. user .x...]>\n");  // its whole job
  EXPECT_EQ(text, "550 <no\tsuch> user {x}\r\n");
  // Nothing within the wait: no comment, an empty reply.
  EXPECT_EQ(testing_support::CaptureStdout([&] { mail::NetReadReply(fds[0], 1, &text); }), "");
  EXPECT_EQ(text, "");
  close(fds[1]);
  EXPECT_EQ(mail::NetRead(fds[0], 1, &text), 1);  // readable, but the peer is gone
  EXPECT_EQ(text, "");
  close(fds[0]);
}

}  // namespace
