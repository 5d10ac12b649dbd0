// Site synchronisation: partner installations share a project's sheets, attachments and
// configuration files by mailing numbered messages to each other.
//
// Sending: every announced sheet change, stored attachment or saved project file is packed
// into out/<project>/s%05d.txt of the synchronisation folder (the number from
// out/<project>/sent.txt) and mailed at once to the partner addresses of the project (the
// site field of "project.cfg"). The message stays there until the partner acknowledges it.
//
// Receiving: the synchronisation pass (after every home page) collects the mailbox into
// in/<project>/, applies each new message in number order (sheets are merged with the
// local copy, other files replaced), acknowledges it, asks for a message again when the one
// before it never arrived, and cleans old files. Applied messages keep a ".dat" name for a
// day, for the gap check.
//
// (The namespace is not "sync": that name is taken by the C library's sync().)
#pragma once

#include <string>
#include <string_view>

#include "store/sheet.h"
#include "store/store.h"

namespace synch {

// Message kinds; the description line carries the letter 'a' + kind.
enum Kind : int {
  kSheetFile = 1,        // a sheet file
  kConfigFile = 2,       // a per-project configuration file "<project>_<kind>.cfg"
  kAttachment = 3,       // an attached file; extra: its folder "TRACE_<sheet>"
  kAcknowledgement = 4,  // extra: the acknowledged message "s%05d.txt"
  kRequest = 5,          // extra: the message to send again "s%05d.txt"
};

// Stale limits of the folder locks, in seconds.
inline constexpr int kOutStaleSeconds = 10;
inline constexpr int kInStaleSeconds = 20;
// Applied messages are kept a day, outgoing ones 30 days.
inline constexpr long kAppliedKeepSeconds = 86400;
inline constexpr long kOutKeepSeconds = 2592000;

// Packs the file `path` into the next numbered message of `project` and mails it to the
// project's partners; does nothing when the project has none. For kinds 4 and 5 `path` is
// the bare message name ("s00007.txt"). For an attachment, `path` is the file in its
// "TRACE_<sheet>" folder. Writes only comments.
void SendSynchFile(const std::string& path, std::string_view project, int kind);

// The next message number of the project (reads, increments and rewrites "sent.txt" under
// the lock of out/<project>/); 0 when the lock or the file could not be had.
int NextOutNumber(std::string_view project);

// The folder lock: a file "lock<process>" holding one blank in `folder` (created when
// missing). Another holder's lock file older than `stale_seconds` is removed. Tries with a
// short pause between attempts and gives up (false) after `stale_seconds`.
bool LockDir(const std::string& folder, int stale_seconds);
void UnlockDir(const std::string& folder);
// Renews this process's lock file, so a long pass is not taken for a dead one.
void TouchLock(const std::string& folder);

// Builds the synchronisation mail for the stored message `file` (subject "Quorb-Synchro
// <project> s%05d" with `number`) and delivers it to the comma-separated `recipients`.
void SynchMail(const std::string& file, std::string_view recipients, std::string_view project,
               int number);

// The synchronisation pass of the home page. Writes only comments.
void SynchPass();

// The gap check for the received file `name` of in/<project>/: when it is "s%05d.txt"
// with a number n above 1 and s<n-1>.dat is not there, asks the partners for s<n-1>.txt.
// True when a request was sent.
bool RequestMissing(std::string_view project, std::string_view name);

// Moves `file` into `folder` under its own base name, byte for byte, replacing a file of
// that name at once. False when it could not be written.
bool CopyIntoDir(const std::string& file, const std::string& folder);

// The sheet that results from merging `received` into `local` (the same sheet): header
// fields from `received` but `local`'s number; entries merged by time (the received
// version of an entry with the same time and author wins); log lines merged by date, each
// line once.
store::FactSheet MergeSheets(const store::FactSheet& local, const store::FactSheet& received);

struct Merged {
  store::Stored stored = store::Stored::kRefused;
  std::string name;  // where the received sheet is now
};
// Integrates a received sheet into the store. The same sheet (same `created`) under its
// name, or elsewhere after an earlier conflict, is merged; a free name takes it as it is.
// When another sheet holds the name, the older of the two keeps it and the newer one goes
// under a new number, so both stay and the index shows both.
Merged MergeReceivedSheet(const store::FactSheet& received);

}  // namespace synch
