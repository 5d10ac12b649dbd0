// The sheet store in the data directory: sheet files, the index "index" (one header line
// per sheet, least recently written first) and the journal "history.dat".
//
// Every change runs under an exclusive lock on "index.lock" in the data directory: the
// choice of a new sheet's number, the renaming of a written sheet into place, the index
// rewrite and the journal lines of the change. A change that reads a sheet first holds the
// lock from the read to the last line (UpdateSheet), so two requests on one sheet never
// lose each other's change. Readers take no lock: sheets and the index are always replaced
// whole, by renaming a finished temporary file.
//
// Order of the files of one change: the sheet file is in place first, then its index line,
// then its journal lines; a failure stops there and is reported, so an index line never
// names a missing file.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/sheet.h"

namespace store {

inline constexpr std::string_view kIndexName = "index";
inline constexpr std::string_view kIndexTempName = "index.tmp";
inline constexpr std::string_view kJournalName = "history.dat";
inline constexpr std::string_view kLockName = "index.lock";
// The lowest number known to be free per name prefix, so that a new sheet need not probe
// every number taken before it: lines "<prefix> <number>". Removing the file makes the
// next creation probe from 1 again and rebuild it.
inline constexpr std::string_view kNumbersName = "numbers";
// A log format is cut to this many bytes; a log line with its time and line feed to this
// many bytes less one.
inline constexpr size_t kLogFormatLimit = 100;
inline constexpr size_t kLogLineSize = 500;

// A name that stays inside the data directory: not empty, without "/", ".." or NUL.
bool IsSafeSheetName(std::string_view name);
// A name a sheet file can have: safe, and ending in "." and digits ("TaG.00012"), so the
// index, the journal and other files of the data directory are never taken for sheets.
bool IsSheetName(std::string_view name);

// The prefix (project code, phase letter, sub-project code) and the name ("%s.%05d") of a
// sheet, from the project configuration.
std::string GetSheetPrefixOf(const FactSheet& sheet);
std::string GetSheetName(const FactSheet& sheet);

// Reads the sheet file `name` of the data directory; nothing when it is not a sheet name,
// cannot be opened or is not a regular file.
std::optional<FactSheet> ReadSheet(std::string_view name);

// Whether the data directory holds a file named `name` (a plain name, no path).
bool SheetFileExists(std::string_view name);

// Reads the sheets `names` in order and hands each to `use` with its position (nullopt for
// one ReadSheet could not read). The files are read on a second thread, a batch ahead of
// `use`, so that a page of thousands of sheets reads its files while it writes.
void ReadSheetsInOrder(const std::vector<std::string>& names,
                       const std::function<void(size_t, std::optional<FactSheet>&)>& use);

// What a storing call did.
enum class Stored {
  kOk,        // the file, its index line and its journal lines are written
  kMissing,   // no readable sheet of that name (nothing written)
  kRefused,   // the change refused to go on, or the name is refused (nothing written)
  kNoFile,    // the sheet file could not be written (nothing else written)
  kNoIndex,   // the file is in place, but the lock or the index rewrite failed
  kNoJournal  // the file and index are in place, a journal line could not be appended
};
inline bool IsStored(Stored s) {
  return s == Stored::kOk;
}

// Creates a sheet: takes the lowest free number of its prefix from `first` up (1: the lowest
// free number of all), writes the file, appends its index line and its journal lines.
Stored CreateSheet(FactSheet& sheet, int first = 1);

// Reads the sheet `name`, lets `change` alter it and writes it back under its own name,
// all under the store lock. `change` returns false to leave the sheet as it is. On success
// `stored`, when given, receives the sheet as written.
Stored UpdateSheet(std::string_view name, const std::function<bool(FactSheet&)>& change,
                   FactSheet* stored = nullptr);

// UpdateSheet for several sheets under one lock, with one index rewrite for them all (the
// daily wake-up of postponed sheets). One result per name; `stored`, when given, receives
// the sheets as read and changed, in the order of `names`.
std::vector<Stored> UpdateSheets(const std::vector<std::string>& names,
                                 const std::function<bool(FactSheet&)>& change,
                                 std::vector<FactSheet>* stored = nullptr);

// Writes the whole sheet under its name (or `name`), replacing the file, then moves its
// line to the end of the index and appends its journal lines.
Stored WriteSheet(FactSheet& sheet);
Stored WriteSheetAs(FactSheet& sheet, std::string_view name);

// Rewrites the index. With a sheet: its line replaces any line with the same key and goes
// to the end. Without one: the line with the key of `old_header` is dropped. Returns 1,
// 0 when index.tmp could not be created, -1 when writing it failed; in both failures the
// index stays as it was.
int UpdateIndex(const FactSheet* sheet, std::string_view old_header = {});

// Changes the header of the sheet `name`: reads it under the lock and lets `change` alter
// it. When the new header gives the same name, the sheet is written in place; otherwise it
// takes the lowest free number of its new prefix and is written there first, then its line
// replaces the old one in the index, and only then does the old file go, so a process that
// dies half-way leaves both files, never none. Either way the old index line goes, also
// when only the index key changed.
Stored ChangeSheetHeader(std::string_view name, const std::function<bool(FactSheet&)>& change,
                         FactSheet* stored = nullptr);
// The same, but a sheet that changes its name takes the lowest free number from `first` up
// (the synchronisation moves a sheet to the number its partners gave it).
Stored ChangeSheetHeaderFrom(std::string_view name, int first,
                             const std::function<bool(FactSheet&)>& change,
                             FactSheet* stored = nullptr);

// Records one action in the sheet: "<date> <message>\n" appended to its log, and the
// journal line "<date> <sheet name> <message>\n" kept for the storing of the sheet. The
// message is `format` (a language message or literal with up to three "%s") applied to
// a, b and c.
void LogAction(FactSheet& sheet, std::string_view format, std::string_view a = {},
               std::string_view b = {}, std::string_view c = {});
// The same with the action's time given.
void LogActionAt(FactSheet& sheet, long time, std::string_view format, std::string_view a = {},
                 std::string_view b = {}, std::string_view c = {});

// Appends one line (with its line feed) to the journal in one write, so lines of concurrent
// requests never interleave. False when it could not be written whole.
bool AppendJournal(std::string_view line);

}  // namespace store
