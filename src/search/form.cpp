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

// What the form was sent with when it reloads itself for another project: every criterion
// comes back as it was. A first showing (no list) starts from the defaults.
struct Sent {
  const web::ParamList* list = nullptr;
  // The form was sent back for another project than the one its lists were of: what belongs
  // to the old project (sub-project, programs, versions, deadlines) starts again from the
  // defaults, as a filter the new lists cannot show would narrow the search unseen.
  bool moved = false;

  // The value sent, or `fallback` when the form was not sent or the field was left empty.
  std::string Value(std::string_view name, std::string_view fallback) const {
    if (!list) return std::string(fallback);
    const std::string& value = web::GetParam(*list, name);
    return web::IsAbsent(value) || value.empty() ? std::string(fallback) : value;
  }
  // The value of a list of the project's own.
  std::string Place(std::string_view name, std::string_view fallback) const {
    return moved ? std::string(fallback) : Value(name, fallback);
  }
  int Number(std::string_view name, int fallback) const {
    const std::string value = Value(name, "");
    return value.empty() ? fallback : web::GetParamInt(*list, name);
  }
  // The list index a letter value stands for.
  int Index(std::string_view name) const {
    const std::string value = Value(name, "");
    return value.empty() ? -1 : static_cast<unsigned char>(value.front()) - 'a';
  }
  bool Ticked(std::string_view name, bool fallback) const {
    return list ? !web::IsAbsent(web::GetParam(*list, name)) : fallback;
  }
  std::string_view Selected(bool chosen) const { return chosen ? " SELECTED" : ""; }
};

// A list opened with its empty option selected, its options written by `options`.
template <typename Options>
void List(int label, std::string_view name, Options options) {
  web::LabelCell(label, name);
  web::OpenSelectCell(name);
  base::Write(nullptr, kEmptyOption);
  options();
  web::CloseSelectCell();
}

void WriteBox(const Sent& sent, const Box& box, std::string_view cell = "<TD>") {
  const auto name = StatusBoxName(box.status);
  base::Page("%s<INPUT TYPE=checkbox NAME=%s ID=%s VALUE=X %s> <LABEL FOR=%s>%s</LABEL></TD>\n",
             cell, name, name, sent.Ticked(name, box.ticked) ? "CHECKED" : "", name,
             store::GetStatusLabel(box.status));
}

bool HasUid() {
  const std::string& uid = web::GetCurrentUid();
  return config::IsSecurityOn() && !uid.empty() && uid.front() != ' ';
}

void WriteScripts() {
  web::WriteProjectChangeScript("search");
  base::Write(nullptr, "<SCRIPT  LANGUAGE=javascript1.2>\nfunction checkChange()\n{\n");
  base::Write(nullptr, "   var f = document.forms[1];\n");
  for (const Box& box : kStatusBoxes)
    base::Page("   f.%s.checked = f.ALL.checked;\n", StatusBoxName(box.status));
  base::Write(nullptr, "}\n</SCRIPT>\n");
}

void WriteQuickAccess(const std::string& script) {
  base::Page("<FORM ACTION=\"%s\">\n", script);
  base::Page("<LABEL FOR=find>%s</LABEL> : <INPUT SIZE=20 NAME=\"%s\" ID=find>\n", Msg(2005),
             "find");
  base::Page("<INPUT TYPE=submit VALUE=\"%s\">\n", Msg(2006));
  if (HasUid())
    base::Page("<INPUT TYPE=hidden name=%s Value=\"%s\">", "Uid",
               base::EscapeHtml(web::GetCurrentUid()));
  base::Write(nullptr, "</FORM>\n");
}

