// The members' passwords as the users files store them: a salted, slow hash, so that a
// file that leaves the server (a copy, a partner installation) gives no password away.
#pragma once

#include <string>
#include <string_view>

namespace users {

// A stored hash reads "$pbkdf2-sha256$<rounds>$<salt>$<hash>" (PBKDF2 with HMAC-SHA-256,
// salt and hash in base64 without padding, "." for "+"): no ":" and no blank, so it stands
// in a field of a users file.
inline constexpr std::string_view kHashPrefix = "$pbkdf2-sha256$";
inline constexpr int kHashRounds = 200000;

// A fresh hash of `password` with a random salt; empty when no random salt could be had.
std::string HashPassword(std::string_view password);

// How many slow hashes this process has computed: what a login attempt cost, whatever its
// outcome.
long PasswordDerivations();

// Whether a users file's password field holds a hash (as opposed to a password in clear,
// as older files have them).
bool IsPasswordHash(std::string_view stored);

// Whether `password` is the one `stored` holds: a hash is recomputed; a field in clear is
// compared whole. Both take the same time whatever the bytes that differ. An empty or blank
// field matches nothing.
bool VerifyPassword(std::string_view stored, std::string_view password);

// The field to store for a password field of the members grid: a hash stays as it is, a
// password in clear is hashed, an empty or blank field stays as it is.
std::string StoredPasswordField(std::string_view field);

}  // namespace users
