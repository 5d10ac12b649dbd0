#include "users/rights.h"

#include <optional>

#include "base/encode.h"
#include "base/out.h"
#include "base/request_state.h"
#include "config/debug.h"
#include "config/main_config.h"
#include "config/members.h"
#include "config/projects.h"
#include "users/uid.h"

namespace users {
namespace {

// A users file is read in pieces of at most this many bytes, the line feed included; the
// rest of a longer line is read as a line of its own.
constexpr size_t kLinePiece = 1024;

// True when `text` (one piece of a line, its line feed kept) belongs to `login` and does
// not grant right n: the character after the (n+3)-th ':' is neither 'Y' nor the end.
bool PieceDenies(std::string_view text, std::string_view login, int n) {
  return config::IsRightsLine(text, login) && !LineGrantsRight(text, n);
}

struct EveryProjectRight {
  std::optional<bool> granted;
};

}  // namespace

bool LineGrantsRight(std::string_view line, int n) {
  size_t pos = 0;
  for (int counter = -3; counter < n && pos < line.size(); ++pos)
    if (line[pos] == ':') ++counter;
  return pos >= line.size() || line[pos] == 'Y';
}

bool IsListedProject(std::string_view project) {
  if (web::IsMissing(project)) return false;
  return !config::ListProjects(project).empty();
}

namespace {

bool CheckRightSaying(const web::ParamList& list, int n, std::string_view project, bool say) {
  const bool security = config::IsSecurityOn();
  std::optional<UidNames> names = ReadIdentity(list);
  if (!names) return !security;
  const std::string where(project.empty() ? std::string_view(names->project) : project);
  if (!IsListedProject(where)) return !security;
  const config::ConfigFile& file = config::ReadConfigFile(config::UsersFilePath(where));
  if (!file.exists) return !security;
  bool denied = false;
  bool member = false;
  for (const config::ConfigLine& config_line : file.lines) {
    std::string line = config_line.text;
    if (config_line.ended) line += '\n';
    if (config::IsRightsLine(line, names->login)) member = true;
    for (size_t start = 0; start < line.size(); start += kLinePiece) {
      if (PieceDenies(std::string_view(line).substr(start, kLinePiece), names->login, n)) {
        if (say)
          config::DebugPage("<!Access denied for %s in %d>\n", base::EscapeHtml(names->login), n);
        denied = true;
      }
    }
  }
  if (security && !member) {
    if (say)
      config::DebugPage("<!Access denied for %s in %d>\n", base::EscapeHtml(names->login), n);
    denied = true;
  }
  if (say && !denied && !web::GetParam(list, "excel").starts_with('X'))
    config::DebugPage("<!Access granted for %s in %d>\n", base::EscapeHtml(names->login), n);
  return !denied;
}

}  // namespace

bool CheckRight(const web::ParamList& list, int n, std::string_view project) {
  return CheckRightSaying(list, n, project, true);
}

bool CheckRightQuietly(const web::ParamList& list, int n, std::string_view project) {
  return CheckRightSaying(list, n, project, false);
}

namespace {

bool IsMember(std::string_view login, std::string_view project) {
  return IsListedProject(project) && config::IsMemberOf(project, login);
}

}  // namespace

bool MayChangeProject(const web::ParamList& list, std::string_view project) {
  if (!config::IsSecurityOn()) return true;
  std::optional<UidNames> names = ChangeIdentity(list);
  return names && IsMember(names->login, project);
}

bool MayReadProject(const web::ParamList& list, std::string_view project) {
  if (!config::IsSecurityOn()) return true;
  std::optional<UidNames> names = ReadIdentity(list);
  if (!names || !IsMember(names->login, names->project)) return false;
  return project == names->project || CheckRightQuietly(list, 4);
}

bool MayReadSheet(const web::ParamList& list, std::string_view project, bool open_status) {
  return MayReadProject(list, project) && CheckRightQuietly(list, open_status ? 7 : 6);
}

bool MayReadEverything(const web::ParamList& list) {
  if (!config::IsSecurityOn()) return true;
  std::optional<UidNames> names = ReadIdentity(list);
  return names && IsMember(names->login, names->project) && CheckRightQuietly(list, 4) &&
         CheckRightQuietly(list, 6) && CheckRightQuietly(list, 7);
}

bool CanUseMenu(const web::ParamList& list) {
  return CheckRight(list, 1);
}
bool CanCreateSheet(const web::ParamList& list, std::string_view project) {
  return CheckRight(list, 2, project);
}
bool CanSetup(const web::ParamList& list) {
  return CheckRight(list, 2);
}
bool CanSeeStatistics(const web::ParamList& list) {
  return CheckRight(list, 5);
}
bool CanSeeClosedSheets(const web::ParamList& list) {
  return CheckRight(list, 6);
}
bool CanSeeOpenSheets(const web::ParamList& list) {
  return CheckRight(list, 7);
}

bool CanSeeEveryProject(const web::ParamList& list) {
  EveryProjectRight& cached = base::Cache<EveryProjectRight>();
  if (!cached.granted) cached.granted = CheckRight(list, 4);
  return *cached.granted;
}

}  // namespace users
