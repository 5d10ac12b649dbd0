#include "sheets/create.h"

#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/encode.h"
#include "base/files.h"
#include "base/out.h"
#include "config/language.h"
#include "config/main_config.h"
#include "config/options.h"
#include "config/projects.h"
#include "sheets/display.h"
#include "sheets/notify.h"
#include "sheets/revision.h"
#include "store/store.h"
#include "sync/sync.h"
#include "users/rights.h"
#include "users/user_context.h"
#include "web/cookies.h"
#include "web/identity.h"
#include "web/page.h"
#include "web/response.h"

namespace sheets {
namespace {

using config::Msg;

constexpr int kMsgNotOfProject = 563;
constexpr int kMsgFillInFields = 564;

// The empty first option of a list: its value is empty, so a required list left on it
// counts as missing and an optional one stays empty.
constexpr std::string_view kEmptyOption = "<OPTION VALUE=\"\">&nbsp\n";
constexpr std::string_view kEmptyOptionSelected = "<OPTION SELECTED VALUE=\"\">&nbsp\n";

// The list index of a typed letter value; `fallback` when none was typed.
int TypedIndex(const web::ParamList& params, std::string_view name, int fallback) {
  const std::string value = web::FieldValue(params, name);
  return value.empty() ? fallback : config::LetterIndex(value);
}

// The empty first option, selected when nothing is chosen.
std::string_view EmptyOption(std::string_view chosen) {
  return chosen.empty() ? kEmptyOptionSelected : kEmptyOption;
}

void WriteProjectRow(std::string_view project, const web::ParamList& params) {
  const std::string script = web::ScriptName();
  base::Write(nullptr, "<TR>");
  web::LabelCell(100, "Deroulant");
  base::Page("<TD><INPUT TYPE=\"hidden\" NAME=project VALUE=\"%s\">\n", base::EscapeHtml(project));
  base::Page("<SELECT NAME=\"%s\" ID=Deroulant onChange=", "Deroulant");
  base::Page(" \"changePage(this.options[this.selectedIndex].value,%s)\" >\n", "Deroulant");
  // Reloading keeps the identity, so the creation right is checked again for the same user.
  const std::string uid = web::UidSuffix();
  base::Page("<OPTION VALUE=\"%s?CMD=create%s\">&nbsp\n", script, uid);
  web::WriteProjectChoices("create", project, uid);
  web::CloseSelectCell();

  web::LabelCell(101, "group");
  web::OpenSelectCell("group");
  base::Write(nullptr, kEmptyOption);
  std::string group = web::FieldValue(params, "group");
  if (group.empty()) group = users::GetLastSubproject();
  config::WriteSubprojectOptions(nullptr, project, group.empty() ? " " : group);
  web::CloseSelectCell();

  web::LabelCell(108, "prog");
  web::OpenSelectCell("prog");
  const std::string prog = web::FieldValue(params, "prog");
  base::Write(nullptr, EmptyOption(prog));
  config::WriteProjectFileOptions(nullptr, project, "program", prog.empty() ? " " : prog);
  web::CloseSelectCell();
  base::Write(nullptr, "</TR>\n");
}

void WriteClassRows(std::string_view project, const web::ParamList& params) {
  base::Write(nullptr, "<TR>");
  web::LabelCell(109, "sev");
  web::OpenSelectCell("sev");
  const int sev = web::GetParamInt(params, "sev");
  base::Write(nullptr, EmptyOption(sev ? "x" : ""));
  config::WriteSeverityOptions(nullptr, sev);
  web::CloseSelectCell();
  web::LabelCell(104, "impact");
  web::OpenSelectCell("impact");
  const int impact = TypedIndex(params, "impact", -1);
  base::Write(nullptr, EmptyOption(impact >= 0 ? "x" : ""));
  config::WriteImpactOptions(nullptr, impact);
  web::CloseSelectCell();
  web::LabelCell(102, "phase");
  web::OpenSelectCell("phase");
  base::Write(nullptr, kEmptyOption);
  config::WritePhaseOptions(nullptr, TypedIndex(params, "phase", users::GetLastPhase()));
  web::CloseSelectCell();
  base::Write(nullptr, "</TR>\n");

  base::Write(nullptr, "<TR>");
  web::LabelCell(110, "version");
  web::OpenSelectCell("version");
  const std::string version = web::FieldValue(params, "version");
  base::Write(nullptr, EmptyOption(version));
  config::WriteProjectFileOptions(nullptr, project, "version", version.empty() ? " " : version);
  web::CloseSelectCell();
  web::LabelCell(111, "exp");
  web::OpenSelectCell("exp");
  const std::string exp = web::FieldValue(params, "exp");
  base::Write(nullptr, kEmptyOption);
  config::WriteDeadlineOptions(nullptr, project, exp);
  web::CloseSelectCell();
  web::LabelCell(112, "type");
  web::OpenSelectCell("type");
  const int type = web::GetParamInt(params, "type");
  base::Write(nullptr, EmptyOption(type ? "x" : ""));
  config::WriteTypeOptions(nullptr, type);
  web::CloseSelectCell();
  base::Write(nullptr, "</TR>\n");
}

void WritePersonTable(std::string_view project, const web::ParamList& params) {
  base::Write(nullptr, "<TABLE BORDER=0 WIDTH=100%>\n<TR>");
  web::LabelCell(113, "submitter");
  web::OpenSelectCell("submitter");
  base::Write(nullptr, kEmptyOption);
  std::string submitter = web::FieldValue(params, "submitter");
  if (submitter.empty()) submitter = users::GetUserName();
  config::WriteUserOptions(nullptr, project, submitter);
  web::CloseSelectCell();
  web::LabelCell(114, "test");
  base::Page("<TD><INPUT NAME=test ID=test VALUE=\"%s\"></TD>\n",
             base::EscapeHtml(web::FieldValue(params, "test")));
  base::Write(nullptr, "</TR>\n<TR>");
  web::LabelCell(115, "mdapda");
  base::Page("<TD><INPUT NAME=mdapda ID=mdapda SIZE=40 VALUE=\"%s\"></TD>\n",
             base::EscapeHtml(web::FieldValue(params, "mdapda")));
  web::LabelCell(116, "Load");
  std::string load = web::FieldValue(params, "Load");
  if (load.empty()) load = "1";
  base::Page("<TD><INPUT NAME=Load ID=Load SIZE=4 VALUE=\"%s\"></TD><TD>&nbsp</TD></TR>\n",
             base::EscapeHtml(load));
  // The line end after the tag is dropped by the browser: a typed text keeps its first line.
  // The text area is named by its first line's label, which the browser does not read out.
  const std::string* text = web::FindParam(params, "text");
  base::Page("<TR><TD COLSPAN=6><TEXTAREA NAME=text ROWS=15 COLS=80 ARIA-LABEL=\"%s\">",
             base::EscapeHtml(Msg(107)));
  if (text)
    base::Page("\n%s</TEXTAREA></TD></TR>\n", base::EscapeHtml(*text));
  else
    base::Page("%s :\n</TEXTAREA></TD></TR>\n", Msg(107));
  // The buttons come after every field, where the keyboard reaches them last.
  base::Page(
      "<TR><TD COLSPAN=6><INPUT TYPE=submit VALUE=\"%s\"> <INPUT TYPE=reset "
      "VALUE=\"Reset\"></TD></TR>\n",
      Msg(3001));
  base::Write(nullptr, "</TABLE>\n");
}

// The token of a logged-in user, which the storing of the form needs: the cookie alone
// never changes data.
void WriteUidField() {
  const std::string& uid = web::GetCurrentUid();
  if (!config::IsSecurityOn() || web::IsMissing(uid)) return;
  base::Page("<INPUT TYPE=\"hidden\" NAME=Uid VALUE=\"%s\">\n", base::EscapeHtml(uid));
}

// The name of the new sheet over its home link.
void WriteCreatedHead(std::string_view name) {
  base::Write(nullptr, "<Table Width=100% Cellpadding=0 Cellspacing=0 border=0>\n");
  base::Page("<TR><TD ALIGN=LEFT><H1>%s", base::EscapeHtml(name));
  base::Write(nullptr, "</H1></TD>\n<TD ALIGN=RIGHT Valign=TOP>\n");
  base::Write(nullptr, "<A HREF=\"?\">");
  base::Page("<IMG SRC=\"%s/home.gif\" BORDER=0 VALIGN=CENTER ALT=\"QUORB\"></A>\n",
             config::GetImageDir());
  base::Write(nullptr, "</TD></TR></Table>\n");
}

}  // namespace

namespace {

// The project of the form: `project`, else the remembered one; " " when it is not listed.
std::string FormProject(const web::ParamList& params, bool& listed) {
  std::string project = web::GetParam(params, "project");
  if (web::IsAbsent(project)) project = users::GetLastProject();
  // Only a listed project names the files the lists come from.
  listed = users::IsListedProject(project);
  if (!listed) project = " ";
  return project;
}

// The form itself, every field holding what the request carries.
void WriteCreateForm(const web::ParamList& params, std::string_view project) {
  web::WriteProjectChangeScript("create");

  base::Page("<FORM METHOD=POST ACTION=\"%s\">\n", base::EscapeHtml(web::ScriptName()));
  base::Write(nullptr, "<INPUT TYPE=\"hidden\" NAME=CMD VALUE=\"new\">\n");
  WriteUidField();
  base::Page("<INPUT TYPE=\"hidden\" NAME=QS VALUE=\"%s\">\n",
             base::EscapeHtml(web::GetParam(params, "QS")));
  WriteOnceField();

  base::Write(nullptr, "<TABLE BORDER=0 WIDTH=100%>\n");
  base::Page("<TR><TD COLSPAN=6><LABEL FOR=title><B>%s</B></LABEL> ", Msg(106));
  base::Page("<INPUT NAME=%s ID=title SIZE=73 VALUE=\"%s\"></TD></TR>\n", "title",
             base::EscapeHtml(web::FieldValue(params, "title")));
  WriteProjectRow(project, params);
  WriteClassRows(project, params);
  base::Write(nullptr, "</TABLE>\n");
  WritePersonTable(project, params);
  base::Write(nullptr, "</FORM>\n");
}

}  // namespace

void ShowCreateForm(const web::ParamList& params) {
  bool listed = false;
  const std::string project = FormProject(params, listed);

  web::WritePageHead(nullptr, Msg(2000), "", params);
  web::WriteHomeLink();
  // The right is the one in the project shown; with none, the one of the login's project.
  if (!users::CanCreateSheet(params, listed ? project : std::string_view())) {
    web::ErrorBox(515);
    return;
  }
  base::Page("<H1>%s</H1>\n", Msg(2001));
  WriteCreateForm(params, project);
}

int ValidateNewSheet(const web::ParamList& params) {
  struct Required {
    std::string_view name;
    int label;
  };
  static constexpr Required kRequired[] = {
      {"title", 106},  {"project", 100}, {"group", 101},   {"prog", 108},      {"sev", 109},
      {"impact", 104}, {"phase", 102},   {"version", 110}, {"submitter", 113},
  };
  // Every missing field in one box: one round trip, not one per field.
  std::vector<std::string> missing;
  for (const Required& field : kRequired)
    if (web::IsMissing(web::GetParam(params, field.name))) missing.push_back(Msg(field.label));
  if (missing.empty()) return 1;
  if (missing.size() == 1) {
    web::ErrorBoxArg(config::kMsgFillInField, missing.front());
    return 0;
  }
  std::string labels = missing.front();
  for (size_t i = 1; i < missing.size(); ++i) labels += ", " + missing[i];
  web::ErrorBoxArg(kMsgFillInFields, labels);
  return 0;
}

int ValidatePlace(const web::ParamList& params, const store::FactSheet* kept) {
  const std::string& project = web::GetParam(params, "project");
  if (!users::IsListedProject(project)) {
    web::ErrorBoxArg(518, project);
    return 0;
  }
  const bool same = kept && kept->project == project;
  auto refuse = [](int label, std::string_view value) {
    web::ErrorBoxArg(kMsgNotOfProject, base::Sprintf("%s %s", Msg(label), value));
    return 0;
  };
  const std::string& group = web::GetParam(params, "group");
  if (!(same && group == kept->group) &&
      (web::IsMissing(group) || config::ListSubprojects(project, group).empty()))
    return refuse(101, group);
  const std::string& prog = web::GetParam(params, "prog");
  if (!(same && prog == kept->prog) && !config::IsProjectFileOption(project, "program", prog))
    return refuse(108, prog);
  const std::string& version = web::GetParam(params, "version");
  if (!web::IsMissing(version) && !(same && version == kept->version) &&
      !config::IsProjectFileOption(project, "version", version))
    return refuse(110, version);
  const std::string& phase = web::GetParam(params, "phase");
  const int index = config::LetterIndex(phase);
  if (phase.size() != 1 || index < 0 || static_cast<size_t>(index) >= config::CountPhases())
    return refuse(102, phase);
  return 1;
}

void FillNewSheet(const web::ParamList& params, store::FactSheet& sheet) {
  sheet = store::FactSheet{};
  auto text = [&](std::string_view name) { return web::GetParam(params, name); };
  sheet.project = text("project");
  sheet.group = text("group");
  sheet.subCode = config::GetSubprojectCode(sheet.project, sheet.group);
  sheet.phase = config::LetterIndex(text("phase"));
  sheet.impact = config::LetterIndex(text("impact"));
  sheet.created = static_cast<int>(std::time(nullptr));
  sheet.submitter = text("submitter");
  sheet.prog = text("prog");
  sheet.version = text("version");
  sheet.title = text("title");
  // Optional fields the request does not carry stay empty.
  sheet.exp = web::ValueOrEmpty(params, "exp");
  sheet.test = web::ValueOrEmpty(params, "test");
  sheet.mdapda = web::ValueOrEmpty(params, "mdapda");
  sheet.sev = web::GetParamInt(params, "sev");
  sheet.type = web::GetParamInt(params, "type");
  sheet.Load = web::GetParamInt(params, "Load");
  sheet.status = store::kNew;
}

namespace {

// The page after a stored creation: the new sheet under its name, with its action bar.
void ShowCreatedSheet(const web::ParamList& params, std::string_view name) {
  web::WritePageHead(nullptr, Msg(2002), "", params);
  // Read once a change left unfinished is finished (ReadSheet does): never the sheet as it
  // was before the change this page follows.
  std::optional<store::FactSheet> sheet = store::ReadSheet(name);
  if (store::ChangePending()) return ShowWillAppear(name);
  // Only what the reader may see: with security on, a member of the sheet's project.
  if (!sheet || !users::CheckRightQuietly(params, 1, sheet->project)) {
    web::WriteHomeLink();
    web::ErrorBox(config::kMsgCannotReadSheet);
    return;
  }
  WriteCreatedHead(name);
  WriteActionBar(nullptr, name, "");
  WriteSheetBody(*sheet, nullptr);
}

}  // namespace

int StoreNewSheet(const web::ParamList& params) {
  // The page a stored creation leads to: reloading it shows the sheet again.
  const std::string& done = web::GetParam(params, "Done");
  if (!web::IsAbsent(done) && web::IsAbsent(web::GetParam(params, "title"))) {
    ShowCreatedSheet(params, done);
    return 1;
  }
  web::PageHold hold;
  // A refusal shows the form again, as it was filled, below the error, under the title of
  // the form: nothing was created.
  std::string errors;
  {
    web::PageHold check;
    if (ValidateNewSheet(params)) ValidatePlace(params);
    errors = check.Take();
  }
  web::WritePageHead(nullptr, Msg(errors.empty() ? 2002 : 2000), "", params);
  bool listed = false;
  const std::string form_project = FormProject(params, listed);
  auto refuse = [&] {
    web::WriteHomeLink();
    WriteCreateForm(params, form_project);
    return 0;
  };
  if (!errors.empty()) {
    base::Write(nullptr, errors);
    return refuse();
  }
  const std::string& project = web::GetParam(params, "project");
  // With security on, only a member with the creation right in the sheet's project stores,
  // and only with the token in the request itself.
  if (config::IsSecurityOn() &&
      !(users::MayChangeProject(params, project) && users::CanCreateSheet(params, project))) {
    web::ErrorBox(515);
    return 0;
  }

  store::FactSheet sheet;
  FillNewSheet(params, sheet);
  // Show exactly what the file will hold: the header fields as they read back.
  std::string header = store::FormatHeader(sheet);
  header.pop_back();
  store::ParseHeader(header, sheet);

  store::LogAction(sheet, "%s %s", Msg(113), sheet.submitter);
  store::AddEntry(sheet, Msg(107), sheet.submitter, sheet.created,
                  web::ValueOrEmpty(params, "text"));
  synch::StampOrigin(sheet);
  // The number is the lowest free one when the file is placed.
  UseOnceValue(params);
  store::Stored stored = store::CreateSheet(sheet);
  if (WriteIfAlreadyStored()) {
    web::WriteHomeLink();
    return 0;
  }
  const std::string name = store::GetSheetName(sheet);

  // A stored sheet is announced, and the answer is the way to its page; a sheet that is not
  // both in its file and in the index is announced to nobody, and shown with the failure.
  const bool announced = store::IsStored(stored) || stored == store::Stored::kNoJournal;
  if (announced) {
    SendNotification(name, 0, sheet.submitter,
                     [&name](base::Stream file, const store::FactSheet& written) {
                       WriteActionBar(file, name, "");
                       WriteSheetBody(written, file);
                     });
  } else {
    WriteCreatedHead(name);
    WriteActionBar(nullptr, name, "");
    WriteSheetBody(sheet, nullptr);
    web::ErrorBoxArg(config::kMsgCannotOpen, base::JoinPath(config::GetDataDir(), name));
  }
  users::SaveUserContext(sheet.submitter, sheet.project, sheet.group, sheet.phase);
  if (announced) hold.Redirect("CMD=new&Done=" + web::QueryValue(name));
  return 1;
}

}  // namespace sheets
