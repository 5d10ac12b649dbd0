// Page 2: the day-by-day table of one statistics file, with the change of every column since
// the line before it.
#include "base/encode.h"
#include "base/files.h"
#include "base/out.h"
#include "config/language.h"
#include "stats/page_parts.h"
#include "stats/stat_line.h"
#include "store/sheet.h"
#include "web/cookies.h"

namespace stats {
namespace {

constexpr std::string_view kHeadAttributes = " WIDTH=40 COLSPAN=2 ALIGN=CENTER ";
constexpr std::string_view kBlack = "<FONT SIZE=2 COLOR=#000000>";
constexpr std::string_view kRed = "<FONT SIZE=2 COLOR=#A00000>";
constexpr std::string_view kGreen = "<FONT SIZE=2 COLOR=#00A000>";

// A change cell: "=", or the signed change; a rise is red where `rise_is_bad`, else green.
void WriteChange(long long now, long long before, bool rise_is_bad) {
  long long change = now - before;
  base::Page("<TD ALIGN=RIGHT>");
  if (change == 0) {
    base::Page("%s=", kBlack);
  } else {
    bool bad = (change > 0) == rise_is_bad;
    base::Page("%s%s", bad ? kRed : kGreen,
               change > 0 ? base::Sprintf("+%lld", change) : base::Sprintf("%lld", change));
  }
  base::Page("</TD>\n");
}

long long Sum(const StatLine& line, int from) {
  long long sum = 0;
  for (int i = from; i < kStatusCount; ++i) sum += line.field[i];
  return sum;
}

void WriteRow(const StatLine& line, const StatLine& before) {
  base::Page("<TR><TD>%s%s</FONT></TD>\n", kBlack, store::FormatDate(line.label));
  for (int i = 0; i < kStatusCount; ++i) {
    base::Page("<TD ALIGN=RIGHT>%s%d</FONT></TD>", kBlack, line.field[i]);
    WriteChange(line.field[i], before.field[i], i < 4);  // more sheets still open: worse
  }
  WriteChange(Sum(line, 0), Sum(before, 0), true);
  WriteChange(Sum(line, 4), Sum(before, 4), false);
  base::Page("</TR>\n");
}

}  // namespace

void WriteHistoryTable(const View& view) {
  base::Page("<H1>%s %s</H1>\n", config::Msg(2476), base::EscapeHtml(view.project));
  OpenViewForm(view, 2);
  WriteProjectSelector(view, base::Sprintf("&%s=%s", "group", "TOTAL"));
  base::Page(" %s : \n", config::Msg(101));
  WriteStatsGroupSelector(view,
                          base::Sprintf("<OPTION VALUE=\"%s?%s=%s&%s=%d%s\">&nbsp\n", Script(),
                                        "CMD", "statS", "statS", 2, web::UidSuffix()),
                          "");
  base::Page("</TD></TR></TABLE></FORM>\n");

  std::string path = ViewFilePath(view);
  base::LineReader reader(path);
  if (path.empty() || !reader.IsOpen()) {
    // A new site: say why there is nothing, and when there will be.
    base::Page("<P>%s\n", config::Msg(2590));
    return;
  }
  base::Page("<TABLE BORDER=1 WIDTH=100%%>\n");
  base::Page("<TR><TD COLSPAN=25 ALIGN=CENTER><B>%s</B></TD></TR>\n",
             base::EscapeHtml(view.project + "." + view.GroupOrTotal()));
  base::Page("<TR><TH WIDTH=100>Date</TH>\n");
  for (int code : kStatusFileOrder)
    base::Page("<TH %s>%s</TH>\n", kHeadAttributes, store::GetStatusCode(code));
  base::Page("<TH %s>&Sigma;</TH></TR>\n", kHeadAttributes);
  StatLine before, line;
  for (std::string text; reader.Next(text);) {
    if (!ParseStatLine(text, line)) continue;
    WriteRow(line, before);
    before = line;
  }
  base::Page("<TR><TH WIDTH=100>Total</TH>\n");
  for (int value : before.field) base::Page("<TD COLSPAN=2 ALIGN=CENTER>%d</TD>\n", value);
  base::Page("<TD COLSPAN=2 ALIGN=CENTER>%lld</TD></TR>\n", Sum(before, 0));
  base::Page("</TABLE>\n");
}

}  // namespace stats
