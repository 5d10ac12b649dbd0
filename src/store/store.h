// The sheet store in the data directory: sheet files, the index "index" (one header line
// per sheet, least recently written first), the journal "history.dat" and the attachment
// folders "TRACE_<sheet name>".
//
// The index is a log: a change appends the changed sheets' lines and leaves their older lines
// behind, dead, so that it costs the same whatever the number of sheets. A key's last line is
// its live line; readers take only those (ForEachIndexLine, the one reader of the file), so
// the order they see is still "least recently written first", and a line is a sheet header
// as before, which older readers can still read. A rewrite of the index (a sheet that moves
// or changes its key, a creation while the numbering hints are not trusted, or a compaction)
// keeps only live lines and is then recorded in "index.base": the file's size, inode and a
// sum of its last bytes. Every dead line is thus followed by its key's live line after that
// size, so a reader first reads the lines appended since (a set of their keys with the
// offset of each key's last line) and then streams the whole file once: a line before the
// recorded size is live unless its key is in the set, one after it when it is that key's last.
// The set's memory is that of the appended part. A walk may take the file in parts, one
// thread each (every part builds the set, then streams its own stretch), and read lines back
// by their offsets within the size it opened with (IndexLineReader). A change whose appended
// part would outgrow an eighth of the compacted part (plus kIndexTailSlack) compacts instead
// of appending: as many changes pay for each rewrite, the average cost of a change stays
// flat. Without a record that matches the file (an index written by hand or by older code, a
// record lost in a crash) the whole file counts as appended: readers stay right, only
// slower, and the next change compacts.
//
// The order of names: a reader that wants the sheets by name (the export) would read the
// index back once for every prefix its lines interleave. So after a rewrite, the first such
// export has a copy of the compacted part made in name order ("index.byname/lines", see
// IndexCopy), by a process of its own after its page; later ones read the copy once, pass
// over its lines whose key has a line appended since, and put the appended lines in their
// places. The copy is no part of the store: no change waits for it or writes it, it lives in
// a folder of its own (a name added to the data directory would make the numbering distrust
// its hints), it is written whole (synced, then renamed) and used only while its head names
// the record of the rewrite it copies and the prefixes it was sorted with are still those of
// the configuration. The check compares it with the compacted part; the repair removes it.
//
// Every change is one commit, made the way embedded storage engines make theirs, with a hot
// journal of its own ("commit.intent") that the next opener replays:
//
//   1. Under an exclusive flock on "index.lock" (waited for at most kStoreLockWaitMs) the
//      change is prepared in memory: the sheet read, changed, given its number; the whole
//      content of every file it will write, the files it removes, the folders and staged
//      uploads it moves, the index lines it adds and drops, its journal lines and the sizes
//      of index and journal it appends to. An upload is staged durably: its bytes synced,
//      renamed to "tmp/stage.<pid>.<n>", "tmp" synced; its entry records its size. A copy's
//      attachments are hard-linked into "tmp/stage.<pid>.<copy name>", that folder and "tmp"
//      synced.
//   2. What finishing needs is made ready: each file's content written and synced (a
//      nameless file in its folder, or "tmp/put.<pid>.<step>"), the new index likewise
//      ("tmp/put.<pid>.index"), room reserved for the appended index and journal lines.
//      A full disk refuses the change here, before it is stored.
//   3. The description is written to "commit.intent" in one write, closed by a checksum,
//      and synced. This is the commit point: an intent that is not whole (checksum) is no
//      change, a whole one is a change that will be finished.
//   4. It is carried out: each file made ready gets its name (linked, or renamed); a writer
//      that died left none, so whoever finishes its change writes each file to
//      "<name>.tmp.<writer's pid>", syncs and renames it; removals; folder moves (a missing
//      target folder made again); staged uploads linked in, their folder synced, then
//      unlinked; the index appended to (the lines of a change that needs no line to go) or
//      replaced by the new, compacted one, whose record "index.base" is then written (a
//      record that cannot be written only leaves the old one, which no longer matches); the
//      journal appended to; every folder touched synced once.
//   5. The intent is marked done in place (its first byte overwritten: never removed, so its
//      name needs no sync, nor cut, so its blocks stay for the next intent, written over it).
//
// Every step of 4 is idempotent: a file is put whole again, a removal or move already done
// is skipped (a staged upload counts as moved only when its target exists), an append whose
// bytes are already at the recorded size is skipped, else the file is cut back to that size
// first. So whoever takes the lock next finishes a change that a killed or failed process
// left (one read of the intent when there is none), then removes what dead processes left
// in "tmp". A change is reported stored exactly when it passed step 3; a failure before it
// leaves nothing behind (what was made ready is removed, and appends start on a line of
// their own: a file not ending in a line feed is repaired first). The first intent of a
// directory has the directory synced after it, so its name lasts too. A change that cannot
// be finished (an error) is told on standard error; every read of a sheet tries to finish
// it first (ChangePending), and the integrity check's repair never writes a change of its
// own over it.
//
// Readers take no lock: sheets and the index are always replaced whole, by renaming a
// finished file, and a reader of the index reads no further than its size when it opened it,
// nor bytes after its last line feed (an append under way).
//
// Numbering: a new sheet takes the lowest free number of its prefix. The hint file "numbers"
// remembers the lowest number that may be free per prefix, stamped with the directory's
// modification time after the last change; when someone else added or removed a file since,
// the hints are not trusted and the numbers are probed from 1 (and the index rewritten,
// dropping any line with the new name, instead of appended to).
//
// Attachments belong to their sheet: a sheet that moves to another name takes its folder and
// its entries' paths along; a new sheet never inherits a folder its name left behind (that
// folder goes to "lost/").
//
// A name is never given twice. A sheet that moves to another name (a header change, a partner's
// renumbering) leaves a forwarding record "forward/<old name>" holding "<new name>\n", put in
// the same change as the move, and a log line "Formerly <old name>" in the sheet, which travels
// to the partners with it: whoever stores the sheet puts the forward of every former name that
// has none, so every site has the same forwards. A forward of a forward leads on (a sheet moved
// twice); an empty one retires the name (the check's repair of a chain that leads nowhere).
// Numbering counts a forwarded name as taken. Forwards stay out of the index.
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
// The longest a change waits for the store lock; then it is refused (and the error log says
// why) rather than keep a request hanging on a stuck holder.
inline constexpr int kStoreLockWaitMs = 20000;
// The lowest number known to be free per name prefix, so that a new sheet need not probe
// every number taken before it: lines "<prefix> <number>". Removing the file makes the
// next creation probe from 1 again and rebuild it.
inline constexpr std::string_view kNumbersName = "numbers";
// The one-time values of the forms stored, with the name of the sheet each stored: lines
// "<value> <sheet name>", the latest last; only the latest kFormsKept are kept.
inline constexpr std::string_view kFormsName = "forms";
inline constexpr size_t kFormsKept = 2000;
// A log format is cut to this many bytes; a log line with its time and line feed to this
// many bytes less one.
inline constexpr size_t kLogFormatLimit = 100;
inline constexpr size_t kLogLineSize = 500;

