// Notification mails through a real Postfix: the test runs an instance of its own (its own
// configuration, queue and log in a private folder, listening on a free loopback port,
// delivering every mail for corp.test into one Maildir) and checks the spool: with the relay
// down the sheets are created and their mails kept, and once it is up a later request
// delivers each of them once, with the headers mail readers expect; a recipient the relay
// refuses is reported and kept in the spool entry.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>
#include <utime.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "mail/spool.h"
#include "postfix_peer.h"

namespace {

namespace fs = std::filesystem;
using e2e::Has;
using e2e::Installation;
using postfix_peer::Postfix;

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
    // The other fields as the relay passed them on (each field: the mail header unit test).
    EXPECT_EQ(HeaderValue(mail, "From"), "\"Bug Manager\" <quorb@tracker.corp.test>");
    EXPECT_TRUE(Has(mail, "\nTo: outsider@elsewhere.test,\n tessin@corp.test\n")) << mail;
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
