// The system's own SMTP client and the header block of the mails it sends.
#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "mail/net.h"

namespace mail {

// What one delivery attempt came to. A reply code of 4xx leaves the mail to be tried again,
// 5xx is a refusal for good; a relay that cannot be reached is no answer at all.
struct SmtpResult {
  bool connected = false;  // the relay greeted us
  bool sent = false;       // the relay took the data for every recipient it accepted
  bool refused = false;    // the relay refused the whole mail for good (5xx)
  std::string error;       // the failure or the refusing reply; empty when all went well
  std::vector<std::string> refused_rcpt;   // recipients refused for good
  std::vector<std::string> deferred_rcpt;  // recipients to try again later
};

// Delivers the message file `path` from `sender` (an address) to the comma-separated
// `recipients` through the relay `server` ("host" or "host:port", port 25 by default). The
// connection is given up after kConnectSeconds and each reply after `seconds`. Every reply is
// checked: the dialogue stops at the first refusal of the mail, and a refused recipient is
// left out of the data. Each step is reported to the page as a comment.
SmtpResult SmtpSend(std::string_view server, std::string_view sender, std::string_view recipients,
                    const std::string& path, int seconds = kNetWaitSeconds);

// `text` without carriage returns and line feeds, so that it cannot end a protocol line.
std::string StripLineBreaks(std::string_view text);

// The header block of a mail, ended by its empty line. Values lose their line breaks.
struct MailHeader {
  std::string from;     // the whole From value, e.g. "\"Bug Manager\" <www@host>"
  std::string to;       // the comma-separated recipients; empty: they must not see each other
  std::string subject;  // Latin-1 text, as the language files and the sheets hold it
  std::string domain;   // the right-hand side of the Message-ID
  std::string content_type = "text/html";
};
// From, To ("undisclosed-recipients:;" when `to` is empty), Subject, Date (RFC 5322, local
// time), Message-ID (unique per process and call), MIME-Version 1.0 and a Content-Type with
// charset ISO-8859-1 sent as 8 bit.
std::string FormatMailHeader(const MailHeader& header, std::time_t now);

// The Date value for `now`: "Mon, 07 Dec 2026 04:25:17 +0100".
std::string MailDate(std::time_t now);

}  // namespace mail
