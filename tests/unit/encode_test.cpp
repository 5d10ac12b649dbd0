// The encoders and decoders of values in links, queries and pages.
#include "base/encode.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "sheets/display.h"
#include "unit_support.h"
#include "web/origin.h"
#include "web/response.h"

namespace {

// Letters and digits stay; a blank is "+" but in the result list's query; any other byte is two
// hexadecimal digits, in lower case in test-book links.
TEST(PercentEncode, LettersAndDigitsStayEveryOtherByteIsHex) {
  const struct {
    std::string in, url, query, link;
  } cases[] = {
      {"a b/c", "a+b%2Fc", "a%20b%2Fc", "a+b%2fc"},
      {"mqnxct#VGUV#12", "mqnxct%23VGUV%2312", "mqnxct%23VGUV%2312", "mqnxct%23VGUV%2312"},
      {"\\\xe9_-.", "%5C%E9%5F%2D%2E", "%5C%E9%5F%2D%2E", "%5c%e9%5f%2d%2e"},
      {"find=1&p=T", "find%3D1%26p%3DT", "find%3D1%26p%3DT", "find%3d1%26p%3dT"},
      {"\xff\x01", "%FF%01", "%FF%01", "%ff%01"},
      {"", "", "", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(base::UrlEncode(c.in), c.url) << c.in;
    EXPECT_EQ(sheets::EncodeQS(c.in), c.query) << c.in;
    EXPECT_EQ(base::EncodeLinkValue(c.in), c.link) << c.in;
  }
  // Sized to its input: a long query that needs encoding throughout is encoded whole.
  std::string encoded = sheets::EncodeQS(std::string(5000, '&'));
  ASSERT_EQ(encoded.size(), 15000u);
  for (size_t i = 0; i < encoded.size(); i += 3) ASSERT_EQ(encoded.substr(i, 3), "%26");
}

// A plus is a blank, and so is a decoded 0xA0; a percent sign without two hexadecimal digits
// is kept and decoding goes on.
// A download's name: ASCII as it always was; an accented name (ISO-8859-1, with the browser's
// character references for what that set lacks) keeps its exact text beside a fallback.
TEST(ContentDisposition, AsciiFallbackAndExactName) {
  const struct {
    std::string name, value;
  } cases[] = {
      {"run log.txt", "attachment; filename=\"run log.txt\""},
      {"say \"hi\"\r\n.txt", "attachment; filename=\"say \\\"hi\\\".txt\""},
      {"Rapport d'essai \xE9t\xE9 2026 \x96 &#8211; \xE9"
       "cran.txt",
       "attachment; filename=\"Rapport d'essai ete 2026 _ _ ecran.txt\"; "
       "filename*=UTF-8''Rapport%20d%27essai%20%C3%A9t%C3%A9%202026%20%E2%80%93%20%E2%80%93%20"
       "%C3%A9cran.txt"},
      {"&#x1F600;&#0;&#55296;&#12a;\xD7\xFF\x81",
       "attachment; filename=\"_&#0;&#55296;&#12a;_y\"; "
       "filename*=UTF-8''%F0%9F%98%80&#0%3B&#55296%3B&#12a%3B%C3%97%C3%BF"},
  };
  for (const auto& c : cases) EXPECT_EQ(web::ContentDisposition("attachment", c.name), c.value);
}

TEST(UrlDecode, PlusPercentAndNonBreakingSpace) {
  const std::pair<std::string, std::string> cases[] = {{"a+b%2Bc%A0d", "a b+c d"},
                                                       {"%41%62%2f%2F", "Ab//"},
                                                       {"%00x", std::string("\0x", 2)},
                                                       {"\xA0", "\xA0"},
                                                       {"100%+sure+%zz", "100% sure %zz"},
                                                       {"50%", "50%"},
                                                       {"%4", "%4"},
                                                       {"%zzA", "%zzA"},
                                                       {"%4zB", "%4zB"},
                                                       {"%", "%"},
                                                       {"%%41", "%A"},
                                                       {"%4%41", "%4A"}};
  for (const auto& [in, out] : cases) EXPECT_EQ(base::UrlDecode(in), out) << in;
}

// Another site's page is told by what the browser says of it; saying nothing is this site.
TEST(Origin, CrossSiteByFetchSiteOrOriginHost) {
  const std::tuple<std::string, std::string, std::string, bool> cases[] = {
      {"cross-site", "", "q.example", true},
      {"same-origin", "https://q.example", "q.example", false},
      {"", "https://q.example:8080", "q.example:8080", false},
      {"", "https://q.example/", "q.example", false},
      {"", "https://evil.example", "q.example", true},
      {"", "https://q.example.evil.example", "q.example", true},
      {"", "null", "q.example", true},
      {"", "https://q.example", "", true},
      {"", "", "q.example", false},
      {"none", "", "", false},
  };
  for (const auto& [site, origin, host, cross] : cases)
    EXPECT_EQ(web::IsCrossSite(site, origin, host), cross) << site << " " << origin << " " << host;
}

// A download field keeps its row and is never a spreadsheet formula.
TEST(TsvField, OneRowOneCellNoFormula) {
  const std::pair<std::string, std::string> cases[] = {
      {"a\tb\nc\rd", "a b c d"},
      {"\"q\" x", "\"\"\"q\"\" x\""},
      {"x \"y\"", "x \"y\""},
      {"=HYPERLINK(\"http://e.example\")", "'=HYPERLINK(\"http://e.example\")"},
      {"+1", "'+1"},
      {"-2", "'-2"},
      {"@SUM(A1)", "'@SUM(A1)"},
      {"a=b", "a=b"},
      {"", ""},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(base::TsvField(in), out) << in;
}

TEST(EscapeHtml, OnlyTheThreeDangerousCharacters) {
  EXPECT_EQ(base::EscapeHtml("R&D <b>\"x\"</b> a\\b"), "R&D &lt;b&gt;&quot;x&quot;&lt;/b&gt; a\\b");
  EXPECT_EQ(base::EscapeHtml("plain value 12"), "plain value 12");
  EXPECT_EQ(base::EscapeScript("a\\b\"<"), "a\\\\b&quot;&lt;");
}

// The machine interface's text: Latin-1 out as UTF-8 and back; a character Latin-1 lacks is
// named, a byte that is not UTF-8 (a stray continuation, a cut sequence, an overlong form, a
// surrogate) refused.
TEST(Latin1Utf8, BothWaysAndTheRefusals) {
  EXPECT_EQ(base::Latin1ToUtf8("Caf\xE9 \xFF"), "Caf\xC3\xA9 \xC3\xBF");
  const std::pair<std::string, unsigned long> kCases[] = {
      {"plain", 0},
      {"Caf\xC3\xA9 \xC3\xBF", 0},
      {"10 \xE2\x82\xAC", 0x20AC},
      {"\xF0\x9F\x98\x80", 0x1F600},
      {"\x80", 0xFFFD},
      {"\xC3", 0xFFFD},
      {"\xC0\xAF", 0xFFFD},
      {"\xED\xA0\x80", 0xFFFD},
  };
  for (const auto& [text, refused] : kCases) {
    std::string out;
    unsigned long code = 0;
    EXPECT_EQ(base::Utf8ToLatin1(text, out, code), refused == 0) << text;
    EXPECT_EQ(refused ? code : 0, refused) << text;
    EXPECT_EQ(refused ? text : base::Latin1ToUtf8(out), text);
  }
}

}  // namespace
