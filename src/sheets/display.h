// A fact sheet as HTML: the action bar with one button per command, the header table, the
// entries and the log. The same writers serve the page and a mail file; written to a file,
// every link is absolute so that it works from a mail reader.
#pragma once

#include <string>
#include <string_view>

#include "base/out.h"
#include "store/sheet.h"

namespace sheets {

// Reads the sheet `name` and writes its action bar and body to `out` (null: the page); when
// the sheet cannot be read, a red line with message 504 and the name.
void ShowSheet(std::string_view name, base::Stream out, std::string_view qs);

// The numbered anchor of the bar (counted over the request) and the row of seventeen
// buttons, each linking to its command for the sheet and carrying `qs`, the encoded query
// of the result list the user came from.
void WriteActionBar(base::Stream out, std::string_view name, std::string_view qs);

// The header table, the entries table and the log table of the sheet.
void WriteSheetBody(const store::FactSheet& sheet, base::Stream out);

// As WriteActionBar and WriteSheetBody, appended to `html`, which is then written to `out`
// by the caller: a page of many sheets writes them in large pieces.
void AppendActionBar(std::string& html, base::Stream out, std::string_view name,
                     std::string_view qs);
void AppendSheetBody(std::string& html, const store::FactSheet& sheet, base::Stream out);

// An entry body as HTML: a line feed becomes "<BR>\n", "<" "&lt;", a blank "&nbsp;".
void WriteEscaped(base::Stream out, std::string_view text);

// Letters and digits stay; every other byte becomes "%" and two upper-case hex digits.
std::string EncodeQS(std::string_view text);

}  // namespace sheets
