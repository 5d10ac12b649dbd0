// The module, step and test forms and their saves.
#include <ctime>
#include <string>

#include "base/encode.h"
#include "base/files.h"
#include "base/numbers.h"
#include "base/out.h"
#include "config/language.h"
#include "config/main_config.h"
#include "config/options.h"
#include "config/projects.h"
#include "testbook/guard.h"
#include "testbook/listing.h"
#include "testbook/page_parts.h"
#include "testbook/pages.h"
#include "users/user_context.h"
#include "web/cookies.h"
#include "web/page.h"
#include "web/response.h"

namespace testbook {
namespace {

// "The test %s does not exist in this step."
constexpr int kMsgNoSuchTest = 566;

using config::Msg;

using web::FieldValue;

// A text typed in a text area, without the line ends that close it: the forms write a line
// feed after every text, so a text saved unchanged stays the same instead of growing a line.
std::string TypedText(const web::ParamList& list, std::string_view name) {
  std::string text = FieldValue(list, name);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

void WriteSubmitCell() {
  base::Page("<TD><inPUT TYPE=\"submit\" VALUE=\"OK\">\n");
  base::Page("</TD></TR>\n");
}

// The title and description table of a module or step form, with the labels of its title,
// its identifier and its description.
struct ItemLabels {
  std::string_view title;
  std::string_view id;
  std::string_view description;
};

void WriteItemFields(const ItemLabels& labels, std::string_view id_name, std::string_view id,
                     bool edit, const ItemFile& item) {
  base::Page("<TABLE BORDER=1 ><TR>\n");
  base::Page("<TD>%s <INPUT SIZE=50 NAME=\"%s\" ID=title VALUE=\"%s\" ></TD>\n",
             web::LabelFor("title", labels.title), "title", base::EscapeHtml(item.title));
  if (edit) {
    base::Page("<TD>%s ", labels.id);
    WriteHidden(id_name, id);
    base::Page(": <B>%s</B>", base::EscapeHtml(id));
  } else {
    base::Page("<TD>%s ", web::LabelFor(id_name, labels.id));
    base::Page("<INPUT SIZE=5 NAME=\"%s\" ID=%s>", id_name, id_name);
  }
  base::Page("</TD>\n");
  WriteSubmitCell();
  base::Page("<TR><TD COLSPAN=3>%s:<BR>\n", web::LabelFor("text", labels.description));
  base::Page("<TEXTAREA NAME=%s ID=text ROWS=15 COLS=70>\n%s", "text",
             base::EscapeHtml(item.description));
  base::Page("</TEXTAREA>\n");
  base::Page("</TD></TR></TABLE>\n");
  base::Page("</FORM>\n");
}

// Writes the item file; the error boxes of an existing item (on creation) and of a file that
// cannot be written. True when written.
bool StoreItem(const std::string& path, const web::ParamList& list, bool create, int exists_msg,
               std::string_view id, const BookPlace& place) {
  if (create) MakeDirectories(BookDirectory(place.project, place.group, place.phase));
  int written = WriteItemFile(path, FieldValue(list, "title"), TypedText(list, "text"), create);
  if (written == 0) web::ErrorBoxArg(exists_msg, id);
  if (written < 0) web::ErrorBoxArg(config::kMsgCannotOpen, path);
  return written > 0;
}

std::string TestBannerTitle(const BookPlace& place) {
  return base::Sprintf(
      "%s : <FONT COLOR=DarkSlateBlue> %s : %s </FONT>, <FONT COLOR=DarkOliveGreen>%s : %s</FONT>",
      Msg(1000), base::EscapeHtml(place.mod),
      base::EscapeHtml(ModuleTitle(place.project, place.group, place.phase, place.mod)), Msg(1001),
      base::EscapeHtml(place.step),
      base::EscapeHtml(StepTitle(place.project, place.group, place.phase, place.mod, place.step)));
}

struct TextArea {
  int label;
  const char* name;
  int rows;
  std::string TestRecord::*field;
};

constexpr TextArea kTextAreas[] = {
    {1002, "obj", 5, &TestRecord::obj},     {1003, "env", 10, &TestRecord::env},
    {1004, "pre", 5, &TestRecord::pre},     {1005, "steps", 15, &TestRecord::steps},
    {1006, "exp", 10, &TestRecord::exp},    {1007, "post", 5, &TestRecord::post},
    {1008, "notes", 5, &TestRecord::notes},
};

// The impact a selector value stands for: its letter's index into impacts.cfg, or -1 for the
// empty option (and any value that names no impact).
int ImpactOf(std::string_view value) {
  if (value.empty() || value.front() < 'a') return -1;
  int index = value.front() - 'a';
  return config::GetImpactName(index).empty() ? -1 : index;
}

}  // namespace

void WriteModuleForm(const BookPlace& place, bool edit) {
  ItemFile item;
  if (edit) item = ReadItemFile(ModulePath(place.project, place.group, place.phase, place.mod));
  BookBanner(Msg(edit ? 1020 : 1019), place.project, place.group, place.phase);
  base::Page("<FORM METHOD=POST ACTION=\"%s\">\n", base::EscapeHtml(web::ScriptName()));
  WriteFormPlace(place);
  WriteHidden("book", edit ? "10" : "4");
  WriteItemFields({Msg(106), Msg(1021), Msg(107)}, "mod", place.mod, edit, item);
}

void WriteStepForm(const BookPlace& place, bool edit) {
  ItemFile item;
  if (edit)
    item = ReadItemFile(StepPath(place.project, place.group, place.phase, place.mod, place.step));
  BookBanner(Msg(edit ? 1028 : 1027), place.project, place.group, place.phase);
  base::Page("<H2>Module : <FONT COLOR=DarkSlateBlue SIZE=5>%s : %s</FONT></H2>\n",
             base::EscapeHtml(place.mod),
             base::EscapeHtml(ModuleTitle(place.project, place.group, place.phase, place.mod)));
  base::Page("<FORM METHOD=POST ACTION=\"%s\">\n", base::EscapeHtml(web::ScriptName()));
  WriteFormPlace(place);
  WriteHidden("mod", place.mod);
  WriteHidden("book", edit ? "12" : "6");
  WriteItemFields({"Title", "Acronym", "Description"}, "step", place.step, edit, item);
}

void SaveModule(const web::ParamList& list, const BookPlace& place, bool create, bool done) {
  const std::string& mod = place.mod;
  if (!place.HasMod() || (!done && FieldValue(list, "title").empty()))
    return web::ErrorBox(config::kMsgFieldMissing);
  // The heading says the module is saved only once it is.
  std::string path = ModulePath(place.project, place.group, place.phase, mod);
  if (done && !base::FileExists(path)) return web::ErrorBoxArg(config::kMsgCannotOpen, mod);
  bool stored = done;
  std::string errors;
  if (!done) {
    web::PageHold hold;
    stored = StoreItem(path, list, create, 1026, mod, place);
    errors = hold.Take();
    if (stored) web::MarkStored();
  }
  base::Page("<TABLE WIDTH=100%% BORDER=0 CELLPADDING=0 CELLSPACING=0>\n");
  if (!stored)
    base::Page("<TR><TD>%s</TD>\n", errors);
  else if (create)
    base::Page("<TR><TD><H1>%s</H1></TD>\n", Msg(1024));
  else
    base::Page("<TR><TD><H1>%s %s</H1></TD>\n", Msg(1025), base::EscapeHtml(mod));
  base::Page("<TD ALIGN=RIGHT>");
  base::Page("%s", NavigatorLinkStart(place));
  base::Page("&%s=%s", "mod", EncodeLinkValue(mod));
  base::Page("%s\"><IMG Border=0 SRC=\"%s/larrow.gif\" ALT=\"%s\"></A></TD></TR></TABLE>\n",
             web::UidSuffix(), config::GetImageDir(), Msg(1106));
  if (stored) ViewModule(place, false, false);
}

void SaveStep(const web::ParamList& list, const BookPlace& place, bool create, bool done) {
  const std::string& step = place.step;
  if (!place.HasStep() || (!done && FieldValue(list, "title").empty()))
    return web::ErrorBox(config::kMsgFieldMissing);
  // The heading says the step is saved only once it is.
  std::string path = StepPath(place.project, place.group, place.phase, place.mod, step);
  if (done && !base::FileExists(path)) return web::ErrorBoxArg(config::kMsgCannotOpen, step);
  bool stored = done;
  std::string errors;
  if (!done) {
    web::PageHold hold;
    stored = StoreItem(path, list, create, 1034, step, place);
    errors = hold.Take();
    if (stored) web::MarkStored();
  }
  base::Page("<TABLE BORDER=0 CELLSPACING= CELLPADDING=0 WIDTH=100%%>\n");
  std::string heading =
      create ? Msg(1032) : base::Sprintf("%s %s\n", Msg(1033), base::EscapeHtml(step));
  if (stored)
    base::Page("<TR><TD ALIGN=LEFT><H1>%s</H1></TD>\n", heading);
  else
    base::Page("<TR><TD ALIGN=LEFT>%s</TD>\n", errors);
  base::Page("<TD ALIGN=RIGHT>\n");
  base::Page("%s", NavigatorLinkStart(place));
  base::Page("&%s=%s", "mod", EncodeLinkValue(place.mod));
  base::Page("&%s=%s%s\">", "step", EncodeLinkValue(step), web::UidSuffix());
  base::Page("<IMG BORDER=0 SRC=%s/larrow.gif ALT=\"%s\"></A><BR> \n", config::GetImageDir(),
             Msg(1106));
  base::Page("</TD></TR></TABLE>\n");
  if (stored) ViewStep(place, false, false);
}

void WriteTestForm(const BookPlace& place, bool edit) {
  TestRecord test = place.Test(0);
  if (edit) {
    test.number = base::LeadingNumber(place.test);
    ReadTest(TestPath(test, test.number), test);
  } else {
    test.submitter = users::GetUserName();
  }
  base::Page("<H1>%s</H1>\n", Msg(edit ? 1010 : 1009));
  BookBanner(TestBannerTitle(place), place.project, place.group, place.phase);
  base::Page("<FORM METHOD=POST ACTION=\"%s\">\n", base::EscapeHtml(web::ScriptName()));
  WriteFormPlace(place);
  WriteHidden("mod", place.mod);
  WriteHidden("step", place.step);
  WriteHidden("book", edit ? "14" : "8");
  if (edit) WriteHidden("Num", base::Sprintf("%d", test.number));

  base::Page("<TABLE BORDER=1 CELLSPACING=0 CELLPADDING=0 >\n");
  base::Page("<TR><TD COLSPAN=3>");
  base::Page("<TABLE BORDER=0 >\n");
  base::Page("<TR><TD>");
  base::Page("%s <INPUT SIZE=60 NAME=\"%s\" ID=title VALUE=\"%s\"></TD>\n",
             web::LabelFor("title", Msg(106)), "title", base::EscapeHtml(test.title));
  WriteSubmitCell();
  base::Page("</TABLE>\n");
  base::Page("</TD></TR>\n");

  base::Page("<TR>\n");
  base::Page("<TD ALIGN=RIGHT>%s \n", web::LabelFor("submitter", Msg(103)));
  base::Page("<SELECT NAME=\"%s\" ID=submitter>\n", "submitter");
  base::Page("<OPTION >&nbsp\n");
  config::WriteUserOptions(nullptr, place.project, test.submitter);
  base::Page("</SELECT>\n");
  base::Page("</TD>\n");
  base::Page("<TD ALIGN=RIGHT>%s\n", web::LabelFor("impact", Msg(104)));
  base::Page("<SELECT NAME=\"%s\" ID=impact>\n", "impact");
  base::Page("<OPTION >&nbsp\n");
  config::WriteImpactOptions(nullptr, test.impact);
  base::Page("</SELECT>\n");
  base::Page("</TD>\n");
  base::Page("<TD ALIGN=RIGHT>");
  base::Page("%s : <INPUT SIZE=35 NAME=\"%s\" ID=ref VALUE=\"%s\"></TD>\n",
             web::LabelFor("ref", Msg(105)), "ref", base::EscapeHtml(test.ref));
  base::Page("</TR>\n");
  bool first = true;
  for (const TextArea& area : kTextAreas) {
    if (!first) base::Page("</TD></TR>\n");
    first = false;
    base::Page("<TR><TD COLSPAN=3>%s:<BR>\n", web::LabelFor(area.name, Msg(area.label)));
    base::Page("<TEXTAREA NAME=%s ID=%s ROWS=%d COLS=70>\n", area.name, area.name, area.rows);
    base::Page("%s\n</TEXTAREA>\n", base::EscapeHtml(test.*area.field));
  }
  base::Page("</TD></TR></TABLE>\n");
  base::Page("</FORM>\n");
}

namespace {

// The page of a stored test: the way back to the navigator at the test, the banners and the
// test as its file holds it.
void ShowSavedTest(const BookPlace& place, const TestRecord& test) {
  base::Page("%s", NavigatorLinkStart(place));
  base::Page("&%s=%s&%s=%s", "mod", EncodeLinkValue(place.mod), "step",
             EncodeLinkValue(place.step));
  base::Page("&%s=%03d%s\">", "test", test.number, web::UidSuffix());
  base::Page("<IMG BORDER=0 SRC=%s/larrow.gif ALT=\"%s\"></A><BR> \n", config::GetImageDir(),
             Msg(1106));
  BookBanner(Msg(1009), place.project, place.group, place.phase);
  base::Page("<H2>%s : <FONT COLOR=DarkSlateBlue> %s : %s </FONT>", Msg(1000),
             base::EscapeHtml(place.mod),
             base::EscapeHtml(ModuleTitle(place.project, place.group, place.phase, place.mod)));
  base::Page(
      ", <FONT COLOR=DarkOliveGreen>%s : %s</FONT> </H2>\n", Msg(1001),
      base::EscapeHtml(place.step),
      base::EscapeHtml(StepTitle(place.project, place.group, place.phase, place.mod, place.step)));
  ShowTest(test);
}

}  // namespace

void SaveTest(const web::ParamList& list, BookPlace& place, bool create, bool done) {
  TestRecord test = place.Test(0);
  if (done) {
    test.number = base::LeadingNumber(place.test);
    TestRecord shown = test;
    if (!ReadTest(TestPath(test, test.number), shown))
      return web::ErrorBoxArg(config::kMsgCannotOpen, place.test);
    return ShowSavedTest(place, shown);
  }
  if (create) {
    test.created = static_cast<long>(std::time(nullptr));
    MakeDirectories(BookDirectory(place.project, place.group, place.phase));
  } else {
    const std::string& num = web::GetParam(list, "Num");
    if (num.empty() || num.front() < '0' || num.front() > '9')
      return web::ErrorBox(config::kMsgFieldMissing);
    test.number = web::GetParamInt(list, "Num");
    // The stored test keeps its number and creation time; its location is the request's. A
    // number no test was created with is refused: saving makes no test.
    if (!ReadTest(TestPath(test, test.number), test)) return web::ErrorBoxArg(kMsgNoSuchTest, num);
    TestRecord place_test = place.Test(test.number);
    test.project = place_test.project;
    test.group = place_test.group;
    test.phase = place_test.phase;
    test.mod = place_test.mod;
    test.step = place_test.step;
  }
  test.title = FieldValue(list, "title");
  test.submitter = FieldValue(list, "submitter");
  for (const TextArea& area : kTextAreas) test.*area.field = TypedText(list, area.name);
  test.impact = ImpactOf(web::GetParam(list, "impact"));
  test.ref = FieldValue(list, "ref");
  // A new test is made with its content, under a number no other request takes.
  if (create ? CreateTest(test) < 0 : !WriteTest(test))
    return web::ErrorBoxArg(config::kMsgCannotOpen,
                            TestPath(test, create ? NextTestNumber(test) : test.number));
  AppendJournal(test, base::Sprintf("Test %s by %s", create ? "Created" : "Changed",
                                    ActingLogin(list, test.submitter)));
  web::MarkStored();
  place.test = base::Sprintf("%03d", test.number);

  TestRecord shown = test;
  ReadTest(TestPath(test, test.number), shown);
  ShowSavedTest(place, shown);
}

}  // namespace testbook
