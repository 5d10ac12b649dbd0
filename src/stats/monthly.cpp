// Page 4: per month, the sheets created, closed without correction, corrected and verified,
// with the working days each correction and verification took; or, in detail, one row per
// sheet.
#include <ctime>
#include <map>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/encode.h"
#include "base/out.h"
#include "config/labels.h"
#include "config/language.h"
#include "config/projects.h"
#include "stats/page_parts.h"
#include "store/store.h"
#include "web/cookies.h"

namespace stats {
namespace {

using config::Msg;

// Working days and how many sheets took them, in the order first met.
using Histogram = std::vector<std::pair<int, int>>;

struct Month {
  int created = 0;
  int closed_unfixed = 0;
  int corrected = 0;
  int verified = 0;
  Histogram to_correction;
  Histogram to_verification;
};

struct Detail {
  std::string name;
  int created = 0;
  int status = 0;
  int sev = 0;
  int days = 0;         // open days (status 0-3) or days to correction
  int verify_days = 0;  // status 5
};

void AddSample(Histogram& histogram, int days) {
  for (auto& [d, count] : histogram) {
    if (d == days) {
      ++count;
      return;
    }
  }
  histogram.emplace_back(days, 1);
}

// (year, month) of a time in local time.
std::pair<int, int> MonthOf(long time) {
  std::time_t t = static_cast<std::time_t>(time);
  std::tm tm{};
  localtime_r(&t, &tm);
  return {tm.tm_year + 1900, tm.tm_mon + 1};
}

// The time a verified sheet counts as corrected: its correction, or its verification when
// no correction date was recorded.
long CorrectionTime(const store::FactSheet& s) {
  return s.corrDate ? s.corrDate : s.verDate;
}

void WriteForm(const View& view) {
  const std::string script = Script();
  const std::string uid = web::UidSuffix();
  const std::string project = LinkValue(view.project);
  const std::string group = LinkValue(view.group);
  base::Page("<FORM METHOD=GET NAME=NavForm  ACTION=\"%s\">\n", script);
  WriteUidField();
  base::Page("<TABLE WIDTH=100%% BORDER=0><TR><TD ALIGN=RIGHT> %s : \n", Msg(100));
  WriteProjectSelector(view, base::Sprintf("&%s=%s", "group", "TOTAL"));
  base::Page(" %s : \n", Msg(101));
  WriteStatsGroupSelector(view,
                          base::Sprintf("<OPTION VALUE=\"%s?%s=%s&%s=%d&%s=%s%s\">&nbsp\n", script,
                                        "CMD", "statS", "statS", 4, "project", project, uid),
                          "");
  bool detail = !web::IsAbsent(web::GetParam(view.list, "text"));
  base::Page(" %s : \n", Msg(2112));
  base::Page("<SELECT NAME=%s ARIA-LABEL=\"%s\" onChange=", "DET", base::EscapeHtml(Msg(2112)));
  base::Page(" \"changePage(this.options[this.selectedIndex].value,%s)\" >\n", "DET");
  base::Page("<OPTION %s VALUE=\"%s?%s=%s&%s=%d&%s=%s&%s=%s%s\">OFF\n", detail ? "" : " SELECTED ",
             script, "CMD", "statS", "statS", 4, "project", project, "group", group, uid);
  base::Page("<OPTION %s VALUE=\"%s?%s=%s&%s=%d&%s=%s&%s=%s&%s=%s%s\">ON\n",
             detail ? " SELECTED " : "", script, "CMD", "statS", "statS", 4, "project", project,
             "group", group, "text", "ON", uid);
  base::Page("</SELECT>\n");
  base::Page("</TD>\n");
  base::Page("</TR></TABLE></FORM>\n");
}

void WriteHistogramCell(int count, const Histogram& histogram, bool corrected) {
  if (count == 0) {
    base::Page(corrected ? "<TD COLSPAN=2 ALIGN=CENTER>0</TD>\n"
                         : "<TD COLSPAN=2 ALIGN=CENTER>0\n");
    return;
  }
  base::Page(corrected ? "<TD ALIGN=CENTER>%d</TD><TD ALIGN=CENTER>\n"
                       : "<TD ALIGN=CENTER>%d</TD><TD ALIGN=CENTER>",
             count);
  for (auto [days, n] : histogram) base::Page("%d in %d days<BR>\n", n, days);
  if (corrected) base::Page("</TD>");
}

void WriteMonths(const std::map<std::pair<int, int>, Month>& months) {
  base::Page("<TABLE CELLSPACING=0 BORDER=1 CELLPADDING=0 WIDTH=100%%>\n");
  base::Page("<TR><TH >%s</TH>\n", Msg(2481));
  base::Page("<TH >%s</TH>\n", Msg(2482));
  base::Page("<TH >%s</TH>\n", Msg(2483));
  base::Page("<TH COLSPAN=2>%s</TH>\n", Msg(204));
  base::Page("<TH COLSPAN=2>%s</TH></TR>\n", Msg(2485));
  for (const auto& [when, m] : months) {
    base::Page("<TR><TD ALIGN=CENTER>%2d/%4d</TD>\n", when.second, when.first);
    base::Page("<TD ALIGN=CENTER>%d</TD>\n", m.created);
    base::Page("<TD ALIGN=CENTER>%d</TD>\n", m.closed_unfixed);
    WriteHistogramCell(m.corrected, m.to_correction, true);
    WriteHistogramCell(m.verified, m.to_verification, false);
    base::Page("</TD></TR>\n");
  }
  base::Page("</TABLE>\n");
}

void WriteDetails(std::vector<Detail>& details) {
  std::stable_sort(details.begin(), details.end(),
                   [](const Detail& a, const Detail& b) { return a.name < b.name; });
  const std::string script = Script();
  const std::string uid = web::UidSuffix();
  base::Page("<TABLE CELLSPACING=0 BORDER=1 CELLPADDING=0 WIDTH=100%%>\n");
  base::Page("<TR><TH >Bug</TH><TH >%s</TH>\n", Msg(119));
  for (int n : {2477, 211, 204}) base::Page("<TH >%s</TH>\n", Msg(n));
  base::Page("<TH >%s</TH></TR>\n", Msg(2485));
  for (const Detail& d : details) {
    base::Page("<TR><TD ALIGN=CENTER><A HREF=%s?%s=%s%s>%s</A></TD>\n", script, "Num",
               LinkValue(d.name), uid, base::EscapeHtml(d.name));
    base::Page("<TD ALIGN=CENTER>%s</TD>\n", store::GetStatusLabel(d.status));
    base::Page("<TD ALIGN=CENTER>%s</TD>\n", config::GetSeverityLabel(d.sev));
    base::Page("<TD ALIGN=CENTER>%s</TD>\n", store::FormatDate(d.created).substr(0, 10));
    base::Page("<TD ALIGN=CENTER>");
    if (d.status <= store::kOpen) base::Page("+");
    base::Page("%d</TD>\n", d.days);
    if (d.status == store::kVerified)
      base::Page("<TD ALIGN=CENTER>%d</TD></TR>\n", d.verify_days);
    else
      base::Page("<TD>&nbsp</TD></TR>\n");
  }
  base::Page("</TABLE>\n");
}

}  // namespace

void WriteMonthly(const View& view) {
  base::Page("<H1>%s %s</H1>\n", Msg(2486), base::EscapeHtml(view.project));
  WriteForm(view);
  if (!view.HasProject() || !view.HasGroup()) return;
  const bool filtered = view.group != "TOTAL";
  const bool detail = !web::IsAbsent(web::GetParam(view.list, "text"));
  const long now = static_cast<long>(std::time(nullptr));

  std::unordered_map<std::string, std::string> codes;  // sub-project name -> code
  std::map<std::pair<int, int>, Month> months;
  std::vector<Detail> details;
  WalkIndex([&](const store::FactSheet& s) {
    if (s.project != view.project) return;
    if (filtered) {
      auto code = codes.find(s.group);
      if (code == codes.end())
        code = codes.emplace(s.group, config::GetSubprojectCode(s.project, s.group)).first;
      if (base::Sprintf("%c%s", config::GetPhaseLetter(s.phase), code->second) != view.group)
        return;
    }
    if (detail) {
      Detail& d = details.emplace_back();
      d.name = store::GetSheetName(s);
      d.created = s.created;
      d.status = s.status >= 0 && s.status <= store::kAbandoned ? s.status : 0;
      d.sev = s.sev;
      if (d.status == store::kVerified) {
        d.verify_days = store::CountWorkingDays(s.created, s.verDate);
        d.days = store::CountWorkingDays(s.created, CorrectionTime(s));
      } else if (d.status == store::kCorrected) {
        d.days = store::CountWorkingDays(s.created, s.corrDate);
      } else if (d.status <= store::kOpen) {
        d.days = store::CountWorkingDays(s.created, now);
      }
      return;
    }
    Month& created = months[MonthOf(s.created)];
    ++created.created;
    if (s.status >= store::kDuplicate && s.status <= store::kAbandoned) ++created.closed_unfixed;
    if (s.status == store::kVerified) {
      Month& verified = months[MonthOf(s.verDate)];
      ++verified.verified;
      AddSample(verified.to_verification, store::CountWorkingDays(s.created, s.verDate));
      Month& corrected = months[MonthOf(CorrectionTime(s))];
      ++corrected.corrected;
      AddSample(corrected.to_correction, store::CountWorkingDays(s.created, CorrectionTime(s)));
    } else if (s.status == store::kCorrected) {
      Month& corrected = months[MonthOf(s.corrDate)];
      ++corrected.corrected;
      AddSample(corrected.to_correction, store::CountWorkingDays(s.created, s.corrDate));
    }
  });
  if (months.empty() && details.empty())
    base::Page("<P>%s\n", Msg(kNoSheetsYet));
  else if (detail)
    WriteDetails(details);
  else
    WriteMonths(months);
}

}  // namespace stats
