// CMD=setup: the setup menu, and the form or the save of the file `Edit` names.
#include <optional>
#include <string>

#include "base/encode.h"
#include "base/files.h"
#include "base/out.h"
#include "config/language.h"
#include "config/main_config.h"
#include "setup/setup.h"
#include "setup/setup_parts.h"
#include "users/login.h"
#include "web/cookies.h"
#include "web/page.h"
#include "web/response.h"

namespace setup {
namespace {

bool IsTableKind(int kind) {
  return kind == kProject || kind == kSubproject || kind == kPhase || kind == kUsers;
}
bool IsListKind(int kind) {
  return kind == kProgram || kind == kVersion || kind == kDeadline || kind == kImpacts;
}

bool SaveForm(int kind, web::ParamList& list) {
  if (kind == kMain) return SaveMainConfig(list);
  if (IsTableKind(kind)) return SaveTable(kind, list, false);
  if (IsListKind(kind)) return SaveList(kind, list, false);
  if (kind == kSendmail) return SaveMail(list, false);
  return false;
}

// The page a stored save leads to: the saved file as the save shows it, so that a reload
// shows it again instead of saving once more.
void ShowSaved(int kind, const web::ParamList& list) {
  // The file saved is shown to who may save it: a project's own files to its manager.
  const std::string& acted_on = web::GetParam(list, "project");
  if (!MaySaveFile(list, kind, kind == kProject ? "" : acted_on, false)) {
    web::ErrorBox(config::kMsgNoSetupRight);
    return;
  }
  if (kind == kMain) {
    WriteTitleBar("<Font size=7>QUORB.cfg Setup</font>", kMain);
    ShowFile(config::GetConfigPath());
    return;
  }
  if (kind == kSendmail) {
    WriteTitleBar("<Font size=7>sendmail.cfg Setup</font>", kSendmail);
    ShowMailTable(base::ReadFile(MailFilePath()).value_or(""));
    return;
  }
  const std::string& project = web::GetParam(list, "project");
  std::optional<std::string> target = SaveTarget(kind, kind == kProject ? "" : project);
  if (!target) {
    WriteRefusedProject(project);
    return;
  }
  bool given = IsPerProject(kind) && !project.empty() && !web::IsAbsent(project);
  WriteTitleBar(base::Sprintf("<Font size=7>%s %s.cfg Setup</font>",
                              base::EscapeHtml(given ? project : ""), KindName(kind)),
                kind);
  if (IsTableKind(kind))
    ShowTable(kind, *target);
  else
    ShowFile(*target);
}

}  // namespace

void WriteSetupMenu(const web::ParamList& list) {
  if (!MaySave(list)) {
    web::ErrorBox(config::kMsgNoSetupRight);
    return;
  }
  const std::string& images = config::GetImageDir();
  base::Write(nullptr, "<TABLE BORDER=1 WIDTH=70%>\n");
  base::Page("<TR><TD ALIGN=CENTER><IMG SRC=%s/bugL.gif ALT=\"\"></TD>\n", images);
  base::Write(nullptr, "<TD><BR><H1><Font size=7>QUORB&nbsp;SETUP</font></H1>\n");
  base::Page("</TD><TD ALIGN=CENTER><IMG SRC=%s/bugR.gif ALT=\"\"></TD>\n", images);
  base::Page("<TR><TH WIDTH=25%%>%s</TH>\n", config::Msg(2440));
  base::Page("<TH>%s</TH></TR>\n", config::Msg(2441));
  std::string script = base::EscapeHtml(web::ScriptName());
  std::string suffix = web::UidSuffix();
  for (int kind = 1; kind <= kKindCount; ++kind) {
    base::Page("<TR><TD ALIGN=CENTER><A HREF=\"%s?CMD=setup%s", script, suffix);
    base::Page("&%s=%d\">%s</A></TD>\n", "Edit", kind, KindMenuName(kind));
    base::Write(nullptr, "<TD STYLE=\"padding-left:40px\">\n");
    base::Page("%s</TD></TR>\n", config::Msg(2441 + kind));
  }
  base::Page("<TR><TD ALIGN=CENTER><A HREF=\"%s?CMD=setup%s&%s=%d\">%s</A></TD>\n", script, suffix,
             "Edit", kSynchro, config::Msg(2800));
  base::Page("<TD STYLE=\"padding-left:40px\">\n%s\n</TD></TR>\n", config::Msg(2801));
  base::Write(nullptr, "</TABLE>\n");
}

bool SetupRequestChanges(const web::ParamList& list) {
  const int kind = web::GetParamInt(list, "Edit");
  if (kind == kWizard) return true;
  if (kind == kSynchro && !web::IsAbsent(web::GetParam(list, "secret"))) return true;
  return kind >= kMain && kind <= kSendmail && web::GetParam(list, "text").size() >= 2;
}

void SetupCommand(web::ParamList& list) {
  int kind = web::GetParamInt(list, "Edit");
  if (kind == kWizard) {
    web::PageHold hold;
    web::WritePageHead(nullptr, "Setup", "#C0C0C0", list);
    const std::string stored = RunWizardStep(list);
    if (!stored.empty()) hold.Redirect(stored);
    return;
  }
  bool submitted = web::GetParam(list, "text").size() >= 2;
  bool known = kind >= kMain && kind <= kSendmail;
  // A shared secret saved from the synchronisation page leads to that page again.
  std::optional<web::PageHold> secret_hold;
  if (kind == kSynchro && !web::IsAbsent(web::GetParam(list, "secret"))) secret_hold.emplace();
  if (submitted && known) {
    web::PageHold hold;
    web::WritePageHead(nullptr, "Setup", "", list);
    WriteOpenSiteWarning();
    // Each save checks the right itself.
    if (SaveForm(kind, list)) {
      const std::string& project = web::GetParam(list, "project");
      std::string query = base::Sprintf("CMD=setup&Edit=%d&Saved=1", kind);
      if (!project.empty() && !web::IsAbsent(project))
        query += "&project=" + web::QueryValue(project);
      hold.Redirect(query);
    }
    return;
  }
  web::WritePageHead(nullptr, "Setup", "", list);
  WriteOpenSiteWarning();
  if (known && !web::IsAbsent(web::GetParam(list, "Saved"))) {
    ShowSaved(kind, list);
    return;
  }
  web::WriteHomeLink();
  users::RequireLogin(list);
  if (kind == kSynchro) {
    SynchroPage(list);
    if (secret_hold && web::WasStored())
      secret_hold->Redirect("CMD=setup&Edit=11&Saved=1&project=" +
                            web::QueryValue(web::GetParam(list, "project")));
    return;
  }
  if (!known) {
    WriteSetupMenu(list);
    return;
  }
  // The forms show the configuration (members' addresses among it): with security on they
  // need the same rights as the saves. A per-project kind shows the projects the reader may
  // set up; a shared file needs the administrator.
  const bool per_project = IsPerProject(kind);
  if (!MaySave(list) || (!per_project && !MaySaveShared(list))) {
    web::ErrorBox(config::kMsgNoSetupRight);
    return;
  }
  if (kind == kMain)
    WriteMainConfigForm(0, list);
  else if (IsTableKind(kind))
    WriteTableForms(kind, 0, &list);
  else if (IsListKind(kind))
    WriteListForms(kind, 0, &list);
  else
    WriteMailForm(0);
}

}  // namespace setup
