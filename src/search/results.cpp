#include "search/results.h"

#include <algorithm>
#include <functional>
#include <optional>

#include "base/append.h"
#include "base/encode.h"
#include "base/out.h"
#include "config/labels.h"
#include "config/language.h"
#include "config/main_config.h"
#include "sheets/display.h"
#include "sheets/print.h"
#include "store/store.h"
#include "users/login.h"
#include "web/cookies.h"
#include "web/page.h"
#include "web/request.h"
#include "web/response.h"

namespace search {
namespace {

using base::Cat;
using base::Html;
using config::Msg;

constexpr int kMsgChangeNotListedYet = 603;

// The rows of the result list, and its sheets, go out in pieces of about this size.
constexpr size_t kRowsChunk = 1 << 16;

constexpr std::string_view kHexDigits = "0123456789ABCDEF";

// The request's query for an unquoted link attribute: already url-encoded by the browser,
// it passes as it is, but a byte that could end the attribute or open markup is encoded.
std::string QueryForLink(std::string_view query) {
  std::string out;
  out.reserve(query.size());
  for (unsigned char c : query) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 std::string_view("%&=+._-~*").find(static_cast<char>(c)) != std::string_view::npos;
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHexDigits[c >> 4];
      out += kHexDigits[c & 15];
    }
  }
  return out;
}

// The title of the result page over its home link.
void WriteResultHead() {
  base::Write(nullptr, "<Table Width=100% Cellpadding=0 Cellspacing=0 border=0>\n");
  base::Page("<TR><TD ALIGN=LEFT><BIG>%s</BIG>\n", Msg(2113));
  base::Write(nullptr, "</TD>\n<TD ALIGN=RIGHT Valign=TOP>\n");
  base::Page("<A HREF=\"?%s\">", base::EscapeHtml(web::UidSuffix()));
  base::Page("<IMG SRC=\"%s/home.gif\" BORDER=0 VALIGN=CENTER ALT=\"QUORB\"></A>\n",
             config::GetImageDir());
  base::Write(nullptr, "</TD></TR></Table>\n<HR>\n");
}

// The request's query without its `From` parameter, ready for a link.
std::string QueryWithoutFrom() {
  std::string out;
  std::string_view raw = web::GetRawQuery();
  while (!raw.empty()) {
    size_t end = raw.find('&');
    std::string_view part = raw.substr(0, end);
    raw = end == std::string_view::npos ? std::string_view() : raw.substr(end + 1);
    if (part.empty() || part.starts_with("From=")) continue;
    if (!out.empty()) out += '&';
    out += part;
  }
  return QueryForLink(out);
}

// The address of the result page that shows hit `first` onwards in full.
std::string PageLink(size_t first) {
  return base::Sprintf("%s?%s&From=%d", base::EscapeHtml(web::ScriptName()), QueryWithoutFrom(),
                       static_cast<int>(first));
}

// Which hits a result page shows in full: at most PAGESIZE from `From` (0: all).
ResultWindow WindowOf(size_t count, const web::ParamList& params) {
  ResultWindow window{0, count, 0};
  const int size = config::GetPageSize();
  if (size <= 0 || count <= static_cast<size_t>(size)) return window;
  window.size = static_cast<size_t>(size);
  int from = web::GetParamInt(params, "From");
  size_t first = from > 0 ? static_cast<size_t>(from) : 0;
  if (first >= count) first = 0;
  first -= first % window.size;
  window.first = first;
  window.end = std::min(count, first + window.size);
  return window;
}

// The links to the previous and the next page, and which sheets this page shows in full.
void WritePageLinks(size_t count, const ResultWindow& window) {
  if (!window.size) return;
  base::Write(nullptr, "<P>");
  base::Page(Msg(2123), base::Sprintf("%d-%d / %d", static_cast<int>(window.first + 1),
                                      static_cast<int>(window.end), static_cast<int>(count)));
  if (window.first > 0)
    base::Page(" &nbsp; <A HREF=\"%s\">&lt;&lt; %s</A>", PageLink(window.first - window.size),
               Msg(2122));
  if (window.end < count)
    base::Page(" &nbsp; <A HREF=\"%s\">%s &gt;&gt;</A>", PageLink(window.end), Msg(2121));
  base::Write(nullptr, "</P>\n");
}

