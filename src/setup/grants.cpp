// Who may grant which right in a members file: a saver grants only the rights they hold, and
// only a member holding both "All projects" and the setup right in their own project grants
// either of those two; no save takes the last such member out of a file that had one.
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "base/files.h"
#include "config/main_config.h"
#include "config/members.h"
#include "setup/setup_parts.h"
#include "users/rights.h"
#include "users/uid.h"

namespace setup {
namespace {

constexpr int kSetupRight = 2;
constexpr int kEveryProjectRight = 4;
constexpr int kLastGridRight = 6;  // fields 5 to 10 of a line

bool IsAdministratorLine(std::string_view line) {
  return users::LineGrantsRight(line, kSetupRight) &&
         users::LineGrantsRight(line, kEveryProjectRight);
}

// The lines of a members file's text by login (the first line of each), line feeds kept.
std::map<std::string, std::string, std::less<>> LinesByLogin(std::string_view text) {
  std::map<std::string, std::string, std::less<>> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    end = end == std::string_view::npos ? text.size() : end + 1;
    std::string_view line = text.substr(start, end - start);
    std::string_view login = config::MemberLogin(line);
    if (!login.empty()) lines.emplace(std::string(login), std::string(line));
    start = end;
  }
  return lines;
}

}  // namespace

bool MayGrant(const web::ParamList& list, std::string_view project, const std::string& path,
              std::string_view content) {
  if (!config::IsSecurityOn()) return true;
  std::optional<users::UidNames> saver = users::ChangeIdentity(list);
  if (!saver) return false;
  const bool administrator = users::CheckRightQuietly(list, kSetupRight, saver->project) &&
                             users::CheckRightQuietly(list, kEveryProjectRight, saver->project);
  const auto before = LinesByLogin(base::ReadFile(path).value_or(""));
  const auto after = LinesByLogin(content);
  bool had_administrator = false, has_administrator = false;
  for (const auto& [login, line] : before) had_administrator |= IsAdministratorLine(line);
  for (const auto& [login, line] : after) {
    has_administrator |= IsAdministratorLine(line);
    auto old = before.find(login);
    for (int n = 1; n <= kLastGridRight; ++n) {
      const bool granted = users::LineGrantsRight(line, n) &&
                           (old == before.end() || !users::LineGrantsRight(old->second, n));
      if (!granted) continue;
      const bool held = n == kSetupRight || n == kEveryProjectRight
                            ? administrator
                            : users::CheckRightQuietly(list, n, project);
      if (!held) return false;
    }
  }
  return !had_administrator || has_administrator;
}

}  // namespace setup
