#include "web/response.h"

#include <utility>

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
  if (!header.policy.empty()) text += base::Sprintf("Content-Security-Policy: %s\n", header.policy);
  if (!header.etag.empty()) text += base::Sprintf("ETag: %s\n", header.etag);
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

void ForgetStored() {
  base::Cache<CommitState>().stored = false;
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

namespace {

// The character "&#NNNN;" or "&#xHHHH;" at the start of `text` stands for, and its length;
// 0 for none.
std::pair<unsigned long, size_t> CharacterReference(std::string_view text) {
  if (!text.starts_with("&#")) return {0, 0};
  size_t at = 2;
  int radix = 10;
  if (at < text.size() && (text[at] == 'x' || text[at] == 'X')) {
    radix = 16;
    ++at;
  }
  unsigned long code = 0;
  size_t digits = 0;
  for (; at < text.size() && digits < 8; ++at, ++digits) {
    char c = text[at];
    int d = c >= '0' && c <= '9'                  ? c - '0'
            : radix == 16 && c >= 'a' && c <= 'f' ? c - 'a' + 10
            : radix == 16 && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                  : -1;
    if (d < 0) break;
    code = code * radix + d;
  }
  if (digits == 0 || at >= text.size() || text[at] != ';' || code == 0 || code > 0x10FFFF ||
      (code >= 0xD800 && code <= 0xDFFF))
    return {0, 0};
  return {code, at + 1};
}

void AppendUtf8(std::string& out, unsigned long code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// What browsers send for a page in ISO-8859-1 is windows-1252 (the WHATWG encoding of that
// label): the bytes 0x80 to 0x9F are these characters; 0 where that set has none.
constexpr unsigned short kWindows1252[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

// The ASCII letter under an ISO-8859-1 letter with an accent; '_' for any other character.
char AsciiOf(unsigned long code) {
  // From U+00C0 to U+00FF.
  constexpr std::string_view kBase =
      "AAAAAAACEEEEIIII"
      "DNOOOOO_OUUUUY_s"
      "aaaaaaaceeeeiiii"
      "dnooooo_ouuuuy_y";
  return code >= 0xC0 && code <= 0xFF ? kBase[code - 0xC0] : '_';
}

}  // namespace

std::string ContentDisposition(std::string_view kind, std::string_view name) {
  std::string fallback, exact;
  bool plain = true;
  for (size_t i = 0; i < name.size();) {
    auto [code, length] = CharacterReference(name.substr(i));
    if (length == 0) {
      code = static_cast<unsigned char>(name[i]);
      if (code >= 0x80 && code < 0xA0) code = kWindows1252[code - 0x80];
      length = 1;
    }
    i += length;
    if (code < 0x20 || code == 0x7F) continue;  // no control character in a file name
    plain = plain && code < 0x80 && length == 1;
    fallback += code < 0x80 ? static_cast<char>(code) : AsciiOf(code);
    AppendUtf8(exact, code);
  }
  std::string value = std::string(kind) + "; filename=" + QuotedFileName(fallback);
  if (!plain) value += "; filename*=UTF-8''" + base::PercentEncode(exact, "!#$&+-.^_`|~");
  return value;
}

}  // namespace web
