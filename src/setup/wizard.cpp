// The installation check, the setup wizard of a fresh installation and the directory
// upgrade that follows every home page.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>

#include "base/encode.h"
#include "base/files.h"
#include "base/out.h"
#include "base/text.h"
#include "config/debug.h"
#include "config/language.h"
#include "config/main_config.h"
#include "config/projects.h"
#include "setup/setup.h"
#include "setup/setup_parts.h"
#include "sheets/action_table.h"
#include "sheets/notify.h"
#include "web/cookies.h"
#include "web/page.h"
#include "web/response.h"

namespace setup {
namespace {

// The wizard's grey; its reports are written in a green (#005800) and a red (#990000) dark
// enough to be read on it (4.8:1 and 4.9:1).
constexpr std::string_view kSetupColor = "#C0C0C0";

std::string DefaultContent(int kind) {
  switch (kind) {
    case kProject:
      return "TEST:T:kolvar:tessin\n";
    case kSubproject:
      return "phase 1:10\n";
    case kProgram:
      return "general\ninstall\nunknown\n";
    case kPhase:
      return "specification:S\ndeveloppement:D\nintegration_usine:i\nintegration_site:t\n"
             "validation_usine:u\nvalidation_site:v\nrecette_usine:r\nrecette_site:s\nVABF:F\n"
             "VSR:f\ntest_unitaire:U\n";
    // v1 delivered, v2 planned: every form that offers a version has one to offer (a
    // correction goes into a planned version that is not yet delivered).
    case kVersion:
      return "v1\n";
    case kDeadline:
      return "v1\nv2\n";
    case kImpacts:
      return "Usability\nFonctional\nRobustness\nPerformance\n";
    case kUsers:
      return base::Sprintf("kolvar :%s\n", kDefaultMemberMail);
    case kSendmail: {
      std::string text;
      for (int code = 0; code < sheets::kActionCount; ++code)
        text += base::Sprintf("%s%s\n", sheets::ActionName(code), sheets::ActionOfCode(code)->mail);
      return text;
    }
    default:
      return {};
  }
}

void WriteOkCell() {
  base::Write(nullptr, "<TD><Font COLOR=#005800>OK</Font></TD></TR>\n");
}

void WriteFailedCell(int error) {
  base::Page("<! errno:%d >", error);
  base::Page("<TD><Font COLOR=#990000>NOK, %s</Font></TD></TR>\n", std::strerror(error));
}

// Writes the default files of the wizard into `dir`, one report row each; stops at the
// first failure. The main file is written after them, so a failure never leaves an empty
// main file that would pass the installation check.
bool WriteDefaultFiles(const std::string& dir) {
  for (int kind = kProject; kind <= kSendmail; ++kind) {
    std::string path = base::Sprintf("%s%c%s.cfg", dir, '/', KindName(kind));
    base::Page("<TR><TD> Creating Default File : %s.cfg </TD>\n", KindName(kind));
    int error = 0;
    if (!ReplaceConfigFile(path, DefaultContent(kind), error, kind == kUsers)) {
      WriteFailedCell(error);
      return false;
    }
    WriteOkCell();
  }
  return true;
}

// The folders the installation makes after the base configuration folder, in order.
std::vector<std::string> InstallFolders(const std::string& configdir, const std::string& datadir) {
  return {configdir, datadir, base::Sprintf("%sStats%c", datadir, '/'),
          base::Sprintf("%sTests%c", datadir, '/'), base::Sprintf("%stmp%c", datadir, '/')};
}

void WriteCompleted() {
  base::Write(nullptr, "<P><Font COLOR=#005800>Default Setup Completed</Font>");
  base::Page("<FORM METHOD=GET ACTION=\"%s\">\n", base::EscapeHtml(web::ScriptName()));
  WriteFormFields(kWizard, 2);
  base::Write(nullptr,
              "<TABLE><TR><TD><INPUT TYPE=reset></TD>"
              "<TD><INPUT TYPE=submit VALUE=\"Next\"></TD></TR></TABLE>\n</FORM>\n");
}

// Step 1: the directories, the default files and the main file, from the first form. True
// when the installation is complete; `copied` names the language files it copied.
bool Install(const web::ParamList& list, std::vector<std::string>& copied) {
  config::MainConfigValues v = MainValuesFromForm(list);
  // The links of mails lead where this request came from, unless the file says otherwise.
  for (auto& [key, value] : v.kept)
    if (key == "BASEURL" && value.empty()) value = web::RequestBaseUrl();
  bool ok = true;
  base::Write(nullptr, "<TABLE>");
  std::string base_dir = BaseConfigDir();
  ok = MakeDirectory(base_dir);
  config::DebugPage("\n\n<! main config dir : %s , %d> \n\n\n", base::EscapeHtml(base_dir),
                    ok ? 0 : 1);
  for (const std::string& dir : InstallFolders(v.configdir, v.datadir)) {
    if (!ok) break;
    if (web::IsMissing(dir)) {
      base::Write(nullptr, "<TR><TD> Creating Directory :  </TD>\n");
      WriteFailedCell(ENOENT);
      ok = false;
    } else {
      ok = MakeDirectory(dir);
    }
  }
  if (ok) ok = WriteDefaultFiles(v.configdir);
  // Before the main file, so that no main file stands without its language.
  if (ok) ok = CopyLanguageFiles(v.configdir, &copied);
  base::Write(nullptr, "</TABLE>");
  // No main file without its language: the site would open on a page it cannot label.
  bool language = base::FileExists(base::Sprintf("%slangue.%s", v.configdir, v.language));
  if (ok && language) {
    for (const std::string& dir : {base_dir, v.configdir}) {
      if (!config::WriteMainConfig(dir, v)) {
        base::Page("<P><Font COLOR=#990000>Problem Writing data to %s</Font>\n",
                   base::EscapeHtml(base::Sprintf("%s/quorb.cfg", dir)));
        ok = false;
        break;
      }
    }
  }
  if (ok && (!language || config::Msg(1).empty())) {
    base::Write(nullptr, "<P><Font COLOR=#990000>Language file missing.<BR>\n");
    base::Page("<I>Copy 'langue.%s' to %s</i>\n", base::EscapeHtml(v.language),
               base::EscapeHtml(v.configdir));
    std::vector<std::string> dirs = ShareConfigDirs();
    if (!dirs.empty())
      base::Page("<! looked for language files in %s and %s >\n", base::EscapeHtml(dirs[0]),
                 base::EscapeHtml(dirs[1]));
    ok = false;
  }
  if (!ok) {
    base::Write(nullptr, "<P><Font COLOR=#990000>");
    base::Write(nullptr, "Please remedy to the indicated problems and reload this page.\n");
    return false;
  }
  WriteCompleted();
  return true;
}

// The page a completed installation leads to: the report of what it made, as the
// installation wrote it, then the way on. `copied` holds the language files it copied.
void ShowInstalled(std::string_view copied) {
  const std::string& configdir = config::GetConfigDir();
  base::Write(nullptr, "<TABLE>");
  std::vector<std::string> folders = InstallFolders(configdir, config::GetDataDir());
  folders.insert(folders.begin(), BaseConfigDir());
  for (const std::string& dir : folders) {
    base::Page("<TR><TD> Creating Directory : %s </TD>\n", base::EscapeHtml(dir));
    WriteOkCell();
  }
  for (int kind = kProject; kind <= kSendmail; ++kind) {
    base::Page("<TR><TD> Creating Default File : %s.cfg </TD>\n", KindName(kind));
    WriteOkCell();
  }
  // Only language files that are there, by their own names.
  std::vector<std::string_view> names;
  base::AppendWords(copied, names);
  for (std::string_view name : names) {
    if (!name.starts_with("langue.") || name.find('/') != std::string::npos ||
        !base::FileExists(base::JoinPath(configdir, name)))
      continue;
    base::Page("<TR><TD> Copying Language File : %s </TD>\n", base::EscapeHtml(name));
    WriteOkCell();
  }
  base::Write(nullptr, "</TABLE>");
  WriteCompleted();
}

// Step 3 gives the first project the generic files the installation wrote. A template
// that is gone (moved by an earlier run) leaves the project's own file as it is.
void MoveTemplates(const std::vector<std::string>& projects) {
  if (projects.empty()) return;
  bool moved = false;
  for (int kind : {kSubproject, kVersion, kDeadline, kProgram, kUsers}) {
    std::string generic = base::Sprintf("%s/%s.cfg", config::GetConfigDir(), KindName(kind));
    if (!base::FileExists(generic)) continue;
    const std::string target = config::GetProjectFilePath(projects.front(), KindName(kind));
    if (base::SysRename(generic.c_str(), target.c_str()) == 0) moved = true;
  }
  if (moved) base::SyncFolder(config::GetConfigDir());  // the new names last
  config::ForgetProjectFiles();
}

// True when a file was saved.
bool SavePreviousPage(int step, const web::ParamList& list) {
  if (step == 3) {
    // The partners' shared secret comes with the projects, before any file is sent.
    std::vector<std::string> projects;
    auto keep = [&](const std::vector<std::string>& names) {
      MoveTemplates(names);
      projects = names;
    };
    if (!SaveTable(kProject, list, true, keep)) return false;
    const std::string& secret = web::GetParam(list, "secret");
    if (!web::IsMissing(secret))
      for (const std::string& project : projects)
        if (const std::string site = config::GetProjectSite(project);
            !site.empty() && site[0] != ' ')
          WriteSharedSecret(project, secret);
    return true;
  }
  if (step == 4 || step == 6 || step == 10) return SaveTable(step - 1, list, true);
  if (step == 5 || step == 7 || step == 8 || step == 9) return SaveList(step - 1, list, true);
  if (step == 11) return SaveMail(list, true);
  return false;
}

void WriteExplanation(int step) {
  switch (step) {
    case 1:
      base::Write(nullptr, "The wizard will try to create Installation Directories .\n");
      break;
    case 2:
      base::Page("%s\n<P>%s\n", config::Msg(2461), config::Msg(2462));
      break;
    case 10:
      base::Page("%s<BR>%s.\n", config::Msg(2470), config::Msg(2471));
      break;
    case 11:
      base::Page("%s.\n", config::Msg(2472));
      WriteOpenSiteWarning();
      base::Page("<FORM METHOD=GET ACTION=\"%s\">\n", base::EscapeHtml(web::ScriptName()));
      base::Write(nullptr, "<inPUT TYPE=submit VALUE=Next>\n</FORM>\n");
      break;
    default: {
      constexpr int kMessages[] = {0, 0, 0, 2463, 2466, 2465, 2467, 2468, 2469, 2464};
      base::Page("%s.\n", config::Msg(kMessages[step]));
    }
  }
}

void WriteStepPage(int step) {
  if (step == kProject || step == kSubproject || step == kPhase || step == kUsers)
    WriteTableForms(step, step + 1);
  else if (step == kProgram || step == kVersion || step == kDeadline || step == kImpacts)
    WriteListForms(step, step + 1);
  else if (step == kSendmail)
    WriteMailForm(step + 1);
}

}  // namespace

std::vector<std::string> ShareConfigDirs() {
  std::error_code error;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return {};
  std::filesystem::path dir = exe.parent_path();
  return {(dir / "share/config").string(), (dir.parent_path() / "share/config").string()};
}

bool CopyLanguageFiles(const std::string& configdir, std::vector<std::string>* copied) {
  namespace fs = std::filesystem;
  for (const std::string& share : ShareConfigDirs()) {
    std::error_code error;
    if (!fs::is_directory(share, error)) continue;
    bool ok = true;
    for (fs::directory_iterator it(share, error), end; !error && it != end; it.increment(error)) {
      std::string name = it->path().filename().string();
      if (!name.starts_with("langue.")) continue;
      std::string target = base::JoinPath(configdir, name);
      if (base::FileExists(target)) continue;
      base::Page("<TR><TD> Copying Language File : %s </TD>\n", base::EscapeHtml(name));
      std::optional<std::string> text = base::ReadFile(it->path().string());
      if (!text || !base::WriteFileAtomic(target, *text)) {
        WriteFailedCell(errno ? errno : EIO);
        ok = false;
        continue;
      }
      WriteOkCell();
      if (copied) copied->push_back(name);
    }
    return ok;
  }
  return true;
}

int CheckInstallation(const web::ParamList& list) {
  std::string path = config::GetConfigPath();
  std::string note;
  int result = 0;
  if (path.empty()) {
    note = "<! cfgfile empty>\n";
    result = 1;
  } else if (!config::MainConfigReadable()) {
    note = "<! can't open cfgfile>\n";  // where it was looked for is in the server's log
    result = 2;
  }
  if (result == 0) return 0;
  // Held until the page's header is out.
  base::PageNote(note);
  web::WritePageHead(nullptr, "Setup", kSetupColor, list);
  base::Write(nullptr, note);
  base::Write(nullptr, "<BODY BGCOLOR=#C0C0C0>\n");
  base::Write(nullptr, "<Font size=7>QUORB Setup Wizard</font>\n");
  for (std::string_view line :
       {"<P>This is your first installation of QUORB.\n",
        "<P>Welcome to the QUORB Setup Wizard !\n",
        "<P>Please give a few basic information on where do\n",
        "you want to install the software files and then we\n",
        "will go over all the configuration files to see if\n", "You want to change them.\n",
        "<P>You are free to leave the default values, you\n",
        "will always have the chance to change them later.\n", "<P>\n"})
    base::Write(nullptr, line);
  base::Write(nullptr, "<TABLE BORDER=1 WIDTH=80%><TR><TD ALIGN=CENTER>\n");
  WriteMainConfigForm(1, list);
  base::Write(nullptr, "</TD></TR></TABLE>\n");
  return result;
}

std::string RunWizardStep(const web::ParamList& list) {
  int step = web::GetParamInt(list, "Wizzard");
  // The page a stored step leads to shows the step again without saving anything.
  const bool done = !web::IsAbsent(web::GetParam(list, "Done"));
  base::Write(nullptr, "<Font size=7><B>QUORB Setup Wizard</B></font>\n");
  // The explanation indented twice, the form once: blocks, not lists (there is no list), whose
  // indentation shrinks with a phone's screen.
  base::Write(nullptr, "<DIV STYLE=\"margin-left:8vw\"><DIV STYLE=\"margin-left:8vw\">\n");
  // Every step writes files shared by all projects; with security on, on an installed site,
  // it takes the administrator's rights.
  if (!MaySaveShared(list)) {
    web::ErrorBox(config::kMsgNoSetupRight);
    return {};
  }
  if (step < 1 || step > 11 || (done && step == 1 && !config::MainConfigReadable())) {
    // No such step: the first form again.
    base::Write(nullptr, "</DIV><P>\n<TABLE BORDER=1 WIDTH=80%><TR><TD ALIGN=CENTER>\n");
    WriteMainConfigForm(1, list);
    base::Write(nullptr, "</TD></TR></TABLE>\n</DIV>\n");
    return {};
  }
  bool stored = !done && SavePreviousPage(step, list);
  WriteExplanation(step);
  base::Write(nullptr, "</DIV><P>\n");
  base::Write(nullptr, "<TABLE BORDER=1 WIDTH=80%><TR><TD ALIGN=CENTER>\n");
  std::vector<std::string> copied;
  if (step == 1 && done)
    ShowInstalled(web::GetParam(list, "Copied"));
  else if (step == 1)
    stored = Install(list, copied);
  else
    WriteStepPage(step);
  base::Write(nullptr, "</TD></TR></TABLE>\n");
  base::Write(nullptr, "</DIV>\n");
  if (!stored) return {};
  std::string query = base::Sprintf("CMD=setup&Edit=12&Wizzard=%d&Done=1", step);
  if (!copied.empty()) {
    std::string names;
    for (const std::string& name : copied) names += (names.empty() ? "" : " ") + name;
    query += "&Copied=" + web::QueryValue(names);
  }
  return query;
}

bool MakeDirectory(const std::string& path) {
  std::string_view parent = path;
  while (!parent.empty() && parent.back() == '/') parent.remove_suffix(1);
  size_t slash = parent.rfind('/');
  parent = slash == std::string_view::npos ? std::string_view() : parent.substr(0, slash);
  std::string parent_path(parent);
  struct stat st;
  errno = 0;
  int tested = parent_path.empty() ? 0 : ::stat(parent_path.c_str(), &st);
  int tested_error = tested == 0 ? 0 : errno;
  config::DebugPage("<! %s,%d,%d>\n", base::EscapeHtml(parent_path), tested, tested_error);
  if (tested != 0 && tested_error == ENOENT && parent_path.size() > 1) MakeDirectory(parent_path);
  base::Page("<TR><TD> Creating Directory : %s </TD>\n", base::EscapeHtml(path));
  if (::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) {
    WriteOkCell();
    return true;
  }
  WriteFailedCell(errno);
  return false;
}

void UpgradeDirectories() {
  base::Write(nullptr, "<! Upgrade >\n");
  const std::string& data = config::GetDataDir();
  // Without a data directory there is nothing to upgrade (and no folder to make at "/").
  if (data.empty()) return;
  base::MakeDirectory(base::Sprintf("%sTests%c", data, '/'));
  base::MakeDirectory(base::Sprintf("%stmp%c", data, '/'));
  const std::string& synchro = config::GetSynchroDir();
  base::MakeDirectory(synchro);
  base::MakeDirectory(base::Sprintf("%s/in", synchro));
  base::MakeDirectory(base::Sprintf("%s/out", synchro));
}

}  // namespace setup
