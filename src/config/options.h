// The OPTION lines of the forms' selection lists, from the project configuration files. Each
// writer writes only the options; the caller writes the SELECT element around them. Output
// goes to `stream` (null: the page). Option texts are written as the files hold them, with
// '<', '>' and '"' escaped.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/out.h"

namespace config {

// One option per line of the file that is not a comment and not empty: the text up to the
// first ":" (or the whole line with its line end when it has none), as "<OPTION> %s", or
// "<OPTION SELECTED> %s" when the text begins with `selected` (so "" selects every option).
// No line end is added.
void WriteFileOptions(base::Stream stream, const std::string& path,
                      std::string_view selected = " ");

// WriteFileOptions over each of the project's files of `kind` ("program", "version",
// "deadline"); every project's when `project` is "" or " ".
void WriteProjectFileOptions(base::Stream stream, std::string_view project, std::string_view kind,
                             std::string_view selected = " ");

// Whether `value` is one of the options WriteProjectFileOptions writes for the project (a
// browser sends an option without blanks around it; they are ignored on both sides).
bool IsProjectFileOption(std::string_view project, std::string_view kind, std::string_view value);

// The sub-projects of the project: first the comment
// "\n<! proj:%s, match:%s, files.name:%s>\n" (with DEBUG YES), then the options of each sub-project
// file.
void WriteSubprojectOptions(base::Stream stream, std::string_view project,
                            std::string_view selected = " ");

// For each line of an indexed list (see IsIndexedLine, at most 50), the name up to ":" as
// "<OPTION VALUE=\"%c\"> %s\n" with the letter 'a' + index; the line of `selected_index`
// as "<OPTION SELECTED VALUE=\"%c\"> %s\n". -1 selects none.
void WriteIndexOptions(base::Stream stream, const std::string& path, int selected_index);
// The index a value of those options stands for: its first letter minus 'a' (0 for "").
inline int LetterIndex(std::string_view value) {
  return value.empty() ? 0 : static_cast<unsigned char>(value.front()) - 'a';
}
void WritePhaseOptions(base::Stream stream, int selected_index);   // "phase.cfg"
void WriteImpactOptions(base::Stream stream, int selected_index);  // "impacts.cfg"

// The logins of the project's users files (config::MemberLogins) as "<OPTION> %s\n", or
// "<OPTION SELECTED> %s\n" when it equals `selected`.
void WriteUserOptions(base::Stream stream, std::string_view project,
                      std::string_view selected = "");

// The deadlines not yet delivered: the words of the project's deadline files (comment lines
// and words beginning with "#" left out) that are no word of its version files.
std::vector<std::string> UndeliveredDeadlines(std::string_view project);
// "<OPTION> %s\n" for each of UndeliveredDeadlines; "<OPTION SELECTED> %s\n" for `selected`.
void WriteDeadlineOptions(base::Stream stream, std::string_view project,
                          std::string_view selected = "");

// Severities 1 to 4 and types 1 and 2: "<OPTION VALUE=%d ", "SELECTED " for `selected`,
// then "> %s\n" with the label.
void WriteSeverityOptions(base::Stream stream, int selected);
void WriteTypeOptions(base::Stream stream, int selected);

}  // namespace config
