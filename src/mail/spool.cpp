#include "mail/spool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>

#include "base/encode.h"
#include "base/files.h"
#include "base/numbers.h"
#include "base/out.h"
#include "config/debug.h"
#include "config/main_config.h"
#include "mail/smtp.h"

namespace mail {
namespace {

// Whether this request queued mail: then it delivers once its page is out.
bool queued_here = false;

// How long a request that queued mail waits for another one's pass to end.
constexpr int kLockWaitSeconds = 30;

struct Envelope {
  std::string sender;
  std::string recipients;
  bool refused = false;
  int attempts = 0;
  std::string error;
};

std::string PendingStamp(const std::string& dir) {
  return dir + "/pending";
}

std::optional<Envelope> ReadEnvelope(const std::string& path) {
  std::optional<std::string> text = base::ReadFile(path);
  if (!text) return std::nullopt;
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text->size() && lines.size() < 5) {
    size_t end = text->find('\n', start);
    if (end == std::string::npos) end = text->size();
    lines.push_back(text->substr(start, end - start));
    start = end + 1;
  }
  if (lines.size() < 2) return std::nullopt;
  lines.resize(5);
  Envelope env{lines[0], lines[1], lines[2] == "refused", base::LeadingNumber(lines[3]), lines[4]};
  return env;
}

bool WriteEnvelope(const std::string& path, const Envelope& env) {
  // Mail is for its recipients: no other account of the machine reads the spool.
  return base::ReplaceFileContent(
      path,
      base::Sprintf("%s\n%s\n%s\n%d\n%s\n", StripLineBreaks(env.sender),
                    StripLineBreaks(env.recipients), env.refused ? "refused" : "pending",
                    env.attempts, StripLineBreaks(env.error)),
      {.mode = 0600});
}

// Removes the messages that no envelope names and that no queuing process will name any
// more (older than kOrphanSeconds): what a crash between the two writes leaves.
void RemoveOrphans(const std::string& dir) {
  namespace fs = std::filesystem;
  constexpr long kOrphanSeconds = 600;
  const long now = static_cast<long>(std::time(nullptr));
  std::error_code error;
  for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
    std::string name = it->path().filename().string();
    if (name.size() <= 4 || !name.ends_with(".msg")) continue;
    const std::string path = it->path().string();
    if (base::FileExists(path.substr(0, path.size() - 4) + ".env")) continue;
    long time = base::FileTime(path);
    if (time != 0 && time < now - kOrphanSeconds) base::RemoveFile(path);
  }
}

// The envelopes of the spool, by name (the name starts with the creation time).
std::vector<std::string> ListIds(const std::string& dir) {
  namespace fs = std::filesystem;
  std::vector<std::string> ids;
  std::error_code error;
  for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
    std::string name = it->path().filename().string();
    if (name.size() > 4 && name.ends_with(".env") && name.find(".tmp") == std::string::npos)
      ids.push_back(name.substr(0, name.size() - 4));
  }
  std::sort(ids.begin(), ids.end());
  return ids;
}

void Touch(const std::string& path) {
  if (::utime(path.c_str(), nullptr) == 0) return;
  base::File f = base::OpenFile(path, "ab");
}

std::string Join(const std::vector<std::string>& list) {
  std::string out;
  for (const std::string& s : list) {
    if (!out.empty()) out += ',';
    out += s;
  }
  return out;
}

// The comma-separated `list` without the addresses of `drop`.
std::string Without(std::string_view list, const std::vector<std::string>& drop) {
  std::vector<std::string> kept;
  while (!list.empty()) {
    size_t comma = list.find(',');
    std::string one(list.substr(0, comma));
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    if (!one.empty() && std::find(drop.begin(), drop.end(), one) == drop.end()) kept.push_back(one);
  }
  return Join(kept);
}

// Hands the page to the web server: what is buffered goes out and standard output is
// closed (replaced by /dev/null, so that late comments go nowhere).
void ClosePage() {
  std::fflush(stdout);
  int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null >= 0) {
    ::dup2(null, STDOUT_FILENO);
    ::close(null);
  } else {
    ::close(STDOUT_FILENO);
  }
}

void Report(const std::string& id, const std::string& recipients, const std::string& error) {
  std::fprintf(stderr, "quorb: mail %s to %s: %s\n", id.c_str(), recipients.c_str(), error.c_str());
}

}  // namespace

std::string SpoolDir() {
  return base::JoinPath(config::GetDataDir(), "Mail");
}

