// "sendmail.cfg": which roles receive a mail for each action, as a grid of check boxes.
#include "base/encode.h"
#include "base/files.h"
#include "base/out.h"
#include "base/text.h"
#include "config/language.h"
#include "config/main_config.h"
#include "config/sendmail.h"
#include "setup/setup_parts.h"
#include "sheets/action_table.h"
#include "sheets/notify.h"
#include "web/cookies.h"
#include "web/page.h"

namespace setup {
namespace {

using config::kMailRoles;
constexpr int kColumns = std::size(kMailRoles);

std::string MailPath() {
  return config::SendmailFilePath();
}

// The recipient words of every line of `text` whose key is the action's name.
std::vector<std::string> RecipientsOf(std::string_view text, int code) {
  return config::MailRecipientsIn(text, sheets::ActionName(code));
}

bool Has(const std::vector<std::string>& words, char letter) {
  for (const std::string& word : words)
    if (config::IsRole(word, letter)) return true;
  return false;
}

void WriteHeaderRow(std::string_view format) {
  base::Write(nullptr, "<TR>\n");
  for (int label = 2454; label <= 2460; ++label) base::Page(format, config::Msg(label));
  base::Write(nullptr, "</TR>\n");
}

}  // namespace

void WriteMailForm(int wizard_step, const TypedForm* typed) {
  std::string path = MailPath();
  std::optional<std::string> text = typed ? typed->content : base::ReadFile(path);
  if (!text) {
    web::ErrorBoxArg(config::kMsgCannotOpen, path);
    return;
  }
  base::Page("<P><H1><Font size=7>%s.cfg Setup</font></H1>\n<P>", "sendmail");
  base::Page("<FORM METHOD=POST ACTION=\"%s\">\n", base::EscapeHtml(web::ScriptName()));
  WriteFormFields(kSendmail, wizard_step);
  if (wizard_step == 0) WriteRevisionField(typed ? typed->revision : FileRevision(*text));
  base::Write(nullptr, "<INPUT TYPE=hidden NAME=text VALUE=xxx>\n");
  base::Write(nullptr, "<TABLE BORDER=1>\n");
  WriteHeaderRow("<TH>%s</TH>\n");
  // One row per action, checked from every line that names it.
  for (int code = 0; code < sheets::kActionCount; ++code) {
    std::vector<std::string> words = RecipientsOf(*text, code);
    base::Page("<TR><TD>%s</TD>\n", sheets::ActionName(code));
    for (int c = 0; c < kColumns; ++c) {
      base::Write(nullptr, "<TD ALIGN=CENTER><INPUT TYPE=CHECKBOX ");
      // Named for readers by its role (the column) and its action (the row).
      base::Page(
          "NAME=V%d_%d%s ", c, code,
          web::AriaLabel(base::Sprintf("%s %s", config::Msg(2455 + c), sheets::ActionName(code))));
      if (Has(words, kMailRoles[c])) base::Write(nullptr, " CHECKED ");
      base::Write(nullptr, "></TD>\n");
    }
    base::Write(nullptr, "</TR>\n");
  }
  base::Write(nullptr, "</TABLE>\n");
  if (wizard_step > 0)
    WriteSubmit(wizard_step);
  else
    base::Write(nullptr, "<inPUT TYPE=\"submit\" VALUE=\"OK\">\n");
  base::Write(nullptr, "</FORM>\n");
}

bool SaveMail(const web::ParamList& list, bool wizard) {
  if (!MaySaveShared(list)) {
    web::ErrorBox(config::kMsgNoSetupRight);
    return false;
  }
  std::string path = MailPath();
  // Made from the file as it is under its lock.
  std::string content;
  auto make = [&](const std::string& old) {
    content.clear();
    for (int code = 0; code < sheets::kActionCount; ++code) {
      content += base::Sprintf("%s ", sheets::ActionName(code));
      for (int c = 0; c < kColumns; ++c) {
        const std::string& box = web::GetParam(list, base::Sprintf("V%d_%d", c, code));
        if (!web::IsAbsent(box)) content += base::Sprintf("%c ", kMailRoles[c]);
      }
      // Recipients named by login have no box; they stay as they were.
      for (const std::string& word : RecipientsOf(old, code))
        if (word.size() > 1) content += word + ' ';
      content += '\n';
    }
    return content;
  };
  if (!wizard) WriteTitleBar("<Font size=7>sendmail.cfg Setup</font>", kSendmail);
  const FormSave save = SaveFormFile(path, list, make);
  if (save.stale) {
    WriteChangedMeanwhile();
    const std::string now = base::ReadFile(path).value_or("");
    ShowMailTable(now);
    // The boxes as typed, with the recipients named by login of the file as it is now.
    const TypedForm typed{make(now), save.revision};
    WriteMailForm(0, &typed);
    return false;
  }
  if (!save.saved) {
    WriteSaveFailure(save.error);
    return false;
  }
  if (wizard) return true;
  ShowMailTable(content);
  return true;
}

void ShowMailTable(const std::string& content) {
  base::Write(nullptr, "<TABLE BORDER=1>\n");
  WriteHeaderRow("<TH> %s </TH>\n");
  for (int code = 0; code < sheets::kActionCount; ++code) {
    std::vector<std::string> words = RecipientsOf(content, code);
    base::Page("<TR><TD>%s</TD>\n", sheets::ActionName(code));
    for (char letter : kMailRoles) base::Page("<TD>&nbsp;%s</TD>\n", Has(words, letter) ? "X" : "");
    base::Write(nullptr, "</TR>\n");
  }
  base::Write(nullptr, "</TABLE>\n");
}

std::string MailFilePath() {
  return MailPath();
}

}  // namespace setup
