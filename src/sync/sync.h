// Site synchronisation: partner installations share a project's sheets, attachments and
// configuration files by mailing numbered messages to each other.
//
// Sending: every sheet change (header changes, copies and renumberings included), stored
// attachment or saved project file is packed into out/<project>/s%05d.txt of the
// synchronisation folder (the number from out/<project>/sent.txt) and mailed at once, signed
// with the project's shared secret, to the partner addresses of the project (the site field
// of "project.cfg"). The message stays there until the partner acknowledges it. When the
// numbering is busy, the packed message waits in out/<project>/queue/ for the next pass.
//
// Receiving: the synchronisation pass (after a home page, at most every SYNCDELAY seconds)
// collects the mailbox, checks each mail (partner, secret, MAC, age) and files it under its
// sender, in/<project>/<sender>/; then applies each new message in number order (sheets are
// merged with the local copy, other files replaced), acknowledges it, asks for a message
// again when the one before it never arrived, and cleans old files. Applied messages keep a
// ".dat" name, for the gap check and against replays. What went wrong is recorded for the
// synchronisation page of the setup. The folders are guarded by flock, every wait bounded.
//
// (The namespace is not "sync": that name is taken by the C library's sync().)
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mail/pop3.h"
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

// How long a pass waits for the lock of the incoming folder, and a numbering for the lock
// of the outgoing one, in milliseconds; a message that cannot be numbered in time is queued.
inline constexpr int kInLockWaitMs = 200;
inline constexpr int kOutLockWaitMs = 500;
// A pass mails nothing more this long after it began: what is left waits in the queue.
inline constexpr int kPassSendMs = 3500;
// Outgoing messages are kept 30 days. A received message older than the replay window is
// refused, and applied ones are kept (as ".dat") a day longer, so a message sent again by a
// forger is known as one already received.
inline constexpr long kOutKeepSeconds = 2592000;
inline constexpr long kReplayWindowSeconds = 2592000 + 86400;
inline constexpr long kAppliedKeepSeconds = kReplayWindowSeconds + 86400;
// Seconds between two collections when SYNCDELAY is not set.
inline constexpr long kDefaultSyncDelay = 60;

// Packs the file `path` into the next numbered message of `project` and mails it to the
// project's partners; does nothing when the project has none. For kinds 4 and 5 `path` is
// the bare message name ("s00007.txt"). For an attachment, `path` is the file in its
// "TRACE_<sheet>" folder. Writes only comments.
void SendSynchFile(const std::string& path, std::string_view project, int kind);

// The next message number of the project (reads, increments and rewrites "sent.txt" under
// the lock of out/<project>/); 0 when the lock or the file could not be had.
int NextOutNumber(std::string_view project);

// The shared secret of the project's partnership: the first line of
// "<CONFIGDIR>/<project>_sync.key" without trailing CR, LF and blanks; empty when none.
std::string SecretPath(std::string_view project);
std::string ProjectSecret(std::string_view project);
// The text the MAC of a mail covers, and the MAC ("X-Quorb-MAC:", lowercase hexadecimal
// HMAC-SHA256) of a mail whose subject ends with `subject_rest` ("TEST s00001") and whose
// body holds `message`.
std::string MacInput(std::string_view subject_rest, std::string_view message);
std::string SynchMac(std::string_view secret, std::string_view subject_rest,
                     std::string_view message);

// Builds the synchronisation mail for the stored message `file` (subject "Quorb-Synchro
// <project> s%05d" with `number`) and delivers it to the comma-separated `recipients`.
void SynchMail(const std::string& file, std::string_view recipients, std::string_view project,
               int number);

// The header lines of the synchronisation mail for the stored `message` numbered `number`:
// type, subject, sender, the MAC when the project has a secret, and the " " line.
std::string SynchMailHead(std::string_view message, std::string_view project, int number);

// What the pass does with one collected mail (its status line, headers and body): checks
// the project (its folder, a partner, its secret), the MAC, the sender and the age, then
// stores it as in/<project>/<sender>/<name>.txt unless it was received before. Refusals
// are recorded as errors.
mail::Keep ReceiveMail(const mail::SynchMailEntry& entry, std::string_view text);

// A stored outgoing message "s%05d.txt" of the project mailed again to the partners under
// its own number (a partner that has it already takes it once); forgotten: removed, never
// to be sent. False when there is no such message (or partner).
bool SendAgain(std::string_view project, std::string_view name);
bool ForgetMessage(std::string_view project, std::string_view name);
// Every stored outgoing message of the project mailed again, oldest first: once its secret
// is set, what waited for it leaves. The number mailed.
int SendWaiting(std::string_view project);

