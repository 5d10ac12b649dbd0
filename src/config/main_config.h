// The main configuration file "quorb.cfg": where data, configuration and images are, the
// language, security, and the mail servers.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace config {

// "<PWD>/config/quorb.cfg" ("c:\quorb\" standing for an unset PWD).
std::string GetConfigPath();

// Whether the main configuration file can be read (it is read once per request, for this and
// for every value).
bool MainConfigReadable();
// The file's bytes as this request read them; nothing when it cannot be read.
const std::optional<std::string>& MainConfigBytes();

// The value of `key`: the rest of the line after the last occurrence of the word `key`,
// at most 99 characters, trimmed; empty when missing. A missing file writes diagnostic
// comments into the page (behind the HTTP header the first time).
std::string GetConfig(std::string_view key);

// `path` as a page may show it: relative to the data folder, or to the configuration
// folder, when it lies in one of them; anything else as it is.
std::string ShownPath(std::string_view path);

// Cached for the request.
const std::string& GetDataDir();
const std::string& GetConfigDir();
const std::string& GetImageDir();
const std::string& GetStatsDir();
const std::string& GetSynchroDir();
bool IsSecurityOn();
// "DEBUG YES": diagnostics (the request traces and the comments that show paths, addresses or
// server dialogue) are written; off by default, as they are for the administrator alone.
bool IsDebugOn();
// "BASEURL": the address the site is reached at from outside (scheme, host, port and path,
// "https://bugs.example.org:8443/tools"), put before the program's and the images' paths in
// the links of mails. Empty when unset or not fit (PlainBaseUrl).
std::string GetBaseUrl();
// `url` when it is an http or https address whose host, port and path hold only letters,
// digits and "-._~/:[]%" (it then stands in a link unquoted), without its trailing "/";
// empty otherwise.
std::string PlainBaseUrl(std::string_view url);
// The HOSTNAME value without the port it may carry: the host of mail addresses.
std::string MailHost();
// "PAGESIZE n": how many sheets a result page shows in full; 100 when unset or not a number,
// 0 for all.
int GetPageSize();
inline constexpr int kDefaultPageSize = 100;

// The values the configuration editor and the wizard write, in file order.
struct MainConfigValues {
  std::string datadir;
  std::string configdir;
  std::string imgdir;
  std::string print;
  std::string mailserv;
  std::string hostname;
  std::string domain;
  std::string security;
  std::string language;
  int persist = 0;
  std::string pop3;
  std::string pop3user;
  std::string pop3pass;
  std::string www;
  std::string debug;  // "YES" or "NO"
  // Settings no form shows (the request limits), kept as the file has them: key, value.
  std::vector<std::pair<std::string, std::string>> kept;
  int pagesize = kDefaultPageSize;
};

// The settings of the file that are set by hand on the server and that a save of the main
// form keeps: the request limits and BASEURL.
std::vector<std::pair<std::string, std::string>> HandEditedSettings();

// How much a request may carry; beyond it the request is refused before its body is read.
// Set in the file as a decimal number, bytes optionally followed by K or M.
struct RequestLimits {
  size_t form_bytes = size_t{1} << 20;     // MAXFORM: a url-encoded body or query string
  size_t parameters = 10000;               // MAXPARAMS: parameters of one request
  size_t upload_bytes = size_t{64} << 20;  // MAXUPLOAD: a multipart body
  size_t parts = 100;                      // MAXPARTS: parts of a multipart body
};
RequestLimits GetRequestLimits();

// The text of "quorb.cfg" with `values`.
std::string MainConfigFileText(const MainConfigValues& values);
// Writes "quorb.cfg" in `dir` (through a temporary file); false when it could not be written.
bool WriteMainConfig(const std::string& dir, const MainConfigValues& values);
// The next read of a value reads the file again (after it was replaced).
void ForgetMainConfig();

}  // namespace config
