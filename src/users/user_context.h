// The user context remembered per client machine in "userinfo.dat": the last login,
// project, sub-project and phase, preselected in the next forms.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace users {

struct UserRecord {
  std::string address;
  std::string login;       // at most 19 characters
  std::string project;     // at most 39 characters
  std::string subproject;  // at most 39 characters
  int phase = -1;
};

// `REMOTE_ADDR` (empty when unset).
const std::string& GetClientAddress();

// The record of the current client address; none when the file has no record for it.
const std::optional<UserRecord>& GetUserRecord();

// The remembered login, else `REMOTE_USER` (empty when unset).
const std::string& GetUserName();
// The remembered project; " " when none.
const std::string& GetLastProject();
// The remembered sub-project; empty when there is no record.
const std::string& GetLastSubproject();
// The remembered phase index; -1 when none.
int GetLastPhase();

// Remembers the four values for the current client address: its record moves to the end
// of the file, malformed lines are dropped.
void SaveUserContext(std::string_view login, std::string_view project, std::string_view subproject,
                     int phase);
// Remembers a new login and keeps the remembered project, sub-project and phase.
void SaveUserName(std::string_view login);

}  // namespace users