std::string SenderName() {
  constexpr size_t kSenderMax = 51;
  std::string sender = StripLineBreaks(config::GetConfig("WWW"));
  if (sender.empty()) sender = "www";
  if (sender.size() > kSenderMax) sender.resize(kSenderMax);
  return sender;
}

std::string SenderAddress() {
  return SenderName() + "@" + StripLineBreaks(config::GetConfig("DOMAIN"));
}

MessageFile::MessageFile(std::string path)
    : path_(std::move(path)), file_(base::OpenFile(path_, "wb")) {
  opened_ = file_ != nullptr;
  int error = file_ ? 0 : errno;
  config::DebugPage("<! Send Mail %ld,errno:%d, file:%s>\n",
                    file_ ? static_cast<long>(fileno(file_.get())) : 0L, error,
                    base::EscapeHtml(path_));
}

MessageFile::~MessageFile() {
  file_.reset();
  if (opened_ && !queued_) base::RemoveFile(path_);
}

bool MessageFile::Close() {
  if (!file_) return false;
  bool ok = std::fflush(file_.get()) == 0 && !std::ferror(file_.get());
  ok = std::fclose(file_.release()) == 0 && ok;
  return ok;
}

bool MessageFile::Queue(std::string_view recipients) {
  if (file_ && !Close()) return false;
  queued_ = true;  // QueueMail removes the file in any case
  return QueueMail(SenderAddress(), recipients, path_);
}

bool QueueMail(std::string_view sender, std::string_view recipients, const std::string& path) {
  static int serial = 0;
  std::string dir = SpoolDir();
  base::MakeDirectory(dir);
  std::string id = base::Sprintf("%010ld.%d.%d", static_cast<long>(std::time(nullptr)),
                                 static_cast<int>(::getpid()), ++serial);
  std::string msg = base::Sprintf("%s/%s.msg", dir, id);
  bool ok = false;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    // Mail is for its recipients: no other account of the machine reads the spool.
    ok = ::fchmod(fd, 0600) == 0;
    ::close(fd);
  }
  // The message lasts before its envelope names it: a crash between the two leaves a
  // message without envelope, which the next delivery pass removes.
  ok = ok && base::ReplaceFile(path, msg);
  Envelope env{std::string(sender), std::string(recipients), false, 0, ""};
  ok = ok && WriteEnvelope(base::Sprintf("%s/%s.env", dir, id), env);
  if (!ok) {
    int error = errno;
    config::DebugPage("<! mail not queued in %s: %s >\n", base::EscapeHtml(dir),
                      std::strerror(error));
    std::fprintf(stderr, "quorb: mail to %s not queued in %s: %s\n",
                 StripLineBreaks(recipients).c_str(), dir.c_str(), std::strerror(error));
    base::RemoveFile(path);
    base::RemoveFile(msg);
    return false;
  }
  base::Page("<! mail queued : %s >\n", base::EscapeHtml(id));
  Touch(PendingStamp(dir));
  queued_here = true;
  return true;
}

namespace {

// The Subject value of a spooled message; empty when it has none.
std::string SubjectOf(const std::string& path) {
  base::LineReader reader(path);
  std::string line;
  while (reader.Next(line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) break;  // the end of the header
    if (line.starts_with("Subject: ")) return line.substr(9);
  }
  return {};
}

}  // namespace

std::vector<SpoolEntry> ListSpool() {
  std::string dir = SpoolDir();
  long now = static_cast<long>(std::time(nullptr));
  std::vector<SpoolEntry> entries;
  for (const std::string& id : ListIds(dir)) {
    std::optional<Envelope> env = ReadEnvelope(base::Sprintf("%s/%s.env", dir, id));
    if (!env) continue;
    SpoolEntry e;
    e.id = id;
    e.age = std::max(0L, now - static_cast<long>(base::LeadingNumber(id)));
    e.attempts = env->attempts;
    e.refused = env->refused;
    e.recipients = env->recipients;
    e.last_error = env->error;
    e.subject = SubjectOf(base::Sprintf("%s/%s.msg", dir, id));
    entries.push_back(std::move(e));
  }
  return entries;
}

