#include <gtest/gtest.h>

#include "harness.h"

namespace {

using e2e::Installation;

TEST(Dispatch, UnknownCommandDumpsTheParametersInListOrder) {
  Installation inst;
  auto r = inst.Get("CMD=bogus&a=1");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "Content-type: text/html; charset=ISO-8859-1\n\n<PRE>a : '1'\nCMD : 'bogus'\n");
}

}  // namespace

namespace {

TEST(Dispatch, EveryUnknownCommandIsDumpedOnceAfterTheOthers) {
  e2e::Installation inst;
  auto r = inst.Get("CMD=one&x=%3C&CMD=two");
  EXPECT_EQ(
      r.out,
      "Content-type: text/html; charset=ISO-8859-1\n\n<PRE>CMD : 'two'\nx : '&lt;'\nCMD : 'one'\n");
}

TEST(Dispatch, CommandsAreCaseSensitive) {
  e2e::Installation inst;
  // "verified" is no action: only "Verified" is.
  EXPECT_EQ(inst.Get("CMD=verified").out,
            "Content-type: text/html; charset=ISO-8859-1\n\n<PRE>CMD : 'verified'\n");
}

TEST(Dispatch, RequestThatNoHandlerAnswersGetsTheDump) {
  e2e::Installation inst;
  for (std::string query : {"foo=1&bar=2", "Uid=abc&x=1"}) {
    auto r = inst.Get(query);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out.substr(0, r.out.find("<PRE>") + 5), std::string(e2e::kHtmlHeader) + "<PRE>")
        << query;
  }
  // A multipart body of garbage holds no parameter: the home page answers.
  auto r = inst.Post("garbage\r\n--x\r\n", "multipart/form-data; boundary=x");
  EXPECT_TRUE(r.out.starts_with(e2e::kHtmlHeader)) << r.out;
}

}  // namespace
