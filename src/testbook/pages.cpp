#include "testbook/pages.h"

#include <optional>
#include <string>

#include "base/encode.h"
#include "base/names.h"
#include "base/out.h"
#include "config/language.h"
#include "config/main_config.h"
#include "config/projects.h"
#include "testbook/book_print.h"
#include "testbook/guard.h"
#include "testbook/listing.h"
#include "testbook/page_parts.h"
#include "web/cookies.h"
#include "web/identity.h"
#include "web/page.h"
#include "web/response.h"

namespace testbook {
namespace {

// "The %s does not belong to the project chosen".
constexpr int kMsgNotOfProject = 563;

using config::Msg;

constexpr std::string_view kIconNames[] = {"editbt", "viewbt", "printbt", "delbt",
                                           "newbt",  "statbt", "larrow"};

// What an action needs from the request before it runs.
struct ActionNeeds {
  int action;
  bool mod;
  bool step;
  bool test;
  bool change;  // a save or a deletion: only for the book's project members
};

constexpr ActionNeeds kNeeds[] = {
    {kNewModuleForm, false, false, false, false}, {kCreateModule, false, false, false, true},
    {kEditModuleForm, true, false, false, false}, {kSaveModule, false, false, false, true},
    {kViewModule, true, false, false, false},     {kDeleteModule, true, false, false, true},
    {kNewStepForm, true, false, false, false},    {kCreateStep, true, false, false, true},
    {kEditStepForm, true, true, false, false},    {kSaveStep, true, false, false, true},
    {kViewStep, true, true, false, false},        {kDeleteStep, true, true, false, true},
    {kNewTestForm, true, true, false, false},     {kCreateTest, true, true, false, true},
    {kEditTestForm, true, true, true, false},     {kSaveTest, true, true, false, true},
    {kViewTest, true, true, true, false},         {kDeleteTest, true, true, true, true},
    {kViewBook, false, false, false, false},      {kPrintModule, true, false, false, false},
    {kPrintStep, true, true, false, false},       {kPrintTest, true, true, true, false},
    {kPrintBook, false, false, false, false},
};

const ActionNeeds* FindAction(int action) {
  for (const ActionNeeds& needs : kNeeds)
    if (needs.action == action) return &needs;
  return nullptr;
}

bool StartsWithDigit(std::string_view text) {
  return !text.empty() && text.front() >= '0' && text.front() <= '9';
}

bool ReadPlace(const web::ParamList& list, const ActionNeeds& needs, BookPlace& place) {
  return ReadBookPlace(list, needs.mod, needs.step, needs.test, place);
}

void RunAction(web::ParamList& list, BookPlace& place, int action, bool done) {
  switch (action) {
    case kNewModuleForm:
    case kEditModuleForm:
      return WriteModuleForm(place, action == kEditModuleForm);
    case kCreateModule:
    case kSaveModule:
      return SaveModule(list, place, action == kCreateModule, done);
    case kNewStepForm:
    case kEditStepForm:
      return WriteStepForm(place, action == kEditStepForm);
    case kCreateStep:
    case kSaveStep:
      return SaveStep(list, place, action == kCreateStep, done);
    case kNewTestForm:
    case kEditTestForm:
      return WriteTestForm(place, action == kEditTestForm);
    case kCreateTest:
    case kSaveTest:
      return SaveTest(list, place, action == kCreateTest, done);
    case kViewModule:
      return ViewModule(place, false);
    case kViewStep:
      return ViewStep(place, false);
    case kViewTest:
      return ViewTest(place);
    case kViewBook:
      return ViewBook(place);
    case kPrintModule:
      return PrintModule(place, nullptr);
    case kPrintStep:
      return PrintStep(place, nullptr);
    case kPrintTest:
      return PrintTest(place);
    case kPrintBook:
      return PrintBook(place, nullptr);
    case kDeleteModule:
      return DeleteModule(list, place);
    case kDeleteStep:
      return DeleteStep(list, place);
    case kDeleteTest:
      return DeleteTest(list, place);
  }
}

// The address of the page that shows a stored change: a deletion's navigator at what held
// the item, or the save's own page marked done.
std::string StoredQuery(const BookPlace& place, int action) {
  std::string query =
      base::Sprintf("CMD=book&project=%s&group=%s&phase=%d", web::QueryValue(place.project),
                    web::QueryValue(place.group), place.phase);
  if (action != kDeleteModule && place.HasMod()) query += "&mod=" + web::QueryValue(place.mod);
  if (action == kDeleteModule || action == kDeleteStep) return query;
  if (place.HasStep()) query += "&step=" + web::QueryValue(place.step);
  if (action == kDeleteTest) return query;
  if (place.HasTest()) query += "&test=" + web::QueryValue(place.test);
  return query + base::Sprintf("&book=%d&Done=1", action);
}

}  // namespace

bool ReadBookPlace(const web::ParamList& list, bool need_mod, bool need_step, bool need_test,
                   BookPlace& place) {
  place.project = web::GetParam(list, "project");
  place.group = web::GetParam(list, "group");
  place.phase = web::GetParamInt(list, "phase");
  place.mod = web::GetParam(list, "mod");
  place.step = web::GetParam(list, "step");
  place.test = web::GetParam(list, "test");
  if (!base::IsSafeName(place.project) || web::IsAbsent(place.group)) return false;
  if (place.phase < 0 || static_cast<size_t>(place.phase) >= config::CountPhases()) return false;
  if (place.HasMod() ? !IsSafeIdentifier(place.mod) : need_mod) return false;
  if (place.HasStep() ? !IsSafeIdentifier(place.step) : need_step) return false;
  if (place.HasTest() ? !StartsWithDigit(place.test) : need_test) return false;
  return true;
}

std::string_view IconName(int icon) {
  if (icon < 0 || icon >= static_cast<int>(std::size(kIconNames))) return {};
  return kIconNames[icon];
}

TestRecord BookPlace::Test(int number) const {
  TestRecord test;
  test.project = project;
  test.group = group;
  test.phase = phase;
  test.mod = mod;
  test.step = step;
  test.number = number;
  return test;
}

bool BookRequestChanges(const web::ParamList& list) {
  if (web::IsAbsent(web::GetParam(list, "book"))) return false;
  const ActionNeeds* needs = FindAction(web::GetParamInt(list, "book"));
  return needs && needs->change;
}

void TestBookPage(web::ParamList& list, std::string_view cmd) {
  const std::string& book = web::GetParam(list, "book");
  const ActionNeeds* needs =
      web::IsAbsent(book) ? nullptr : FindAction(web::GetParamInt(list, "book"));
  // A change once stored sends the browser on to the page that shows it, so that a reload
  // shows it again instead of saving (or deleting) once more; that page stores nothing.
  const bool change = needs && needs->change;
  const bool deletion = needs && (needs->action == kDeleteModule || needs->action == kDeleteStep ||
                                  needs->action == kDeleteTest);
  const bool done = change && !deletion && !web::IsAbsent(web::GetParam(list, "Done"));
  std::optional<web::PageHold> hold;
  if (change && !done) hold.emplace();
  web::WritePageHead(nullptr, Msg(cmd == "tests" ? 1040 : 1036), "", list);
  web::WriteHomeLink();
  if (!needs)
    return MayReadBooks(list) ? WriteNavigator(list, cmd) : web::ErrorBox(config::kMsgNoRight);
  BookPlace place;
  if (!ReadPlace(list, *needs, place)) return web::ErrorBox(config::kMsgFieldMissing);
  if (!MayReadBook(list, place.project)) return web::ErrorBox(config::kMsgNoRight);
  if (change && !done && !MayChangeBook(list, place.project))
    return web::ErrorBox(config::kMsgNoRightOnProject);
  // A change goes only into the book of a sub-project of the project: any other name would
  // share the folder of every unknown sub-project.
  if (change && !done && config::ListSubprojects(place.project, place.group).empty())
    return web::ErrorBoxArg(kMsgNotOfProject, base::Sprintf("%s %s", Msg(101), place.group));
  RunAction(list, place, needs->action, done);
  if (hold && web::WasStored()) hold->Redirect(StoredQuery(place, needs->action));
}

void BookBanner(std::string_view title, std::string_view project, std::string_view group,
                int phase) {
  base::Page("<TABLE WIDTH=100%% BORDER=0 CELLPADDING=0 CELLSPACING=0>\n");
  base::Page("<TR><TD ALIGN=LEFT ROWSPAN=3 VALIGN=CENTER>\n");
  base::Page("<H2><FONT COLOR=BLACK> %s </FONT></H2></TD>", title);
  base::Page("<TD ALIGN=RIGHT >\n");
  base::Page("<FONT COLOR=BLACK> %s :&nbsp;</FONT></TD>", Msg(100));
  base::Page("<TD ALIGN=LEFT WIDTH=10%%><FONT COLOR=RED>%s</FONT></TD></TR> \n",
             base::EscapeHtml(project));
  base::Page("<TR><TD ALIGN=RIGHT>\n");
  base::Page("<FONT COLOR=BLACK> %s :&nbsp;</FONT></TD>", Msg(101));
  base::Page("<TD ALIGN=LEFT><FONT COLOR=RED>%s</FONT></TD></TR> ", base::EscapeHtml(group));
  base::Page("<TR><TD ALIGN=RIGHT>\n");
  base::Page("<FONT COLOR=BLACK> %s :&nbsp;</FONT></TD>", Msg(102));
  base::Page("<TD ALIGN=LEFT><FONT COLOR=RED>%s</FONT></TD></TR> ",
             base::EscapeHtml(config::GetPhaseName(phase)));
  base::Page("</TABLE>\n");
}

void WriteActionLink(const BookPlace& place, int action, int icon) {
  base::Page("<A HREF=\"%s?%s=%s&%s=%s&%s=%s&%s=%d", base::EscapeHtml(web::ScriptName()), "CMD",
             "book", "project", base::EscapeHtml(place.project), "group",
             EncodeLinkValue(place.group), "phase", place.phase);
  base::Page("&%s=%s", "mod", EncodeLinkValue(place.mod));
  base::Page("&%s=%s", "step", EncodeLinkValue(place.step));
  base::Page("&%s=%s%s", "test", EncodeLinkValue(place.test), web::UidSuffix());
  base::Page("&%s=%d\"> \n", "book", action);
  const std::string& tip = Msg(1100 + icon);
  base::Page("<IMG BORDER=0 SRC=%s/%s.gif ALT=\"%s\" TITLE=\"%s\"></A> \n", config::GetImageDir(),
             IconName(icon), tip, tip);
}

void WriteHidden(std::string_view name, std::string_view value) {
  base::Page("<INPUT TYPE=\"hidden\" NAME=\"%s\" VALUE=\"%s\">\n", name, base::EscapeHtml(value));
}

void WriteFormPlace(const BookPlace& place) {
  WriteHidden("CMD", "book");
  WriteHidden("project", place.project);
  WriteHidden("group", place.group);
  WriteHidden("phase", base::Sprintf("%d", place.phase));
  const std::string& uid = web::GetCurrentUid();
  if (!uid.empty() && uid.front() != ' ') WriteHidden("Uid", uid);
}

std::string NavigatorLinkStart(const BookPlace& place) {
  return base::Sprintf("<A HREF=\"%s?%s=%s&%s=%s&%s=%s&%s=%d", base::EscapeHtml(web::ScriptName()),
                       "CMD", "book", "project", base::EscapeHtml(place.project), "group",
                       EncodeLinkValue(place.group), "phase", place.phase);
}

std::string TextHtml(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    std::string_view line = text.substr(start, end == std::string_view::npos ? end : end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    out += base::EscapeHtml(line);
    if (end == std::string_view::npos) break;
    out += "<BR>\n";
    start = end + 1;
  }
  return out;
}

}  // namespace testbook
