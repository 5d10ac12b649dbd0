// The book navigator: project, group and phase selectors, then the module, step and test
// selectors with the icons of their actions.
#include <string>
#include <vector>

#include "base/encode.h"
#include "base/names.h"
#include "base/numbers.h"
#include "base/out.h"
#include "config/language.h"
#include "config/options.h"
#include "config/projects.h"
#include "testbook/guard.h"
#include "testbook/listing.h"
#include "testbook/page_parts.h"
#include "users/user_context.h"
#include "web/cookies.h"

namespace testbook {
namespace {

using config::Msg;

std::string BlanksAsPlus(std::string_view text) {
  std::string out(text);
  for (char& ch : out) {
    if (ch == ' ') ch = '+';
  }
  return out;
}

}  // namespace

// The phase as the navigator receives it: a decimal index from the action pages, or the letter
// of the phase selector ('a' for the first phase). Missing or negative: the remembered phase.
int NavigatorPhase(const web::ParamList& list) {
  const std::string& value = web::GetParam(list, "phase");
  int phase = -1;
  if (!value.empty() && value.front() >= '0' && value.front() <= '9')
    phase = base::LeadingNumber(value);
  else if (!value.empty() && !web::IsAbsent(value))
    phase = static_cast<unsigned char>(value.front()) - 'a';
  if (phase < 0) phase = users::GetLastPhase();
  if (phase < 0 || static_cast<size_t>(phase) >= config::CountPhases()) return -1;
  return phase;
}

namespace {

void WriteChangePageScripts(const BookPlace& place, std::string_view cmd, const std::string* camp) {
  base::Page("<SCRIPT LANGUAGE=\"JavaScript\">\n");
  base::Page("function changePage(page,menu)\n{\n   document.location = page\n}\n");
  base::Page("</SCRIPT>\n");

  std::string start =
      base::Sprintf("%s?%s=%s&%s=%s&%s=%s", web::ScriptName(), "CMD", cmd, "project",
                    BlanksAsPlus(place.project), "group", EncodeLinkValue(place.group));
  if (camp) start += base::Sprintf("&%s=%s", "camp", EncodeLinkValue(*camp));
  start += base::Sprintf("%s&%s=", web::UidSuffix(), "phase");
  std::string base = base::EscapeScript(start);
  char letter = place.phase >= 0 ? static_cast<char>('a' + place.phase) : '_';
  std::string mod = EncodeLinkValue(place.mod);
  std::string step = EncodeLinkValue(place.step);
  base::Page("<SCRIPT LANGUAGE=\"JavaScript\">");
  base::Page("function changePage2(page,menu)\n");
  base::Page("{\n");
  base::Page("   if (menu == 0) \n   {\n");
  base::Page("      page = \"%s\" + page \n", base);
  base::Page("   } else if (menu == 1)  \n   {\n");
  base::Page("      page = \"%s%c&%s=\" + page \n", base, letter, "mod");
  base::Page("   } else if (menu == 2)  \n   {\n");
  base::Page("      page = \"%s%c&%s=%s&%s=\" + page \n", base, letter, "mod", mod, "step");
  base::Page("   } else if (menu == 3)  \n   {\n");
  base::Page("      page = \"%s%c&%s=%s&%s=%s&%s=\" + page \n", base, letter, "mod", mod, "step",
             step, "test");
  base::Page("   } else if (menu == 4)  \n   {\n");
  base::Page("      page = \"%s%c&%s=\" + page \n", base, letter, "camp");
  base::Page("   }\n");
  base::Page("   document.location = page\n");
  base::Page("}\n");
  base::Page("</SCRIPT>\n");
}

// The project selector: every project of the list, the current one selected.
void WriteProjectSelector(const BookPlace& place, std::string_view cmd, int book) {
  const std::string script = base::EscapeHtml(web::ScriptName());
  const std::string uid = web::UidSuffix();
  base::Page("<SELECT NAME=\"%s\" ARIA-LABEL=\"%s\" onChange=", "PMENU",
             base::EscapeHtml(Msg(100)));
  base::Page(" \"changePage(this.options[this.selectedIndex].value,%s)\" >\n", "PMENU");
  base::Page("<OPTION VALUE=\"%s?%s=%s&%s=%d%s%s\">&nbsp\n", script, "CMD", cmd, cmd, book, "",
             uid);
  for (const std::string& name : config::ListProjects(" ")) {
    base::Page("<OPTION VALUE=\"%s?%s=%s&%s=%d&%s=%s%s%s\" ", script, "CMD", cmd, cmd, book,
               "project", base::EscapeHtml(BlanksAsPlus(name)), "", uid);
    if (name == place.project) base::Page("SELECTED ");
    base::Page("> %s \n", base::EscapeHtml(name));
  }
  base::Page("</SELECT>\n");
}

// The group selector; false when the current group is none of the project's sub-projects.
bool WriteGroupSelector(const BookPlace& place, std::string_view cmd) {
  const std::string script = base::EscapeHtml(web::ScriptName());
  const std::string uid = web::UidSuffix();
  const std::string project = base::EscapeHtml(BlanksAsPlus(place.project));
  base::Page("<SELECT NAME=\"%s\" ARIA-LABEL=\"%s\" onChange=", "SPMENU",
             base::EscapeHtml(Msg(101)));
  base::Page(" \"changePage(this.options[this.selectedIndex].value,%s)\" >\n", "SPMENU");
  base::Page("<OPTION VALUE=\"%s?%s=%s&%s=%s%s\">&nbsp\n", script, "CMD", cmd, "project", project,
             uid);
  bool selected = false;
  for (const std::string& name : config::ListSubprojects(place.project, " ")) {
    base::Page("<OPTION VALUE=\"%s?%s=%s&%s=%s&%s=%s%s\" ", script, "CMD", cmd, "project", project,
               "group", EncodeLinkValue(name), uid);
    if (name == place.group) {
      base::Page("SELECTED ");
      selected = true;
    }
    base::Page("> %s \n", base::EscapeHtml(name));
  }
  base::Page("</SELECT>\n");
  return selected;
}

}  // namespace

void WriteItemSelector(const std::vector<std::string>& keys, std::string_view current, int menu) {
  if (keys.empty()) return;
  // Named as the row that holds it: module (1), step (2) or test (3).
  const std::string label = menu == 3 ? std::string("Test") : Msg(menu == 2 ? 1001 : 1000);
  base::Page("<SELECT ARIA-LABEL=\"%s\" onChange=", base::EscapeHtml(label));
  base::Page(" \"changePage2(this.options[this.selectedIndex].value,%d)\" >\n", menu);
  base::Page("<OPTION >&nbsp\n");
  for (const std::string& key : keys) {
    base::Page("<OPTION ");
    if (key == current) base::Page("SELECTED ");
    base::Page("Value=%s>%s\n", EncodeLinkValue(key), base::EscapeHtml(key));
  }
  base::Page("</SELECT>\n");
}

namespace {

void WriteItemRows(const BookPlace& place) {
  base::Page("<TR><TD><P>\n");
  base::Page("<B>%s</B>\n", Msg(1038));
  base::Page("<TABLE border=0>\n");

  base::Page("<TR><TD><UL><LI> %s : </LI></UL></TD><TD>\n", Msg(1000));
  bool safe_mod = place.HasMod() && IsSafeIdentifier(place.mod);
  WriteItemSelector(ListItems(place.project, place.group, place.phase, "mod"), place.mod, 1);
  base::Page("</TD><TD>\n");
  WriteActionLink(place, kNewModuleForm, kIconNew);
  if (safe_mod) {
    WriteActionLink(place, kEditModuleForm, kIconEdit);
    WriteActionLink(place, kViewModule, kIconView);
    WriteActionLink(place, kPrintModule, kIconPrint);
    WriteActionLink(place, kDeleteModule, kIconDelete);

    base::Page("</TD></TR>\n");
    base::Page("<TR><TD><UL><LI> %s : </LI></UL></TD><TD>\n", Msg(1001));
    bool safe_step = place.HasStep() && IsSafeIdentifier(place.step);
    WriteItemSelector(ListItems(place.project, place.group, place.phase,
                                base::Sprintf("%s.%s", "step", place.mod)),
                      place.step, 2);
    base::Page("</TD><TD>\n");
    WriteActionLink(place, kNewStepForm, kIconNew);
    if (safe_step) {
      WriteActionLink(place, kEditStepForm, kIconEdit);
      WriteActionLink(place, kViewStep, kIconView);
      WriteActionLink(place, kPrintStep, kIconPrint);
      WriteActionLink(place, kDeleteStep, kIconDelete);

      base::Page("</TD></TR>\n");
      base::Page("<TR><TD><UL><LI> Test : </LI></UL></TD><TD>\n");
      WriteItemSelector(ListItems(place.project, place.group, place.phase,
                                  base::Sprintf("%s.%s.%s", "test", place.mod, place.step)),
                        place.test, 3);
      base::Page("</TD><TD>\n");
      WriteActionLink(place, kNewTestForm, kIconNew);
      if (place.HasTest()) {
        WriteActionLink(place, kEditTestForm, kIconEdit);
        WriteActionLink(place, kViewTest, kIconView);
        WriteActionLink(place, kPrintTest, kIconPrint);
        WriteActionLink(place, kDeleteTest, kIconDelete);
      }
    }
  }
  base::Page("</TD></TR></TABLE>\n");
  base::Page("<P></TD></TR>\n");
  base::Page("<TR><TD><P>\n");
  base::Page("<B>%s</B>\n", Msg(1039));
  base::Page("<UL>\n");
  base::Page("<LI> ");
  WriteActionLink(place, kViewBook, kIconView);
  base::Page("</LI>\n<LI> ");
  WriteActionLink(place, kPrintBook, kIconPrint);
  base::Page("</LI>\n");
  base::Page("</UL></TD></TR>\n");
}

}  // namespace

bool WriteNavigatorTop(web::ParamList& list, std::string_view cmd, int heading,
                       const std::string* camp, BookPlace& place) {
  if (web::IsAbsent(web::GetParam(list, "project")) && !web::IsAbsent(users::GetLastProject()))
    web::AddParam(list, "project", users::GetLastProject());
  if (web::IsAbsent(web::GetParam(list, "group")) && !users::GetLastSubproject().empty() &&
      !web::IsAbsent(users::GetLastSubproject()))
    web::AddParam(list, "group", users::GetLastSubproject());
  place.project = web::GetParam(list, "project");
  // The remembered project is the client machine's, not the reader's: a project the reader
  // may not read is no project here.
  if (!web::IsAbsent(place.project) && !MayReadBook(list, place.project)) place.project = " ";
  place.group = web::GetParam(list, "group");
  place.phase = NavigatorPhase(list);
  place.mod = web::GetParam(list, "mod");
  place.step = web::GetParam(list, "step");
  place.test = web::GetParam(list, "test");

  WriteChangePageScripts(place, cmd, camp);
  base::Page("<P ALIGN=CENTER><FONT SIZE=+4><B>%s</B></FONT>\n", Msg(heading));
  base::Page("<DIR><DIR>\n");
  base::Page("<FORM METHOD=GET ACTION=\"%s\">\n", base::EscapeHtml(web::ScriptName()));
  base::Page("<TABLE border=1 WIDTH=80%%><TR><TD><B>%s</B><P>\n", Msg(1037));
  base::Page("<TABLE border=0 WIDTH=100%%><TR><TD ALIGN=CENTER>\n");
  base::Page("%s : \n", Msg(100));
  WriteProjectSelector(place, cmd, web::GetParamInt(list, cmd));
  base::Page("</TD><TD ALIGN=CENTER>\n");
  base::Page("%s : \n", Msg(101));
  bool group_known = WriteGroupSelector(place, cmd);
  base::Page("</TD><TD ALIGN=CENTER>\n");

  // A book is shown only for a project that can be a folder name and one of its sub-projects.
  if (web::IsAbsent(place.project) || !base::IsSafeName(place.project) || !group_known) {
    base::Page("</TD></TR></TABLE>\n");
    base::Page("</TD></TR>\n");
    return false;
  }
  base::Page("\n<!Proj:%s,Sproj:%s>\n", base::EscapeHtml(place.project),
             base::EscapeHtml(place.group));
  base::Page("%s : ", Msg(102));
  base::Page("<SELECT NAME=\"%s\" ARIA-LABEL=\"%s\" onChange=", "PHMENU",
             base::EscapeHtml(Msg(102)));
  base::Page(" \"changePage2(this.options[this.selectedIndex].value,0)\" >\n");
  base::Page("<OPTION >&nbsp\n");
  config::WritePhaseOptions(nullptr, place.phase);
  base::Page("</SELECT></LI>\n");
  base::Page("</TD></TR></TABLE>\n");
  return true;
}

void WriteNavigatorEnd() {
  base::Page("</TABLE>\n");
  base::Page("</FORM>");
  base::Page("</DIR></DIR>\n");
}

void WriteNavigator(web::ParamList& list, std::string_view cmd) {
  BookPlace place;
  if (WriteNavigatorTop(list, cmd, 1036, nullptr, place)) {
    base::Page("<P></TD></TR>\n");
    if (place.phase >= 0) WriteItemRows(place);
  }
  WriteNavigatorEnd();
}

}  // namespace testbook
