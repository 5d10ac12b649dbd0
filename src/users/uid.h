// The identity token `Uid`: the login and the project where its password was found, sealed
// with a keyed MAC so that only this installation can make one.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "web/params.h"

namespace users {

// Login and project together may hold at most this many characters, so that the token,
// with its three '#', the ten digits of the time and the 16 of the MAC, stays within the
// 99 characters the current identity keeps.
inline constexpr size_t kUidNamesLimit = 67;
inline constexpr size_t kUidMacDigits = 16;

// How long a token is good for: the lifetime of the login cookie that `PERSIST` of the main
// configuration file gives (1 day, 1 week, 30 days), 12 hours for a session cookie.
long TokenLifetime();

// The login with every byte increased by 2, '#', the project likewise, '#', `now` in
// decimal, '#' and the MAC of all that and of the member's stored password; empty when login and
// project are too long to be carried or the installation's secret cannot be had.
std::string MakeUidAt(std::string_view login, std::string_view project, long now);
// The same at the current time.
std::string MakeUid(std::string_view login, std::string_view project);

// HMAC-SHA256 of `text` under the installation's secret, its first 16 hexadecimal digits;
// empty when the secret cannot be read or made. The secret lives in "<CONFIGDIR>/uid.key",
// made (mode 0600) on first use.
std::string UidMac(std::string_view text);
std::string SecretPath();

struct UidNames {
  std::string login;
  std::string project;
};

// The login and project a token carries, without any check; both empty for a token
// beginning with a blank.
UidNames DecodeUid(std::string_view token);

// The login and project of a token this installation made: its MAC verified (in constant
// time), its login not empty, made within TokenLifetime() before `now`, and the member's
// password unchanged since. Nothing for any other text.
std::optional<UidNames> VerifyUidAt(std::string_view token, long now);
std::optional<UidNames> VerifyUid(std::string_view token);

// The request's own `Uid`, verified: what a request that changes data must carry.
std::optional<UidNames> ChangeIdentity(const web::ParamList& list);

// Who the request is, for reading: its own `Uid` when it carries one, else, with security
// on, the token of the "quorb" cookie; verified either way.
std::optional<UidNames> ReadIdentity(const web::ParamList& list);

// With security on, the acting user is the login of the request's own token: every `User`
// field the request carries (the "Done by" of a form) is replaced by it. Without a valid
// token the fields are left for the handlers, which refuse the change. `field` names another
// field that names who acts (the submitter of a new sheet, the tester of a result).
void TakeActingUserFromToken(web::ParamList& list, std::string_view field = "User");

// With security on, a request without `Uid` whose cookie holds a valid token is known by
// that token: it becomes the current identity, so links and forms of the page carry it.
void AdoptCookieIdentity(const web::ParamList& list);

}  // namespace users
