// The two encoders of the sheet display: entry bodies as HTML and the result-list query.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "sheets/display.h"

namespace {

std::string Escaped(const std::string& text) {
  std::FILE* f = std::tmpfile();
  sheets::WriteEscaped(f, text);
  std::fflush(f);
  std::rewind(f);
  std::string out;
  int c;
  while ((c = std::fgetc(f)) != EOF) out += static_cast<char>(c);
  std::fclose(f);
  return out;
}

TEST(WriteEscaped, LineFeedsLessThanAndBlanksOnly) {
  // Pasted code reads as typed: one entity per blank and per "<", nothing added.
  EXPECT_EQ(Escaped("a  <script>"), "a&nbsp;&nbsp;&lt;script>");
  EXPECT_EQ(Escaped("x\ny\n"), "x<BR>\ny<BR>\n");
  EXPECT_EQ(Escaped("&\"\t\r"), "&\"\t\r");
  EXPECT_EQ(Escaped(""), "");
  EXPECT_EQ(Escaped(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(EncodeQS, LettersAndDigitsStayEveryOtherByteIsHex) {
  EXPECT_EQ(sheets::EncodeQS("find=1&project=TEST"), "find%3D1%26project%3DTEST");
  EXPECT_EQ(sheets::EncodeQS("a b_c.d-e"), "a%20b%5Fc%2Ed%2De");
  EXPECT_EQ(sheets::EncodeQS("\xff\x01"), "%FF%01");
  EXPECT_EQ(sheets::EncodeQS(""), "");
  // Sized to its input: a long query that needs encoding throughout is encoded whole.
  std::string query(5000, '&');
  std::string encoded = sheets::EncodeQS(query);
  ASSERT_EQ(encoded.size(), 15000u);
  for (size_t i = 0; i < encoded.size(); i += 3) ASSERT_EQ(encoded.substr(i, 3), "%26");
}

}  // namespace
