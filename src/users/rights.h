// Per-project rights: the yes/no flags of a member's line in the project's users file.
#pragma once

#include <string>
#include <string_view>

#include "web/params.h"

namespace users {

// Whether a member line (its line feed kept) grants right n: the character after the
// (n+3)-th ':' is 'Y' or the end of the text.
bool LineGrantsRight(std::string_view line, int n);

// Whether `project` is a project of "project.cfg"; only such a name becomes part of a path.
bool IsListedProject(std::string_view project);

// Right n (1 to 7) of the request's login (users::ReadIdentity: its `Uid`, or its cookie)
// in `project`, the project the request acts on (empty: the project of the token): true
// when granted. Writes an "Access granted"/"Access denied" comment into the page.
// With security on, a request without a valid token, a project that is not listed and a
// login without a line in the project's users file get no right. With security off, a
// request without a valid token, or a project without a users file, gets every right.
bool CheckRight(const web::ParamList& list, int n, std::string_view project = {});
// The same without any comment in the page, for answers that are data (the export).
bool CheckRightQuietly(const web::ParamList& list, int n, std::string_view project = {});

// The rights as the pages ask for them.
bool CanUseMenu(const web::ParamList& list);     // 1: the home page menu
bool CanCreateSheet(const web::ParamList& list,  // 2: creation in `project`
                    std::string_view project);
bool CanSetup(const web::ParamList& list);            // 2: the configuration editor
bool CanSeeEveryProject(const web::ParamList& list);  // 4: asked once per request
bool CanSeeStatistics(const web::ParamList& list);    // 5: the statistics menu
bool CanSeeClosedSheets(const web::ParamList& list);  // 6: status other than 0-3, 9
bool CanSeeOpenSheets(const web::ParamList& list);    // 7: status 0, 1, 2, 3 or 9

// Whether the request may change data of `project` (a sheet's, a book's): with security off
// always; with it on, only when the request's own `Uid` (never its cookie) is a token of
// this installation whose login has a line in the users file of `project`, a listed
// project. Every handler that stores asks this itself, not only its form.
bool MayChangeProject(const web::ParamList& list, std::string_view project);

// Whether the request's reader may see data of `project` (a book, a campaign, a sheet's
// header): with security off always; with it on, its token (its `Uid`, or its cookie) must be
// valid and name a member of the token's project, and `project` must be that project or the
// member must hold right 4 ("All projects"). As the search result list decides.
bool MayReadProject(const web::ParamList& list, std::string_view project);
// The same for a sheet, which also takes right 7 for a sheet of status 0, 1, 2, 3 or 9 and
// right 6 for any other.
bool MayReadSheet(const web::ParamList& list, std::string_view project, bool open_status);
// Whether the reader may see what all projects' sheets show together (the history):
// MayReadProject of every project and both rights 6 and 7.
bool MayReadEverything(const web::ParamList& list);

}  // namespace users
