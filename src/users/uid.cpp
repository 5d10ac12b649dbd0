#include "users/uid.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <ctime>

#include "base/files.h"
#include "base/out.h"
#include "base/request_state.h"
#include "config/main_config.h"
#include "users/crypto_start.h"
#include "web/cookies.h"
#include "web/identity.h"
#include "web/private_file.h"

namespace users {
namespace {

constexpr size_t kSecretBytes = 32;
constexpr char kHex[] = "0123456789abcdef";

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

std::string Hex(const unsigned char* bytes, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += kHex[bytes[i] >> 4];
    out += kHex[bytes[i] & 15];
  }
  return out;
}

// The secret of the installation: read from its file, or made there by the first request
// that needs it. Two first requests at once both end with the one that was linked first.
const std::string& InstallationSecret() {
  Secret& secret = base::Cache<Secret>();
  if (secret.loaded) return secret.key;
  secret.loaded = true;
  const std::string path = SecretPath();
  std::optional<std::string> text = base::ReadFile(path);
  if (!text) {
    unsigned char bytes[kSecretBytes];
    PrepareCrypto();
    if (RAND_bytes(bytes, sizeof bytes) != 1) return secret.key;
    web::WritePrivateFile(path, Hex(bytes, sizeof bytes) + "\n", true);
    text = base::ReadFile(path);
  }
  if (text) {
    while (!text->empty() && (text->back() == '\n' || text->back() == '\r')) text->pop_back();
    if (text->size() >= kSecretBytes) secret.key = *text;  // a shorter key is no key
  }
  return secret.key;
}

}  // namespace

std::string SecretPath() {
  return base::JoinPath(config::GetConfigDir(), "uid.key");
}

std::string UidMac(std::string_view text) {
  const std::string& key = InstallationSecret();
  if (key.empty()) return {};
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  PrepareCrypto();
  if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
            reinterpret_cast<const unsigned char*>(text.data()), text.size(), mac, &size))
    return {};
  return Hex(mac, size).substr(0, kUidMacDigits);
}

std::string MakeUidAt(std::string_view login, std::string_view project, long now) {
  if (login.size() + project.size() > kUidNamesLimit) return "";
  std::string token;
  AppendShifted(token, login, 2);
  token += '#';
  AppendShifted(token, project, 2);
  token += '#';
  token += base::Sprintf("%d", now);
  std::string mac = UidMac(token);
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

std::optional<UidNames> VerifyUid(std::string_view token) {
  size_t hash = token.rfind('#');
  if (hash == std::string_view::npos || token.size() - hash - 1 != kUidMacDigits) return {};
  std::string_view text = token.substr(0, hash);
  std::string expected = UidMac(text);
  if (expected.size() != kUidMacDigits ||
      CRYPTO_memcmp(expected.data(), token.data() + hash + 1, kUidMacDigits) != 0)
    return {};
  UidNames names = DecodeUid(text);
  if (names.login.empty()) return {};
  return names;
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

void AdoptCookieIdentity(const web::ParamList& list) {
  if (CarriesUid(list)) return;
  std::string token = web::CookieValue("quorb");
  if (!token.empty() && config::IsSecurityOn() && VerifyUid(token)) web::SetCurrentUid(token);
}

}  // namespace users
