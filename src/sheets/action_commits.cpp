// The commits of the status actions: what each one requires, checks, sets, logs and adds.
#include <climits>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "base/encode.h"
#include "base/out.h"
#include "base/text.h"
#include "config/debug.h"
#include "config/language.h"
#include "config/projects.h"
#include "sheets/action_parts.h"
#include "sheets/action_table.h"
#include "sheets/attach.h"
#include "store/store.h"
#include "users/rights.h"
#include "web/page.h"

namespace sheets {
namespace {

using config::Msg;

// Rights of the acting login: one of the logins a field of the project's line lists
// (separated by blanks, commas or semicolons), compared exactly. An empty login is found
// nowhere.
bool FoundIn(std::string_view login, std::string_view field) {
  if (login.empty()) return false;
  constexpr std::string_view kSeparators = " \t,;";
  size_t pos = 0;
  while (pos < field.size()) {
    size_t end = field.find_first_of(kSeparators, pos);
    if (end == std::string_view::npos) end = field.size();
    if (field.substr(pos, end - pos) == login) return true;
    pos = end + 1;
  }
  return false;
}

}  // namespace

bool ManagerCondition(const store::FactSheet& sheet, CommitInput& in) {
  const std::string manager = config::GetProjectManager(sheet.project);
  if (FoundIn(in.user, manager)) return true;
  web::ErrorBox(config::kMsgNoRightOnProject);
  config::DebugPage("<!%s,%s>\n", base::EscapeHtml(in.user), base::EscapeHtml(manager));
  return false;
}

bool VerifierCondition(const store::FactSheet& sheet, CommitInput& in) {
  if (FoundIn(in.user, config::GetProjectManager(sheet.project)) ||
      FoundIn(in.user, config::GetProjectVerifier(sheet.project)))
    return true;
  web::ErrorBox(config::kMsgNoRightOnProject);
  return false;
}

// The sheet this one duplicates must be a sheet of the data directory.
bool DuplicateCondition(const store::FactSheet&, CommitInput& in) {
  // A name left blank is asked for, not reported as a sheet without a name.
  if (web::IsMissing(in.text)) {
    web::ErrorBox(565);
    return false;
  }
  if (store::ReadSheet(in.text)) return true;
  // A name the sheet had before it moved: the reference names the sheet as it is called now.
  if (std::optional<std::string> now = store::ResolveName(in.text)) {
    in.text = *now;
    return true;
  }
  web::ErrorBoxArg(509, in.text);
  return false;
}

namespace {

// A signed decimal number after optional white space, as "%d" reads it; false when there is
// no digit or the number does not fit an int.
bool ReadInt(std::string_view text, size_t& pos, long long& value) {
  while (pos < text.size() && base::IsBlank(text[pos])) ++pos;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '-' || text[pos] == '+')) negative = text[pos++] == '-';
  size_t digits = pos;
  value = 0;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
    value = value * 10 + (text[pos++] - '0');
    if (value > INT_MAX + 1LL) return false;
  }
  if (negative) value = -value;
  return pos > digits && value >= INT_MIN && value <= INT_MAX;
}

}  // namespace

// "%d/%d/%d": day, month and year. The date is now's time of day on that day, out-of-range
// days and months rolling over; a date the sheet's time field cannot hold is refused.
bool PostponeCondition(const store::FactSheet&, CommitInput& in) {
  std::string_view text = in.text;
  size_t pos = 0;
  long long day = 0, month = 0, year = 0;
  bool read = ReadInt(text, pos, day) && pos < text.size() && text[pos++] == '/' &&
              ReadInt(text, pos, month) && pos < text.size() && text[pos++] == '/' &&
              ReadInt(text, pos, year);
  // The broken-down fields are ints: month minus 1 and year minus 1900 must fit.
  read = read && month - 1 >= INT_MIN && year - 1900 <= INT_MAX;
  if (read) {
    std::time_t now = static_cast<std::time_t>(in.now);
    std::tm local{};
    localtime_r(&now, &local);
    local.tm_mday = static_cast<int>(day);
    local.tm_mon = static_cast<int>(month - 1);
    local.tm_year = static_cast<int>(year - 1900);
    local.tm_isdst = -1;  // the time of day stays across a change of summer time
    std::time_t date = std::mktime(&local);
    read = date > 0 && date <= INT_MAX;
    in.postponed = read ? static_cast<int>(date) : 0;
  }
  if (!read) web::ErrorBox(510);
  return read;
}