namespace {

// The pass itself, with the spool's lock held.
void DeliverHeld(const std::string& dir) {
  RemoveOrphans(dir);
  // The attempt's time: later requests leave the spool alone for a minute.
  Touch(PendingStamp(dir));
  std::string server = config::GetConfig("MAILSERV");
  bool pending_left = false;
  std::string unreachable;
  std::vector<std::string> done;
  // Entries queued while the pass runs are taken too.
  for (bool more = true; more;) {
    more = false;
    for (const std::string& id : ListIds(dir)) {
      if (std::find(done.begin(), done.end(), id) != done.end()) continue;
      done.push_back(id);
      std::string env_path = base::Sprintf("%s/%s.env", dir, id);
      std::string msg_path = base::Sprintf("%s/%s.msg", dir, id);
      std::optional<Envelope> env = ReadEnvelope(env_path);
      if (!env || env->refused) continue;
      more = true;
      if (!base::FileExists(msg_path)) {
        env->refused = true;
        env->error = "the message file is missing";
        WriteEnvelope(env_path, *env);
        Report(id, env->recipients, env->error);
        continue;
      }
      ++env->attempts;
      if (!unreachable.empty()) {
        // The relay did not answer this pass: no new connection for each entry.
        env->error = unreachable;
        WriteEnvelope(env_path, *env);
        pending_left = true;
        continue;
      }
      SmtpResult r = SmtpSend(server, env->sender, env->recipients, msg_path);
      if (!r.connected) {
        unreachable = r.error;
        env->error = r.error;
        WriteEnvelope(env_path, *env);
        Report(id, env->recipients, r.error);
        pending_left = true;
        continue;
      }
      if (!r.error.empty()) Report(id, env->recipients, r.error);
      if (r.sent && r.deferred_rcpt.empty() && r.refused_rcpt.empty()) {
        base::RemoveFile(env_path);
        base::RemoveFile(msg_path);
        continue;
      }
      if (r.sent) {
        // Served the accepted ones; those refused for good are dropped from the list.
        env->recipients = Join(r.deferred_rcpt);
        env->refused = r.deferred_rcpt.empty();
        if (env->refused) env->recipients = Join(r.refused_rcpt);
      } else if (r.refused) {
        env->refused = true;
      } else {
        // Nobody got it: all but those refused for good are tried again.
        env->recipients = Without(env->recipients, r.refused_rcpt);
      }
      env->error = r.error;
      if (!env->refused) pending_left = true;
      WriteEnvelope(env_path, *env);
    }
    if (!unreachable.empty()) break;
  }
  if (!pending_left) base::RemoveFile(PendingStamp(dir));
}

// Leaves the web server behind (base::DetachFromServer); a standard error that is a pipe is
// replaced by the spool's own log, "delivery.log", the last megabyte or two of reports.
void Detach(int keep, const std::string& dir) {
  struct stat st;
  const std::string path = dir + "/delivery.log";
  if ((::fstat(STDERR_FILENO, &st) != 0 || !S_ISREG(st.st_mode)) &&
      ::stat(path.c_str(), &st) == 0 && st.st_size > (1 << 20))
    std::rename(path.c_str(), (path + ".old").c_str());
  base::DetachFromServer(keep, path);
}

}  // namespace

void DeliverSpool(bool wait_for_lock) {
  std::string dir = SpoolDir();
  base::FileLock lock(dir + "/lock", wait_for_lock ? kLockWaitSeconds * 1000 : 0);
  if (lock.Held()) DeliverHeld(dir);
}

void DeliverAfterPage() {
  if (!queued_here) {
    const std::string& data = config::GetDataDir();
    if (data.empty()) return;
    struct stat st;
    if (::stat(base::Sprintf("%s/Mail/pending", data).c_str(), &st) != 0) return;
    if (std::time(nullptr) - st.st_mtime < kRetrySeconds) return;
  }
  const std::string dir = SpoolDir();
  // Taken before the delivery process starts, which inherits it: whoever waits for the lock
  // waits for that delivery to end.
  base::FileLock lock(dir + "/lock", 0);
  if (!lock.Held() && !queued_here) return;  // another pass is under way
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = ::fork();
  if (pid > 0) return;  // the page is complete: the request ends here
  if (pid < 0) {
    // No process to hand it to: delivered here, after the page.
    ClosePage();
    if (lock.Held())
      DeliverHeld(dir);
    else
      DeliverSpool(true);
    return;
  }
  Detach(lock.fd(), dir);
  if (lock.Held())
    DeliverHeld(dir);
  else
    DeliverSpool(true);
  // Nothing of the request is the delivery's to end (its page, its upload, its buffers).
  ::_exit(0);
}

}  // namespace mail
