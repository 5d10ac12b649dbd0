#include <gtest/gtest.h>

#include "harness.h"

namespace {

using e2e::Installation;

TEST(Dispatch, UnknownCommandDumpsTheParametersInListOrder) {
  Installation inst;
  auto r = inst.Get("CMD=bogus&a=1");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "Content-type: text/html\n\n<PRE>a : '1'\nCMD : 'bogus'\n");
}

}  // namespace

namespace {

TEST(Dispatch, EveryUnknownCommandIsDumpedOnceAfterTheOthers) {
  e2e::Installation inst;
  auto r = inst.Get("CMD=one&x=%3C&CMD=two");
  EXPECT_EQ(r.out, "Content-type: text/html\n\n<PRE>CMD : 'two'\nx : '&lt;'\nCMD : 'one'\n");
}

TEST(Dispatch, CommandsAreCaseSensitive) {
  e2e::Installation inst;
  // "verified" is no action: only "Verified" is.
  EXPECT_EQ(inst.Get("CMD=verified").out, "Content-type: text/html\n\n<PRE>CMD : 'verified'\n");
}

TEST(Dispatch, RequestWithNoRecognisedParameterWritesNothing) {
  e2e::Installation inst;
  auto r = inst.Get("foo=1&bar=2");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "");
}

}  // namespace
