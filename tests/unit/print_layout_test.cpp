// The print command line: the path never goes into shell text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sheets/print.h"

namespace {

TEST(PrintLayout, PrintCommandNeverPutsThePathIntoShellText) {
  const std::string p = "/d/tmp/quorb.7.aB3xYz.prt";
  struct Case {
    std::string setting;
    std::string shown;
    std::vector<std::string> argv;
  };
  const Case cases[] = {
      {"lp -o2", "lp -o2 " + p, {"lp", "-o2", p}},
      {"lp -o2 %s -q", "lp -o2 " + p + " -q", {"lp", "-o2", p, "-q"}},
      {"lpr -P 'my printer'",
       "lpr -P 'my printer' " + p,
       {"/bin/sh", "-c", "lpr -P 'my printer' \"$1\"", "quorb-print", p}},
      {"cat %s > /dev/lp0",
       "cat " + p + " > /dev/lp0",
       {"/bin/sh", "-c", "cat \"$1\" > /dev/lp0", "quorb-print", p}},
      {"LANG=C lp", "LANG=C lp " + p, {"/bin/sh", "-c", "LANG=C lp \"$1\"", "quorb-print", p}},
      {"", " " + p, {}},
  };
  for (const Case& c : cases) {
    sheets::PrintCommand command = sheets::BuildPrintCommand(c.setting, p);
    EXPECT_EQ(command.shown, c.shown) << c.setting;
    EXPECT_EQ(command.argv, c.argv) << c.setting;
  }
}

}  // namespace