// The rows of the compact list, made one hit at a time and written in pieces. Each links to
// the anchor of its sheet in the full listing, or (`lean`: the list alone) to its own page.
class ListRows {
 public:
  // Writes the count with the print link, and opens the table.
  ListRows(const web::ParamList& params, size_t count, const ResultWindow& window, bool lean)
      : window_(window),
        lean_(lean),
        show_mdapda_(IsGiven(web::GetParam(params, "aff_mdapda"))),
        show_version_(IsGiven(web::GetParam(params, "aff_vers"))),
        sheet_link_(base::EscapeHtml(web::ScriptName()) + "?Num="),
        uid_(base::EscapeHtml(web::UidSuffix())) {
    base::Write(nullptr, "<TABLE CELLSPACING=0 BORDER=0 CELLPADDING=0 WIDTH=100%>\n<TR><TD>\n<H2>");
    base::Page(Msg(2111), std::to_string(count));
    base::Write(nullptr, "</H2>\n</TD><TD ALIGN=RIGHT WIDTH=35>\n");
    base::Page("<A HREF=%s?%s=yes&%s>\n", base::EscapeHtml(web::ScriptName()), "Print",
               QueryForLink(web::GetRawQuery()));
    base::Page("<IMG SRC=%s/print.gif BORDER=0 VALIGN=CENTER ALT=\"%s\"></A>",
               config::GetImageDir(), Msg(156));
    base::Write(nullptr, "</TD></TR></TABLE>\n");
    base::Write(nullptr, "<TABLE CELLSPACING=0 BORDER=0 CELLPADDING=0>\n");
  }

  // The row of hit `i`.
  void Add(const FoundSheet& hit, size_t i) {
    // A sheet shown on another page is reached through that page; in a list alone, each
    // sheet is reached on its own page.
    if (lean_) {
      Cat(rows_, "<TR><TD WIDTH=10%><A HREF=\"", sheet_link_, Html{hit.name}, uid_, "\"");
    } else if (i >= window_.first && i < window_.end) {
      rows_ += "<TR><TD WIDTH=10%><A HREF=#";
      fmt::format_to(std::back_inserter(rows_), "{:05d}", static_cast<int>(i - window_.first));
    } else {
      const size_t page_first = i - i % window_.size;
      if (page_link_.empty()) {
        page_link_ = PageLink(0);
        page_link_.pop_back();  // the "0"
      }
      Cat(rows_, "<TR><TD WIDTH=10%><A HREF=\"", page_link_,
          std::to_string(static_cast<int>(page_first)), "#");
      fmt::format_to(std::back_inserter(rows_), "{:05d}\"", static_cast<int>(i - page_first));
    }
    Cat(rows_, ">", Html{hit.name}, "</A> </TD>");
    Cat(rows_, "<TD WIDTH=5% ALIGN=CENTER>", static_cast<long>(hit.sev), "</TD>\n");
    Cat(rows_, "<TD WIDTH=5% ALIGN=CENTER>", store::GetStatusCode(hit.status), "</TD>\n");
    if (show_mdapda_) Cat(rows_, "<TD WIDTH=10%> ", Html{hit.mdapda}, " </TD>");
    if (show_version_) Cat(rows_, "<TD WIDTH=10%> ", Html{hit.shownVersion}, " </TD>");
    Cat(rows_, "<TD WIDTH=10%> ", Html{hit.resp}, " </TD>\n");
    Cat(rows_, "<TD WIDTH=70%> ", Html{hit.title}, "</TD></TR>\n");
    if (rows_.size() >= kRowsChunk) {
      base::Write(nullptr, rows_);
      rows_.clear();
    }
  }

  // The rows left, and the end of the table.
  void Finish() {
    base::Write(nullptr, rows_);
    base::Write(nullptr, "</TABLE>\n<HR>\n");
  }

