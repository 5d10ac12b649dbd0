// Attached files: the upload of the Attach action stored in the sheet's attachment folder
// "<data>/TRACE_<sheet>/", and the download of a stored file (CMD=FILE).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "store/sheet.h"
#include "web/params.h"

namespace sheets {

// The browser's file name without its folders: the text after its last "/" or "\".
std::string_view ClientBaseName(std::string_view client_name);

// The stored file of an attachment: "<data>/TRACE_<sheet>/<title>_<base name>".
std::string AttachmentPath(std::string_view sheet, std::string_view client_name,
                           std::string_view title);

// Moves this request's uploaded file to AttachmentPath of the sheet `name` and writes the
// line that says so; returns the stored path. Refused, with the error in the page and
// nothing stored: a stored file of that name (511); a title or base name with "/", "",
// ".." or control bytes, an empty base name, a path past 199 bytes, a folder that takes no
// file, a missing or incomplete upload (512).
std::optional<std::string> StoreUpload(const store::FactSheet& sheet, std::string_view name,
                                       std::string_view client_name, std::string_view title);

// The real path of `path` when it names a file directly inside an attachment folder of the
// data directory (symbolic links resolved); nothing otherwise.
std::optional<std::string> ResolveAttachment(std::string_view path);

// CMD=FILE: sends the stored file `title` as a download, or a bare 404 for anything that is
// not an attached file.
void SendAttachment(const web::ParamList& list);

}  // namespace sheets
