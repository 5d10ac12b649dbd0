#include "users/uid.h"

#include <cstdlib>
#include <ctime>

#include "base/files.h"
#include "base/out.h"
#include "base/request_state.h"
#include "config/main_config.h"
#include "config/members.h"
#include "config/projects.h"
#include "users/crypto.h"
#include "users/login.h"
#include "users/rights.h"
#include "users/sessions.h"
#include "web/cookies.h"
#include "web/identity.h"
#include "web/private_file.h"

namespace users {
namespace {

constexpr size_t kSecretBytes = 32;
// A token dated this far ahead of the clock is still taken (clocks of a site drift).
constexpr long kClockSlack = 300;
constexpr long kSessionSeconds = 12 * 3600;

struct Secret {
  bool loaded = false;
  std::string key;  // empty when it could not be had
};

// Whether the request carries a token of its own (a `Uid` of at least two characters that
// does not begin with a blank).
bool CarriesUid(const web::ParamList& list) {
  const std::string& token = web::GetParam(list, "Uid");
  return token.size() >= 2 && !web::IsAbsent(token);
}

void AppendShifted(std::string& out, std::string_view text, int shift) {
  for (char c : text) out += static_cast<char>(static_cast<unsigned char>(c) + shift);
}

// A key as stored, without its line end.
std::string TrimmedKey(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// The secret of the installation: read from its file, or made there by the first request
// that needs it. Two first requests at once both end with the one that was stored first.
const std::string& InstallationSecret() {
  Secret& secret = base::Cache<Secret>();
  if (secret.loaded) return secret.key;
  secret.loaded = true;
  const std::string path = SecretPath();
  // A key that is missing, empty or short (a write cut by a crash) is made anew, under the
  // folder's lock so that two first requests end with the same key.
  std::optional<std::string> made;
  auto keep_or_make = [&](const std::optional<std::string>& old) -> std::optional<std::string> {
    if (old && TrimmedKey(*old).size() >= kSecretBytes) {
      made = *old;
      return std::nullopt;
    }
    unsigned char bytes[kSecretBytes];
    if (!RandomBytes(bytes, sizeof bytes)) return std::nullopt;
    made = ToHex(bytes, sizeof bytes) + "\n";
    return made;
  };
  std::optional<std::string> text = base::ReadFile(path);
  if (text && TrimmedKey(*text).size() >= kSecretBytes) {
    secret.key = TrimmedKey(*text);
    return secret.key;
  }
  if (base::UpdateFileContent(path, keep_or_make, {.mode = 0600}) && made)
    secret.key = TrimmedKey(*made);
  return secret.key;
}

// What the token is sealed over: its text, a line feed, and the member's stored password
// field in the token's project (empty when there is none), so that a new password ends
// every token made before it. After a member's logout, the text is followed by "#" and the
// member's session generation (sessions.h), so that the logout ends those tokens too.
std::string SealedText(std::string_view text, std::string_view login, std::string_view project) {
  std::string sealed(text);
  if (long generation = SessionGeneration(login)) sealed += base::Sprintf("#%ld", generation);
  sealed += '\n';
  if (IsListedProject(project)) {
    for (const config::ConfigLine& line :
         config::ReadConfigFile(config::UsersFilePath(project)).lines) {
      if (std::optional<std::string_view> stored = config::MemberPassword(line.text, login)) {
        sealed += *stored;
        break;
      }
    }
  }
  return sealed;
}

}  // namespace

long TokenLifetime() {
  switch (std::atoi(config::GetConfig("PERSIST").c_str())) {
    case 1:
      return 86400;
    case 2:
      return 604800;
    case 3:
      return 2592000;
    default:
      return kSessionSeconds;
  }
}

std::string SecretPath() {
  return base::JoinPath(config::GetConfigDir(), "uid.key");
}

std::string UidMac(std::string_view text) {
  const std::string& key = InstallationSecret();
  if (key.empty()) return {};
  return DigestHex(HmacSha256(key, text)).substr(0, kUidMacDigits);
}

std::string MakeUidAt(std::string_view login, std::string_view project, long now) {
  if (login.size() + project.size() > kUidNamesLimit) return "";
  std::string token;
  AppendShifted(token, login, 2);
  token += '#';
  AppendShifted(token, project, 2);
  token += '#';
  token += base::Sprintf("%d", now);
  std::string mac = UidMac(SealedText(token, login, project));
  if (mac.empty()) return "";
  return token + "#" + mac;
}

std::string MakeUid(std::string_view login, std::string_view project) {
  return MakeUidAt(login, project, static_cast<long>(std::time(nullptr)));
}

UidNames DecodeUid(std::string_view token) {
  UidNames names;
  if (!token.empty() && token.front() == ' ') return names;
  size_t first = token.find('#');
  AppendShifted(names.login, token.substr(0, first), -2);
  if (first != std::string_view::npos) {
    std::string_view rest = token.substr(first + 1);
    AppendShifted(names.project, rest.substr(0, rest.find('#')), -2);
  }
  return names;
}

std::optional<UidNames> VerifyUidAt(std::string_view token, long now) {
  size_t hash = token.rfind('#');
  if (hash == std::string_view::npos || token.size() - hash - 1 != kUidMacDigits) return {};
  std::string_view text = token.substr(0, hash);
  UidNames names = DecodeUid(text);
  if (names.login.empty()) return {};
  std::string expected = UidMac(SealedText(text, names.login, names.project));
  if (expected.size() != kUidMacDigits ||
      !SameBytes(reinterpret_cast<const unsigned char*>(expected.data()),
                 reinterpret_cast<const unsigned char*>(token.data()) + hash + 1, kUidMacDigits))
    return {};
  // The time of the login, after the second '#': within the lifetime the site gives a login.
  size_t time_at = text.rfind('#');
  if (time_at == std::string_view::npos) return {};
  std::string_view digits = text.substr(time_at + 1);
  if (digits.empty() || digits.size() > 12 ||
      digits.find_first_not_of("0123456789") != std::string_view::npos)
    return {};
  long made = std::atol(std::string(digits).c_str());
  if (made > now + kClockSlack || now - made > TokenLifetime()) return {};
  return names;
}

std::optional<UidNames> VerifyUid(std::string_view token) {
  return VerifyUidAt(token, static_cast<long>(std::time(nullptr)));
}

std::optional<UidNames> ChangeIdentity(const web::ParamList& list) {
  if (!CarriesUid(list)) return {};
  return VerifyUid(web::GetParam(list, "Uid"));
}

std::optional<UidNames> ReadIdentity(const web::ParamList& list) {
  if (CarriesUid(list)) return ChangeIdentity(list);
  if (!config::IsSecurityOn()) return {};
  return VerifyUid(web::CookieValue("quorb"));
}

void TakeActingUserFromToken(web::ParamList& list, std::string_view field) {
  if (!config::IsSecurityOn()) return;
  std::optional<UidNames> names = ChangeIdentity(list);
  if (!names) return;
  for (web::Param& p : list)
    if (p.name == field) p.value = names->login;
}

void AdoptCookieIdentity(const web::ParamList& list) {
  if (CarriesUid(list)) return;
  std::string token = web::CookieValue("quorb");
  if (!token.empty() && config::IsSecurityOn() && VerifyUid(token)) web::SetCurrentUid(token);
}

}  // namespace users
