#include "users/user_context.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "base/files.h"
#include "base/out.h"
#include "base/request_state.h"
#include "base/text.h"
#include "config/debug.h"
#include "config/main_config.h"
#include "users/uid.h"
#include "web/cookies.h"
#include "web/identity.h"

namespace users {
namespace {

constexpr size_t kLoginLimit = 19;
constexpr size_t kProjectLimit = 39;

struct UserContext {
  bool address_read = false;
  std::string address;
  bool record_read = false;
  std::optional<UserRecord> record;
  std::string user_name;
  std::string last_project;
  std::string last_subproject;
};

UserContext& Context() {
  return base::Cache<UserContext>();
}

std::string UserInfoPath() {
  return base::JoinPath(config::GetConfigDir(), "userinfo.dat");
}

// The address as the file keeps it: the ':' of an IPv6 address would end the field, so it
// is written as '.'.
std::string AddressKey(std::string_view address) {
  std::string key(address);
  for (char& c : key)
    if (c == ':') c = '.';
  return key;
}

// A value saved in a field: up to its first ':' or line end, so that it can neither split
// its record nor start another.
std::string_view FieldValue(std::string_view value) {
  return value.substr(0, value.find_first_of(":\r\n"));
}

// Reads a decimal number at `pos` as %d does: optional white space and sign, then digits.
std::optional<int> ReadNumber(std::string_view text, size_t& pos) {
  while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) ++pos;
  size_t start = pos;
  if (pos < text.size() && (text[pos] == '-' || text[pos] == '+')) ++pos;
  size_t digits = pos;
  long value = 0;
  while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) {
    if (value < 1000000000L) value = value * 10 + (text[pos] - '0');
    ++pos;
  }
  if (pos == digits) {
    pos = start;
    return std::nullopt;
  }
  return static_cast<int>(text[start] == '-' ? -value : value);
}

// The fields after the address of a record line, read as ":%[^:]:%[^:]:%[^:]:%d" with the
// limits of each field: reading stops at the first field that is missing or empty.
void ReadRecordFields(std::string_view line, size_t pos, UserRecord& record) {
  std::string* fields[] = {&record.login, &record.project, &record.subproject};
  const size_t limits[] = {kLoginLimit, kProjectLimit, kProjectLimit};
  for (int i = 0; i < 3; ++i) {
    if (pos >= line.size() || line[pos] != ':') return;
    size_t end = line.find(':', pos + 1);
    if (end == std::string_view::npos) end = line.size();
    if (end == pos + 1) return;
    fields[i]->assign(line.substr(pos + 1, std::min(end - pos - 1, limits[i])));
    pos = end;
  }
  if (pos >= line.size() || line[pos] != ':') return;
  ++pos;
  if (auto phase = ReadNumber(line, pos)) record.phase = *phase;
}

std::optional<UserRecord> FindRecord(const std::string& key) {
  base::LineReader reader(UserInfoPath());
  std::string line;
  while (reader.Next(line)) {
    size_t colon = line.find(':');
    if (std::string_view(line).substr(0, colon) != key) continue;
    UserRecord record;
    record.address = key;
    if (colon != std::string::npos) ReadRecordFields(line, colon, record);
    return record;
  }
  return std::nullopt;
}

// A line of the old file as a save copies it: four fields each ended by ':' and a decimal
// number ending the line; none for a malformed line.
std::optional<UserRecord> ParseSavedLine(std::string_view line) {
  UserRecord record;
  std::string* fields[] = {&record.address, &record.login, &record.project, &record.subproject};
  size_t pos = 0;
  for (std::string* field : fields) {
    size_t end = line.find(':', pos);
    if (end == std::string_view::npos) return std::nullopt;
    field->assign(line.substr(pos, end - pos));
    pos = end + 1;
  }
  auto phase = ReadNumber(line, pos);
  if (!phase) return std::nullopt;
  std::string_view rest = line.substr(pos);
  if (!rest.empty() && rest != "\r") return std::nullopt;
  record.phase = *phase;
  return record;
}

std::string FormatRecord(const UserRecord& r) {
  return base::Sprintf("%s:%s:%s:%s:%d\n", r.address, r.login, r.project, r.subproject, r.phase);
}

}  // namespace

