#include "config/sendmail.h"

#include "base/files.h"
#include "base/out.h"
#include "base/text.h"
#include "config/main_config.h"

namespace config {

std::string SendmailFilePath() {
  return base::Sprintf("%s/sendmail.cfg", GetConfigDir());
}

std::vector<std::string> MailRecipientsIn(std::string_view text, std::string_view action) {
  std::vector<std::string> words;
  size_t start = 0;
  while (start < text.size()) {
    std::string_view line = base::NextLine(text, start);
    size_t pos = 0;
    if (base::NextWord(line, pos) != action) continue;
    for (std::string_view word = base::NextWord(line, pos); !word.empty();
         word = base::NextWord(line, pos))
      words.emplace_back(word);
  }
  return words;
}

std::vector<std::string> ReadMailRecipients(std::string_view action) {
  std::optional<std::string> text = base::ReadFile(SendmailFilePath());
  return text ? MailRecipientsIn(*text, action) : std::vector<std::string>();
}

}  // namespace config
