#include "sheets/display.h"

#include <fmt/compile.h>
#include <fmt/format.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <optional>
#include <vector>

#include "base/append.h"
#include "base/encode.h"
#include "base/request_state.h"
#include "config/labels.h"
#include "config/language.h"
#include "config/main_config.h"
#include "config/projects.h"
#include "sheets/action_table.h"
#include "store/store.h"
#include "web/cookies.h"
#include "web/page.h"

namespace sheets {
namespace {

// The links and images of the action bar, but for the sheet's name: the same for every
// sheet of the page, so they are made once.
struct BarPieces {
  std::string link;   // up to the name in the link
  std::string image;  // from the name to the image's name
  std::string rest;   // from the image's name to the end
};

// What the display keeps for the rest of the request: the number of action bars written
// so far (the anchor of the next one) and the absolute base of links in mail files.
struct DisplayState {
  int bars = 0;
  std::optional<std::string> mail_base;
  // The action bar's pieces, for the query and the kind of output they were made for.
  std::optional<std::vector<BarPieces>> bar;
  std::string bar_qs;
  bool bar_to_file = false;
  // The script the entries link to: on the page, and with the absolute base in a file.
  std::optional<std::string> page_script, file_script;
  // The labels of the sheet's header (messages 100 to 139), looked up once.
  std::array<const std::string*, 40> labels{};
};

// Message `n` (100 to 139) of the language table.
const std::string& Label(int n) {
  const std::string*& label = base::Cache<DisplayState>().labels[n - 100];
  if (!label) label = &config::Msg(n);
  return *label;
}

constexpr std::string_view kHexDigits = "0123456789ABCDEF";

bool IsAlnum(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

void AppendHex(std::string& out, unsigned char c) {
  out += '%';
  out += kHexDigits[c >> 4];
  out += kHexDigits[c & 15];
}

}  // namespace

// The BASEURL value; without it "http://<HOSTNAME>", with ":<SERVER_PORT>" unless the port is
// 80 (or unknown) or HOSTNAME names a port itself.
std::string AbsoluteBase() {
  std::string base = config::GetBaseUrl();
  if (!base.empty()) return base;
  std::string host = config::GetConfig("HOSTNAME");
  const char* port = std::getenv("SERVER_PORT");
  if (port && *port && std::string_view(port) != "80" && config::MailHost() == host)
    return base::Sprintf("http://%s:%s", host, port);
  return base::Sprintf("http://%s", host);
}

namespace {

// The base of the bar's links: empty on the page, absolute in a file.
const std::string& LinkBase(base::Stream out) {
  static const std::string kNone;
  if (!out) return kNone;
  DisplayState& state = base::Cache<DisplayState>();
  if (!state.mail_base) state.mail_base = AbsoluteBase();
  return *state.mail_base;
}

// The script of the entries' links: absolute in a file.
const std::string& Script(base::Stream out) {
  DisplayState& state = base::Cache<DisplayState>();
  std::optional<std::string>& script = out ? state.file_script : state.page_script;
  if (!script) script = out ? AbsoluteBase() + web::ScriptName() : web::ScriptName();
  return *script;
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

using base::Cat;
using base::Html;
using base::Put;

void AppendHeaderTable(std::string& out, const store::FactSheet& sheet, const std::string& name) {
  Cat(out, "<TABLE BORDER=1 WIDTH=100%>", "<TR><TD><B>", name, "</B>");
  // The names it had before it moved, which still lead to it.
  std::string former;
  for (const std::string& old : store::FormerNames(sheet))
    if (old != name) former += (former.empty() ? "" : ", ") + old;
  if (!former.empty()) Cat(out, " (", config::Msg(570), " ", Html{former}, ")");
  Put(out, "</TD>\n");
  Cat(out, "<TD>", store::FormatDate(sheet.created), "</TD>\n");
  Cat(out, "<TD>", Label(119), " : <B>", store::GetStatusLabel(sheet.status), "</B></TD>\n");
  Cat(out, "<TD>", Label(113), " :<B> ", Html{sheet.submitter}, "</B></TD>\n", "</TR>\n");

  Cat(out, "<TR><TD COLSPAN=4>", Label(106), " : <B>", Html{sheet.title}, "</B></TD></TR>\n");

  Cat(out, "<TR><TD>", Label(100), " : <B>", Html{sheet.project}, "<B></TD>\n");
  Cat(out, "<TD>", Label(101), " : ", Html{sheet.group}, "</TD>\n");
  Cat(out, "<TD>", Label(102), " : ", Html{config::GetPhaseName(sheet.phase)}, "</TD>\n");
  Cat(out, "<TD>", Label(108), " : ", Html{sheet.prog}, "</TD></TR>\n");

  Cat(out, "<TR><TD>", Label(109), " : <B>", config::GetSeverityLabel(sheet.sev), "<B></TD>\n");
  Cat(out, "<TD>", Label(110), " : ", Html{sheet.version}, "</TD>\n");
  Cat(out, "<TD>", Label(111), " : ", Html{sheet.exp}, "</TD>\n");
  Cat(out, "<TD>", Label(104), " : ", Html{config::GetImpactName(sheet.impact)}, "</TD></TR>\n");

  Cat(out, "<TR><TD>", Label(123), " : ", config::GetTypeLabel(sheet.type), "</TD>\n");
  // The change request under its own label (112 is the type's).
  Cat(out, "<TD>", Label(115), " : ", Html{sheet.mdapda}, "</TD>\n");
  Cat(out, "<TD>", Label(117), " : <B>", Html{sheet.resp}, "</B></TD>\n");
  Cat(out, "<TD>", Label(124), " : ", static_cast<long>(sheet.Load), "</TD></TR>\n");

  if (sheet.status == store::kPostponed)
    Cat(out, "<TR><TD COLSPAN=4>", Label(125), " : ", store::FormatDate(sheet.postponed),
        "</TD></TR>\n");
  // These two lines are formats of the language file, applied as such.
  if (sheet.status == store::kCorrected || sheet.status == store::kVerified) {
    Cat(out, "<TR><TD COLSPAN=3>",
        base::Sprintf(Label(126), base::EscapeHtml(sheet.corrector),
                      store::FormatDate(sheet.corrDate), base::EscapeHtml(sheet.corrVers)));
    Cat(out, "</TD>\n<TD>", Label(127), " : ", static_cast<long>(sheet.corrLoad), "</TD></TR>\n");
  }
  if (sheet.status == store::kVerified) {
    Cat(out, "<TR><TD COLSPAN=4>",
        base::Sprintf(Label(128), base::EscapeHtml(sheet.verifier),
                      store::FormatDate(sheet.verDate), base::EscapeHtml(sheet.verVers)),
        "</TD></TR>\n");
  }
  if (!sheet.test.empty())
    Cat(out, "<TD COLSPAN=4>", Label(129), ": ", Html{sheet.test}, "</TD></TR>\n");
  Put(out, "</TABLE>\n");
}

bool IsWordByte(unsigned char c) {
  return IsAlnum(c) || c == '_' || c == '-';
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

// The length of the web address at the start of `text`: "http://" or "https://" and what
// follows up to a blank, a line end or a character that cannot be in an address; the
// punctuation that ends a sentence is not taken, nor a closing bracket the address did not
// open. 0 when `text` starts with no address.
size_t AddressLength(std::string_view text) {
  size_t scheme = StartsWithNoCase(text, "http://")    ? 7
                  : StartsWithNoCase(text, "https://") ? 8
                                                       : 0;
  if (scheme == 0) return 0;
  size_t end = scheme;
  while (end < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[end]);
    if (c <= ' ' || c >= 0x7F || c == '<' || c == '>' || c == '"' || c == '`') break;
    ++end;
  }
  long open = 0;  // brackets opened and not closed
  for (size_t i = scheme; i < end; ++i) open += text[i] == '(' ? 1 : text[i] == ')' ? -1 : 0;
  while (end > scheme) {
    char last = text[end - 1];
    if (last == ')' && open < 0)
      ++open;
    else if (std::string_view(".,;:!?'").find(last) == std::string_view::npos)
      break;
    --end;
  }
  return end > scheme ? end : 0;
}

// The length of the sheet name at the start of `text` ("TaG.00012": a prefix of three
// letters or digits or more (project, phase and sub-project), the first a letter, a "." and
// five digits or more, the word ending there); 0 when `text` starts with none, as a version
// such as "v1.00012".
size_t SheetNameLength(std::string_view text) {
  if (text.empty() || !IsAlnum(static_cast<unsigned char>(text[0])) ||
      (text[0] >= '0' && text[0] <= '9'))
    return 0;
  size_t dot = 0;
  while (dot < text.size() && IsWordByte(static_cast<unsigned char>(text[dot]))) ++dot;
  if (dot < 3 || dot >= text.size() || text[dot] != '.') return 0;
  size_t end = dot + 1;
  while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
  if (end - dot - 1 < 5) return 0;
  if (end < text.size() && IsWordByte(static_cast<unsigned char>(text[end]))) return 0;
  return store::IsSheetName(text.substr(0, end)) ? end : 0;
}

// Bytes `from` to `to` of an entry's text as page text: line feeds become breaks, '<' "&lt;"
// and '"' "&quot;". A single blank between two words is a plain blank, so the text wraps to the
// screen; blanks at the start of a line and runs of blanks become "&nbsp;", so indented and
// aligned text keeps its shape.
void AppendPlainText(std::string& out, std::string_view text, size_t from, size_t to) {
  auto gap = [&text](size_t at) {
    return at >= text.size() || text[at] == ' ' || text[at] == '\n' || text[at] == '\r';
  };
  for (size_t i = from; i < to; ++i) {
    const char c = text[i];
    if (c == '\n')
      out += "<BR>\n";
    else if (c == '<')
      out += "&lt;";
    else if (c == '"')
      out += "&quot;";  // text, never the end of an attribute
    else if (c == ' ')
      out += i > 0 && !gap(i - 1) && !gap(i + 1) ? " " : "&nbsp;";
    else
      out += c;
  }
}

// A link in an entry: the address escaped for a quoted attribute; the text (an address or a
// name, which hold no blank, '<' or line end) as it is.
void AppendLink(std::string& out, std::string_view href, std::string_view text) {
  out += "<A HREF=\"";
  for (char c : href) {
    if (c == '&')
      out += "&amp;";
    else if (c == '"')
      out += "&quot;";
    else if (c == '<')
      out += "&lt;";
    else
      out += c;
  }
  Cat(out, "\">", text, "</A>");
}

// An entry's text as page text (see AppendPlainText), with the web addresses and the sheet
// names it holds as links: a sheet links to its page through `script`.
void AppendEntryText(std::string& out, std::string_view text, const std::string& script) {
  out.reserve(out.size() + text.size() + text.size() / 4);
  size_t plain = 0;  // the start of the text not yet written
  for (size_t i = 0; i < text.size(); ++i) {
    // Links start a word only.
    if (i > 0 && IsWordByte(static_cast<unsigned char>(text[i - 1]))) continue;
    std::string_view rest = text.substr(i);
    size_t address = AddressLength(rest);
    size_t sheet = address ? 0 : SheetNameLength(rest);
    if (!address && !sheet) continue;
    AppendPlainText(out, text, plain, i);
    if (address) {
      AppendLink(out, rest.substr(0, address), rest.substr(0, address));
      i += address - 1;
    } else {
      AppendLink(out, base::Sprintf("%s?Num=%s", script, rest.substr(0, sheet)),
                 rest.substr(0, sheet));
      i += sheet - 1;
    }
    plain = i + 1;
  }
  AppendPlainText(out, text, plain, text.size());
}

void AppendEntries(std::string& out, const store::FactSheet& sheet, const std::string& name,
                   const std::string& script) {
  Put(out, "<TABLE BORDER=1 WIDTH=100%>\n");
  long number = 0;
  for (const store::SheetEntry& entry : sheet.entries) {
    if (entry.kind == store::kAttachmentEntry) {
      Cat(out, "<TR><TD><B><A HREF=\"", script,
          "?CMD=FILE&title=", PathValue(AttachedPath(entry.text)), "\">");
    } else {
      Cat(out, "<TR><TD><B><A HREF=", script, "?CMD=Edit&Num=", name, "&Edit=", number, ">");
    }
    Cat(out, Html{entry.name}, "</A></B></TD>\n");
    Cat(out, "<TD>", store::FormatDate(entry.time), "</TD>\n");
    Cat(out, "<TD>", Html{entry.who}, "</TD></TR>\n");
    if (entry.kind != store::kAttachmentEntry) {
      Put(out, "<TR><TD COLSPAN=3>");
      AppendEntryText(out, entry.text, script);
      Put(out, "</FONT></TD>");
    }
    ++number;
  }
  Put(out, "</TABLE>\n");
}

const std::vector<BarPieces>& ActionBarPieces(base::Stream out, std::string_view qs) {
  DisplayState& state = base::Cache<DisplayState>();
  const bool to_file = out != nullptr;
  if (!state.bar || state.bar_qs != qs || state.bar_to_file != to_file) {
    state.bar.emplace();
    state.bar_qs = qs;
    state.bar_to_file = to_file;
    const std::string& base_url = LinkBase(out);
    const std::string script = web::ScriptName();
    const std::string query = QueryValue(qs);
    const std::string& images = config::GetImageDir();
    for (const Action& button : Actions()) {
      if (button.image.empty()) continue;
      BarPieces& p = state.bar->emplace_back();
      Cat(p.link, "<TD><A HREF=", base_url, script, "?CMD=", button.cmd, "&Num=");
      Cat(p.image, "&QS=", query, "><IMG NAME=", button.cmd);
      // The label names the action twice: as the tooltip and for a page without images.
      Cat(p.rest, " SRC=", base_url, images, "/", button.image, ".gif WIDTH=30 HEIGHT=20 ALT=\"",
          config::Msg(button.label), "\" TITLE=\"", config::Msg(button.label),
          "\" BORDER=0></A> </TD>\n");
    }
  }
  return *state.bar;
}

}  // namespace

void WriteActionBar(base::Stream out, std::string_view name, std::string_view qs) {
  std::string html;
  html.reserve(8192);
  AppendActionBar(html, out, name, qs);
  base::Write(out, html);
}

namespace {
// The name a form's request asked for, when the sheet has moved since (NoteMovedFrom).
struct MovedFrom {
  std::string asked, name;
};
}  // namespace

void NoteMovedFrom(std::string asked, std::string name) {
  base::Cache<MovedFrom>() = {std::move(asked), std::move(name)};
}

void WriteMovedNote() {
  const MovedFrom& moved = base::Cache<MovedFrom>();
  if (moved.asked.empty()) return;
  base::Page("<P><B>%s</B></P>\n", base::Sprintf(config::Msg(571), base::EscapeHtml(moved.asked),
                                                 base::EscapeHtml(moved.name)));
}

void ShowWillAppear(std::string_view name) {
  web::WriteHomeLink();
  base::Page("<P>stored as %s, will appear shortly<P>\n", base::EscapeHtml(name));
}

void WriteSheetBody(const store::FactSheet& sheet, base::Stream out) {
  std::string html;
  html.reserve(8192);
  AppendSheetBody(html, sheet, out);
  base::Write(out, html);
}

void AppendActionBar(std::string& html, base::Stream out, std::string_view name,
                     std::string_view qs) {
  DisplayState& state = base::Cache<DisplayState>();
  Put(html, "<a name=");
  fmt::format_to(std::back_inserter(html), FMT_COMPILE("{:05d}"), state.bars++);
  Put(html, ">\n<TABLE BORDER=0 CELLSPACING=0 CELLPADDING=0 WIDTH=100%>\n<TR>\n");
  const std::string safe_name = base::EscapeHtml(name);
  std::string suffix = safe_name;
  for (char& c : suffix)
    if (c == '.') c = '_';
  for (const BarPieces& p : ActionBarPieces(out, qs))
    Cat(html, p.link, safe_name, p.image, suffix, p.rest);
  Put(html, "</TR></TABLE>\n");
}

void AppendSheetBody(std::string& html, const store::FactSheet& sheet, base::Stream out) {
  const std::string name = base::EscapeHtml(store::GetSheetName(sheet));
  AppendHeaderTable(html, sheet, name);
  AppendEntries(html, sheet, name, Script(out));
  Cat(html, "<TABLE BORDER=1 WIDTH=100%>\n", "<TR><TD><PRE>", Html{sheet.log}, "</PRE></TD></TR>\n",
      "</TABLE><P>\n");
}

std::string EncodeQS(std::string_view text) {
  return base::UrlEncode(text, /*blank_as_plus=*/false);
}

}  // namespace sheets
