// Pieces shared by the statistics pages: the request's view, the selectors of the forms,
// the walk over the index and the link values.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "store/sheet.h"
#include "web/params.h"

namespace stats {

// What a statistics page was asked for. Values are the raw request values: a missing one is
// the one-blank string.
struct View {
  const web::ParamList& list;
  int page = 0;
  std::string project;
  std::string group;

  bool HasProject() const { return !project.empty() && !web::IsAbsent(project); }
  bool HasGroup() const { return !group.empty() && !web::IsAbsent(group); }
  // The statistics group shown: the requested one, "TOTAL" when none is requested.
  std::string GroupOrTotal() const { return HasGroup() ? group : "TOTAL"; }
};

// The line of a page that counts sheets when there is none to count yet.
inline constexpr int kNoSheetsYet = 2591;

// A value for a link: a blank becomes "+", the characters that would end or change the
// value or the markup ("&", "#", "%", "+", "=", "?", quotes, "<", ">", controls) become
// "%XX"; everything else stays, so ordinary names are written as they are.
std::string LinkValue(std::string_view text);

// The HTML-escaped script name.
std::string Script();

// The changePage script every view starts with.
void WriteChangePageScript();

// Opens the view form: "<FORM ...>", the hidden CMD and statS (`hidden_page`), the token
// when the user is logged in, and the table cell with the project label.
void OpenViewForm(const View& view, int hidden_page);
// The token field alone, for forms that carry no other hidden field.
void WriteUidField();

// The project selector "PMENU"; `extra` follows the project in every option's address.
void WriteProjectSelector(const View& view, std::string_view extra);

// The group selector "SPMENU" over the project's statistics files, latest name first, after
// the given first option; `extra` follows the group in every option's address.
void WriteStatsGroupSelector(const View& view, std::string_view first_option,
                             std::string_view extra);

// The names of the statistics directory not beginning with ".", in ascending byte order.
std::vector<std::string> ListStatsDirectory();

// "<statistics directory>/<project>.<group>" of the view (group "TOTAL" when none is asked);
// empty when the names could lead out of the directory.
std::string ViewFilePath(const View& view);

// Calls `each` for every header line of the index, in index order; false when there is no
// index.
bool WalkIndex(const std::function<void(const store::FactSheet&)>& each);

// The pages.
void WriteMenu(const View& view);
void WriteWorkload(const View& view);
void WriteHistoryTable(const View& view);
void WritePrograms(const View& view);
void WriteMonthly(const View& view);
void WritePlotPage(const View& view);
void WriteDataPage(const View& view);

}  // namespace stats
