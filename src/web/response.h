// The one writer of the HTTP header. Every answer, a page or a download, starts here, once
// per request: a second call writes nothing.
#pragma once

#include <string>
#include <string_view>

namespace web {

// HTML pages declare their character set, so every browser sends the same bytes back.
inline constexpr std::string_view kHtmlType = "text/html; charset=ISO-8859-1";

// Sent with every answer: no guessing of a download's type, no address of a page (and the
// token in it) to other sites, and no framing by another site. Pages keep their inline
// scripts, so no script policy is set.
inline constexpr std::string_view kProtectiveHeaders =
    "X-Content-Type-Options: nosniff\n"
    "Referrer-Policy: same-origin\n"
    "Content-Security-Policy: frame-ancestors 'self'\n";

struct ResponseHeader {
  std::string_view type = kHtmlType;  // the content type
  int status = 0;                     // 0: the server's default (200)
  std::string_view status_text;       // the reason phrase that goes with `status`
  std::string disposition;            // e.g. attachment; filename="bugs.dat"
  long long length = -1;              // the body's length, when known
};

// Writes the header (then any diagnostics held back until it was out).
void WriteResponseHeader(const ResponseHeader& header);
// The header of an HTML page.
void StartHtmlPage();
// A bare status answer with no content, e.g. 404 for a download that must not happen.
void WriteStatusOnly(int status, std::string_view text);

bool ResponseStarted();
// True when nothing at all has been written to the page yet.
bool PageIsEmpty();

// A value for a quoted Content-Disposition file name: its quotes and backslashes escaped,
// line breaks dropped.
std::string QuotedFileName(std::string_view name);

}  // namespace web
