#include "config/projects.h"

#include <fmt/compile.h>

#include <optional>
#include <unordered_map>

#include "base/encode.h"
#include "base/files.h"
#include "base/out.h"
#include "base/request_state.h"
#include "base/text.h"
#include "config/debug.h"
#include "config/main_config.h"

namespace config {
namespace {

struct Phase {
  std::string name;
  char letter = '_';
};

struct Subproject {
  std::string name;
  std::string code;
};

struct ProjectFilesCache {
  std::unordered_map<std::string, ConfigFile> files;
  std::optional<std::vector<Phase>> phases;
  std::optional<std::vector<std::string>> impacts;
  // Sheet name prefixes by project, sub-project and phase: a walk over the index names
  // every sheet, and its prefix is built once per combination.
  std::unordered_map<std::string, std::string> prefixes;
};

ProjectFilesCache& Cached() {
  return base::Cache<ProjectFilesCache>();
}

bool IsWantedFilter(std::string_view filter) {
  return !filter.empty() && filter != " ";
}

// The line's text without the carriage return of a CR LF line end.
std::string_view WithoutCr(std::string_view text) {
  if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  return text;
}

// From `text`, the run of characters up to the first ":" or blank.
std::string_view Token(std::string_view text) {
  size_t end = 0;
  while (end < text.size() && text[end] != ':' && !base::IsBlank(text[end])) ++end;
  return text.substr(0, end);
}

// The project named by a line of "project.cfg": the text before the first ":"; nothing for
// a comment or for a line without a name.
std::optional<std::string_view> ProjectNameOf(std::string_view text) {
  if (IsCommentLine(text)) return std::nullopt;
  size_t colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  return text.substr(0, colon);
}

// Field n (from 2) of a line of "project.cfg": the field's text up to its first blank. A
// field cannot reach into the next one, however the line is spaced.
std::string ProjectField(std::string_view text, int n) {
  size_t pos = 0;
  for (int i = 1; i < n; ++i) {
    size_t colon = text.find(':', pos);
    if (colon == std::string_view::npos) return {};
    pos = colon + 1;
  }
  return std::string(Token(text.substr(pos)));
}

// The first line of "project.cfg" naming `project` (exact, case-sensitive).
std::optional<std::string_view> FindProjectLine(std::string_view project) {
  const ConfigFile& file = ReadConfigFile(GetProjectFilePath());
  for (const ConfigLine& line : file.lines) {
    auto name = ProjectNameOf(line.text);
    if (name && *name == project) return std::string_view(line.text);
  }
  return std::nullopt;
}

std::string ProjectFact(std::string_view project, int field) {
  auto line = FindProjectLine(project);
  return line ? ProjectField(*line, field) : std::string();
}

std::vector<Subproject> ReadSubprojects(const std::string& path) {
  std::vector<Subproject> result;
  for (const ConfigLine& line : ReadConfigFile(path).lines) {
    std::string_view text = line.text;
    if (IsCommentLine(text) || IsEmptyLine(text)) continue;
    Subproject entry;
    size_t colon = text.find(':');
    if (colon == std::string_view::npos) {
      entry.name = WithoutCr(text);
    } else {
      entry.name = text.substr(0, colon);
      std::string_view rest = text.substr(colon + 1);
      while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
      entry.code = Token(rest);
    }
    if (!entry.name.empty()) result.push_back(std::move(entry));
  }
  return result;
}

const std::vector<Phase>& Phases() {
  auto& slot = Cached().phases;
  if (slot) return *slot;
  slot.emplace();
  for (const ConfigLine& line : ReadConfigFile(GetPhaseFilePath()).lines) {
    if (slot->size() >= kMaxTableEntries) break;
    std::string_view text = line.text;
    if (!IsIndexedLine(text)) continue;
    Phase phase;
    size_t colon = text.find(':');
    if (colon == std::string_view::npos) {
      phase.name = WithoutCr(text);
    } else {
      phase.name = text.substr(0, colon);
      std::string_view word = base::FirstWord(text.substr(colon + 1));
      if (!word.empty()) phase.letter = word.front();
    }
    slot->push_back(std::move(phase));
  }
  return *slot;
}

const std::vector<std::string>& Impacts() {
  auto& slot = Cached().impacts;
  if (slot) return *slot;
  slot.emplace();
  for (const ConfigLine& line : ReadConfigFile(GetImpactFilePath()).lines) {
    if (slot->size() >= kMaxTableEntries) break;
    if (!IsIndexedLine(line.text)) continue;
    slot->emplace_back(base::FirstWord(line.text));
  }
  return *slot;
}

const std::string& EmptyText() {
  static const std::string kEmpty;
  return kEmpty;
}

}  // namespace

const ConfigFile& ReadConfigFile(const std::string& path) {
  auto& files = Cached().files;
  auto it = files.find(path);
  if (it != files.end()) return it->second;
  ConfigFile file;
  base::LineReader reader(path);
  file.exists = reader.IsOpen();
  ConfigLine line;
  while (reader.Next(line.text, &line.ended)) file.lines.push_back(line);
  return files.emplace(path, std::move(file)).first->second;
}

void ForgetProjectFiles() {
  base::CurrentRequest().Drop<ProjectFilesCache>();
}

bool IsCommentLine(std::string_view text) {
  return !text.empty() && text.front() == '#';
}

bool IsEmptyLine(std::string_view text) {
  return WithoutCr(text).empty();
}

bool IsIndexedLine(std::string_view text) {
  return !IsCommentLine(text) && !IsEmptyLine(text) && text.front() != ' ' && text.front() != '\t';
}

std::string GetProjectFilePath() {
  return base::Sprintf("%s/project.cfg", GetConfigDir());
}
std::string GetPhaseFilePath() {
  return base::Sprintf("%s/phase.cfg", GetConfigDir());
}
std::string GetImpactFilePath() {
  return base::Sprintf("%s/impacts.cfg", GetConfigDir());
}

std::string GetProjectFilePath(std::string_view project, std::string_view kind) {
  return base::Sprintf("%s/%s_%s.cfg", GetConfigDir(), project, kind);
}

std::vector<std::string> ListProjects(std::string_view filter) {
  std::vector<std::string> result;
  const ConfigFile& file = ReadConfigFile(GetProjectFilePath());
  for (auto it = file.lines.rbegin(); it != file.lines.rend(); ++it) {
    auto name = ProjectNameOf(it->text);
    if (!name) continue;
    if (IsWantedFilter(filter) && *name != filter) continue;
    result.emplace_back(*name);
  }
  return result;
}

std::vector<std::string> ListProjectFiles(std::string_view filter, std::string_view kind) {
  std::vector<std::string> result;
  for (const std::string& project : ListProjects(filter))
    result.push_back(GetProjectFilePath(project, kind));
  return result;
}

std::string GetProjectCode(std::string_view project) {
  return ProjectFact(project, 2);
}
std::string GetProjectVerifier(std::string_view project) {
  return ProjectFact(project, 4);
}
std::string GetProjectSite(std::string_view project) {
  return ProjectFact(project, 5);
}

std::string GetProjectManager(std::string_view project) {
  std::string path = GetProjectFilePath();
  const ConfigFile& file = ReadConfigFile(path);
  if (!file.exists) {
    base::Page(" unable to open %s \n", base::EscapeHtml(path));
    return {};
  }
  std::string wanted = base::EscapeHtml(project);
  for (const ConfigLine& line : file.lines) {
    std::string_view text = line.text;
    size_t colon = text.find(':');
    std::string_view first =
        colon == std::string_view::npos ? WithoutCr(text) : text.substr(0, colon);
    DebugPage("<! -%s-%s->\n", wanted, base::EscapeHtml(first));
    auto name = ProjectNameOf(text);
    if (!name || *name != project) continue;
    std::string code = ProjectField(text, 2);
    std::string manager = ProjectField(text, 3);
    DebugPage("<! -%s-\n-%s->\n", base::EscapeHtml(code), base::EscapeHtml(manager));
    return manager;
  }
  return {};
}

std::string GetSubprojectCode(std::string_view project, std::string_view name) {
  for (const std::string& path : ListProjectFiles(project, "subproject")) {
    for (const Subproject& entry : ReadSubprojects(path)) {
      if (entry.name == name) return entry.code.empty() ? "_" : entry.code;
    }
  }
  return "_";
}

std::string GetSubprojectName(std::string_view project, std::string_view code) {
  for (const std::string& path : ListProjectFiles(project, "subproject")) {
    for (const Subproject& entry : ReadSubprojects(path)) {
      if (!entry.code.empty() && entry.code == code) return entry.name;
    }
  }
  return "_";
}

std::vector<std::string> ListSubprojects(std::string_view project, std::string_view filter) {
  std::vector<std::string> result;
  for (const std::string& path : ListProjectFiles(project, "subproject")) {
    for (Subproject& entry : ReadSubprojects(path)) {
      if (IsWantedFilter(filter) && entry.name != filter) continue;
      result.push_back(std::move(entry.name));
    }
  }
  return result;
}

size_t CountPhases() {
  return Phases().size();
}

char GetPhaseLetter(int index) {
  const auto& phases = Phases();
  if (index < 0 || static_cast<size_t>(index) >= phases.size()) return '_';
  return phases[index].letter;
}

int GetPhaseIndex(char letter) {
  const auto& phases = Phases();
  for (size_t i = 0; i < phases.size(); ++i) {
    if (phases[i].letter == letter) return static_cast<int>(i);
  }
  return static_cast<int>(phases.size());
}

const std::string& GetPhaseName(int index) {
  const auto& phases = Phases();
  if (index < 0 || static_cast<size_t>(index) >= phases.size()) return EmptyText();
  return phases[index].name;
}

const std::string& GetImpactName(int index) {
  const auto& impacts = Impacts();
  if (index < 0 || static_cast<size_t>(index) >= impacts.size()) return EmptyText();
  return impacts[index];
}

std::string GetSheetPrefix(std::string_view project, std::string_view subproject, int phase) {
  std::string key;
  key.reserve(project.size() + subproject.size() + 12);
  key.append(project).append(1, '\0').append(subproject).append(1, '\0');
  key.append(std::to_string(phase));
  auto& prefixes = Cached().prefixes;
  auto it = prefixes.find(key);
  if (it != prefixes.end()) return it->second;
  std::string prefix = base::Sprintf("%s%c%s", GetProjectCode(project), GetPhaseLetter(phase),
                                     GetSubprojectCode(project, subproject));
  return prefixes.emplace(std::move(key), std::move(prefix)).first->second;
}

std::string GetSheetPrefixOf(std::string_view project, std::string_view group, int phase) {
  return GetSheetPrefix(project, group, phase);
}

std::string GetSheetName(std::string_view prefix, int number) {
  return fmt::format(FMT_COMPILE("{}.{:05d}"), prefix, number);
}

}  // namespace config