void WriteProjectRow(const Sent& sent, const std::string& script, const std::string& project) {
  base::Write(nullptr, "<TABLE BORDER=0 WIDTH=100%>\n<TR>");
  web::LabelCell(100, "Deroulant");
  base::Page("<TD><INPUT TYPE=\"hidden\" NAME=project VALUE=\"%s\">\n", base::EscapeHtml(project));
  if (HasUid())
    base::Page("<INPUT TYPE=\"hidden\" NAME=Uid VALUE=\"%s\">\n",
               base::EscapeHtml(web::GetCurrentUid()));
  base::Page("<SELECT NAME=\"%s\" ID=Deroulant onChange=", "Deroulant");
  base::Page(" \"changePage(this.options[this.selectedIndex].value,%s)\" >\n", "Deroulant");
  const std::string uid = web::UidSuffix();
  // The empty choice is every project the user may see, and stays chosen.
  base::Page("<OPTION VALUE=\"%s?%s=%s&%s=%s\"%s>&nbsp\n", script, "CMD", "search", "project", uid,
             project.empty() ? " SELECTED" : "");
  web::WriteProjectChoices("search", project, uid);
  web::CloseSelectCell();
  // Across every project no sub-project is taken for granted.
  const std::string last_group = project.empty() ? std::string() : users::GetLastSubproject();
  const std::string group = sent.list            ? sent.Place("group", " ")
                            : last_group.empty() ? " "
                                                 : last_group;
  List(101, "group", [&] { config::WriteSubprojectOptions(nullptr, project, group); });
  List(102, "phase", [&] { config::WritePhaseOptions(nullptr, sent.Index("phase")); });
  base::Write(nullptr, "</TR>\n<TR>");
  web::LabelCell(117, "resp");
  web::OpenSelectCell("resp");
  base::Write(nullptr, "<OPTION SELECTED>all\n");
  config::WriteUserOptions(nullptr, project, sent.Value("resp", ""));
  web::CloseSelectCell();
  List(113, "submitter",
       [&] { config::WriteUserOptions(nullptr, project, sent.Value("submitter", "")); });
  List(118, "verifier",
       [&] { config::WriteUserOptions(nullptr, project, sent.Value("verifier", "")); });
  base::Write(nullptr, "</TR>\n</TABLE>\n");
}

void WriteStatusBoxes(const Sent& sent) {
  base::Write(nullptr, "<TABLE BORDER=0>\n<TR><TD>Status :</TD>\n");
  for (int i = 0; i < 6; ++i) WriteBox(sent, kStatusBoxes[i]);
  base::Write(nullptr, "</TR>\n<TR>");
  base::Write(nullptr, "<TD><INPUT TYPE=checkbox NAME=ALL ID=ALL ");
  if (sent.Ticked("ALL", false)) base::Write(nullptr, "CHECKED ");
  base::Page("onclick=\"javascript:checkChange();\"><LABEL FOR=ALL>%s</LABEL></TD>\n", Msg(212));
  WriteBox(sent, kStatusBoxes[6]);
  WriteBox(sent, kStatusBoxes[7], "<TD COLSPAN=2>");
  for (int i = 8; i < store::kStatusCount; ++i) WriteBox(sent, kStatusBoxes[i]);
  base::Write(nullptr, "</TR>\n</TABLE>\n");
}

void WriteFieldLists(const Sent& sent, const std::string& project) {
  auto file_list = [&](int label, std::string_view name, std::string_view kind) {
    List(label, name,
         [&] { config::WriteProjectFileOptions(nullptr, project, kind, sent.Place(name, " ")); });
  };
  base::Write(nullptr, "<TABLE BORDER=0 WIDTH=100%>\n<TR>");
  file_list(108, "prog", "program");
  file_list(110, "version", "version");
  List(104, "impact", [&] { config::WriteImpactOptions(nullptr, sent.Index("impact")); });
  base::Write(nullptr, "</TR>\n<TR>");
  List(109, "sev", [&] { config::WriteSeverityOptions(nullptr, sent.Number("sev", 0)); });
  List(111, "exp", [&] { config::WriteDeadlineOptions(nullptr, project, sent.Place("exp", "")); });
  List(112, "type", [&] { config::WriteTypeOptions(nullptr, sent.Number("type", 0)); });
  base::Write(nullptr, "</TR>\n<TR>");
  file_list(120, "corrVers", "version");
  file_list(121, "verVers", "version");
  List(122, "adType", [&] {
    const int chosen = sent.Number("adType", 0);
    base::Page("<OPTION VALUE=1%s> %s\n", sent.Selected(chosen == 1), Msg(131));
    base::Page("<OPTION VALUE=2%s> %s\n", sent.Selected(chosen == 2), Msg(132));
  });
  base::Write(nullptr, "</TR>\n</TABLE>\n");
}

// A text field, with the text sent when there is one.
void WriteTextField(const Sent& sent, std::string_view name) {
  const std::string value = sent.Value(name, "");
  if (value.empty())
    base::Page("<TD><INPUT NAME=%s ID=%s SIZE=30></TD>\n", name, name);
  else
    base::Page("<TD><INPUT NAME=%s ID=%s SIZE=30 VALUE=\"%s\"></TD>\n", name, name,
               base::EscapeHtml(value));
}

