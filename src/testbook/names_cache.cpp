#include "testbook/names_cache.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <map>
#include <memory>
#include <optional>

#include "base/files.h"
#include "base/out.h"
#include "base/request_state.h"

namespace testbook {
namespace {

// A listing is kept once the directory has not changed for this many seconds.
constexpr long kSettleSeconds = 2;
constexpr std::string_view kMagic = "quorb-names";

struct Listings {
  std::map<std::string, std::unique_ptr<SortedNames>, std::less<>> by_directory;
};

std::string WithoutSlash(std::string_view directory) {
  while (directory.size() > 1 && directory.back() == '/') directory.remove_suffix(1);
  return std::string(directory);
}

struct Stamp {
  long sec = 0;
  long nsec = 0;
  unsigned long ino = 0;
  bool operator==(const Stamp&) const = default;
};

bool StampOf(const std::string& directory, Stamp& stamp) {
  struct stat st;
  if (::stat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  stamp = {static_cast<long>(st.st_mtim.tv_sec), static_cast<long>(st.st_mtim.tv_nsec),
           static_cast<unsigned long>(st.st_ino)};
  return true;
}

std::string Header(const Stamp& stamp, size_t count) {
  return base::Sprintf("%s %ld %ld %lu %zu\n", kMagic, stamp.sec, stamp.nsec, stamp.ino, count);
}

// Builds the views of a blob of '\n'-ended names.
void IndexBlob(SortedNames& out) {
  out.names.clear();
  std::string_view rest = out.blob;
  while (!rest.empty()) {
    size_t end = rest.find('\n');
    if (end == std::string_view::npos) break;
    out.names.push_back(rest.substr(0, end));
    rest.remove_prefix(end + 1);
  }
}

// The kept listing, when its stamp is the directory's.
bool LoadKept(const std::string& directory, const Stamp& stamp, SortedNames& out) {
  std::optional<std::string> text = base::ReadFile(NamesFilePath(directory));
  if (!text) return false;
  size_t end = text->find('\n');
  if (end == std::string::npos) return false;
  size_t count = std::count(text->begin() + end + 1, text->end(), '\n');
  if (std::string_view(*text).substr(0, end + 1) != Header(stamp, count)) return false;
  if (!text->empty() && text->back() != '\n') return false;
  text->erase(0, end + 1);
  out.blob = std::move(*text);
  IndexBlob(out);
  return true;
}

bool Scan(const std::string& directory, SortedNames& out) {
  DIR* dir = ::opendir(directory.c_str());
  if (!dir) return false;
  bool keepable = true;
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir)) {
    std::string_view name = entry->d_name;
    if (name.empty() || name.front() == '.') continue;
    if (name.find('\n') != std::string_view::npos) keepable = false;
    names.emplace_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  size_t size = 0;
  for (const std::string& n : names) size += n.size() + 1;
  out.blob.reserve(size);
  for (const std::string& n : names) {
    out.blob += n;
    out.blob += '\n';
  }
  IndexBlob(out);
  return keepable;
}

void Keep(const std::string& directory, const Stamp& stamp, const SortedNames& names) {
  std::string content = Header(stamp, names.names.size());
  content += names.blob;
  base::WriteFileAtomic(NamesFilePath(directory), content);
}

}  // namespace

std::string NamesFilePath(std::string_view directory) {
  std::string dir = WithoutSlash(directory);
  size_t slash = dir.rfind('/');
  std::string parent = slash == std::string::npos ? "." : dir.substr(0, slash + 1);
  std::string last = slash == std::string::npos ? dir : dir.substr(slash + 1);
  return base::JoinPath(parent, "." + last + ".names");
}

const SortedNames& DirectoryNames(const std::string& directory, bool keep) {
  std::string key = WithoutSlash(directory);
  auto& listings = base::Cache<Listings>().by_directory;
  auto found = listings.find(key);
  if (found != listings.end()) return *found->second;

  auto names = std::make_unique<SortedNames>();
  Stamp before;
  if (StampOf(key, before) && !(keep && LoadKept(key, before, *names))) {
    names->blob.clear();
    bool keepable = Scan(key, *names);
    Stamp after;
    long now = static_cast<long>(std::time(nullptr));
    if (keep && keepable && StampOf(key, after) && after == before &&
        before.sec <= now - kSettleSeconds)
      Keep(key, before, *names);
  }
  return *listings.emplace(key, std::move(names)).first->second;
}

std::vector<std::string_view> NamesWithPrefix(const SortedNames& names, std::string_view prefix) {
  std::vector<std::string_view> out;
  auto it = std::lower_bound(names.names.begin(), names.names.end(), prefix);
  for (; it != names.names.end() && it->starts_with(prefix); ++it) out.push_back(*it);
  return out;
}

void ForgetListings() {
  base::Cache<Listings>().by_directory.clear();
}

}  // namespace testbook
