#include <cerrno>
#include <cstdio>

#include "base/encode.h"
#include "base/files.h"
#include "base/names.h"
#include "base/out.h"
#include "base/text.h"
#include "config/language.h"
#include "config/main_config.h"
#include "config/projects.h"
#include "setup/setup_parts.h"
#include "sync/sync.h"
#include "users/rights.h"
#include "users/uid.h"
#include "web/cookies.h"
#include "web/identity.h"
#include "web/page.h"

namespace setup {
namespace {

struct KindNames {
  std::string_view name;
  std::string_view menu;
};

constexpr KindNames kKinds[kKindCount] = {
    {"quorb", "Quorb"},        {"project", "Project"}, {"subproject", "SubProject"},
    {"program", "Program"},    {"phase", "Phase"},     {"version", "Version"},
    {"deadline", "Deadline"},  {"impacts", "Impacts"}, {"users", "Users"},
    {"sendmail", "Send Mail"},
};

constexpr std::string_view kRevisionField = "Rev";
constexpr int kMsgChangedMeanwhile = 600;
constexpr int kMsgFileNow = 601;

bool HasCurrentUid() {
  const std::string& uid = web::GetCurrentUid();
  return !uid.empty() && uid.front() != ' ';
}

}  // namespace

std::string_view KindName(int kind) {
  return kind >= 1 && kind <= kKindCount ? kKinds[kind - 1].name : std::string_view();
}

std::string_view KindMenuName(int kind) {
  return kind >= 1 && kind <= kKindCount ? kKinds[kind - 1].menu : std::string_view();
}

bool IsPerProject(int kind) {
  return kind == kSubproject || kind == kProgram || kind == kVersion || kind == kDeadline ||
         kind == kUsers;
}

std::optional<std::string> SaveTarget(int kind, std::string_view project) {
  const std::string& dir = config::GetConfigDir();
  bool given = !project.empty() && !web::IsAbsent(project);
  if (!given || !IsPerProject(kind)) return base::Sprintf("%s/%s.cfg", dir, KindName(kind));
  if (!base::IsSafeName(project)) return std::nullopt;
  for (const std::string& listed : config::ListProjects(""))
    if (listed == project) return config::GetProjectFilePath(project, KindName(kind));
  return std::nullopt;
}

std::string BaseConfigDir() {
  std::string path = config::GetConfigPath();
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

void WriteRefusedProject(std::string_view project) {
  web::ErrorBoxArg(base::IsSafeName(project) ? 2720 : 2719, project);
}

bool MaySave(const web::ParamList& list) {
  if (!config::IsSecurityOn()) return true;
  std::optional<users::UidNames> names = users::ChangeIdentity(list);
  return names && users::MayChangeProject(list, names->project) && users::CanSetup(list);
}

bool MaySaveShared(const web::ParamList& list) {
  if (!config::IsSecurityOn()) return true;
  std::optional<users::UidNames> names = users::ChangeIdentity(list);
  return names && users::MayChangeProject(list, names->project) &&
         users::CheckRight(list, 2, names->project) && users::CheckRight(list, 4, names->project);
}

bool MaySaveFile(const web::ParamList& list, int kind, std::string_view project, bool say) {
  if (!config::IsSecurityOn()) return true;
  const bool given = IsPerProject(kind) && !project.empty() && !web::IsAbsent(project);
  if (!given) return MaySaveShared(list);
  return users::MayChangeProject(list, project) &&
         (say ? users::CheckRight(list, 2, project) : users::CheckRightQuietly(list, 2, project));
}

bool ReplaceConfigFile(const std::string& path, std::string_view content, int& error, bool secret) {
  error = 0;
  if (!base::ReplaceFileContent(path, content, {.mode = secret ? 0600u : 0644u, .error = &error}))
    return false;
  config::ForgetProjectFiles();
  return true;
}

std::string FileRevision(std::string_view content) {
  // A line feed first: no identity token's text starts with one.
  std::string text = "\nrevision\n";
  text += content;
  return users::UidMac(text);
}

void WriteRevisionField(std::string_view revision) {
  if (revision.empty()) return;
  base::Page("<INPUT TYPE=\"hidden\" NAME=%s VALUE=\"%s\">\n", kRevisionField,
             base::EscapeHtml(revision));
}

FormSave SaveFormFile(const std::string& path, const web::ParamList& list,
                      const std::function<std::string(const std::string&)>& make, bool secret) {
  FormSave save;
  const std::string& shown = web::GetParam(list, kRevisionField);
  const bool checked = !web::IsAbsent(shown);
  auto change = [&](const std::optional<std::string>& old) -> std::optional<std::string> {
    const std::string content = old.value_or("");
    if (checked && FileRevision(content) != shown) {
      save.stale = true;
      save.revision = FileRevision(content);
      return std::nullopt;
    }
    return make(content);
  };
  if (!base::UpdateFileContent(path, change,
                               {.mode = secret ? 0600u : 0644u, .error = &save.error}))
    return save;
  save.saved = !save.stale;
  if (save.saved) config::ForgetProjectFiles();
  return save;
}

void WriteChangedMeanwhile() {
  web::ErrorBox(kMsgChangedMeanwhile);
  base::Page("<P><B>%s</B>\n", config::Msg(kMsgFileNow));
}

void WriteOpenSiteWarning() {
  if (config::IsSecurityOn()) return;
  base::Write(nullptr, kOpenSiteWarning);
}

void WriteSaveFailure(int error) {
  base::Page("<P><H1><Font size=7>%s %d</font></H1>\n<P>", config::Msg(500), error);
}

void HandOffProjectFile(const std::string& path, std::string_view project) {
  synch::SendSynchFile(path, project, synch::kConfigFile);
}

void WriteFormFields(int kind, int wizard_step) {
  base::Write(nullptr, "<INPUT TYPE=hidden NAME=CMD VALUE=setup>\n");
  if (wizard_step > 0) {
    base::Page("<INPUT TYPE=hidden NAME=Wizzard VALUE=%d>\n", wizard_step);
    base::Page("<INPUT TYPE=hidden NAME=Edit VALUE=%d>\n", static_cast<int>(kWizard));
  } else {
    base::Page("<INPUT TYPE=hidden NAME=Edit VALUE=%d>\n", kind);
  }
  if (HasCurrentUid())
    base::Page("<INPUT TYPE=hidden NAME=Uid VALUE=\"%s\">\n",
               base::EscapeHtml(web::GetCurrentUid()));
}

void WriteSubmit(int wizard_step) {
  base::Page("<INPUT TYPE=submit VALUE=\"%s\">\n",
             wizard_step > 0 ? base::EscapeHtml(config::Msg(2453)) : std::string("OK"));
}

void WriteTitleBar(std::string_view heading, int kind) {
  std::string suffix = web::UidSuffix();
  base::Page("%s\n", heading);
  base::Page("<A HREF=\"?CMD=setup&Edit=%d%s\">\n", kind, suffix);
  base::Page("<IMG SRC=%s/larrow.gif BORDER=0 ALT=\"%s\"></A>\n", config::GetImageDir(),
             config::Msg(1106));
  // The home page takes no parameter but the identity.
  base::Page("<A HREF=\"?%s\">\n", suffix.empty() ? suffix : suffix.substr(1));
  base::Page("<IMG SRC=%s/home.gif BORDER=0 ALT=\"QUORB\"></A>\n", config::GetImageDir());
}

void WriteFileHeading(std::string_view project, int kind) {
  base::Page("<P><H1><Font size=7>%s %s.cfg Setup</font></H1>\n<P>", base::EscapeHtml(project),
             KindName(kind));
}

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    std::string_view line = base::NextLine(text, pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.emplace_back(line);
  }
  return lines;
}

std::string WithUnixLineEnds(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

std::string CleanCell(std::string_view value) {
  std::string out;
  for (char c : value) {
    auto u = static_cast<unsigned char>(c);
    if (c != ':' && u >= 0x20 && u != 0x7f) out += c;
  }
  return out;
}

void ShowFile(const std::string& path) {
  base::Write(nullptr, "<TABLE BORDER=1><TR><TD>\n");
  base::Write(nullptr, "<PRE>");
  base::LineReader reader(path);
  std::string line;
  bool ended = false;
  while (reader.Next(line, &ended)) {
    if (line.starts_with("POP3PASS")) {
      base::Write(nullptr, "POP3PASS *\n");
      continue;
    }
    base::Write(nullptr, base::EscapeHtml(line));
    if (ended) base::Write(nullptr, "\n");
  }
  base::Write(nullptr, "</PRE>\n");
  base::Write(nullptr, "</TD></TR></TABLE>\n");
}

}  // namespace setup