// The synchronisation pass of the home page. Writes only comments.
void SynchPass();

// The gap check for the received file `name` of `folder` (in/<project>/<sender>): when it
// is "s%05d.txt" with a number n above 1 and s<n-1> is neither applied (".dat") nor waiting
// (".txt", an attachment whose sheet has not come yet), asks the partners for
// "s<n-1>.txt@<sender>" (plain "s<n-1>.txt" for a partner of an older version, whose
// messages lie in in/<project>/ itself). True when a request was sent.
bool RequestMissing(std::string_view project, const std::string& folder, const std::string& sender,
                    std::string_view name);

// Moves `file` into `folder` under its own base name, byte for byte, replacing a file of
// that name at once. False when it could not be written.
bool CopyIntoDir(const std::string& file, const std::string& folder);

// What makes a sheet the same sheet on every site: the origin line its creation wrote into
// its log ("<date> Origin: <site> <random>"); for a sheet made before its project had
// partners, its name when it was made and its creation time ("TsG.00001 946681200").
std::string SheetIdentity(const store::FactSheet& sheet);
// Gives a sheet of a project with partners that has no origin line the one its name and
// creation time make, so that it stays the same sheet when its name changes. Done before a
// sheet is sent and before its header changes.
void KeepIdentity(store::FactSheet& sheet);
// The word an attachment message carries for its sheet: its creation time and a fingerprint
// of its identity ("<created>.<16 hex digits>").
std::string OriginWord(const store::FactSheet& sheet);
// The name, on this site, of the sheet of `project` that an origin word names; `hint`, the
// name the sender gave it, is looked at first. Nothing when no sheet here is that one.
std::optional<std::string> SheetOfOrigin(std::string_view project, std::string_view word,
                                         const std::string& hint);
// Gives a new sheet (or a copy, whose source's origin goes) its origin line, when its
// project has partners.
void StampOrigin(store::FactSheet& sheet);
// The change note of this site for what differs between `before` and `now` (header fields
// by name, entries whose text changed): "<date> Changed on <site>: <words>\n"; empty when
// nothing differs.
std::string NoteChanges(const store::FactSheet& before, const store::FactSheet& now);
// The sheet as last sent to or merged from the partners, kept per site to see what changed
// here since.
void SaveShadow(const store::FactSheet& sheet);
std::optional<store::FactSheet> ReadShadow(const store::FactSheet& sheet);
// Puts the log lines and entries in the order every site gives them.
void Canonicalise(store::FactSheet& sheet);

// One error of the synchronisation, in words.
struct SyncError {
  long time = 0;
  std::string project;  // empty for the installation as a whole
  std::string text;     // markup: the language message, its strings escaped
};
// Records an error, the language message `message` with its strings: in the page as a
// comment, on standard error (the web server's error log) and in the synchronisation folder
// for the status page, which says it in its own language.
void NoteError(int message, std::string_view project, std::string_view a = {},
               std::string_view b = {}, std::string_view c = {});
// The recorded errors, oldest first; the pass trims them to the last hundred.
std::vector<SyncError> RecentErrors();
void TrimErrors();
// The time and outcome (a language message with its strings) of the last pass that ran;
// LastPass gives it in words, as markup.
void NoteLastPass(int message, std::string_view a = {}, std::string_view b = {});
std::pair<long, std::string> LastPass();

// The merge of two copies of one sheet, the same whichever is `local`: log lines and
// entries are the union of both in a fixed order; each header field, and each entry in
// both, takes the value of the copy holding the latest change note naming it.
store::FactSheet MergeSheets(const store::FactSheet& local, const store::FactSheet& received);

struct Merged {
  store::Stored stored = store::Stored::kRefused;
  std::string name;        // where the received sheet is now
  store::FactSheet sheet;  // as written
  // Sheets this merge gave a new number (the received one or a local one): the partners
  // must hear of it.
  std::vector<std::string> renumbered;
};
// Integrates a received sheet into the store, in one change of the store. The same sheet
// (same identity) under its name, where its name's forwards lead, or elsewhere after a
// renumbering, is merged (and moved when the merge gives it another name, leaving a
// forward); a free name takes it as it is. When another sheet holds the name, the older of
// the two keeps it and the newer one goes under a new number, logged, so both stay and the
// index shows both.
Merged MergeReceivedSheet(const store::FactSheet& received);

}  // namespace synch
