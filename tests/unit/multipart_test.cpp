#include <gtest/gtest.h>

#include "web/request.h"

namespace {

const std::string kLine = "-----------------------------abc\r\n";

std::string Part(const std::string& name, const std::string& value) {
  return "Content-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value +
         "\r\n-----------------------------abc\r\n";
}

TEST(ParseMultipart, FieldsFileAndTrace) {
  std::string rest = Part("CMD", "Attach") +
                     "Content-Disposition: form-data; name=\"up\"; filename=\"d:\\x.txt\"\r\n"
                     "Content-Type: text/plain\r\n\r\nAB\r\n-----------------------------abc--\r\n";
  web::MultipartResult r = web::ParseMultipart(kLine, rest);
  ASSERT_EQ(r.list.size(), 2u);
  EXPECT_EQ(r.list[0].name, "up");
  EXPECT_EQ(r.list[0].value, "d:\\x.txt");
  EXPECT_EQ(r.list[1].value, "Attach");
  ASSERT_TRUE(r.upload);
  EXPECT_EQ(*r.upload, "AB\r\n");
  EXPECT_EQ(r.rebuilt, "up=d:\\x.txt&CMD=Attach");
  const std::string expected =
      "\ndelimiter:>-----------------------------abc<\n->Content-Disposition: form-data; name=\n"
      "nom->CMD\n-\r-\n-->Attach\n-->len: 6 \n->-----------------------------abc\r\n"
      "Content-Disposition: form-data; name=\n"
      "nom->up\n-;-\n-->d:\\x.txt\n delimiter: >-----------------------------abc<\n++: - - 0\n";
  EXPECT_EQ(r.trace.substr(0, expected.size()), expected);
}

TEST(ParseMultipart, BrokenPartialMatchIsWrittenBackAndNotRetried) {
  // "\r\n---" starts like the delimiter; the byte that breaks the match is written too.
  std::string rest =
      "Content-Disposition: form-data; name=\"f\"; filename=\"a\"\r\n"
      "Content-Type: x\r\n\r\n--x---------------------------ab-----------------------------abc";
  web::MultipartResult r = web::ParseMultipart(kLine, rest);
  ASSERT_TRUE(r.upload);
  EXPECT_EQ(*r.upload, "--x---------------------------ab");
  EXPECT_NE(r.trace.find("I=: - x 2\n"), std::string::npos);
}

TEST(ParseMultipart, MultiLineValueKeepsItsFirstLineAndNoFileMeansNoUpload) {
  web::MultipartResult r =
      web::ParseMultipart(kLine, Part("QS", "one\r\ntwo\r\nthree") + Part("Num", "7"));
  ASSERT_EQ(r.list.size(), 2u);
  EXPECT_EQ(r.list[0].name, "Num");
  EXPECT_EQ(r.list[1].value, "one");
  EXPECT_FALSE(r.upload);
}

TEST(ParseMultipart, GarbageNeverCrashes) {
  for (const std::string& rest :
       {std::string(""), std::string("\""), std::string("\"\""), std::string("\"n\";"),
        std::string("\"n\";\"\"f"), std::string(3000, '"')}) {
    web::MultipartResult r = web::ParseMultipart(kLine, rest);
    EXPECT_LE(r.rebuilt.size(), 999u);
  }
  web::MultipartResult r = web::ParseMultipart(std::string(5000, '-'), "");
  EXPECT_TRUE(r.list.empty());
}

// The url-encoded loop, shown as "name:value" nodes in list order.
TEST(DecodeUrlEncoded, SegmentsInReverseOrderAtEveryEdge) {
  const std::pair<const char*, const char*> cases[] = {
      {"", ""},
      {"&", ""},
      {"a", ""},
      {"=", ":|"},
      {"a=1&&b=2&", "b:2|a:1|"},
      {"&a=1", "a:1|"},
      {"a=1&junk", "a:1|"},
      {"a=x=y&b", "a:x=y|"},
      {"a=1&a=2&c=%41+", "c:A |a:2|a:1|"},
  };
  for (const auto& [text, nodes] : cases) {
    std::string seen;
    for (const web::Param& p : web::DecodeUrlEncoded(text)) seen += p.name + ":" + p.value + "|";
    EXPECT_EQ(seen, nodes) << text;
  }
}

}  // namespace
