// Identity tokens for the end-to-end tests: made with the installation's own secret, as
// the login page makes them.
#pragma once

#include <string>

#include "base/encode.h"
#include "harness.h"
#include "users/uid.h"

namespace e2e {

// The token of `login` in `project` (made at time 12, so every call gives the same one).
inline std::string TokenFor(const Installation& inst, const std::string& login,
                            const std::string& project) {
  InProcess request(inst);
  return users::MakeUidAt(login, project, 12);
}

// The same, url-encoded as links carry it.
inline std::string EncodedToken(const Installation& inst, const std::string& login,
                                const std::string& project) {
  return base::UrlEncode(TokenFor(inst, login, project));
}

}  // namespace e2e
