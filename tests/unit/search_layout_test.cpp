// The search's pure pieces: the order of hits, the printed index's columns, the export's
// fields and the search date.
#include <gtest/gtest.h>

#include "base/encode.h"
#include "search/find.h"
#include "search/results.h"
#include "unit_support.h"

namespace {

using search::FoundList;
using search::FoundSheet;

FoundSheet Hit(std::string name, int status = 0, int sev = 0, std::string title = "") {
  FoundSheet hit;
  hit.name = std::move(name);
  hit.status = status;
  hit.sev = sev;
  hit.title = std::move(title);
  return hit;
}

TEST(SearchOrder, ComparisonsAndStableSort) {
  struct Case {
    std::string sort;
    std::string expected;
  };
  const Case cases[] = {
      {"1", "A B C D "},  // by name
      {"0", "A C D B "},  // status, then severity, then name
      {"4", "B D C A "},  // title only: equal titles keep their order
      {" ", "A B C D "},
  };
  for (const Case& c : cases) {
    FoundList hits = {Hit("B", 2, 1, "a"), Hit("D", 0, 3, "a"), Hit("C", 0, 3, "b"),
                      Hit("A", 0, 1, "c")};
    search::SortFound(hits, search::CompareFor(c.sort));
    std::string names;
    for (const FoundSheet& hit : hits) names += hit.name + " ";
    EXPECT_EQ(names, c.expected) << c.sort;
  }
}

TEST(PrintedIndex, ColumnsFollowTheLongestValues) {
  FoundList hits = {Hit("ABCTGUI.00012", 4, 2, "First"), Hit("AT_.00001", 10, 1, "Second")};
  hits[0].resp = "kolvar";
  hits[1].mdapda = "CR-7";
  hits[1].shownVersion = "1.0";
  EXPECT_EQ(search::FormatPrintIndex(hits, true, true),
            "Index of the 2 reports \n\n"
            "ABCTGUI.00012  2  C             kolvar  First\n"
            "AT_.00001      1  Ab CR-7  1.0          Second\n");
  EXPECT_EQ(search::FormatPrintIndex({}, false, false), "Index of the 0 reports \n\n");
}

TEST(Export, FieldsNeverBreakTheirRow) {
  EXPECT_EQ(base::TsvField("a\tb\nc\rd|e"), "a b c d|e");
  EXPECT_EQ(base::TsvField("\"x\" y"), "\"\"\"x\"\" y\"");
  EXPECT_EQ(base::TsvField("say \"x\""), "say \"x\"");
}

TEST(SearchDate, ReadsLocalTimeOrNothing) {
  unit_test::ScopedEnv tz("TZ", "UTC");
  EXPECT_EQ(search::ParseSearchDate("31/12/1998:12.00.00"), 915105600);
  EXPECT_EQ(search::ParseSearchDate("1/1/1970:00.00.59x"), 59);
  EXPECT_EQ(search::ParseSearchDate("31/12/1998:12.00"), 0);  // shorter than 17
}

}  // namespace
