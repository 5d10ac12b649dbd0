// Partners prove who they are: every synchronisation mail carries "X-Quorb-MAC: <mac>", the
// lowercase hexadecimal HMAC-SHA256, keyed with the project's shared secret, of the
// subject's text after the mark ("TEST s00001"), a line feed, and the lines of the message
// from its "filetype:" line to its last non-empty line, each without its line end, joined
// by line feeds. The format is described for administrators in docs/sync.md.

#include "base/files.h"
#include "base/names.h"
#include "base/out.h"
#include "config/main_config.h"
#include "sync/sync.h"
#include "sync/sync_parts.h"
#include "users/crypto.h"

namespace synch {

std::string SecretPath(std::string_view project) {
  return base::JoinPath(config::GetConfigDir(), base::Sprintf("%s_sync.key", project));
}

std::string ProjectSecret(std::string_view project) {
  if (!base::IsSafeName(project)) return {};
  std::string text = base::ReadFile(SecretPath(project)).value_or("");
  size_t end = text.find('\n');
  if (end != std::string::npos) text.resize(end);
  while (!text.empty() && (text.back() == '\r' || text.back() == ' ' || text.back() == '\t'))
    text.pop_back();
  return text;
}

std::string MacInput(std::string_view subject_rest, std::string_view message) {
  std::string input(subject_rest);
  input += '\n';
  size_t pos = 0;
  bool started = false;
  std::string lines;
  size_t kept = 0;  // length of `lines` up to its last non-empty line
  while (pos < message.size()) {
    size_t end = message.find('\n', pos);
    if (end == std::string_view::npos) end = message.size();
    std::string_view line = message.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!started) {
      if (!line.starts_with("filetype:")) continue;
      started = true;
    } else {
      lines += '\n';
    }
    lines += line;
    if (!line.empty()) kept = lines.size();
  }
  lines.resize(kept);
  return input + lines;
}

std::string SynchMac(std::string_view secret, std::string_view subject_rest,
                     std::string_view message) {
  const std::string input = MacInput(subject_rest, message);
  return users::DigestHex(users::HmacSha256(secret, input));
}

}  // namespace synch
