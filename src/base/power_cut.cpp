#include "base/power_cut.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>

#include "base/files.h"
#include "base/out.h"

namespace base::power_cut {
namespace {

struct Entry {
  ino_t ino = 0;
  bool dir = false;
};
using Listing = std::map<std::string, Entry>;

struct Unsynced {
  int fd = -1;      // the file reopened, so that it can be put back after it was closed
  std::string old;  // its content at its last sync
};

struct State {
  bool started = false;
  std::string root;
  ino_t root_ino = 0;
  std::map<ino_t, Listing> durable;      // folder -> its names at its last sync
  std::map<ino_t, std::string> content;  // what a file held at its last sync
  std::map<ino_t, Unsynced> unsynced;
  // Every file and folder named here is held open, so that no new file takes its number
  // while a name may still have to be given back to it.
  std::map<ino_t, int> pins;
};

State& Get() {
  static State state;
  return state;
}

std::string ReadAll(int fd) {
  std::string out;
  char buffer[65536];
  for (off_t at = 0;;) {
    ssize_t n = ::pread(fd, buffer, sizeof buffer, at);
    if (n <= 0) break;
    out.append(buffer, static_cast<size_t>(n));
    at += n;
  }
  return out;
}

std::optional<std::string> ReadPath(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return std::nullopt;
  std::string out = ReadAll(fd);
  ::close(fd);
  return out;
}

Listing List(const std::string& folder) {
  Listing names;
  if (DIR* d = ::opendir(folder.c_str())) {
    while (dirent* e = ::readdir(d)) {
      std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      struct stat st;
      if (::lstat(JoinPath(folder, name).c_str(), &st) != 0) continue;
      names[name] = {st.st_ino, S_ISDIR(st.st_mode)};
    }
    ::closedir(d);
  }
  return names;
}

void Pin(const std::string& path, ino_t ino) {
  State& s = Get();
  if (s.pins.contains(ino)) return;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd >= 0) s.pins[ino] = fd;
}

bool Under(const std::string& path) {
  const std::string& root = Get().root;
  return !root.empty() && (path == root || path.starts_with(root + "/"));
}

// Takes `folder` as durable now: its names, and the content of its files as far as it is
// not known already.
void TakeFolder(const std::string& folder) {
  State& s = Get();
  struct stat st;
  if (::stat(folder.c_str(), &st) != 0) return;
  Listing names = List(folder);
  for (const auto& [name, entry] : names) {
    Pin(JoinPath(folder, name), entry.ino);
    if (entry.dir || s.content.contains(entry.ino) || s.unsynced.contains(entry.ino)) continue;
    if (auto bytes = ReadPath(JoinPath(folder, name))) s.content[entry.ino] = std::move(*bytes);
  }
  s.durable[st.st_ino] = std::move(names);
}

void Start() {
  State& s = Get();
  if (s.started) return;
  s.started = true;
  const char* root = TestSetting("QUORB_CUT_ROOT");
  struct stat st;
  if (!root || !*root || ::stat(root, &st) != 0) return;
  s.root = root;
  s.root_ino = st.st_ino;
  while (s.root.size() > 1 && s.root.back() == '/') s.root.pop_back();
  std::vector<std::string> folders{s.root};
  while (!folders.empty()) {
    std::string folder = folders.back();
    folders.pop_back();
    TakeFolder(folder);
    for (const auto& [name, entry] : List(folder))
      if (entry.dir) folders.push_back(JoinPath(folder, name));
  }
}

// Where the file or folder `ino` has a name under the root now, or empty.
std::string Find(ino_t ino) {
  std::vector<std::string> folders{Get().root};
  while (!folders.empty()) {
    std::string folder = folders.back();
    folders.pop_back();
    for (const auto& [name, entry] : List(folder)) {
      if (entry.ino == ino) return JoinPath(folder, name);
      if (entry.dir) folders.push_back(JoinPath(folder, name));
    }
  }
  return {};
}

void RemoveTree(const std::string& path) {
  std::error_code error;
  std::filesystem::remove_all(path, error);
}

void PutContent(const std::string& path, const std::string& bytes) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  for (size_t done = 0; done < bytes.size();) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  ::close(fd);
}

