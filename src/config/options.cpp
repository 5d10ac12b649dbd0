#include "config/options.h"

#include <unordered_set>
#include <vector>

#include "base/encode.h"
#include "base/text.h"
#include "config/labels.h"
#include "config/main_config.h"
#include "config/members.h"
#include "config/projects.h"

namespace config {
namespace {

// The words of the non-comment lines of `path`.
std::vector<std::string_view> WordsOf(const std::string& path) {
  std::vector<std::string_view> words;
  for (const ConfigLine& line : ReadConfigFile(path).lines) {
    std::string_view text = line.text;
    if (IsCommentLine(text)) continue;
    base::AppendWords(text, words);
  }
  return words;
}

void WriteCodedOptions(base::Stream stream, int first, int last, int selected,
                       const std::string& (*label)(int)) {
  for (int value = first; value <= last; ++value) {
    base::Printf(stream, "<OPTION VALUE=%d ", value);
    if (value == selected) base::Write(stream, "SELECTED ");
    base::Printf(stream, "> %s\n", label(value));
  }
}

}  // namespace

void WriteFileOptions(base::Stream stream, const std::string& path, std::string_view selected) {
  for (const ConfigLine& line : ReadConfigFile(path).lines) {
    std::string_view text = line.text;
    if (IsCommentLine(text) || IsEmptyLine(text)) continue;
    size_t colon = text.find(':');
    std::string option(colon == std::string_view::npos ? text : text.substr(0, colon));
    if (colon == std::string_view::npos && line.ended) option += '\n';
    bool is_selected = std::string_view(option).starts_with(selected);
    base::Printf(stream, is_selected ? "<OPTION SELECTED> %s" : "<OPTION> %s",
                 base::EscapeHtml(option));
  }
}

void WriteProjectFileOptions(base::Stream stream, std::string_view project, std::string_view kind,
                             std::string_view selected) {
  for (const std::string& path : ListProjectFiles(project, kind))
    WriteFileOptions(stream, path, selected);
}

bool IsProjectFileOption(std::string_view project, std::string_view kind, std::string_view value) {
  auto trim = [](std::string_view text) {
    const char* kBlanks = " \t\r\n";
    size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return std::string_view();
    return text.substr(first, text.find_last_not_of(kBlanks) + 1 - first);
  };
  value = trim(value);
  if (value.empty() || project.empty() || project.front() == ' ') return false;
  for (const std::string& path : ListProjectFiles(project, kind)) {
    for (const ConfigLine& line : ReadConfigFile(path).lines) {
      std::string_view text = line.text;
      if (IsCommentLine(text) || IsEmptyLine(text)) continue;
      if (trim(text.substr(0, text.find(':'))) == value) return true;
    }
  }
  return false;
}

void WriteSubprojectOptions(base::Stream stream, std::string_view project,
                            std::string_view selected) {
  std::vector<std::string> files = ListProjectFiles(project, "subproject");
  // The comment names a folder of the server: only for the administrator who debugs.
  if (IsDebugOn())
    base::Printf(stream, "\n<! proj:%s, match:%s, files.name:%s>\n", base::EscapeHtml(project),
                 base::EscapeHtml(selected), files.empty() ? std::string() : files.front());
  for (const std::string& path : files) WriteFileOptions(stream, path, selected);
}

void WriteIndexOptions(base::Stream stream, const std::string& path, int selected_index) {
  int index = 0;
  for (const ConfigLine& line : ReadConfigFile(path).lines) {
    if (static_cast<size_t>(index) >= kMaxTableEntries) break;
    std::string_view text = line.text;
    if (!IsIndexedLine(text)) continue;
    size_t colon = text.find(':');
    std::string_view name = text.substr(0, colon);
    if (colon == std::string_view::npos && name.back() == '\r') name.remove_suffix(1);
    char letter = static_cast<char>('a' + index);
    base::Printf(stream,
                 index == selected_index ? "<OPTION SELECTED VALUE=\"%c\"> %s\n"
                                         : "<OPTION VALUE=\"%c\"> %s\n",
                 letter, base::EscapeHtml(name));
    ++index;
  }
}

void WritePhaseOptions(base::Stream stream, int selected_index) {
  WriteIndexOptions(stream, GetPhaseFilePath(), selected_index);
}

void WriteImpactOptions(base::Stream stream, int selected_index) {
  WriteIndexOptions(stream, GetImpactFilePath(), selected_index);
}

void WriteUserOptions(base::Stream stream, std::string_view project, std::string_view selected) {
  for (const std::string& login : MemberLogins(project))
    base::Printf(stream, login == selected ? "<OPTION SELECTED> %s\n" : "<OPTION> %s\n",
                 base::EscapeHtml(login));
}

std::vector<std::string> UndeliveredDeadlines(std::string_view project) {
  std::unordered_set<std::string_view> versions;
  for (const std::string& path : ListProjectFiles(project, "version")) {
    for (std::string_view word : WordsOf(path)) versions.insert(word);
  }
  std::vector<std::string> deadlines;
  for (const std::string& path : ListProjectFiles(project, "deadline")) {
    for (std::string_view word : WordsOf(path))
      if (word.front() != '#' && !versions.contains(word)) deadlines.emplace_back(word);
  }
  return deadlines;
}

void WriteDeadlineOptions(base::Stream stream, std::string_view project,
                          std::string_view selected) {
  for (const std::string& word : UndeliveredDeadlines(project))
    base::Printf(stream, word == selected ? "<OPTION SELECTED> %s\n" : "<OPTION> %s\n",
                 base::EscapeHtml(word));
}

void WriteSeverityOptions(base::Stream stream, int selected) {
  WriteCodedOptions(stream, 1, 4, selected, &GetSeverityLabel);
}

void WriteTypeOptions(base::Stream stream, int selected) {
  WriteCodedOptions(stream, 1, 2, selected, &GetTypeLabel);
}

}  // namespace config
