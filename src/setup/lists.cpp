// The one-name-per-line files (programs, versions, deadlines, impacts): a text area each.
#include "base/encode.h"
#include "base/files.h"
#include "base/names.h"
#include "base/out.h"
#include "config/debug.h"
#include "config/language.h"
#include "config/main_config.h"
#include "config/projects.h"
#include "setup/setup_parts.h"
#include "web/cookies.h"
#include "web/page.h"

namespace setup {
namespace {

void WriteListForm(int kind, int wizard_step, std::string_view project, const std::string& path,
                   const TypedForm* typed = nullptr) {
  std::optional<std::string> text = typed ? typed->content : base::ReadFile(path);
  if (!text) {
    web::ErrorBoxArg(config::kMsgCannotOpen, path);
    return;
  }
  std::vector<std::string> lines = SplitLines(*text);
  WriteFileHeading(project, kind);
  base::Page("<FORM METHOD=POST ACTION=\"%s\">\n", base::EscapeHtml(web::ScriptName()));
  WriteFormFields(kind, wizard_step);
  if (wizard_step == 0) WriteRevisionField(typed ? typed->revision : FileRevision(*text));
  base::Page("<INPUT TYPE=hidden NAME=%s VALUE=%s>\n", "project", base::EscapeHtml(project));
  // Named for readers as the heading names the file (a page holds one form per project).
  std::string file = base::Sprintf("%s.cfg", KindName(kind));
  base::Page("<TEXTAREA NAME=%s ROWS=%d COLS=70%s>\n", "text", static_cast<int>(lines.size()) + 1,
             web::AriaLabel(project.empty() ? file : base::Sprintf("%s %s", project, file)));
  for (const std::string& line : lines) base::Page("%s\n", base::EscapeHtml(line));
  base::Write(nullptr, "</TEXTAREA>\n");
  WriteSubmit(wizard_step);
  base::Write(nullptr, "</FORM>\n");
}

}  // namespace

// Per-project files are made when missing, so a project added to "project.cfg" can be
// filled in at once.
std::vector<std::pair<std::string, std::string>> ProjectFiles(int kind,
                                                              const web::ParamList* reader) {
  std::vector<std::pair<std::string, std::string>> files;
  for (const std::string& project : config::ListProjects("")) {
    if (!base::IsSafeName(project)) continue;
    if (reader && !MaySaveFile(*reader, kind, project, false)) continue;
    std::string path = config::GetProjectFilePath(project, KindName(kind));
    if (!base::FileExists(path)) {
      if (kind == kUsers)
        base::WriteSecretFile(path, "");
      else
        base::WriteFileAtomic(path, "");
    }
    files.emplace_back(project, path);
  }
  return files;
}

void WriteListForms(int kind, int wizard_step, const web::ParamList* reader) {
  if (!IsPerProject(kind)) {
    WriteListForm(kind, wizard_step, "",
                  base::Sprintf("%s/%s.cfg", config::GetConfigDir(), KindName(kind)));
    return;
  }
  for (const auto& [project, path] : ProjectFiles(kind, reader))
    WriteListForm(kind, wizard_step, project, path);
}

bool SaveList(int kind, const web::ParamList& list, bool wizard) {
  const std::string& project = web::GetParam(list, "project");
  if (!MaySaveFile(list, kind, project)) {
    web::ErrorBox(config::kMsgNoSetupRight);
    return false;
  }
  std::optional<std::string> target = SaveTarget(kind, project);
  if (!target) {
    WriteRefusedProject(project);
    return false;
  }
  bool given = !project.empty() && !web::IsAbsent(project) && IsPerProject(kind);
  if (!wizard)
    WriteTitleBar(base::Sprintf("<Font size=7>%s %s.cfg Setup</font>",
                                base::EscapeHtml(given ? project : ""), KindName(kind)),
                  kind);
  const std::string content = WithUnixLineEnds(web::GetParam(list, "text"));
  const FormSave save = SaveFormFile(*target, list, [&](const std::string&) { return content; });
  if (save.stale) {
    WriteChangedMeanwhile();
    ShowFile(*target);
    const TypedForm typed{content, save.revision};
    WriteListForm(kind, 0, given ? std::string_view(project) : "", *target, &typed);
    return false;
  }
  if (!save.saved) {
    WriteSaveFailure(save.error);
    return false;
  }
  config::DebugPage("<! %d %s >\n",
                    given ? static_cast<int>(static_cast<unsigned char>(project[0])) : 0,
                    base::EscapeHtml(*target));
  if (given) HandOffProjectFile(*target, project);
  if (!wizard) ShowFile(*target);
  return true;
}

}  // namespace setup
