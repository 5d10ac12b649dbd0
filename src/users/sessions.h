// The sessions of this installation's members: a generation per login, kept in
// "<CONFIGDIR>/sessions.dat" (mode 0600, never synchronised), one "<login> <generation>" line
// each, the login URL-encoded. A token is sealed over its member's generation, so a logout,
// which moves the generation on, ends every token the member holds on this site.
#pragma once

#include <string>
#include <string_view>

namespace users {

std::string SessionsPath();

// The member's current generation; 0 for a login that never logged out.
long SessionGeneration(std::string_view login);

// Moves the member's generation on: every token made before ends. False when the file
// could not be written.
bool EndSessions(std::string_view login);

}  // namespace users
