// The project configuration files of the configuration directory: the project list
// "project.cfg", the shared phase and impact lists "phase.cfg" and "impacts.cfg", and the
// per-project files "<project>_<kind>.cfg" (subproject, program, version, deadline, users);
// the single facts read from them and the composition of sheet names.
//
// Every file is read at most once per request; the editor and the synchronisation, which
// replace files, call ForgetProjectFiles() so that later reads see the new contents.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace config {

// Tables of phases and impacts hold at most this many entries.
inline constexpr size_t kMaxTableEntries = 50;

// One line of a configuration file: its bytes without the line feed, and whether the line
// feed was there (the last line of a file may lack it).
struct ConfigLine {
  std::string text;
  bool ended = false;
};

struct ConfigFile {
  bool exists = false;
  std::vector<ConfigLine> lines;
};

// The lines of the file at `path`, read once per request.
const ConfigFile& ReadConfigFile(const std::string& path);

// Drops every cached file, list and table, after a configuration file was replaced.
void ForgetProjectFiles();

// A comment line begins with "#". An empty line has no text (a lone carriage return, left
// by a CR LF line end, counts as none).
bool IsCommentLine(std::string_view text);
bool IsEmptyLine(std::string_view text);
// A line that counts in an indexed list (phases, impacts): not a comment, not empty, and not
// beginning with a blank. The phase and impact tables and their option lists count the same
// lines, so a stored index always names the entry that was offered.
bool IsIndexedLine(std::string_view text);

// "<configuration directory>/project.cfg", ".../phase.cfg", ".../impacts.cfg".
std::string GetProjectFilePath();
std::string GetPhaseFilePath();
std::string GetImpactFilePath();
// "%s/%s_%s.cfg" from the configuration directory, the project and the kind.
std::string GetProjectFilePath(std::string_view project, std::string_view kind);

// The projects of "project.cfg", last line first: each the text before the first ":" of a
// line (lines without ":" or with nothing before it are skipped, as are comments). A filter
// other than "" and " " keeps only the project of that name.
std::vector<std::string> ListProjects(std::string_view filter);

// For each project of ListProjects(filter), the path of its file of `kind`, same order.
std::vector<std::string> ListProjectFiles(std::string_view filter, std::string_view kind);

// Fields 2 to 5 of the project's line in "project.cfg" (the code, the managers, the
// verifiers, the partner sites); empty when the file or the project is missing. A field's
// value ends at its first blank.
std::string GetProjectCode(std::string_view project);
// As the others, and also writes its diagnostic comments into the page.
std::string GetProjectManager(std::string_view project);
std::string GetProjectVerifier(std::string_view project);
std::string GetProjectSite(std::string_view project);

// The code of the sub-project `name` (or the name of the sub-project of `code`) in the
// project's sub-project files; "_" when not found, so a sheet name still forms.
std::string GetSubprojectCode(std::string_view project, std::string_view name);
std::string GetSubprojectName(std::string_view project, std::string_view code);

// The sub-project names of the project's files (of all projects for "" or " "), only those
// equal to `filter` unless it is "" or " ".
std::vector<std::string> ListSubprojects(std::string_view project, std::string_view filter);

// The phase table of "phase.cfg" (at most 50 phases). An index out of the table gives the
// letter '_' and the empty name; an unknown letter gives the number of phases.
size_t CountPhases();
char GetPhaseLetter(int index);
int GetPhaseIndex(char letter);
const std::string& GetPhaseName(int index);

// The first word of the index-th impact of "impacts.cfg" (at most 50); empty past the end.
const std::string& GetImpactName(int index);

// "%s%c%s": the project's code, the phase's letter and the sub-project's code (looked up
// by the sub-project's name).
std::string GetSheetPrefix(std::string_view project, std::string_view subproject, int phase);
// The same from a sheet's `project`, `group` and `phase` fields.
std::string GetSheetPrefixOf(std::string_view project, std::string_view group, int phase);
// "%s.%05d": the prefix and the sheet's number (more digits above 99999).
std::string GetSheetName(std::string_view prefix, int number);

}  // namespace config
