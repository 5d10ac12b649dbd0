// The commit protocol of the store: how one change reaches the data directory whole or not
// at all. The design is written down atop store.h; this is its machinery, used by store.cpp
// and the integrity check only.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace store {

inline constexpr std::string_view kIntentName = "commit.intent";
// Where a sheet name's attachment folder goes when a new sheet takes a name whose old folder
// was left behind (a file removed by hand): kept, but never given to the new sheet.
inline constexpr std::string_view kLostName = "lost";

// Everything one change does to the data directory. Names are relative to it.
struct Commit {
  enum class Kind { kPut, kRemove, kMoveFolder, kMoveFile };
  struct Step {
    Kind kind;
    std::string a, b;  // put: name, content; remove: name; moves: from, to
  };
  std::vector<Step> steps;
  // The index: lines (with their line feeds) added at its end; lines with these keys or
  // names dropped. `append`: the added lines are appended, the lines they replace left behind
  // (readers take a key's last line), as no other line must go; a change that appends may
  // still compact the index instead (a rewrite, which drops what is dead).
  std::vector<std::string> index_add, drop_keys, drop_names;
  bool append = false;
  std::string journal;  // whole lines appended to the journal
  // Sizes of the index and the journal when the change was prepared (-1: not touched).
  long long index_size = -1, journal_size = -1;
  int pid = 0;  // the process that wrote the intent

  void Put(std::string name, std::string content) {
    steps.push_back({Kind::kPut, std::move(name), std::move(content)});
  }
  void Remove(std::string name) { steps.push_back({Kind::kRemove, std::move(name), {}}); }
  void MoveFolder(std::string from, std::string to) {
    steps.push_back({Kind::kMoveFolder, std::move(from), std::move(to)});
  }
  // `from` is a staged upload (see StageUpload); it is linked to `to`, then unlinked.
  void MoveFile(std::string from, std::string to) {
    steps.push_back({Kind::kMoveFile, std::move(from), std::move(to)});
  }
};

// The numbering hints (kNumbersName): prefix -> the lowest number that may be free, valid
// only while the data directory is as the program left it. The last line, "@ <seconds>
// <nanoseconds>", is the directory's modification time after the last change; when the
// directory changed since (a file added or removed by hand), no hint is trusted and the
// numbers are probed from 1 again.
struct Hints {
  std::map<std::string, int, std::less<>> next;
  bool trusted = false;
};
// The stamp line of the data directory as it is now.
std::string FolderStamp();
Hints ReadHints();

// Carries out `commit`; the caller holds the store lock. True when the change passed its
// commit point (the intent is durable): it is then stored, and what this process could not
// finish is finished by the next one that takes the lock. False: nothing was changed.
bool RunCommit(Commit& commit);

// Run by whoever takes the store lock: finishes the change a dead (or failed) process left
// in the intent, or drops an intent that never became whole; then removes the staged files
// of dead processes. One open and stat of the intent when there is nothing to finish.
// False when a change is left that could not be finished; `why` (when given) then says why.
bool RecoverStore(std::string* why = nullptr);

// Whether the intent holds a change not yet marked done (one open and read, no lock).
bool IntentPending();

// The files of the data directory's "tmp" folder that a dead process left: uploads,
// staged uploads and mail files named after a process that no longer runs.
std::vector<std::string> DeadLeftovers();

// Moves an uploaded file out of the request's reach into a staging name for the change being
// prepared; the staged name, or empty on failure.
std::string StageUpload(const std::string& upload);

// Appends `bytes` to the file `path` at `at` (its size before the change): when the bytes
// are there already nothing is done, else the file is cut back to `at` and they are written.
bool AppendAt(const std::string& path, long long at, std::string_view bytes);

// Size of `path` after giving it a final line feed when it lacks one (so appends never glue
// onto a cut line); 0 when it does not exist, -1 when it could not be repaired.
long long SizeEndingInLine(const std::string& path);

}  // namespace store
