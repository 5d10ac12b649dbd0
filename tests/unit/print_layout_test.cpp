// The print table's layout, its rules and the print command line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sheets/print.h"

namespace {

TEST(PrintLayout, ShortCellsGrowToSeventyEightAndSpanningCellsFillTheirRow) {
  sheets::PrintGrid grid;
  grid[0] = "a", grid[1] = "bb", grid[2] = "ccc", grid[3] = "dddd";
  grid[4] = "title";                  // spans the whole row
  grid[24] = "corr", grid[27] = "x";  // spans columns 0 to 2
  sheets::ColumnWidths widths;
  EXPECT_EQ(sheets::LayoutCells(grid, widths), 81);
  // 1, 2, 3 and 4 grown in turn by 17 each.
  EXPECT_EQ(widths, (sheets::ColumnWidths{18, 19, 20, 21}));
  EXPECT_EQ(grid[0], "a" + std::string(17, ' '));
  EXPECT_EQ(grid[3], "dddd" + std::string(17, ' '));
  EXPECT_EQ(grid[4], "title" + std::string(73, ' '));
  EXPECT_EQ(grid[24], "corr" + std::string(53, ' '));
  EXPECT_EQ(grid[27], "x" + std::string(20, ' '));
  EXPECT_TRUE(grid[5].empty());

  // A long cell sets its column; a spanning cell ("q", or a long title) sets none.
  sheets::PrintGrid wide;
  wide[8] = std::string(90, 'p'), wide[9] = "q";
  wide[4] = std::string(200, 't');
  EXPECT_EQ(sheets::LayoutCells(wide, widths), 93);
  EXPECT_EQ(widths, (sheets::ColumnWidths{90, 0, 0, 0}));
  EXPECT_EQ(wide[4].size(), 200u);

  std::string rule;
  sheets::WriteRule(rule, {2, 3, 0, 0}, 2);
  EXPECT_EQ(rule, "+--+---+\n");
}

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
