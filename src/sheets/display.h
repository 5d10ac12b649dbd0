// A fact sheet as HTML: the action bar with one button per command, the header table, the
// entries and the log. The same writers serve the page and a mail file; written to a file,
// every link is absolute so that it works from a mail reader.
#pragma once

#include <string>
#include <string_view>

#include "base/out.h"
#include "store/sheet.h"

namespace sheets {

// The address the site is reached at from outside, as mails link to it: the BASEURL value;
// without it "http://<HOSTNAME>", with ":<SERVER_PORT>" unless the port is 80 (or unknown) or
// HOSTNAME names a port itself.
std::string AbsoluteBase();

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

// In place of a sheet whose stored change could not be finished yet: the way home and
// "stored as <name>, will appear shortly" (never the sheet as it was before the change).
void ShowWillAppear(std::string_view name);

// A form asked for by a name the sheet had before it moved opens on the sheet under its
// current name, `name`; the form's page then says so (WriteMovedNote, after its head).
void NoteMovedFrom(std::string asked, std::string name);
void WriteMovedNote();

// Letters and digits stay; every other byte becomes "%" and two upper-case hex digits.
std::string EncodeQS(std::string_view text);

}  // namespace sheets
