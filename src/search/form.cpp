#include "search/form.h"

#include <string>
#include <string_view>

#include "base/encode.h"
#include "base/out.h"
#include "config/language.h"
#include "config/main_config.h"
#include "config/options.h"
#include "config/projects.h"
#include "search/find.h"
#include "store/sheet.h"
#include "users/rights.h"
#include "users/uid.h"
#include "users/user_context.h"
#include "web/cookies.h"
#include "web/identity.h"
#include "web/page.h"

namespace search {
namespace {

using config::Msg;

// The empty first option of a list: a browser sends its text, the non-breaking blank,
// which reads back as a blank, so the list chooses nothing.
constexpr std::string_view kEmptyOption = "<OPTION SELECTED>&nbsp\n";

struct Box {
  int status;
  bool ticked;
};
// The status boxes in the order the form shows them.
constexpr Box kStatusBoxes[store::kStatusCount] = {
    {store::kNew, true},        {store::kAssigned, true},         {store::kOpen, true},
    {store::kCorrected, false}, {store::kVerified, false},        {store::kPostponed, false},
    {store::kNotABug, false},   {store::kNotReproducible, false}, {store::kDuplicate, false},
    {store::kAbandoned, false}, {store::kObserved, true}};

void Label(int message) {
  base::Page("<TD><B>%s</B></TD>\n", Msg(message));
}

void OpenList(std::string_view name) {
  base::Page("<TD><SELECT NAME=%s>\n", name);
}

void CloseList() {
  base::Write(nullptr, "</SELECT></TD>\n");
}

// A list opened with its empty option selected, its options written by `options`.
template <typename Options>
void List(int label, std::string_view name, Options options) {
  Label(label);
  OpenList(name);
  base::Write(nullptr, kEmptyOption);
  options();
  CloseList();
}

void WriteBox(const Box& box, std::string_view cell = "<TD>") {
  base::Page("%s<INPUT TYPE=checkbox NAME=%s VALUE=X %s> %s</TD>\n", cell,
             StatusBoxName(box.status), box.ticked ? "CHECKED" : "",
             store::GetStatusLabel(box.status));
}

bool HasUid() {
  const std::string& uid = web::GetCurrentUid();
  return config::IsSecurityOn() && !uid.empty() && uid.front() != ' ';
}

void WriteScripts() {
  base::Write(nullptr, "<SCRIPT LANGUAGE=\"JavaScript\">\n");
  base::Write(nullptr, "function changePage(page,menu)\n{\n   document.location = page\n}\n");
  base::Write(nullptr, "</SCRIPT>\n");
  base::Write(nullptr, "<SCRIPT  LANGUAGE=javascript1.2>\nfunction checkChange()\n{\n");
  base::Write(nullptr, "   var f = document.forms[1];\n");
  for (const Box& box : kStatusBoxes)
    base::Page("   f.%s.checked = f.ALL.checked;\n", StatusBoxName(box.status));
  base::Write(nullptr, "}\n</SCRIPT>\n");
}

void WriteQuickAccess(const std::string& script) {
  base::Page("<FORM ACTION=\"%s\">\n", script);
  base::Page("%s : <INPUT SIZE=20 NAME=\"%s\">\n", Msg(2005), "find");
  base::Page("<INPUT TYPE=submit VALUE=\"%s\">\n", Msg(2006));
  if (HasUid())
    base::Page("<INPUT TYPE=hidden name=%s Value=\"%s\">", "Uid",
               base::EscapeHtml(web::GetCurrentUid()));
  base::Write(nullptr, "</FORM>\n");
}

void WriteProjectRow(const std::string& script, const std::string& project) {
  base::Write(nullptr, "<TABLE BORDER=0 WIDTH=100%>\n<TR>");
  Label(100);
  base::Page("<TD><INPUT TYPE=\"hidden\" NAME=project VALUE=\"%s\">\n", base::EscapeHtml(project));
  if (HasUid())
    base::Page("<INPUT TYPE=\"hidden\" NAME=Uid VALUE=\"%s\">\n",
               base::EscapeHtml(web::GetCurrentUid()));
  base::Page("<SELECT NAME=\"%s\" onChange=", "Deroulant");
  base::Page(" \"changePage(this.options[this.selectedIndex].value,%s)\" >\n", "Deroulant");
  const std::string uid = web::UidSuffix();
  // The empty choice is every project the user may see, and stays chosen.
  base::Page("<OPTION VALUE=\"%s?%s=%s&%s=%s\"%s>&nbsp\n", script, "CMD", "search", "project", uid,
             project.empty() ? " SELECTED" : "");
  for (const std::string& name : config::ListProjects(" ")) {
    base::Page("<OPTION VALUE=\"%s?%s=%s&%s=%s%s\" ", script, "CMD", "search", "project",
               base::EscapeHtml(name), uid);
    if (name == project) base::Write(nullptr, "SELECTED ");
    base::Page("> %s \n", base::EscapeHtml(name));
  }
  CloseList();
  // Across every project no sub-project is taken for granted.
  const std::string last_group = project.empty() ? std::string() : users::GetLastSubproject();
  List(101, "group", [&] {
    config::WriteSubprojectOptions(nullptr, project, last_group.empty() ? " " : last_group);
  });
  List(102, "phase", [] { config::WritePhaseOptions(nullptr, -1); });
  base::Write(nullptr, "</TR>\n<TR>");
  Label(117);
  OpenList("resp");
  base::Write(nullptr, "<OPTION SELECTED>all\n");
  config::WriteUserOptions(nullptr, project);
  CloseList();
  List(113, "submitter", [&] { config::WriteUserOptions(nullptr, project); });
  List(118, "verifier", [&] { config::WriteUserOptions(nullptr, project); });
  base::Write(nullptr, "</TR>\n</TABLE>\n");
}

void WriteStatusBoxes() {
  base::Write(nullptr, "<TABLE BORDER=0>\n<TR><TD>Status :</TD>\n");
  for (int i = 0; i < 6; ++i) WriteBox(kStatusBoxes[i]);
  base::Write(nullptr, "</TR>\n<TR>");
  base::Write(nullptr, "<TD><INPUT TYPE=checkbox NAME=ALL ");
  base::Page("onclick=\"javascript:checkChange();\">%s</TD>\n", Msg(212));
  WriteBox(kStatusBoxes[6]);
  WriteBox(kStatusBoxes[7], "<TD COLSPAN=2>");
  for (int i = 8; i < store::kStatusCount; ++i) WriteBox(kStatusBoxes[i]);
  base::Write(nullptr, "</TR>\n</TABLE>\n");
}

void WriteFieldLists(const std::string& project) {
  base::Write(nullptr, "<TABLE BORDER=0 WIDTH=100%>\n<TR>");
  List(108, "prog", [&] { config::WriteProjectFileOptions(nullptr, project, "program"); });
  List(110, "version", [&] { config::WriteProjectFileOptions(nullptr, project, "version"); });
  List(104, "impact", [] { config::WriteImpactOptions(nullptr, -1); });
  base::Write(nullptr, "</TR>\n<TR>");
  List(109, "sev", [] { config::WriteSeverityOptions(nullptr, 0); });
  List(111, "exp", [&] { config::WriteDeadlineOptions(nullptr, project); });
  List(112, "type", [] { config::WriteTypeOptions(nullptr, 0); });
  base::Write(nullptr, "</TR>\n<TR>");
  List(120, "corrVers", [&] { config::WriteProjectFileOptions(nullptr, project, "version"); });
  List(121, "verVers", [&] { config::WriteProjectFileOptions(nullptr, project, "version"); });
  List(122, "adType", [] {
    base::Page("<OPTION VALUE=1> %s\n", Msg(131));
    base::Page("<OPTION VALUE=2> %s\n", Msg(132));
  });
  base::Write(nullptr, "</TR>\n</TABLE>\n");
}

void WriteDateAndText() {
  base::Write(nullptr, "<TABLE BORDER=0>\n<TR><TD><SELECT NAME=ival>\n");
  base::Write(nullptr, "<OPTION SELECTED VALUE=0>&nbsp\n");
  base::Page("<OPTION VALUE=1> %s\n", Msg(211));
  base::Page("<OPTION VALUE=2> %s\n", Msg(204));
  base::Page("<OPTION VALUE=3> %s\n", Msg(205));
  base::Write(nullptr, "</SELECT></TD>\n");
  base::Page("<TD>%s</TD><TD><INPUT NAME=between VALUE=\"%s\"></TD>\n", Msg(2008),
             "31/12/1998:12.00.00");
  base::Page("<TD>%s</TD><TD><INPUT NAME=and VALUE=\"%s\"></TD></TR>\n", Msg(2110),
             "31/12/2010:12.00.00");
  base::Write(nullptr, "</TABLE>\n<TABLE BORDER=0>\n<TR>");
  Label(2009);
  base::Write(nullptr, "<TD><INPUT NAME=intext SIZE=30></TD>\n");
  Label(2010);
  base::Write(nullptr, "<TD><INPUT NAME=intitle SIZE=30></TD>\n");
  base::Page("<TD><INPUT TYPE=submit VALUE=\"%s\"> <INPUT TYPE=reset VALUE=\"Reset\"></TD></TR>\n",
             Msg(3002));
  base::Write(nullptr, "</TABLE>\n");
}

void WriteDisplayOptions() {
  base::Page("<HR>\n<P><H3>%s:</H3>\n", Msg(2028));
  base::Write(nullptr, "<TABLE BORDER=0>\n<TR>");
  Label(2011);
  base::Write(nullptr, "<TD><SELECT NAME=sort>\n");
  static constexpr std::pair<char, int> kSorts[] = {
      {'0', 2012}, {'1', 2013}, {'2', 2014}, {'3', 2015}, {'4', 106}};
  for (auto [value, label] : kSorts) base::Page("<OPTION VALUE=%c> %s\n", value, Msg(label));
  CloseList();
  base::Page("<TD><INPUT TYPE=checkbox NAME=aff_vers VALUE=AV> %s\n", Msg(2016));
  base::Write(nullptr, "<SELECT NAME=aff_versSel>\n");
  for (int k = 1; k <= 4; ++k) base::Page("<OPTION VALUE=%d> %s\n", k, Msg(2016 + k));
  CloseList();
  base::Write(nullptr, "</TR>\n<TR>");
  base::Page("<TD><INPUT TYPE=checkbox NAME=aff_crit VALUE=AC> %s</TD>\n", Msg(2021));
  base::Page("<TD><INPUT TYPE=checkbox NAME=aff_mdapda VALUE=AM> %s</TD>\n", Msg(2022));
  base::Page("<TD><INPUT TYPE=checkbox NAME=excel VALUE=X> %s</TD>\n", Msg(2023));
  base::Write(nullptr, "</TR>\n</TABLE>\n</FORM>\n");
}

}  // namespace

void ShowSearchForm(const web::ParamList& params) {
  // An empty project, chosen on the form, searches every project; only a request that
  // names none starts from the remembered one.
  std::string project = web::GetParam(params, "project");
  const bool security = config::IsSecurityOn();
  std::optional<users::UidNames> reader;
  if (security) reader = users::ReadIdentity(params);
  bool named = false;
  for (const web::Param& p : params) named = named || p.name == "project";
  // With security on the form offers the lists (members among them) of a project the
  // reader may read, by default the token's.
  if (web::IsAbsent(project) && !named)
    project = reader ? reader->project : users::GetLastProject();
  else if (web::IsAbsent(project))
    project.clear();

  web::WritePageHead(nullptr, Msg(2003), "", params);
  web::WriteHomeLink();
  // Every project at once shows no project's lists: the reader needs only to be known.
  if (security &&
      (!reader || !users::MayReadProject(params, project.empty() ? reader->project : project)))
    return web::ErrorBox(config::kMsgNoRight);
  WriteScripts();
  base::Page("<H1>%s</H1>\n", Msg(2004));
  base::Write(nullptr, "<HR>\n");
  const std::string script = base::EscapeHtml(web::ScriptName());
  WriteQuickAccess(script);

  base::Page("<P><H3>%s:</H3>\n", Msg(2007));
  base::Page("<FORM ACTION=\"%s\">\n", script);
  base::Write(nullptr, "<INPUT TYPE=\"hidden\" NAME=CMD VALUE=\"find\">\n");
  WriteProjectRow(script, project);
  WriteStatusBoxes();
  WriteFieldLists(project);
  WriteDateAndText();
  WriteDisplayOptions();
}

}  // namespace search