// A name that stays inside the data directory: not empty, without "/", ".." or NUL.
bool IsSafeSheetName(std::string_view name);
// A name a sheet file can have: a prefix without ".", a "." and at least five digits
// ("TaG.00012"), so the index, the journal, temporary and other files of the data directory
// are never taken for sheets.
bool IsSheetName(std::string_view name);

// The prefix (project code, phase letter, sub-project code) and the name ("%s.%05d") of a
// sheet, from the project configuration.
std::string GetSheetPrefixOf(const FactSheet& sheet);
std::string GetSheetName(const FactSheet& sheet);
std::string GetSheetName(const HeaderView& header);

inline constexpr std::string_view kForwardFolder = "forward";
// The log line a move leaves in the sheet: "<date> Formerly <old name>".
inline constexpr std::string_view kFormerlyWord = "Formerly ";

// The name of the sheet that `name` names now: `name` itself when it is a sheet's file, else
// the end of its chain of forwards; nothing when it leads to no sheet (or loops).
std::optional<std::string> ResolveName(std::string_view name);
// Whether `name` was a sheet's name before it moved on (it has a forwarding record).
bool IsForwarded(std::string_view name);
// The forward of `name` as stored: the next name in its chain (empty for a retired name), or
// nothing when it has none.
std::optional<std::string> ReadForward(std::string_view name);
// The names the sheet had before, from its "Formerly" log lines, oldest first, each once.
std::vector<std::string> FormerNames(const FactSheet& sheet);

// Finishes, once per request, a change that passed its commit point but was left unfinished
// (a killed process, a disk error): every read of a sheet shows what was stored. True when
// such a change is left that could not be finished now; a page then says the change will
// appear shortly rather than show the sheet as it was before.
bool ChangePending();

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
  kOk,        // the change passed its commit point: stored, finished by recovery if need be
  kMissing,   // no readable sheet of that name (nothing written)
  kRefused,   // the change refused to go on, or the name is refused (nothing written)
  kNoFile,    // the change could not be committed (nothing written)
  kNoIndex,   // no longer given: kept for callers that name it
  kNoJournal  // no longer given: kept for callers that name it
};
inline bool IsStored(Stored s) {
  return s == Stored::kOk;
}

// Creates a sheet: takes the lowest free number of its prefix from `first` up (1: the lowest
// free number of all), writes the file, appends its index line and its journal lines. Its
// attachment entries that name the folder of the name it came with name its new folder.
Stored CreateSheet(FactSheet& sheet, int first = 1);

// Reads the sheet `name`, lets `change` alter it and writes it back under its own name,
// all under the store lock. `change` returns false to leave the sheet as it is. On success
// `stored`, when given, receives the sheet as written.
Stored UpdateSheet(std::string_view name, const std::function<bool(FactSheet&)>& change,
                   FactSheet* stored = nullptr);

