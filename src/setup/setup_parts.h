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
  kSynchro = 11,  // the synchronisation page: status and shared secrets
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
// Projects whose names cannot form a file name are passed over, and, given a `reader`, the
// projects that reader may not set up.
std::vector<std::pair<std::string, std::string>> ProjectFiles(
    int kind, const web::ParamList* reader = nullptr);

// Whether this request may use the setup menu: with security off always; with it on, the
// request's own `Uid` must name a member of its project holding right 2 (the setup right).
bool MaySave(const web::ParamList& list);
// Whether it may save what all projects share ("quorb.cfg", "project.cfg", phases, impacts,
// mail recipients, the templates of the per-project files, the wizard): with security on,
// rights 2 and 4 ("All projects") of the token's project.
bool MaySaveShared(const web::ParamList& list);
// Whether it may save the file of `kind` for `project`: a per-project file takes right 2 of
// that project (the project acted on, not the token's); any other file is shared. `say`
// writes the rights comments into the page.
bool MaySaveFile(const web::ParamList& list, int kind, std::string_view project, bool say = true);
// With security on, whether the saver may store `content` as the members file `path` of
// `project`: every right it grants that the file did not is one the saver holds ("All
// projects" and the setup right only for who holds both), and it keeps one member holding
// both when the file had one.
bool MayGrant(const web::ParamList& list, std::string_view project, const std::string& path,
              std::string_view content);

// Writes `content` to a temporary name beside `path` and renames it over `path`. On
// failure the old file stays whole and `error` holds the system's error number. A `secret`
// file (the members files) is made for its owner alone.
bool ReplaceConfigFile(const std::string& path, std::string_view content, int& error,
                       bool secret = false);

// Two administrators saving the same file: every form that edits a configuration file carries
// the revision of the file as the form showed it (hidden field "Rev"), and its save compares
// it with the file under the file's lock. A save from a form shown before someone else saved
// the file writes nothing; its page shows the file as it is now and the form again, with
// what was typed and the current revision. A form without a revision (a page from before
// they were carried, the wizard) is taken as current.
// The revision of a file's content: a digest under the installation's secret, so that a page
// may carry that of a file holding passwords or a shared secret.
std::string FileRevision(std::string_view content);
// The hidden field of `revision`; nothing for an empty one.
void WriteRevisionField(std::string_view revision);
// A form shown again after a refused save: what was typed, as the file would hold it, and
// the revision of the file as it is now.
struct TypedForm {
  std::string content;
  std::string revision;
};
// What a save of a form's file did.
struct FormSave {
  bool saved = false;
  bool stale = false;    // the file changed since the form was shown: nothing was written
  int error = 0;         // neither: the system's error number
  std::string revision;  // stale: the file's revision now
};
// Replaces `path`, the file the form of `list` edits, by what `make` turns its content (empty
// when there is none) into, all under the file's lock, when the form's revision is still the
// file's. A `secret` file is made for its owner alone.
FormSave SaveFormFile(const std::string& path, const web::ParamList& list,
                      const std::function<std::string(const std::string&)>& make,
                      bool secret = false);
// The refusal of a stale save: the error box and the label of the file as it is now, which
// the caller shows next, then the form again.
void WriteChangedMeanwhile();

// With security off, the warning that anyone who can reach the site can change its
// configuration, and how to turn logins on; nothing with security on.
inline constexpr std::string_view kOpenSiteWarning =
    "<P><FONT COLOR=#990000><B>Logins are off: anyone who can reach this site can change its "
    "configuration.</B> Add members with passwords to the projects, then check "
    "Authentication (SECURITY YES in quorb.cfg) before the site is reachable.</FONT>\n";
void WriteOpenSiteWarning();

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
// `typed`: the form shown again after a refused save, with the values of `list`.
void WriteMainConfigForm(int wizard_step, const web::ParamList& list,
                         const TypedForm* typed = nullptr);
bool SaveMainConfig(const web::ParamList& list);
void WriteListForms(int kind, int wizard_step, const web::ParamList* reader = nullptr);
bool SaveList(int kind, const web::ParamList& list, bool wizard);
void WriteTableForms(int kind, int wizard_step, const web::ParamList* reader = nullptr);
// `before_write`, when given, runs with the names of the rows once the table is accepted,
// before the file is replaced (the wizard moves the first project's templates there).
bool SaveTable(int kind, const web::ParamList& list, bool wizard,
               const std::function<void(const std::vector<std::string>&)>& before_write = {});
void WriteMailForm(int wizard_step, const TypedForm* typed = nullptr);
// The synchronisation page (Edit=11), and the save of a project's shared secret from it.
void SynchroPage(const web::ParamList& list);
// Writes the project's shared secret (one line of at least 16 characters, else a refusal
// box) and sends the messages that waited for it. The caller checked the project and right.
// Given the `form` it came from, a secret set since that form was shown is not replaced.
bool WriteSharedSecret(std::string_view project, std::string_view secret,
                       const web::ParamList* form = nullptr);
// The outgoing notification mails waiting in the spool, with their ages.
void WriteSpoolStatus();
bool SaveMail(const web::ParamList& list, bool wizard);

// The e-mail address the default users file gives the first member.
inline constexpr std::string_view kDefaultMemberMail = "kolvar@localhost";
// The print command the wizard offers: the Latin-1 text converted to the printer's UTF-8, in
// 12 characters an inch so that the 84-column table of a sheet fits the line.
inline constexpr std::string_view kDefaultPrint =
    "iconv -f ISO-8859-1 -t UTF-8 %s | lp -o cpi=12 -o lpi=7";
// Where the wizard looks for the language files it copies into a configuration directory
// that lacks them: "share/config" beside the program, then "../share/config" (the build
// tree), the folder of the running executable being the starting point.
std::vector<std::string> ShareConfigDirs();
// Copies each "langue.*" of the first share folder found into `configdir` when it has no file
// of that name; one report row per copy, its name added to `copied`. False when a copy failed.
bool CopyLanguageFiles(const std::string& configdir, std::vector<std::string>* copied = nullptr);

// What stands in the main file for a POP3 password that was never given.
inline constexpr std::string_view kNoPassword = "*";

}  // namespace setup
