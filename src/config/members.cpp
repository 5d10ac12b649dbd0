#include "config/members.h"

#include "base/text.h"
#include "config/projects.h"

namespace config {
namespace {

// The longest e-mail field read before the password.
constexpr size_t kMailLimit = 199;

}  // namespace

std::string UsersFilePath(std::string_view project) {
  return GetProjectFilePath(project, "users");
}

std::string_view MemberLogin(std::string_view line) {
  size_t end = 0;
  while (end < line.size() && line[end] != ':' && !base::IsBlank(line[end])) ++end;
  return line.substr(0, end);
}

bool IsRightsLine(std::string_view line, std::string_view login) {
  return line.substr(0, line.find(':')) == login;
}

std::optional<std::string_view> MemberPassword(std::string_view line, std::string_view login) {
  std::string_view own = MemberLogin(line);
  if (own != login) return {};
  size_t pos = own.size();
  if (pos < line.size()) ++pos;  // the separator
  size_t mail = 0;
  while (pos < line.size() && mail < kMailLimit && line[pos] != ':' && line[pos] != ' ') {
    ++pos;
    ++mail;
  }
  std::string_view rest = line.substr(pos);
  if (rest.empty() || rest.front() != ':') return {};
  std::string_view stored = rest.substr(1, rest.find(':', 1) - 1);
  if (stored.empty()) return {};
  return stored;
}

std::vector<std::string> MemberLogins(std::string_view project) {
  std::vector<std::string> logins;
  for (const std::string& path : ListProjectFiles(project, "users")) {
    for (const ConfigLine& line : ReadConfigFile(path).lines) {
      if (IsCommentLine(line.text)) continue;
      std::string_view login = MemberLogin(line.text);
      if (!login.empty()) logins.emplace_back(login);
    }
  }
  return logins;
}

std::string MemberAddress(std::string_view project, std::string_view login) {
  for (const std::string& path : ListProjectFiles(project, "users")) {
    for (const ConfigLine& line : ReadConfigFile(path).lines) {
      std::string_view text = line.text;
      size_t colon = text.find(':');
      if (colon == std::string_view::npos || MemberLogin(text) != login) continue;
      std::string_view rest = text.substr(colon + 1);
      return std::string(rest.substr(0, rest.find_first_of(": ")));
    }
  }
  return {};
}

bool IsMemberOf(std::string_view project, std::string_view login) {
  for (const ConfigLine& line : ReadConfigFile(UsersFilePath(project)).lines)
    if (IsRightsLine(line.text, login)) return true;
  return false;
}

}  // namespace config
