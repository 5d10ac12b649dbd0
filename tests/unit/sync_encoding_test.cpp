// The message encoding: uuencode lines, the description and "begin" lines, decoding into a
// folder (never beside it), and cut-off messages.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "mail/pop3.h"
#include "sync/encoding.h"
#include "unit_support.h"

namespace {

namespace fs = std::filesystem;

class Encoding : public unit_test::Installation {
 protected:
  void SetUp() override {
    Installation::SetUp();
    fs::create_directories(root_ + "/work");
    fs::create_directories(root_ + "/TRACE_TsG.00001");
  }
  // The message for a file holding `bytes`.
  std::string Message(const std::string& bytes, int kind, const std::string& name = "f.bin",
                      const std::string& origin = "") {
    const std::string file = root_ + "/TRACE_TsG.00001/" + name;
    Write("TRACE_TsG.00001/" + name, bytes);
    return testing_support::CaptureStream([&](std::FILE* out) {
      EXPECT_TRUE(synch::EncodeSynchFile(out, file, kind, "siteA", origin));
    });
  }
  // The stored message `text` decoded into the work folder.
  synch::DecodedMessage Decoded(const std::string& text) {
    Write("message.txt", text);
    return synch::DecodeSynchFile(root_ + "/message.txt", root_ + "/work").value();
  }
};

TEST_F(Encoding, LinesAndMessages) {
  struct Case {
    std::string bytes, data;  // the file, its encoded lines
  };
  const Case cases[] = {
      {"", ""},
      {std::string(3, '\0'), "#````\r\n"},
      {std::string(45, 'a'), "M86%A86%A86%A86%A86%A86%A86%A86%A86%A86%A86%A86%A86%A86%A86%A\r\n"},
      // 14 bytes: the length character is "."; the transport must not take it for an end.
      {std::string(14, 'b'), ".8F)B8F)B8F)B8F)B8F(`\r\n"},
  };
  for (const Case& c : cases) {
    std::string m = Message(c.bytes, 3);
    std::string head = m.substr(0, m.find("begin"));
    EXPECT_TRUE(head.starts_with("\r\nfiletype: d ")) << head;
    EXPECT_TRUE(head.ends_with(" siteA TRACE_TsG.00001\r\n\r\n")) << head;
    EXPECT_EQ(m.substr(m.find("begin")), "begin 0666 f.bin\r\n" + c.data + "`\r\nend\r\n");
  }
  // Acknowledgements and requests carry only the message name.
  std::string ack = testing_support::CaptureStream(
      [](std::FILE* out) { synch::EncodeSynchFile(out, "s00007.txt", 4, "siteA"); });
  EXPECT_TRUE(ack.starts_with("\r\nfiletype: e ")) << ack;
  EXPECT_TRUE(ack.ends_with(" siteA s00007.txt\r\n\r\nbegin 0666 s00007.txt\r\n")) << ack;
  // A blank stands for the value 0 as "`" does.
  EXPECT_EQ(synch::DecodeLine("#    "), std::string(3, '\0'));
}

TEST_F(Encoding, EveryByteComesBackAndNamesStayInTheFolder) {
  std::string bytes;
  for (int round = 0; round < 3; ++round)
    for (int c = 0; c < 256; ++c) bytes += static_cast<char>(c);
  bytes += "\r\n.\r\n";
  std::string work = root_ + "/work";
  // Whole mail as stored from the mailbox: status and header lines come first.
  synch::DecodedMessage m =
      Decoded("+OK 99 octets\r\nSubject: x\r\n" + Message(bytes, 3, "f.bin", "17.0a1b"));
  EXPECT_TRUE(m.complete);
  // The extra field is all that an older version reads.
  EXPECT_EQ(
      fmt::format("{}|{}|{}|{}", m.header.kind, m.header.host, m.header.extra, m.header.origin),
      "3|siteA|TRACE_TsG.00001|17.0a1b");
  EXPECT_EQ(m.path, work + "/f.bin");
  EXPECT_EQ(unit_test::ReadFile(m.path), bytes);

  // A message cut off before its end is marked so.
  std::string whole = Message(bytes, 1);
  EXPECT_FALSE(Decoded(whole.substr(0, whole.size() - 30)).complete);
  EXPECT_FALSE(Decoded(whole.substr(0, whole.size() - 5)).complete);

  const std::pair<std::string, std::string> names[] = {
      {"begin 0666 6a.txt", "6a.txt"},  // the mode is a word: leading 6 and 0 of a name stay
      {"begin 0666 ../../escape", "escape"},
      {"begin 0666 C:\\dir\\file one.txt", "file one.txt"},
      {"begin 0666 ..", ""},
      {"begin 0666 ", ""},
  };
  for (const auto& [line, name] : names) EXPECT_EQ(synch::BeginLineName(line), name) << line;
  const std::string described = "filetype: d 1 siteA TRACE_TsG.00001\r\n";
  synch::DecodedMessage escape = Decoded(described + "begin 0666 ../x\r\n`\r\nend\r\n");
  EXPECT_EQ(escape.path, work + "/x");
  // A name the file system refuses: nothing written, nothing complete (found by fuzzing).
  synch::DecodedMessage too_long =
      Decoded(described + "begin 0666 " + std::string(300, 'a') + "\r\n`\r\nend\r\n");
  EXPECT_TRUE(too_long.path.empty());
  EXPECT_FALSE(too_long.complete);
  EXPECT_FALSE(fs::exists(root_ + "/x"));
}

// Only a mail that is exactly one message is used, and only from its description line on:
// whatever is put before, inside or after it makes the whole mail refused.
TEST_F(Encoding, OnlyOneWholeMessageIsTaken) {
  const std::string message = Message("some bytes of a file", 2, "TEST_version.cfg");
  std::string part = message.substr(2, message.size() - 4);  // its signed lines
  std::erase(part, '\r');
  const std::string head = "+OK 99 octets\r\nSubject: x\r\nX-Quorb-MAC: 0a\r\n";
  const std::string block = "begin 0666 TEST_users.cfg\r\n#86)C\r\n`\r\nend\r\n";
  const std::string description = "filetype: c 1 siteB \r\n";
  auto at = [&](std::string_view mark, const std::string& insert) {
    std::string mail = head + message;
    return mail.insert(mail.find(mark), insert);
  };
  const struct {
    std::string mail;
    bool taken;
  } cases[] = {
      {head + message, true},
      {message, true},
      {message.substr(2), true},
      {head + message + "\r\n\r\n", true},
      {head + "\r\n" + description, true},  // nothing carried
      {at("\r\nfiletype:", "\r\nfiletype c 1 siteB \r\n" + block), false},
      {at("\r\nfiletype:", "\r\nsome words\r\n"), false},
      {at("X-Quorb", "begin 0666 x\r\n"), false},
      {at("\r\nbegin", "\r\n" + description), false},
      {at("\r\nbegin", "\r\nwords\r\n"), false},
      {at("end\r\n", "\r\n#86)C\r\n"), false},
      {head + message + block, false},
      {head + message + "\r\n" + description, false},
      {head + message + "more\r\n", false},
      {head + message.substr(0, message.size() - 5), false},
  };
  for (const auto& c : cases) {
    std::optional<std::string> taken = synch::SignedPart(c.mail);
    EXPECT_EQ(taken.has_value(), c.taken) << c.mail;
    synch::DecodedMessage m = Decoded(c.mail);
    EXPECT_EQ(m.refused, !c.taken) << c.mail;
    if (!c.taken) {
      EXPECT_EQ(m.path, "") << c.mail;
    }
    if (c.taken && c.mail.find("begin") != std::string::npos) {
      EXPECT_EQ(*taken, part);
      EXPECT_EQ(unit_test::ReadFile(m.path), "some bytes of a file");
    }
  }
}

TEST(Pop3Reply, EndsDotsAndSubjects) {
  // The end of a reply, however it is split, for both line-end styles; dots undone.
  for (char style : {'\n', '\r'}) {
    std::string e = style == '\n' ? "\r\n" : "\r";
    std::string reply = "+OK" + e + "a" + e + "..b" + e + "." + e;
    for (size_t step : {1, 2, 5, 100}) {
      mail::MultilineReply r(style);
      bool done = false;
      for (size_t i = 0; i < reply.size(); i += step) done = r.Feed(reply.substr(i, step));
      EXPECT_TRUE(done);
      EXPECT_EQ(r.Body(), "a" + e + ".b" + e);
    }
    EXPECT_TRUE(mail::IsEndOfMultiline("+OK" + e + "." + e, style));
    EXPECT_FALSE(mail::IsEndOfMultiline("+OK" + e + ".." + e, style));
  }
  mail::MultilineReply error('\n');
  EXPECT_TRUE(error.Feed("-ERR no such message\r\n"));
  EXPECT_FALSE(error.IsOk());

  EXPECT_EQ(mail::ParseListing("1 120\r\n2 30\r\nbad\r\n"),
            (std::vector<std::pair<int, int>>{{1, 120}, {2, 30}}));
  auto subject = mail::FindSynchSubject("From: x\r\nSubject: Quorb-Synchro TEST s00012\r\n\r\n");
  ASSERT_TRUE(subject);
  EXPECT_EQ(subject->first, "TEST");
  EXPECT_EQ(subject->second, "s00012");
  for (const char* refused :
       {"Subject: Quorb-Synchro ../x s00001\r\n", "Subject: Quorb-Synchro TEST ../s1\r\n",
        "Subject: Hello\r\n", "X: 1\r\n\r\nSubject: Quorb-Synchro TEST s00001\r\n"})
    EXPECT_FALSE(mail::FindSynchSubject(refused)) << refused;
}

}  // namespace