const std::string& GetClientAddress() {
  UserContext& ctx = Context();
  if (!ctx.address_read) {
    const char* v = std::getenv("REMOTE_ADDR");
    ctx.address = v ? v : "";
    ctx.address_read = true;
  }
  return ctx.address;
}

// The record key of the browser: its own cookie's key, so that browsers behind one address
// (a proxy, a shared machine) each keep their own context; the address only for a browser
// that returns no cookie.
std::string ContextKey() {
  const std::string browser = web::BrowserKey();
  return browser.empty() ? AddressKey(GetClientAddress()) : "b-" + browser;
}

const std::optional<UserRecord>& GetUserRecord() {
  UserContext& ctx = Context();
  if (!ctx.record_read) {
    ctx.record = FindRecord(ContextKey());
    ctx.record_read = true;
  }
  return ctx.record;
}

const std::string& GetUserName() {
  UserContext& ctx = Context();
  if (config::IsSecurityOn()) {
    // With security on, the user is the logged-in member and no one else.
    std::optional<UidNames> names = VerifyUid(web::GetCurrentUid());
    ctx.user_name = names ? names->login : "";
    return ctx.user_name;
  }
  const auto& record = GetUserRecord();
  if (record) {
    ctx.user_name = record->login;
  } else {
    const char* v = std::getenv("REMOTE_USER");
    ctx.user_name = v ? v : "";
  }
  return ctx.user_name;
}

const std::string& GetLastProject() {
  const auto& record = GetUserRecord();
  UserContext& ctx = Context();
  ctx.last_project = record && !record->project.empty() ? record->project : " ";
  return ctx.last_project;
}

const std::string& GetLastSubproject() {
  const auto& record = GetUserRecord();
  UserContext& ctx = Context();
  ctx.last_subproject = record ? record->subproject : "";
  return ctx.last_subproject;
}

int GetLastPhase() {
  const auto& record = GetUserRecord();
  return record ? record->phase : -1;
}

void SaveUserContext(std::string_view login, std::string_view project, std::string_view subproject,
                     int phase) {
  UserRecord current;
  current.address = ContextKey();
  // A browser without a key gets one for its next requests; until it returns it, its
  // context is kept under its address.
  if (web::BrowserKey().empty()) web::NewBrowserKey();
  current.login = FieldValue(login);
  current.project = FieldValue(project);
  current.subproject = FieldValue(subproject);
  current.phase = phase;

  // Most saves repeat what the file already holds for this address: nothing to write then.
  const auto& saved = GetUserRecord();
  if (saved && saved->login == current.login && saved->project == current.project &&
      saved->subproject == current.subproject && saved->phase == current.phase)
    return;

  const std::string path = UserInfoPath();
  // Two requests saving at once would each rewrite the file from the same old copy and one
  // record would be lost: the rewrite is made under the folder's lock.
  auto with_current = [&](const std::optional<std::string>& old) -> std::optional<std::string> {
    std::string text;
    const std::string_view lines = old ? std::string_view(*old) : std::string_view();
    for (size_t pos = 0; pos < lines.size();) {
      auto record = ParseSavedLine(base::NextLine(lines, pos));
      if (!record || record->address.empty() || record->address == current.address) continue;
      text += FormatRecord(*record);
    }
    return text + FormatRecord(current);
  };
  // The file names logins and addresses: for the owner alone.
  if (!base::UpdateFileContent(path, with_current, {.mode = 0600})) {
    config::ReportFailure(base::Sprintf("unable to write %s", path), "<!Unable to write : %s>\n",
                          path);
    return;
  }
  UserContext& ctx = Context();
  current.login.resize(std::min(current.login.size(), kLoginLimit));
  current.project.resize(std::min(current.project.size(), kProjectLimit));
  current.subproject.resize(std::min(current.subproject.size(), kProjectLimit));
  ctx.record = current;
  ctx.record_read = true;
}

void SaveUserName(std::string_view login) {
  const auto& record = GetUserRecord();
  if (record) {
    UserRecord kept = *record;
    SaveUserContext(login, kept.project, kept.subproject, kept.phase);
  } else {
    SaveUserContext(login, " ", " ", -1);
  }
}

}  // namespace users
