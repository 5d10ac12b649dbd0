#include "config/main_config.h"

#include <cstdlib>
#include <optional>

#include "base/files.h"
#include "base/out.h"
#include "base/request_state.h"
#include "base/text.h"

namespace config {
namespace {

constexpr size_t kValueLimit = 99;

struct MainConfigCache {
  bool file_read = false;
  std::optional<std::string> file;  // the file's bytes; nothing when it cannot be opened
  std::optional<std::string> datadir, configdir, imgdir, statsdir, synchrodir;
  std::optional<bool> security, debug;
};

MainConfigCache& Cached() {
  return base::Cache<MainConfigCache>();
}

const char* EnvOr(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return v ? v : fallback;
}

// The file's value for `key`, scanning word by word as the file has always been read: a
// value is the rest of the line after any word equal to the key, and the last one wins.
std::string ScanForKey(std::string_view text, std::string_view key) {
  std::string result;
  size_t pos = 0;
  while (true) {
    std::string_view word = base::NextWord(text, pos);
    if (word.empty()) break;
    if (word != key) continue;
    // The rest of the line: up to and including its line feed, at most 99 characters.
    size_t end = pos;
    while (end < text.size() && end - pos < kValueLimit) {
      if (text[end++] == '\n') break;
    }
    std::string_view value = text.substr(pos, end - pos);
    pos = end;
    while (!value.empty() && (value.back() == '\n' || value.back() == '\r' || value.back() == ' ' ||
                              value.back() == '\t'))
      value.remove_suffix(1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
      value.remove_prefix(1);
    result.assign(value);
  }
  return result;
}

const std::string& CachedValue(std::optional<std::string>& slot, std::string_view key) {
  if (!slot) slot = GetConfig(key);
  return *slot;
}

}  // namespace

std::string GetConfigPath() {
  return base::Sprintf("%s/quorb.cfg", base::Sprintf("%s/config", EnvOr("PWD", "c:\\quorb\\")));
}

std::string GetConfig(std::string_view key) {
  MainConfigCache& cache = Cached();
  std::string path = GetConfigPath();
  if (!cache.file_read) {
    cache.file = base::ReadFile(path);
    cache.file_read = true;
  }
  if (!cache.file) {
    base::PageNote(base::Sprintf("<!script : %s>\n", EnvOr("SCRIPT_NAME", "")));
    base::PageNote(base::Sprintf("<!pwd : %s>\n", EnvOr("PWD", "")));
    base::PageNote(base::Sprintf("<!script : %s>\n", EnvOr("SCRIPT_FILENAME", "")));
    base::PageNote(base::Sprintf("<!Unable to open : %s>\n", path));
    return {};
  }
  return ScanForKey(*cache.file, key);
}

const std::string& GetDataDir() {
  return CachedValue(Cached().datadir, "DATADIR");
}
const std::string& GetConfigDir() {
  return CachedValue(Cached().configdir, "CONFIGDIR");
}
const std::string& GetImageDir() {
  return CachedValue(Cached().imgdir, "IMGDIR");
}

const std::string& GetStatsDir() {
  auto& slot = Cached().statsdir;
  if (!slot) slot = base::Sprintf("%s/Stats/", GetDataDir());
  return *slot;
}

const std::string& GetSynchroDir() {
  auto& slot = Cached().synchrodir;
  if (!slot) slot = base::Sprintf("%s/Synchro/", GetDataDir());
  return *slot;
}

bool IsSecurityOn() {
  auto& slot = Cached().security;
  if (!slot) slot = GetConfig("SECURITY") == "YES";
  return *slot;
}

bool IsDebugOn() {
  auto& slot = Cached().debug;
  if (!slot) slot = GetConfig("DEBUG") == "YES";
  return *slot;
}

int GetPageSize() {
  const std::string value = GetConfig("PAGESIZE");
  if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos ||
      value.size() > 6)
    return kDefaultPageSize;
  return std::atoi(value.c_str());
}

bool WriteMainConfig(const std::string& dir, const MainConfigValues& v) {
  std::string text = "#\n# Fichier de Configuration Principal de Quorb\n#\n";
  text += base::Sprintf("# %s\n#\n", GetConfigPath());
  text += base::Sprintf("DATADIR %s\n", v.datadir);
  text += base::Sprintf("CONFIGDIR %s\n", v.configdir);
  text += base::Sprintf("IMGDIR %s\n", v.imgdir);
  text += base::Sprintf("PRINT %s\n", v.print);
  text += base::Sprintf("MAILSERV %s\n", v.mailserv);
  text += base::Sprintf("HOSTNAME %s\n", v.hostname);
  text += base::Sprintf("DOMAIN %s\n", v.domain);
  text += base::Sprintf("SECURITY %s\n", v.security);
  text += base::Sprintf("LANGUAGE %s\n", v.language);
  text += base::Sprintf("%s %d\n", "PERSIST", v.persist);
  text += base::Sprintf("POP3 %s\n", v.pop3);
  text += base::Sprintf("POP3USER %s\n", v.pop3user);
  text += base::Sprintf("POP3PASS %s\n", v.pop3pass);
  text += base::Sprintf("WWW %s\n", v.www);
  text += base::Sprintf("PAGESIZE %d\n", v.pagesize);
  std::string path = base::Sprintf("%s/quorb.cfg", dir);
  if (!base::WriteFileAtomic(path, text)) return false;
  // The next read sees the new file.
  base::CurrentRequest().Drop<MainConfigCache>();
  return true;
}

}  // namespace config
