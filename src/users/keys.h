// The keys with which a member's scripts and feed readers act as the member: "<CONFIGDIR>/
// apikeys.dat" (mode 0600, never synchronised), one line per key:
//   "<id> <kind> <sha256 of the key, hex> <login> <project> <created> <last use> <name>"
// login, project and name URL-encoded, times in seconds since 1970 (0: never used). The key
// itself, "qk<kind><id>_<secret>", is shown once, when it is made; only its hash is kept.
// An API key reads and writes as its member; a feed key only reads feeds. Either acts through
// the same gate as the member's pages: a key becomes an identity token of its member.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "web/params.h"

namespace users {

enum class KeyKind : char { kApi = 'a', kFeed = 'f' };

struct ApiKey {
  std::string id;
  KeyKind kind = KeyKind::kApi;
  std::string hash;
  std::string login;
  std::string project;  // the member's project when the key was made (the token's project)
  long created = 0;
  long last_use = 0;
  std::string name;
};

std::string KeysPath();

// "API YES" in the main configuration file, or security on: the machine interface answers.
bool ApiEnabled();

// The keys of the file, in the order made.
std::vector<ApiKey> ReadKeys();

// Makes a key for `login` (of `project`): stored as its hash; the key text, empty when the
// file could not be written.
std::string MakeKey(std::string_view login, std::string_view project, KeyKind kind,
                    std::string_view name);

// Removes the key `id` of `login`; false when there is none or the file could not be written.
bool RevokeKey(std::string_view login, std::string_view id);

// The stored key that `text` is (its hash compared in constant time); nothing for any other
// text. Its use is recorded, at most once an hour so that a poll does not write every time.
std::optional<ApiKey> FindKey(std::string_view text);

// The identity token of a key's member, made now: what the gate and the pages verify.
std::string KeyToken(const ApiKey& key);

// CMD=keys: the member's own keys, with a form to make one and a button to revoke each.
void KeysPage(web::ParamList& list);
// Whether a CMD=keys request makes or revokes a key.
bool KeysRequestChanges(const web::ParamList& list);

}  // namespace users