void WriteDateAndText(const Sent& sent) {
  const int interval = sent.Number("ival", 0);
  base::Page("<TABLE BORDER=0>\n<TR><TD><SELECT NAME=ival ARIA-LABEL=\"%s / %s / %s\">\n",
             base::EscapeHtml(Msg(211)), base::EscapeHtml(Msg(204)), base::EscapeHtml(Msg(205)));
  base::Write(nullptr, "<OPTION SELECTED VALUE=0>&nbsp\n");
  static constexpr int kIntervals[] = {211, 204, 205};
  for (int k = 1; k <= 3; ++k)
    base::Page("<OPTION%s VALUE=%d> %s\n", sent.Selected(interval == k), k, Msg(kIntervals[k - 1]));
  base::Write(nullptr, "</SELECT></TD>\n");
  base::Page(
      "<TD><LABEL FOR=between>%s</LABEL></TD><TD><INPUT NAME=between ID=between "
      "VALUE=\"%s\"></TD>\n",
      Msg(2008), base::EscapeHtml(sent.Value("between", "31/12/1998:12.00.00")));
  base::Page(
      "<TD><LABEL FOR=and>%s</LABEL></TD><TD><INPUT NAME=and ID=and VALUE=\"%s\"></TD></TR>\n",
      Msg(2110), base::EscapeHtml(sent.Value("and", "31/12/2010:12.00.00")));
  base::Write(nullptr, "</TABLE>\n<TABLE BORDER=0>\n<TR>");
  web::LabelCell(2009, "intext");
  WriteTextField(sent, "intext");
  web::LabelCell(2010, "intitle");
  WriteTextField(sent, "intitle");
  base::Page("<TD><INPUT TYPE=submit VALUE=\"%s\"> <INPUT TYPE=reset VALUE=\"Reset\"></TD></TR>\n",
             Msg(3002));
  base::Write(nullptr, "</TABLE>\n");
}

void WriteDisplayOptions(const Sent& sent) {
  base::Page("<HR>\n<P><H3>%s:</H3>\n", Msg(2028));
  base::Write(nullptr, "<TABLE BORDER=0>\n<TR>");
  web::LabelCell(2011, "sort");
  base::Write(nullptr, "<TD><SELECT NAME=sort ID=sort>\n");
  static constexpr std::pair<char, int> kSorts[] = {
      {'0', 2012}, {'1', 2013}, {'2', 2014}, {'3', 2015}, {'4', 106}};
  const std::string sort = sent.Value("sort", "");
  for (auto [value, label] : kSorts)
    base::Page("<OPTION VALUE=%c%s> %s\n", value,
               sent.Selected(sort.size() == 1 && sort[0] == value), Msg(label));
  web::CloseSelectCell();
  auto checked = [&](std::string_view name) { return sent.Ticked(name, false) ? " CHECKED" : ""; };
  base::Page(
      "<TD><INPUT TYPE=checkbox NAME=aff_vers ID=aff_vers VALUE=AV%s> "
      "<LABEL FOR=aff_vers>%s</LABEL>\n",
      checked("aff_vers"), Msg(2016));
  base::Page("<SELECT NAME=aff_versSel ARIA-LABEL=\"%s\">\n", base::EscapeHtml(Msg(2016)));
  const int shown = sent.Number("aff_versSel", 0);
  for (int k = 1; k <= 4; ++k)
    base::Page("<OPTION VALUE=%d%s> %s\n", k, sent.Selected(shown == k), Msg(2016 + k));
  web::CloseSelectCell();
  base::Write(nullptr, "</TR>\n<TR>");
  base::Page(
      "<TD><INPUT TYPE=checkbox NAME=aff_crit ID=aff_crit VALUE=AC%s> <LABEL "
      "FOR=aff_crit>%s</LABEL></TD>\n",
      checked("aff_crit"), Msg(2021));
  base::Page(
      "<TD><INPUT TYPE=checkbox NAME=aff_mdapda ID=aff_mdapda VALUE=AM%s> <LABEL "
      "FOR=aff_mdapda>%s</LABEL></TD>\n",
      checked("aff_mdapda"), Msg(2022));
  base::Page(
      "<TD><INPUT TYPE=checkbox NAME=aff_list ID=aff_list VALUE=AL%s> <LABEL "
      "FOR=aff_list>%s</LABEL></TD>\n",
      checked("aff_list"), Msg(2139));
  base::Page(
      "<TD><INPUT TYPE=checkbox NAME=excel ID=excel VALUE=X%s> <LABEL FOR=excel>%s</LABEL></TD>\n",
      checked("excel"), Msg(2023));
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
  // A form sent back to itself (it always sends its sort order) is shown as it was filled.
  bool sent_back = false;
  for (const web::Param& p : params) sent_back = sent_back || p.name == "sort";
  Sent sent{sent_back ? &params : nullptr};
  sent.moved = sent_back && web::GetParam(params, "listed") != project;
  base::Page("<INPUT TYPE=\"hidden\" NAME=listed VALUE=\"%s\">\n", base::EscapeHtml(project));
  WriteProjectRow(sent, script, project);
  WriteStatusBoxes(sent);
  WriteFieldLists(sent, project);
  WriteDateAndText(sent);
  WriteDisplayOptions(sent);
}

}  // namespace search
