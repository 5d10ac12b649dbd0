// The system's own SMTP client: one connection per mail, no queue, no retry.
#pragma once

#include <string>
#include <string_view>

#include "mail/net.h"

namespace mail {

// Delivers the message file `path` from `sender` (an address) to the comma-separated
// `recipients` through the relay `server` ("host" or "host:port", port 25 by default). Every step
// is reported to the page as a comment; reply codes are logged and never change the course of the
// dialogue, but a relay that does not answer within `seconds` ends it.
void SmtpSend(std::string_view server, std::string_view sender, std::string_view recipients,
              const std::string& path, int seconds = kNetWaitSeconds);

// `text` without carriage returns and line feeds, so that it cannot end a protocol line.
std::string StripLineBreaks(std::string_view text);

}  // namespace mail