// Inside the `change` of UpdateSheet: the uploaded file `upload` becomes the file `name`
// (relative to the data directory, "TRACE_<sheet>/<file>") as part of the change, so that it
// is in place exactly when the change is stored. The upload is taken away at once (staged
// under "tmp/"); false when no change is open or it could not be taken.
bool AddUploadToChange(const std::string& upload, std::string_view name);

// One sheet of a change that places several at once (a received sheet merged, with the
// local sheet it displaces): `from` is its name now, empty for a sheet new here. It takes the
// name its header gives when that is free for it (`keep`), else the lowest free number of its
// prefix from `first` up.
struct Placement {
  std::string from;
  FactSheet sheet;
  bool keep = true;
  int first = 1;
  std::string name;         // set: where it went
  bool renumbered = false;  // set: not under the name its header gave
};
// Under the store lock, `plan` looks at the store and lists the sheets to place (false, or
// none: nothing is done, kRefused); they are then stored in one change: files, folders,
// forwards of the names left, index and journal lines. `renumbered` is told of each sheet
// that did not get the name its header gives, before it is written.
Stored PlaceSheets(const std::function<bool(std::vector<Placement>&)>& plan,
                   const std::function<void(FactSheet&, std::string_view)>& renumbered,
                   std::vector<Placement>* placed = nullptr);

// Copies the sheet `name` in one change: `make` turns a copy of the source into the new
// sheet (false: nothing is done); the copy takes the first free number of its prefix from the
// source's number up; `note` then records the copy's name in the source. The files of the
// source's folder that the copy's entries name are hard-linked into the copy's own folder,
// and its entries name them there. Both sheets, their index lines, journal lines and the
// copy's folder are stored together or not at all.
Stored CopySheet(std::string_view name,
                 const std::function<bool(const FactSheet&, FactSheet&)>& make,
                 const std::function<void(FactSheet&, std::string_view)>& note,
                 FactSheet* copy_out = nullptr, FactSheet* source_out = nullptr);

// Stores a received attachment in one change: the content of `source` becomes the file
// `file` of the attachment folder of the sheet that `locate` names. `locate` is asked under
// the store lock, so that no rename comes between; when it names no sheet, nothing is stored
// (kMissing).
Stored StoreReceivedFile(const std::function<std::optional<std::string>()>& locate,
                         std::string_view file, const std::string& source);

// The attachment entries of `sheet` that name the folder of the sheet `from` name that of
// `to` (as when the sheet moves from one name to the other).
void MoveAttachmentEntries(FactSheet& sheet, std::string_view from, std::string_view to);

// UpdateSheet for several sheets under one lock, with one index rewrite for them all (the
// daily wake-up of postponed sheets). One result per name; `stored`, when given, receives
// the sheets as read and changed, in the order of `names`.
std::vector<Stored> UpdateSheets(const std::vector<std::string>& names,
                                 const std::function<bool(FactSheet&)>& change,
                                 std::vector<FactSheet>* stored = nullptr);

// Changes the header of the sheet `name`: reads it under the lock and lets `change` alter
// it. When the new header gives the same name, the sheet is written in place; otherwise it
// takes the lowest free number of its new prefix, its attachment folder and entries follow
// it, and the old file goes, all in one change. Either way the old index line goes, also
// when only the index key changed.
Stored ChangeSheetHeader(std::string_view name, const std::function<bool(FactSheet&)>& change,
                         FactSheet* stored = nullptr);
// The same, but a sheet that changes its name takes the lowest free number from `first` up
// (the synchronisation moves a sheet to the number its partners gave it).
Stored ChangeSheetHeaderFrom(std::string_view name, int first,
                             const std::function<bool(FactSheet&)>& change,
                             FactSheet* stored = nullptr);

// The one-time value of the form that the next storing call of this process (CreateSheet,
// UpdateSheet, ChangeSheetHeader, CopySheet) comes from. Under the store lock that call
// refuses (kRefused, nothing written, `change` not asked) a value stored before, and
// otherwise records it with the name of the sheet it shows, in the same change.
void UseFormValue(std::string value);
// The sheet name the last refused form value was stored as; empty when none was refused.
const std::string& FormStoredAs();

// Records one action in the sheet: "<date> <message>\n" appended to its log, and the
// journal line "<date> <sheet name> <message>\n" kept for the storing of the sheet. The
// message is `format` (a language message or literal with up to three "%s") applied to
// a, b and c.
void LogAction(FactSheet& sheet, std::string_view format, std::string_view a = {},
               std::string_view b = {}, std::string_view c = {});
// The same with the action's time given.
void LogActionAt(FactSheet& sheet, long time, std::string_view format, std::string_view a = {},
                 std::string_view b = {}, std::string_view c = {});

// Appends one line (with its line feed) to the journal as one change under the store lock.
// False when it could not be committed.
bool AppendJournal(std::string_view line);

}  // namespace store
