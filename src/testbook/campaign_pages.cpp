// The campaign pages (CMD=tests): the navigator, the creation of a campaign, the results of a
// step, a module or the whole book, the result form and its save, and the dispatch to the
// summary, its download and the printed reports.
#include <algorithm>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "base/encode.h"
#include "base/files.h"
#include "base/numbers.h"
#include "base/out.h"
#include "config/debug.h"
#include "config/labels.h"
#include "config/language.h"
#include "config/main_config.h"
#include "config/options.h"
#include "store/store.h"
#include "testbook/book_print.h"
#include "testbook/campaign_parts.h"
#include "testbook/guard.h"
#include "testbook/listing.h"
#include "testbook/names_cache.h"
#include "testbook/pages.h"
#include "testbook/records.h"
#include "users/user_context.h"
#include "web/cookies.h"
#include "web/identity.h"
#include "web/page.h"
#include "web/response.h"

namespace testbook {
namespace {

using config::Msg;

constexpr size_t kMinReference = 7;

struct CampaignAction {
  int action;
  bool mod;
  bool step;
  bool test;
  bool campaign;  // needs an existing campaign's name
  bool change;    // stores: only for the book's project members
};

constexpr CampaignAction kActions[] = {
    {kViewModule, true, false, false, true, false},
    {kPrintModule, true, false, false, true, false},
    {kViewStep, true, true, false, true, false},
    {kPrintStep, true, true, false, true, false},
    {kViewBook, false, false, false, true, false},
    {kPrintBook, false, false, false, true, false},
    {kNewCampaignForm, false, false, false, false, false},
    {kCreateCampaign, false, false, false, false, true},
    {kCampaignSummary, false, false, false, true, false},
    {kResultForm, true, true, true, true, false},
    {kSaveResult, true, true, true, true, true},
    {kExportSummary, false, false, false, true, false},
    {kVerdictsForm, false, false, false, true, false},
    {kSaveVerdicts, false, false, false, true, true},
};

const CampaignAction* FindCampaignAction(const web::ParamList& list) {
  const std::string& book = web::GetParam(list, "book");
  if (web::IsAbsent(book)) return nullptr;
  int action = web::GetParamInt(list, "book");
  for (const CampaignAction& a : kActions)
    if (a.action == action) return &a;
  return nullptr;
}

using web::FieldValue;

void WriteHidden(std::string_view name, std::string_view value) {
  base::Page("<INPUT TYPE=\"hidden\" NAME=\"%s\" VALUE=\"%s\">\n", name, base::EscapeHtml(value));
}

// The hidden fields of a campaign form: CMD, project, group, phase and, when set, Uid.
void WriteCampaignFormPlace(const BookPlace& place) {
  WriteHidden("CMD", "tests");
  WriteHidden("project", place.project);
  WriteHidden("group", place.group);
  WriteHidden("phase", base::Sprintf("%d", place.phase));
  const std::string& uid = web::GetCurrentUid();
  if (!uid.empty() && uid.front() != ' ') WriteHidden("Uid", uid);
}

std::string ScriptName() {
  return base::EscapeHtml(web::ScriptName());
}

// --- Navigator ---------------------------------------------------------------------------

void WriteCampaignRows(const BookPlace& place, const std::string& campaign) {
  base::Page("<TR><TD><P>\n");
  base::Page("<B>%s</B>\n", Msg(1038));
  base::Page("<TABLE border=0>\n");
  base::Page("<TR><TD><UL><LI> %s : </LI></UL></TD><TD>\n", Msg(1039));
  base::Page("</TD><TD>\n");
  WriteCampaignLink(place, campaign, kViewBook, kIconView);
  WriteCampaignLink(place, campaign, kPrintBook, kIconPrint);
  WriteCampaignLink(place, campaign, kCampaignSummary, kIconSummary);
  WriteCampaignLink(place, campaign, kVerdictsForm, kIconEdit);
  base::Page("</TD></TR>\n");

  base::Page("<TR><TD><UL><LI> %s : </LI></UL></TD><TD>\n", Msg(1000));
  WriteItemSelector(ListItems(place.project, place.group, place.phase, "mod"), place.mod, 1);
  base::Page("</TD><TD>\n");
  if (place.HasMod() && IsSafeIdentifier(place.mod)) {
    WriteCampaignLink(place, campaign, kViewModule, kIconView);
    WriteCampaignLink(place, campaign, kPrintModule, kIconPrint);
    base::Page("</TD></TR>\n");
    base::Page("<TR><TD><UL><LI> %s : </LI></UL></TD><TD>\n", Msg(1001));
    WriteItemSelector(ListItems(place.project, place.group, place.phase,
                                base::Sprintf("%s.%s", "step", place.mod)),
                      place.step, 2);
    base::Page("</TD><TD>\n");
    if (place.HasStep() && IsSafeIdentifier(place.step)) {
      WriteCampaignLink(place, campaign, kViewStep, kIconView);
      WriteCampaignLink(place, campaign, kPrintStep, kIconPrint);
    }
  }
  base::Page("</TD></TR></TABLE>\n");
  base::Page("<P></TD></TR>\n");
}

void WriteCampaignNavigator(web::ParamList& list) {
  std::string requested = FieldValue(list, "camp");
  BookPlace place;
  if (WriteNavigatorTop(list, "tests", 2490, &requested, place) && place.phase >= 0) {
    std::vector<std::string> campaigns =
        ListItems(place.project, place.group, place.phase, "C", "test");
    std::string selected;
    if (!campaigns.empty()) {
      selected = std::find(campaigns.begin(), campaigns.end(), requested) != campaigns.end()
                     ? requested
                     : campaigns.back();
    }
    base::Page("<TABLE border=0 WIDTH=100%%>\n");
    base::Page("<TR><TD ALIGN=RIGHT WIDTH=70%%>\n");
    base::Page("%s : ", Msg(2491));
    if (!campaigns.empty()) {
      base::Page("\n<SELECT NAME=CMENU ARIA-LABEL=\"%s\" onChange=", base::EscapeHtml(Msg(2491)));
      base::Page(" \"changePage2(this.options[this.selectedIndex].value,4)\" >\n");
      for (const std::string& name : campaigns) {
        base::Page("<OPTION ");
        if (name == selected) base::Page("SELECTED ");
        base::Page("VALUE=\"%s\">%s\n", EncodeLinkValue(name), base::EscapeHtml(name));
      }
      base::Page("</SELECT>\n");
    }
    base::Page("</TD><TD>\n");
    WriteCampaignLink(place, selected, kNewCampaignForm, kIconNew);
    base::Page("<P></TD></TR></TABLE>\n");
    base::Page("<P></TD></TR>\n");
    if (!selected.empty()) WriteCampaignRows(place, selected);
  }
  WriteNavigatorEnd();
}

// --- Creation ----------------------------------------------------------------------------

void WriteNewCampaignForm(const BookPlace& place) {
  BookBanner(Msg(2492), place.project, place.group, place.phase);
  base::Page("<FORM METHOD=GET ACTION=\"%s\">\n", ScriptName());
  WriteCampaignFormPlace(place);
  WriteHidden("book", base::Sprintf("%d", kCreateCampaign));
  base::Page("<TABLE BORDER=1 ><TR>\n");
  base::Page("<TD>%s : <INPUT SIZE=50 NAME=\"%s\" ID=camp VALUE=\"%s\" ></TD>\n",
             web::LabelFor("camp", Msg(2493)), "camp",
             DefaultCampaignName(static_cast<long>(std::time(nullptr))));
  base::Page("<TD><inPUT TYPE=\"submit\" VALUE=\"OK\">\n");
  base::Page("</TD></TR>\n");
  base::Page("</TABLE>\n");
  base::Page("</FORM>\n");
}

void CreateCampaign(web::ParamList& list, const BookPlace& place) {
  std::string name = CheckedCampaignName(FieldValue(list, "camp"));
  if (name.empty()) return web::ErrorBox(config::kMsgFieldMissing);
  std::string path = CampaignDirectory(place.project, place.group, place.phase, name);
  if (!MakeDirectories(path)) return web::ErrorBoxArg(config::kMsgCannotOpen, path);
  web::MarkStored();
  ForgetListings();
  web::AddParam(list, "camp", name);
  WriteCampaignNavigator(list);
  config::DebugPage("<! In theory, created %s>\n", base::EscapeHtml(path));
}

// --- Results -----------------------------------------------------------------------------

std::string TestPrefix(const BookPlace& place) {
  return base::Sprintf("%s.%s.%s", "test", place.mod, place.step);
}

std::string SheetStatus(const std::string& reference) {
  std::optional<store::FactSheet> sheet = store::ReadSheet(reference);
  return sheet ? std::string(store::GetStatusCode(sheet->status)) : std::string("?");
}

void WriteResultRow(const BookPlace& place, std::string_view campaign, const TestRecord& test,
                    const ResultRecord& result) {
  const std::string uid = web::UidSuffix();
  std::string out = "<TR><TD>";
  out += base::Sprintf("<A HREF=\"%s?%s=%s&%s=%s&%s=%s&%s=%d&%s=%s&%s=%s&%s=%03d", ScriptName(),
                       "CMD", "book", "project", base::EscapeHtml(place.project), "group",
                       EncodeLinkValue(place.group), "phase", place.phase, "mod",
                       EncodeLinkValue(place.mod), "step", EncodeLinkValue(place.step), "test",
                       test.number);
  out += base::Sprintf("%s&%s=%d\"> \n", uid, "book", kViewTest);
  out += base::Sprintf("%03d</A></TD>\n", test.number);
  out += base::Sprintf("<TD>%s</TD>\n", base::EscapeHtml(test.title));
  out += "<TD ALIGN=CENTER>";
  out += base::Sprintf("<A HREF=\"%s?%s=%s&%s=%s&%s=%s&%s=%d&%s=%s&%s=%s", ScriptName(), "CMD",
                       "tests", "project", base::EscapeHtml(place.project), "group",
                       EncodeLinkValue(place.group), "phase", place.phase, "mod",
                       EncodeLinkValue(place.mod), "step", EncodeLinkValue(place.step));
  out += base::Sprintf("&%s=%s&%s=%03d", "camp", EncodeLinkValue(campaign), "test", test.number);
  out += base::Sprintf("%s&%s=%d\"> \n", uid, "book", kResultForm);
  out += base::Sprintf("%s</A></TD>\n", ResultCodeName(result.code));
  out += base::Sprintf("<TD ALIGN=CENTER>%s</TD>\n", base::EscapeHtml(result.tester));
  out += base::Sprintf("<TD ALIGN=CENTER>%s</TD>\n", base::EscapeHtml(result.date));
  out += "<TD>";
  // A sheet that moved since the result named it is shown under its current name.
  std::vector<std::string> sheets;
  for (const std::string& named : result.sheets)
    sheets.push_back(store::ResolveName(named).value_or(named));
  for (size_t i = 0; i < sheets.size(); ++i) {
    if (i > 0) out += "<BR>\n";
    out += base::Sprintf("<A HREF=\"%s?%s=%s%s\">", ScriptName(), "Num", EncodeLinkValue(sheets[i]),
                         uid);
    out += base::EscapeHtml(sheets[i]) + "</A>";
  }
  out += "&nbsp;</TD>\n<TD ALIGN=CENTER>";
  for (size_t i = 0; i < sheets.size(); ++i) {
    if (i > 0) out += "<BR>\n";
    out += base::EscapeHtml(SheetStatus(sheets[i]));
  }
  out += "&nbsp;</TD></TR>\n";
  base::Write(nullptr, out);
}

void ShowStepResults(const BookPlace& place, std::string_view campaign, bool embedded) {
  if (!embedded) {
    BookBanner(
        base::Sprintf(
            "<FONT COLOR=DarkSlateBlue>%s : %s: %s</FONT>", Msg(1000), base::EscapeHtml(place.mod),
            base::EscapeHtml(ModuleTitle(place.project, place.group, place.phase, place.mod))),
        place.project, place.group, place.phase);
  }
  base::Page("<FONT COLOR=DarkOliveGreen SIZE=+3><B>");
  base::Page(
      "%s : %s </B>: %s</FONT><P>\n", Msg(1001), base::EscapeHtml(place.step),
      base::EscapeHtml(StepTitle(place.project, place.group, place.phase, place.mod, place.step)));
  base::Page("<TABLE BORDER=1 WIDTH=100%%>\n");
  base::Page("<TR><TH>Tst#</TH>\n");
  base::Page("<TH WIDTH=80%%>%s</TH>\n", Msg(106));
  for (int label : {2495, 2496, 2511, 2497}) base::Page("<TH>%s</TH>\n", Msg(label));
  base::Page("<TH>%s</TH><TR>\n", Msg(119));
  std::string directory = BookDirectory(place.project, place.group, place.phase);
  std::string prefix = TestPrefix(place);
  for (const std::string& key : ListItemsIn(directory, prefix)) {
    TestRecord test = place.Test(base::LeadingNumber(key));
    if (!ReadTest(base::Sprintf("%s%s.%s", directory, prefix, key), test)) continue;
    ResultRecord result;
    ReadResult(test, campaign, result);
    WriteResultRow(place, campaign, test, result);
  }
  base::Page("</TABLE><BR><BR>\n");
}

void ShowModuleResults(const BookPlace& place, std::string_view campaign, bool embedded) {
  if (!embedded) BookBanner("", place.project, place.group, place.phase);
  base::Page("<FONT COLOR=DarkSlateBlue SIZE=+3><B>");
  base::Page("%s : %s</B>: %s</FONT><P>\n", Msg(1000), base::EscapeHtml(place.mod),
             base::EscapeHtml(ModuleTitle(place.project, place.group, place.phase, place.mod)));
  BookPlace step_place = place;
  for (const std::string& step : ListItems(place.project, place.group, place.phase,
                                           base::Sprintf("%s.%s", "step", place.mod))) {
    step_place.step = step;
    ShowStepResults(step_place, campaign, true);
  }
}

void ShowBookResults(const BookPlace& place, std::string_view campaign) {
  BookBanner(base::Sprintf("<FONT COLOR=DarkViolet>%s</FONT>", Msg(2494)), place.project,
             place.group, place.phase);
  BookPlace mod_place = place;
  for (const std::string& mod : ListItems(place.project, place.group, place.phase, "mod")) {
    mod_place.mod = mod;
    ShowModuleResults(mod_place, campaign, true);
  }
}

// --- Result form and save ----------------------------------------------------------------

void WriteResultForm(const BookPlace& place, const std::string& campaign) {
  TestRecord test = place.Test(base::LeadingNumber(place.test));
  ReadTest(TestPath(test, test.number), test);
  ResultRecord result;
  if (!ReadResult(test, campaign, result)) {
    result.tester = users::GetUserName();
    // Nothing was tested yet: the verdict proposed says so.
    result.code = kResultNotTested;
    result.time = static_cast<long>(std::time(nullptr));
    result.version = " ";
  }
  BookBanner(base::Sprintf("%s : %s, %s : %s", Msg(1000), base::EscapeHtml(place.mod), Msg(1001),
                           base::EscapeHtml(place.step)),
             place.project, place.group, place.phase);
  base::Page("<FORM METHOD=POST ACTION=\"%s\">\n", ScriptName());
  WriteCampaignFormPlace(place);
  WriteHidden("mod", place.mod);
  WriteHidden("step", place.step);
  WriteHidden("test", base::Sprintf("%03d", test.number));
  WriteHidden("camp", campaign);
  WriteHidden("book", base::Sprintf("%d", kSaveResult));
  base::Page("<TABLE BORDER=1 FGCOLOR=BLACK WIDTH=100%%>\n");
  base::Page("<TR><TD COLSPAN=3>\n");
  base::Page("<TABLE BORDER=0 WIDTH=100%%>");
  base::Page("<TR><TD WIDTH=5><B>%03d</B></TD>\n", test.number);
  base::Page("<TD ALIGN=CENTER><FONT SIZE=+1 COLOR=DARKBLUE>");
  base::Page("<B>%s</B></FONT></TD></TR>\n", base::EscapeHtml(test.title));
  base::Page("</TABLE>\n");
  base::Page("</TD></TR>\n");

  base::Page("<TR><TD ALIGN=CENTER> %s \n", web::LabelFor("submitter", Msg(2499)));
  base::Page("<SELECT NAME=\"%s\" ID=submitter>\n", "submitter");
  base::Page("<OPTION >&nbsp\n");
  config::WriteUserOptions(nullptr, place.project, result.tester);
  base::Page("</SELECT>\n");
  base::Page("</TD>\n");
  base::Page("<TD ALIGN=CENTER> %s \n", web::LabelFor("version", Msg(110)));
  base::Page("<SELECT NAME=\"%s\" ID=version>\n", "version");
  base::Page("<OPTION>&nbsp\n");
  config::WriteProjectFileOptions(nullptr, place.project, "version", result.version);
  base::Page("</SELECT>\n");
  base::Page("<TD ALIGN=CENTER> %s \n", web::LabelFor("res", Msg(2495)));
  base::Page("<SELECT NAME=\"%s\" ID=res>\n", "res");
  for (int code = 0; !ResultCodeName(code).empty(); ++code) {
    base::Page("<OPTION ");
    if (code == result.code) base::Page("SELECTED ");
    base::Page("VALUE=%d> %s\n", code, ResultCodeName(code));
  }
  base::Page("</SELECT>\n");
  base::Page("</TD></TR>\n");

  base::Page("<TR><TD ALIGN=CENTER COLSPAN=2> %s: %s\n", Msg(2511), store::FormatDate(result.time));
  base::Page("</TD><TD ALIGN=CENTER>\n");
  base::Page("<inPUT TYPE=\"submit\" VALUE=\"OK\">\n");
  base::Page("</TD></TR>\n");

  base::Page("<TR><TD COLSPAN=3>%s:<BR>\n", web::LabelFor("text", Msg(2500)));
  base::Page("<TEXTAREA NAME=%s ID=text ROWS=5 COLS=70>\n", "text");
  base::Page("%s\n</TEXTAREA></TD></TR>\n", base::EscapeHtml(result.comment));

  base::Page("<TR><TD COLSPAN=3>%s:\n", web::LabelFor("fft", Msg(2501)));
  base::Page("<TABLE BORDER=0><TR><TD WIDTH=5%%>\n");
  base::Page("<A HREF=\"%s?%s=%s&%s=%s&%s=%s&%s=%d%s\">\n", ScriptName(), "CMD", "create",
             "project", base::EscapeHtml(place.project), "group", EncodeLinkValue(place.group),
             "phase", place.phase, web::UidSuffix());
  base::Page("<IMG BORDER=0 SRC=%s/newbt.gif ALT=\"%s\"></A>\n", config::GetImageDir(), Msg(2001));
  base::Page("</TD>\n");
  base::Page("<TD><TEXTAREA NAME=%s ID=fft ROWS=2 COLS=60>\n", "fft");
  for (const std::string& sheet : result.sheets) base::Page("%s ", base::EscapeHtml(sheet));
  base::Page("</TEXTAREA></TD></TR>\n");
  base::Page("</TABLE></TD></TR>\n");

  base::Page("<TR><TD COLSPAN=3><PRE>\n");
  base::Write(nullptr, base::EscapeHtml(result.history));
  base::Page("</PRE></TD></TR>\n");
  base::Page("</TABLE></FORM>\n");
  ShowTest(test);
}

// Gives the result a verdict from `tester` at `time` and adds the line that tells of it to
// the result's history; the journal's message comes back.
std::string RecordVerdict(ResultRecord& result, const std::string& tester,
                          const std::string& version, int code, long time) {
  result.tester = tester;
  result.time = time;
  result.date.clear();
  result.version = version;
  result.code = code;
  std::string_view change = result.history.empty() ? "Created" : "Changed";
  std::string message = base::Sprintf("Test %s by %s (%s)", change, tester, ResultCodeName(code));
  result.history += base::Sprintf("%s %s\n", store::FormatDate(result.time), message);
  return message;
}

// The page of a stored result: the way back to the campaign navigator and the results of
// the test's step.
void ShowSavedResult(const BookPlace& place, const std::string& campaign) {
  BookPlace back = place;
  back.test = "";
  WriteCampaignLink(back, campaign, -1, kIconBack);
  ShowStepResults(place, campaign, false);
}

void SaveResult(const web::ParamList& list, const BookPlace& place, const std::string& campaign,
                bool done) {
  if (done) return ShowSavedResult(place, campaign);
  std::string submitter = FieldValue(list, "submitter");
  std::string version = FieldValue(list, "version");
  const std::string& res = web::GetParam(list, "res");
  int code = web::IsAbsent(res) ? -1 : web::GetParamInt(list, "res");
  // A tester is always needed, a version for a verdict given, and a verdict of the table.
  if (submitter.empty() || code < 0 || code >= kResultCodes ||
      (version.empty() && code != kResultNotTested && code != kResultNotApplicable)) {
    base::Page("<Font color=red><H1>Error</H1>\n");
    base::Page("<P>Please fill in the blanks<P></font>\n");
    return;
  }
  TestRecord test = place.Test(base::LeadingNumber(place.test));
  if (!ReadTest(TestPath(test, test.number), test)) return web::ErrorBox(config::kMsgFieldMissing);
  std::string comment = FieldValue(list, "text");
  while (!comment.empty() && (comment.back() == '\n' || comment.back() == '\r')) comment.pop_back();
  std::vector<std::string> sheets = ParseSheetReferences(FieldValue(list, "fft"));
  // The history is extended from the stored result as it is when this one is stored, so a
  // verdict another tester stored meanwhile stays in it.
  std::string message;
  const long time = static_cast<long>(std::time(nullptr));
  auto change = [&](ResultRecord& result) {
    message = RecordVerdict(result, submitter, version, code, time);
    result.comment = comment;
    result.sheets = sheets;
  };
  // The result first: a journal line never tells of a result that was not stored.
  if (!base::IsDirectory(CampaignDirectory(place.project, place.group, place.phase, campaign)) ||
      !UpdateResult(test, campaign, change))
    return web::ErrorBoxArg(config::kMsgCannotOpen, ResultPath(test, campaign));
  AppendJournal(test, message, time);
  web::MarkStored();
  ShowSavedResult(place, campaign);
}

// --- Verdicts of the whole book on one page ----------------------------------------------

// A test of the book as the verdicts form names it: "module.step.number" (identifiers never
// hold a dot).
struct BookTest {
  std::string mod;
  std::string step;
  int number = 0;
};

std::optional<BookTest> ParseBookTest(std::string_view key) {
  size_t first = key.find('.');
  size_t second = first == std::string_view::npos ? first : key.find('.', first + 1);
  if (second == std::string_view::npos) return std::nullopt;
  BookTest test{std::string(key.substr(0, first)),
                std::string(key.substr(first + 1, second - first - 1)), 0};
  std::string_view number = key.substr(second + 1);
  if (!IsSafeIdentifier(test.mod) || !IsSafeIdentifier(test.step) || number.empty() ||
      number.size() > 6 || number.find_first_not_of("0123456789") != std::string_view::npos)
    return std::nullopt;
  test.number = base::LeadingNumber(number);
  return test;
}

void WriteVerdictSelect(std::string_view name, int code, std::string_view label) {
  base::Page("<SELECT NAME=\"%s\" ARIA-LABEL=\"%s\">\n", name, label);
  for (int c = 0; !ResultCodeName(c).empty(); ++c) {
    base::Page("<OPTION ");
    if (c == code) base::Page("SELECTED ");
    base::Page("VALUE=%d> %s\n", c, ResultCodeName(c));
  }
  base::Page("</SELECT>\n");
}

// Every test of the book, module by module and step by step, with its verdict in the
// campaign ready to be changed: a test without result shows NT. Each row carries the test it
// is for and the verdict shown, so that only what the tester changes is recorded.
void WriteVerdictsForm(const BookPlace& place, const std::string& campaign) {
  BookBanner(base::Sprintf("<FONT COLOR=DarkViolet>%s</FONT>", Msg(2494)), place.project,
             place.group, place.phase);
  BookPlace back = place;
  back.mod = back.step = back.test = "";
  WriteCampaignLink(back, campaign, -1, kIconBack);
  base::Page("<P>%s : <B>%s</B></P>\n", Msg(2491), base::EscapeHtml(campaign));
  base::Page("<FORM METHOD=POST ACTION=\"%s\">\n", ScriptName());
  WriteCampaignFormPlace(place);
  WriteHidden("camp", campaign);
  WriteHidden("book", base::Sprintf("%d", kSaveVerdicts));
  base::Page("<P><LABEL FOR=\"submitter\">%s</LABEL>\n", Msg(2499));
  base::Page("<SELECT NAME=\"submitter\" ID=\"submitter\">\n<OPTION >&nbsp\n");
  config::WriteUserOptions(nullptr, place.project, users::GetUserName());
  base::Page("</SELECT>\n");
  base::Page("<LABEL FOR=\"version\">%s</LABEL>\n", Msg(110));
  base::Page("<SELECT NAME=\"version\" ID=\"version\">\n<OPTION>&nbsp\n");
  config::WriteProjectFileOptions(nullptr, place.project, "version", "");
  base::Page("</SELECT>\n");
  base::Page("<inPUT TYPE=\"submit\" VALUE=\"OK\"></P>\n");
  base::Page("<TABLE BORDER=1 WIDTH=100%%>\n");
  base::Page("<TR><TH>Tst#</TH><TH>%s</TH><TH>%s</TH><TH>%s</TH><TH>%s</TH></TR>\n", Msg(106),
             Msg(2495), Msg(2496), Msg(2511));
  const std::string directory = BookDirectory(place.project, place.group, place.phase);
  int row = 0;
  BookPlace at = place;
  for (const std::string& mod : ListItems(place.project, place.group, place.phase, "mod")) {
    if (!IsSafeIdentifier(mod)) continue;
    at.mod = mod;
    for (const std::string& step :
         ListItems(place.project, place.group, place.phase, base::Sprintf("%s.%s", "step", mod))) {
      if (!IsSafeIdentifier(step)) continue;
      at.step = step;
      const std::string prefix = TestPrefix(at);
      for (const std::string& key : ListItemsIn(directory, prefix)) {
        TestRecord test = at.Test(base::LeadingNumber(key));
        if (!ReadTest(base::Sprintf("%s%s.%s", directory, prefix, key), test)) continue;
        ResultRecord result;
        if (!ReadResult(test, campaign, result, false)) result.tester = result.date = "";
        const std::string id = base::Sprintf("%s.%s.%03d", mod, step, test.number);
        base::Page("<TR><TD>%s</TD><TD>%s</TD><TD ALIGN=CENTER>\n", base::EscapeHtml(id),
                   base::EscapeHtml(test.title));
        WriteHidden(base::Sprintf("t%d", row), id);
        WriteHidden(base::Sprintf("w%d", row), base::Sprintf("%d", result.code));
        WriteVerdictSelect(base::Sprintf("v%d", row), result.code,
                           base::EscapeHtml(base::Sprintf("%s %s", Msg(2495), id)));
        base::Page("</TD><TD ALIGN=CENTER>%s&nbsp;</TD><TD ALIGN=CENTER>%s&nbsp;</TD></TR>\n",
                   base::EscapeHtml(result.tester), base::EscapeHtml(result.date));
        ++row;
      }
    }
  }
  base::Page("</TABLE>\n");
  base::Page("<P><inPUT TYPE=\"submit\" VALUE=\"OK\"></P>\n");
  base::Page("</FORM>\n");
}

// Records every verdict the tester changed on the verdicts form, each as the result form
// records one: the result's history and the journal get one line per changed test. Nothing
// is written when a field is missing or wrong.
void SaveVerdicts(const web::ParamList& list, const BookPlace& place, const std::string& campaign) {
  struct Change {
    TestRecord test;
    int code;
  };
  std::vector<Change> changes;
  bool complete = true;
  for (int row = 0;; ++row) {
    const std::string* key = web::FindParam(list, base::Sprintf("t%d", row));
    if (!key) break;
    const std::string field = base::Sprintf("v%d", row);
    const std::string& verdict = web::GetParam(list, field);
    int code = web::IsAbsent(verdict) ? -1 : web::GetParamInt(list, field);
    const std::string was = base::Sprintf("w%d", row);
    int shown = web::IsAbsent(web::GetParam(list, was)) ? -1 : web::GetParamInt(list, was);
    std::optional<BookTest> at = ParseBookTest(*key);
    if (!at || code < 0 || code >= kResultCodes) return web::ErrorBox(config::kMsgFieldMissing);
    if (code == shown) continue;
    BookPlace test_place = place;
    test_place.mod = at->mod;
    test_place.step = at->step;
    TestRecord test = test_place.Test(at->number);
    if (!ReadTest(TestPath(test, test.number), test))
      return web::ErrorBox(config::kMsgFieldMissing);
    if (code != kResultNotTested && code != kResultNotApplicable) complete = false;
    changes.push_back({std::move(test), code});
  }
  const std::string submitter = FieldValue(list, "submitter");
  const std::string version = FieldValue(list, "version");
  if (submitter.empty() || (!complete && version.empty())) {
    base::Page("<Font color=red><H1>Error</H1>\n");
    base::Page("<P>Please fill in the blanks<P></font>\n");
    return;
  }
  if (!base::IsDirectory(CampaignDirectory(place.project, place.group, place.phase, campaign)))
    return web::ErrorBoxArg(config::kMsgCannotOpen, campaign);
  const long time = static_cast<long>(std::time(nullptr));
  for (const Change& c : changes) {
    // A verdict already stored as the tester sets it (another tester was quicker) is not
    // recorded twice.
    ResultRecord stored;
    ReadResult(c.test, campaign, stored, false);
    if (stored.code == c.code) continue;
    std::string message;
    auto change = [&](ResultRecord& result) {
      message = RecordVerdict(result, submitter, version, c.code, time);
    };
    if (!UpdateResult(c.test, campaign, change))
      return web::ErrorBoxArg(config::kMsgCannotOpen, ResultPath(c.test, campaign));
    AppendJournal(c.test, message, time);
    web::MarkStored();
  }
  if (!web::WasStored()) WriteVerdictsForm(place, campaign);
}

// The address of the page that shows a stored change: the navigator at a created campaign,
// or the saved result's own page marked done.
std::string StoredQuery(const web::ParamList& list, const BookPlace& place, int action,
                        const std::string& campaign) {
  std::string query =
      base::Sprintf("CMD=tests&project=%s&group=%s&phase=%d", web::QueryValue(place.project),
                    web::QueryValue(place.group), place.phase);
  if (action == kCreateCampaign)
    return query + "&camp=" + web::QueryValue(CheckedCampaignName(FieldValue(list, "camp")));
  if (action == kSaveVerdicts)
    return query + base::Sprintf("&camp=%s&book=%d", web::QueryValue(campaign), kVerdictsForm);
  return query + base::Sprintf("&mod=%s&step=%s&test=%s&camp=%s&book=%d&Done=1",
                               web::QueryValue(place.mod), web::QueryValue(place.step),
                               web::QueryValue(place.test), web::QueryValue(campaign), action);
}

void RunCampaignAction(web::ParamList& list, const BookPlace& place, int action,
                       const std::string& campaign, bool done) {
  switch (action) {
    case kViewModule:
      return ShowModuleResults(place, campaign, false);
    case kPrintModule:
      return PrintModule(place, &campaign);
    case kViewStep:
      return ShowStepResults(place, campaign, false);
    case kPrintStep:
      return PrintStep(place, &campaign);
    case kViewBook:
      return ShowBookResults(place, campaign);
    case kPrintBook:
      return PrintBook(place, &campaign);
    case kNewCampaignForm:
      return WriteNewCampaignForm(place);
    case kCreateCampaign:
      return CreateCampaign(list, place);
    case kCampaignSummary:
      return CampaignSummary(place, campaign);
    case kResultForm:
      return WriteResultForm(place, campaign);
    case kSaveResult:
      return SaveResult(list, place, campaign, done);
    case kVerdictsForm:
      return WriteVerdictsForm(place, campaign);
    case kSaveVerdicts:
      return SaveVerdicts(list, place, campaign);
  }
}

}  // namespace

void WriteCampaignLink(const BookPlace& place, std::string_view campaign, int action, int icon) {
  const std::string uid = web::UidSuffix();
  std::string out =
      base::Sprintf("<A HREF=\"%s?%s=%s&%s=%s&%s=%s%s", ScriptName(), "CMD", "tests", "project",
                    base::EscapeHtml(place.project), "group", EncodeLinkValue(place.group), uid);
  out += base::Sprintf("&%s=%d&%s=%s", "phase", place.phase, "camp", EncodeLinkValue(campaign));
  out += base::Sprintf("&%s=%s", "mod", EncodeLinkValue(place.mod));
  out += base::Sprintf("&%s=%s", "step", EncodeLinkValue(place.step));
  out += base::Sprintf("&%s=%s%s", "test", EncodeLinkValue(place.test), uid);
  out += base::Sprintf("&%s=%d\"> \n", "book", action);
  out += base::Sprintf("<IMG BORDER=0 SRC=%s/%s.gif ALT=\"%s\"></A> \n", config::GetImageDir(),
                       IconName(icon), Msg(1100 + icon));
  base::Write(nullptr, out);
}

std::string CheckedCampaignName(std::string_view typed) {
  std::string name = CampaignName(typed);
  return name.size() > kMaxCampaignName || !IsSafeCampaignName(name) ? std::string() : name;
}

std::string DefaultCampaignName(long time) {
  std::string name = store::FormatDate(time);
  for (char& ch : name) {
    if (ch < '0' || ch > '9') ch = '.';
  }
  return name;
}

std::vector<std::string> ParseSheetReferences(std::string_view typed) {
  std::vector<std::string> references;
  size_t start = 0;
  while (start <= typed.size()) {
    size_t end = typed.find_first_of(", \t\r\n", start);
    if (end == std::string_view::npos) end = typed.size();
    std::string_view piece = typed.substr(start, end - start);
    if (piece.size() >= kMinReference)
      references.insert(references.begin(), std::string(piece.substr(0, kMaxTitle)));
    start = end + 1;
  }
  return references;
}

bool CampaignRequestChanges(const web::ParamList& list) {
  const CampaignAction* action = FindCampaignAction(list);
  return action && action->change;
}

void CampaignPage(web::ParamList& list) {
  const CampaignAction* action = FindCampaignAction(list);
  BookPlace place;
  std::string campaign;
  bool valid = action && ReadBookPlace(list, action->mod, action->step, action->test, place);
  if (valid && action->campaign) {
    campaign = CheckedCampaignName(FieldValue(list, "camp"));
    valid = !campaign.empty();
  }
  const bool readable = valid && MayReadBook(list, place.project);
  if (readable && action->action == kExportSummary) {
    // A campaign that does not exist has no summary to download, not an empty one.
    if (!base::IsDirectory(CampaignDirectory(place.project, place.group, place.phase, campaign)))
      return web::WriteStatusOnly(404, "Not Found");
    return ExportSummary(place, campaign);
  }

  // A change once stored sends the browser on to the page that shows it, so that a reload
  // shows it again instead of saving once more; a saved result's page stores nothing.
  const bool change = action && action->change;
  const bool done =
      change && action->action == kSaveResult && !web::IsAbsent(web::GetParam(list, "Done"));
  std::optional<web::PageHold> hold;
  if (change && !done) hold.emplace();
  web::WritePageHead(nullptr, Msg(1040), "", list);
  web::WriteHomeLink();
  if (!action)
    return MayReadBooks(list) ? WriteCampaignNavigator(list) : web::ErrorBox(config::kMsgNoRight);
  if (!valid) return web::ErrorBox(config::kMsgFieldMissing);
  if (!readable) return web::ErrorBox(config::kMsgNoRight);
  if (change && !done && !MayChangeBook(list, place.project))
    return web::ErrorBox(config::kMsgNoRightOnProject);
  RunCampaignAction(list, place, action->action, campaign, done);
  if (hold && web::WasStored()) hold->Redirect(StoredQuery(list, place, action->action, campaign));
}

}  // namespace testbook
