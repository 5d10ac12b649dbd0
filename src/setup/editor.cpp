// CMD=setup: the setup menu, and the form or the save of the file `Edit` names.
#include "base/encode.h"
#include "base/out.h"
#include "config/language.h"
#include "config/main_config.h"
#include "setup/setup.h"
#include "setup/setup_parts.h"
#include "users/login.h"
#include "web/cookies.h"
#include "web/page.h"

namespace setup {
namespace {

bool IsTableKind(int kind) {
  return kind == kProject || kind == kSubproject || kind == kPhase || kind == kUsers;
}
bool IsListKind(int kind) {
  return kind == kProgram || kind == kVersion || kind == kDeadline || kind == kImpacts;
}

void SaveForm(int kind, web::ParamList& list) {
  if (kind == kMain)
    SaveMainConfig(list);
  else if (IsTableKind(kind))
    SaveTable(kind, list, false);
  else if (IsListKind(kind))
    SaveList(kind, list, false);
  else if (kind == kSendmail)
    SaveMail(list, false);
}

}  // namespace

void WriteSetupMenu(const web::ParamList& list) {
  if (!MaySave(list)) {
    web::ErrorBox(516);
    return;
  }
  const std::string& images = config::GetImageDir();
  base::Write(nullptr, "<TABLE BORDER=1 WIDTH=70%>\n");
  base::Page("<TR><TD ALIGN=CENTER><IMG SRC=%s/bugL.gif></TD>\n", images);
  base::Write(nullptr, "<TD><BR><H1><Font size=7>QUORB&nbsp;SETUP</font></H1>\n");
  base::Page("</TD><TD ALIGN=CENTER><IMG SRC=%s/bugR.gif></TD>\n", images);
  base::Page("<TR><TH WIDTH=25%%>%s</TH>\n", config::Msg(2440));
  base::Page("<TH>%s</TH></TR>\n", config::Msg(2441));
  std::string script = base::EscapeHtml(web::ScriptName());
  std::string suffix = web::UidSuffix();
  for (int kind = 1; kind <= kKindCount; ++kind) {
    base::Page("<TR><TD ALIGN=CENTER><A HREF=\"%s?CMD=setup%s", script, suffix);
    base::Page("&%s=%d\">%s</A></TD>\n", "Edit", kind, KindMenuName(kind));
    base::Write(nullptr, "<TD><UL>\n");
    base::Page("%s</TD></TR>\n", config::Msg(2441 + kind));
  }
  base::Page("<TR><TD ALIGN=CENTER><A HREF=\"%s?CMD=setup%s&%s=%d\">Synchronisation</A></TD>\n",
             script, suffix, "Edit", kSynchro);
  base::Write(nullptr,
              "<TD><UL>\nPartners, waiting messages, shared secrets, errors\n</TD></TR>\n");
  base::Write(nullptr, "</TABLE></UL>\n");
}

void SetupCommand(web::ParamList& list) {
  int kind = web::GetParamInt(list, "Edit");
  if (kind == kWizard) {
    web::WritePageHead(nullptr, "Setup", "#C0C0C0", list);
    RunWizardStep(list);
    return;
  }
  web::WritePageHead(nullptr, "Setup", "", list);
  WriteOpenSiteWarning();
  bool submitted = web::GetParam(list, "text").size() >= 2;
  bool known = kind >= kMain && kind <= kSendmail;
  if (submitted && known) {
    // Each save checks the right itself.
    SaveForm(kind, list);
    return;
  }
  users::RequireLogin(list);
  if (kind == kSynchro) {
    SynchroPage(list);
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
    web::ErrorBox(516);
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
