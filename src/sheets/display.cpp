#include "sheets/display.h"

#include <cstdlib>
#include <optional>

#include "base/encode.h"
#include "base/request_state.h"
#include "config/labels.h"
#include "config/language.h"
#include "config/main_config.h"
#include "config/projects.h"
#include "store/store.h"
#include "web/actions.h"
#include "web/cookies.h"

namespace sheets {
namespace {

// What the display keeps for the rest of the request: the number of action bars written
// so far (the anchor of the next one) and the absolute base of links in mail files.
struct DisplayState {
  int bars = 0;
  std::optional<std::string> mail_base;
};

constexpr std::string_view kHexDigits = "0123456789ABCDEF";

bool IsAlnum(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

void AppendHex(std::string& out, unsigned char c) {
  out += '%';
  out += kHexDigits[c >> 4];
  out += kHexDigits[c & 15];
}

// "http://<HOSTNAME>", with ":<SERVER_PORT>" unless the port is 80 (or unknown).
std::string AbsoluteBase() {
  std::string host = config::GetConfig("HOSTNAME");
  const char* port = std::getenv("SERVER_PORT");
  if (port && *port && std::string_view(port) != "80")
    return base::Sprintf("http://%s:%s", host, port);
  return base::Sprintf("http://%s", host);
}

// The base of the bar's links: empty on the page, absolute in a file.
const std::string& LinkBase(base::Stream out) {
  static const std::string kNone;
  if (!out) return kNone;
  DisplayState& state = base::Cache<DisplayState>();
  if (!state.mail_base) state.mail_base = AbsoluteBase();
  return *state.mail_base;
}

// The query of the result list goes into an unquoted link attribute: it is already
// encoded, so it passes unchanged, but any byte that could end the attribute is encoded.
std::string QueryValue(std::string_view qs) {
  std::string out;
  out.reserve(qs.size());
  for (unsigned char c : qs) {
    if (IsAlnum(c) || c == '%')
      out += static_cast<char>(c);
    else
      AppendHex(out, c);
  }
  return out;
}

// A stored path as a link value: the characters of ordinary paths stay, any other byte
// (blank, "&", "#", quote ...) is percent-encoded so the download receives the path as is.
std::string PathValue(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  for (unsigned char c : path) {
    if (IsAlnum(c) || c == '/' || c == '.' || c == '_' || c == '-' || c == ':' || c == '~')
      out += static_cast<char>(c);
    else
      AppendHex(out, c);
  }
  return out;
}

// The stored path of an attached file, from "TRACE_" to the end of its line.
std::string_view AttachedPath(std::string_view body) {
  size_t start = body.find("TRACE_");
  if (start == std::string_view::npos) return {};
  std::string_view path = body.substr(start);
  return path.substr(0, path.find_first_of("\r\n"));
}

std::string Esc(std::string_view text) {
  return base::EscapeHtml(text);
}

void WriteHeaderTable(const store::FactSheet& sheet, base::Stream out) {
  using config::Msg;
  base::Write(out, "<TABLE BORDER=1 WIDTH=100%>");
  base::Printf(out, "<TR><TD><B>%s</B></TD>\n", Esc(store::GetSheetName(sheet)));
  base::Printf(out, "<TD>%s</TD>\n", store::FormatDate(sheet.created));
  base::Printf(out, "<TD>%s : <B>%s</B></TD>\n", Msg(119), config::GetStatusLabel(sheet.status));
  base::Printf(out, "<TD>%s :<B> %s</B></TD>\n", Msg(113), Esc(sheet.submitter));
  base::Write(out, "</TR>\n");

  base::Printf(out, "<TR><TD COLSPAN=4>%s : <B>%s</B></TD></TR>\n", Msg(106), Esc(sheet.title));

  base::Printf(out, "<TR><TD>%s : <B>%s<B></TD>\n", Msg(100), Esc(sheet.project));
  base::Printf(out, "<TD>%s : %s</TD>\n", Msg(101), Esc(sheet.group));
  base::Printf(out, "<TD>%s : %s</TD>\n", Msg(102), Esc(config::GetPhaseName(sheet.phase)));
  base::Printf(out, "<TD>%s : %s</TD></TR>\n", Msg(108), Esc(sheet.prog));

  base::Printf(out, "<TR><TD>%s : <B>%s<B></TD>\n", Msg(109), config::GetSeverityLabel(sheet.sev));
  base::Printf(out, "<TD>%s : %s</TD>\n", Msg(110), Esc(sheet.version));
  base::Printf(out, "<TD>%s : %s</TD>\n", Msg(111), Esc(sheet.exp));
  base::Printf(out, "<TD>%s : %s</TD></TR>\n", Msg(104), Esc(config::GetImpactName(sheet.impact)));

  base::Printf(out, "<TR><TD>%s : %s</TD>\n", Msg(123), config::GetTypeLabel(sheet.type));
  base::Printf(out, "<TD>%s : %s</TD>\n", Msg(112), Esc(sheet.mdapda));
  base::Printf(out, "<TD>%s : <B>%s</B></TD>\n", Msg(117), Esc(sheet.resp));
  base::Printf(out, "<TD>%s : %ld</TD></TR>\n", Msg(124), static_cast<long>(sheet.Load));

  if (sheet.status == store::kPostponed)
    base::Printf(out, "<TR><TD COLSPAN=4>%s : %s</TD></TR>\n", Msg(125),
                 store::FormatDate(sheet.postponed));
  if (sheet.status == store::kCorrected || sheet.status == store::kVerified) {
    base::Write(out, "<TR><TD COLSPAN=3>");
    base::Printf(out, Msg(126), Esc(sheet.corrector), store::FormatDate(sheet.corrDate),
                 Esc(sheet.corrVers));
    base::Printf(out, "</TD>\n<TD>%s : %ld</TD></TR>\n", Msg(127),
                 static_cast<long>(sheet.corrLoad));
  }
  if (sheet.status == store::kVerified) {
    base::Write(out, "<TR><TD COLSPAN=4>");
    base::Printf(out, Msg(128), Esc(sheet.verifier), store::FormatDate(sheet.verDate),
                 Esc(sheet.verVers));
    base::Write(out, "</TD></TR>\n");
  }
  if (!sheet.test.empty())
    base::Printf(out, "<TD COLSPAN=4>%s: %s</TD></TR>\n", Msg(129), Esc(sheet.test));
  base::Write(out, "</TABLE>\n");
}

void WriteEntries(const store::FactSheet& sheet, base::Stream out, const std::string& script) {
  const std::string name = Esc(store::GetSheetName(sheet));
  base::Write(out, "<TABLE BORDER=1 WIDTH=100%>\n");
  int number = 0;
  for (const store::SheetEntry& entry : sheet.entries) {
    if (entry.kind == store::kAttachmentEntry) {
      base::Printf(out, "<TR><TD><B><A HREF=\"%s?%s=%s&%s=%s%s\">", script, "CMD", "FILE", "title",
                   PathValue(config::GetDataDir()), PathValue(AttachedPath(entry.text)));
      base::Printf(out, "%s</A></B></TD>\n", Esc(entry.name));
      base::Printf(out, "<TD>%s</TD>\n", store::FormatDate(entry.time));
      base::Printf(out, "<TD>%s</TD></TR>\n", Esc(entry.who));
    } else {
      base::Printf(out, "<TR><TD><B><A HREF=%s?%s=%s&%s=%s&%s=%d>", script, "CMD", "Edit", "Num",
                   name, "Edit", number);
      base::Printf(out, "%s</A></B></TD>\n", Esc(entry.name));
      base::Printf(out, "<TD>%s</TD>\n", store::FormatDate(entry.time));
      base::Printf(out, "<TD>%s</TD></TR>\n", Esc(entry.who));
      base::Write(out, "<TR><TD COLSPAN=3>");
      WriteEscaped(out, entry.text);
      base::Write(out, "</FONT></TD>");
    }
    ++number;
  }
  base::Write(out, "</TABLE>\n");
}

}  // namespace

void ShowSheet(std::string_view name, base::Stream out, std::string_view qs) {
  std::optional<store::FactSheet> sheet = store::ReadSheet(name);
  if (!sheet) {
    base::Printf(out, "<FONT COLOR=RED>%s %s <BR></FONT>\n", config::Msg(504), Esc(name));
    return;
  }
  WriteActionBar(out, name, qs);
  WriteSheetBody(*sheet, out);
}

void WriteActionBar(base::Stream out, std::string_view name, std::string_view qs) {
  DisplayState& state = base::Cache<DisplayState>();
  base::Printf(out, "<a name=%05d>\n", state.bars++);
  base::Write(out, "<TABLE BORDER=0 CELLSPACING=0 CELLPADDING=0 WIDTH=100%>\n");
  base::Write(out, "<TR>\n");

  const std::string safe_name = Esc(name);
  std::string suffix = safe_name;
  for (char& c : suffix)
    if (c == '.') c = '_';
  const std::string script = web::ScriptName();
  const std::string query = QueryValue(qs);
  const std::string& images = config::GetImageDir();
  for (const web::Action& button : web::Actions()) {
    if (button.image.empty()) continue;
    const std::string& base_url = LinkBase(out);
    base::Printf(out, "<TD><A HREF=%s%s?%s=%s&%s=%s", base_url, script, "CMD", button.cmd, "Num",
                 safe_name);
    base::Printf(out, "&QS=%s", query);
    base::Write(out, ">");
    base::Printf(out, "<IMG NAME=%s%s SRC=%s%s/%s.gif WIDTH=30 HEIGHT=20 ALT=\"%s\"", button.cmd,
                 suffix, base_url, images, button.image, config::Msg(button.label));
    base::Write(out, " BORDER=0></A> </TD>\n");
  }
  base::Write(out, "</TR></TABLE>\n");
}

void WriteSheetBody(const store::FactSheet& sheet, base::Stream out) {
  const std::string script = out ? AbsoluteBase() + web::ScriptName() : web::ScriptName();
  WriteHeaderTable(sheet, out);
  WriteEntries(sheet, out, script);
  base::Write(out, "<TABLE BORDER=1 WIDTH=100%>\n");
  base::Printf(out, "<TR><TD><PRE>%s</PRE></TD></TR>\n", Esc(sheet.log));
  base::Write(out, "</TABLE><P>\n");
}

void WriteEscaped(base::Stream out, std::string_view text) {
  std::string html;
  html.reserve(text.size() + text.size() / 4);
  for (char c : text) {
    switch (c) {
      case '\n':
        html += "<BR>\n";
        break;
      case '<':
        html += "&lt;";
        break;
      case ' ':
        html += "&nbsp;";
        break;
      default:
        html += c;
    }
  }
  base::Write(out, html);
}

std::string EncodeQS(std::string_view text) {
  return base::UrlEncode(text, /*blank_as_plus=*/false);
}

}  // namespace sheets
