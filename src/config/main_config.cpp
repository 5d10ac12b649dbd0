#include "config/main_config.h"

#include <unistd.h>

#include <cstdlib>
#include <optional>

#include "base/files.h"
#include "base/out.h"
#include "base/request_state.h"
#include "base/text.h"
#include "config/debug.h"

namespace config {
namespace {

constexpr size_t kValueLimit = 99;

struct MainConfigCache {
  bool file_read = false;
  std::optional<std::string> file;  // the file's bytes; nothing when it cannot be opened
  std::optional<std::string> datadir, configdir, imgdir, statsdir, synchrodir;
  std::optional<bool> security, debug;
  bool missing_reported = false;
};

MainConfigCache& Cached() {
  return base::Cache<MainConfigCache>();
}

const char* EnvOr(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return v ? v : fallback;
}

// The file's value for `key`, as the file has always been read word by word: a value is the
// rest of the line after any word equal to the key, and the last one wins. Only the places
// where the key's text stands are looked at: one is a word when it starts where the previous
// value ended or after a blank, and ends the text or before a blank.
std::string ScanForKey(std::string_view text, std::string_view key) {
  std::string result;
  if (key.empty()) return result;
  size_t words_from = 0;  // where the reading by words goes on, past the last value
  for (size_t at = text.find(key); at != std::string_view::npos; at = text.find(key, at + 1)) {
    const size_t after = at + key.size();
    if (at != words_from && !base::IsBlank(text[at - 1])) continue;
    if (after < text.size() && !base::IsBlank(text[after])) continue;
    // The rest of the line: up to and including its line feed, at most 99 characters.
    size_t end = after;
    while (end < text.size() && end - after < kValueLimit) {
      if (text[end++] == '\n') break;
    }
    std::string_view value = text.substr(after, end - after);
    while (!value.empty() && (value.back() == '\n' || value.back() == '\r' || value.back() == ' ' ||
                              value.back() == '\t'))
      value.remove_suffix(1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
      value.remove_prefix(1);
    result.assign(value);
    words_from = end;
    at = end - 1;  // the next word starts after the value
  }
  return result;
}

const std::string& CachedValue(std::optional<std::string>& slot, std::string_view key) {
  if (!slot) slot = GetConfig(key);
  return *slot;
}

}  // namespace

std::string ShownPath(std::string_view path) {
  for (const std::string* dir : {&GetDataDir(), &GetConfigDir()}) {
    std::string_view folder = *dir;
    while (folder.size() > 1 && folder.back() == '/') folder.remove_suffix(1);
    if (folder.empty() || !path.starts_with(folder) || path.size() == folder.size() ||
        path[folder.size()] != '/')
      continue;
    std::string_view rest = path.substr(folder.size());
    while (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
    return std::string(rest);
  }
  return std::string(path);
}

void LogToServer(std::string_view text) {
  std::string line = "quorb: ";
  for (char c : text) line += (c == '\n' || c == '\r') ? ' ' : c;
  line += '\n';
  base::WriteAll(STDERR_FILENO, line);
}

std::string GetConfigPath() {
  return base::Sprintf("%s/quorb.cfg", base::Sprintf("%s/config", EnvOr("PWD", "c:\\quorb\\")));
}

namespace {

// The file's bytes, read once per request; nothing when it cannot be read.
const std::optional<std::string>& MainConfigText(const std::string& path) {
  MainConfigCache& cache = Cached();
  if (!cache.file_read) {
    cache.file = base::ReadFile(path);
    cache.file_read = true;
  }
  return cache.file;
}

}  // namespace

bool MainConfigReadable() {
  return MainConfigText(GetConfigPath()).has_value();
}

const std::optional<std::string>& MainConfigBytes() {
  return MainConfigText(GetConfigPath());
}

std::string GetConfig(std::string_view key) {
  MainConfigCache& cache = Cached();
  if (!cache.file_read) MainConfigText(GetConfigPath());
  if (!cache.file) {
    // For the administrator alone (no DEBUG setting can be read without the file): once per
    // request, in the server's error log.
    if (!cache.missing_reported) {
      cache.missing_reported = true;
      LogToServer(base::Sprintf("unable to open %s (script %s, pwd %s)", GetConfigPath(),
                                EnvOr("SCRIPT_FILENAME", ""), EnvOr("PWD", "")));
    }
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

namespace {

constexpr std::string_view kLimitKeys[] = {"MAXFORM", "MAXPARAMS", "MAXUPLOAD", "MAXPARTS"};

// A limit of the file: digits, then K or M; the default when unset or unreadable.
size_t ReadLimit(std::string_view key, size_t fallback) {
  std::string text = GetConfig(key);
  size_t value = 0, i = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9' && value < (size_t{1} << 40); ++i)
    value = value * 10 + static_cast<size_t>(text[i] - '0');
  if (i == 0) return fallback;
  std::string_view unit = std::string_view(text).substr(i);
  if (unit == "K" || unit == "k") return value << 10;
  if (unit == "M" || unit == "m") return value << 20;
  return unit.empty() ? value : fallback;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> HandEditedSettings() {
  std::vector<std::pair<std::string, std::string>> kept;
  for (std::string_view key : kLimitKeys) kept.emplace_back(key, GetConfig(key));
  kept.emplace_back("BASEURL", GetConfig("BASEURL"));
  kept.emplace_back("API", GetConfig("API"));
  return kept;
}

std::string PlainBaseUrl(std::string_view url) {
  size_t scheme = url.starts_with("http://") ? 7 : url.starts_with("https://") ? 8 : 0;
  while (url.size() > scheme && url.back() == '/') url.remove_suffix(1);
  if (scheme == 0 || url.size() == scheme || url[scheme] == '/' || url[scheme] == ':') return {};
  for (char c : url.substr(scheme)) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       std::string_view("-._~/:[]%").find(c) != std::string_view::npos;
    if (!plain) return {};
  }
  return std::string(url);
}

std::string GetBaseUrl() {
  return PlainBaseUrl(GetConfig("BASEURL"));
}

std::string MailHost() {
  std::string host = GetConfig("HOSTNAME");
  // "host:port" or "[v6]:port"; a bare v6 address has several colons and no port.
  const size_t colon = host.rfind(':');
  const bool bracketed = !host.empty() && host.front() == '[';
  if (colon != std::string::npos &&
      host.find_first_not_of("0123456789", colon + 1) == std::string::npos &&
      (bracketed ? colon > 0 && host[colon - 1] == ']' : host.find(':') == colon))
    host.resize(colon);
  return host;
}

RequestLimits GetRequestLimits() {
  RequestLimits limits;
  limits.form_bytes = ReadLimit(kLimitKeys[0], limits.form_bytes);
  limits.parameters = ReadLimit(kLimitKeys[1], limits.parameters);
  limits.upload_bytes = ReadLimit(kLimitKeys[2], limits.upload_bytes);
  limits.parts = ReadLimit(kLimitKeys[3], limits.parts);
  return limits;
}

int GetPageSize() {
  const std::string value = GetConfig("PAGESIZE");
  if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos ||
      value.size() > 6)
    return kDefaultPageSize;
  return std::atoi(value.c_str());
}

std::string MainConfigFileText(const MainConfigValues& v) {
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
  text += base::Sprintf("DEBUG %s\n", v.debug.empty() ? std::string("NO") : v.debug);
  text += base::Sprintf("PAGESIZE %d\n", v.pagesize);
  for (const auto& [key, value] : v.kept)
    if (!value.empty()) text += base::Sprintf("%s %s\n", key, value);
  return text;
}

bool WriteMainConfig(const std::string& dir, const MainConfigValues& v) {
  std::string path = base::Sprintf("%s/quorb.cfg", dir);
  // It holds the mailbox password: for the owner alone.
  if (!base::WriteSecretFile(path, MainConfigFileText(v))) return false;
  ForgetMainConfig();
  return true;
}

void ForgetMainConfig() {
  base::CurrentRequest().Drop<MainConfigCache>();
}

}  // namespace config
