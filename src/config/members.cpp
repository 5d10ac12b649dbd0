#include "config/members.h"

#include <map>
#include <vector>

#include "base/out.h"
#include "base/text.h"
#include "config/projects.h"

namespace config {
namespace {

// The longest e-mail field read before the password.
constexpr size_t kMailLimit = 199;

struct MembersText {
  std::vector<std::string> lines;  // without their line ends; the change time lines removed
  std::map<std::string, MemberTimes, std::less<>> times;
};

MembersText ParseMembers(std::string_view text) {
  MembersText m;
  for (size_t pos = 0; pos < text.size();) {
    std::string_view line = base::NextLine(text, pos);
    if (!IsChangedLine(line)) {
      m.lines.emplace_back(line);
      continue;
    }
    std::vector<std::string_view> words;
    base::AppendWords(line.substr(kChangedMark.size()), words);
    if (words.size() >= 3)
      m.times[std::string(words[0])] = {base::LeadingNumber(words[1]),
                                        base::LeadingNumber(words[2])};
  }
  return m;
}

std::string_view LoginOf(std::string_view line) {
  return IsCommentLine(line) ? std::string_view() : MemberLogin(line);
}

// The third field (the password) of a member line.
std::string_view PasswordField(std::string_view line) {
  size_t a = line.find(':');
  size_t b = a == std::string_view::npos ? a : line.find(':', a + 1);
  if (b == std::string_view::npos) return {};
  size_t c = line.find(':', b + 1);
  return line.substr(b + 1, c == std::string_view::npos ? std::string_view::npos : c - b - 1);
}

std::string WithPassword(std::string_view line, std::string_view password) {
  size_t a = line.find(':');
  size_t b = a == std::string_view::npos ? a : line.find(':', a + 1);
  if (b == std::string_view::npos) return std::string(line);
  size_t c = line.find(':', b + 1);
  std::string out(line.substr(0, b + 1));
  out += password;
  if (c != std::string_view::npos) out += line.substr(c);
  return out;
}

std::string FormatMembers(const MembersText& m) {
  std::string out;
  for (const std::string& line : m.lines) out += line + "\n";
  for (const std::string& line : m.lines) {
    std::string_view login = LoginOf(line);
    auto it = m.times.find(login);
    if (login.empty() || it == m.times.end() || (it->second.line == 0 && it->second.password == 0))
      continue;
    out +=
        base::Sprintf("%s%s %ld %ld\n", kChangedMark, login, it->second.line, it->second.password);
  }
  return out;
}

}  // namespace

bool IsChangedLine(std::string_view line) {
  return line.starts_with(kChangedMark);
}

std::string StampMembers(std::string_view before, std::string_view after, long now) {
  const MembersText old = ParseMembers(before);
  MembersText m = ParseMembers(after);
  std::map<std::string, std::string, std::less<>> old_lines;
  for (const std::string& line : old.lines)
    if (!LoginOf(line).empty()) old_lines.emplace(std::string(LoginOf(line)), line);
  m.times.clear();
  for (const std::string& line : m.lines) {
    std::string_view login = LoginOf(line);
    if (login.empty()) continue;
    MemberTimes t;
    if (auto it = old.times.find(login); it != old.times.end()) t = it->second;
    auto was = old_lines.find(login);
    if (was == old_lines.end() || was->second != line) t.line = now;
    if (was == old_lines.end() || PasswordField(was->second) != PasswordField(line))
      t.password = now;
    m.times[std::string(login)] = t;
  }
  return FormatMembers(m);
}

std::string MergeMembers(std::string_view local, std::string_view received) {
  MembersText m = ParseMembers(local);
  const MembersText r = ParseMembers(received);
  std::map<std::string, size_t, std::less<>> at;
  for (size_t i = 0; i < m.lines.size(); ++i)
    if (!LoginOf(m.lines[i]).empty()) at.emplace(std::string(LoginOf(m.lines[i])), i);
  for (const std::string& theirs : r.lines) {
    const std::string login(LoginOf(theirs));
    if (login.empty()) continue;
    const MemberTimes rt = r.times.contains(login) ? r.times.at(login) : MemberTimes{};
    auto here = at.find(login);
    if (here == at.end()) {
      at.emplace(login, m.lines.size());
      m.lines.push_back(theirs);
      m.times[login] = rt;
      continue;
    }
    std::string& mine = m.lines[here->second];
    MemberTimes& lt = m.times[login];
    // The later change wins; at the same second the greater text, so both sites agree.
    auto later = [](long a, std::string_view va, long b, std::string_view vb) {
      return a != b ? a > b : va > vb;
    };
    const std::string password(
        later(rt.password, PasswordField(theirs), lt.password, PasswordField(mine))
            ? PasswordField(theirs)
            : PasswordField(mine));
    if (later(rt.line, theirs, lt.line, mine)) mine = theirs;
    mine = WithPassword(mine, password);
    lt = {std::max(lt.line, rt.line), std::max(lt.password, rt.password)};
  }
  return FormatMembers(m);
}

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