 private:
  const ResultWindow window_;
  const bool lean_, show_mdapda_, show_version_;
  const std::string sheet_link_, uid_;
  std::string page_link_;  // PageLink without its number
  std::string rows_;
};

// The sheets are read and shown this many at a time.
constexpr size_t kSheetsChunk = 1024;

// The hits of the window in full, `names(first, end, into)` appending the names of hits
// [first, end) to `into`; `only`, when set, is the window's one hit, its sheet read already.
void WriteFullSheetsOf(
    const ResultWindow& window, size_t count,
    const std::function<void(size_t first, size_t end, std::vector<std::string>& into)>& names,
    const FoundSheet* only) {
  base::Page("<H2>%s </H2>\n", Msg(2112));
  const std::string qs = sheets::EncodeQS(web::GetRawQuery());
  std::string html;
  // Room for the chunks of a long list; one sheet (a quick view) needs a few pages at most.
  if (!only) html.reserve(2 * kRowsChunk);
  auto show = [&](const std::string& name, const store::FactSheet* sheet) {
    // Every hit gets its bar, and so its numbered anchor, even when its file has gone:
    // the links of the list count one anchor per hit.
    sheets::AppendActionBar(html, nullptr, name, qs);
    if (sheet) {
      sheets::AppendSheetBody(html, *sheet, nullptr);
    } else {
      Cat(html, "<FONT COLOR=RED>", Msg(config::kMsgCannotReadSheet), " ", Html{name},
          " <BR></FONT>\n");
    }
    if (html.size() >= kRowsChunk) {
      base::Write(nullptr, html);
      html.clear();
    }
  };
  const size_t end = std::min(window.end, count);
  if (only) {
    show(only->name, only->sheet.get());
  } else {
    std::vector<std::string> chunk;
    for (size_t first = window.first; first < end; first += kSheetsChunk) {
      chunk.clear();
      names(first, std::min(end, first + kSheetsChunk), chunk);
      store::ReadSheetsInOrder(chunk, [&](size_t i, std::optional<store::FactSheet>& sheet) {
        show(chunk[i], sheet ? &*sheet : nullptr);
      });
    }
  }
  base::Write(nullptr, html);
  base::Write(nullptr, "</BODY>\n");
}

// The widths of the printed index's columns: the longest of each.
struct PrintColumns {
  size_t name = 0, mdapda = 0, version = 0, resp = 0;
  void Widen(const FoundSheet& hit);
};
void AppendPrintRow(std::string& out, const FoundSheet& hit, const PrintColumns& widths,
                    bool show_mdapda, bool show_version);
std::string PrintIndexHead(size_t count);

// The result page or the printed index of a search by criteria, through the keyed walk:
// false, with nothing written, when it cannot key the hits.
bool ListInOrder(const web::ParamList& params);

}  // namespace

void RunFind(const web::ParamList& params) {
  // The list comes from the index: a change stored but left unfinished is finished first.
  const bool pending = store::ChangePending();
  const bool exporting = web::GetParam(params, "excel").starts_with('X');
  if (exporting) {
    web::ResponseHeader header;
    header.type = "application/octet-stream";
    header.disposition = "attachment; filename=" + web::QuotedFileName("bugs.dat");
    web::WriteResponseHeader(header);
  } else {
    web::WritePageHead(nullptr, "QUORB", "", params);
    WriteResultHead();
    // One that cannot be finished now is not in the list yet: the page says so.
    if (pending) base::Page("<P>%s<P>\n", Msg(kMsgChangeNotListedYet));
    // The summary is markup: it goes on the page, never into the data file.
    if (IsGiven(web::GetParam(params, "aff_crit"))) WriteCriteria(params);
  }
  if (exporting && !IsSearchByName(params) && ExportInOrder(params)) return;
  // A data file has no place for the login script.
  if (!exporting) users::RequireLogin(params);
  // A page whose hits the keyed walk could not order has had its rights read by that walk.
  bool rights_read = false;
  if (!exporting && !IsSearchByName(params)) {
    if (ListInOrder(params)) return;
    rights_read = true;
  }
  FoundList hits = FindSheets(params, rights_read);
  SortFound(hits, CompareFor(web::GetParam(params, "sort")));
  if (exporting) {
    ExportSheets(hits);
  } else if (web::GetParam(params, "Print").starts_with('y')) {
    PrintIndex(hits, params);
  } else {
    // The list stays complete; the sheets in full come a page at a time, unless the list
    // alone was asked for.
    const ResultWindow window = WindowOf(hits.size(), params);
    const bool lean = IsGiven(web::GetParam(params, "aff_list"));
    WriteResultList(hits, params, window, lean);
    if (lean) return;
    WritePageLinks(hits.size(), window);
    WriteFullSheets(hits, window);
    WritePageLinks(hits.size(), window);
  }
}

