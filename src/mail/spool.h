// The outgoing mail spool: every mail the system sends is first stored in the folder "Mail"
// of the data directory and delivered only once the page has gone to the web server. A mail
// the relay does not take stays there and is tried again by later requests, at most once a
// minute, until the relay takes it or refuses it for good.
//
// An entry is two files named after its creation, readable by their owner alone: "<id>.msg",
// the message as it is sent, and "<id>.env", its envelope (written last, so an entry without
// one is not complete):
//   line 1  the sender address
//   line 2  the recipients still to be served, comma-separated
//   line 3  "pending" (to be tried again) or "refused" (the relay refused it for good)
//   line 4  the number of delivery attempts
//   line 5  the error of the last attempt (empty before the first)
#pragma once

#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "base/files.h"

namespace mail {

// "<data directory>/Mail".
std::string SpoolDir();

// Moves the finished message file `path` into the spool, addressed from `sender` to the
// comma-separated `recipients`, and asks for a delivery once the page is out. False (with
// a comment in the page) when it could not be stored; the file is removed in any case.
bool QueueMail(std::string_view sender, std::string_view recipients, const std::string& path);

// The sender's name of every mail: the WWW value ("www" when empty), at most 51 characters,
// without line breaks.
std::string SenderName();
// The envelope sender of every mail: SenderName() "@" the DOMAIN value.
std::string SenderAddress();

// The file of one outgoing message while it is written: opened for writing at `path` (the
// page is told "<! Send Mail <descriptor>,errno:<error>, file:<path>>"), and removed again
// unless it is queued.
class MessageFile {
 public:
  explicit MessageFile(std::string path);
  ~MessageFile();
  MessageFile(const MessageFile&) = delete;
  MessageFile& operator=(const MessageFile&) = delete;
  explicit operator bool() const { return file_ != nullptr; }
  std::FILE* get() const { return file_.get(); }
  const std::string& path() const { return path_; }
  // Closes the file; false when anything could not be written.
  bool Close();
  // Queues the closed file from SenderAddress() to `recipients` (QueueMail).
  bool Queue(std::string_view recipients);

 private:
  std::string path_;
  base::File file_;
  bool opened_ = false;
  bool queued_ = false;
};

// One entry as a status page shows it.
struct SpoolEntry {
  std::string id;
  long age = 0;          // seconds since the mail was queued
  int attempts = 0;      // delivery attempts so far
  bool refused = false;  // refused for good: kept for the administrator, not tried again
  std::string recipients;
  std::string last_error;  // empty when no attempt failed yet
  std::string subject;     // of the message
};
// Every complete entry of the spool, oldest first.
std::vector<SpoolEntry> ListSpool();

// Ends the request's mail duties, called once the page is complete: when this request queued
// mail, or when mail waits and the last attempt is a minute old (one stat tells), hands the
// delivery of what the spool holds to a process of its own, detached from the web server (its
// own session, none of the request's descriptors), and returns at once. That process holds the
// spool's lock until it is done. Failures go into the entries and to standard error when it
// is a file, else to "delivery.log" in the spool.
void DeliverAfterPage();

// One delivery pass over the spool: each pending entry in turn, stopping at the first that
// cannot reach the relay. `wait_for_lock`: wait (a bounded time) for another process's pass
// to end rather than leave at once.
void DeliverSpool(bool wait_for_lock);

// Seconds between two delivery passes started by later requests.
inline constexpr long kRetrySeconds = 60;

}  // namespace mail
