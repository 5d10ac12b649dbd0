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
