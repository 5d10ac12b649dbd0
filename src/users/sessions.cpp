#include "users/sessions.h"

#include <cstdlib>
#include <map>
#include <optional>

#include "base/encode.h"
#include "base/files.h"
#include "base/request_state.h"
#include "base/text.h"
#include "config/main_config.h"

namespace users {
namespace {

struct Generations {
  bool loaded = false;
  std::map<std::string, long, std::less<>> by_login;  // URL-encoded login
};

std::map<std::string, long, std::less<>> Parse(std::string_view text) {
  std::map<std::string, long, std::less<>> generations;
  for (size_t pos = 0; pos < text.size();) {
    std::string_view line = base::NextLine(text, pos);
    const size_t blank = line.find(' ');
    if (blank == std::string_view::npos || blank == 0) continue;
    const long generation = std::atol(std::string(line.substr(blank + 1)).c_str());
    if (generation > 0) generations[std::string(line.substr(0, blank))] = generation;
  }
  return generations;
}

Generations& Loaded() {
  Generations& cached = base::Cache<Generations>();
  if (!cached.loaded) {
    cached.by_login = Parse(base::ReadFile(SessionsPath()).value_or(""));
    cached.loaded = true;
  }
  return cached;
}

}  // namespace

std::string SessionsPath() {
  return base::JoinPath(config::GetConfigDir(), "sessions.dat");
}

long SessionGeneration(std::string_view login) {
  const auto& by_login = Loaded().by_login;
  auto found = by_login.find(base::UrlEncode(login));
  return found == by_login.end() ? 0 : found->second;
}

bool EndSessions(std::string_view login) {
  // Two logouts at once each move the generation on from the file as the other left it.
  base::FileLock lock(SessionsPath() + ".lock");
  Generations& cached = base::Cache<Generations>();
  cached.by_login = Parse(base::ReadFile(SessionsPath()).value_or(""));
  cached.loaded = true;
  ++cached.by_login[base::UrlEncode(login)];
  std::string text;
  for (const auto& [name, generation] : cached.by_login)
    text += name + " " + std::to_string(generation) + "\n";
  return base::WriteSecretFile(SessionsPath(), text);
}

}  // namespace users
