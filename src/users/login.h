// The login page: the form, the password check, the `Uid` token and the cookie "quorb".
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "web/params.h"

namespace users {

// True when some project's users file has a line for `login` whose password field equals
// `password`; that project's name then goes to `project`. Projects are tried in the order
// of the project list.
bool CheckPassword(std::string_view login, std::string_view password, std::string& project);

// The login page for a request carrying `Login`: step "1" is the form, step "2" the check
// that sets the cookie and posts the token on (with the parameters of the page asked for
// only when that page changes nothing), step "0" the logout; any other step writes nothing.
// `has_sheet_form` tells the actions on a sheet that have a form (a status action or an
// edit): a login carries their CMD, Num and Edit on.
void LoginPage(const web::ParamList& list, std::string_view step,
               bool (*has_sheet_form)(std::string_view cmd));

// With security on, sends a request without a `Uid` to the login page.
void RequireLogin(const web::ParamList& list);

}  // namespace users
