// The answers of a find request: the result page (a compact list, then every sheet in
// full), the printed index, and the export file "bugs.dat".
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "search/find.h"
#include "store/sheet.h"
#include "web/params.h"

namespace search {

// CMD=find, and a request carrying find, Numero, or Num without CMD: the head, the criteria
// summary when asked, the search, the sort and the output the request chooses.
void RunFind(const web::ParamList& params);

// The hits a result page shows in full: [first, end); `size` is the page size, 0 when every
// hit is shown.
struct ResultWindow {
  size_t first = 0;
  size_t end = static_cast<size_t>(-1);
  size_t size = 0;
};

// The criteria summary: each criterion given, the date window, the ticked statuses.
void WriteCriteria(const web::ParamList& params);

// The compact list: the count with the print link, then one row per hit, each linking to
// the anchor of its sheet in the full listing, or (`lean`: the list alone) to its own page.
void WriteResultList(const FoundList& hits, const web::ParamList& params,
                     const ResultWindow& window = {}, bool lean = false);

// Every hit in full, its action bar carrying the search's query.
void WriteFullSheets(const FoundList& hits, const ResultWindow& window = {});

// The printed index: the table on the page, and handed to the print command.
void PrintIndex(const FoundList& hits, const web::ParamList& params);
// Its text: the count, then per hit the name, severity, status code, change request and
// version when shown, responsible, each padded to its column, and the title.
std::string FormatPrintIndex(const FoundList& hits, bool show_mdapda, bool show_version);
// Appends `text`, then blanks up to `width` characters.
void WritePadded(std::string& out, size_t width, std::string_view text);

// The export rows: the header of column names, then one row per hit.
void ExportSheets(const FoundList& hits);
// The export of a search by criteria, in the order the request's sort asks, holding only a
// key and a place per hit: memory a few bytes a sheet, whatever the sheets hold. False, with
// nothing written, for hits it cannot key (texts beyond its ranks).
bool ExportInOrder(const web::ParamList& params);
// When an export found no copy of the index in name order to read, makes one after the page,
// in a process of its own that the web server does not wait for (store::kIndexCopyFolder).
void MakeIndexCopyAfterPage();
// Makes that copy now, unless one matches the index already; false when none could be made.
bool MakeIndexCopy();
// A hit read back: its index line split into every field, the line, its place in the order.
using EachHit = std::function<void(const store::HeaderView& h, std::string_view line, size_t i)>;
// Hands `each` the hits from `first` up to `end` (not included), in order.
using ReadHits = std::function<void(size_t first, size_t end, const EachHit& each)>;
// The hits of a search by criteria in the order the request's sort asks, walking the index
// once and holding a key and a place per hit (as ExportInOrder): `on_match` (may be empty)
// sees each hit during the walk, split at least to its first `fields` fields; then `use` gets
// their count and reads them back, as often as it likes. A data file keeps only the hits with
// a sheet name; a page keeps every hit. False, after the walk and with nothing read back, for
// hits it cannot key (texts beyond its ranks, a hit without a sheet name on a page).
bool ForEachHitInOrder(const web::ParamList& params, size_t fields,
                       const std::function<void(const store::HeaderView&)>& on_match,
                       const std::function<void(size_t count, const ReadHits& read)>& use);
// The 27 header fields of a sheet in readable form, each followed by a tab but the last,
// which ends the row with a line feed, each written as base::TsvField.
std::string FormatExportLine(const store::FactSheet& sheet);

}  // namespace search
