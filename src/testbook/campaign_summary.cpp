// The campaign summary: every result of a campaign counted per step, module and book, shown as
// one table per module and one for the book, and downloadable as a tab-separated file.
#include <ctime>
#include <string>
#include <vector>

#include "base/encode.h"
#include "base/numbers.h"
#include "base/out.h"
#include "config/language.h"
#include "store/sheet.h"
#include "testbook/campaign_parts.h"
#include "testbook/listing.h"
#include "testbook/names_cache.h"
#include "testbook/pages.h"
#include "testbook/records.h"
#include "web/cookies.h"
#include "web/response.h"

namespace testbook {
namespace {

using config::Msg;

int Percent(int part, int whole) {
  return whole == 0 ? 0 : 100 * part / whole;
}

// The keys of the names of the book directory that begin with `prefix`.
std::vector<std::string> Keys(const DirectoryListing& names, const std::string& prefix) {
  std::vector<std::string> keys;
  for (std::string_view name : names.Matching(prefix))
    keys.emplace_back(name.substr(prefix.size()));
  return keys;
}

// Cell attributes: the cell and its width, its background, its font.
constexpr const char* kNameLeft = "TD WIDTH=50 ALIGN=LEFT ";
constexpr const char* kNameCenter = "TD WIDTH=50 ALIGN=CENTER ";
constexpr const char* kNumberCells[] = {"TD WIDTH=60 ALIGN=CENTER ", "TD WIDTH=60 ALIGN=CENTER ",
                                        "TD WIDTH=50 ALIGN=CENTER ", "TD WIDTH=30 ALIGN=CENTER ",
                                        "TD WIDTH=60 ALIGN=RIGHT ",  "TD WIDTH=50 ALIGN=RIGHT ",
                                        "TD WIDTH=50 ALIGN=RIGHT "};
constexpr const char* kHeadBack = "BGCOLOR=\"#CFCFCF\"";
constexpr const char* kGreyBack = "BGCOLOR=\"#EFEFEF\"";
constexpr const char* kWhiteBack = "BGCOLOR=\"#FFFFFF\"";
constexpr const char* kBlackFont = "FONT COLOR=#000000 FACE=Helvetica";
constexpr const char* kBlueFont = "FONT COLOR=#000080 FACE=Helvetica";
// The book's totals: a green dark enough to read on the grey cells (4.8:1).
constexpr const char* kGreenFont = "FONT COLOR=#007A00 FACE=Helvetica";

void WriteHeadingRow() {
  base::Page("<BR><TABLE BORDER=1 CELLSPACING=0 CELLPADDING=4 WIDTH=100%% BGCOLOR=#000080>\n");
  base::Page("<TR><%s%s><%s><B>%s</B></TD>\n", kNameCenter, kHeadBack, kBlackFont, Msg(1000));
  base::Page("<%s%s><%s><B>%s</B></TD>\n", kNameLeft, kHeadBack, kBlackFont, Msg(1001));
  const int labels[] = {2502, 2503, 2504, 2505};
  for (int i = 0; i < 4; ++i)
    base::Page("<%s%s><%s><B>%s</B></TD>\n", kNumberCells[i], kHeadBack, kBlackFont,
               Msg(labels[i]));
  base::Page("<%s%s><%s><B>%% %s</B></TD>\n", kNumberCells[4], kHeadBack, kBlackFont, Msg(2504));
  base::Page("<%s%s><%s><B>%% %s</B></TD>\n", kNumberCells[5], kHeadBack, kBlackFont, Msg(2505));
  base::Page("<%s%s><%s><B>%% %s</B></TD></TR>\n", kNumberCells[6], kHeadBack, kBlackFont,
             Msg(2517));
}

// The seven numbers of a row, which they end.
void WriteNumbers(const CampaignCounts& c, const char* back, const char* font) {
  const int counts[] = {c.tests, c.applicable, c.executed, c.passed};
  for (int i = 0; i < 4; ++i)
    base::Page("<%s%s><%s>%d</TD>\n", kNumberCells[i], back, font, counts[i]);
  base::Page("<%s%s><%s>%d%%</TD>\n", kNumberCells[4], back, font, c.ExecutedPercent());
  base::Page("<%s%s><%s>%d%%</TD>\n", kNumberCells[5], back, font, c.PassedPercent());
  base::Page("<%s%s><%s>%d%%</TD></TR>\n", kNumberCells[6], back, font, c.SuccessPercent());
}

// The start of a link to the results of a module or a step of the campaign.
std::string ResultsLinkStart(const BookPlace& place, std::string_view campaign) {
  return base::Sprintf("<A HREF=\"%s?%s=%s&%s=%s&%s=%s", base::EscapeHtml(web::ScriptName()), "CMD",
                       "tests", "project", base::EscapeHtml(place.project), "group",
                       EncodeLinkValue(place.group)) +
         base::Sprintf("&%s=%d&%s=%s", "phase", place.phase, "camp", EncodeLinkValue(campaign));
}

void WriteModuleTable(const BookPlace& place, std::string_view campaign,
                      const CampaignCounts& mod) {
  WriteHeadingRow();
  const std::string link = ResultsLinkStart(place, campaign);
  const std::string uid = web::UidSuffix();
  base::Page("<TR><%s%s ROWSPAN=%d><%s><B>", kNameCenter, kGreyBack,
             static_cast<int>(mod.parts.size()) + 1, kBlueFont);
  base::Write(nullptr, link);
  base::Page("&%s=%s&step=+&test=+", "mod", EncodeLinkValue(mod.name));
  base::Page("%s&%s=%d\"> \n", uid, "book", kViewModule);
  base::Page("%s</A></B></TD>\n", base::EscapeHtml(mod.name));
  bool first = true;
  for (const CampaignCounts& step : mod.parts) {
    if (!first) base::Page("<TR>\n");
    first = false;
    base::Page("<%s%s><%s>\n", kNameLeft, kWhiteBack, kBlackFont);
    base::Write(nullptr, link);
    base::Page("&%s=%s", "mod", EncodeLinkValue(mod.name));
    base::Page("&%s=%s&test=+", "step", EncodeLinkValue(step.name));
    base::Page("%s&%s=%d\"> \n", uid, "book", kViewStep);
    base::Page("%s</A></TD>\n", base::EscapeHtml(step.name));
    WriteNumbers(step, kWhiteBack, kBlackFont);
  }
  base::Page("<TR>\n");
  base::Page("<%s%s><%s>&nbsp;</TD>\n", kNameLeft, kGreyBack, kBlueFont);
  WriteNumbers(mod, kGreyBack, kBlueFont);
  base::Page("</TABLE><P>\n");
}

}  // namespace

void CampaignCounts::CountResult(int code) {
  ++tests;
  if (code == kResultNotApplicable) return;
  ++applicable;
  if (code == kResultOk || code == kResultNok) ++executed;
  if (code == kResultOk) ++passed;
}

void CampaignCounts::Add(CampaignCounts part) {
  ++children;
  tests += part.tests;
  applicable += part.applicable;
  executed += part.executed;
  passed += part.passed;
  parts.push_back(std::move(part));
}

int CampaignCounts::ExecutedPercent() const {
  return Percent(executed, applicable);
}
int CampaignCounts::PassedPercent() const {
  return Percent(passed, applicable);
}
int CampaignCounts::SuccessPercent() const {
  return Percent(passed, executed);
}

std::vector<ModuleKeys> BookKeys(const BookPlace& place) {
  const DirectoryListing& names =
      DirectoryNames(BookDirectory(place.project, place.group, place.phase));
  std::vector<ModuleKeys> book;
  for (std::string& mod : Keys(names, "mod.")) {
    ModuleKeys module{std::move(mod), {}};
    for (std::string& step : Keys(names, base::Sprintf("step.%s.", module.mod))) {
      StepKeys keys{std::move(step), {}};
      for (const std::string& test :
           Keys(names, base::Sprintf("test.%s.%s.", module.mod, keys.step)))
        keys.tests.push_back(base::LeadingNumber(test));
      module.steps.push_back(std::move(keys));
    }
    book.push_back(std::move(module));
  }
  return book;
}

CampaignCounts CountCampaign(const BookPlace& place, std::string_view campaign) {
  CampaignCounts book;
  for (const ModuleKeys& module : BookKeys(place)) {
    CampaignCounts mod;
    mod.name = module.mod;
    BookPlace at = place;
    at.mod = module.mod;
    for (const StepKeys& step_keys : module.steps) {
      CampaignCounts step;
      step.name = step_keys.step;
      at.step = step_keys.step;
      for (int number : step_keys.tests) {
        ResultRecord result;
        ReadResult(at.Test(number), campaign, result);
        step.children++;
        step.CountResult(result.code);
      }
      mod.Add(std::move(step));
    }
    book.Add(std::move(mod));
  }
  return book;
}

void CampaignSummary(const BookPlace& place, std::string_view campaign) {
  BookBanner(base::Sprintf("<FONT COLOR=DarkViolet>%s</FONT>", Msg(2506)), place.project,
             place.group, place.phase);
  base::Page("<TABLE BORDER=0 WIDTH=100%%>\n");
  base::Page("<TR><TD ALIGN=LEFT>%s : <B>%s</B></TD>", Msg(2491), base::EscapeHtml(campaign));
  base::Page("<TD ALIGN=RIGHT>%s : %s</TD></TR></TABLE>\n", Msg(2511),
             store::FormatDate(static_cast<long>(std::time(nullptr))));
  base::Page("<P>");
  BookPlace book_place = place;
  book_place.mod = book_place.step = book_place.test = "";
  WriteCampaignLink(book_place, campaign, kExportSummary, kIconSummary);
  base::Page("%s\n", Msg(2023));

  CampaignCounts book = CountCampaign(place, campaign);
  for (const CampaignCounts& mod : book.parts) WriteModuleTable(place, campaign, mod);
  WriteHeadingRow();
  base::Page("<TR><%s%sCOLSPAN=2 ><%s><B>%s</B></TD>\n", kNameLeft, kGreyBack, kGreenFont,
             Msg(2484));
  WriteNumbers(book, kGreyBack, kGreenFont);
  base::Page("</TABLE><P>\n");
}

void ExportSummary(const BookPlace& place, std::string_view campaign) {
  web::ResponseHeader header;
  header.type = "text/tab-separated-values";
  header.disposition =
      "attachment; filename=" + web::QuotedFileName(std::string(campaign) + ".tsv");
  web::WriteResponseHeader(header);
  std::string out = "module\tstep\ttest\tverdict\tdate\tsheets\n";
  for (const ModuleKeys& module : BookKeys(place)) {
    BookPlace at = place;
    at.mod = module.mod;
    for (const StepKeys& step : module.steps) {
      at.step = step.step;
      for (int number : step.tests) {
        ResultRecord result;
        bool given = ReadResult(at.Test(number), campaign, result, false);
        std::string sheets;
        for (const std::string& sheet : result.sheets)
          sheets += (sheets.empty() ? "" : " ") + sheet;
        out += base::TsvField(module.mod) + "\t" + base::TsvField(step.step) + "\t" +
               base::Sprintf("%03d", number) + "\t" + base::TsvField(ResultCodeName(result.code)) +
               "\t" + (given ? store::FormatDate(result.time) : std::string()) + "\t" +
               base::TsvField(sheets) + "\n";
      }
    }
    if (out.size() > 1 << 16) {
      base::Write(nullptr, out);
      out.clear();
    }
  }
  base::Write(nullptr, out);
}

std::vector<TreeModule> BookTree(std::string_view project, std::string_view group, int phase) {
  BookPlace place{std::string(project), std::string(group), phase, {}, {}, {}};
  std::vector<TreeModule> tree;
  for (const ModuleKeys& module : BookKeys(place)) {
    TreeModule mod{module.mod, ModuleTitle(project, group, phase, module.mod), {}};
    place.mod = module.mod;
    for (const StepKeys& step_keys : module.steps) {
      TreeStep step{
          step_keys.step, StepTitle(project, group, phase, module.mod, step_keys.step), {}};
      place.step = step_keys.step;
      for (int number : step_keys.tests) {
        TestRecord test = place.Test(number);
        ReadTest(TestPath(test, number), test);
        step.tests.push_back({number, test.title});
      }
      mod.steps.push_back(std::move(step));
    }
    tree.push_back(std::move(mod));
  }
  return tree;
}

std::vector<std::string> BookCampaigns(std::string_view project, std::string_view group,
                                       int phase) {
  return ListItems(project, group, phase, "C", "test");
}

std::vector<TestVerdict> CampaignVerdicts(std::string_view project, std::string_view group,
                                          int phase, std::string_view campaign) {
  BookPlace place{std::string(project), std::string(group), phase, {}, {}, {}};
  std::vector<TestVerdict> verdicts;
  for (const ModuleKeys& module : BookKeys(place)) {
    place.mod = module.mod;
    for (const StepKeys& step : module.steps) {
      place.step = step.step;
      for (int number : step.tests) {
        TestVerdict verdict{module.mod, step.step, number, false, {}};
        verdict.given = ReadResult(place.Test(number), campaign, verdict.result, false);
        verdicts.push_back(std::move(verdict));
      }
    }
  }
  return verdicts;
}

}  // namespace testbook
