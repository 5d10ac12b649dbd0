// The sheet store in the data directory: sheet files, the index "index" (one header line
// per sheet, least recently written first) and the journal "history.dat".
//
// Concurrent requests are serialised where they could lose data: the index rewrite, the
// renaming of a rewritten sheet into place and the choice of a new sheet's number all run
// under an exclusive lock on "index.lock" in the data directory. Readers take no lock:
// sheets and the index are always replaced whole, by renaming a finished temporary file.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "store/sheet.h"

namespace store {

inline constexpr std::string_view kIndexName = "index";
inline constexpr std::string_view kIndexTempName = "index.tmp";
inline constexpr std::string_view kJournalName = "history.dat";
inline constexpr std::string_view kLockName = "index.lock";
// A log format is cut to this many bytes; a log line with its time and line feed to this
// many bytes less one.
inline constexpr size_t kLogFormatLimit = 100;
inline constexpr size_t kLogLineSize = 500;

// A name that stays inside the data directory: not empty, without "/", ".." or NUL.
bool IsSafeSheetName(std::string_view name);

// The prefix (project code, phase letter, sub-project code) and the name ("%s.%05d") of a
// sheet, from the project configuration.
std::string GetSheetPrefixOf(const FactSheet& sheet);
std::string GetSheetName(const FactSheet& sheet);

// Reads the sheet file `name` of the data directory; nothing when it cannot be opened or
// the name would leave the data directory.
std::optional<FactSheet> ReadSheet(std::string_view name);

// Writes the whole sheet under its name, replacing the file, then puts its line at the end
// of the index (also when the file could not be written). Returns 1 when written, 0 when
// the file could not be created (or the name is refused), -1 when writing it failed (the
// earlier file is kept).
int WriteSheet(FactSheet& sheet);
int WriteSheetAs(FactSheet& sheet, std::string_view name);

// Rewrites the index. With a sheet: its line replaces any line with the same key and goes
// to the end. Without one: the line with the key of `old_header` is dropped. Returns 1,
// 0 when index.tmp could not be created, -1 when writing it failed; in both failures the
// index stays as it was.
int UpdateIndex(const FactSheet* sheet, std::string_view old_header = {});

// The smallest n >= 1 whose sheet file "<prefix>.<n>" does not exist. The file is created
// empty at once, so no other request takes the same number; the caller's WriteSheet
// replaces it.
int FirstFreeNumber(std::string_view prefix);
// From the sheet's number up, the first whose file under the sheet's prefix does not exist,
// reserved in the same way and left in the sheet.
void NextFreeNumber(FactSheet& sheet);
void NextFreeNumberFor(FactSheet& sheet, std::string_view prefix);

// Records one action: "<date> <message>\n" appended to the sheet's log, and
// "<date> <sheet name> <message>\n" appended to the journal. The message is `format` (a
// language message or literal with up to three "%s") applied to a, b and c.
void LogAction(FactSheet& sheet, std::string_view format, std::string_view a = {},
               std::string_view b = {}, std::string_view c = {});
// The same with the sheet's name and the action's time given.
void LogActionAt(FactSheet& sheet, std::string_view name, long time, std::string_view format,
                 std::string_view a = {}, std::string_view b = {}, std::string_view c = {});

}  // namespace store
