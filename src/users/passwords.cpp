#include "users/passwords.h"

#include <openssl/evp.h>

#include <cstdlib>
#include <optional>

#include "users/crypto.h"

namespace users {
namespace {

constexpr size_t kSaltBytes = 16;
constexpr size_t kHashBytes = 32;
constexpr long kMaxRounds = 10000000;

std::string Base64(const unsigned char* bytes, size_t n) {
  std::string out(4 * ((n + 2) / 3) + 1, '\0');
  int len =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes, static_cast<int>(n));
  out.resize(static_cast<size_t>(len));
  while (!out.empty() && out.back() == '=') out.pop_back();
  for (char& c : out)
    if (c == '+') c = '.';
  return out;
}

std::optional<std::string> FromBase64(std::string_view text) {
  std::string in(text);
  for (char& c : in)
    if (c == '.') c = '+';
  while (in.size() % 4 != 0) in += '=';
  std::string out(in.size() / 4 * 3, '\0');
  int len = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(in.data()),
                            static_cast<int>(in.size()));
  if (len < 0) return std::nullopt;
  const size_t pad = in.size() - text.size();  // the "=" added above
  out.resize(static_cast<size_t>(len) - std::min(static_cast<size_t>(len), pad));
  return out;
}

long derivations = 0;

std::string Derive(std::string_view password, std::string_view salt, long rounds) {
  ++derivations;
  return Pbkdf2Sha256(password, salt, rounds, kHashBytes);
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
    text.remove_suffix(1);
  return text;
}

// Equal texts of any length, in a time that depends on neither: their digests are compared.
bool SameText(std::string_view a, std::string_view b) {
  const Digest da = Sha256(a), db = Sha256(b);
  return SameBytes(da.data(), db.data(), da.size());
}

}  // namespace

std::string HashPassword(std::string_view password) {
  unsigned char salt[kSaltBytes];
  if (!RandomBytes(salt, sizeof salt)) return {};
  std::string hash =
      Derive(password, std::string_view(reinterpret_cast<char*>(salt), sizeof salt), kHashRounds);
  if (hash.empty()) return {};
  return std::string(kHashPrefix) + std::to_string(kHashRounds) + "$" + Base64(salt, sizeof salt) +
         "$" + Base64(reinterpret_cast<const unsigned char*>(hash.data()), hash.size());
}

long PasswordDerivations() {
  return derivations;
}

bool IsPasswordHash(std::string_view stored) {
  return Trimmed(stored).starts_with(kHashPrefix);
}

bool VerifyPassword(std::string_view stored, std::string_view password) {
  stored = Trimmed(stored);
  if (stored.empty()) return false;
  if (!stored.starts_with(kHashPrefix)) return SameText(stored, password);
  std::string_view rest = stored.substr(kHashPrefix.size());
  size_t a = rest.find('$');
  if (a == std::string_view::npos) return false;
  size_t b = rest.find('$', a + 1);
  if (b == std::string_view::npos) return false;
  std::string rounds_text(rest.substr(0, a));
  char* end = nullptr;
  long rounds = std::strtol(rounds_text.c_str(), &end, 10);
  if (rounds_text.empty() || *end != '\0' || rounds < 1 || rounds > kMaxRounds) return false;
  std::optional<std::string> salt = FromBase64(rest.substr(a + 1, b - a - 1));
  std::optional<std::string> expected = FromBase64(rest.substr(b + 1));
  if (!salt || !expected || expected->size() != kHashBytes) return false;
  std::string got = Derive(password, *salt, rounds);
  return got.size() == kHashBytes &&
         SameBytes(reinterpret_cast<const unsigned char*>(got.data()),
                   reinterpret_cast<const unsigned char*>(expected->data()), kHashBytes);
}

std::string StoredPasswordField(std::string_view field) {
  std::string_view value = Trimmed(field);
  if (value.empty() || IsPasswordHash(value)) return std::string(field);
  std::string hash = HashPassword(value);
  return hash.empty() ? std::string(field) : hash;
}

}  // namespace users
