// The views of a test, a step, a module and the whole book, and the deletions.
#include <string>
#include <vector>

#include "base/encode.h"
#include "base/files.h"
#include "base/numbers.h"
#include "base/out.h"
#include "config/language.h"
#include "config/projects.h"
#include "testbook/guard.h"
#include "testbook/listing.h"
#include "testbook/names_cache.h"
#include "testbook/page_parts.h"
#include "testbook/pages.h"
#include "web/response.h"

namespace testbook {
namespace {

using config::Msg;

constexpr int kTextLabels[] = {1002, 1003, 1004, 1005, 1006, 1007, 1008};

std::string StepPrefix(const BookPlace& place) {
  return base::Sprintf("%s.%s", "step", place.mod);
}

std::string TestPrefix(const BookPlace& place) {
  return base::Sprintf("%s.%s.%s", "test", place.mod, place.step);
}

void WriteRefusalHeading() {
  base::Page("<Font COLOR=RED><H1>%s</H1>\n", Msg(500));
}

}  // namespace

void ShowTest(const TestRecord& test) {
  // One write per test: a whole book shows thousands of them.
  std::string out = base::Sprintf(
      "<TABLE BORDER=0 CELLSPACING=0 CELLPADDING=0 WIDTH=100%%>\n<TR><TD WIDTH=40></TD><TD>\n"
      "  <TABLE BORDER=1 CELLSPACING=0 CELLPADDING=0 WIDTH=100%%>\n<TR><TD COLSPAN=3>\n"
      "<TABLE BORDER=0 WIDTH=100%%><TD WIDTH=5><B>%03d<B></TD>\n<TD WIDTH=5>%s :</TD>\n",
      test.number, Msg(106));
  out += base::Sprintf(
      "<TD ALIGN=CENTER><FONT SIZE=+1 COLOR=DARKBLUE><B>%s</B></FONT></TD></TR>\n</TABLE>\n"
      "</TD></TR>\n<TR>\n",
      base::EscapeHtml(test.title));
  out += base::Sprintf("<TD ALIGN=CENTER>%s : <B>%s</B>\n</TD>\n", Msg(103),
                       base::EscapeHtml(test.submitter));
  out += base::Sprintf("<TD ALIGN=CENTER>%s : \n<B>%s</B>\n</TD>\n", Msg(104),
                       base::EscapeHtml(config::GetImpactName(test.impact)));
  out += base::Sprintf("<TD ALIGN=CENTER>%s : <B>%s</B></TD>\n</TR>\n", Msg(105),
                       base::EscapeHtml(test.ref));
  const std::string* texts[] = {&test.obj, &test.env,  &test.pre,  &test.steps,
                                &test.exp, &test.post, &test.notes};
  for (int i = 0; i < 7; ++i) {
    if (texts[i]->empty()) continue;
    out += base::Sprintf("<TR><TD COLSPAN=3><DIR><I>%s:</I><BR>\n", Msg(kTextLabels[i]));
    out += TextHtml(*texts[i]);
    out += "</TD></TR>\n";
  }
  out += " </TABLE>\n</TD></TR></TABLE>\n";
  base::Write(nullptr, out);
}

void ViewTest(const BookPlace& place) {
  TestRecord test = place.Test(base::LeadingNumber(place.test));
  if (ReadTest(TestPath(test, test.number), test)) ShowTest(test);
}

void ViewStep(const BookPlace& place, bool embedded, bool children) {
  if (!embedded) {
    std::string title = base::Sprintf(
        "<FONT COLOR=DarkSlateBlue >%s : %s : %s</FONT>", Msg(1020), base::EscapeHtml(place.mod),
        base::EscapeHtml(ModuleTitle(place.project, place.group, place.phase, place.mod)));
    BookBanner(title, place.project, place.group, place.phase);
  }
  ItemFile step =
      ReadItemFile(StepPath(place.project, place.group, place.phase, place.mod, place.step));
  if (step.exists) {
    base::Page("<TABLE BORDER=0 Cellspacing=0 cellpadding=0 WIDTH=100%%>\n");
    base::Page("<TR><TD WIDTH=20></TD><TD>\n");
    base::Page(" <TABLE BORDER=1 Cellspacing=0 cellpadding=0 WIDTH=100%%>\n");
    base::Page(" <TR><TD><FONT COLOR=DarkOliveGreen SIZE=4><B>%s</B></FONT></TD>\n",
               base::EscapeHtml(place.step));
    base::Page(" <TD WIDTH=90%%><FONT COLOR=DarkOliveGreen SIZE=4><B>%s</B></FONT></TD></TR>\n",
               base::EscapeHtml(step.title));
    base::Page(" <TR><TD COLSPAN=2><DIR>%s:<BR>\n", Msg(107));
    base::Write(nullptr, TextHtml(step.description));
    base::Page(" </TD></TR></TABLE>\n");
    base::Page("</TD></TR></TABLE>\n");
  }
  if (!children) return;
  std::string directory = BookDirectory(place.project, place.group, place.phase);
  std::string prefix = TestPrefix(place);
  for (const std::string& key : ListItemsIn(directory, prefix)) {
    TestRecord test = place.Test(base::LeadingNumber(key));
    if (ReadTest(base::Sprintf("%s%s.%s", directory, prefix, key), test)) ShowTest(test);
  }
}

void ViewModule(const BookPlace& place, bool embedded, bool children) {
  if (!embedded) BookBanner("", place.project, place.group, place.phase);
  ItemFile mod = ReadItemFile(ModulePath(place.project, place.group, place.phase, place.mod));
  if (mod.exists) {
    base::Page("<TABLE BORDER=1 CELLSPACING=0 CELLPADDING=1 WIDTH=100%%><TR>\n");
    base::Page("<TD><B><FONT COLOR=DarkSlateBlue SIZE=5>%s</FONT></TD>\n",
               base::EscapeHtml(place.mod));
    base::Page("<TD WIDTH=90%%><B><FONT COLOR=DarkSlateBlue SIZE=5>%s</FONT></TD></TR>\n",
               base::EscapeHtml(mod.title));
    base::Page("<TR><TD colspan=2><DIR>%s:<BR>\n", Msg(107));
    base::Write(nullptr, TextHtml(mod.description));
    base::Page("</TD></TR></TABLE>\n");
  }
  if (!children) return;
  BookPlace step_place = place;
  for (const std::string& step :
       ListItems(place.project, place.group, place.phase, StepPrefix(place))) {
    step_place.step = step;
    ViewStep(step_place, true);
  }
}

void ViewBook(const BookPlace& place) {
  BookBanner(base::Sprintf("<FONT COLOR=DarkViolet SIZE=6>%s</FONT>", Msg(1035)), place.project,
             place.group, place.phase);
  BookPlace mod_place = place;
  for (const std::string& mod : ListItems(place.project, place.group, place.phase, "mod")) {
    mod_place.mod = mod;
    ViewModule(mod_place, true);
  }
}

void DeleteModule(web::ParamList& list, const BookPlace& place) {
  if (HasItems(place.project, place.group, place.phase, StepPrefix(place))) {
    WriteRefusalHeading();
    base::Page("<P>%s <B>%s</B> %s.", Msg(1000), base::EscapeHtml(place.mod), Msg(1022));
    base::Page("%s.\n", Msg(1023));
    return;
  }
  if (base::RemoveFile(ModulePath(place.project, place.group, place.phase, place.mod)))
    web::MarkStored();
  ForgetListings();
  web::AddParam(list, "mod", " ");
  WriteNavigator(list, "book");
}

void DeleteStep(web::ParamList& list, const BookPlace& place) {
  if (HasItems(place.project, place.group, place.phase, TestPrefix(place))) {
    WriteRefusalHeading();
    base::Page("<P>%s <B>%s.%s</B> %s", Msg(1029), base::EscapeHtml(place.mod),
               base::EscapeHtml(place.step), Msg(1030));
    base::Page("%s\n", Msg(1031));
    return;
  }
  if (base::RemoveFile(StepPath(place.project, place.group, place.phase, place.mod, place.step)))
    web::MarkStored();
  ForgetListings();
  web::AddParam(list, "step", " ");
  WriteNavigator(list, "book");
}

void DeleteTest(web::ParamList& list, const BookPlace& place) {
  TestRecord test = place.Test(base::LeadingNumber(place.test));
  std::vector<std::string> holding;
  for (const std::string& campaign :
       ListItems(place.project, place.group, place.phase, "C", "test")) {
    if (base::FileExists(ResultPath(test, campaign))) holding.push_back(campaign);
  }
  if (!holding.empty()) {
    WriteRefusalHeading();
    base::Page("<P>%s<B>%s.%s.%03d</B> ", Msg(1011), base::EscapeHtml(test.mod),
               base::EscapeHtml(test.step), test.number);
    base::Page("%s<UL>\n", Msg(1012));
    for (const std::string& campaign : holding)
      base::Page("<LI>%s</LI> \n", base::EscapeHtml(campaign));
    base::Page("</UL>\n");
    base::Page("<P>%s\n", Msg(1013));
    base::Page("<P>%s\n", Msg(1014));
    base::Page("<BR>%s\n", Msg(1015));
    base::Page("<BR>%s : \n", Msg(1016));
    base::Page("<BR>%s%s/%s.<i>&lt;%s&gt;</i>\n",
               base::EscapeHtml(BookDirectory(place.project, place.group, place.phase)), "test",
               "C", Msg(1017));
    base::Page("<P>%s\n", Msg(1018));
    return;
  }
  if (RemoveTest(test)) {
    AppendJournal(test, base::Sprintf("Test Deleted by %s", ActingLogin(list, "")));
    web::MarkStored();
  }
  web::AddParam(list, "test", " ");
  WriteNavigator(list, "book");
}

}  // namespace testbook
