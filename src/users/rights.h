// Per-project rights: the yes/no flags of a member's line in the project's users file.
#pragma once

#include <string>
#include <string_view>

#include "web/params.h"

namespace users {

// The users file of a project: "<CONFIGDIR>/<project>_users.cfg".
std::string UsersFilePath(std::string_view project);

// Right n (1 to 7) of the login the request's `Uid` names, in the project it names: true
// when granted. Without a `Uid`, or when that project has no users file, every right is
// granted. Writes an "Access granted"/"Access denied" comment into the page.
bool CheckRight(const web::ParamList& list, int n);

// The rights as the pages ask for them.
bool CanUseMenu(const web::ParamList& list);          // 1: the home page menu
bool CanCreateSheet(const web::ParamList& list);      // 2: the creation form
bool CanSetup(const web::ParamList& list);            // 2: the configuration editor
bool CanSeeEveryProject(const web::ParamList& list);  // 4: asked once per request
bool CanSeeStatistics(const web::ParamList& list);    // 5: the statistics menu
bool CanSeeClosedSheets(const web::ParamList& list);  // 6: status other than 0-3, 9
bool CanSeeOpenSheets(const web::ParamList& list);    // 7: status 0, 1, 2, 3 or 9

// Whether the request may change data of `project` (a sheet's, a book's): with security off
// always; with it on, only when the request's own `Uid` names a login that has a line in
// that project's users file. Every handler that stores asks this itself, not only its form.
bool MayChangeProject(const web::ParamList& list, std::string_view project);

}  // namespace users
