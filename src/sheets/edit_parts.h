// Pieces shared by the edit, header and copy pages (sheets/edit.h).
#pragma once

#include <string>
#include <string_view>

#include "store/store.h"
#include "web/params.h"

namespace sheets::edit_parts {

// The acting-user list: an empty first choice, then the project's users with the current
// login selected.
void WriteUserSelect(std::string_view project);

// The submit button of the forms.
inline constexpr std::string_view kSubmit = "<inPUT TYPE=\"submit\" VALUE=\"OK\">\n";

// Reports a storing call that did not store: 504 when the sheet is gone, else 501 with the
// path of the file `name`.
void ReportNotStored(store::Stored stored, std::string_view name);

// The header fields as the file holds them (fields cut to their capacity, "|" outside the
// title written as "/"), so the page shows what was stored.
void NormaliseHeader(store::FactSheet& sheet);

}  // namespace sheets::edit_parts
