#include "web/response.h"

#include "base/out.h"

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

bool ResponseStarted() {
  return base::CurrentPage().header_written;
}

bool PageIsEmpty() {
  return base::CurrentPage().bytes == 0;
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
