#include "base/encode.h"

#include <algorithm>

namespace base {
namespace {

// Appends `text` with '<', '>' and '"' replaced (and, in a script string, '\' doubled); the
// runs between them go over in one piece.
void AppendEscapedRuns(std::string& out, std::string_view text, bool script) {
  size_t i = 0;
  while (i < text.size()) {
    size_t special = i;
    while (special < text.size()) {
      char c = text[special];
      if (c == '<' || c == '>' || c == '"' || (script && c == '\\')) break;
      ++special;
    }
    out.append(text.data() + i, special - i);
    if (special == text.size()) break;
    switch (text[special]) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += "\\\\";
    }
    i = special + 1;
  }
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

void AppendHtml(std::string& out, std::string_view text) {
  AppendEscapedRuns(out, text, false);
}

std::string EscapeHtml(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  AppendEscapedRuns(out, text, false);
  return out;
}

std::string EscapeScript(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  AppendEscapedRuns(out, text, true);
  return out;
}

std::string UrlDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    // The run of bytes that stand for themselves goes over in one piece.
    size_t special = i;
    while (special < text.size() && text[special] != '+' && text[special] != '%') ++special;
    out.append(text.substr(i, special - i));
    if (special == text.size()) break;
    i = special;
    if (text[i] == '+') {
      out += ' ';
      ++i;
      continue;
    }
    int hi = i + 1 < text.size() ? HexValue(text[i + 1]) : -1;
    int lo = i + 2 < text.size() ? HexValue(text[i + 2]) : -1;
    if (hi >= 0 && lo >= 0) {
      unsigned char byte = static_cast<unsigned char>(hi * 16 + lo);
      out += byte == 0xA0 ? ' ' : static_cast<char>(byte);
      i += 3;
    } else {
      // Not an escape: the '%' is kept and whatever follows is decoded as usual.
      out += '%';
      ++i;
    }
  }
  return out;
}

namespace {

std::string Encode(std::string_view text, bool blank_as_plus, const char* hex,
                   std::string_view keep = {}) {
  std::string out;
  out.reserve(text.size() * 3);
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
        keep.find(ch) != std::string_view::npos) {
      out += ch;
    } else if (c == ' ' && blank_as_plus) {
      out += '+';
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

}  // namespace

std::string UrlEncode(std::string_view text, bool blank_as_plus) {
  return Encode(text, blank_as_plus, "0123456789ABCDEF");
}

std::string PercentEncode(std::string_view text, std::string_view keep) {
  return Encode(text, /*blank_as_plus=*/false, "0123456789ABCDEF", keep);
}

std::string EncodeLinkValue(std::string_view text) {
  return Encode(text, /*blank_as_plus=*/true, "0123456789abcdef");
}

std::string TsvField(std::string_view value) {
  std::string out;
  const bool quoted = !value.empty() && value.front() == '"';
  const bool formula =
      !value.empty() && std::string_view("=+-@").find(value.front()) != std::string_view::npos;
  out.reserve(value.size() + (quoted ? 4 : 0) + (formula ? 1 : 0));
  if (formula) out += '\'';
  if (quoted) out += '"';
  for (char c : value) {
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
    if (quoted && c == '"') out += '"';
    out += c;
  }
  if (quoted) out += '"';
  return out;
}

std::string Latin1ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out += ch;
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

bool Utf8ToLatin1(std::string_view text, std::string& out, unsigned long& refused) {
  out.clear();
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t more = c < 0x80             ? 0
                        : (c & 0xE0) == 0xC0 ? 1
                        : (c & 0xF0) == 0xE0 ? 2
                        : (c & 0xF8) == 0xF0 ? 3
                                             : 9;
    refused = 0xFFFD;
    if (more == 9 || i + more >= text.size()) return false;
    unsigned long code = more == 0 ? c : c & (0x3F >> more);
    for (size_t k = 1; k <= more; ++k) {
      const unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    // Overlong forms and surrogates are not UTF-8.
    static constexpr unsigned long kLeast[] = {0, 0x80, 0x800, 0x10000};
    if (code < kLeast[more] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    if (code > 0xFF) {
      refused = code;
      return false;
    }
    out += static_cast<char>(code);
    i += more + 1;
  }
  return true;
}

}  // namespace base
