#include "sheets/create.h"

#include <ctime>
#include <string>
#include <string_view>

#include "base/encode.h"
#include "base/files.h"
#include "base/out.h"
#include "config/language.h"
#include "config/main_config.h"
#include "config/options.h"
#include "config/projects.h"
#include "sheets/display.h"
#include "sheets/notify.h"
#include "store/store.h"
#include "sync/sync.h"
#include "users/rights.h"
#include "users/user_context.h"
#include "web/cookies.h"
#include "web/identity.h"
#include "web/page.h"

namespace sheets {
namespace {

using config::Msg;

// The empty first option of a list: its value is empty, so a required list left on it
// counts as missing and an optional one stays empty.
constexpr std::string_view kEmptyOption = "<OPTION VALUE=\"\">&nbsp\n";
constexpr std::string_view kEmptyOptionSelected = "<OPTION SELECTED VALUE=\"\">&nbsp\n";

// A required field counts as missing when it is absent, begins with a blank, or is empty
// (a text input left empty is sent as an empty value).
bool IsMissing(std::string_view value) {
  return value.empty() || web::IsAbsent(value);
}

// The index a list's value stands for: its first letter minus 'a'.
int LetterIndex(std::string_view value) {
  return value.empty() ? 0 : static_cast<unsigned char>(value.front()) - 'a';
}

// The value of `name`, empty when the request does not carry it.
std::string_view ValueOrEmpty(const web::ParamList& params, std::string_view name) {
  for (const web::Param& p : params)
    if (p.name == name) return p.value;
  return {};
}

void WriteLabelCell(int label) {
  base::Page("<TD><B>%s</B></TD>\n", Msg(label));
}

void OpenSelect(std::string_view name) {
  base::Page("<TD><SELECT NAME=%s>\n", name);
}
void CloseSelect() {
  base::Write(nullptr, "</SELECT></TD>\n");
}

void WriteProjectRow(std::string_view project) {
  const std::string script = web::ScriptName();
  base::Write(nullptr, "<TR>");
  WriteLabelCell(100);
  base::Page("<TD><INPUT TYPE=\"hidden\" NAME=project VALUE=\"%s\">\n", base::EscapeHtml(project));
  base::Page("<SELECT NAME=\"%s\" onChange=", "Deroulant");
  base::Page(" \"changePage(this.options[this.selectedIndex].value,%s)\" >\n", "Deroulant");
  // Reloading keeps the identity, so the creation right is checked again for the same user.
  const std::string uid = web::UidSuffix();
  base::Page("<OPTION VALUE=\"%s?CMD=create%s\">&nbsp\n", script, uid);
  for (const std::string& name : config::ListProjects(" ")) {
    base::Page("<OPTION VALUE=\"%s?%s=%s&%s=%s%s\" ", script, "CMD", "create", "project",
               base::EscapeHtml(name), uid);
    if (name == project) base::Write(nullptr, "SELECTED ");
    base::Page("> %s \n", base::EscapeHtml(name));
  }
  CloseSelect();

  WriteLabelCell(101);
  OpenSelect("group");
  base::Write(nullptr, kEmptyOption);
  const std::string& last_group = users::GetLastSubproject();
  config::WriteSubprojectOptions(nullptr, project, last_group.empty() ? " " : last_group);
  CloseSelect();

  WriteLabelCell(108);
  OpenSelect("prog");
  base::Write(nullptr, kEmptyOptionSelected);
  config::WriteProjectFileOptions(nullptr, project, "program");
  CloseSelect();
  base::Write(nullptr, "</TR>\n");
}

void WriteClassRows(std::string_view project) {
  base::Write(nullptr, "<TR>");
  WriteLabelCell(109);
  OpenSelect("sev");
  base::Write(nullptr, kEmptyOptionSelected);
  config::WriteSeverityOptions(nullptr, 0);
  CloseSelect();
  WriteLabelCell(104);
  OpenSelect("impact");
  base::Write(nullptr, kEmptyOptionSelected);
  config::WriteImpactOptions(nullptr, -1);
  CloseSelect();
  WriteLabelCell(102);
  OpenSelect("phase");
  base::Write(nullptr, kEmptyOption);
  config::WritePhaseOptions(nullptr, users::GetLastPhase());
  CloseSelect();
  base::Write(nullptr, "</TR>\n");

  base::Write(nullptr, "<TR>");
  WriteLabelCell(110);
  OpenSelect("version");
  base::Write(nullptr, kEmptyOptionSelected);
  config::WriteProjectFileOptions(nullptr, project, "version");
  CloseSelect();
  WriteLabelCell(111);
  OpenSelect("exp");
  base::Write(nullptr, kEmptyOption);
  config::WriteDeadlineOptions(nullptr, project);
  CloseSelect();
  WriteLabelCell(112);
  OpenSelect("type");
  base::Write(nullptr, kEmptyOptionSelected);
  config::WriteTypeOptions(nullptr, 0);
  CloseSelect();
  base::Write(nullptr, "</TR>\n");
}

void WritePersonTable(std::string_view project) {
  base::Write(nullptr, "<TABLE BORDER=0 WIDTH=100%>\n<TR>");
  WriteLabelCell(113);
  OpenSelect("submitter");
  base::Write(nullptr, kEmptyOption);
  config::WriteUserOptions(nullptr, project, users::GetUserName());
  CloseSelect();
  WriteLabelCell(114);
  base::Write(nullptr, "<TD><INPUT NAME=test></TD>\n");
  base::Page("<TD><INPUT TYPE=submit VALUE=\"%s\"> <INPUT TYPE=reset VALUE=\"Reset\"></TD></TR>\n",
             Msg(3001));
  base::Write(nullptr, "<TR>");
  WriteLabelCell(115);
  base::Write(nullptr, "<TD><INPUT NAME=mdapda SIZE=40></TD>\n");
  WriteLabelCell(116);
  base::Write(nullptr, "<TD><INPUT NAME=Load SIZE=4 VALUE=1></TD><TD>&nbsp</TD></TR>\n");
  base::Page("<TR><TD COLSPAN=6><TEXTAREA NAME=text ROWS=15 COLS=80>%s :\n</TEXTAREA></TD></TR>\n",
             Msg(107));
  base::Write(nullptr, "</TABLE>\n");
}

// The token of a logged-in user, which the storing of the form needs: the cookie alone
// never changes data.
void WriteUidField() {
  const std::string& uid = web::GetCurrentUid();
  if (!config::IsSecurityOn() || uid.empty() || web::IsAbsent(uid)) return;
  base::Page("<INPUT TYPE=\"hidden\" NAME=Uid VALUE=\"%s\">\n", base::EscapeHtml(uid));
}

// The name of the new sheet over its home link.
void WriteCreatedHead(std::string_view name) {
  base::Write(nullptr, "<Table Width=100% Cellpadding=0 Cellspacing=0 border=0>\n");
  base::Page("<TR><TD ALIGN=LEFT><H1>%s", base::EscapeHtml(name));
  base::Write(nullptr, "</H1></TD>\n<TD ALIGN=RIGHT Valign=TOP>\n");
  base::Write(nullptr, "<A HREF=\"?\">");
  base::Page("<IMG SRC=\"%s/home.gif\" BORDER=0 VALIGN=CENTER></A>\n", config::GetImageDir());
  base::Write(nullptr, "</TD></TR></Table>\n");
}

}  // namespace

void ShowCreateForm(const web::ParamList& params) {
  std::string project = web::GetParam(params, "project");
  if (web::IsAbsent(project)) project = users::GetLastProject();
  // Only a listed project names the files the lists come from.
  const bool listed = users::IsListedProject(project);
  if (!listed) project = " ";

  web::WritePageHead(nullptr, Msg(2000), "", params);
  // The right is the one in the project shown; with none, the one of the login's project.
  if (!users::CanCreateSheet(params, listed ? project : std::string_view())) {
    web::ErrorBox(515);
    return;
  }
  base::Write(nullptr, "<SCRIPT LANGUAGE=\"JavaScript\">\n");
  base::Write(nullptr, "function changePage(page,menu)\n{\n   document.location = page\n}\n");
  base::Write(nullptr, "</SCRIPT>\n");

  base::Page("<H1>%s</H1>\n", Msg(2001));
  base::Page("<FORM METHOD=POST ACTION=\"%s\">\n", base::EscapeHtml(web::ScriptName()));
  base::Write(nullptr, "<INPUT TYPE=\"hidden\" NAME=CMD VALUE=\"new\">\n");
  WriteUidField();
  base::Page("<INPUT TYPE=\"hidden\" NAME=QS VALUE=\"%s\">\n",
             base::EscapeHtml(web::GetParam(params, "QS")));

  base::Write(nullptr, "<TABLE BORDER=0 WIDTH=100%>\n");
  base::Page("<TR><TD COLSPAN=6><B>%s</B> ", Msg(106));
  base::Page("<INPUT NAME=%s SIZE=73></TD></TR>\n", "title");
  WriteProjectRow(project);
  WriteClassRows(project);
  base::Write(nullptr, "</TABLE>\n");
  WritePersonTable(project);
  base::Write(nullptr, "</FORM>\n");
}

int ValidateNewSheet(const web::ParamList& params) {
  if (IsMissing(web::GetParam(params, "title"))) {
    web::ErrorBoxArg(503, "title");
    return 0;
  }
  struct Required {
    std::string_view name;
    int label;
  };
  static constexpr Required kRequired[] = {
      {"project", 100}, {"group", 101}, {"prog", 108},    {"sev", 109},
      {"impact", 104},  {"phase", 102}, {"version", 110}, {"submitter", 113},
  };
  for (const Required& field : kRequired) {
    if (IsMissing(web::GetParam(params, field.name))) {
      web::ErrorBoxArg(503, Msg(field.label));
      return 0;
    }
  }
  return 1;
}

void FillNewSheet(const web::ParamList& params, store::FactSheet& sheet) {
  sheet = store::FactSheet{};
  auto text = [&](std::string_view name) { return web::GetParam(params, name); };
  sheet.project = text("project");
  sheet.group = text("group");
  sheet.subCode = config::GetSubprojectCode(sheet.project, sheet.group);
  sheet.phase = LetterIndex(text("phase"));
  sheet.impact = LetterIndex(text("impact"));
  sheet.created = static_cast<int>(std::time(nullptr));
  sheet.submitter = text("submitter");
  sheet.prog = text("prog");
  sheet.version = text("version");
  sheet.title = text("title");
  // Optional fields the request does not carry stay empty.
  sheet.exp = ValueOrEmpty(params, "exp");
  sheet.test = ValueOrEmpty(params, "test");
  sheet.mdapda = ValueOrEmpty(params, "mdapda");
  sheet.sev = web::GetParamInt(params, "sev");
  sheet.type = web::GetParamInt(params, "type");
  sheet.Load = web::GetParamInt(params, "Load");
  sheet.status = store::kNew;
}

int StoreNewSheet(const web::ParamList& params) {
  web::WritePageHead(nullptr, Msg(2002), "", params);
  if (!ValidateNewSheet(params)) return 0;
  // A project that is not listed has no files to take codes and members from.
  const std::string& project = web::GetParam(params, "project");
  if (!users::IsListedProject(project)) {
    web::ErrorBoxArg(503, Msg(100));
    return 0;
  }
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
  store::AddEntry(sheet, Msg(107), sheet.submitter, sheet.created, ValueOrEmpty(params, "text"));
  synch::StampOrigin(sheet);
  // The number is the lowest free one when the file is placed.
  store::Stored stored = store::CreateSheet(sheet);
  const std::string name = store::GetSheetName(sheet);

  WriteCreatedHead(name);
  WriteActionBar(nullptr, name, "");
  WriteSheetBody(sheet, nullptr);

  // A failure is said on the page; a sheet that is not both in its file and in the index is
  // announced to nobody.
  if (!store::IsStored(stored)) web::ErrorBoxArg(501, base::JoinPath(config::GetDataDir(), name));
  if (store::IsStored(stored) || stored == store::Stored::kNoJournal) {
    SendNotification(name, 0, sheet.submitter,
                     [&name](base::Stream file, const store::FactSheet& written) {
                       WriteActionBar(file, name, "");
                       WriteSheetBody(written, file);
                     });
  }
  users::SaveUserContext(sheet.submitter, sheet.project, sheet.group, sheet.phase);
  return 1;
}

}  // namespace sheets