// Attach: the upload must be stored in the sheet's attachment folder.
bool AttachCondition(const store::FactSheet& sheet, CommitInput& in) {
  std::optional<std::string> stored = StoreUpload(sheet, in.name, in.file, in.title);
  if (!stored) return false;
  in.stored = std::move(*stored);
  return true;
}

void SetResponsible(store::FactSheet& sheet, const CommitInput& in) {
  sheet.resp = in.sub;
}
void SetVerifier(store::FactSheet& sheet, const CommitInput& in) {
  sheet.verifier = in.sub;
}
void SetPostponed(store::FactSheet& sheet, const CommitInput& in) {
  sheet.postponed = in.postponed;
}
void SetCorrection(store::FactSheet& sheet, const CommitInput& in) {
  // The acting user corrected it: the mail role "c" reaches them.
  sheet.corrector = in.user;
  sheet.corrDate = static_cast<int>(in.now);
  sheet.corrVers = in.version;
  sheet.corrLoad = in.load;
}
void SetVerification(store::FactSheet& sheet, const CommitInput& in) {
  sheet.verDate = static_cast<int>(in.now);
  sheet.verVers = in.version;
}

namespace {

using enum CommitTitle;
using enum LogArgs;

bool HasRequired(const ActionCommit& row, const CommitInput& in) {
  if ((row.needs & kNeedUser) && web::IsMissing(in.user)) return false;
  if ((row.needs & kNeedSub) && web::IsMissing(in.sub)) return false;
  if ((row.needs & kNeedTitle) && web::IsMissing(in.title)) return false;
  if ((row.needs & kNeedVersion) && web::IsMissing(in.version)) return false;
  if ((row.needs & kNeedTestOrText) && web::IsMissing(in.test) && in.text.empty()) return false;
  return true;
}

}  // namespace

std::string CommitTitleText(const ActionCommit& row, const CommitInput& in) {
  const std::string name = base::EscapeHtml(in.name);
  switch (row.title_kind) {
    case kFormat:
      return base::Sprintf(Msg(row.title), name);
    case kLabel:
      return base::Sprintf("%s %s", Msg(row.title), name);
    case kFormatText:
      return base::Sprintf(Msg(row.title), name, base::EscapeHtml(in.text));
  }
  return {};
}

bool AcceptCommit(const ActionCommit& row, const store::FactSheet& sheet,
                  const web::ParamList& list, CommitInput& in) {
  if (!users::MayChangeProject(list, sheet.project)) {
    web::ErrorBox(config::kMsgNoRightOnProject);
    return false;
  }
  if (!HasRequired(row, in)) {
    web::ErrorBox(row.missing);
    return false;
  }
  return !row.condition || row.condition(sheet, in);
}

void ApplyCommit(const ActionCommit& row, store::FactSheet& sheet, const CommitInput& in) {
  if (row.status != kStatusUnchanged) sheet.status = row.status;
  if (row.set_fields) row.set_fields(sheet, in);
  const std::string_view format = Msg(row.log);
  switch (row.log_args) {
    case kSubUser:
      store::LogActionAt(sheet, in.now, format, in.sub, in.user);
      break;
    case kByUser:
      store::LogActionAt(sheet, in.now, format, in.user);
      break;
    case kTextUser:
      store::LogActionAt(sheet, in.now, format, in.text, in.user);
      break;
    case kTitleUser:
      store::LogActionAt(sheet, in.now, format, in.title, in.user);
      break;
    case kUserVersion:
      store::LogActionAt(sheet, in.now, format, in.user, in.version);
      break;
  }
  const int time = static_cast<int>(in.now);
  switch (row.entry) {
    case EntryKind::kNone:
      break;
    case EntryKind::kText:
      store::AddEntry(sheet, Msg(row.entry_name), in.user, time, in.text);
      break;
    case EntryKind::kTextOrTest:
      store::AddEntry(sheet, Msg(row.entry_name), in.user, time,
                      in.text.empty() ? in.test : in.text);
      break;
    case EntryKind::kTitled:
      store::AddEntry(sheet, in.title, in.user, time, in.text);
      break;
    case EntryKind::kAttachment:
      store::AddEntry(sheet, in.title, in.user, time, in.stored).kind = store::kAttachmentEntry;
      break;
  }
}

}  // namespace sheets
