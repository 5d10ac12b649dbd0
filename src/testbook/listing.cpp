#include "testbook/listing.h"

#include <algorithm>

#include "base/encode.h"
#include "base/files.h"
#include "base/names.h"
#include "base/out.h"
#include "config/debug.h"
#include "config/main_config.h"
#include "config/projects.h"
#include "testbook/names_cache.h"

namespace testbook {
namespace {

// The keys of the names of `directory` that begin with `prefix` and a dot.
std::vector<std::string> ScanItems(const std::string& directory, std::string_view prefix,
                                   bool keep) {
  config::DebugPage("<!scan Dir:%s>\n", base::EscapeHtml(directory));
  std::string start = std::string(prefix) + ".";
  std::vector<std::string> keys;
  for (std::string_view name : DirectoryNames(directory, keep).Matching(start))
    keys.emplace_back(name.substr(start.size()));
  return keys;
}

}  // namespace

std::string BookDirectory(std::string_view project, std::string_view group, int phase) {
  return base::Sprintf("%s/Tests/%s/%s/%c/Book/", config::GetDataDir(), project,
                       config::GetSubprojectCode(project, group), config::GetPhaseLetter(phase));
}

bool IsSafeIdentifier(std::string_view id) {
  // Keys are joined to their prefix by a dot, so a key has none.
  return base::IsSafeName(id) && id.size() <= kMaxIdentifier &&
         id.find('.') == std::string_view::npos;
}

std::string CampaignName(std::string_view typed) {
  std::string name(typed);
  std::replace(name.begin(), name.end(), '/', '-');
  return name;
}

bool IsSafeCampaignName(std::string_view name) {
  return base::IsSafeName(name);
}

bool MakeDirectories(std::string_view path) {
  std::string dir(path);
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  if (dir.empty()) return false;
  size_t slash = dir.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    std::string parent = dir.substr(0, slash);
    while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
    if (parent.size() > 1 && !base::IsDirectory(parent) && !MakeDirectories(parent)) return false;
  }
  return base::MakeDirectory(dir);
}

std::vector<std::string> ListItemsIn(const std::string& directory, std::string_view prefix) {
  return ScanItems(directory, prefix, true);
}

std::vector<std::string> ListItems(std::string_view project, std::string_view group, int phase,
                                   std::string_view prefix, std::string_view subdirectory) {
  std::string directory = BookDirectory(project, group, phase);
  if (subdirectory.empty()) return ScanItems(directory, prefix, true);
  return ScanItems(base::Sprintf("%s%s/", directory, subdirectory), prefix, false);
}

bool HasItems(std::string_view project, std::string_view group, int phase,
              std::string_view prefix) {
  std::string start = std::string(prefix) + ".";
  return !DirectoryNames(BookDirectory(project, group, phase)).Matching(start).empty();
}

}  // namespace testbook
