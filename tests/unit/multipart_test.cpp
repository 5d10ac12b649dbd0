#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "web/request.h"

namespace {

const std::string kLine = "-----------------------------abc\r\n";
// The head of a file part.
const std::string kFileHead =
    "Content-Disposition: form-data; name=\"f\"; filename=\"a\"\r\nContent-Type: x\r\n\r\n";

// (Fields, file names and the first line of a value are the request tests'.)
TEST(ParseMultipart, FileKeepsEveryByteSentAndIsDroppedWithoutItsDelimiter) {
  // Partial matches that break (also on the carriage return that may start the real one),
  // NUL bytes and a CR LF at the end of the file itself.
  const std::string content =
      std::string("\r\n--x\0\r\r\n---\r", 13) + "\n-----------------------------ab\r\n";
  web::MultipartResult r = web::ParseMultipart(
      kLine, kFileHead + content + "\r\n-----------------------------abc--\r\n");
  ASSERT_TRUE(r.upload);
  EXPECT_EQ(*r.upload, content);
  // A body that ends before the closing delimiter carries no file.
  r = web::ParseMultipart(kLine, kFileHead + content + "\r\n------");
  EXPECT_FALSE(r.upload);
  EXPECT_EQ(r.list.size(), 1u);
}

// The body after its first chunk comes from a stream: in memory (a pipe, say), read in
// chunks, or a regular file (a web server that kept the body), searched in pieces of 1 MiB.
// The delimiter, a partial one just before it, straddles the first chunk's end and the first
// piece's end; the file gets exactly the content, and a body cut before the delimiter none.
TEST(ParseMultipart, StreamedFileSurvivesMatchesAcrossChunksAndPieces) {
  const std::string delimiter = "\r\n-----------------------------abc";
  const std::string partial = "\r\n-----------------------------ab\r";
  char path[] = "/tmp/multipart_test_XXXXXX";
  close(mkstemp(path));
  char body_path[] = "/tmp/multipart_body_XXXXXX";
  close(mkstemp(body_path));
  for (bool in_file : {false, true}) {
    for (size_t edge : {size_t{65536}, size_t{65536 + (1 << 20)}}) {
      for (size_t shift = 0; shift < 2 * delimiter.size(); shift += 5) {
        // The delimiter begins `shift` bytes before the edge, or after it.
        const size_t at = edge - delimiter.size() + shift;
        std::string content(at - kFileHead.size(), 'x');
        content.replace(content.size() - partial.size() - 1, partial.size(), partial);
        for (bool whole : {true, false}) {
          const std::string body =
              kFileHead + content + (whole ? delimiter + "--\r\n" : delimiter.substr(0, 20));
          std::FILE* more = nullptr;
          if (in_file) {
            std::ofstream(body_path, std::ios::binary) << body;
            more = std::fopen(body_path, "rb");
          } else {
            more = fmemopen(const_cast<char*>(body.data()), body.size(), "rb");
          }
          ASSERT_NE(more, nullptr);
          std::remove(path);
          web::MultipartStream stream{more, body.size(), path};
          web::MultipartResult r = web::ParseMultipart(kLine, "", &stream);
          std::fclose(more);
          const std::string what = (in_file ? "file " : "memory ") + std::to_string(edge) + " " +
                                   std::to_string(shift) + (whole ? "" : " cut");
          ASSERT_EQ(r.upload_written, whole) << what;
          std::ifstream file(path, std::ios::binary);
          ASSERT_EQ(file.is_open(), whole) << what;
          if (whole) {
            EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(file), {}) == content) << what;
          }
        }
      }
    }
  }
  std::remove(path);
  std::remove(body_path);
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