void WriteCriteria(const web::ParamList& params) {
  base::Page("<H2>%s</H2>", Msg(2102));
  struct Labelled {
    std::string_view name;
    int label;
  };
  static constexpr Labelled kCriteria[] = {
      {"project", 100},  {"group", 101},    {"submitter", 113}, {"sev", 109},  {"phase", 102},
      {"prog", 108},     {"version", 2103}, {"exp", 111},       {"resp", 117}, {"corrVers", 2104},
      {"verifier", 118}, {"verVers", 2105}, {"impact", 104},    {"type", 112}, {"adType", 115}};
  for (const Labelled& c : kCriteria) {
    const std::string& value = web::GetParam(params, c.name);
    if (!IsGiven(value) || (c.name == "resp" && value == "all")) continue;
    base::Page("%s = %s<br>\n", Msg(c.label), base::EscapeHtml(value));
  }
  for (auto [name, label] : {Labelled{"intext", 2009}, Labelled{"intitle", 2010}}) {
    std::string_view value = web::ValueOrEmpty(params, name);
    if (!value.empty()) base::Page("%s : '%s'<br>\n", Msg(label), base::EscapeHtml(value));
  }
  int window = web::GetParamInt(params, "ival");
  if (window >= 1 && window <= 3)
    base::Page("%s %s %s %s <BR>\n", Msg(2106 + window),
               base::EscapeHtml(web::GetParam(params, "between")), Msg(2110),
               base::EscapeHtml(web::GetParam(params, "and")));
  std::string statuses = "Status = ";
  for (int k = 0; k < store::kStatusCount; ++k)
    if (web::GetParam(params, StatusBoxName(k)).starts_with('X'))
      statuses += store::GetStatusLabel(k);
  statuses += "\n<BR>\n<HR>";
  base::Write(nullptr, statuses);
}

void WriteResultList(const FoundList& hits, const web::ParamList& params,
                     const ResultWindow& window, bool lean) {
  ListRows rows(params, hits.size(), window, lean);
  for (size_t i = 0; i < hits.size(); ++i) rows.Add(hits[i], i);
  rows.Finish();
}

void WriteFullSheets(const FoundList& hits, const ResultWindow& window) {
  const size_t end = std::min(window.end, hits.size());
  // Read already to be found.
  const FoundSheet* only =
      end == window.first + 1 && hits[window.first].sheet ? &hits[window.first] : nullptr;
  WriteFullSheetsOf(
      window, hits.size(),
      [&hits](size_t first, size_t end, std::vector<std::string>& names) {
        for (size_t i = first; i < end; ++i) names.push_back(hits[i].name);
      },
      only);
}

void WritePadded(std::string& out, size_t width, std::string_view text) {
  out += text;
  if (text.size() < width) out.append(width - text.size(), ' ');
}

