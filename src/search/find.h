// The search over the index: the criteria of a find request, the hits it keeps, their order.
//
// The index is streamed once; a sheet file is opened only for the full-text criterion, and
// only for a sheet that every other criterion and the rights have kept.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "store/index.h"
#include "store/sheet.h"
#include "web/params.h"

namespace search {

// One hit: what the result list, the printed index and the sort need of a sheet.
struct FoundSheet {
  std::string name;
  int sev = 0;
  int status = 0;
  int impact = 0;
  std::string mdapda;
  std::string shownVersion;  // the version aff_versSel chooses; empty for none
  std::string resp;
  std::string title;
  // The whole sheet, when finding it meant reading its file (the quick view by name): the
  // page shows it without reading the file again.
  std::shared_ptr<const store::FactSheet> sheet;
  // Its index line, kept for the export only: the line is its sheet's header, and the export
  // takes the row from it rather than open every sheet file.
  std::string line;
};
using FoundList = std::vector<FoundSheet>;

// The name of the search form's check box for status `code`: "stat" and the status letter.
std::string StatusBoxName(int code);

// A value the request carries with something in it: not missing, not beginning with a blank.
bool IsGiven(std::string_view value);

// A time from "day/month/year:hour.minute.second" in local time, read with
// "%2d/%2d/%4d:%2d.%2d.%2d" (fields not read count as 0); 0 for a text under 17 characters.
long ParseSearchDate(std::string_view text);

// True when the sheet file `name` of the data directory holds `text` on one of its lines.
// Every line is searched, whatever its length; a name that is no sheet name, a missing
// file and a text with a line feed hold nothing.
bool SheetContains(std::string_view name, std::string_view text);

// The hit of the index line `line` (parsed into `sheet`), showing the version `choice`
// (aff_versSel's first character) names.
FoundSheet FoundOfLine(std::string_view line, char choice, store::FactSheet& sheet);
// The header field of that version; kHeaderFieldCount for none.
size_t ShownVersionAt(char choice);

// The sheets of the index that meet the request: by name (find, Num, Numero) or by every
// criterion, within the user's rights when security is on; newest index line first. A page
// asks for the login first (users::RequireLogin). `rights_read`: a walk of this request has
// read the rights already, and its page says so; this one reads them quietly.
FoundList FindSheets(const web::ParamList& params, bool rights_read = false);

// Whether the request finds sheets by name (find, Num or Numero given) rather than by criteria.
bool IsSearchByName(const web::ParamList& params);
// The sheets of `index` that meet every criterion of the request and the user's rights, in
// index order, each with its index line split into fields and that line's offset (for
// IndexFile::LineAt). Only the first `fields` fields of the view (and those the criteria
// read) are sure to be set.
void ForEachMatch(
    const web::ParamList& params, store::IndexFile& index,
    const std::function<void(const store::HeaderView&, std::string_view line, long long at)>& each,
    size_t fields = store::kHeaderFieldCount, bool rights_read = false);

// ForEachMatch for a data file (rights read quietly), over the two halves of the index at
// once: this thread walks the first (`part` 0), a helper thread the second (`part` 1), each
// calling `each` on its own thread. False, with nothing done, when the request searches the
// sheets' full text (the walk then takes one thread).
bool ForEachMatchInTwo(const web::ParamList& params, store::IndexFile& index,
                       const std::function<void(int part, const store::HeaderView&,
                                                std::string_view line, long long at)>& each,
                       size_t fields = store::kHeaderFieldCount);

// The criteria of a find request for a data file and the user's rights (read quietly), read
// once, for lines tested on several threads: each thread with a view and a scratch text of
// its own. Not Usable when the request searches the sheets' full text.
class LineRules {
 public:
  LineRules(const web::ParamList& params, size_t fields);
  ~LineRules();
  LineRules(const LineRules&) = delete;
  LineRules& operator=(const LineRules&) = delete;
  bool Usable() const;
  // Whether `line` meets every criterion and the rights; `view` then holds its first
  // `fields` fields (and those the criteria read).
  bool Meets(std::string_view line, store::HeaderView& view, std::string& scratch) const;

 private:
  struct Held;
  std::unique_ptr<Held> held_;
  size_t fields_ = 0;
};

// Comparisons of two hits: negative, zero or positive. Texts compare by byte values.
using Compare = int (*)(const FoundSheet&, const FoundSheet&);
int CompareByStatus(const FoundSheet& a, const FoundSheet& b);  // status, severity, name
int CompareByName(const FoundSheet& a, const FoundSheet& b);
int CompareByResp(const FoundSheet& a, const FoundSheet& b);    // resp, name
int CompareByImpact(const FoundSheet& a, const FoundSheet& b);  // impact, severity, name
int CompareByTitle(const FoundSheet& a, const FoundSheet& b);
// The comparison the first character of `sort` names: "0" status, "2" resp, "3" impact,
// "4" title, anything else the name.
Compare CompareFor(std::string_view sort);

// Sorts in place; hits that compare equal keep their order.
void SortFound(FoundList& hits, Compare compare);

}  // namespace search
