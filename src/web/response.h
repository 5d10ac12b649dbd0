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
  std::string_view policy;            // a content security policy of the answer's own
  std::string_view etag;              // an entity tag (quoted), for a client's next If-None-Match
};

// Writes the header (then any diagnostics held back until it was out).
void WriteResponseHeader(const ResponseHeader& header);
// The header of an HTML page.
void StartHtmlPage();
// A bare status answer with no content, e.g. 404 for a download that must not happen.
void WriteStatusOnly(int status, std::string_view text);

// True when nothing at all has been written to the page yet.
bool PageIsEmpty();

// A page that is held back while a change is committed. When the change is stored the held
// page is dropped and the browser is sent on (303) to the page that shows the result, so a
// reload shows the result again instead of committing a second time. When nothing was
// stored the held page goes out as it is, when the hold ends.
class PageHold {
 public:
  PageHold();
  ~PageHold();
  PageHold(const PageHold&) = delete;
  PageHold& operator=(const PageHold&) = delete;

  // Drops what was held and answers with a redirection to the script with `query` (the
  // identity token is added); true when done. A held page is never dropped twice.
  bool Redirect(std::string_view query);
  // Stops holding: what was held goes out now.
  void Release();
  // What was written to the held page so far, and forgetting it (the header included).
  std::string Take();

 private:
  std::string text_;
  std::string* outer_ = nullptr;
  size_t bytes_ = 0;
  bool header_ = false;
  bool active_ = true;
};

// The redirection answer: "Status: 303 See Other" and the Location of the result page,
// with a small page that links there for clients that do not follow it.
void WriteRedirect(std::string_view query);

// A value for the query of a redirection: letters, digits and "._-" as they are, every other
// byte as "%XX".
std::string QueryValue(std::string_view text);

// Set by a commit once its change is stored; the page holding it then redirects.
void MarkStored();
bool WasStored();
// Before a second change in one request (the machine interface runs several pages' code).
void ForgetStored();

// A value for a quoted Content-Disposition file name: its quotes and backslashes escaped,
// line breaks dropped.
std::string QuotedFileName(std::string_view name);

// A Content-Disposition value of `kind` ("attachment", "inline") for a file named `name` as
// stored: the bytes the browser sent for a page in ISO-8859-1 (windows-1252, in fact, and
// "&#NNNN;" for a character outside that set). A name of plain ASCII is given as it is; any other
// has an ASCII fallback (accents dropped, other characters "_") and its exact name as
// "filename*=UTF-8''..." (RFC 6266).
std::string ContentDisposition(std::string_view kind, std::string_view name);

}  // namespace web