namespace {

void PrintColumns::Widen(const FoundSheet& hit) {
  name = std::max(name, hit.name.size());
  mdapda = std::max(mdapda, hit.mdapda.size());
  version = std::max(version, hit.shownVersion.size());
  resp = std::max(resp, hit.resp.size());
}

void AppendPrintRow(std::string& out, const FoundSheet& hit, const PrintColumns& widths,
                    bool show_mdapda, bool show_version) {
  WritePadded(out, widths.name + 2, hit.name);
  WritePadded(out, 3, std::to_string(hit.sev));
  WritePadded(out, 3, store::GetStatusCode(hit.status));
  if (show_mdapda) WritePadded(out, widths.mdapda + 2, hit.mdapda);
  if (show_version) WritePadded(out, widths.version + 2, hit.shownVersion);
  WritePadded(out, widths.resp + 2, hit.resp);
  out += hit.title;
  out += '\n';
}

std::string PrintIndexHead(size_t count) {
  return base::Sprintf("Index of the %d reports \n\n", static_cast<int>(count));
}

}  // namespace

std::string FormatPrintIndex(const FoundList& hits, bool show_mdapda, bool show_version) {
  PrintColumns widths;
  for (const FoundSheet& hit : hits) widths.Widen(hit);
  std::string out = PrintIndexHead(hits.size());
  for (const FoundSheet& hit : hits) AppendPrintRow(out, hit, widths, show_mdapda, show_version);
  return out;
}

void PrintIndex(const FoundList& hits, const web::ParamList& params) {
  base::Write(nullptr, "<PRE>\n");
  // The print file is named by the system and handed to the command as one argument.
  sheets::PrintText(FormatPrintIndex(hits, IsGiven(web::GetParam(params, "aff_mdapda")),
                                     IsGiven(web::GetParam(params, "aff_vers"))));
}

namespace {

bool ListInOrder(const web::ParamList& params) {
  const bool print = web::GetParam(params, "Print").starts_with('y');
  const bool show_mdapda = IsGiven(web::GetParam(params, "aff_mdapda"));
  const bool show_version = IsGiven(web::GetParam(params, "aff_vers"));
  const std::string& version_choice = web::GetParam(params, "aff_versSel");
  const char choice = version_choice.empty() ? '\0' : version_choice.front();
  // The printed index's columns are as wide as their longest text: measured during the walk.
  PrintColumns widths;
  std::function<void(const store::HeaderView&)> measure;
  if (print)
    measure = [&widths, version_at = ShownVersionAt(choice)](const store::HeaderView& h) {
      widths.name = std::max(widths.name, store::GetSheetName(h).size());
      widths.mdapda = std::max(widths.mdapda, h[store::kMdapdaAt].size());
      if (version_at < store::kHeaderFieldCount)
        widths.version = std::max(widths.version, h[version_at].size());
      widths.resp = std::max(widths.resp, h[store::kRespAt].size());
    };
  store::FactSheet sheet;
  return ForEachHitInOrder(
      params, print ? size_t{store::kTitleAt} : 0, measure,
      [&](size_t count, const ReadHits& read) {
        if (print) {
          base::Write(nullptr, "<PRE>\n");
          // The rows go to the print file as they come; the page shows it once it is whole.
          sheets::PrintFile file;
          std::string rows = PrintIndexHead(count);
          read(0, count, [&](const store::HeaderView&, std::string_view line, size_t) {
            AppendPrintRow(rows, FoundOfLine(line, choice, sheet), widths, show_mdapda,
                           show_version);
            if (rows.size() >= kRowsChunk) {
              file.Append(rows);
              rows.clear();
            }
          });
          file.Append(rows);
          file.Print();
          return;
        }
        const ResultWindow window = WindowOf(count, params);
        const bool lean = IsGiven(web::GetParam(params, "aff_list"));
        ListRows rows(params, count, window, lean);
        read(0, count, [&](const store::HeaderView&, std::string_view line, size_t i) {
          rows.Add(FoundOfLine(line, choice, sheet), i);
        });
        rows.Finish();
        if (lean) return;
        WritePageLinks(count, window);
        WriteFullSheetsOf(
            window, count,
            [&](size_t first, size_t end, std::vector<std::string>& names) {
              read(first, end, [&](const store::HeaderView&, std::string_view line, size_t) {
                store::ParseHeader(line, sheet);
                names.push_back(store::GetSheetName(sheet));
              });
            },
            nullptr);
        WritePageLinks(count, window);
      });
}

}  // namespace

}  // namespace search
