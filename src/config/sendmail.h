// "sendmail.cfg" of the configuration directory: who is mailed for each action. One line per
// action, "<action name> <recipient> <recipient> ...", where a recipient is a role letter or
// logins separated by commas. Read by the notification, shown and written by the
// configuration grid.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace config {

// The roles a recipient letter names.
enum MailRole : char {
  kRoleManager = 'M',          // the project's manager
  kRoleProjectVerifier = 'V',  // the project's verifier
  kRoleSubmitter = 's',        // the sheet's submitter
  kRoleResponsible = 'a',      // the sheet's responsible
  kRoleCorrector = 'c',        // the sheet's corrector
  kRoleVerifier = 'v',         // the sheet's verifier
};
// The role letters in the order of the grid's columns.
inline constexpr char kMailRoles[] = {kRoleManager,     kRoleProjectVerifier, kRoleSubmitter,
                                      kRoleResponsible, kRoleCorrector,       kRoleVerifier};

std::string SendmailFilePath();

// The recipient words of every line of `text` (a "sendmail.cfg") whose first word is
// `action`, in file order.
std::vector<std::string> MailRecipientsIn(std::string_view text, std::string_view action);
// The same from the file; none when it cannot be read.
std::vector<std::string> ReadMailRecipients(std::string_view action);

// Whether `word` is the role letter `role`.
inline bool IsRole(std::string_view word, char role) {
  return word.size() == 1 && word[0] == role;
}

}  // namespace config
