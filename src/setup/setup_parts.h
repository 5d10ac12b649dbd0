// Shared by the configuration editor and the wizard: the file kinds, the rights and name
// checks every save makes, the hidden fields and title bars of the forms, and the file
// replacement.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/main_config.h"
#include "web/params.h"

namespace setup {

enum Kind {
  kMain = 1,
  kProject = 2,
  kSubproject = 3,
  kProgram = 4,
  kPhase = 5,
  kVersion = 6,
  kDeadline = 7,
  kImpacts = 8,
  kUsers = 9,
  kSendmail = 10,
  kWizard = 12,
};
inline constexpr int kKindCount = 10;

// The kind's file name without ".cfg" ("project", "subproject", ...); "quorb" for the
// main file, empty for a number that is no kind.
std::string_view KindName(int kind);
// The name the setup menu shows ("Quorb", "SubProject", "Send Mail", ...).
std::string_view KindMenuName(int kind);
// Sub-projects, programs, versions, deadlines and users have one file per project.
bool IsPerProject(int kind);

// A project name that may form a file name in the configuration directory and a folder of
// the synchronisation tree: not empty, no "/", "\", "..", ":", blank or control character.
bool IsSafeProjectName(std::string_view name);

// The file a save of `kind` writes: "<CONFIGDIR>/<project>_<kind>.cfg" for a per-project
// kind with a project, else "<CONFIGDIR>/<kind>.cfg". Nothing when the project is not a
// project of "project.cfg" (or not a safe name): such a save is refused.
std::optional<std::string> SaveTarget(int kind, std::string_view project);

// The folder of the main configuration file ("<PWD>/config").
std::string BaseConfigDir();

// The error box of a save SaveTarget refused: a name that cannot be used, or a project
// that is not in "project.cfg".
void WriteRefusedProject(std::string_view project);

// Each project of "project.cfg" with its file of `kind`, the file made (empty) when missing.
// Projects whose names cannot form a file name are passed over.
std::vector<std::pair<std::string, std::string>> ProjectFiles(int kind);

// Whether this request may save configuration files: with security off always; with it on,
// the request's own `Uid` must name a member of its project holding right 2.
bool MaySave(const web::ParamList& list);

// Writes `content` to a temporary name beside `path` and renames it over `path`. On
// failure the old file stays whole and `error` holds the system's error number.
bool ReplaceConfigFile(const std::string& path, std::string_view content, int& error);

// The page heading a failed save writes: message 500 and the error number.
void WriteSaveFailure(int error);

// The one place where a project's configuration file goes to the partner installations.
void HandOffProjectFile(const std::string& path, std::string_view project);

// The hidden fields every setup form carries: CMD=setup, then either Wizzard=<step> and
// Edit=12 or Edit=<kind>, and the current Uid when there is one.
void WriteFormFields(int kind, int wizard_step);
// The submit button: "OK" in the editor, message 2453 in the wizard.
void WriteSubmit(int wizard_step);

// A save's title bar outside the wizard: `heading`, a link back to the kind's form and a
// link home.
void WriteTitleBar(std::string_view heading, int kind);

// "<P><H1><Font size=7>%s %s.cfg Setup</font></H1>\n<P>" with project and kind.
void WriteFileHeading(std::string_view project, int kind);

// The lines of a text, each without its line feed and the carriage return before it.
std::vector<std::string> SplitLines(std::string_view text);

// A text area's value as it is stored: CR LF line ends become LF.
std::string WithUnixLineEnds(std::string_view text);

// One field of a table cell: no ":" (the field separator) and no control characters.
std::string CleanCell(std::string_view value);

// Shows a saved file: its lines in a framed preformatted block, escaped; a line beginning
// with "POP3PASS" shows as "POP3PASS *".
void ShowFile(const std::string& path);
// Shows a saved table file as its columns lay it out.
void ShowTable(int kind, const std::string& path);
// Shows the mail table "sendmail.cfg" holds (`content`), and that file's path.
void ShowMailTable(const std::string& content);
std::string MailFilePath();

// The editors (each writes one or more forms or saves one file).
void WriteSetupMenu(const web::ParamList& list);
// The main file's values from the main form's fields (directories with a trailing "/", an
// empty password field keeping the stored password).
config::MainConfigValues MainValuesFromForm(const web::ParamList& list);
void WriteMainConfigForm(int wizard_step, const web::ParamList& list);
bool SaveMainConfig(const web::ParamList& list);
void WriteListForms(int kind, int wizard_step);
bool SaveList(int kind, const web::ParamList& list, bool wizard);
void WriteTableForms(int kind, int wizard_step);
// `before_write`, when given, runs with the names of the rows once the table is accepted,
// before the file is replaced (the wizard moves the first project's templates there).
bool SaveTable(int kind, const web::ParamList& list, bool wizard,
               const std::function<void(const std::vector<std::string>&)>& before_write = {});
void WriteMailForm(int wizard_step);
bool SaveMail(const web::ParamList& list, bool wizard);

// The e-mail address the default users file gives the first member.
inline constexpr std::string_view kDefaultMemberMail = "kolvar@localhost";
// What stands in the main file for a POP3 password that was never given.
inline constexpr std::string_view kNoPassword = "*";

}  // namespace setup
