// The members file of a project, "<CONFIGDIR>/<project>_users.cfg": one member a line, as the
// configuration editor writes it, "login:e-mail:password:flag:flag:...", ten fields. Every
// reader of the file goes through here: the login page, the `Uid` seal, the rights, the
// user lists of the forms and the mail addresses of a notification.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace config {

// "<CONFIGDIR>/<project>_users.cfg".
std::string UsersFilePath(std::string_view project);

// The login of a member line: the text up to the first ":" or blank (base::IsBlank). The
// user lists, the password and the address take a member's line by it.
std::string_view MemberLogin(std::string_view line);
// Whether `line` grants `login` its rights: the text before the first ":" is exactly the
// login. Stricter than MemberLogin on purpose: a blank before the ":" makes the line no
// one's, so no right comes from a line whose login was not written exactly.
bool IsRightsLine(std::string_view line, std::string_view login);

// The stored password field of `login`'s line: the login, one separator, the e-mail field up
// to ":", blank or the end (at most 199 characters), then ":" and the field up to the next
// ":" or the end. Nothing for another login's line or an empty field.
std::optional<std::string_view> MemberPassword(std::string_view line, std::string_view login);

// The logins of the project's members files (of every project for "" or " "), in file
// order: the lines that are no comment and have a login.
std::vector<std::string> MemberLogins(std::string_view project);

// The e-mail address of `login` in the project's members file: the text after the first
// ":" of its line, up to the next ":" or blank. Empty when the login has no line.
std::string MemberAddress(std::string_view project, std::string_view login);

// Whether `login` has a line in the project's members file (IsRightsLine).
bool IsMemberOf(std::string_view project, std::string_view login);

// When a member's line and password last changed, kept in the members file itself as
// comment lines "#changed <login> <line time> <password time>" (seconds since 1970) after
// the members, which older readers pass over and the editor does not show. So partner sites
// merge their members files member by member.
inline constexpr std::string_view kChangedMark = "#changed ";
struct MemberTimes {
  long line = 0;
  long password = 0;
};
// Whether a line of a members file is a change time line.
bool IsChangedLine(std::string_view line);

// The members file `after`, as the editor saves it, with its change times: those `before`
// gives for lines that stay the same, `now` for a changed line or password.
std::string StampMembers(std::string_view before, std::string_view after, long now);

// The members file that the partner's `received` one makes of the `local` one: a member of
// both takes the line changed later and, apart from it, the password changed later; members
// of one of them are kept. Every site gets the same lines whichever file is local, up to
// the order of members only one had.
std::string MergeMembers(std::string_view local, std::string_view received);

}  // namespace config
