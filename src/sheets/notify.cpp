#include "sheets/notify.h"

#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <vector>

#include "base/encode.h"
#include "base/files.h"
#include "base/text.h"
#include "config/debug.h"
#include "config/language.h"
#include "config/main_config.h"
#include "config/members.h"
#include "config/projects.h"
#include "config/sendmail.h"
#include "mail/smtp.h"
#include "mail/spool.h"
#include "sheets/action_table.h"
#include "store/store.h"
#include "sync/sync.h"

namespace sheets {

using mail::StripLineBreaks;
namespace {

// The longest login taken from a recipient (the sheet's login fields).
constexpr size_t kLoginMax = 19;
// The joined addresses.
constexpr size_t kAddressesMax = 1027;

// What a recipient word stands for: a role letter names a field of the sheet or of the
// project, any other word stands for itself.
std::string Expand(std::string_view word, const store::FactSheet& sheet) {
  if (word.size() == 1) {
    switch (word[0]) {
      case config::kRoleManager:
        return config::GetProjectManager(sheet.project);
      case config::kRoleProjectVerifier:
        return config::GetProjectVerifier(sheet.project);
      case config::kRoleResponsible:
        return sheet.resp;
      case config::kRoleCorrector:
        return sheet.corrector;
      case config::kRoleSubmitter:
        return sheet.submitter;
      case config::kRoleVerifier:
        return sheet.verifier;
    }
  }
  return std::string(word);
}

// Adds the logins of `text` (separated by commas) to the front of `logins`.
void AddLogins(std::string_view text, std::optional<std::string_view> user,
               std::vector<std::string>& logins) {
  while (!text.empty()) {
    size_t start = 0;
    while (start < text.size() && (text[start] == ' ' || text[start] == '\t')) ++start;
    size_t end = text.find_first_of(", \t", start);
    std::string login = StripLineBreaks(text.substr(start, end - start));
    if (login.size() > kLoginMax) login.resize(kLoginMax);
    size_t comma = text.find(',', start);
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    if (login.empty()) continue;
    bool added = !(user && login == *user);
    for (const std::string& known : logins) {
      if (known == login) added = false;
    }
    // Logins come from sheet fields and requests: escaped, they cannot close the comment.
    config::DebugPage("<! Mail :%s:%s:%d, %s>\n", base::EscapeHtml(login),
                      base::EscapeHtml(user.value_or("")), added ? 1 : 0, base::EscapeHtml(text));
    if (added) logins.insert(logins.begin(), login);
  }
}

}  // namespace

std::string_view ActionName(int code) {
  const Action* action = ActionOfCode(code);
  return action ? action->cmd : std::string_view();
}

int ActionLabel(int code) {
  const Action* action = ActionOfCode(code);
  return action ? action->label : 200;
}

std::string CollectRecipients(const store::FactSheet& sheet, int code,
                              std::optional<std::string_view> user) {
  std::string_view key = ActionName(code);
  std::vector<std::string> logins;
  if (!key.empty())
    for (const std::string& word : config::ReadMailRecipients(key))
      AddLogins(Expand(word, sheet), user, logins);
  std::string joined;
  if (logins.empty() || sheet.project.empty() || sheet.project == " ") return joined;
  for (const std::string& login : logins) {
    std::string address = StripLineBreaks(config::MemberAddress(sheet.project, login));
    if (address.empty()) continue;
    size_t size = joined.size() + (joined.empty() ? 0 : 1) + address.size();
    if (size > kAddressesMax) continue;  // whole addresses only
    if (!joined.empty()) joined += ',';
    joined += address;
  }
  return joined;
}

std::string MessageFilePath(unsigned pid) {
  return base::Sprintf("%s/tmp/bugmail.%ul", config::GetDataDir(), pid);
}

void SendNotification(std::string_view name, int code, std::optional<std::string_view> user,
                      const SheetWriter& write_sheet) {
  std::optional<store::FactSheet> sheet = store::ReadSheet(name);
  if (!sheet) return;
  // The partners get the sheet whether or not anybody is mailed.
  synch::SendSynchFile(base::JoinPath(config::GetDataDir(), store::GetSheetName(*sheet)),
                       sheet->project, synch::kSheetFile);
  std::string recipients = CollectRecipients(*sheet, code, user);
  if (recipients.empty()) {
    base::Page("<! No mail to send, destination empty >\n");
    return;
  }
  // The message file is made only for a mail that goes out.
  mail::MessageFile message(MessageFilePath(static_cast<unsigned>(getpid())));
  if (!message) return;
  // Header values never carry a line break: a login or a name cannot add header lines.
  // An address names a host, never a port.
  std::string host = StripLineBreaks(config::MailHost());
  mail::MailHeader header;
  header.from = base::Sprintf("\"Bug Manager\" <%s@%s>", mail::SenderName(), host);
  header.to = recipients;
  header.subject = base::Sprintf("Bug %s %s", name, config::Msg(ActionLabel(code)));
  if (user) header.subject += base::Sprintf(" by %s", *user);
  header.domain = host;
  std::FILE* out = message.get();
  base::Write(out, mail::FormatMailHeader(header, std::time(nullptr)));
  base::Write(out, "<HTML>\n");
  if (write_sheet) write_sheet(out, *sheet);
  const std::string& path = message.path();
  if (!message.Close()) {
    config::DebugPage("<! mail file %s could not be written >\n", base::EscapeHtml(path));
    return;
  }
  config::DebugPage("<! mail %s - %s >\n", base::EscapeHtml(recipients), base::EscapeHtml(path));
  // Delivered once the page is out; kept and tried again while the relay does not take it.
  message.Queue(recipients);
}

}  // namespace sheets
