// Three commands that change a sheet without changing its status, each in two steps on the
// same CMD: without `User` the command shows its form; the form posts back with `User` and
// the command commits.
//   Edit (16)          rewrites the name and body of one entry (attachments counted);
//   Change_Header (1)  rewrites the header fields; when the name prefix changes, the sheet
//                      moves to the lowest free number of the new prefix;
//   Copy (4)           stores a copy under another project, sub-project or phase, numbered
//                      from the source's number, and logs the copy on both sheets.
#pragma once

#include <string>
#include <string_view>

#include "store/sheet.h"
#include "web/params.h"

namespace sheets {

// The whole page of the three commands, `code` being the action code.
void EditCommand(int code, web::ParamList& params);

// The forms, inside the form frame of EditCommand.
void ShowEntryEditForm(const store::FactSheet& sheet, std::string_view name,
                       const web::ParamList& params);
void ShowHeaderForm(const store::FactSheet& sheet, std::string_view name);
void ShowCopyForm(const store::FactSheet& sheet, std::string_view name);

// The commits. Each writes its error box when it refuses; `sheet` and `name` are the sheet
// read for the request and come back as the sheet to show below the commit: as stored
// after a change (renamed after a move, the copy after a copy), or unchanged.
void CommitEntryEdit(store::FactSheet& sheet, std::string& name, const web::ParamList& params);
void CommitHeaderChange(store::FactSheet& sheet, std::string& name, const web::ParamList& params);
void CommitCopy(store::FactSheet& sheet, std::string& name, const web::ParamList& params);

}  // namespace sheets