// The data a cut leaves of a file that held `old` at its last sync and `now` since.
std::string CutData(const std::string& old, const std::string& now, bool lose_all) {
  if (lose_all) return old;
  size_t first = 0;
  while (first < old.size() && first < now.size() && old[first] == now[first]) ++first;
  const size_t mid = first + (std::max(old.size(), now.size()) - first) / 2;
  std::string out = now.substr(0, std::min(mid, now.size()));
  if (out.size() < old.size()) out += old.substr(out.size());
  return out;
}

// Gives `path`, the folder `ino` was, the names it held at its last sync.
void RestoreFolder(const std::string& path, ino_t ino) {
  State& s = Get();
  auto it = s.durable.find(ino);
  const Listing names = it == s.durable.end() ? Listing() : it->second;
  Listing now = List(path);
  for (const auto& [name, entry] : names) {
    const std::string inner = JoinPath(path, name);
    auto there = now.find(name);
    if (there != now.end() && there->second.ino == entry.ino) continue;
    if (there != now.end()) RemoveTree(inner);
    std::string elsewhere = Find(entry.ino);
    if (entry.dir) {
      if (elsewhere.empty() || ::rename(elsewhere.c_str(), inner.c_str()) != 0)
        ::mkdir(inner.c_str(), 0755);
    } else if (elsewhere.empty() || ::link(elsewhere.c_str(), inner.c_str()) != 0) {
      auto known = s.content.find(entry.ino);
      PutContent(inner, known == s.content.end() ? std::string() : known->second);
    }
  }
  for (const auto& [name, entry] : List(path))
    if (!names.contains(name)) RemoveTree(JoinPath(path, name));
  for (const auto& [name, entry] : names)
    if (entry.dir) RestoreFolder(JoinPath(path, name), entry.ino);
}

}  // namespace

bool Active() {
  Start();
  return !Get().root.empty();
}

void BeforeWrite(int fd) {
  if (!Active()) return;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return;
  State& s = Get();
  if (s.unsynced.contains(st.st_ino)) return;
  int again = ::open(Sprintf("/proc/self/fd/%d", fd).c_str(), O_RDWR | O_CLOEXEC);
  if (again < 0) return;
  s.unsynced[st.st_ino] = {again, ReadAll(again)};
}

void AfterDataSync(int fd) {
  if (!Active()) return;
  struct stat st;
  if (::fstat(fd, &st) != 0) return;
  State& s = Get();
  auto it = s.unsynced.find(st.st_ino);
  if (it == s.unsynced.end()) return;
  s.content[st.st_ino] = ReadAll(it->second.fd);
  ::close(it->second.fd);
  s.unsynced.erase(it);
}

void BeforeNameChange(const char* path) {
  if (!Active()) return;
  struct stat st;
  if (::lstat(path, &st) != 0 || !S_ISREG(st.st_mode)) return;
  State& s = Get();
  Pin(path, st.st_ino);
  if (auto it = s.unsynced.find(st.st_ino); it != s.unsynced.end())
    s.content[st.st_ino] = it->second.old;
  else if (!s.content.contains(st.st_ino))
    if (auto bytes = ReadPath(path)) s.content[st.st_ino] = std::move(*bytes);
}

void AfterFolderSync(const std::string& folder) {
  if (!Active()) return;
  std::string path = folder;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (Under(path)) TakeFolder(path);
}

void Cut(bool lose_all) {
  State& s = Get();
  // The data first: a name put back below then names the file as the disk held it.
  for (auto& [ino, file] : s.unsynced) {
    std::string bytes = CutData(file.old, ReadAll(file.fd), lose_all);
    if (::ftruncate(file.fd, 0) == 0 &&
        ::pwrite(file.fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) {
    }
    s.content[ino] = std::move(bytes);
  }
  // Then the names, from the root down: a folder holds the names it held at its last sync
  // (none when it never was synced).
  RestoreFolder(s.root, s.root_ino);
  std::fflush(stderr);
  ::kill(::getpid(), SIGKILL);
  for (;;) ::pause();
}

}  // namespace base::power_cut
