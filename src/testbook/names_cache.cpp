#include "testbook/names_cache.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <map>
#include <memory>

#include "base/files.h"
#include "base/out.h"
#include "base/request_state.h"

namespace testbook {
namespace {

// A listing is kept once the directory has not changed for this many seconds.
constexpr long kSettleSeconds = 2;
constexpr std::string_view kMagic = "quorb-names";

struct Listings {
  std::map<std::string, std::unique_ptr<DirectoryListing>, std::less<>> by_directory;
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

// The first line of a kept listing: the stamp and the size of the names after it.
std::string Header(const Stamp& stamp, size_t bytes) {
  return base::Sprintf("%s %ld %ld %lu %zu\n", kMagic, stamp.sec, stamp.nsec, stamp.ino, bytes);
}

// The kept listing, when its stamp is the directory's and it is whole.
bool LoadKept(const std::string& directory, const Stamp& stamp, DirectoryListing& out) {
  if (!out.kept.Map(NamesFilePath(directory))) return false;
  std::string_view text = out.kept.Text();
  size_t end = text.find('\n');
  if (end == std::string_view::npos) return false;
  std::string_view names = text.substr(end + 1);
  if (text.substr(0, end + 1) != Header(stamp, names.size())) return false;
  if (!names.empty() && names.back() != '\n') return false;
  out.text = names;
  return true;
}

// Lists the directory into `out.owned`, in the system's order. False when a name could not be
// kept in a listing (a line feed in it).
bool Scan(const std::string& directory, DirectoryListing& out) {
  DIR* dir = ::opendir(directory.c_str());
  if (!dir) return false;
  bool keepable = true;
  while (const dirent* entry = ::readdir(dir)) {
    std::string_view name = entry->d_name;
    if (name.empty() || name.front() == '.') continue;
    if (name.find('\n') != std::string_view::npos) keepable = false;
    out.owned += name;
    out.owned += '\n';
  }
  ::closedir(dir);
  out.text = out.owned;
  return keepable;
}

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    size_t end = text.find('\n');
    lines.push_back(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
  return lines;
}

// Puts the owned listing in ascending byte order.
void SortOwned(DirectoryListing& listing) {
  std::vector<std::string_view> names = Lines(listing.owned);
  std::sort(names.begin(), names.end());
  std::string sorted;
  sorted.reserve(listing.owned.size());
  for (std::string_view name : names) {
    sorted += name;
    sorted += '\n';
  }
  listing.owned = std::move(sorted);
  listing.text = listing.owned;
}

}  // namespace

MappedFile::~MappedFile() {
  if (addr_) ::munmap(addr_, size_);
}

bool MappedFile::Map(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = ::fstat(fd, &st) == 0 && st.st_size > 0;
  if (ok) {
    void* addr = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
    ok = addr != MAP_FAILED;
    if (ok) {
      addr_ = addr;
      size_ = static_cast<size_t>(st.st_size);
    }
  }
  ::close(fd);
  return ok;
}

std::vector<std::string_view> DirectoryListing::Matching(std::string_view prefix) const {
  std::vector<std::string_view> out;
  // The first line not below `prefix`, by halving the text between two line starts.
  size_t lo = 0, hi = text.size();
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    size_t start = mid == lo ? lo : text.rfind('\n', mid - 1);
    start = mid == lo ? lo : (start == std::string_view::npos ? 0 : start + 1);
    size_t end = text.find('\n', start);
    if (text.substr(start, end - start) < prefix)
      lo = end + 1;
    else
      hi = start;
  }
  for (std::string_view rest = text.substr(lo); !rest.empty();) {
    size_t end = rest.find('\n');
    std::string_view name = rest.substr(0, end);
    if (!name.starts_with(prefix)) break;
    out.push_back(name);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
  }
  return out;
}

std::string NamesFilePath(std::string_view directory) {
  std::string dir = WithoutSlash(directory);
  size_t slash = dir.rfind('/');
  std::string parent = slash == std::string::npos ? "." : dir.substr(0, slash + 1);
  std::string last = slash == std::string::npos ? dir : dir.substr(slash + 1);
  return base::JoinPath(parent, "." + last + ".names");
}

const DirectoryListing& DirectoryNames(const std::string& directory, bool keep) {
  std::string key = WithoutSlash(directory);
  auto& listings = base::Cache<Listings>().by_directory;
  auto found = listings.find(key);
  if (found != listings.end()) return *found->second;

  auto listing = std::make_unique<DirectoryListing>();
  Stamp before;
  if (StampOf(key, before) && !(keep && LoadKept(key, before, *listing))) {
    long started = static_cast<long>(std::time(nullptr));
    bool keepable = Scan(key, *listing);
    Stamp after;
    SortOwned(*listing);
    if (keep && keepable && before.sec <= started - kSettleSeconds && StampOf(key, after) &&
        after == before)
      base::WriteFileAtomic(NamesFilePath(key),
                            Header(before, listing->owned.size()) + listing->owned);
  }
  return *listings.emplace(key, std::move(listing)).first->second;
}

void ForgetListings() {
  base::Cache<Listings>().by_directory.clear();
}

}  // namespace testbook
