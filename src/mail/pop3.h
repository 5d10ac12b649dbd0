// The POP3 collection of synchronisation mails: log in to the installation's mailbox, pick
// the mails whose subject marks them as synchronisation messages, store each one whole in
// the incoming folder of its project and delete it from the mailbox. Mails of any other
// subject are left alone. Every read is bounded in time, so a silent server cannot hold the
// page; a mail whose transfer was cut off is neither stored nor deleted.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mail/net.h"

namespace mail {

// The subject word that marks a synchronisation mail: "Subject: Quorb-Synchro <project> <name>".
inline constexpr std::string_view kSynchMarker = "Quorb-Synchro";
// A multi-line reply may take at most this long in all, however the server trickles it.
constexpr int kPopReplySeconds = 120;

// One connection to the mailbox. `line_end` is the last character of the server's greeting:
// '\n' for a server that ends lines with CR LF, '\r' for one that ends them with CR alone.
struct PopSession {
  int socket = -1;
  char line_end = '\n';
  std::string pending;  // bytes received past the reply being read
  int seconds = kNetWaitSeconds;
  // When set, no read waits past it.
  std::chrono::steady_clock::time_point deadline{};
  int failure = 0;  // why the login failed: the number of a language message saying it
};
// The collection of one pass waits at most this long for any one reply, and ends its
// dialogue (but for QUIT) this long after it began.
constexpr int kPopWaitSeconds = 2;
constexpr int kPopBudgetSeconds = 2;

// Whether `text`, a multi-line reply as received so far (status line included), ends with
// the terminating "." line.
bool IsEndOfMultiline(std::string_view text, char line_end);

// A multi-line reply fed chunk by chunk, however the server splits it.
class MultilineReply {
 public:
  explicit MultilineReply(char line_end) : line_end_(line_end) {}
  // Adds a chunk; true once the reply is over (its "." line, or an error status line).
  bool Feed(std::string_view chunk);
  bool done() const { return done_; }
  // Bytes received after the end of the reply.
  std::string TakeRest();
  // The status line with its line end.
  std::string_view Status() const;
  bool IsOk() const { return !raw_.empty() && raw_[0] == '+'; }
  // The lines after the status line up to the "." line, a leading "." of a line removed
  // (dot transparency undone); line ends as received.
  std::string Body() const;

 private:
  char line_end_;
  bool done_ = false;
  size_t status_end_ = std::string::npos;  // offset past the status line
  size_t end_ = std::string::npos;         // offset past the "." line
  std::string raw_;
};

// The (number, size) pairs of a LIST body, mailbox order.
std::vector<std::pair<int, int>> ParseListing(std::string_view body);

// A synchronisation mail of the mailbox.
struct SynchMailEntry {
  int number = 0;
  std::string project;
  std::string name;  // "s%05d"
  int size = 0;
};
// The project and message name of a header block whose "Subject:" line carries the marker;
// nothing for another mail, or when the words could not name a folder and a file safely.
std::optional<std::pair<std::string, std::string>> FindSynchSubject(std::string_view header);

// Connects to the POP3 server (`POP3`, "host" or "host:port", 110 by default) and logs in
// as `POP3USER` with `POP3PASS`. True when logged in; the password is never written.
bool popLogin(PopSession& session);
// The (number, size) pairs of the mailbox, lowest number first.
std::vector<std::pair<int, int>> PopList(PopSession& session);
// The synchronisation mails of the mailbox, lowest number first.
std::vector<SynchMailEntry> PopFindSynchMails(PopSession& session);

// What the collector does with a fetched synchronisation mail.
enum class Keep {
  kDelete,  // stored, or refused for good: deleted from the mailbox
  kLeave,   // not stored: left for the next pass
};
// Gets each fetched mail whole (the status line, the headers, the body).
using MailSink = std::function<Keep(const SynchMailEntry& entry, std::string_view mail)>;

// The language messages that say why the mailbox could not be opened.
enum PopFailure : int {
  kPopUnreachable = 2850,
  kPopSilent = 2851,
  kPopRefusedConnection = 2852,
  kPopRefusedUser = 2853,
  kPopSilentAtPassword = 2854,
  kPopRefusedPassword = 2855,
};

// Collects every synchronisation mail of the mailbox and hands it to `sink`; mails of any
// other subject stay. Every wait is bounded: the whole dialogue takes at most the budget
// above plus a second for QUIT and the connection. `keep_alive` is called between mails.
// 0 when the mailbox was opened, else the PopFailure that says why not.
int PopCollect(const MailSink& sink, const std::function<void()>& keep_alive = {});

}  // namespace mail
