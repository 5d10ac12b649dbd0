#include "web/response.h"

#include "base/encode.h"
#include "base/out.h"
#include "web/cookies.h"

namespace web {

void WriteResponseHeader(const ResponseHeader& header) {
  base::PageState& page = base::CurrentPage();
  if (page.header_written) return;
  page.header_written = true;
  std::string text;
  if (header.status) text += base::Sprintf("Status: %d %s\n", header.status, header.status_text);
  text += base::Sprintf("Content-type: %s\n", header.type);
  if (!header.disposition.empty())
    text += base::Sprintf("Content-Disposition: %s\n", header.disposition);
  if (header.length >= 0) text += base::Sprintf("Content-Length: %lld\n", header.length);
  text += BrowserKeyHeader();
  text += kProtectiveHeaders;
  text += '\n';
  base::Write(nullptr, text);
  if (!page.held.empty()) {
    std::string held;
    held.swap(page.held);
    base::Write(nullptr, held);
  }
}

void StartHtmlPage() {
  WriteResponseHeader({});
}

void WriteStatusOnly(int status, std::string_view text) {
  ResponseHeader header;
  header.type = "text/plain";
  header.status = status;
  header.status_text = text;
  header.length = 0;
  WriteResponseHeader(header);
}

bool PageIsEmpty() {
  return base::CurrentPage().bytes == 0;
}

namespace {

struct CommitState {
  bool stored = false;
};

}  // namespace

std::string QueryValue(std::string_view text) {
  return base::PercentEncode(text, "._-");
}

void MarkStored() {
  base::Cache<CommitState>().stored = true;
}

bool WasStored() {
  return base::Cache<CommitState>().stored;
}

PageHold::PageHold() {
  base::PageState& page = base::CurrentPage();
  outer_ = page.capture;
  bytes_ = page.bytes;
  header_ = page.header_written;
  page.capture = &text_;
}

PageHold::~PageHold() {
  Release();
}

std::string PageHold::Take() {
  base::PageState& page = base::CurrentPage();
  std::string text;
  text.swap(text_);
  page.bytes = bytes_;
  page.header_written = header_;
  return text;
}

void PageHold::Release() {
  if (!active_) return;
  active_ = false;
  base::PageState& page = base::CurrentPage();
  page.capture = outer_;
  // Counted once already, while it was held.
  const size_t bytes = page.bytes;
  base::Write(nullptr, text_);
  page.bytes = bytes;
  text_.clear();
}

bool PageHold::Redirect(std::string_view query) {
  if (!active_) return false;
  Take();
  active_ = false;
  base::CurrentPage().capture = outer_;
  WriteRedirect(query);
  return true;
}

void WriteRedirect(std::string_view query) {
  std::string location = ScriptName();
  location += '?';
  location += query;
  location += UidSuffix();
  // A line break would end the header line.
  for (char& c : location)
    if (c == '\r' || c == '\n') c = ' ';
  base::PageState& page = base::CurrentPage();
  if (page.header_written) {
    // Too late for a header: the browser goes on by script.
    base::Page("<SCRIPT>document.location=\"%s\"</SCRIPT>\n", base::EscapeScript(location));
    return;
  }
  page.header_written = true;
  base::Write(nullptr, base::Sprintf("Status: 303 See Other\nLocation: %s\n%s", location,
                                     BrowserKeyHeader()));
  base::Write(nullptr, base::Sprintf("Content-type: %s\n%s\n", kHtmlType, kProtectiveHeaders));
  if (!page.held.empty()) {
    std::string held;
    held.swap(page.held);
    base::Write(nullptr, held);
  }
  base::Page("<HTML><BODY><A HREF=\"%s\">%s</A></BODY></HTML>\n", base::EscapeHtml(location),
             base::EscapeHtml(location));
}

std::string QuotedFileName(std::string_view name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '\r' || c == '\n') continue;
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

}  // namespace web
