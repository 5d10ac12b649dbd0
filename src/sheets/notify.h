// Notification mails: after a creation, a status action, an attachment or an entry edit the
// sheet is rendered into a message file and mailed to the people "sendmail.cfg" names for
// the action, their addresses coming from the project's users file.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "base/out.h"
#include "store/sheet.h"

namespace sheets {

// The key of action `code` in "sendmail.cfg" ("new" for 0); empty for an unknown code.
std::string_view ActionName(int code);
// The message that names action `code` in the mail subject; 200 for an unknown code.
int ActionLabel(int code);

// The recipients of the mail for action `code` on `sheet`: the addresses of the logins that
// "sendmail.cfg" names, joined with ",", each login once and never the acting `user`.
// Empty when nobody is to be mailed or "sendmail.cfg" is missing. Writes a comment per login.
std::string CollectRecipients(const store::FactSheet& sheet, int code,
                              std::optional<std::string_view> user);

// "<data directory>/tmp/bugmail.<process>l", the message file of process `pid`.
std::string MessageFilePath(unsigned pid);

// Writes the sheet into the message file: its action bar with absolute links, then its body.
using SheetWriter = std::function<void(base::Stream file, const store::FactSheet& sheet)>;

// Mails the sheet `name` for action `code`, naming `user` as its author (none: no " by"
// part in the subject). Every outcome is reported as a comment in the page.
void SendNotification(std::string_view name, int code, std::optional<std::string_view> user,
                      const SheetWriter& write_sheet);

}  // namespace sheets
