// The identity token `Uid`: the login and the project where its password was found.
#pragma once

#include <string>
#include <string_view>

namespace users {

// Login and project together may hold at most this many characters, so that the token,
// with its two '#' and the ten digits of the time, stays within 79 characters.
inline constexpr size_t kUidNamesLimit = 67;

// The login with every byte increased by 2, '#', the project likewise, '#', and `now` in
// decimal; empty when login and project are too long to be carried.
std::string MakeUidAt(std::string_view login, std::string_view project, long now);
// The same at the current time.
std::string MakeUid(std::string_view login, std::string_view project);

struct UidNames {
  std::string login;
  std::string project;
};

// The login and project a token carries; both empty for a token beginning with a blank.
UidNames DecodeUid(std::string_view token);

}  // namespace users
