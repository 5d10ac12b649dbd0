// The main configuration file "quorb.cfg": where data, configuration and images are, the
// language, security, and the mail servers.
#pragma once

#include <string>
#include <string_view>

namespace config {

// "<PWD>/config/quorb.cfg" ("c:\quorb\" standing for an unset PWD).
std::string GetConfigPath();

// The value of `key`: the rest of the line after the last occurrence of the word `key`,
// at most 99 characters, trimmed; empty when missing. A missing file writes diagnostic
// comments into the page (behind the HTTP header the first time).
std::string GetConfig(std::string_view key);

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
  int pagesize = kDefaultPageSize;
};

// Writes "quorb.cfg" in `dir` (through a temporary file); false when it could not be written.
bool WriteMainConfig(const std::string& dir, const MainConfigValues& values);

}  // namespace config
